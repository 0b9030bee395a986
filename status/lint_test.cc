// The hints for one table line: which facts call for which hint, and what
// each says.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "status/status.h"

namespace {

using Lines = std::vector<std::string>;

constexpr char script_remedy[] =
    "; a backslash continues a line only as its last character, and a command that needs one belongs "
    "in a script";

/// The command of a job line "N N NAME COMMAND" with one blank apart.
const char* command_of(const char* text) {
  const char* name = std::strchr(std::strchr(text, ' ') + 1, ' ') + 1;
  return std::strchr(name, ' ') + 1;
}

class LineHints : public ::testing::Test {
 protected:
  void SetUp() override { job.name = "backup"; }
  LineFacts job_line(const char* text) {
    LineFacts facts{};
    facts.text = text;
    facts.job = &job;
    job.command = command_of(text);
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
  EXPECT_EQ(line_hints(with_strays(comment, 1, 't'), 0), Lines{});
  EXPECT_EQ(line_hints(job_line("1 0 backup tar -cf x"), 0), Lines{});
}

TEST_F(LineHints, CarriageReturnSaysWhereItEndsUp) {
  EXPECT_EQ(line_hints(setting_line("MAILTO=root\r", "MAILTO=root\r"), 0),
            Lines{"the line ends in a carriage return (a table saved with CRLF line ends), which lapsero "
                  "keeps as the last character of the value of MAILTO; save the table with plain newlines"});
  // A carriage return inside a line is no line end.
  EXPECT_EQ(line_hints(job_line("1 0 backup printf '\r' "), 0), Lines{});
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
  for (const auto& c : cases) EXPECT_EQ(line_hints(setting_line(c.text, c.assignment), 0), c.hints) << c.text;
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
  for (const auto& c : cases) EXPECT_EQ(line_hints(c.facts, 0), Lines{c.hint}) << c.hint;
}

TEST_F(LineHints, NameUsedBeforeNamesOnlyItsFirstLine) {
  EXPECT_EQ(line_hints(job_line("1 0 backup true"), 3),
            Lines{"the job name `backup' is already used on line 3: lines of one name share one stamp "
                  "file, so a run of one of them stamps them all; give each job a name of its own"});
  // The hint quotes the name's bytes; printing shows the control byte as "?".
  job.name = "back\x1b[2Jup";
  EXPECT_EQ(line_hints(job_line("1 0 backup true"), 8),
            Lines{"the job name `back\x1b[2Jup' is already used on line 8: lines of one name share one "
                  "stamp file, so a run of one of them stamps them all; give each job a name of its own"});
}

TEST_F(LineHints, JoinedLinesThatWouldStandAlone) {
  const std::string lost_b =
      "the backslash at the end of line 4 joins line 5, which reads as a job line of its own (`b'), into "
      "this line: that job never runs; end line 4 without the backslash if line 5 should stand alone";
  const struct {
    const char* text;
    std::vector<Continuation> joined;
    Lines hints;
  } cases[] = {
      {"# 1 0 a one  1 0 b two", {{4, 13}}, {lost_b}},
      // The first joined line is empty.
      {"1 0 a x   @monthly 5 b y",
       {{4, 9}, {5, 10}},
       {"the backslash at the end of line 5 joins line 6, which reads as a job line of its own (`b'), into "
        "this line: that job never runs; end line 5 without the backslash if line 6 should stand alone"}},
      // A joined line ends at the blank of the next backslash.
      {"# x  1 0 b y  z", {{4, 5}, {5, 13}}, {lost_b}},
      {"# x  MAILTO=ops",
       {{4, 5}},
       {"the backslash at the end of line 4 joins line 5, which reads as a setting of its own (MAILTO), "
        "into this line: that setting is never made; end line 4 without the backslash if line 5 should "
        "stand alone"}},
      // What follows a continued command most often.
      {"# rsync -a    --exclude=x    2>&1", {{4, 12}, {5, 27}}, {}},
      {"# find /   -delete", {{4, 10}}, {}},
      {"# x  # 1 0 b y", {{4, 5}}, {}},
  };
  for (const auto& c : cases) {
    LineFacts facts{};
    facts.text = c.text;
    facts.continuations = c.joined.data();
    facts.continuation_count = static_cast<std::int32_t>(c.joined.size());
    EXPECT_EQ(line_hints(facts, 0), c.hints) << c.text;
  }
}

TEST_F(LineHints, BytesLapseroDropsOrKeeps) {
  LineFacts two_nuls = job_line("1 0 backup tar");
  two_nuls.nul_bytes = 2;
  LineFacts one_nul = setting_line("A=1", "A=1");
  one_nul.nul_bytes = 1;
  const struct {
    LineFacts facts;
    Lines hints;
  } cases[] = {
      {job_line("1 0 backup # tar -cf x"),
       {"the command is only a comment: the shell runs nothing, and the job is stamped as if it had run"}},
      {job_line("1 0 backup tar # -cf x"), {}},
      {two_nuls,
       {"the line holds 2 NUL bytes, which lapsero drops as if they were not there; save the table as plain "
        "text (a UTF-16 file holds a NUL in every other byte)"}},
      {one_nul,
       {"the line holds a NUL byte, which lapsero drops as if it were not there; save the table as plain "
        "text (a UTF-16 file holds a NUL in every other byte)"}},
      {job_line("1 0 backup tar \\"),
       {"the file ends in a backslash, which continues nothing and stays as the last character of the "
        "command; remove it"}},
      {setting_line("A=1\\", "A=1\\"),
       {"the file ends in a backslash, which continues nothing and stays as the last character of the "
        "value of A; remove it"}},
  };
  for (const auto& c : cases) {
    if (c.facts.job) job.command = command_of(c.facts.text);
    EXPECT_EQ(line_hints(c.facts, 0), c.hints) << c.facts.text;
  }
}

}  // namespace
