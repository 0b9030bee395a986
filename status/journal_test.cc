// Taking apart the lines the scheduler logs when a job ends: every outcome,
// the mailed flag, names with quotes in them, and every other line refused,
// a line cut short above all.
#include <gtest/gtest.h>

#include <string>

#include "status/status.h"

namespace {

TEST(OutcomeLine, EveryOutcomeAndTheMailedFlag) {
  const struct {
    std::string message;
    const char* name;
    Outcome outcome;
    std::int32_t number;
    bool mailed;
  } cases[] = {
      {"Job `daily' terminated", "daily", Outcome::ok, 0, false},
      {"Job `daily' terminated (mailing output)", "daily", Outcome::ok, 0, true},
      {"Job `backup' terminated (exit status: 3)", "backup", Outcome::exit, 3, false},
      {"Job `backup' terminated (exit status: 255) (mailing output)", "backup", Outcome::exit, 255, true},
      {"Job `w' terminated due to signal 9", "w", Outcome::signal, 9, false},
      {"Job `w' terminated due to signal 15 (mailing output)", "w", Outcome::signal, 15, true},
      {"Job `x.y' terminated abnormally", "x.y", Outcome::abnormal, 0, false},
      {"Job `x.y' terminated abnormally (mailing output)", "x.y", Outcome::abnormal, 0, true},
      // A name holds any byte but blank, tab and slash: it ends at the first
      // blank, however many quotes it holds.
      {"Job `it's' terminated", "it's", Outcome::ok, 0, false},
      {"Job `a'' terminated (exit status: 1)", "a'", Outcome::exit, 1, false},
      {"Job ``' terminated", "`", Outcome::ok, 0, false},
      {"Job `gr\xc3\xbc\xc3\x9f\xff' terminated due to signal 6", "gr\xc3\xbc\xc3\x9f\xff", Outcome::signal,
       6, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    OutcomeLine line{};
    ASSERT_TRUE(parse_outcome_line(c.message, &line));
    EXPECT_EQ(line.name, c.name);
    EXPECT_EQ(line.outcome, c.outcome);
    EXPECT_EQ(line.number, c.number);
    EXPECT_EQ(line.mailed, c.mailed);
  }
}

TEST(OutcomeLine, OtherLinesAreRefused) {
  // A message of 150 characters or more is cut to 138 and " (truncated)".
  const std::string long_name(140, 'n');
  const std::string cut =
      ("Job `" + long_name + "' terminated (exit status: 1)").substr(0, 138) + " (truncated)";
  ASSERT_EQ(cut.size(), 150u);
  const std::string cut_after_name =
      ("Job `" + std::string(125, 'n') + "' terminated due to signal 9").substr(0, 138) + " (truncated)";
  for (const std::string& message : {
           cut,
           cut_after_name,
           std::string("Job `daily' started"),
           std::string("Will run job `daily' in 5 min."),
           std::string("Job `daily' terminated (truncated)"),
           std::string("Job `daily' terminated (exit status: )"),
           std::string("Job `daily' terminated (exit status: -1)"),
           std::string("Job `daily' terminated (exit status: 3"),
           std::string("Job `daily' terminated (exit status: 99999999999)"),
           std::string("Job `daily' terminated due to signal"),
           std::string("Job `daily' terminated due to signal 9x"),
           std::string("Job `daily' terminated abnormally (mailing output) (mailing output)"),
           std::string("Job `daily' terminated  "),
           std::string("Job `daily terminated"),
           std::string("Job `' terminated"),
           std::string("job `daily' terminated"),
           std::string("Tried to mail output of job `daily', but mailer process (/usr/sbin/sendmail) "
                       "terminated abnormally"),
           std::string("Job `daily'"),
           std::string("Job `n' terminated (mailing output)' terminated"),
           std::string(""),
       }) {
    OutcomeLine line{};
    EXPECT_FALSE(parse_outcome_line(message, &line)) << message;
  }
}

}  // namespace
