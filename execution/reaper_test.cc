// How a child ended, as the platform's wait status encodes it.
#include <gtest/gtest.h>

#include <csignal>

#include "execution/execution.h"

namespace {

TEST(DecodeWaitStatus, ExitsSignalsAndTheAbnormalCase) {
  struct Case {
    int status;
    ChildEnd end;
    int value;
  };
  const Case cases[] = {
      {0x0000, ChildEnd::exited, 0},
      {0x0100, ChildEnd::exited, 1},
      {0x0300, ChildEnd::exited, 3},
      {0xff00, ChildEnd::exited, 255},
      {SIGKILL, ChildEnd::signalled, 9},
      {SIGTERM, ChildEnd::signalled, 15},
      {SIGSEGV | 0x80, ChildEnd::signalled, 11},  // the core flag is not reported
      {126, ChildEnd::signalled, 126},
      {0x137f, ChildEnd::abnormal, 0},  // low 7 bits 127: stopped, not ended
      {0xffff, ChildEnd::abnormal, 0},  // continued
  };
  for (const Case& c : cases) {
    int value = -1;
    EXPECT_EQ(decode_wait_status(c.status, &value), c.end) << std::hex << c.status;
    if (c.end != ChildEnd::abnormal) {
      EXPECT_EQ(value, c.value) << std::hex << c.status;
    }
  }
}

}  // namespace
