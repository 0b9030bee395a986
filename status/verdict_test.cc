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

JobStatus ended(Outcome outcome, std::int32_t number = 0) {
  JobStatus status = with(JobState::waiting, 3);
  status.result = {ResultState::found, outcome, number, false, 1710237605};
  return status;
}

JobStatus without_line(ResultState why) {
  JobStatus status = with(JobState::waiting, 3);
  status.result.state = why;
  return status;
}

TEST(ExitStatus, TheMostUrgentWins) {
  const JobStatus due_3 = with(JobState::due, 3);
  const JobStatus due_4 = with(JobState::due, 4);
  const JobStatus waiting = with(JobState::waiting, 400);
  const JobStatus unseen = with(JobState::unknown, 0);
  const JobStatus held = with(JobState::in_progress, 0);
  constexpr Checks off{-1, false};
  constexpr Checks overdue_3{3, false};
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
      {"a limit of 0: due for a day is too long", {with(JobState::due, 1)}, Checks{0, false}, false, 2},
      {"a limit of 0: due today is not", {with(JobState::due, 0)}, Checks{0, false}, false, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(exit_status(c.jobs.data(), static_cast<int>(c.jobs.size()), c.checks, c.trouble), c.expected)
        << c.what;
}

TEST(ExitStatus, ARefusedTableOrSpoolFailsEveryCheck) {
  const JobStatus waiting = with(JobState::waiting, 3);
  const JobStatus unseen = with(JobState::unknown, 0);
  const struct {
    const char* what;
    std::vector<JobStatus> jobs;
    Checks checks;
    int expected;
  } cases[] = {
      {"overdue, every job waiting", {waiting}, Checks{3, false}, 2},
      {"failed, no job at all", {}, Checks{-1, true}, 2},
      {"over a job that cannot be seen", {unseen}, Checks{3, true}, 2},
      {"no check: the warning's trouble", {waiting}, Checks{-1, false}, 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(exit_status(c.jobs.data(), static_cast<int>(c.jobs.size()), c.checks, true, true), c.expected)
        << c.what;
}

TEST(ExitStatus, FailedLooksAtTheLastRecordedRun) {
  constexpr Checks off{-1, false};
  constexpr Checks failed{-1, true};
  constexpr Checks both{3, true};
  const JobStatus ok = ended(Outcome::ok);
  const JobStatus exit_1 = ended(Outcome::exit, 1);
  const JobStatus signal_9 = ended(Outcome::signal, 9);
  const JobStatus abnormal = ended(Outcome::abnormal);
  const JobStatus no_line = without_line(ResultState::no_line);
  const JobStatus no_journal = without_line(ResultState::no_journal);
  const JobStatus not_readable = without_line(ResultState::not_readable);
  const JobStatus unseen = with(JobState::unknown, 0);
  const struct {
    const char* what;
    std::vector<JobStatus> jobs;
    Checks checks;
    bool trouble;
    int expected;
  } cases[] = {
      {"every run ended well", {ok, ok}, failed, false, 0},
      {"a failure, but not asked about", {exit_1, signal_9}, off, false, 0},
      {"an exit status", {ok, exit_1}, failed, false, 2},
      {"a signal", {signal_9}, failed, false, 2},
      {"an abnormal end", {abnormal}, failed, false, 2},
      {"a failure beside a table problem", {abnormal}, failed, true, 2},
      {"no line: nothing recorded against it", {no_line, no_journal}, failed, false, 0},
      {"a journal the caller may not read", {ok, not_readable}, failed, false, 3},
      {"a journal the caller may not read, not asked about", {not_readable}, Checks{3, false}, false, 0},
      {"a stamp that cannot be read", {ok, unseen}, failed, false, 3},
      {"a failure outranks a stamp that cannot be read", {unseen, exit_1}, failed, false, 2},
      {"overdue alone, with both asked", {with(JobState::due, 4), ok}, both, false, 2},
      {"failed alone, with both asked", {with(JobState::due, 3), exit_1}, both, false, 2},
      {"neither, with both asked", {with(JobState::due, 3), ok, no_line}, both, false, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(exit_status(c.jobs.data(), static_cast<int>(c.jobs.size()), c.checks, c.trouble), c.expected)
        << c.what;
}

}  // namespace
