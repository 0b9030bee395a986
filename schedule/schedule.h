// Scheduling: calendar arithmetic, stamp files and job locks, the run list.
#pragma once

#include <cstdint>
#include <string_view>

#include "lapsero.h"

// ---------------------------------------------------------------------------
// Calendar arithmetic (calendar.cc)

/// Day number of a proleptic Gregorian date, 1 January of year 1 being day 1;
/// -1 for an invalid or out-of-range date.
std::int32_t day_number(std::int32_t year, std::int32_t month, std::int32_t mday);

/// The lengths of the months and years around a date (month 1 to 12).
CalendarLengths lengths_around(std::int32_t year, std::int32_t month);

// ---------------------------------------------------------------------------
// Stamp files and job locks (stamps.cc)

/// 1: due and locked (stamp_fd stays open); 0: not due or locked elsewhere.
int check_due(JobEntry* job);
/// Writes the start date into the open stamp file.
void write_stamp(JobEntry* job);
/// Closes the stamp file, which ends the job lock.
void release_stamp(JobEntry* job);
/// The update mode: open, write and close the stamp file, without the lock.
void refresh_stamp(JobEntry* job);
/// Why a file of this type cannot be a stamp, in the words of a system
/// error: for a device, a FIFO or a socket; nullptr for any other type.
const char* odd_stamp_reason(mode_t mode);

// ---------------------------------------------------------------------------
// The run list (run_list.cc)

/// Chooses and sorts the jobs of this run into run_list and run_count.
void build_run_list();

// ---------------------------------------------------------------------------
// Seams: the pure steps behind the due test and the run order, which only
// the unit tests reach.

/// The due decision on what a stamp file held.
enum class Due { no, yes, unknown_period };

/// The day a stamp's first 8 bytes record: its day number, -1 for an
/// impossible date, 0 when they do not read as a date.
std::int32_t stamped_day(const char* stamp);

/// Whether a job is due on the day today_number, given the bytes read from
/// its stamp (at most 8) and the month and year lengths around that day.
Due decide_due(std::string_view stamp, int force, std::int32_t today_number, std::int32_t period_days,
               PeriodKind kind, const CalendarLengths& around);

/// The qsort comparison of two run-list entries.
int run_order(const void* a, const void* b);
