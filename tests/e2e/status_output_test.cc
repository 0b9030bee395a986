// lapsero-status's output reaches its reader whole or the program fails:
// standard output that cannot take it (a full disk, /dev/full), small or
// large, in every form; --output=FILE, which replaces the file only with
// the whole new text and leaves the old one on any failure; and running
// out of memory, which fails like any other failure instead of aborting.
#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

using Args = std::vector<std::string>;

/// The three forms of the output.
const Args forms[] = {{}, {"--json"}, {"--prometheus"}};

/// The names in a directory, but . and .., sorted.
Lines entries(const std::string& path) {
  Lines names;
  DIR* dir = opendir(path.c_str());
  if (!dir) return names;
  while (const dirent* entry = readdir(dir))
    if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
      names.push_back(entry->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

class Output : public Lapsero {
 protected:
  void SetUp() override {
    Lapsero::SetUp();
    hide_system_journal();
  }
  void TearDown() override {
    if (!small_fs.empty()) {
      EXPECT_EQ(umount2(small_fs.c_str(), MNT_DETACH), 0);
    }
    show_system_journal();
  }

  /// A table of count jobs, job000 and on, one of them stamped.
  void jobs(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
      char line[32];
      std::snprintf(line, sizeof line, "1 0 job%03d true\n", i);
      text += line;
    }
    table(text);
    set_stamp("job000", "20240311\n");
  }

  /// lapsero-status with its standard output sent to the file by a shell.
  sandbox::Process status_into(const std::string& file, Args args) {
    auto inv = listing_on(std::move(args));
    inv.argv.insert(inv.argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" >" + file});
    return lapsero(inv);
  }

  /// A file system of one page at dir/small, already full with the file
  /// dir/small/lapsero.prom holding "old\n".
  std::string full_file_system() {
    small_fs = dir + "/small";
    EXPECT_EQ(mkdir(small_fs.c_str(), 0755), 0);
    EXPECT_EQ(mount("tmpfs", small_fs.c_str(), "tmpfs", 0, "size=4k,mode=0755"), 0) << small_fs;
    sandbox::write_file(small_fs + "/lapsero.prom", "old\n");
    return small_fs + "/lapsero.prom";
  }

  std::string small_fs;
};

TEST_F(Output, StandardOutputThatCannotTakeItFailsInEveryForm) {
  // 1 job fits in the first buffer; 300 overflow it, so the last write
  // has nothing left to fail on.
  for (const int count : {1, 300}) {
    jobs(count);
    for (const Args& form : forms) {
      SCOPED_TRACE(std::to_string(count) + " jobs " + ::testing::PrintToString(form));
      const auto run = status_into("/dev/full", form);
      EXPECT_EQ(run.exit_code(), 1);
      EXPECT_EQ(run.err,
                "lapsero-status: Can't write the listing: No space left on device\n"
                "lapsero-status: Aborted\n");
    }
  }
}

TEST_F(Output, HintsThatCannotBeWrittenFailTheLint) {
  // 300 lines of hints, each a setting whose value begins with a blank.
  std::string text;
  for (int i = 0; i < 300; ++i) text += "NAME" + std::to_string(i) + "= value\n";
  table(text);
  const auto run = status_into("/dev/full", {"--lint"});
  EXPECT_EQ(run.exit_code(), 1);
  EXPECT_EQ(run.err,
            "lapsero-status: Can't write the hints: No space left on device\n"
            "lapsero-status: Aborted\n");
}

TEST_F(Output, OutputFileIsReplacedWhole) {
  jobs(300);
  const std::string file = dir + "/lapsero.prom";
  for (const Args& form : forms) {
    SCOPED_TRACE(::testing::PrintToString(form));
    sandbox::write_file(file, "old\n");
    struct stat old_file {};
    ASSERT_EQ(stat(file.c_str(), &old_file), 0);
    const auto printed = lapsero(listing_on(form));
    ASSERT_EQ(printed.exit_code(), 0) << printed.err;

    Args args = form;
    args.push_back("--output=" + file);
    const auto run = lapsero(listing_on(args));
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(sandbox::read_file(file), printed.out);
    // A new file took the old one's name: a reader that had the old one
    // open read it to its end, and nobody saw a file half written.
    struct stat new_file {};
    ASSERT_EQ(stat(file.c_str(), &new_file), 0);
    EXPECT_NE(new_file.st_ino, old_file.st_ino);
    EXPECT_EQ(new_file.st_mode & 07777, 0644u);
    // Nothing else is left beside it.
    EXPECT_EQ(entries(dir), (Lines{"lapsero.prom", "lapserotab", "mail", "spool"}));
  }
}

TEST_F(Output, OutputFileThatCannotBeWrittenStaysAsItWas) {
  jobs(300);
  const std::string file = full_file_system();
  for (const Args& form : forms) {
    SCOPED_TRACE(::testing::PrintToString(form));
    Args args = form;
    args.push_back("--output=" + file);
    const auto run = lapsero(listing_on(args));
    EXPECT_EQ(run.exit_code(), 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "lapsero-status: Can't write the listing to " + file +
                           ": No space left on device\nlapsero-status: Aborted\n");
    EXPECT_EQ(sandbox::read_file(file), "old\n");
    EXPECT_EQ(entries(small_fs), (Lines{"lapsero.prom"}));
  }
}

TEST_F(Output, OutputFileInADirectoryThatIsNotThere) {
  jobs(1);
  const std::string file = dir + "/none/lapsero.prom";
  const auto run = lapsero(listing_on({"--prometheus", "--output=" + file}));
  EXPECT_EQ(run.exit_code(), 1);
  EXPECT_EQ(run.out, "");
  // Found before the spool is even looked at: one line.
  EXPECT_EQ(run.err, "lapsero-status: Can't open the directory of " + file + ": No such file or directory\n");
  EXPECT_FALSE(sandbox::exists(dir + "/none"));
  // A path that names no file in its directory.
  const auto no_name = lapsero(listing_on({"--output=" + dir + "/"}));
  EXPECT_EQ(no_name.exit_code(), 1);
  EXPECT_EQ(no_name.err, "lapsero-status: Can't write to " + dir + "/: Is a directory\n");

  // A relative path is taken from the start directory, as the table's is.
  auto inv = listing_on({"--prometheus", "--output=lapsero.prom"});
  inv.cwd = dir;
  const auto relative = lapsero(inv);
  EXPECT_EQ(relative.exit_code(), 0) << relative.err;
  EXPECT_NE(sandbox::read_file(dir + "/lapsero.prom").find("lapsero_job_due{name=\"job000\"} 1\n"),
            std::string::npos);
}

TEST_F(Output, RunningOutOfMemoryIsAFailureNotACrash) {
  if (LAPSERO_SANITIZE) GTEST_SKIP() << "the sanitizers reserve more address space than the limit leaves";
  // 20,000 jobs in JSON need some 40 MB; 30 MB of address space are
  // enough to start, to read the table and to judge the jobs, so that the
  // allocation that fails is one of the standard library's.
  jobs(20000);
  auto inv = status_invocation({"--json"});
  inv.argv.insert(inv.argv.begin(), {"/bin/sh", "-c", "ulimit -v 30720 && exec \"$0\" \"$@\""});
  const auto run = lapsero(inv);
  EXPECT_EQ(run.exit_code(), 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "lapsero-status: Memory exhausted\nlapsero-status: Aborted\n");
}

}  // namespace
}  // namespace e2e
