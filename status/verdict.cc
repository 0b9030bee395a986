// The exit status, which a monitoring system reads as its verdict.
//
// A check must never be quieter than the worst it saw: a job that fails a
// check outranks a job it could not see, which outranks a table problem or
// a name that selects nothing. A job whose stamp could not be read counts
// only when a check is given: a plain listing shows it and is done.

#include "status/status.h"

namespace {

bool any_check(const Checks& checks) { return checks.overdue >= 0; }

/// Whether the job fails a check that is given.
bool fails_check(const JobStatus& status, const Checks& checks) {
  return checks.overdue >= 0 && status.state == JobState::due && status.days > checks.overdue;
}

}  // namespace

int exit_status(const JobStatus* statuses, int count, const Checks& checks, bool trouble) {
  bool unseen = false;
  for (int i = 0; i < count; ++i) {
    if (fails_check(statuses[i], checks)) return exit_check_failed;
    unseen = unseen || statuses[i].state == JobState::unknown;
  }
  if (unseen && any_check(checks)) return exit_unknown;
  return trouble ? exit_trouble : exit_ok;
}
