// The stamp format and the due decision, which the scheduler and the
// listing both ask.
//
// Each job has a stamp file in the spool directory, named like the job, that
// records the start date of the run that last ran it: 9 bytes, "YYYYMMDD\n".
// The due test compares it with the job's period. Only the first 8 bytes
// are ever read. Creating, locking and writing stamps is the scheduler's
// alone (stamp_locks.cc), so that a read-only program cannot link it.

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>

#include "schedule/schedule.h"

std::int32_t stamped_day(const char* stamp) {
  int year, month, mday;
  if (std::sscanf(stamp, "%4d%2d%2d", &year, &month, &mday) != 3) return 0;
  return day_number(year, month, mday);
}

std::int32_t counted_day(std::string_view stamp) {
  if (stamp.size() < stamp_date_size) return 0;
  char date[stamp_date_size + 1] = {};
  stamp.copy(date, stamp_date_size);
  return stamped_day(date);
}

flock whole_file_lock(short type) {
  flock lock{};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // to the end, however long the file grows
  return lock;
}

Due decide_due(std::string_view stamp, int force, std::int32_t today_number, std::int32_t period_days,
               PeriodKind kind, const CalendarLengths& around) {
  if (force || stamp.size() < stamp_date_size) return Due::yes;
  // A stamp that is not a date counts as day 0, an impossible date as day -1:
  // either way the job is due, unless a numeric period is longer still.
  const std::int32_t elapsed = today_number - counted_day(stamp);
  // A stamp in the future (a clock set back) skips the period test.
  if (elapsed >= 0 && elapsed < period_days) return Due::no;
  switch (kind) {
    case PeriodKind::none: return Due::yes;
    case PeriodKind::monthly:
      return elapsed >= around.previous_month || elapsed == around.current_month ? Due::yes : Due::no;
    case PeriodKind::yearly:
      return elapsed >= around.previous_year || elapsed == around.current_year ? Due::yes : Due::no;
  }
  return Due::unknown_period;
}

const char* odd_stamp_reason(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFCHR: return "Is a character device, not a regular file";
    case S_IFBLK: return "Is a block device, not a regular file";
    case S_IFIFO: return "Is a FIFO, not a regular file";
    case S_IFSOCK: return "Is a socket, not a regular file";
    default: return nullptr;
  }
}
