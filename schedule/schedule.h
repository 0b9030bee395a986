// Scheduling: calendar arithmetic, stamp files and job locks, the run list.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string_view>

#include "lapsero.h"

// ---------------------------------------------------------------------------
// Calendar arithmetic (calendar.cc)

/// A date on the proleptic Gregorian calendar.
struct CalendarDate {
  std::int32_t year;   ///< full year
  std::int32_t month;  ///< 1 to 12
  std::int32_t mday;   ///< 1 to 31
};

/// Whether the year has a 29 February (the Gregorian rule).
bool is_leap(std::int32_t year);
/// Days of the month (1 to 12) in the year.
std::int32_t month_length(std::int32_t year, std::int32_t month);

/// Day number of a proleptic Gregorian date, 1 January of year 1 being day 1;
/// -1 for an invalid or out-of-range date.
std::int32_t day_number(std::int32_t year, std::int32_t month, std::int32_t mday);
/// The date of a day number, the reverse of day_number; day must be 1 or more.
CalendarDate date_of_day(std::int32_t day);
/// The local date of a moment, as a day number, and, when asked, as a date;
/// -1 when the moment has no local date that day_number can count.
std::int32_t local_day(std::time_t when, CalendarDate* date = nullptr);

/// The lengths of the months and years around a date (month 1 to 12).
CalendarLengths lengths_around(std::int32_t year, std::int32_t month);

// ---------------------------------------------------------------------------
// Stamp files and job locks. The format and the due decision (stamps.cc)
// are shared: the listing reads stamps with the same format and asks about
// the same lock. Creating, locking and writing them (stamp_locks.cc) is
// the scheduler's alone.

/// Bytes of a stamp as written, "YYYYMMDD\n"; only the first 8 are ever read.
inline constexpr int stamp_size = 9;
inline constexpr int stamp_date_size = 8;

/// The job lock: a record lock of the given type over the whole stamp file,
/// however long it grows.
flock whole_file_lock(short type);

/// The day a stamp's first 8 bytes record: its day number, -1 for an
/// impossible date, 0 when they do not read as a date.
std::int32_t stamped_day(const char* stamp);
/// The day the due test counts a stamp from, given the bytes read from it:
/// as stamped_day, and 0 for fewer than 8 bytes.
std::int32_t counted_day(std::string_view stamp);

/// The due decision on what a stamp file held.
enum class Due { no, yes, unknown_period };

/// Whether a job is due on the day today_number, given the bytes read from
/// its stamp (at most 8) and the month and year lengths around that day.
Due decide_due(std::string_view stamp, int force, std::int32_t today_number, std::int32_t period_days,
               PeriodKind kind, const CalendarLengths& around);

/// Why a file of this type cannot be a stamp, in the words of a system
/// error: for a device, a FIFO or a socket; nullptr for any other type.
const char* odd_stamp_reason(mode_t mode);

/// 1: due and locked (stamp_fd stays open); 0: not due or locked elsewhere.
int check_due(JobEntry* job);
/// Writes the start date into the open stamp file.
void write_stamp(JobEntry* job);
/// Closes the stamp file, which ends the job lock.
void release_stamp(JobEntry* job);
/// The update mode: open, write and close the stamp file, without the lock.
void refresh_stamp(JobEntry* job);

// ---------------------------------------------------------------------------
// The run list (run_list.cc, the scheduler's alone)

/// Chooses and sorts the jobs of this run into run_list and run_count.
void build_run_list();

// ---------------------------------------------------------------------------
// Seams: inner steps that only the unit tests reach.

/// The qsort comparison of two run-list entries.
int run_order(const void* a, const void* b);
