// Stamp files, job locks, the run list and the update mode, as seen from
// outside: what lapsero leaves in the spool, what it logs and how it ends.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

using Args = std::vector<std::string>;

/// Everything about a file that lapsero could change, for "left untouched".
struct FileState {
  std::string content;
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  bool operator==(const FileState&) const = default;
};

FileState state_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return {sandbox::read_file(path), st.st_mode & 07777, st.st_uid, st.st_gid};
}

std::ostream& operator<<(std::ostream& out, const FileState& f) {
  return out << ::testing::PrintToString(f.content) << " mode " << std::oct << f.mode << std::dec << " owner "
             << f.uid << ":" << f.gid;
}

/// Holds the write lock over a whole file, as another scheduler would. While
/// it is held the test must not open and close the file elsewhere: closing
/// any descriptor of a file drops this process's locks on it.
class HeldLock {
 public:
  explicit HeldLock(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_CLOEXEC)) {
    flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    EXPECT_EQ(fcntl(fd_, F_SETLK, &lock), 0) << path;
  }
  ~HeldLock() { close(fd_); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

 private:
  int fd_;
};

constexpr uid_t nobody = 65534;

struct DueCase {
  const char* what;
  const char* date;                // the start date, under libfaketime
  const char* period;              // first field of the job's line
  std::optional<std::string> old;  // the stamp before the run; none: missing
  bool due;
};

TEST_F(Lapsero, DueTestDecidesFromTheStampAndTheStartDate) {
  const DueCase cases[] = {
      {"missing stamp", "2024-03-12", "7", std::nullopt, true},
      {"empty stamp", "2024-03-12", "@monthly", "", true},
      {"short stamp", "2024-03-12", "@monthly", "2024031", true},
      {"letters", "2024-03-12", "@yearly", "abcdefgh\n", true},
      {"impossible date", "2024-03-12", "@monthly", "20230229\n", true},
      {"7 days, period 7", "2024-03-12", "7", "20240305\n", true},
      {"7 days, period 8", "2024-03-12", "8", "20240305\n", false},
      {"future, numeric", "2024-03-12", "30", "20240320\n", true},
      {"future, monthly", "2024-03-12", "@monthly", "20240320\n", false},
      {"longer than 9 bytes", "2024-03-12", "7", "20240305\nleft over", true},
      {"monthly, equal to April", "2024-04-30", "@monthly", "20240331\n", true},
      {"monthly, one day short", "2024-04-29", "@monthly", "20240331\n", false},
      {"monthly, equal to February", "2024-03-01", "@monthly", "20240201\n", true},
      {"monthly, at least February", "2024-03-30", "@monthly", "20240301\n", true},
      // A due day that was missed is not made up the day after: more than
      // February's 28 days and fewer than January's 31, or than March's 31
      // and not April's 30.
      {"monthly, February's length", "2023-02-12", "@monthly", "20230115\n", true},
      {"monthly, a day past February's length", "2023-02-13", "@monthly", "20230115\n", false},
      {"monthly, January's length in February", "2023-02-15", "@monthly", "20230115\n", true},
      {"monthly, 29 days on 1 April", "2023-04-01", "@monthly", "20230303\n", false},
      {"yearly, leap year", "2024-03-01", "@yearly", "20230301\n", true},
      {"yearly, 364 days", "2024-02-28", "@yearly", "20230301\n", false},
      {"yearly, at least 2023", "2024-12-31", "@yearly", "20240101\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fresh_case(c.what);
    const std::string seen = dir + "/seen";
    // The job reports its stamp as it finds it: written only once it has ended.
    table(std::string(c.period) + " 0 job stat -c %s:%a " + stamp_path("job") + " > " + seen + "\n");
    if (c.old) {
      set_stamp("job", *c.old);
      ASSERT_EQ(chmod(stamp_path("job").c_str(), 0644), 0);
      ASSERT_EQ(chown(stamp_path("job").c_str(), nobody, nobody), 0);
    }
    const auto run = lapsero(on_date({"-d"}, std::string(c.date) + " 10:00:00"));
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    for (const auto& entry : run.log) EXPECT_EQ(entry.level, 5) << entry.text;
    EXPECT_EQ(logged(run, "Job `job' started"), c.due);
    EXPECT_TRUE(logged(run, c.due ? "Normal exit (1 job run)" : "Normal exit (0 jobs run)"));
    std::string date = c.date;
    date.erase(std::remove(date.begin(), date.end(), '-'), date.end());
    // Every open sets the owner and mode, due or not.
    const FileState expected{c.due ? date + "\n" : *c.old, 0600, 0, 0};
    EXPECT_EQ(state_of(stamp_path("job")), expected);
    if (c.due) {
      EXPECT_EQ(sandbox::read_file(seen), std::to_string(c.old.value_or("").size()) + ":600\n");
    }
  }
}

TEST_F(Lapsero, JobsMatchingNoPatternGetNoStamp) {
  for (const Args& args : {Args{"-d", "chosen"}, Args{"-d", "-u", "chosen"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    // A stamp left by the case before would pass for one this case wrote.
    fresh_case(::testing::PrintToString(args));
    table("1 0 chosen true\n1 0 passed true\n");
    const auto run = lapsero(args);
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    EXPECT_EQ(stamp("chosen").size(), 9u);
    EXPECT_EQ(stamp("passed"), "<missing>");
  }
}

TEST_F(Lapsero, LockedJobIsSkippedEvenWhenForced) {
  for (const Args& args : {Args{"-d"}, Args{"-d", "-f"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    fresh_case(::testing::PrintToString(args));
    table("1 0 held true\n1 0 free true\n");
    set_stamp("held", "20240101\n");
    sandbox::Process run;
    {
      HeldLock lock(stamp_path("held"));
      run = lapsero(on_date(args));
    }
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    EXPECT_TRUE(logged(run, "Job `held' locked by another lapsero - skipping"));
    EXPECT_FALSE(logged(run, "Job `held' started"));
    EXPECT_TRUE(logged(run, "Job `free' started"));
    EXPECT_TRUE(logged(run, "Normal exit (1 job run)"));
    EXPECT_EQ(stamp("held"), "20240101\n");
    EXPECT_EQ(stamp("free"), stamped);
  }
}

TEST_F(Lapsero, UpdateModeStampsMatchingJobsInRunOrder) {
  const struct {
    Args args;
    std::vector<std::string> order;
  } cases[] = {
      {{"-d", "-u", "early", "late", "m*"}, {"early", "mid", "late"}},
      {{"-d", "-u", "-n", "early", "late", "m*"}, {"early", "late", "mid"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    fresh_case(::testing::PrintToString(c.args));
    table("1 5 late true\n1 0 early true\n1 0 skipped true\n1 2 mid true\n");
    // Not due, longer than 9 bytes and foreign: written over all the same.
    set_stamp("late", "20240311\nleft over");
    ASSERT_EQ(chown(stamp_path("late").c_str(), nobody, nobody), 0);
    const auto run = lapsero(on_date(c.args));
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    std::vector<std::string> expected;
    for (const auto& job : c.order) {
      expected.push_back("Updated timestamp for job `" + job + "' to 2024-03-12");
      EXPECT_EQ(state_of(stamp_path(job)), (FileState{stamped, 0600, 0, 0})) << job;
    }
    EXPECT_EQ(sandbox::texts(run.log), expected);
    EXPECT_EQ(stamp("skipped"), "<missing>");
    EXPECT_TRUE(mails().empty());
  }
}

TEST_F(Lapsero, UpdateModeWithNoMatchDoesNothing) {
  table("1 0 job true\n");
  const auto run = lapsero({"-d", "-u", "nothing*"});
  EXPECT_EQ(run.exit_code(), 0);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(run.log.empty()) << ::testing::PrintToString(sandbox::texts(run.log));
  EXPECT_TRUE(std::filesystem::is_empty(spool));
}

TEST_F(Lapsero, UpdateModeWritesALockedStamp) {
  table("1 0 held true\n");
  set_stamp("held", "20200101\n");
  sandbox::Process run;
  {
    HeldLock lock(stamp_path("held"));
    run = lapsero(on_date({"-d", "-u"}));
  }
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_EQ(sandbox::texts(run.log),
            std::vector<std::string>{"Updated timestamp for job `held' to 2024-03-12"});
  EXPECT_EQ(stamp("held"), stamped);
}

TEST_F(Lapsero, UpdateModeInTheBackgroundLogsOnly) {
  table("1 0 job true\n");
  const auto run = lapsero(on_date({"-u"}));
  EXPECT_EQ(run.exit_code(), 0);
  EXPECT_EQ(run.err, "");
  ASSERT_EQ(run.log.size(), 1u);
  EXPECT_EQ(run.log[0].text, "Updated timestamp for job `job' to 2024-03-12");
  EXPECT_NE(run.log[0].pid, run.pid);  // the detached child, not the launcher
  EXPECT_EQ(stamp("job"), stamped);
}

TEST_F(Lapsero, LinkInTheSpoolIsNeverFollowed) {
  const struct {
    Args args;
    bool dangling;
  } cases[] = {
      {{"-d"}, false}, {{"-d", "-f"}, false}, {{"-d", "-u"}, false}, {{"-d"}, true}, {{"-d", "-u"}, true},
  };
  for (const auto& c : cases) {
    const std::string what = ::testing::PrintToString(c.args) + (c.dangling ? " dangling" : "");
    SCOPED_TRACE(what);
    fresh_case(what);
    table("1 0 job true\n");
    const std::string target = dir + "/outside";
    if (!c.dangling) {
      sandbox::write_file(target, "precious\n", 0644);
      ASSERT_EQ(chown(target.c_str(), nobody, nobody), 0);
    }
    ASSERT_EQ(symlink(target.c_str(), stamp_path("job").c_str()), 0);
    const auto run = lapsero(c.args);
    EXPECT_EQ(run.exit_code(), 1);
    const auto log = sandbox::texts(run.log);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2],
              "Can't open timestamp file for job job: Too many levels of symbolic links");
    EXPECT_EQ(log.back(), "Aborted");
    EXPECT_EQ(run.log.back().level, 3);
    EXPECT_FALSE(logged(run, "Job `job' started"));
    if (c.dangling) {
      EXPECT_FALSE(sandbox::exists(target));
    } else {
      EXPECT_EQ(state_of(target), (FileState{"precious\n", 0644, nobody, nobody}));
    }
  }
}

TEST_F(Lapsero, ForeignStampEndsTheRunForAnUnprivilegedUser) {
  table("1 0 job true\n");
  // A spool of nobody's own, holding a stamp of root's that nobody may write.
  ASSERT_EQ(chown(spool.c_str(), 65534, 65534), 0);
  set_stamp("job", "20240101\n");
  ASSERT_EQ(chmod(stamp_path("job").c_str(), 0666), 0);
  for (const Args& args : {Args{"-d"}, Args{"-d", "-u"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    auto inv = invocation(args);
    inv.argv.insert(inv.argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    const auto run = lapsero(inv);
    EXPECT_EQ(run.exit_code(), 1) << run.err;
    EXPECT_NE(run.err.find("lapsero: Can't chown timestamp file job: Operation not permitted\n"
                           "lapsero: Aborted\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(state_of(stamp_path("job")), (FileState{"20240101\n", 0666, 0, 0}));
  }
}

// A stamp that is not a regular file ends the run at its due test, before
// any job starts and before anything is done to the file: a device is not
// opened for writing, chowned or chmodded, and a FIFO is never waited for.
// The update mode refuses it the same way.
TEST_F(Lapsero, StampThatIsNoRegularFileEndsTheRunUntouched) {
  const struct {
    const char* what;
    mode_t type;
    dev_t device;
    const char* reason;
  } kinds[] = {
      {"directory", S_IFDIR, 0, "Is a directory"},
      {"null device", S_IFCHR, makedev(1, 3), "Is a character device, not a regular file"},
      {"full device", S_IFCHR, makedev(1, 7), "Is a character device, not a regular file"},
      {"kernel log", S_IFCHR, makedev(1, 11), "Is a character device, not a regular file"},
      {"block device", S_IFBLK, makedev(7, 0), "Is a block device, not a regular file"},
      {"fifo", S_IFIFO, 0, "Is a FIFO, not a regular file"},
  };
  for (const auto& kind : kinds) {
    for (const Args& args : {Args{"-d"}, Args{"-d", "-u"}}) {
      SCOPED_TRACE(std::string(kind.what) + " " + ::testing::PrintToString(args));
      fresh_case(kind.what);
      table("1 0 aaa true\n1 0 bad true\n1 0 zzz true\n");
      const std::string bad = stamp_path("bad");
      if (kind.type == S_IFDIR)
        ASSERT_EQ(mkdir(bad.c_str(), 0755), 0);
      else
        ASSERT_EQ(mknod(bad.c_str(), kind.type | 0644, kind.device), 0);
      ASSERT_EQ(lchown(bad.c_str(), nobody, nobody), 0);

      auto inv = on_date(args);
      inv.timeout = std::chrono::seconds(10);
      const auto run = lapsero(inv);
      EXPECT_EQ(run.exit_code(), 1);
      EXPECT_NE(run.err.find("lapsero: Can't open timestamp file for job bad: " + std::string(kind.reason) +
                             "\nlapsero: Aborted\n"),
                std::string::npos)
          << run.err;
      EXPECT_FALSE(logged(run, "Job `aaa' started"));
      EXPECT_FALSE(logged(run, "Job `bad' started"));
      EXPECT_EQ(stamp("zzz"), "<missing>");
      struct stat after {};
      ASSERT_EQ(lstat(bad.c_str(), &after), 0);
      EXPECT_EQ(after.st_mode & S_IFMT, kind.type);
      EXPECT_EQ(after.st_mode & 07777, kind.type == S_IFDIR ? 0755u : 0644u);
      EXPECT_EQ(after.st_uid, nobody);
      EXPECT_EQ(after.st_gid, nobody);
    }
  }
}

}  // namespace
}  // namespace e2e
