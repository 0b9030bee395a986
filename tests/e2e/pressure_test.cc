// What must hold when something gets in the way of a run: a second
// scheduler at the worst moment, more due jobs than the caller's descriptor
// limit, a run that crosses midnight, and a scheduler killed while it
// creates a job's output file.
//
// The worst moments are reached with a preloaded library (fault_inject.c)
// that holds the scheduler at one exact point, or kills it there, so that
// nothing depends on timing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

/// The lines of a file, in order.
Lines lines_of(const std::string& path) {
  Lines lines;
  std::istringstream text(sandbox::read_file(path));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

class Pressure : public Lapsero {
 protected:
  /// An invocation with the fault library preloaded and one of its
  /// behaviours switched on. Without libfaketime: both would want LD_PRELOAD.
  sandbox::Invocation with_fault(std::vector<std::string> args, const std::string& variable,
                                 const std::string& value = "1") {
    auto inv = invocation(std::move(args));
    inv.env["LD_PRELOAD"] = FAULT_INJECT_LIBRARY;
    inv.env[variable] = value;
    return inv;
  }

  /// Opens the write end of a FIFO once the process waits at its read end.
  int open_writer(sandbox::Process& run, const std::string& fifo) {
    int fd = -1;
    EXPECT_TRUE(sandbox::wait_until(run,
                                    [&](const sandbox::Process&) {
                                      fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                                      return fd >= 0;
                                    }))
        << "nothing came to read " << fifo;
    return fd;
  }

  /// Runs lapsero to its own end while another process of the test still
  /// runs: lapsero() would wait for that one too, and kill it in the end.
  sandbox::Process run_beside(const sandbox::Invocation& inv) {
    auto run = sandbox::start(inv);
    EXPECT_TRUE(sandbox::wait_until(
        run, [](const sandbox::Process& p) { return p.ended && p.out_fd < 0 && p.err_fd < 0; }));
    return run;
  }

  void expect_output_file_leaves_nothing(const std::string& fault);

  /// Names left in a directory.
  static Lines entries(const std::string& path) {
    Lines names;
    for (const auto& found : std::filesystem::directory_iterator(path))
      names.push_back(found.path().filename().string());
    return names;
  }
};

// Scheduler B reads the old stamp and decides the job is due; before it asks
// for the lock, scheduler A runs the job, stamps it and lets go. B, granted
// the lock, must read the stamp again and pass the job over, silently.
TEST_F(Pressure, JobRunByAnotherSchedulerWhileThisOneWaitedForTheLockRunsOnce) {
  for (const bool forced : {false, true}) {
    SCOPED_TRACE(forced ? "-f" : "without -f");
    fresh_case(forced ? "forced" : "plain");
    const std::string ran = dir + "/ran", gate = dir + "/lock-gate";
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    table("1 0 once echo $PPID >> " + ran + "\n");
    set_stamp("once", "20000101\n");

    Lines args = {"-d"};
    if (forced) args.push_back("-f");
    auto held = sandbox::start(with_fault(args, "LAPSERO_TEST_GATE_LOCK", gate));
    // Once a writer can open the gate, B has read the stamp and waits there.
    const int gate_fd = open_writer(held, gate);
    ASSERT_GE(gate_fd, 0);
    const auto first = run_beside(invocation({"-d"}));
    EXPECT_EQ(first.exit_code(), 0) << first.err;
    EXPECT_TRUE(logged(first, "Job `once' started"));
    const std::string today = stamp("once");
    close(gate_fd);
    finish(held);

    EXPECT_EQ(held.exit_code(), 0) << held.err;
    const Lines log = sandbox::texts(held.log);
    EXPECT_EQ(position(log, "Job `once' locked by another lapsero - skipping"), -1);
    // -f still forces: the second scheduler runs the job all the same.
    EXPECT_EQ(logged(held, "Job `once' started"), forced) << ::testing::PrintToString(log);
    EXPECT_EQ(log.back(), forced ? "Normal exit (1 job run)" : "Normal exit (0 jobs run)");
    const Lines runs = lines_of(ran);
    ASSERT_EQ(runs.size(), forced ? 2u : 1u) << ::testing::PrintToString(runs);
    EXPECT_EQ(runs[0], std::to_string(first.pid));
    EXPECT_EQ(stamp("once"), today);
  }
}

// Each due job holds its stamp open for the whole run, and each running job
// its output file too: 300 jobs need several times the descriptors of a
// soft limit of 64 (few enough jobs that the sanitizer build, where every
// fork is dear, runs them well within the test's time). The scheduler
// takes what the hard limit allows; its jobs and mailers still see the
// limit it was started with.
TEST_F(Pressure, MoreDueJobsThanTheSoftDescriptorLimitAllRun) {
  constexpr int jobs = 300;
  std::string text = "1 0 limit ulimit -n\n";
  for (int i = 0; i < jobs; ++i) text += "1 0 job" + std::to_string(i) + " :\n";
  table(text);
  auto inv = on_date({"-d", "-q"});
  inv.argv.insert(inv.argv.begin(), {"/usr/bin/prlimit", "--nofile=64:4096", "--"});
  const auto run = lapsero(inv);
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(sandbox::texts(run.log).back(), "Normal exit (301 jobs run)");
  EXPECT_EQ(count_of(run, "Job `job299' terminated"), 1u);
  EXPECT_EQ(stamp("limit"), stamped);
  for (int i = 0; i < jobs; ++i) ASSERT_EQ(stamp("job" + std::to_string(i)), stamped) << i;
  const auto sent = mails();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].input.substr(sent[0].input.find("\n\n") + 2), "64\n");
  EXPECT_EQ(sent[0].nofile, "64");
}

// Raising the soft descriptor limit is only an allowance: where it is
// refused, the run goes on with the limit it has, after a notice that
// follows the start message.
TEST_F(Pressure, RefusedRaiseOfTheDescriptorLimitIsOnlyANotice) {
  table("1 0 limit ulimit -n\n");
  // Without libfaketime, which would take the place of the fault library.
  auto inv = with_fault({"-d"}, "LAPSERO_TEST_REFUSE_RAISE");
  inv.argv.insert(inv.argv.begin(), {"/usr/bin/prlimit", "--nofile=256:4096", "--"});
  const auto run = lapsero(inv);
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  const auto log = sandbox::texts(run.log);
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0].rfind("Lapsero " LAPSERO_VERSION " started on ", 0), 0u) << log[0];
  EXPECT_EQ(log[1],
            "Can't raise the limit of open files from 256 to 4096, going on with 256: "
            "Operation not permitted");
  EXPECT_EQ(run.log[1].level, 5);
  EXPECT_TRUE(logged(run, "Job `limit' terminated (mailing output)"));
  EXPECT_EQ(stamp("limit").size(), 9u);
  // The other modes hold few files and say nothing of it.
  for (const Lines& args : {Lines{"-T"}, Lines{"-d", "-u"}}) {
    auto quiet = with_fault(args, "LAPSERO_TEST_REFUSE_RAISE");
    quiet.argv.insert(quiet.argv.begin(), {"/usr/bin/prlimit", "--nofile=256:4096", "--"});
    const auto other = lapsero(quiet);
    EXPECT_EQ(other.exit_code(), 0) << other.err;
    EXPECT_EQ(count_of(other, "Can't raise the limit of open files"), 0u);
  }
}

// A child that fails before it has become the job's shell or the mailer
// ends at once: it neither runs the scheduler's exit handlers nor flushes
// the stream buffers it was given a copy of, which would act for the
// scheduler a second time. Only the scheduler itself ends through exit().
TEST_F(Pressure, ChildrenThatFailBeforeTheirExecLeaveTheSchedulersExitAlone) {
  table("1 0 job echo never\n");
  const std::string marks = dir + "/exits";
  auto inv = with_fault({"-d"}, "LAPSERO_TEST_FAIL_EXEC");
  inv.env["LAPSERO_TEST_EXIT_MARK"] = marks;
  const auto run = lapsero(inv);
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  // The job's child failed, and so did the mailer's child for its mail.
  EXPECT_TRUE(logged(run, "Job `job' terminated (exit status: 1) (mailing output)"));
  EXPECT_TRUE(logged(run, "execl() error: No such file or directory"));
  EXPECT_TRUE(logged(run, "Can't exec /usr/sbin/sendmail: No such file or directory"));
  EXPECT_EQ(sandbox::read_file(marks), std::to_string(run.pid) + "\n");
}

// A FIFO as a stamp would block the first read for ever, holding the locks
// of every job before it; it is refused at once instead.
TEST_F(Pressure, FifoAsAStampEndsTheRunAtOnce) {
  table("1 0 before true\n1 0 job true\n");
  ASSERT_EQ(mkfifo(stamp_path("job").c_str(), 0600), 0);
  auto inv = on_date({"-d"});
  inv.timeout = std::chrono::seconds(10);
  const auto run = lapsero(inv);
  EXPECT_EQ(run.exit_code(), 1);
  EXPECT_EQ(run.err, std::string(started) +
                         "\nlapsero: Can't open timestamp file for job job: Is a FIFO, not a regular file\n"
                         "lapsero: Aborted\n");
  EXPECT_FALSE(logged(run, "Job `before' started"));
}

// The start date is fixed before the table is read, and the table here is a
// FIFO that the test fills only once it has moved the clock past midnight:
// every due test runs on the next day. A monthly job must still count with
// the months around the start date.
TEST_F(Pressure, DueTestsAfterMidnightCountWithTheMonthsOfTheStartDate) {
  const struct {
    const char* what;
    const char* start;
    const char* next_day;
    const char* stamp;
    bool due;
  } cases[] = {
      // 29 days: at least February 2024's 29, but neither April's 30 nor
      // at least March's 31.
      {"31 March into April", "2024-03-31", "2024-04-01 00:00:05", "20240302\n", true},
      // 29 days: below December's 31 and not January's 31, but exactly
      // February 2024's 29.
      {"31 January into February", "2024-01-31", "2024-02-01 00:00:05", "20240102\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fresh_case(c.what);
    const std::string fifo = dir + "/table-fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    set_stamp("monthly", c.stamp);
    auto inv = on_clock({"-d", "-t", fifo}, std::string(c.start) + " 23:59:50");
    auto run = sandbox::start(inv);
    // It reads the table once it has fixed its start date.
    const int fd = open_writer(run, fifo);
    ASSERT_GE(fd, 0);
    move_clock(c.next_day);
    const std::string text = "@monthly 0 monthly true\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    finish(run);
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    const Lines log = sandbox::texts(run.log);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), started_on(c.start));
    EXPECT_EQ(logged(run, "Job `monthly' started"), c.due) << ::testing::PrintToString(log);
    std::string start_stamp = std::string(c.start) + "\n";
    std::erase(start_stamp, '-');
    EXPECT_EQ(stamp("monthly"), c.due ? start_stamp : c.stamp);
  }
}

// A job that prints, run with a temporary directory of its own and one
// behaviour of the fault library; whatever is left in that directory fails
// the test. The mail must hold the whole header and the output.
void Pressure::expect_output_file_leaves_nothing(const std::string& fault) {
  const std::string tmp = dir + "/tmp";
  ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
  table("1 0 job echo out\n");
  auto inv = with_fault({"-d", "-q"}, fault);
  inv.env["TMPDIR"] = tmp;
  const auto run = lapsero(inv);
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_TRUE(entries(tmp).empty()) << ::testing::PrintToString(entries(tmp));
  const auto sent = mails();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].input.substr(sent[0].input.find("\n\n") + 2), "out\n");
  EXPECT_NE(sent[0].input.find("\nSubject: Lapsero job 'job' on "), std::string::npos) << sent[0].input;
}

// Killed at the moment it would unlink a named output file, a scheduler
// leaves that file behind. Output files have no name at all, so nothing is
// left, and the run is not even disturbed.
TEST_F(Pressure, OutputFilesNeverHaveANameToLeaveBehind) {
  expect_output_file_leaves_nothing("LAPSERO_TEST_KILL_AT_UNLINK");
}

// Where the file system cannot make a nameless file, the output file is
// created under a fresh name and unlinked at once, with the same content.
TEST_F(Pressure, FileSystemWithoutNamelessFilesGetsANamedOneUnlinkedAtOnce) {
  expect_output_file_leaves_nothing("LAPSERO_TEST_NO_TMPFILE");
}

}  // namespace
}  // namespace e2e
