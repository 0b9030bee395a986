// The test mode (-T) on good and bad tables: its exit status, and every
// message a table's content or its file can cause, with the line it names.
#include <sys/stat.h>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

class TableCheck : public Lapsero {
 protected:
  sandbox::Process check(std::string_view text, std::vector<std::string> args = {"-T"}) {
    table(text);
    return lapsero(std::move(args));
  }
  std::string syntax(int line) const {
    return "Invalid syntax in " + table_path + " on line " + std::to_string(line) + " - skipping this line";
  }
  std::string range(int line) const {
    return table_path + ": number out of range on line " + std::to_string(line) + ", skipping";
  }
  std::string unknown(int line) const {
    return table_path + ": Unknown named period on line " + std::to_string(line) + ", skipping";
  }
};

const std::string name255(255, 'n');
const std::string name256(256, 'n');

TEST_F(TableCheck, GoodTablesPassSilently) {
  const std::string tables[] = {
      "",
      "# comment\n\n   \t\n  \t# indented comment\n",
      "MAILTO=root\nPATH = /bin:/usr/bin\nEMPTY=\nX==y # not a comment\n",
      // One table, over two source lines.
      "1 0 daily echo hi\n\t7  10\tweekly run-parts /etc/weekly\n0 0 zero true\n"  // NOLINT(bugprone-suspicious-missing-comma)
      "2147483647 2147483647 max true\n007 0010 zeros true\n1 0 ... true\n1 0 .x true\n",
      "@monthly 5 m true\n@monthl 0 m2 true\n@monthlyish 0 m3 true\n@yearly 0 y true\n@yearlyx 0 y2 true\n",
      "1 0 long echo a \\\n  b \\\n  c\n# comment \\\n continued\nX=1 \\\n 2\n",
      "1 0 last true",
      "1 0 " + name255 + " true\n@yearly 0 " + name255 + " true\n",
      "1 0 dup true\n1 0 dup false\n1 0 cr true\r\n",
      std::string("1 0 n\0ul true\n", 14),
  };
  for (const auto& text : tables) {
    SCOPED_TRACE(text);
    auto run = check(text);
    EXPECT_EQ(run.exit_code(), 0);
    EXPECT_TRUE(run.log.empty()) << ::testing::PrintToString(sandbox::texts(run.log));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "");
  }
}

TEST_F(TableCheck, BadLinesAreReportedWithTheirLogicalLine) {
  struct Case {
    std::string text;
    Lines messages;
  };
  const Case cases[] = {
      {"junk\n", {syntax(1)}},
      {"# c\n\n1 0 ok true\nbad line here\n1 0 ok2 true\n", {syntax(4)}},
      // Physical lines 2 to 4 are one logical line.
      {"bad\n1 0 a echo \\\n b \\\n c\n1 0 b/c true\n2147483648 0 c true\n",
       {syntax(1), syntax(3), range(4)}},
      {"1 0 . true\n1 0 .. true\n@monthly 0 . true\n1 0 " + name256 + " true\n@yearly 0 " + name256 +
           " true\n",
       {syntax(1), syntax(2), syntax(3), syntax(4), syntax(5)}},
      // The name is judged before the numbers and the period word.
      {"2147483648 0 . true\n@daily 0 .. true\n", {syntax(1), syntax(2)}},
      {"2147483648 0 a true\n1 2147483648 b true\n99999999999999999999 99999999999999999999 c true\n"
       "@monthly 2147483648 d true\n",
       {range(1), range(2), range(3), range(4)}},
      // The delay is judged before the period word.
      {"@daily 0 a true\n@month 0 b true\n@Monthly 0 c true\n@daily 2147483648 d true\n@yearl 0 e true\n",
       {unknown(1), unknown(2), unknown(3), range(4), unknown(5)}},
      {"1 0 a/b true\n1 0 nocommand\n\r\n  \\\n\n@monthly\n1 x a true\n= value\n",
       {syntax(1), syntax(2), syntax(3), syntax(4), syntax(5), syntax(6), syntax(7)}},
      {"1 0 ok true\nbad", {syntax(2)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto run = check(c.text);
    EXPECT_EQ(run.exit_code(), 1);
    EXPECT_EQ(sandbox::texts(run.log), c.messages);
    for (const auto& entry : run.log) EXPECT_EQ(entry.level, 3) << entry.text;
    EXPECT_EQ(run.err, on_stderr(c.messages));
  }
}

TEST_F(TableCheck, TableFileThatCannotBeRead) {
  const std::string missing = dir + "/missing", directory = dir + "/directory";
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  struct Case {
    std::string path;
    Lines messages;
  };
  const Case cases[] = {
      {missing, {"Error opening " + missing + ": No such file or directory", "Aborted"}},
      {directory, {"Error reading " + directory + ": Is a directory", "Aborted"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto run = lapsero({"-T", "-t", c.path});
    EXPECT_EQ(run.exit_code(), 1);
    EXPECT_EQ(sandbox::texts(run.log), c.messages);
    EXPECT_EQ(run.err, on_stderr(c.messages));
  }
}

TEST_F(TableCheck, RelativeTableIsTakenFromTheStartDirectory) {
  ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((spool + "/sub").c_str(), 0755), 0);
  sandbox::write_file(dir + "/sub/tab", "# here\nbad\n");
  sandbox::write_file(spool + "/sub/tab", "bad\n");
  for (const char* mode : {"-T", "-d"}) {
    SCOPED_TRACE(mode);
    auto run = lapsero({mode, "-t", "sub/tab"});
    EXPECT_NE(run.err.find("lapsero: Invalid syntax in sub/tab on line 2 - skipping this line\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("on line 1"), std::string::npos) << run.err;
  }
}

TEST_F(TableCheck, TestModeNeverForksNorTouchesStamps) {
  const std::vector<std::string> option_sets[] = {
      {"-T"}, {"-T", "-q"}, {"-u", "-T"}, {"-T", "-s", "-f", "-n"}, {"-q", "-T", "-u", "-f", "job"}};
  for (const auto& options : option_sets) {
    SCOPED_TRACE(::testing::PrintToString(options));
    auto good = check("1 0 job true\n@monthly 0 other true\n", options);
    EXPECT_EQ(good.exit_code(), 0);
    EXPECT_TRUE(good.log.empty()) << ::testing::PrintToString(sandbox::texts(good.log));
    EXPECT_EQ(stamp("job"), "<missing>");
    EXPECT_EQ(stamp("other"), "<missing>");

    // A forked caller would end with 0 and print nothing.
    auto bad = check("1 0 job true\nbad\n", options);
    EXPECT_EQ(bad.exit_code(), 1);
    EXPECT_EQ(bad.err, on_stderr({syntax(2)}));
    ASSERT_EQ(bad.log.size(), 1u);
    EXPECT_EQ(bad.log[0].pid, bad.pid);
    EXPECT_EQ(stamp("job"), "<missing>");
  }
}

}  // namespace
}  // namespace e2e
