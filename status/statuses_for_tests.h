// Records for the unit tests of the listing: a job status made by hand, as
// judge would make it, for the printers and the verdict to take.
#pragma once

#include <cstdint>

#include "status/status.h"

/// The status of the job in the state, with its days and next due day.
inline JobStatus status_of(const JobEntry& job, JobState state, std::int32_t days,
                           std::int32_t next_due = 1) {
  JobStatus status{};
  status.job = &job;
  status.state = state;
  status.days = days;
  status.next_due = next_due;
  return status;
}
