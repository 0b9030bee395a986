// lapsero-status --lint end to end: a table with every kind of hint and a
// stale stamp, the exact hints and their line numbers; a clean table; and
// what --lint refuses to combine with.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

class Lint : public Lapsero {
 protected:
  sandbox::Process lint(std::vector<std::string> args = {}) {
    args.insert(args.begin(), "--lint");
    return lapsero(status_invocation(std::move(args)));
  }
};

TEST_F(Lint, EveryKindOfHintAtThePhysicalLine) {
  table(
      "MAILTO = root\n"
      "1 0 tabs printf \"a\\tb\"\n"
      "7 0 long echo one \\\n"
      "  two\n"
      "1 0 tabs true\n"
      "bad line\n"
      "@daily 0 daily true\n"
      "1 0 crlf true\r\n"
      "\r\n");
  for (const char* job : {"tabs", "long", "crlf", "old.job"}) set_stamp(job, "20240301\n");
  ASSERT_EQ(mkdir(stamp_path("lost+found").c_str(), 0700), 0);  // no stamp

  const auto run = lint();
  EXPECT_EQ(run.exit_code(), 1);
  const std::string& t = table_path;
  // After the continued line, lapsero's own numbers are one smaller.
  EXPECT_EQ(
      run.out,
      t +
          ":1: the blanks after \"=\" belong to the value: lapsero sets MAILTO to \" root\"; write "
          "MAILTO=root\n" +
          t +
          ":2: a backslash is removed: lapsero reads \"\\t\" as \"t\"; a backslash continues a line only "
          "as its last character, and a command that needs one belongs in a script\n" +
          t +
          ":5: the job name `tabs' is already used on line 2: lines of one name share one stamp file, so a "
          "run of one of them stamps them all; give each job a name of its own\n" +
          t + ":6: Invalid syntax in " + t + " on line 5 - skipping this line\n" + t + ":7: " + t +
          ": Unknown named period on line 6, skipping\n" + t +
          ":8: the line ends in a carriage return (a table saved with CRLF line ends), which lapsero keeps "
          "as the last character of the command; save the table with plain newlines\n" +
          t + ":9: Invalid syntax in " + t + " on line 8 - skipping this line\n" + t +
          ":9: the line ends in a carriage return (a table saved with CRLF line ends); save the table with "
          "plain newlines\n" +
          spool +
          "/old.job: no job line names this stamp (left behind by a renamed or removed job), so lapsero "
          "neither reads nor removes it; remove it with rm, and after a rename run `lapsero -u NEWNAME' "
          "if the job should not run at the next start\n");
  // The refusals are hints only, in the words lapsero -T uses.
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(run.log.empty()) << ::testing::PrintToString(sandbox::texts(run.log));
  EXPECT_EQ(lapsero({"-T"}).err,
            "lapsero: Invalid syntax in " + t + " on line 5 - skipping this line\nlapsero: " + t +
                ": Unknown named period on line 6, skipping\nlapsero: Invalid syntax in " + t +
                " on line 8 - skipping this line\n");
}

// The job that a backslash swallows never runs, and lapsero -T calls the
// table sound: only the lint can tell.
TEST_F(Lint, JobLineJoinedByABackslashIsNamed) {
  table(
      "1 0 a echo one \\\n"
      "1 0 b echo two\n");
  const auto run = lint();
  EXPECT_EQ(run.exit_code(), 1);
  EXPECT_EQ(run.out, table_path +
                         ":1: the backslash at the end of line 1 joins line 2, which reads as a job line of "
                         "its own (`b'), into this line: that job never runs; end line 1 without the "
                         "backslash if line 2 should stand alone\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(lapsero({"-T"}).exit_code(), 0);
}

// Reading the spool's names is no use of it: its access time stays, even
// on a file system that records every read (strictatime).
TEST_F(Lint, LeavesTheSpoolsAccessTimeAlone) {
  const std::string mount_point = dir + "/strict";
  ASSERT_EQ(mkdir(mount_point.c_str(), 0755), 0);
  if (mount("tmpfs", mount_point.c_str(), "tmpfs", MS_STRICTATIME, "mode=0755") != 0)
    GTEST_SKIP() << "no tmpfs with strictatime: " << std::strerror(errno);
  const std::string strict_spool = mount_point + "/spool";
  ASSERT_EQ(mkdir(strict_spool.c_str(), 0755), 0);
  const std::string stamp = strict_spool + "/a";
  sandbox::write_file(stamp, "20240301\n");
  table("1 0 a true\n");
  const timespec times[2] = {{1000000000, 0}, {0, UTIME_OMIT}};  // 2001-09-09
  ASSERT_EQ(utimensat(AT_FDCWD, strict_spool.c_str(), times, 0), 0);

  const auto run = lint({"-S", strict_spool});
  struct stat st {};
  ASSERT_EQ(stat(strict_spool.c_str(), &st), 0);
  EXPECT_EQ(umount2(mount_point.c_str(), MNT_DETACH), 0);
  EXPECT_EQ(run.exit_code(), 0) << run.out << run.err;
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
}

TEST_F(Lint, CleanTableGivesNoHints) {
  table(
      "# a comment may hold anything: \\t \r\n"
      "PATH=/usr/bin:/bin\n"
      "MAILTO =root\n"
      "\n"
      "1 0 daily run-parts /etc/cron.daily\n"
      "7 5 weekly find /var/tmp -type f \\\n"
      "    -delete\n");
  set_stamp("daily", "20240301\n");
  const auto run = lint();
  EXPECT_EQ(run.exit_code(), 0) << run.out << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
}

TEST_F(Lint, TakesNoListingOptionsAndNeedsATableAndASpool) {
  table("1 0 job true\n");
  const std::string missing = dir + "/missing";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--json"},
       "lapsero-status: option not taken with --lint: --json\ntype: `lapsero-status --help' for more "
       "information\n"},
      {{"--overdue=2"},
       "lapsero-status: option not taken with --lint: --overdue\n"
       "type: `lapsero-status --help' for more information\n"},
      {{"--prometheus"},
       "lapsero-status: option not taken with --lint: --prometheus\n"
       "type: `lapsero-status --help' for more information\n"},
      {{"--failed"},
       "lapsero-status: option not taken with --lint: --failed\n"
       "type: `lapsero-status --help' for more information\n"},
      {{"--journal-file=" + missing},
       "lapsero-status: option not taken with --lint: --journal-file\n"
       "type: `lapsero-status --help' for more information\n"},
      {{"job"},
       "lapsero-status: job name not taken with --lint: job\ntype: `lapsero-status --help' for more "
       "information\n"},
      {{"-t", missing},
       "lapsero-status: Error opening " + missing + ": No such file or directory\nlapsero-status: Aborted\n"},
      {{"-t", dir}, "lapsero-status: Error reading " + dir + ": Is a directory\nlapsero-status: Aborted\n"},
      // As lapsero: a spool it cannot enter is one line.
      {{"-S", missing}, "lapsero-status: Can't chdir to " + missing + ": No such file or directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const auto run = lint(c.args);
    EXPECT_EQ(run.exit_code(), 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err);
  }
}

// Hints quote the table's bytes; like the listing, they show a control
// character, or a byte that is no character of the caller's set, as "?".
TEST_F(Lint, ControlCharactersInHintsShowAsQuestionMarks) {
  table("1 0 e\x1b[2J true\n1 0 e\x1b[2J true\n");
  set_stamp("st\xc2\x9b", "20240301\n");  // C1 in UTF-8
  set_stamp("raw\xe9", "20240301\n");     // no UTF-8 character
  auto inv = status_invocation({"--lint"});
  inv.env["LANG"] = "C.UTF-8";
  const auto run = lapsero(inv);
  EXPECT_EQ(run.exit_code(), 1);
  const std::string stale =
      ": no job line names this stamp (left behind by a renamed or removed job), so lapsero neither reads "
      "nor removes it; remove it with rm, and after a rename run `lapsero -u NEWNAME' if the job should not "
      "run at the next start\n";
  EXPECT_EQ(run.out,
            table_path +
                ":2: the job name `e?[2J' is already used on line 1: lines of one name share one stamp "
                "file, so a run of one of them stamps them all; give each job a name of its own\n" +
                spool + "/raw?" + stale + spool + "/st?" + stale);
}

}  // namespace
}  // namespace e2e
