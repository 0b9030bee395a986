// The first steps that lapsero and lapsero-status share: the program's name,
// the standard descriptors, and the job patterns of the command line.

#include <cerrno>
#include <cstring>

#include <fcntl.h>

#include "base/diagnostics.h"

namespace {

char default_pattern[] = "*";
char* default_patterns[] = {default_pattern};

}  // namespace

void take_program_name(int argc, char** argv) {
  if (argc <= 0 || !argv[0]) return;
  const char* slash = std::strrchr(argv[0], '/');
  program_name = slash ? slash + 1 : argv[0];
}

void fill_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open_onto(fd, "/dev/null", O_RDWR);
}

void take_job_patterns(int argc, char** argv, int first) {
  if (first < argc) {
    settings.job_patterns = argv + first;
    settings.job_pattern_count = argc - first;
  } else {
    settings.job_patterns = default_patterns;
    settings.job_pattern_count = 1;
  }
}
