// Start-up and diagnostics as an administrator sees them: the texts of -h, -V
// and a bad option, the forms of messages on standard error and in syslog,
// going into the background, and starting with standard descriptors closed.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

class Startup : public Lapsero {
 protected:
  /// An invocation with exactly these arguments after the program path.
  sandbox::Invocation bare(std::vector<std::string> args) {
    auto inv = invocation({});
    inv.argv.resize(1);
    inv.argv.insert(inv.argv.end(), args.begin(), args.end());
    return inv;
  }
};

constexpr char usage[] =
    "Usage:  lapsero [-s] [-f] [-n] [-d] [-q] [-t lapserotab] [-S spooldir] [job] ...\n"
    "        lapsero [-S spooldir] -u [job] ...\n"
    "        lapsero [-V|-h]\n"
    "        lapsero -T [-t lapserotab]\n"
    "\n"
    " -s  Serialize execution of jobs\n"
    " -f  Force execution of jobs, even before their time\n"
    " -n  Run jobs with no delay, implies -s\n"
    " -d  Don't fork to the background\n"
    " -q  Suppress stderr messages, only applicable with -d\n"
    " -u  Update the timestamps without actually running anything\n"
    " -t  Use this lapserotab\n"
    " -V  Print version information\n"
    " -h  Print this message\n"
    " -T  Test an lapserotab\n"
    " -S  Select a different spool directory\n"
    "\n"
    "See the manpage for more details.\n"
    "\n";

std::string invalid(char letter, const std::string& name = "lapsero") {
  return name + ": invalid option: " + letter + "\ntype: `" + name + " -h' for more information\n";
}

TEST_F(Startup, CommandLineTextsAndInvalidOptions) {
  struct Case {
    Lines args;
    int status;
    std::string out, err;
  };
  const Case cases[] = {
      {{"-h"}, 0, usage, ""},
      {{"-d", "-h", "-x"}, 0, usage, ""},
      {{"-x", "-h"}, 1, "", invalid('x')},
      {{"-d", "-q", "-Z"}, 1, "", invalid('Z')},
      {{"-d", "-t"}, 1, "", invalid('t')},
      {{"-T", "-S"}, 1, "", invalid('S')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    auto run = lapsero(bare(c.args));
    EXPECT_EQ(run.exit_code(), c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_TRUE(run.log.empty()) << ::testing::PrintToString(sandbox::texts(run.log));
  }
  auto version = lapsero(bare({"-V", "-x"}));
  EXPECT_EQ(version.exit_code(), 0);
  EXPECT_EQ(version.out.substr(0, version.out.find('\n') + 1), "Lapsero " LAPSERO_VERSION "\n");
  EXPECT_TRUE(version.out.ends_with("\n\n")) << version.out;
  EXPECT_EQ(version.err, "");
}

// A text asked for on the command line that cannot be written is no
// success: both programs say so on standard error and exit with 1.
TEST_F(Startup, TextsThatCannotBeWrittenFail) {
  const struct {
    const char* program;
    const char* option;
    const char* name;
  } cases[] = {
      {lapsero_binary, "-V", "lapsero"},
      {lapsero_binary, "-h", "lapsero"},
      {status_binary, "--version", "lapsero-status"},
      {status_binary, "--help", "lapsero-status"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.option);
    if (!*c.program) GTEST_SKIP() << "lapsero-status is not built (LAPSERO_STATUS=OFF)";
    auto inv = bare({c.option});
    inv.argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full", c.program, c.option};
    const auto run = lapsero(inv);
    EXPECT_EQ(run.exit_code(), 1);
    EXPECT_EQ(run.err, std::string(c.name) + ": Can't write to standard output: No space left on device\n");
    EXPECT_TRUE(run.log.empty()) << ::testing::PrintToString(sandbox::texts(run.log));
  }
}

TEST_F(Startup, DiagnosticsInSyslogAndOnStandardError) {
  const std::string normal = "Normal exit (0 jobs run)",
                    updated = "Updated timestamp for job `job' to 2024-03-12";
  // Logged at notice level and shown bare; everything else is an error.
  const Lines notices = {started, normal, updated};
  const auto bad = [](const std::string& path) {
    return "Invalid syntax in " + path + " on line 1 - skipping this line";
  };
  const std::string none = dir + "/none", absent = "Error opening " + none + ": No such file or directory";
  // The invalid-syntax text is 49 characters longer than its path.
  const std::string path149 = "t" + std::string(99, 'x'), path150 = path149 + "x";
  const std::string long_none = dir + "/" + std::string(150, 'm');
  sandbox::write_file(dir + "/" + path149, "junk\n");
  sandbox::write_file(dir + "/" + path150, "junk\n");
  sandbox::write_file(dir + "/plain", "");
  struct Case {
    Lines args;
    std::string table;
    int status;
    Lines log;
  };
  const Case cases[] = {
      {{"-d"}, "# nothing\n", 0, {started, normal}},
      {{"-d"}, "junk\n", 0, {started, bad(table_path), normal}},
      // The start message is the first line of the run mode only.
      {{"-d", "-u"}, "1 0 job true\n", 0, {updated}},
      {{"-T"}, "1 0 job true\n", 0, {}},
      {{"-d", "-t", none}, "", 1, {started, absent, "Aborted"}},
      {{"-T", "-t", none}, "", 1, {absent, "Aborted"}},
      // Before the scheduler knows its own pid, a failure is one line.
      {{"-d", "-S", dir + "/absent"},
       "",
       1,
       {"Can't chdir to " + dir + "/absent: No such file or directory"}},
      {{"-T", "-S", dir + "/plain"}, "", 1, {"Can't chdir to " + dir + "/plain: Not a directory"}},
      {{"-T", "-t", path149}, "", 1, {bad(path149)}},
      {{"-T", "-t", path150}, "", 1, {bad(path150).substr(0, 138) + " (truncated)"}},
      {{"-d", "-t", long_none},
       "",
       1,
       {started, ("Error opening " + long_none).substr(0, 138) + " (truncated): No such file or directory",
        "Aborted"}},
  };
  for (const auto& c : cases) {
    for (bool quiet : {false, true}) {
      SCOPED_TRACE(::testing::PrintToString(c.args) + (quiet ? " -q" : ""));
      table(c.table);
      auto inv = on_date(c.args);
      if (quiet) inv.argv.push_back("-q");
      auto run = lapsero(inv);
      EXPECT_EQ(run.exit_code(), c.status);
      EXPECT_EQ(sandbox::texts(run.log), c.log);
      EXPECT_EQ(run.err, on_stderr(c.log, notices, quiet));
      for (const auto& entry : run.log) {
        const bool notice = std::find(notices.begin(), notices.end(), entry.text) != notices.end();
        EXPECT_EQ(entry.level, notice ? 5 : 3) << entry.text;
        EXPECT_EQ(entry.facility, 9);
        EXPECT_EQ(entry.ident, "lapsero");
        EXPECT_EQ(entry.pid, run.pid);
      }
    }
  }
}

TEST_F(Startup, StartDirectoryThatCannotBeOpened) {
  // Root reads any directory, so the scheduler runs without the two
  // capabilities that let it; the directory can be entered but not read.
  const std::string start = dir + "/closed";
  ASSERT_EQ(mkdir(start.c_str(), 0311), 0);
  auto inv = bare({"-d", "-t", table_path, "-S", spool});
  inv.argv.insert(inv.argv.begin(), {"/usr/bin/setpriv", "--bounding-set", "-dac_override,-dac_read_search"});
  inv.cwd = start;
  table("1 0 job true\n");
  auto run = lapsero(inv);
  EXPECT_EQ(run.exit_code(), 1);
  EXPECT_EQ(sandbox::texts(run.log), Lines{"Can't save current directory: Permission denied"});
  EXPECT_EQ(run.err, "lapsero: Can't save current directory: Permission denied\n");
}

TEST_F(Startup, BackgroundSchedulerLeadsItsOwnSession) {
  // The job waits for a file that is made only once the caller has ended, so
  // the caller cannot have waited for the run.
  const std::string go = dir + "/go", session = dir + "/session";
  table("1 0 job while [ ! -e " + go + " ]; do sleep 0.02; done; cut -d' ' -f6 /proc/$$/stat > " + session +
        "\n");
  auto run = sandbox::start(on_date({"-q"}, "2031-01-05 23:59:00"));
  ASSERT_TRUE(sandbox::wait_until(run, [](const sandbox::Process& p) { return p.ended; }));
  EXPECT_EQ(run.exit_code(), 0);
  sandbox::write_file(go, "");
  finish(run);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  auto log = sandbox::texts(run.log);
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log.front(), started_on("2031-01-05"));
  EXPECT_EQ(log.back(), "Normal exit (1 job run)");
  const pid_t scheduler = run.log.front().pid;
  EXPECT_NE(scheduler, run.pid);
  for (const auto& entry : run.log) EXPECT_EQ(entry.pid, scheduler) << entry.text;
  EXPECT_EQ(sandbox::read_file(session), std::to_string(scheduler) + "\n");
}

TEST_F(Startup, ProgramNameFromTheFirstArgument) {
  const std::string link = dir + "/sub/other-name";
  ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink(lapsero_binary, link.c_str()), 0);
  auto failing = bare({"-T", "-t", dir + "/none", "-S", spool});
  failing.argv[0] = link;
  auto run = lapsero(failing);
  EXPECT_EQ(run.exit_code(), 1);
  ASSERT_EQ(run.log.size(), 2u);
  EXPECT_EQ(run.log[0].ident, "other-name");
  EXPECT_EQ(run.err,
            "other-name: Error opening " + dir + "/none: No such file or directory\nother-name: Aborted\n");

  auto wrong = bare({"-k"});
  wrong.argv[0] = link;
  EXPECT_EQ(lapsero(wrong).err, invalid('k', "other-name"));
  auto help = bare({"-h"});
  help.argv[0] = link;
  EXPECT_EQ(lapsero(help).out, usage);
}

// These run without libfaketime: its own start-up opens files and would fill
// the closed descriptors before the scheduler sees them. Each reads a
// relative table, which a start directory saved on a standard descriptor
// loses.
TEST_F(Startup, ClosedStandardDescriptors) {
  sandbox::write_file(spool + "/lapserotab", "junk\n");
  const auto relative = [&](std::vector<std::string> args, int closed) {
    args.insert(args.end(), {"-t", "lapserotab", "-S", spool});
    auto inv = bare(args);
    inv.closed_fds = {closed};
    return lapsero(inv);
  };

  table("junk\n");
  auto run = relative({"-T"}, 0);
  EXPECT_EQ(run.exit_code(), 1);
  EXPECT_EQ(run.err, "lapsero: Invalid syntax in lapserotab on line 1 - skipping this line\n");

  // Under -d, diagnostics must not land in a file that took descriptor 2,
  // such as the output file of the second job, which would then be mailed.
  table("1 0 first true\n1 0 second true\n");
  run = relative({"-d", "-s"}, 2);
  EXPECT_EQ(run.exit_code(), 0);
  ASSERT_FALSE(run.log.empty());
  EXPECT_EQ(run.log.back().text, "Normal exit (2 jobs run)");
  EXPECT_TRUE(mails().empty()) << mails()[0].input;
  const std::string date = stamp("second");
  EXPECT_TRUE(date.size() == 9 && date.back() == '\n' && std::all_of(date.begin(), date.end() - 1, ::isdigit))
      << date;

  run = relative({"-f"}, 1);
  EXPECT_EQ(run.exit_code(), 0);
  auto log = sandbox::texts(run.log);
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(log.front().starts_with("Lapsero " LAPSERO_VERSION " started on ")) << log.front();
  EXPECT_EQ(log.back(), "Normal exit (2 jobs run)");
  for (const auto& text : log) EXPECT_EQ(text.find("Can't close"), std::string::npos) << text;
}

}  // namespace
}  // namespace e2e
