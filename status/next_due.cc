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

bool due_on(std::string_view stamp, std::int32_t day, std::int32_t period_days, PeriodKind kind) {
  const CalendarDate date = date_of_day(day);
  return decide_due(stamp, 0, day, period_days, kind, lengths_around(date.year, date.month)) == Due::yes;
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
  // A named period is never due before its stamped day (the days elapsed
  // are negative, below any month or year), so a stamp ahead of today
  // needs no look at the days before it.
  const std::int32_t stamped = counted_day(stamp);
  std::int32_t ahead = 0;
  if (stamped > today_number) {
    if (stamped - today_number > search_horizon) return 0;
    ahead = stamped - today_number;
  }
  for (; ahead <= search_horizon; ++ahead)
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
