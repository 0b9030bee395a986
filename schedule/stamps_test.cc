// The due decision on a stamp's bytes, with today and the month and year
// lengths given: the real date never enters these tests.
#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "schedule/schedule.h"

namespace {

/// The previous and the current length of what a case's period counts in.
struct PeriodLengths {
  std::int32_t previous;
  std::int32_t current;
};

constexpr auto none = PeriodKind::none;
constexpr auto monthly = PeriodKind::monthly;
constexpr auto yearly = PeriodKind::yearly;

struct Case {
  const char* what;
  std::string_view stamp;
  int year, month, mday;  // the start date
  std::int32_t period_days;
  PeriodKind kind;
  PeriodLengths lengths;
  Due expected;
};

void expect_cases(std::initializer_list<Case> cases, int force = 0) {
  for (const Case& c : cases) {
    // The pair a case's period does not count in holds lengths that would
    // turn the decision round, so using the wrong pair fails the case.
    const PeriodLengths wrong =
        c.expected == Due::yes ? PeriodLengths{INT32_MAX, -1} : PeriodLengths{INT32_MIN, INT32_MIN};
    const CalendarLengths around =
        c.kind == PeriodKind::yearly
            ? CalendarLengths{wrong.previous, wrong.current, c.lengths.previous, c.lengths.current}
            : CalendarLengths{c.lengths.previous, c.lengths.current, wrong.previous, wrong.current};
    const std::int32_t today_number = day_number(c.year, c.month, c.mday);
    EXPECT_EQ(decide_due(c.stamp, force, today_number, c.period_days, c.kind, around), c.expected) << c.what;
  }
}

TEST(DecideDue, StampsThatAreNoDate) {
  const std::int32_t today_number = day_number(2024, 3, 12);
  expect_cases({
      {"empty stamp, huge period", "", 2024, 3, 12, 1000000, none, {}, Due::yes},
      {"7 bytes, monthly", "2024031", 2024, 3, 12, 0, monthly, {29, 31}, Due::yes},
      {"letters count as day 0", "abcdefgh", 2024, 3, 12, today_number, none, {}, Due::yes},
      {"letters, period beyond today", "abcdefgh", 2024, 3, 12, today_number + 1, none, {}, Due::no},
      {"letters, monthly", "abcdefgh", 2024, 3, 12, 0, monthly, {29, 31}, Due::yes},
      {"letters, yearly", "abcdefgh", 2024, 3, 12, 0, yearly, {365, 366}, Due::yes},
      {"impossible date counts as day -1", "20230229", 2024, 3, 12, today_number + 1, none, {}, Due::yes},
      {"impossible date, longer period", "20230229", 2024, 3, 12, today_number + 2, none, {}, Due::no},
      {"impossible date, yearly", "20230229", 2024, 3, 12, 0, yearly, {365, 366}, Due::yes},
  });
}

TEST(DecideDue, NumericPeriods) {
  expect_cases({
      {"7 days old, period 0", "20240305", 2024, 3, 12, 0, none, {}, Due::yes},
      {"7 days old, period 6", "20240305", 2024, 3, 12, 6, none, {}, Due::yes},
      {"7 days old, period 7", "20240305", 2024, 3, 12, 7, none, {}, Due::yes},
      {"7 days old, period 8", "20240305", 2024, 3, 12, 8, none, {}, Due::no},
      {"stamped today, period 1", "20240312", 2024, 3, 12, 1, none, {}, Due::no},
      {"stamp in the future", "20240320", 2024, 3, 12, 7, none, {}, Due::yes},
  });
}

TEST(DecideDue, NamedPeriods) {
  expect_cases({
      {"monthly: 30 days, equal to April", "20240331", 2024, 4, 30, 0, monthly, {31, 30}, Due::yes},
      {"monthly: 29 days in April", "20240331", 2024, 4, 29, 0, monthly, {31, 30}, Due::no},
      {"monthly: 1 Feb to 1 Mar 2024", "20240201", 2024, 3, 1, 0, monthly, {29, 31}, Due::yes},
      {"monthly: 1 Mar to 30 Mar 2024", "20240301", 2024, 3, 30, 0, monthly, {29, 31}, Due::yes},
      {"monthly: stamp in the future", "20240320", 2024, 3, 12, 0, monthly, {29, 31}, Due::no},
      {"yearly: 366 days", "20230301", 2024, 3, 1, 0, yearly, {365, 366}, Due::yes},
      {"yearly: 364 days", "20230301", 2024, 2, 28, 0, yearly, {365, 366}, Due::no},
      {"yearly: 1 Jan to 31 Dec 2024", "20240101", 2024, 12, 31, 0, yearly, {365, 366}, Due::yes},
      {"yearly: stamp in the future", "20250101", 2024, 12, 31, 0, yearly, {365, 366}, Due::no},
      {"unknown kind", "20240101", 2024, 12, 31, 0, static_cast<PeriodKind>(3), {}, Due::unknown_period},
  });
}

TEST(DecideDue, ForceRunIgnoresTheStamp) {
  expect_cases(
      {
          {"stamped today", "20240312", 2024, 3, 12, 8, none, {}, Due::yes},
          {"future, monthly", "20240320", 2024, 3, 12, 0, monthly, {29, 31}, Due::yes},
          {"future, yearly", "20250101", 2024, 3, 12, 0, yearly, {365, 366}, Due::yes},
      },
      1);
}

}  // namespace
