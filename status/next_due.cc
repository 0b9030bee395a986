// The due days of a job, as the scheduler would decide them.
//
// The listing never has a rule of its own for whether a job is due on a
// day: it asks the scheduler's own due decision, with the month and year
// lengths around that day, exactly as a lapsero started on that day would
// judge the stamp as it stands now. So whatever the decision makes of an
// odd stamp (empty, garbage, an impossible date, a date in the future), the
// listing makes of it too.
//
// Where the due days start is arithmetic for a period counted in days: the
// decision passes over a job for that many days from its stamped day on,
// and finds it due on every day before or after them, so no day needs to be
// tried. A named period is tried day by day, but never far: a month or a
// year is never longer than 31 or 366 days, so a job is due on every day
// once that many have passed since its stamp. The next due day is looked
// for at most one 400-year cycle ahead; a job whose period is longer is
// reported as not due within it.
//
// A job that has never run (its stamp holds no date) has no day of its own
// to count from; it counts from the day its stamp, or the table that
// brought it in, last changed (judge).

#include <algorithm>
#include <cstdint>
#include <ctime>

#include "schedule/schedule.h"
#include "status/status.h"

namespace {

/// Days of a 400-, 100- and 4-year cycle of the calendar, and of a common year.
constexpr std::int32_t days_per_400_years = 146097;
constexpr std::int32_t days_per_100_years = 36524;
constexpr std::int32_t days_per_4_years = 1461;
constexpr std::int32_t days_per_year = 365;

/// Days before the first of each month in a common year.
constexpr std::int32_t days_before_month[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

constexpr bool is_leap(std::int32_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

/// The day the scheduler counts a stamp from, as its due decision reads it:
/// 0 for fewer than 8 bytes or bytes that are no date, -1 for an impossible date.
std::int32_t counted_day(std::string_view stamp) {
  if (stamp.size() < 8) return 0;
  char date[9] = {};
  stamp.copy(date, 8);
  return stamped_day(date);
}

}  // namespace

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
  const std::int32_t leap_day = is_leap(date.year) ? 1 : 0;
  // rest is now the day of the year, from 0.
  date.month = 12;
  while (date.month > 1 && rest < days_before_month[date.month - 1] + (date.month > 2 ? leap_day : 0))
    --date.month;
  date.mday = rest - days_before_month[date.month - 1] - (date.month > 2 ? leap_day : 0) + 1;
  return date;
}

bool due_on(std::string_view stamp, std::int32_t day, std::int32_t period_days, PeriodKind kind) {
  const CalendarDate date = date_of_day(day);
  return decide_due(stamp, 0, day, period_days, kind, lengths_around(date.year, date.month)) == Due::yes;
}

std::int32_t local_day(std::time_t when) {
  std::tm local{};
  if (!localtime_r(&when, &local)) return -1;
  return day_number(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

std::int32_t next_due_day(std::string_view stamp, std::int32_t today_number, std::int32_t period_days,
                          PeriodKind kind) {
  if (kind == PeriodKind::none) {
    if (due_on(stamp, today_number, period_days, kind)) return today_number;
    // Not due today: today lies within the period that starts on the stamped
    // day (a stamp without a date counts as day 0 or -1), and the job is due
    // again on the day after it.
    const std::int64_t next = std::int64_t{counted_day(stamp)} + period_days;
    return next - today_number <= search_horizon ? static_cast<std::int32_t>(next) : 0;
  }
  for (std::int32_t ahead = 0; ahead <= search_horizon; ++ahead)
    if (due_on(stamp, today_number + ahead, period_days, kind)) return today_number + ahead;
  return 0;
}

std::int32_t days_due(std::string_view stamp, std::int32_t today_number, std::int32_t period_days,
                      PeriodKind kind) {
  // A job is due again only after the day it last ran, and a stamp without a
  // date gives nothing to count from.
  const std::int32_t stamped = counted_day(stamp);
  if (stamped <= 0 || !due_on(stamp, today_number, period_days, kind)) return 0;
  if (kind == PeriodKind::none) {
    // A period of 0 or 1 makes the day after the stamped one the first due
    // day counted.
    const std::int64_t first = std::int64_t{stamped} + std::max(period_days, 1);
    return first < today_number ? static_cast<std::int32_t>(today_number - first) : 0;
  }
  // Every day from this one on is due, whatever the months around it.
  const std::int32_t always_due = kind == PeriodKind::monthly ? 31 : 366;
  std::int32_t first = today_number;
  if (today_number - stamped > always_due) first = stamped + always_due;
  while (first - 1 > stamped && due_on(stamp, first - 1, period_days, kind)) --first;
  return today_number - first;
}

JobStatus judge(const JobEntry* job, const StampProbe& probe, std::int32_t today_number,
                std::int32_t table_day) {
  JobStatus status{};
  status.job = job;
  status.probe = probe;
  if (probe.error != 0) {
    status.last_run = LastRun::unreadable;
    status.state = JobState::unknown;
    return status;
  }
  const std::string_view stamp(probe.bytes, static_cast<std::size_t>(probe.length));
  if (probe.missing || probe.length == 0) {
    status.last_run = LastRun::never;
  } else {
    const std::int32_t stamped = counted_day(stamp);
    status.last_run = stamped > 0 ? LastRun::date : LastRun::invalid;
    status.last_day = stamped > 0 ? stamped : 0;
  }
  status.next_due = next_due_day(stamp, today_number, job->period_days, job->period_kind);
  if (probe.locked) {
    status.state = JobState::in_progress;
  } else if (status.next_due == today_number) {
    status.state = JobState::due;
    if (status.last_run == LastRun::date) {
      status.days = days_due(stamp, today_number, job->period_days, job->period_kind);
    } else {
      // Never run: due since its stamp last changed (the scheduler creates
      // it empty at the first due test), or, without a stamp, since the
      // table that brought the job in did. A change day still to come
      // counts nothing.
      const std::int32_t since = probe.missing ? table_day : probe.changed_day;
      status.days = since > 0 && since < today_number ? today_number - since : 0;
    }
  } else {
    status.state = JobState::waiting;
    status.days = status.next_due == 0 ? 0 : status.next_due - today_number;
  }
  return status;
}
