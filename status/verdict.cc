// The exit status, which a monitoring system reads as its verdict.
//
// A check must never be quieter than the worst it saw: a job that fails a
// check outranks a job it could not see, which outranks a table problem or
// a name that selects nothing. A job whose stamp could not be read counts
// only when a check is given: a plain listing shows it and is done.
//
// --failed looks at the last run the journal recorded. A job of which the
// journal holds no line has nothing recorded against it, whether it never
// ran or its lines were rotated away; but where the caller may not read the
// whole journal, the line it did not see could be a failure, and the job
// counts as one the check could not see.
//
// A table or a spool that lapsero would refuse fails every check: none of
// the jobs listed will run, however their stamps read.

#include "status/status.h"

namespace {

bool any_check(const Checks& checks) { return checks.overdue >= 0 || checks.failed; }

bool last_run_failed(const LastResult& result) {
  return result.state == ResultState::found && result.outcome != Outcome::ok;
}

/// Whether the job fails a check that is given.
bool fails_check(const JobStatus& status, const Checks& checks) {
  if (checks.failed && last_run_failed(status.result)) return true;
  return checks.overdue >= 0 && status.state == JobState::due && status.days > checks.overdue;
}

/// Whether a check that is given could not see what it needs of the job.
bool unseen(const JobStatus& status, const Checks& checks) {
  if (status.state == JobState::unknown) return true;
  return checks.failed && status.result.state == ResultState::not_readable;
}

}  // namespace

int exit_status(const JobStatus* statuses, int count, const Checks& checks, bool trouble, bool refused) {
  if (refused && any_check(checks)) return exit_check_failed;
  bool any_unseen = false;
  for (int i = 0; i < count; ++i) {
    if (fails_check(statuses[i], checks)) return exit_check_failed;
    any_unseen = any_unseen || unseen(statuses[i], checks);
  }
  if (any_unseen && any_check(checks)) return exit_unknown;
  return trouble ? exit_trouble : exit_ok;
}
