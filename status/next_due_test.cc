// The listing's due days: the next due day, how long a job has been due,
// and the state a stamp gives. Expected dates are worked out by hand from
// the calendar, and spans of days counted with std::chrono. The dates are
// handed to the functions and compared with what they return as the
// product's own day numbers (day_number, which calendar_test.cc holds to
// written-out values), so a fault in day_number could hide here; the spans
// of days never pass through it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "schedule/schedule.h"
#include "status/status.h"

namespace {

constexpr auto none = PeriodKind::none;
constexpr auto monthly = PeriodKind::monthly;
constexpr auto yearly = PeriodKind::yearly;

std::int32_t day(int year, int month, int mday) { return day_number(year, month, mday); }

/// Days from one date to another, by std::chrono's calendar.
std::int32_t days_between(std::chrono::year_month_day from, std::chrono::year_month_day to) {
  return static_cast<std::int32_t>((std::chrono::sys_days(to) - std::chrono::sys_days(from)).count());
}

struct NextDueCase {
  const char* what;
  std::string_view stamp;
  std::int32_t today;
  std::int32_t period_days;
  PeriodKind kind;
  std::int32_t expected;  // 0: not within the search
};

TEST(NextDueDay, FirstDayTheSchedulerWouldRunTheJob) {
  const NextDueCase cases[] = {
      {"no stamp", "", day(2024, 3, 12), 7, none, day(2024, 3, 12)},
      {"short stamp", "2024031", day(2024, 3, 12), 7, none, day(2024, 3, 12)},
      {"7 days after, period 7", "20240305", day(2024, 3, 12), 7, none, day(2024, 3, 12)},
      {"5 days after, period 7", "20240305", day(2024, 3, 10), 7, none, day(2024, 3, 12)},
      {"period 8", "20240305", day(2024, 3, 12), 8, none, day(2024, 3, 13)},
      {"period 0, stamped today", "20240312", day(2024, 3, 12), 0, none, day(2024, 3, 12)},
      {"across the year end", "20231228", day(2023, 12, 30), 7, none, day(2024, 1, 4)},
      {"future stamp, numeric", "20240320", day(2024, 3, 12), 30, none, day(2024, 3, 12)},
      {"impossible date, numeric", "20230229", day(2024, 3, 12), 7, none, day(2024, 3, 12)},
      // Due on 30 April, where the days since equal April's length.
      {"monthly after 31 March", "20240331", day(2024, 4, 15), 0, monthly, day(2024, 4, 30)},
      {"monthly into a leap February", "20240131", day(2024, 2, 15), 0, monthly, day(2024, 2, 29)},
      {"monthly into a common February", "20230131", day(2023, 2, 15), 0, monthly, day(2023, 2, 28)},
      {"monthly into 2100's February", "21000131", day(2100, 2, 1), 0, monthly, day(2100, 2, 28)},
      // Not due while the stamp lies ahead; then due on 19 April, 30 days
      // after it, as April has 30.
      {"monthly, future stamp", "20240320", day(2024, 3, 12), 0, monthly, day(2024, 4, 19)},
      {"monthly, garbage stamp", "abcdefgh", day(2024, 3, 12), 0, monthly, day(2024, 3, 12)},
      // 365 days after is enough in 2024, as 2023 had 365.
      {"yearly into a leap year", "20230301", day(2024, 2, 20), 0, yearly, day(2024, 2, 29)},
      {"yearly from a leap day", "20240229", day(2024, 6, 1), 0, yearly, day(2025, 2, 28)},
      {"a 100-year period", "20240305", day(2024, 3, 12), 36500, none, day(2124, 2, 10)},
      // A stamp without a date counts as day -1 (impossible) or 0 (no
      // date): a period of 800,000 days from day -1 ends on day 799,999.
      {"impossible date, a long period", "20230229", day(2024, 3, 12), 800000, none, day(2191, 4, 28)},
      {"garbage, a long period", "abcdefgh", day(2024, 3, 12), 800000, none, day(2191, 4, 29)},
      // 200,000 days after 1 January 1600, counted with Python's calendar.
      {"an old stamp, a longer period", "16000101", day(2026, 12, 9), 200000, none, day(2147, 8, 1)},
      {"longer than the search", "20240305", day(2024, 3, 12), 2147483647, none, 0},
      {"garbage under a longer period", "abcdefgh", day(2024, 3, 12), 2147483647, none, 0},
  };
  for (const auto& c : cases) {
    const std::int32_t got = next_due_day(c.stamp, c.today, c.period_days, c.kind);
    EXPECT_EQ(got, c.expected) << c.what << ": got " << (got > 0 ? date_text(got) : "none");
  }
}

TEST(NextDueDay, DueOnTheLastDayOfTheSearchButNotAfterIt) {
  const std::int32_t today = day(2024, 3, 12);
  const std::string stamp = "20240312";
  EXPECT_EQ(next_due_day(stamp, today, search_horizon, none), today + search_horizon);
  EXPECT_EQ(next_due_day(stamp, today, search_horizon + 1, none), 0);
}

TEST(DaysDue, CountsTheUnbrokenDueDaysBeforeToday) {
  const NextDueCase cases[] = {
      {"daily, ran yesterday", "20240311", day(2024, 3, 12), 1, none, 0},
      {"daily, ran 11 days ago", "20240301", day(2024, 3, 12), 1, none, 10},
      {"weekly, due since the 8th", "20240301", day(2024, 3, 12), 7, none, 4},
      {"period 0, ran yesterday", "20240311", day(2024, 3, 12), 0, none, 0},
      // Due on 30 April (30 days, April's length), not on the 29th.
      {"monthly, since 30 April", "20240331", day(2024, 5, 3), 0, monthly, 3},
      {"yearly, since the leap day", "20230301", day(2024, 3, 2), 0, yearly, 2},
      {"future stamp", "20240320", day(2024, 3, 12), 7, none, 0},
      {"no stamp", "", day(2024, 3, 12), 1, none, 0},
      {"garbage", "abcdefgh", day(2024, 3, 12), 1, none, 0},
      {"impossible date", "20230229", day(2024, 3, 12), 1, none, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(days_due(c.stamp, c.today, c.period_days, c.kind), c.expected) << c.what;
}

TEST(DaysDue, ExactForStampsOlderThanTheSearch) {
  using namespace std::chrono;
  const year_month_day today = 2026y / December / 9;
  const std::int32_t today_number = day(2026, 12, 9);
  EXPECT_EQ(days_due("16000101", today_number, 1, none), 155935);
  const struct {
    const char* what;
    std::int32_t period_days;
    PeriodKind kind;
    year_month_day first_due;
  } cases[] = {
      {"daily", 1, none, 1600y / January / 2},
      {"period 0", 0, none, 1600y / January / 2},
      {"weekly", 7, none, 1600y / January / 8},
      {"100 years", 36500, none, 1699y / December / 7},
      // 31 days have passed on 1 February, January's length.
      {"monthly", 0, monthly, 1600y / February / 1},
      // 365 days have passed on the leap year's last day, 1599's length.
      {"yearly", 0, yearly, 1600y / December / 31},
  };
  for (const auto& c : cases)
    EXPECT_EQ(days_due("16000101", today_number, c.period_days, c.kind), days_between(c.first_due, today))
        << c.what;
}

TEST(DaysDue, NamedPeriodsCountEveryUnbrokenDay) {
  // The count may stop looking once a month or a year has surely passed;
  // it must still end where a walk back over every day, asking the
  // scheduler's decision, ends. Around month ends, leap days and the
  // common February of 2100.
  const std::int32_t todays[] = {day(2024, 2, 28), day(2024, 2, 29),  day(2024, 3, 1), day(2024, 3, 31),
                                 day(2024, 5, 1),  day(2024, 12, 31), day(2025, 3, 1), day(2100, 3, 1),
                                 day(2100, 2, 28), day(2023, 1, 30)};
  int wrong = 0;
  for (const PeriodKind kind : {monthly, yearly}) {
    for (const std::int32_t today : todays) {
      // Every stamp up to 400 days old, then a few up to 800.
      for (std::int32_t back = 0; back <= 800; back += back < 400 ? 1 : 13) {
        const CalendarDate date = date_of_day(today - back);
        char stamp[16];
        std::snprintf(stamp, sizeof stamp, "%04d%02d%02d", date.year, date.month, date.mday);
        std::int32_t walked = 0;
        if (due_on(stamp, today, 0, kind))
          while (back - walked > 1 && due_on(stamp, today - walked - 1, 0, kind)) ++walked;
        const std::int32_t got = days_due(stamp, today, 0, kind);
        if (got != walked && ++wrong <= 5)
          ADD_FAILURE() << stamp << " on " << date_text(today) << ": " << got << ", walked " << walked;
      }
    }
  }
  EXPECT_EQ(wrong, 0);
}

JobEntry job_with(std::int32_t period_days, PeriodKind kind) {
  JobEntry job{};
  job.name = "job";
  job.command = "true";
  job.period_days = period_days;
  job.period_kind = kind;
  return job;
}

/// A probe as probe_stamp gives it for a stamp holding these bytes: only
/// the first 8 are ever read.
StampProbe holding(std::string_view bytes) {
  StampProbe probe{};
  probe.length = static_cast<int>(bytes.copy(probe.bytes, stamp_date_size));
  probe.bytes[probe.length] = '\0';
  return probe;
}

TEST(Judge, StateAndLastRunFromTheStamp) {
  const JobEntry weekly = job_with(7, none);
  const std::int32_t today = day(2024, 3, 12);
  StampProbe missing{};
  missing.missing = true;
  StampProbe locked = holding("20240301\n");
  locked.locked = true;
  locked.lock_pid = 4242;
  StampProbe denied{};
  denied.error = EACCES;
  const struct {
    const char* what;
    StampProbe probe;
    LastRun last_run;
    std::int32_t last_day;
    JobState state;
    std::int32_t next_due;
    std::int32_t days;
  } cases[] = {
      {"missing", missing, LastRun::never, 0, JobState::due, today, 0},
      {"empty", holding(""), LastRun::never, 0, JobState::due, today, 0},
      {"short", holding("2024031"), LastRun::invalid, 0, JobState::due, today, 0},
      {"letters", holding("abcdefgh"), LastRun::invalid, 0, JobState::due, today, 0},
      {"impossible", holding("20230229"), LastRun::invalid, 0, JobState::due, today, 0},
      {"due", holding("20240301"), LastRun::date, day(2024, 3, 1), JobState::due, today, 4},
      {"waiting", holding("20240310"), LastRun::date, day(2024, 3, 10), JobState::waiting, day(2024, 3, 17),
       5},
      {"in the future", holding("20250101"), LastRun::date, day(2025, 1, 1), JobState::due, today, 0},
      {"locked", locked, LastRun::date, day(2024, 3, 1), JobState::in_progress, today, 0},
      {"unreadable", denied, LastRun::unreadable, 0, JobState::unknown, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const JobStatus status = judge(&weekly, c.probe, today, today);
    EXPECT_EQ(status.job, &weekly);
    EXPECT_EQ(status.last_run, c.last_run);
    EXPECT_EQ(status.last_day, c.last_day);
    EXPECT_EQ(status.state, c.state);
    EXPECT_EQ(status.next_due, c.next_due);
    EXPECT_EQ(status.days, c.days);
  }
}

TEST(Judge, NeverRunCountsFromTheLastChange) {
  const JobEntry weekly = job_with(7, none);
  const std::int32_t today = day(2024, 3, 12);
  const auto changed = [](StampProbe probe, std::int32_t day) {
    probe.changed_day = day;
    return probe;
  };
  StampProbe missing{};
  missing.missing = true;
  const struct {
    const char* what;
    StampProbe probe;
    std::int32_t table_day;
    std::int32_t days;
  } cases[] = {
      {"no stamp, the table changed 5 days ago", missing, today - 5, 5},
      {"no stamp, the table changed today", missing, today, 0},
      {"no stamp, the table changes in the future", missing, today + 2, 0},
      {"no stamp, the table's day unknown", missing, 0, 0},
      {"empty, changed 3 days ago", changed(holding(""), today - 3), today - 100, 3},
      {"short, changed yesterday", changed(holding("2024031"), today - 1), today - 100, 1},
      {"letters, changed 400 years ago", changed(holding("abcdefgh"), today - 146097), today, 146097},
      {"impossible, changed 2 days ago", changed(holding("20230229"), today - 2), today, 2},
      {"empty, changed in the future", changed(holding(""), today + 1), today - 100, 0},
      // A date counts from the date, whenever the file last changed.
      {"a date, changed long ago", changed(holding("20240301\n"), today - 50), today - 100, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const JobStatus status = judge(&weekly, c.probe, today, c.table_day);
    EXPECT_EQ(status.state, JobState::due);
    EXPECT_EQ(status.days, c.days);
  }
  // Not due at all: the days say when it will be, as for any waiting job.
  const JobEntry forever = job_with(800000, none);
  const JobStatus waiting = judge(&forever, changed(holding("abcdefgh"), today - 10), today, today);
  EXPECT_EQ(waiting.state, JobState::waiting);
  EXPECT_EQ(waiting.days, 800000 - today);
}

TEST(Judge, NotDueWithinTheSearchIsWaitingWithoutADay) {
  const JobEntry forever = job_with(2147483647, none);
  const JobStatus status = judge(&forever, holding("20240301\n"), day(2024, 3, 12), day(2024, 3, 1));
  EXPECT_EQ(status.state, JobState::waiting);
  EXPECT_EQ(status.next_due, 0);
  EXPECT_EQ(status.days, 0);
}

}  // namespace
