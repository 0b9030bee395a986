// The checked calls that only the scheduler's run makes: starting children
// and closing the descriptors it hands them. They sit apart from the rest
// of the diagnostics so that a read-only program (lapsero-status) cannot
// link them.

#include <unistd.h>

#include "base/diagnostics.h"

pid_t fork_or_bail() {
  const pid_t pid = fork();
  if (pid < 0) bail_sys("Can't fork");
  return pid;
}

void close_or_bail(int fd) {
  if (close(fd) != 0) bail_sys("Can't close file descriptor %d", fd);
}
