// Running jobs end to end: what a job gets, what its mail holds, how each
// outcome is logged, what the mailer is given and how its failures are told,
// and the order and moments at which jobs start.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <map>
#include <sstream>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

std::string host_name() {
  char name[512] = "";
  gethostname(name, sizeof name - 1);
  return name;
}

std::string header(const std::string& job, const std::string& to, const std::string& charset = "US-ASCII") {
  return "From: Lapsero <root>\nTo: " + to + "\nSubject: Lapsero job '" + job + "' on " + host_name() +
         "\nContent-Type: text/plain; charset=" + charset + "\n\n";
}

std::string body(const Mail& mail) { return mail.input.substr(mail.input.find("\n\n") + 2); }

/// The mail whose subject names the job; mailers of parallel jobs may finish in any order.
const Mail* mail_of(const std::vector<Mail>& sent, const std::string& job) {
  for (const Mail& mail : sent)
    if (mail.input.find("Subject: Lapsero job '" + job + "' on ") != std::string::npos) return &mail;
  return nullptr;
}

class Run : public Lapsero {
 protected:
  /// In the foreground on a fixed date, without any locale variable.
  sandbox::Invocation foreground(std::vector<std::string> args) {
    args.insert(args.begin(), "-d");
    auto inv = on_date(std::move(args));
    inv.unset = {"LC_ALL", "LC_CTYPE", "LANG", "MAILTO"};
    return inv;
  }
};

TEST_F(Run, JobThatPrintsIsMailedWithItsHeaderAndNothingOfTheScheduler) {
  table(
      "1 0 printer echo out1; echo err1 >&2; echo out2; echo err2 >&2; "
      "echo cwd $(readlink /proc/$$/cwd); echo umask $(umask); ls -l /proc/$$/fd\n");
  auto inv = foreground({});
  // No libfaketime here: its own descriptor would blur the listings.
  inv.faketime.reset();
  // lapsero itself works under umask 0; the job must get the caller's.
  inv.argv.insert(inv.argv.begin(), {"/bin/sh", "-c", "umask 027; exec \"$0\" \"$@\""});
  auto run = lapsero(inv);
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  ASSERT_FALSE(run.log.empty());
  for (const auto& entry : run.log) {
    EXPECT_EQ(entry.facility, 9) << entry.text;
    EXPECT_EQ(entry.level, 5) << entry.text;
    EXPECT_EQ(entry.ident, "lapsero") << entry.text;
    EXPECT_EQ(entry.pid, run.pid) << entry.text;
  }
  auto log = sandbox::texts(run.log);
  log.erase(log.begin());
  EXPECT_EQ(log, (std::vector<std::string>{"Will run job `printer' in 0 min.", "Job `printer' started",
                                           "Job `printer' terminated (mailing output)",
                                           "Normal exit (1 job run)"}));
  EXPECT_EQ(stamp("printer").size(), 9u);

  auto sent = mails();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].args, (std::vector<std::string>{"/usr/sbin/sendmail", "-FLapsero", "-odi", "root"}));
  EXPECT_EQ(sent[0].cwd, spool);
  const std::string expected = header("printer", "root") + "out1\nerr1\nout2\nerr2\ncwd /\numask 0027\n";
  ASSERT_EQ(sent[0].input.substr(0, expected.size()), expected);

  // What ls shows of the job shell's descriptors: "... FD -> TARGET".
  std::map<int, std::string> fds;
  std::istringstream listing(sent[0].input.substr(expected.size()));
  for (std::string line; std::getline(listing, line);) {
    const auto arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;
    fds[std::atoi(line.c_str() + line.rfind(' ', arrow - 1) + 1)] = line.substr(arrow + 4);
  }
  EXPECT_EQ(fds[0], "/dev/null");
  EXPECT_EQ(fds[1], fds[2]);
  EXPECT_EQ(fds[1].rfind(dir + "/", 0), 0u) << fds[1];
  EXPECT_EQ(fds[1].substr(fds[1].size() - 10), " (deleted)");
  // The harness starts lapsero with 0, 1 and 2 only, so anything more came
  // from lapsero: a stamp, or a second handle on the output file.
  std::vector<int> numbers;
  for (const auto& [fd, target] : fds) numbers.push_back(fd);
  EXPECT_EQ(numbers, (std::vector<int>{0, 1, 2})) << sent[0].input;
  // The mailer has the same three, with the output file on 0.
  EXPECT_EQ(sent[0].fds, numbers);
}

TEST_F(Run, EachOutcomeIsLoggedAndStamped) {
  struct Case {
    const char* command;
    const char* line;
    int level;
    const char* mailed;  // the body, or null when no mail is due
  };
  const std::map<std::string, Case> cases = {
      {"quiet", {"true", "Job `quiet' terminated", 5, nullptr}},
      {"fails", {"echo bad; exit 3", "Job `fails' terminated (exit status: 3) (mailing output)", 5, "bad\n"}},
      {"fails_quietly", {"exit 3", "Job `fails_quietly' terminated (exit status: 3)", 5, nullptr}},
      {"killed",
       {"echo dying; kill -9 $$", "Job `killed' terminated due to signal 9 (mailing output)", 3, "dying\n"}},
      {"killed_quietly", {"kill -9 $$", "Job `killed_quietly' terminated due to signal 9", 3, nullptr}},
      // The caller's empty signal mask, not the scheduler's blocked three.
      // Read before the shell forks anything: its first wait clears the mask.
      {"mask",
       {"exec grep SigBlk /proc/self/status", "Job `mask' terminated (mailing output)", 5,
        "SigBlk:\t0000000000000000\n"}},
  };
  std::string text;
  for (const auto& [name, c] : cases) text += "1 0 " + name + " " + c.command + "\n";
  table(text);
  auto run = lapsero(foreground({}));
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_EQ(sandbox::texts(run.log).back(), "Normal exit (6 jobs run)");
  const auto sent = mails();
  std::size_t mail_count = 0;
  for (const auto& [name, c] : cases) {
    SCOPED_TRACE(name);
    const auto* outcome = entry(run, c.line);
    ASSERT_NE(outcome, nullptr) << ::testing::PrintToString(sandbox::texts(run.log));
    EXPECT_EQ(outcome->level, c.level);
    EXPECT_EQ(stamp(name), stamped);
    const Mail* mail = mail_of(sent, name);
    ASSERT_EQ(mail != nullptr, c.mailed != nullptr);
    if (mail) {
      EXPECT_EQ(mail->input, header(name, "root") + c.mailed);
    }
    mail_count += mail != nullptr;
  }
  EXPECT_EQ(sent.size(), mail_count);
}

TEST_F(Run, ShellThatCannotStartIsAJobExitingWith1) {
  char real_shell[PATH_MAX];
  ASSERT_NE(realpath("/bin/sh", real_shell), nullptr);
  const std::string blocker = dir + "/not-a-shell";
  sandbox::write_file(blocker, "", 0644);
  // Only this test process's mount namespace sees the change; the fake
  // sendmail is no shell script, so mail still goes out.
  ASSERT_EQ(mount(blocker.c_str(), real_shell, nullptr, MS_BIND, nullptr), 0);
  table("1 0 noshell echo never\n");
  auto run = lapsero(foreground({}));
  umount2(real_shell, MNT_DETACH);

  EXPECT_EQ(run.exit_code(), 0) << run.err;
  const auto* failure = entry(run, "execl() error: Permission denied");
  ASSERT_NE(failure, nullptr) << ::testing::PrintToString(sandbox::texts(run.log));
  EXPECT_EQ(failure->level, 3);
  EXPECT_NE(failure->pid, run.pid);
  EXPECT_EQ(entry(run, "Aborted"), nullptr);
  EXPECT_NE(entry(run, "Job `noshell' terminated (exit status: 1) (mailing output)"), nullptr);
  EXPECT_EQ(stamp("noshell"), stamped);
  const auto sent = mails();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(body(sent[0]), "lapsero: execl() error: Permission denied\n");
}

// A command longer than one argument may be passes the table's checks, but
// the shell cannot be started with it: the job fails and its mail says why.
TEST_F(Run, CommandLongerThanTheSystemTakesFailsInTheJob) {
  table("1 0 long echo " + std::string(140000, 'x') + "\n");
  EXPECT_EQ(lapsero({"-T"}).exit_code(), 0);
  auto run = lapsero(foreground({}));
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_TRUE(logged(run, "Job `long' terminated (exit status: 1) (mailing output)"));
  EXPECT_EQ(stamp("long"), stamped);
  const auto sent = mails();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(body(sent[0]), "lapsero: execl() error: Argument list too long\n");
}

// What the scheduler cannot do for a launch ends the whole run: nothing is
// started, and the stamp keeps the empty content the due test gave it.
TEST_F(Run, LaunchFailuresInTheSchedulerEndTheRun) {
  table("1 0 job echo never\n");
  // A user the user database does not know: no login name for From or To.
  // The spool is theirs, as lapsero wants it.
  ASSERT_EQ(chown(spool.c_str(), 4242, 4242), 0);
  auto nobody = foreground({});
  nobody.faketime.reset();  // its shared state belongs to root
  nobody.argv.insert(nobody.argv.begin(),
                     {"/usr/bin/setpriv", "--reuid=4242", "--regid=4242", "--clear-groups"});
  auto unknown_user = lapsero(nobody);
  // A temporary directory that cannot take the output file.
  const std::string frozen = dir + "/frozen";
  ASSERT_EQ(mkdir(frozen.c_str(), 0755), 0);
  ASSERT_EQ(mount(frozen.c_str(), frozen.c_str(), nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(mount(nullptr, frozen.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
  auto read_only = foreground({});
  read_only.env["TMPDIR"] = frozen;
  ASSERT_EQ(unlink(stamp_path("job").c_str()), 0);
  ASSERT_EQ(chown(spool.c_str(), 0, 0), 0);
  auto no_output_file = lapsero(read_only);
  umount2(frozen.c_str(), MNT_DETACH);

  for (const auto& [run, failure] :
       {std::pair{&unknown_user, "getpwuid() error: no user with id 4242"},
        std::pair{&no_output_file, "Can't open temporary file: Read-only file system"}}) {
    const auto log = sandbox::texts(run->log);
    ASSERT_GE(log.size(), 2u) << run->err;
    EXPECT_EQ(run->exit_code(), 1);
    EXPECT_EQ(log[log.size() - 2], failure) << ::testing::PrintToString(log);
    EXPECT_EQ(log.back(), "Aborted");
    EXPECT_EQ(position(log, "Job `job' started"), -1);
  }
  EXPECT_EQ(stamp("job"), "");
  EXPECT_TRUE(mails().empty());
}

// A header cut short by a full disk or a file size limit would lose the
// job's output under a broken mail: a short write ends the run like any
// failed write. Here the file size limit (with its signal ignored, as a
// full disk raises none) lets only 512 bytes of a longer header through.
TEST_F(Run, HeaderThatIsWrittenOnlyInPartEndsTheRun) {
  const std::string recipient(600, 'r');
  table("MAILTO=" + recipient + "\n1 0 job echo never\n");
  auto inv = foreground({});
  inv.argv.insert(inv.argv.begin(), {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 1; exec \"$0\" \"$@\""});
  const auto run = lapsero(inv);
  EXPECT_EQ(run.exit_code(), 1);
  const auto log = sandbox::texts(run.log);
  ASSERT_GE(log.size(), 2u) << run.err;
  // The header's length depends on the host's name.
  EXPECT_EQ(log[log.size() - 2].rfind("Can't write to temporary file: wrote 512 of ", 0), 0u)
      << log[log.size() - 2];
  EXPECT_EQ(log.back(), "Aborted");
  EXPECT_EQ(position(log, "Job `job' started"), -1);
  EXPECT_TRUE(mails().empty());
}

TEST_F(Run, RecipientAndCharsetFollowTheEnvironment) {
  struct Case {
    const char* what;
    std::map<std::string, std::string> env;
    const char* table_lines;
    const char* to;
    const char* charset;
  };
  const Case cases[] = {
      {"MAILTO unset", {}, "", "root", "US-ASCII"},
      {"MAILTO set", {{"MAILTO", "ops@example.org"}}, "", "ops@example.org", "US-ASCII"},
      {"MAILTO empty", {{"MAILTO", ""}}, "", "", "US-ASCII"},
      {"MAILTO from the table",
       {{"MAILTO", "caller"}},
       "MAILTO=table@example.org\n",
       "table@example.org",
       "US-ASCII"},
      // What follows the equals sign is kept as it stands, blanks and all.
      {"a blank after the equals sign", {}, "MAILTO = ops\n", " ops", "US-ASCII"},
      {"UTF-8 locale", {{"LC_ALL", "C.UTF-8"}}, "", "root", "UTF-8"},
      {"LANG alone", {{"LANG", "C.UTF-8"}}, "", "root", "UTF-8"},
      {"LC_ALL over LANG", {{"LANG", "C.UTF-8"}, {"LC_ALL", "C"}}, "", "root", "US-ASCII"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fresh_case(c.what);
    table(std::string(c.table_lines) + "1 0 hello echo hi\n");
    auto inv = foreground({});
    for (const auto& [name, value] : c.env) inv.env[name] = value;
    auto run = lapsero(inv);
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    const auto sent = mails();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].args, (std::vector<std::string>{"/usr/sbin/sendmail", "-FLapsero", "-odi", c.to}));
    EXPECT_EQ(sent[0].input, header("hello", c.to, c.charset) + "hi\n");
  }
}

TEST_F(Run, EnvironmentLinesAccumulateFromLaunchToLaunch) {
  const char text[] = R"(1 0 early echo V=${V-unset} W=${W-unset}
V=one
1 0 mid echo V=${V-unset} W=${W-unset}
V=two
W=set
1 0 late echo V=${V-unset} W=${W-unset}
)";
  struct Case {
    std::vector<std::string> order;  // job patterns, which fix the launch order under -n
    std::map<std::string, std::string> seen;
  };
  const Case cases[] = {
      // Each launch walks from the top again, so mid gets V=one back.
      {{"early", "late", "mid"},
       {{"early", "V=unset W=unset"}, {"late", "V=two W=set"}, {"mid", "V=one W=set"}}},
      // A job above a setting sees it once a job below it was launched.
      {{"late", "early"}, {{"late", "V=two W=set"}, {"early", "V=two W=set"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.order));
    fresh_case(::testing::PrintToString(c.order));
    table(text);
    auto args = c.order;
    args.insert(args.begin(), "-n");
    auto run = lapsero(foreground(args));
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    const auto sent = mails();
    ASSERT_EQ(sent.size(), c.seen.size());
    for (const auto& [job, seen] : c.seen) {
      const Mail* mail = mail_of(sent, job);
      ASSERT_NE(mail, nullptr) << job;
      EXPECT_EQ(body(*mail), seen + "\n") << job;
    }
  }
}

TEST_F(Run, MailerFailuresLoseOnlyTheMail) {
  struct Case {
    const char* what;
    mode_t sendmail_mode;
    const char* exit_code;
    std::vector<std::string> problems;  // error lines, in order, after the outcome line
    std::size_t recorded;
  };
  const std::string failed =
      "Tried to mail output of job `x', but mailer process (/usr/sbin/sendmail) exited with ststus 1";
  const Case cases[] = {
      {"exits 1", 0755, "1", {failed}, 1},
      {"missing", 0, "0", {"Can't find sendmail at /usr/sbin/sendmail, not mailing output"}, 0},
      {"not executable", 0644, "0", {"Can't exec /usr/sbin/sendmail: Permission denied", failed}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fresh_case(c.what);
    sandbox::install_sendmail(c.sendmail_mode);
    table("1 0 x echo output\n");
    auto inv = foreground({});
    inv.env["FAKE_SENDMAIL_EXIT"] = c.exit_code;
    auto run = lapsero(inv);
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    auto log = sandbox::texts(run.log);
    const auto outcome = position(log, "Job `x' terminated (mailing output)");
    ASSERT_GE(outcome, 0) << ::testing::PrintToString(log);
    std::vector<std::string> after(log.begin() + outcome + 1, log.end());
    ASSERT_EQ(after.size(), c.problems.size() + 1) << ::testing::PrintToString(log);
    for (std::size_t i = 0; i < c.problems.size(); ++i) {
      EXPECT_EQ(after[i], c.problems[i]);
      EXPECT_EQ(run.log[outcome + 1 + i].level, 3);
    }
    EXPECT_EQ(after.back(), "Normal exit (1 job run)");
    EXPECT_EQ(mails().size(), c.recorded);
    EXPECT_EQ(stamp("x"), stamped);
    if (c.sendmail_mode == 0644) {
      // The mailer child says it only to the log, and ends alone.
      EXPECT_NE(run.log[outcome + 1].pid, run.pid);
      EXPECT_EQ(run.err.find("Can't exec"), std::string::npos) << run.err;
      EXPECT_EQ(position(log, "Aborted"), -1);
    }
  }
}

TEST_F(Run, JobsStartInRunOrder) {
  struct Case {
    std::vector<std::string> args;
    int delay;  // of both jobs
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {{"-s"},
       0,
       {started, "Will run job `zeta' in 0 min.", "Will run job `alpha' in 0 min.",
        "Jobs will be executed sequentially", "Job `zeta' started", "Job `zeta' terminated",
        "Job `alpha' started", "Job `alpha' terminated", "Normal exit (2 jobs run)"}},
      // -n waits for no delay at all.
      {{"-n"},
       90,
       {started, "Will run job `zeta'", "Will run job `alpha'", "Jobs will be executed sequentially",
        "Job `zeta' started", "Job `zeta' terminated", "Job `alpha' started", "Job `alpha' terminated",
        "Normal exit (2 jobs run)"}},
      // Equal delays: both start, in table order, before either is reaped.
      {{},
       0,
       {started, "Will run job `zeta' in 0 min.", "Will run job `alpha' in 0 min.", "Job `zeta' started",
        "Job `alpha' started"}},
      {{"nomatch"}, 0, {started, "Normal exit (0 jobs run)"}},
      {{"-s", "nomatch"}, 0, {started, "Normal exit (0 jobs run)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    fresh_case(::testing::PrintToString(c.args));
    const std::string delay = std::to_string(c.delay);
    table("1 " + delay + " zeta true\n1 " + delay + " alpha true\n");
    auto run = lapsero(foreground(c.args));
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    auto log = sandbox::texts(run.log);
    if (c.args.empty()) {
      ASSERT_EQ(log.size(), 8u) << ::testing::PrintToString(log);
      log.resize(c.log.size());
    }
    EXPECT_EQ(log, c.log);
  }
}

// The clock stands still until the test has seen the early job reaped in
// the wait for the later one; then it moves the clock a minute on and lets
// the scheduler's alarm ring, as a minute's wait would end.
TEST_F(Run, DelayIsWaitedOutWhileEarlierJobsAreReaped) {
  table("1 1 later date +%H:%M\n1 0 now echo early\n");
  auto inv = on_clock({"-d"}, "2024-03-12 10:00:00");
  inv.unset = {"LC_ALL", "LC_CTYPE", "LANG", "MAILTO"};
  auto run = sandbox::start(inv);
  ASSERT_TRUE(sandbox::wait_until(run, [](const sandbox::Process& p) {
    return logged(p, "Job `now' terminated (mailing output)");
  })) << ::testing::PrintToString(sandbox::texts(run.log));
  EXPECT_FALSE(logged(run, "Job `later' started"));
  move_clock("2024-03-12 10:01:00");
  ASSERT_EQ(kill(run.pid, SIGALRM), 0);
  finish(run);
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_EQ(sandbox::texts(run.log),
            (std::vector<std::string>{
                started, "Will run job `now' in 0 min.", "Will run job `later' in 1 min.",
                "Job `now' started", "Job `now' terminated (mailing output)", "Job `later' started",
                "Job `later' terminated (mailing output)", "Normal exit (2 jobs run)"}));
  const auto sent = mails();
  ASSERT_EQ(sent.size(), 2u);
  const Mail* now = mail_of(sent, "now");
  const Mail* later = mail_of(sent, "later");
  ASSERT_NE(now, nullptr);
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(body(*now), "early\n");
  // later started once the minute had passed.
  EXPECT_EQ(body(*later), "10:01\n");
  EXPECT_EQ(stamp("later"), stamped);
}

}  // namespace
}  // namespace e2e
