// The exit status: the worst thing the listing saw wins, and a job it could
// not see counts only when a check is asked for.
#include <gtest/gtest.h>

#include <vector>

#include "status/status.h"

namespace {

JobStatus with(JobState state, std::int32_t days) {
  JobStatus status{};
  status.state = state;
  status.days = days;
  return status;
}

TEST(ExitStatus, TheMostUrgentWins) {
  const JobStatus due_3 = with(JobState::due, 3);
  const JobStatus due_4 = with(JobState::due, 4);
  const JobStatus waiting = with(JobState::waiting, 400);
  const JobStatus unseen = with(JobState::unknown, 0);
  const JobStatus held = with(JobState::in_progress, 0);
  constexpr Checks off{-1};
  constexpr Checks overdue_3{3};
  const struct {
    const char* what;
    std::vector<JobStatus> jobs;
    Checks checks;
    bool trouble;
    int expected;
  } cases[] = {
      {"nothing asked, nothing wrong", {due_4, unseen}, off, false, 0},
      {"nothing asked, a table problem", {due_4}, off, true, 1},
      {"no job at all", {}, overdue_3, false, 0},
      {"due, but not for more days than allowed", {due_3, waiting, held}, overdue_3, false, 0},
      {"due for more days", {due_3, due_4}, overdue_3, false, 2},
      {"due for more days beside a table problem", {due_4}, overdue_3, true, 2},
      {"a job that cannot be seen", {due_3, unseen}, overdue_3, false, 3},
      {"a job that cannot be seen beside a table problem", {unseen}, overdue_3, true, 3},
      {"a job that cannot be seen after an overdue one", {due_4, unseen}, overdue_3, true, 2},
      {"a job that cannot be seen before an overdue one", {unseen, due_4}, overdue_3, false, 2},
      {"a limit of 0: due for a day is too long", {with(JobState::due, 1)}, Checks{0}, false, 2},
      {"a limit of 0: due today is not", {with(JobState::due, 0)}, Checks{0}, false, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(exit_status(c.jobs.data(), static_cast<int>(c.jobs.size()), c.checks, c.trouble), c.expected)
        << c.what;
}

}  // namespace
