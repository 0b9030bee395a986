// The fuzz targets' silent system log and in-memory table reading
// (fuzz_support.h).

#include "fuzz/fuzz_support.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/diagnostics.h"
#include "lapsero.h"

std::size_t messages_logged = 0;

extern "C" void openlog(const char*, int, int) {}
extern "C" void closelog() {}
extern "C" void syslog(int, const char* format, ...) LAPSERO_PRINTF(2, 3);
extern "C" void syslog(int, const char* format, ...) {
  char text[512];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  ++messages_logged;
}

namespace {
char table_name[] = "fuzz-table";
}  // namespace

void set_up_table_reading(char** patterns, int count) {
  stderr_off = 1;
  settings.table_path = table_name;
  settings.job_patterns = patterns;
  settings.job_pattern_count = count;
}

void read_table_bytes(const std::uint8_t* data, std::size_t size, LineObserver observer, void* context) {
  std::vector<char> bytes(data, data + size);
  char empty = 0;
  std::FILE* stream = fmemopen(size ? bytes.data() : &empty, size, "r");
  if (!stream) {
    std::perror("fmemopen");
    std::abort();
  }
  read_table(stream, observer, context);
  std::fclose(stream);
}

void release_table() {
  obstack_free(&LineArena, nullptr);
  obstack_free(&RecordArena, nullptr);
  reset_lists();
}
