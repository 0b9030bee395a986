// Day numbers, their reverse, and the month and year lengths the named
// periods count with.
#include <gtest/gtest.h>

#include "schedule/schedule.h"

namespace {

std::int32_t day(int year, int month, int mday) { return day_number(year, month, mday); }

TEST(DayNumber, WorkedValues) {
  struct Case {
    int year, month, mday, expected;
  };
  const Case cases[] = {
      {1, 1, 1, 1},
      {1, 12, 31, 365},
      {2, 1, 1, 366},
      {1970, 1, 1, 719163},
      {1900, 2, 28, 693654},
      {1900, 2, 29, -1},
      {1900, 3, 1, 693655},
      {2000, 2, 28, 730178},
      {2000, 2, 29, 730179},
      {2000, 3, 1, 730180},
      {2023, 2, 29, -1},
      {2024, 2, 29, 738945},
      {2024, 3, 1, 738946},
      {2024, 12, 31, 739251},
      {2025, 1, 1, 739252},
      {9999, 12, 31, 3652059},
      {5867441, 12, 31, 2143038819},
      {5867442, 1, 1, -1},
      {0, 1, 1, -1},
      {-1, 1, 1, -1},
      {2024, 0, 1, -1},
      {2024, 13, 1, -1},
      {2024, 1, 0, -1},
      {2024, 1, -5, -1},
      {2024, 4, 31, -1},
      {2024, 1, 32, -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(day_number(c.year, c.month, c.mday), c.expected) << c.year << "-" << c.month << "-" << c.mday;
}

TEST(DayNumber, DifferenceAcrossTheEndOfFebruary) {
  const int cases[][2] = {{1900, 1}, {2000, 2}, {2023, 1}, {2024, 2}, {2100, 1}, {2400, 2}};
  for (const auto& [year, days] : cases)
    EXPECT_EQ(day_number(year, 3, 1) - day_number(year, 2, 28), days) << year;
}

TEST(LengthsAround, MonthsAndYearsAroundADate) {
  struct Case {
    int year, month, previous_month, current_month, previous_year, current_year;
  };
  const Case cases[] = {
      // Every month of a common year after a common year.
      {2023, 1, 31, 31, 365, 365},
      {2023, 2, 31, 28, 365, 365},
      {2023, 3, 28, 31, 365, 365},
      {2023, 4, 31, 30, 365, 365},
      {2023, 5, 30, 31, 365, 365},
      {2023, 6, 31, 30, 365, 365},
      {2023, 7, 30, 31, 365, 365},
      {2023, 8, 31, 31, 365, 365},
      {2023, 9, 31, 30, 365, 365},
      {2023, 10, 30, 31, 365, 365},
      {2023, 11, 31, 30, 365, 365},
      {2023, 12, 30, 31, 365, 365},
      // February, and the month before March, follow the leap rule of the year itself.
      {2024, 1, 31, 31, 365, 366},
      {2024, 2, 31, 29, 365, 366},
      {2024, 3, 29, 31, 365, 366},
      {2100, 2, 31, 28, 365, 365},
      {2100, 3, 28, 31, 365, 365},
      {2000, 2, 31, 29, 365, 366},
      {2000, 3, 29, 31, 365, 366},
      // The year before counts whole calendar years.
      {2025, 6, 31, 30, 366, 365},
      {2001, 12, 30, 31, 366, 365},
  };
  for (const Case& c : cases) {
    const CalendarLengths got = lengths_around(c.year, c.month);
    EXPECT_EQ(got.previous_month, c.previous_month) << c.year << "-" << c.month;
    EXPECT_EQ(got.current_month, c.current_month) << c.year << "-" << c.month;
    EXPECT_EQ(got.previous_year, c.previous_year) << c.year;
    EXPECT_EQ(got.current_year, c.current_year) << c.year;
  }
}

TEST(DateOfDay, WorkedValues) {
  const struct {
    std::int32_t day;
    CalendarDate date;
  } cases[] = {
      {1, {1, 1, 1}},          {365, {1, 12, 31}},        {366, {2, 1, 1}},
      {1461, {4, 12, 31}},  // the 366th day of the first leap year
      {719163, {1970, 1, 1}},  {693654, {1900, 2, 28}},   {693655, {1900, 3, 1}},
      {730179, {2000, 2, 29}}, {730485, {2000, 12, 31}},  // the last day of a 400-year cycle
      {730486, {2001, 1, 1}},  {738945, {2024, 2, 29}},   {739251, {2024, 12, 31}},
      {739252, {2025, 1, 1}},  {3652059, {9999, 12, 31}}, {2143038819, {5867441, 12, 31}},
  };
  for (const auto& c : cases) {
    const CalendarDate got = date_of_day(c.day);
    EXPECT_EQ(got.year, c.date.year) << c.day;
    EXPECT_EQ(got.month, c.date.month) << c.day;
    EXPECT_EQ(got.mday, c.date.mday) << c.day;
  }
}

TEST(DateOfDay, ReversesDayNumberOnEveryDayUpToTheYear10000) {
  const std::int32_t last = day(10000, 12, 31);
  std::int32_t wrong = 0;
  for (std::int32_t n = 1; n <= last; ++n) {
    const CalendarDate date = date_of_day(n);
    if (day_number(date.year, date.month, date.mday) != n && ++wrong <= 5)
      ADD_FAILURE() << n << " gives " << date.year << "-" << date.month << "-" << date.mday;
  }
  EXPECT_EQ(wrong, 0);
}

}  // namespace
