// Calendar arithmetic on the proleptic Gregorian calendar.
//
// Every scheduling decision is made in whole days: a date becomes a day
// number, so that the days between two dates are a subtraction. The month
// and year lengths that the named periods need are a function of a date
// alone: the scheduler takes them around its start date, once.

#include "schedule/schedule.h"

namespace {

/// February has 28 days here in every year; the leap day is always added by
/// the rules, never by changing the table.
constexpr std::int32_t month_lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

constexpr bool is_leap(std::int32_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

constexpr std::int32_t year_length(std::int32_t year) { return is_leap(year) ? 366 : 365; }

}  // namespace

std::int32_t day_number(std::int32_t year, std::int32_t month, std::int32_t mday) {
  // The largest year keeps every result, and so every difference, within 32 bits.
  if (static_cast<std::uint32_t>(year) - 1u > 5867440u) return -1;
  if (static_cast<std::uint32_t>(month) - 1u > 11u || mday <= 0) return -1;
  const bool leap = is_leap(year);
  const std::int32_t month_length = month == 2 ? 28 + (leap ? 1 : 0) : month_lengths[month - 1];
  if (mday > month_length) return -1;

  const std::int32_t y = year - 1;
  std::int32_t days = 365 * y + y / 4 - y / 100 + y / 400;
  for (std::int32_t m = 1; m < month; ++m) days += month_lengths[m - 1];
  if (month > 2 && leap) days += 1;
  return days + mday;
}

CalendarLengths lengths_around(std::int32_t year, std::int32_t month) {
  CalendarLengths lengths{};
  // The month before January is December, always 31 days; the month before
  // March is February of this very year.
  if (month == 1)
    lengths.previous_month = 31;
  else if (month == 3)
    lengths.previous_month = is_leap(year) ? 29 : 28;
  else
    lengths.previous_month = month_lengths[month - 2];
  lengths.current_month = month == 2 ? (is_leap(year) ? 29 : 28) : month_lengths[month - 1];
  lengths.previous_year = year_length(year - 1);
  lengths.current_year = year_length(year);
  return lengths;
}
