// A scheduler at work, watched from outside while it runs (the Watched
// fixture of e2e.h): stop requests by SIGUSR1, two schedulers sharing one
// spool, and a run in the background.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <sstream>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

TEST_F(Watched, StopRequestDuringAWaitStartsNoFurtherJob) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int later_delay;
    std::vector<std::string> announced;
  };
  const Case cases[] = {
      {"waiting for a delay",
       {"-d"},
       5,
       {"Will run job `running' in 0 min.", "Will run job `later' in 5 min."}},
      {"waiting for the running job",
       {"-d", "-s"},
       0,
       {"Will run job `running' in 0 min.", "Will run job `later' in 0 min.",
        "Jobs will be executed sequentially"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fresh_case(c.what);
    table("1 0 running " + wait_at_gate() + "; echo finished\n1 " + std::to_string(c.later_delay) +
          " later echo late\n");
    set_stamp("later", "20240101\n");
    auto run = sandbox::start(on_date(c.args));
    await(run, "Job `running' started");
    request_stop(run);
    // The running job is waited for: it ends only after the request.
    await(run, "Received SIGUSR1");
    open_gate(run);
    finish(run);

    EXPECT_EQ(run.exit_code(), 0) << run.err;
    std::vector<std::string> expected = {started};
    expected.insert(expected.end(), c.announced.begin(), c.announced.end());
    expected.insert(expected.end(), {"Job `running' started", "Received SIGUSR1",
                                     "Job `running' terminated (mailing output)", "Exited"});
    EXPECT_EQ(sandbox::texts(run.log), expected);
    EXPECT_EQ(stamp("running"), stamped);
    EXPECT_EQ(stamp("later"), "20240101\n");
    const auto sent = mails();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0].input.find("\n\nfinished\n"), std::string::npos);
  }
}

TEST_F(Watched, StopRequestWhileNothingRunsEndsAtOnce) {
  table("1 5 later echo late\n");
  set_stamp("later", "20240101\n");
  auto run = sandbox::start(on_date({"-d"}));
  request_stop(run);
  finish(run);
  EXPECT_EQ(run.exit_code(), 0);
  EXPECT_EQ(sandbox::texts(run.log), (std::vector<std::string>{started, "Will run job `later' in 5 min.",
                                                               "Received SIGUSR1", "Exited"}));
  EXPECT_EQ(stamp("later"), "20240101\n");
  EXPECT_TRUE(mails().empty());
}

TEST_F(Watched, StopRequestDuringTheFinalWaitIsOnlyLogged) {
  table("1 0 running " + wait_at_gate() + "; echo finished\n");
  auto run = sandbox::start(on_date({"-d"}));
  await(run, "Job `running' started");
  // Each request handled in a suspension of its own is logged on its own.
  request_stop(run);
  await(run, "Received SIGUSR1");
  ASSERT_EQ(kill(run.pid, SIGUSR1), 0);
  ASSERT_TRUE(sandbox::wait_until(
      run, [](const sandbox::Process& p) { return count_of(p, "Received SIGUSR1") == 2; }));
  open_gate(run);
  finish(run);
  EXPECT_EQ(run.exit_code(), 0);
  EXPECT_EQ(sandbox::texts(run.log),
            (std::vector<std::string>{
                started, "Will run job `running' in 0 min.", "Job `running' started", "Received SIGUSR1",
                "Received SIGUSR1", "Job `running' terminated (mailing output)", "Normal exit (1 job run)"}));
  EXPECT_EQ(stamp("running"), stamped);
  EXPECT_EQ(mails().size(), 1u);
}

TEST_F(Watched, TwoSchedulersOnOneSpoolRunEachJobOnce) {
  const std::string ran = dir + "/ran";
  table("1 0 slow echo slow >> " + ran + "; " + wait_at_gate() + "\n1 0 quick echo quick >> " + ran + "\n");
  auto first = sandbox::start(on_date({"-d"}));
  await(first, "Job `quick' terminated");
  // The first scheduler still holds slow's lock; quick is stamped, so not due.
  // Not run to the end with finish: that would wait for the first one too.
  auto second = sandbox::start(on_date({"-d"}));
  await(second, "Normal exit (0 jobs run)");
  ASSERT_TRUE(sandbox::wait_until(second, [](const sandbox::Process& p) { return p.ended; }));
  close(second.out_fd);
  close(second.err_fd);
  EXPECT_EQ(second.exit_code(), 0) << second.err;
  EXPECT_EQ(sandbox::texts(second.log),
            (std::vector<std::string>{started, "Job `slow' locked by another lapsero - skipping",
                                      "Normal exit (0 jobs run)"}));
  open_gate(first);
  finish(first);
  EXPECT_EQ(first.exit_code(), 0) << first.err;
  EXPECT_TRUE(logged(first, "Normal exit (2 jobs run)"));
  std::vector<std::string> lines;
  std::istringstream record(sandbox::read_file(ran));
  for (std::string line; std::getline(record, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"quick", "slow"}));
  EXPECT_EQ(stamp("slow"), stamped);
  EXPECT_EQ(stamp("quick"), stamped);
}

/// Runs a second scheduler to its end while the first one still runs.
sandbox::Process run_second(const sandbox::Invocation& inv) {
  auto second = sandbox::start(inv);
  EXPECT_TRUE(sandbox::wait_until(second, [](const sandbox::Process& p) { return p.ended; }));
  close(second.out_fd);
  close(second.err_fd);
  return second;
}

// Two lines with one job name share one stamp file, and so one lock. Closing
// any descriptor of a file drops this process's lock on it; a second line
// that is not due, or the first of two due lines to end, must not let a
// second scheduler in while a job of that name still runs.
TEST_F(Watched, LinesSharingAJobNameKeepTheLockWhileOneRuns) {
  struct Case {
    const char* what;
    const char* second_line;  // of the name x, below one that waits at the gate
    Lines second_args;
    const char* first_ended;  // logged by the first scheduler before the second starts
  };
  const Case cases[] = {
      {"the second line is not due", "7 0 x true\n", {"-d"}, "Job `x' started"},
      {"the other due line has ended", "1 0 x true\n", {"-d", "-f"}, "Job `x' terminated"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fresh_case(c.what);
    table("1 0 x " + wait_at_gate() + "\n" + c.second_line);
    set_stamp("x", "20240309\n");
    auto first = sandbox::start(on_date({"-d"}));
    await(first, c.first_ended);
    const auto second = run_second(on_date(c.second_args));
    EXPECT_EQ(second.exit_code(), 0) << second.err;
    EXPECT_FALSE(logged(second, "Job `x' started")) << ::testing::PrintToString(sandbox::texts(second.log));
    EXPECT_TRUE(logged(second, "Job `x' locked by another lapsero - skipping"));
    open_gate(first);
    finish(first);
    EXPECT_EQ(first.exit_code(), 0) << first.err;
    EXPECT_EQ(stamp("x"), stamped);
  }
}

// Each line still gets its own due decision: a due line and one that is not
// due, sharing a name, run the due one alone.
TEST_F(Lapsero, LinesSharingAJobNameAreJudgedEachOnItsOwn) {
  table("7 0 x echo weekly\n1 0 x echo daily\n2 0 x echo every-other\n");
  set_stamp("x", "20240311\n");
  const auto run = lapsero(on_date({"-d"}));
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_EQ(count_of(run, "Job `x' started"), 1u);
  const auto sent = mails();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].input.find("\n\ndaily\n"), std::string::npos) << sent[0].input;
  EXPECT_EQ(stamp("x"), stamped);
}

TEST_F(Watched, BackgroundRunLogsEverythingToSyslogOnly) {
  table("1 0 bg " + wait_at_gate() + "; echo from the background\n");
  auto run = sandbox::start(on_date({}));
  // The caller is released before any job has ended.
  ASSERT_TRUE(sandbox::wait_until(run, [](const sandbox::Process& p) { return p.ended; }));
  EXPECT_EQ(run.exit_code(), 0);
  await(run, "Job `bg' started");
  open_gate(run);
  finish(run);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(sandbox::texts(run.log),
            (std::vector<std::string>{started, "Will run job `bg' in 0 min.", "Job `bg' started",
                                      "Job `bg' terminated (mailing output)", "Normal exit (1 job run)"}));
  // Everything comes from the detached scheduler.
  for (const auto& entry : run.log) {
    EXPECT_NE(entry.pid, run.pid) << entry.text;
    EXPECT_EQ(entry.pid, run.log.front().pid) << entry.text;
  }
  EXPECT_EQ(stamp("bg"), stamped);
  const auto sent = mails();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].input.find("\n\nfrom the background\n"), std::string::npos) << sent[0].input;
}

}  // namespace
}  // namespace e2e
