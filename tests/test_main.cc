// Entry point of both test programs. The unit tests run in the sandbox too,
// so that the diagnostics they reach log to the test's own socket and never
// to the host; the end-to-end tests run the program there.

#include <gtest/gtest.h>

#include "tests/sandbox.h"

namespace {

class SandboxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { sandbox::enter(); }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new SandboxEnvironment);
  return RUN_ALL_TESTS();
}
