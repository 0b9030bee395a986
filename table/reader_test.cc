// The table reader: logical lines, the four line kinds and what each
// registers, numbers, period words, job patterns and settings.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "base/diagnostics.h"
#include "table/table.h"
#include "tests/sandbox.h"

namespace {

using Lines = std::vector<std::string>;

class Reader : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = settings;
    saved_stderr_off = stderr_off;
    stderr_off = 1;
    settings.table_path = path;
    use_patterns({"*"});
    init_arenas();
    reset_lists();
    line_number = 0;
    sandbox::take_log();
  }
  void TearDown() override {
    obstack_free(&LineArena, nullptr);
    obstack_free(&RecordArena, nullptr);
    reset_lists();
    settings = saved;
    stderr_off = saved_stderr_off;
  }
  void use_patterns(Lines given) {
    patterns = std::move(given);
    pointers.clear();
    for (std::string& p : patterns) pointers.push_back(p.data());
    settings.job_patterns = pointers.data();
    settings.job_pattern_count = static_cast<int>(pointers.size());
  }
  /// The logical lines the bytes make, without handling them.
  Lines read(std::string bytes) {
    table_stream = fmemopen(bytes.data(), bytes.size(), "r");
    Lines lines;
    while (char* line = read_logical_line()) {
      lines.emplace_back(line);
      obstack_free(&LineArena, line);
    }
    std::fclose(table_stream);
    table_stream = nullptr;
    return lines;
  }
  /// Reads the bytes as a table into the lists, as load_table does.
  void load(std::string bytes, LineObserver observer = nullptr, void* context = nullptr) {
    // read_table sets both arenas up afresh.
    obstack_free(&LineArena, nullptr);
    obstack_free(&RecordArena, nullptr);
    std::FILE* stream = fmemopen(bytes.data(), bytes.size(), "r");
    read_table(stream, observer, context);
    std::fclose(stream);
  }
  /// Each registered job as "line name period/kind delay pattern env: command".
  static Lines jobs() {
    Lines described;
    for (const JobEntry* j = job_head; j; j = j->next)
      described.push_back(
          std::to_string(j->table_line) + " " + j->name + " " + std::to_string(j->period_days) + "/" +
          std::to_string(static_cast<int>(j->period_kind)) + " " + std::to_string(j->delay_minutes) + " p" +
          std::to_string(j->pattern_index) + " " + (j->last_env ? j->last_env->assignment : "-") + ": " +
          j->command + (j->job_pid || j->mailer_pid ? " (pid set)" : ""));
    return described;
  }
  static Lines logged() { return sandbox::texts(sandbox::take_log()); }

  char path[4] = "tab";
  RunSettings saved{};
  int saved_stderr_off = 0;
  Lines patterns;
  std::vector<char*> pointers;
};

TEST_F(Reader, AssemblesLogicalLines) {
  const struct {
    const char* what;
    std::string bytes;
    Lines expected;
  } cases[] = {
      {"empty file", "", {""}},
      {"final newline gives one more empty line", "a b\n", {"a b", ""}},
      {"last line without newline", "a\nb", {"a", "b"}},
      {"continuation keeps blanks on both sides", "one \\\n  two\n", {"one    two", ""}},
      {"three physical lines", "a\\\nb\\\nc\nd", {"a b c", "d"}},
      {"backslashes before other bytes vanish", "a\\bc\\\\d\\ e", {"abcd e"}},
      {"backslash as the last byte stays", "x\\", {"x\\"}},
      {"backslash before an empty line", "cmd \\\n\nnext", {"cmd \n", "next"}},
      {"backslash-newline at the end of file", "cmd \\\n", {"cmd \n"}},
      {"NUL bytes vanish", std::string("a\0b\0\n", 5), {"ab", ""}},
      {"a NUL breaks a continuation", std::string("a\\\0\nb", 5), {"a", "b"}},
      {"carriage returns are ordinary bytes", "1 0 j c\r\n\r\n", {"1 0 j c\r", "\r", ""}},
  };
  for (const auto& c : cases) EXPECT_EQ(read(c.bytes), c.expected) << c.what;
}

TEST_F(Reader, MatchCapturesCutsEachGroup) {
  const struct {
    const char* pattern;
    std::string line;
    int result;
    Lines groups;
  } cases[] = {
      {blank_or_comment_expression, "  \t# 1 0 j c", 1, {}},
      {blank_or_comment_expression, "A=1 # no comment", 0, {}},
      {setting_expression, "  MAILTO \t= ops # kept", 1, {"MAILTO", " ops # kept"}},
      {setting_expression, "A==b", 1, {"A", "=b"}},
      {setting_expression, "EMPTY=", 1, {"EMPTY", ""}},
      {interval_job_expression, " 07\t5 backup  tar -cf x  ", 1, {"07", "5", "backup", "tar -cf x  "}},
      {interval_job_expression, "1 0 a/b c", 0, {"", "", "", ""}},
      {interval_job_expression, "1 0 name", 0, {"", "", "", ""}},
      {named_job_expression, "@monthly 10 report mail -s x", 1, {"@monthly", "10", "report", "mail -s x"}},
      {"(", "x", -1, {}},
      {"(a)|(b)", "b", -1, {"", ""}},  // a wanted group that took no part
  };
  for (const auto& c : cases) {
    std::string line = c.line;
    char* got[4] = {};
    const int result = c.groups.empty() ? match_captures(c.pattern, line.data(), {})
                       : c.groups.size() == 2
                           ? match_captures(c.pattern, line.data(), {&got[0], &got[1]})
                           : match_captures(c.pattern, line.data(), {&got[0], &got[1], &got[2], &got[3]});
    EXPECT_EQ(result, c.result) << c.line;
    for (std::size_t i = 0; result == 1 && i < c.groups.size(); ++i)
      EXPECT_STREQ(got[i], c.groups[i].c_str());
  }
  // A place left out is skipped; the groups after it are still cut.
  std::string line = "3 4 name cmd";
  char* name = nullptr;
  ASSERT_EQ(match_captures(interval_job_expression, line.data(), {nullptr, nullptr, &name, nullptr}), 1);
  EXPECT_STREQ(name, "name");
  EXPECT_STREQ(line.c_str(), "3 4 name");
}

TEST_F(Reader, NumbersAndPatternIndexes) {
  const struct {
    const char* digits;
    std::int32_t value;
  } counts[] = {{"0", 0},
                {"0007", 7},
                {"2147483647", INT_MAX},
                {"000002147483647", INT_MAX},
                {"2147483648", -1},
                {"9223372036854775808", -1},
                {"99999999999999999999999", -1}};
  for (const auto& c : counts) EXPECT_EQ(to_count(c.digits), c.value) << c.digits;

  use_patterns({"b*", "*x", "a?x", "[!z]*"});
  const struct {
    const char* name;
    std::int32_t index;
  } names[] = {{"bx", 0}, {"abx", 1}, {"a1x", 1}, {"c", 3}, {"zz", -1}};
  for (const auto& c : names) EXPECT_EQ(pattern_index_for(c.name), c.index) << c.name;
}

TEST_F(Reader, JobsAndSettingsInTableOrder) {
  use_patterns({"s*", "*"});
  load(
      "1 0 first true\n"
      "A=1\n"
      "  B = two  \n"
      "# 1 0 commented out\n"
      "7 5 second echo $A # too\n"
      "C=\n"
      "@yearly 3 third x\n"
      "0 0 first again\n");
  EXPECT_EQ(logged(), Lines{});
  Lines assignments;
  for (const EnvSetting* s = env_head; s; s = s->next) assignments.emplace_back(s->assignment);
  EXPECT_EQ(assignments, (Lines{"A=1", "B= two  ", "C="}));
  EXPECT_EQ(jobs(), (Lines{"1 first 1/0 0 p1 -: true", "5 second 7/0 5 p0 B= two  : echo $A # too",
                           "7 third 0/2 3 p1 C=: x", "8 first 0/0 0 p1 C=: again"}));
}

TEST_F(Reader, PeriodWordsAndNumbersOutOfRange) {
  use_patterns({"none"});
  load(
      "@monthly 0 a c\n@monthl 0 b c\n@monthlyx 0 c c\n@yearly 0 d c\n@yearlyx 0 e c\n"
      "@year 0 f c\n@month 0 g c\n@weekly 0 h c\n@Monthly 0 i c\n"
      "@weekly 2147483648 j c\n2147483648 0 k c\n0 2147483648 l c\n2147483648 99999999999 m c\n"
      "2147483647 2147483647 n c\n0007 00 o c");
  EXPECT_EQ(jobs(),
            (Lines{"1 a 0/1 0 p-1 -: c", "2 b 0/1 0 p-1 -: c", "3 c 0/1 0 p-1 -: c", "4 d 0/2 0 p-1 -: c",
                   "5 e 0/2 0 p-1 -: c", "14 n 2147483647/0 2147483647 p-1 -: c", "15 o 7/0 0 p-1 -: c"}));
  Lines expected;
  for (int line = 6; line <= 9; ++line)
    expected.push_back("tab: Unknown named period on line " + std::to_string(line) + ", skipping");
  for (int line = 10; line <= 13; ++line)
    expected.push_back("tab: number out of range on line " + std::to_string(line) + ", skipping");
  EXPECT_EQ(logged(), expected);
}

TEST_F(Reader, NamesThatCanNeverBeAStampAreInvalidSyntax) {
  const std::string longest(255, 'n');
  load(
      "1 0 . c\n"
      "1 0 .. c\n"
      "@weekly 0 .. c\n"     // judged before the period word
      "99999999999 0 . c\n"  // and before the numbers
      "1 0 " +
      longest +
      "n c\n"
      "1 0 " +
      longest +
      " c\n"
      "1 0 ... c\n");
  Lines expected;
  for (int line = 1; line <= 5; ++line)
    expected.push_back("Invalid syntax in tab on line " + std::to_string(line) + " - skipping this line");
  EXPECT_EQ(logged(), expected);
  EXPECT_EQ(jobs(), (Lines{"6 " + longest + " 1/0 0 p0 -: c", "7 ... 1/0 0 p0 -: c"}));
}

/// What an observer was told, one line per logical line, into the Lines its
/// context points to: "number@physical strays/after nuls kind: text", and
/// for each continuation " +N:" and the first bytes of the line it joined.
void observe(const LineFacts& f, void* context) {
  std::string kind = f.job ? std::string("job ") + f.job->name : f.setting ? f.setting->assignment : "-";
  if (f.problem) kind = f.problem;
  std::string joined;
  for (std::int32_t i = 0; i < f.continuation_count; ++i)
    joined += " +" + std::to_string(f.continuations[i].backslash_line) + ":" +
              std::string(f.text + f.continuations[i].offset).substr(0, 3);
  static_cast<Lines*>(context)->push_back(
      std::to_string(f.number) + "@" + std::to_string(f.first_physical) + " " +
      std::to_string(f.stray_backslashes) + "/" +
      (f.after_stray ? std::string(1, static_cast<char>(f.after_stray)) : "-") + " " +
      std::to_string(f.nul_bytes) + " " + kind + ": " + f.text + joined);
}

TEST_F(Reader, ObserverIsToldEachLineAsAssembled) {
  const std::string table =
      "A = 1\n"
      "1 0 one a\\tb \\\n"
      "   c\n"
      "\n"
      "bad\\\\ line\r\n"
      "1 0 two x";
  Lines observed;
  const int problems_before = problem_count;
  load(table, observe, &observed);
  EXPECT_EQ(observed,
            (Lines{"1@1 0/- 0 A= 1: A = 1", "2@2 1/t 0 job one: 1 0 one atb     c +2:   ", "3@4 0/- 0 -: ",
                   "4@5 2/\\ 0 Invalid syntax in tab on line 4 - skipping this line: bad line\r",
                   "5@6 0/- 0 job two: 1 0 two x"}));
  // The problem was counted and handed over, not reported.
  EXPECT_EQ(problem_count - problems_before, 1);
  EXPECT_EQ(logged(), Lines{});
  // What was registered is what a read without an observer registers.
  const Lines with_observer = jobs();
  load(table);
  EXPECT_EQ(jobs(), with_observer);
  EXPECT_EQ(logged(), Lines{"Invalid syntax in tab on line 4 - skipping this line"});
}

TEST_F(Reader, ObserverIsToldWhereLinesWereJoinedAndNulsDropped) {
  const struct {
    const char* what;
    std::string bytes;
    Lines expected;
  } cases[] = {
      {"each joined line with the line of its backslash",
       "# x \\\n1 0 b y\\\n  z\nA=1",
       {"1@1 0/- 0 -: # x  1 0 b y   z +1:1 0 +2:  z", "2@4 0/- 0 A=1: A=1"}},
      {"a joined line that is empty",
       "a\\\n\\\nb",
       {"1@1 0/- 0 Invalid syntax in tab on line 1 - skipping this line: a  b +1: b +2:b"}},
      {"no line is joined before an empty one or the end",
       "1 0 a x \\\n\n1 0 c y \\\n",
       {"1@1 0/- 0 job a: 1 0 a x \n", "2@3 0/- 0 job c: 1 0 c y \n"}},
      {"NUL bytes counted on their line",
       std::string("1 0 a \0x\0\n\0", 11),
       {"1@1 0/- 2 job a: 1 0 a x", "2@2 0/- 1 -: "}},
  };
  for (const auto& c : cases) {
    Lines observed;
    load(c.bytes, observe, &observed);
    EXPECT_EQ(observed, c.expected) << c.what;
  }
}

}  // namespace
