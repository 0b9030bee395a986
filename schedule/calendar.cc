// Calendar arithmetic on the proleptic Gregorian calendar.
//
// Every scheduling decision is made in whole days: a date becomes a day
// number, so that the days between two dates are a subtraction. The month
// and year lengths that the named periods need are a function of a date
// alone: the scheduler takes them around its start date, once. The listing
// walks the calendar with the same rules, back from day numbers to dates.

#include "schedule/schedule.h"

namespace {

/// February has 28 days here in every year; the leap day is always added by
/// the rules, never by changing the table.
constexpr std::int32_t month_lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

/// Days of a 400-, 100- and 4-year cycle of the calendar, and of a common year.
constexpr std::int32_t days_per_400_years = 146097;
constexpr std::int32_t days_per_100_years = 36524;
constexpr std::int32_t days_per_4_years = 1461;
constexpr std::int32_t days_per_year = 365;

std::int32_t year_length(std::int32_t year) { return is_leap(year) ? 366 : 365; }

/// Days of the year before the first of the month (1 to 12).
std::int32_t days_before(std::int32_t year, std::int32_t month) {
  std::int32_t days = 0;
  for (std::int32_t m = 1; m < month; ++m) days += month_length(year, m);
  return days;
}

}  // namespace

bool is_leap(std::int32_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

std::int32_t month_length(std::int32_t year, std::int32_t month) {
  return month == 2 && is_leap(year) ? 29 : month_lengths[month - 1];
}

std::int32_t day_number(std::int32_t year, std::int32_t month, std::int32_t mday) {
  // The largest year keeps every result, and so every difference, within 32 bits.
  if (static_cast<std::uint32_t>(year) - 1u > 5867440u) return -1;
  if (static_cast<std::uint32_t>(month) - 1u > 11u || mday <= 0) return -1;
  if (mday > month_length(year, month)) return -1;

  const std::int32_t y = year - 1;
  return 365 * y + y / 4 - y / 100 + y / 400 + days_before(year, month) + mday;
}

CalendarDate date_of_day(std::int32_t day) {
  // Counted from 0 at 1 January of year 1; each cycle starts on a 1 January.
  std::int32_t rest = day - 1;
  const std::int32_t cycles_400 = rest / days_per_400_years;
  rest %= days_per_400_years;
  // The last day of a 400-year cycle, and of a 4-year one, is the 366th of
  // a leap year: it belongs to the last century or year, not to a fifth.
  std::int32_t centuries = rest / days_per_100_years;
  if (centuries == 4) centuries = 3;
  rest -= centuries * days_per_100_years;
  const std::int32_t cycles_4 = rest / days_per_4_years;
  rest %= days_per_4_years;
  std::int32_t years = rest / days_per_year;
  if (years == 4) years = 3;
  rest -= years * days_per_year;

  CalendarDate date{};
  date.year = 400 * cycles_400 + 100 * centuries + 4 * cycles_4 + years + 1;
  // rest is now the day of the year, from 0.
  date.month = 1;
  while (date.month < 12 && rest >= month_length(date.year, date.month))
    rest -= month_length(date.year, date.month++);
  date.mday = rest + 1;
  return date;
}

std::int32_t local_day(std::time_t when, CalendarDate* date) {
  std::tm local{};
  if (!localtime_r(&when, &local)) return -1;
  const CalendarDate found{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
  if (date) *date = found;
  return day_number(found.year, found.month, found.mday);
}

CalendarLengths lengths_around(std::int32_t year, std::int32_t month) {
  CalendarLengths lengths{};
  // The month before January is December, always 31 days; the month before
  // March is February of this very year.
  lengths.previous_month = month == 1 ? 31 : month_length(year, month - 1);
  lengths.current_month = month_length(year, month);
  lengths.previous_year = year_length(year - 1);
  lengths.current_year = year_length(year);
  return lengths;
}
