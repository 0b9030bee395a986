// The first steps that lapsero and lapsero-status share: the program's name,
// the standard descriptors, and the texts a program prints and exits on.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "base/diagnostics.h"

void take_program_name(int argc, char** argv) {
  if (argc <= 0 || !argv[0]) return;
  const char* slash = std::strrchr(argv[0], '/');
  program_name = slash ? slash + 1 : argv[0];
}

void fill_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open_onto(fd, "/dev/null", O_RDWR);
}

void print_and_exit(const char* text, const char* ending) {
  std::fputs(text, stdout);
  std::fputs(ending, stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    // Straight to standard error: a text asked for on the command line is
    // no event for the system log.
    dprintf(STDERR_FILENO, "%s: Can't write to standard output: %s\n", program_name, std::strerror(errno));
    end_after_failure();
  }
  std::exit(0);
}
