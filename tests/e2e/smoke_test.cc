// A first run of the harness itself.
#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

TEST_F(Lapsero, RunsAJobAndMailsItsOutput) {
  table(R"(1 0 hello echo hi
)");
  auto run = lapsero({"-d"});
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  auto log = sandbox::texts(run.log);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(run.log.front().facility, 9);
  EXPECT_EQ(run.log.front().level, 5);
  EXPECT_EQ(run.log.front().pid, run.pid);
  EXPECT_EQ(run.log.front().ident, "lapsero");
  EXPECT_EQ(log.back(), "Normal exit (1 job run)");
  auto sent = mails();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].args, (std::vector<std::string>{"/usr/sbin/sendmail", "-FLapsero", "-odi", "root"}));
  EXPECT_NE(sent[0].input.find("\n\nhi\n"), std::string::npos) << sent[0].input;
  EXPECT_EQ(stamp("hello").size(), 9u);
}

TEST_F(Lapsero, BackgroundRunLogsOnly) {
  table("1 0 hello true\n");
  auto inv = invocation({});
  inv.faketime = at("2024-03-12 10:00:00");
  auto run = lapsero(inv);
  EXPECT_EQ(run.exit_code(), 0);
  EXPECT_EQ(run.err, "");
  auto log = sandbox::texts(run.log);
  ASSERT_EQ(log.size(), 5u) << ::testing::PrintToString(log);
  EXPECT_EQ(log[0], "Lapsero 2.3 started on 2024-03-12");
  EXPECT_EQ(stamp("hello"), "20240312\n");
}

}  // namespace
}  // namespace e2e
