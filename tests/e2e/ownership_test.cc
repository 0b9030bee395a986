// Nobody else writes what root runs: each way another local user could
// steer root's lapsero, tried as that user would (as nobody, through
// setpriv), and refused before any job starts; and the layouts that must
// keep working, the package's and a user's own.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

constexpr uid_t nobody = 65534;

class Ownership : public Lapsero {
 protected:
  /// The invocation with the table and the spool named from the scratch
  /// directory, where it starts, so that the messages stay short of the
  /// length at which they are cut.
  static sandbox::Invocation short_paths(sandbox::Invocation inv) {
    inv.argv[2] = "lapserotab";
    inv.argv[4] = "spool";
    return inv;
  }

  /// The table root means to run: one job that leaves a mark and prints.
  void root_table() { table("1 0 job touch " + dir + "/ran; echo ran\n"); }

  /// Runs a shell script as nobody, the other local user.
  void as_attacker(const std::string& script) {
    sandbox::Invocation inv;
    inv.argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                "/bin/sh",          "-ec",           script};
    const auto run = lapsero(inv);
    ASSERT_EQ(run.exit_code(), 0) << run.err;
  }

  /// A directory of nobody's own in the scratch directory.
  std::string attacker_dir() {
    const std::string home = dir + "/home";
    EXPECT_EQ(mkdir(home.c_str(), 0755), 0);
    EXPECT_EQ(chown(home.c_str(), nobody, nobody), 0);
    return home;
  }

  /// Root's run ends with the message, logged at error level, and runs no
  /// job: no mark, no mail, no stamp.
  void expect_refused(const std::vector<std::string>& args, const std::string& message,
                      const std::string& stamp_before = "<missing>") {
    const auto run = lapsero(short_paths(on_date(args)));
    EXPECT_EQ(run.exit_code(), 1) << run.err;
    const bool update = std::find(args.begin(), args.end(), "-u") != args.end();
    const Lines log = update ? Lines{message, "Aborted"} : Lines{started, message, "Aborted"};
    EXPECT_EQ(sandbox::texts(run.log), log);
    EXPECT_EQ(run.err, on_stderr(log, {started}));
    const auto* refusal = entry(run, message);
    ASSERT_NE(refusal, nullptr);
    EXPECT_EQ(refusal->level, 3);
    EXPECT_EQ(refusal->facility, 9);
    EXPECT_FALSE(sandbox::exists(dir + "/ran"));
    EXPECT_TRUE(mails().empty());
    EXPECT_EQ(stamp("job"), stamp_before);
  }
};

TEST_F(Ownership, TableOthersCanWriteIsRefused) {
  root_table();
  ASSERT_EQ(chmod(table_path.c_str(), 0666), 0);
  as_attacker("echo '1 0 evil touch " + dir + "/ran' >" + table_path);
  const std::string message = "Refusing table lapserotab: mode 0666, must not be writable by group or others";
  expect_refused({"-d"}, message);
  // The test mode says the same and fails.
  const auto check = lapsero(short_paths(invocation({"-T"})));
  EXPECT_EQ(check.exit_code(), 1);
  EXPECT_EQ(check.err, "lapsero: " + message + "\nlapsero: Aborted\n");
}

TEST_F(Ownership, TableSomeoneElseOwnsIsRefused) {
  root_table();
  ASSERT_EQ(chown(table_path.c_str(), nobody, nobody), 0);
  // Its owner may rewrite it whatever its mode says.
  as_attacker("chmod 600 " + table_path + "; echo '1 0 evil touch " + dir + "/ran' >" + table_path +
              "; chmod 644 " + table_path);
  expect_refused({"-d"}, "Refusing table lapserotab: owned by uid 65534, must be owned by root");
}

TEST_F(Ownership, TableThroughALinkToAFileSomeoneElseOwnsIsRefused) {
  const std::string theirs = attacker_dir() + "/lapserotab";
  as_attacker("echo '1 0 job touch " + dir + "/ran' >" + theirs);
  // The administrator's link to a table kept elsewhere: what counts is the
  // file read, not the link.
  ASSERT_EQ(symlink(theirs.c_str(), table_path.c_str()), 0);
  expect_refused({"-d"}, "Refusing table lapserotab: owned by uid 65534, must be owned by root");
}

TEST_F(Ownership, SpoolOthersCanWriteIsRefused) {
  root_table();
  // A sticky bit keeps nobody from planting a stamp that is not there yet.
  ASSERT_EQ(chmod(spool.c_str(), 01777), 0);
  // Today's date, so that the job would be skipped.
  as_attacker("echo 20240312 >" + stamp_path("job"));
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-d"}, {"-d", "-u"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    expect_refused(args, "Refusing spool directory spool: mode 1777, must not be writable by group or others",
                   "20240312\n");
  }
}

TEST_F(Ownership, SpoolSomeoneElseOwnsIsRefused) {
  root_table();
  ASSERT_EQ(chown(spool.c_str(), nobody, nobody), 0);
  // A FIFO named like the job would end every run at its due test.
  as_attacker("mkfifo " + stamp_path("job"));
  const auto run = lapsero(short_paths(on_date({"-d"})));
  const std::string message = "Refusing spool directory spool: owned by uid 65534, must be owned by root";
  EXPECT_EQ(run.exit_code(), 1);
  EXPECT_EQ(sandbox::texts(run.log), (Lines{started, message, "Aborted"}));
  EXPECT_FALSE(sandbox::exists(dir + "/ran"));
  EXPECT_TRUE(mails().empty());
}

// The package's layout: a table of root's, mode 0644, in a spool of root's,
// mode 0755.
TEST_F(Ownership, PackagedLayoutRunsAsBefore) {
  root_table();
  EXPECT_EQ(lapsero({"-T"}).exit_code(), 0);
  const auto run = lapsero(on_date({"-d", "-q"}));
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_TRUE(logged(run, "Job `job' started"));
  EXPECT_TRUE(sandbox::exists(dir + "/ran"));
  EXPECT_EQ(stamp("job"), stamped);
  EXPECT_EQ(mails().size(), 1u);
}

// A user runs lapsero on a table and a spool of their own.
TEST_F(Ownership, UsersOwnTableAndSpoolRun) {
  const std::string home = attacker_dir();
  const std::string own_table = home + "/lapserotab", own_spool = home + "/spool";
  as_attacker("mkdir -m 700 " + own_spool + "; echo '1 0 job true' >" + own_table + "; chmod 600 " +
              own_table);
  auto inv = invocation({"-d", "-q"});
  inv.argv[2] = own_table;
  inv.argv[4] = own_spool;
  inv.env["TMPDIR"] = home;
  const auto run = lapsero(as_nobody(inv));
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_TRUE(logged(run, "Job `job' started"));
  EXPECT_EQ(sandbox::read_file(own_spool + "/job"), stamped);
}

// lapsero-status says what lapsero would do: a warning with the listing, a
// hint with --lint, and a failed check, since no job will run.
TEST_F(Ownership, ListingTellsOfARefusal) {
  if (!*status_binary) GTEST_SKIP() << "lapsero-status is not built (LAPSERO_STATUS=OFF)";
  hide_system_journal();
  table("1 0 job true\n");
  set_stamp("job", "20240312\n");
  ASSERT_EQ(chmod(table_path.c_str(), 0666), 0);
  ASSERT_EQ(chmod(spool.c_str(), 0775), 0);
  const std::string table_reason = "mode 0666, must not be writable by group or others";
  const std::string spool_reason = "mode 0775, must not be writable by group or others";
  const auto listing = lapsero(short_paths(listing_on({})));
  EXPECT_EQ(listing.exit_code(), 1);
  EXPECT_EQ(listing.err, "lapsero-status: lapsero will refuse table lapserotab: " + table_reason +
                             "\nlapsero-status: lapsero will refuse spool directory spool: " + spool_reason +
                             "\n");
  EXPECT_NE(listing.out.find("job "), std::string::npos) << listing.out;
  for (const char* check : {"--overdue=5", "--failed"})
    EXPECT_EQ(lapsero(short_paths(listing_on({check}))).exit_code(), 2);
  const auto lint = lapsero(short_paths(listing_on({"--lint"})));
  EXPECT_EQ(lint.exit_code(), 1);
  EXPECT_EQ(lint.out, "lapserotab: lapsero refuses this table and runs none of its jobs: " + table_reason +
                          "\nspool: lapsero refuses this spool directory and runs no job: " + spool_reason +
                          "\n");
  show_system_journal();
}

}  // namespace
}  // namespace e2e
