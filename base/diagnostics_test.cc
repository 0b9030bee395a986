// What the diagnostics hand to the system log: text, level, facility, count.
// Standard error stays off here; its forms are checked end to end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/diagnostics.h"
#include "tests/sandbox.h"

namespace {

class Diagnostics : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_stderr_off = stderr_off;
    stderr_off = 1;
    sandbox::take_log();
  }
  void TearDown() override { stderr_off = saved_stderr_off; }
  /// The one entry logged since the last call.
  static sandbox::LogEntry only_entry() {
    auto log = sandbox::take_log();
    EXPECT_EQ(log.size(), 1u);
    return log.empty() ? sandbox::LogEntry{} : log.front();
  }
  /// Points descriptor 2 at a scratch file and lets diagnostics reach it,
  /// until stderr_text puts it back.
  void capture_stderr() {
    scratch = std::tmpfile();
    ASSERT_NE(scratch, nullptr);
    saved_stderr = dup(STDERR_FILENO);
    ASSERT_EQ(dup2(fileno(scratch), STDERR_FILENO), STDERR_FILENO);
    stderr_off = 0;
  }
  /// What reached descriptor 2 since capture_stderr.
  std::string stderr_text() {
    dup2(saved_stderr, STDERR_FILENO);
    close(saved_stderr);
    std::rewind(scratch);
    char text[200] = {};
    EXPECT_GT(std::fread(text, 1, sizeof text - 1, scratch), 0u);
    std::fclose(scratch);
    return text;
  }
  int saved_stderr_off = 0;
  std::FILE* scratch = nullptr;
  int saved_stderr = -1;
};

TEST_F(Diagnostics, LongTextsAreCutTo150Characters) {
  const std::string cut = std::string(138, 'x') + " (truncated)";
  const struct {
    std::size_t length;
    std::string expected;
  } cases[] = {{0, ""}, {149, std::string(149, 'x')}, {150, cut}, {151, cut}, {1000, cut}};
  for (const auto& c : cases) {
    const std::string text(c.length, 'x');
    notice("%s", text.c_str());
    EXPECT_EQ(std::string(message_buffer), c.expected) << c.length;
    EXPECT_EQ(only_entry().text, c.expected) << c.length;
  }
}

TEST_F(Diagnostics, LevelFacilityErrnoTextAndCount) {
  using Logger = void (*)(const char*, ...);
  const struct {
    const char* what;
    Logger log;
    int level;
    const char* expected;
    int counted;
  } cases[] = {
      {"notice", notice, LOG_NOTICE, "Job `a' started", 0},
      {"notice_sys", notice_sys, LOG_NOTICE, "Job `a' started: Permission denied", 0},
      {"problem", problem, LOG_ERR, "Job `a' started", 1},
      {"problem_sys", problem_sys, LOG_ERR, "Job `a' started: Permission denied", 1},
  };
  for (const auto& c : cases) {
    const int count_before = problem_count;
    errno = EACCES;
    c.log("Job `%s' started", "a");
    const sandbox::LogEntry entry = only_entry();
    EXPECT_EQ(entry.text, c.expected) << c.what;
    EXPECT_EQ(entry.level, c.level) << c.what;
    EXPECT_EQ(entry.facility, LOG_CRON >> 3) << c.what;
    EXPECT_EQ(entry.ident, program_name) << c.what;
    EXPECT_EQ(entry.pid, getpid()) << c.what;
    EXPECT_EQ(problem_count - count_before, c.counted) << c.what;
  }
}

TEST_F(Diagnostics, ErrnoIsTakenBeforeFormattingAndOpeningTheLog) {
  // Reopening the log and a conversion that fails (a wide character the C
  // locale cannot encode sets EILSEQ) must not change what is reported.
  const struct {
    void (*log)(const char*, ...);
    int level;
  } cases[] = {{notice_sys, LOG_NOTICE}, {problem_sys, LOG_ERR}};
  for (const auto& c : cases) {
    close_syslog();
    errno = ENOENT;
    c.log("bad %ls", L"\u00e9");
    const sandbox::LogEntry entry = only_entry();
    const std::string suffix = std::string(": ") + std::strerror(ENOENT);
    ASSERT_GE(entry.text.size(), suffix.size()) << entry.text;
    EXPECT_EQ(entry.text.substr(entry.text.size() - suffix.size()), suffix) << entry.text;
    EXPECT_EQ(entry.level, c.level);
  }
}

TEST_F(Diagnostics, PerCentSignsInArgumentsReachTheLogUnchanged) {
  problem("Job `%s' terminated%s", "50%s%d%n", "");
  EXPECT_EQ(only_entry().text, "Job `50%s%d%n' terminated");
  errno = EPERM;
  notice_sys("Can't open %s", "/tmp/100%");
  EXPECT_EQ(only_entry().text, "Can't open /tmp/100%: Operation not permitted");
}

TEST_F(Diagnostics, WithoutTheSystemLogOnlyStandardErrorHearsOfIt) {
  capture_stderr();
  set_up_diagnostics(0, 0);
  const int count_before = problem_count;
  errno = EACCES;
  problem_sys("Can't open %s", "x");
  notice("Job `%s' started", "a");
  set_up_diagnostics(0, 1);
  const std::string err = stderr_text();

  EXPECT_TRUE(sandbox::take_log(std::chrono::milliseconds(100)).empty());
  EXPECT_EQ(problem_count - count_before, 1);
  EXPECT_EQ(err, std::string(program_name) + ": Can't open x: Permission denied\nJob `a' started\n");
}

TEST_F(Diagnostics, HeldProblemsAreCountedAndLeftToTheCaller) {
  capture_stderr();
  const int count_before = problem_count;
  problems_held = 1;
  errno = EACCES;
  problem_sys("Can't read %s", "spool");
  EXPECT_STREQ(message_buffer, "Can't read spool");
  problem("Invalid syntax in %s on line %d - skipping this line", "tab", 3);
  EXPECT_STREQ(message_buffer, "Invalid syntax in tab on line 3 - skipping this line");
  notice("Job `%s' started", "a");  // only problems are held
  problems_held = 0;
  const std::string err = stderr_text();

  EXPECT_EQ(problem_count - count_before, 2);
  EXPECT_EQ(only_entry().text, "Job `a' started");
  EXPECT_EQ(err, "Job `a' started\n");
}

}  // namespace
