#include <unistd.h>

#include <gtest/gtest.h>

#include "status/status.h"

// A lock's pid is shown only when it names a lapsero of this host; on a
// shared spool it is the holder's pid on its own host.
TEST(NamesLapsero, ByTheProgramsNameOrItsFile) {
  const struct {
    const char* comm;
    const char* exe;
    bool expected;
  } cases[] = {
      {"lapsero", "/usr/sbin/lapsero", true},
      {"lapsero", "", true},                             // exe not ours to read
      {"lapsero", "/usr/sbin/lapsero (deleted)", true},  // upgraded while it runs
      {"nightly", "/usr/sbin/lapsero", true},            // started through a link
      {"nightly", "/usr/sbin/lapsero (deleted)", true},
      {"lapsero-status", "/usr/sbin/lapsero-status", false},
      {"bash", "/usr/bin/bash", false},
      {"kthreadd", "", false},  // pid 2 of another host's holder
      {"", "", false},          // no such process
      {"lapsero.old", "/tmp/lapsero.old", false},
      {"sh", "/usr/sbin/lapsero/sh", false},
  };
  for (const auto& c : cases) EXPECT_EQ(names_lapsero(c.comm, c.exe), c.expected) << c.comm << " " << c.exe;
}

TEST(LapseroHere, PidsThatAreNoLapsero) {
  // F_GETLK reports 0 or -1 for a lock without a pid in our namespace.
  for (const pid_t pid : {-1, 0, getpid(), 1}) EXPECT_FALSE(lapsero_here(pid)) << pid;
}
