// The hints for one table line: which facts call for which hint, and what
// each says.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "status/status.h"

namespace {

using Lines = std::vector<std::string>;

constexpr char script_remedy[] =
    "; a backslash continues a line only as its last character, and a command that needs one belongs "
    "in a script";

class LineHints : public ::testing::Test {
 protected:
  void SetUp() override { job.name = "backup"; }
  LineFacts job_line(const char* text) {
    LineFacts facts{};
    facts.text = text;
    facts.job = &job;
    return facts;
  }
  LineFacts setting_line(const char* text, const char* assignment) {
    LineFacts facts{};
    facts.text = text;
    setting.assignment = assignment;
    facts.setting = &setting;
    return facts;
  }
  static LineFacts with_strays(LineFacts facts, int count, int after) {
    facts.stray_backslashes = count;
    facts.after_stray = after;
    return facts;
  }

  JobEntry job{};
  EnvSetting setting{};
};

TEST_F(LineHints, BlankAndCommentLinesGetNone) {
  LineFacts comment{};
  comment.text = "# 1 0 job printf \"a\\tb\"\r";
  EXPECT_EQ(line_hints(with_strays(comment, 1, 't'), {}), Lines{});
  EXPECT_EQ(line_hints(job_line("1 0 backup tar -cf x"), {}), Lines{});
}

TEST_F(LineHints, CarriageReturnSaysWhereItEndsUp) {
  EXPECT_EQ(line_hints(setting_line("MAILTO=root\r", "MAILTO=root\r"), {}),
            Lines{"the line ends in a carriage return (a table saved with CRLF line ends), which lapsero "
                  "keeps as the last character of the value of MAILTO; save the table with plain newlines"});
  // A carriage return inside a line is no line end.
  EXPECT_EQ(line_hints(job_line("1 0 backup printf '\r' "), {}), Lines{});
}

TEST_F(LineHints, BlanksThatBeginAValue) {
  const struct {
    const char* text;
    const char* assignment;
    Lines hints;
  } cases[] = {
      {"MAILTO = root",
       "MAILTO= root",
       {"the blanks after \"=\" belong to the value: lapsero sets MAILTO to \" root\"; write MAILTO=root"}},
      {"A=\t 1 2",
       "A=\t 1 2",
       {"the blanks after \"=\" belong to the value: lapsero sets A to \"\t 1 2\"; write A=1 2"}},
      {"EMPTY = ",
       "EMPTY= ",
       {"the blanks after \"=\" belong to the value: lapsero sets EMPTY to \" \"; write EMPTY="}},
      // Blanks before "=" are dropped, and those after the value mean what they say.
      {"MAILTO =root", "MAILTO=root", {}},
      {"PATH=/bin ", "PATH=/bin ", {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(line_hints(setting_line(c.text, c.assignment), {}), c.hints) << c.text;
}

TEST_F(LineHints, RemovedBackslashesSayWhatLapseroReads) {
  const char* text = "1 0 backup printf atb";
  const struct {
    LineFacts facts;
    std::string hint;
  } cases[] = {
      {with_strays(job_line(text), 1, 't'),
       std::string("a backslash is removed: lapsero reads \"\\t\" as \"t\"") + script_remedy},
      {with_strays(job_line(text), 3, '$'),
       std::string("a backslash is removed: lapsero reads \"\\$\" as \"$\" (and 2 more on this line)") +
           script_remedy},
      {with_strays(job_line(text), 2, '\\'),
       std::string("a backslash before another backslash is removed (and 1 more on this line)") +
           script_remedy},
      {with_strays(job_line(text), 1, ' '),
       "a backslash before a blank is removed and does not continue the line; to continue it, end the line "
       "with the backslash"},
      {with_strays(job_line(text), 1, '\r'),
       "a backslash before a carriage return is removed and does not continue the line; save the table with "
       "plain newlines"},
      {with_strays(job_line(text), 1, 0xc3), std::string("a backslash is removed") + script_remedy},
      // Only a job has a command to put into a script.
      {with_strays(setting_line("A=atb", "A=atb"), 1, 't'),
       "a backslash is removed: lapsero reads \"\\t\" as \"t\"; a backslash continues a line only as its "
       "last "
       "character"},
  };
  for (const auto& c : cases) EXPECT_EQ(line_hints(c.facts, {}), Lines{c.hint}) << c.hint;
}

TEST_F(LineHints, NameUsedOnEarlierLines) {
  EXPECT_EQ(line_hints(job_line("1 0 backup true"), {3}),
            Lines{"the job name `backup' is used on line 3 too: the two lines share one stamp file, so when "
                  "one of them runs, the other is stamped as well; give each job a name of its own"});
  // The hint quotes the name's bytes; printing shows the control byte as "?".
  job.name = "back\x1b[2Jup";
  EXPECT_EQ(
      line_hints(job_line("1 0 backup true"), {3, 5, 8}),
      Lines{"the job name `back\x1b[2Jup' is used on lines 3, 5 and 8 too: the lines share one stamp file, "
            "so when one of them runs, the others are stamped as well; give each job a name of its own"});
}

}  // namespace
