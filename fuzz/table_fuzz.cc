// Fuzz target: arbitrary bytes read as a job table.
//
// Each input goes through the reader exactly as load_table reads a file, by
// the same read_table, from a memory stream instead of a file so that no
// working directory is changed and nothing touches the disk. Then
// every record is checked against what the line syntax promises, and both
// arenas are released, so that LeakSanitizer judges the reader and not this
// harness.
//
// Diagnostics: stderr_off keeps them off standard error, and syslog,
// openlog and closelog are defined here, which takes precedence over the
// system library's, so that no message of the millions this target produces
// reaches the host's system log. The replacement formats every message, so
// the sanitizers still see each argument the reader hands over. This is
// chosen over entering the test sandbox because the target then needs
// neither root nor a mount namespace, and no socket has to be drained on
// every input. The initializer makes sure the replacement is the one called.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/diagnostics.h"
#include "lapsero.h"
#include "table/table.h"

namespace {

std::size_t messages_logged = 0;

/// A broken promise of the reader: crash, so that the fuzzer keeps the input.
void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "table_fuzz: %s\n", what);
  std::abort();
}

bool is_separator(char c) { return c == ' ' || c == '\t'; }

void check_records() {
  std::int32_t previous_line = 0;
  for (const JobEntry* job = job_head; job; job = job->next) {
    const std::string_view name = job->name;
    require(!name.empty() && name.size() <= 255 && name != "." && name != "..", "unusable job name");
    require(name.find_first_of(" \t/") == std::string_view::npos, "blank, tab or slash in a job name");
    require(job->command[0] != '\0' && !is_separator(job->command[0]), "empty command");
    require(job->table_line > previous_line && job->table_line <= line_number, "table lines out of order");
    previous_line = job->table_line;
    require(job->period_days >= 0 && job->delay_minutes >= 0, "negative period or delay");
    require(job->period_kind == PeriodKind::none || job->period_days == 0, "named period with days");
    require(job->pattern_index >= -1 && job->pattern_index < settings.job_pattern_count, "pattern index");
    bool env_found = job->last_env == nullptr;
    for (const EnvSetting* s = env_head; s && !env_found; s = s->next) env_found = s == job->last_env;
    require(env_found, "last_env outside the environment list");
  }
  for (const EnvSetting* s = env_head; s; s = s->next) {
    const char* equals = std::strchr(s->assignment, '=');
    require(equals && equals != s->assignment, "setting without a name");
  }
}

void read_table(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly the input's size, so that a read past it is caught.
  std::vector<char> bytes(data, data + size);
  char empty = 0;
  std::FILE* stream = fmemopen(size ? bytes.data() : &empty, size, "r");
  require(stream != nullptr, "fmemopen failed");
  ::read_table(stream);
  std::fclose(stream);
  check_records();
  obstack_free(&LineArena, nullptr);
  obstack_free(&RecordArena, nullptr);
  reset_lists();
}

char table_name[] = "fuzz-table";
char pattern_all[] = "*";
char pattern_class[] = "[a-m]*";
char pattern_dot[] = "*.?";
char* patterns[] = {pattern_class, pattern_dot, pattern_all};

}  // namespace

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

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  stderr_off = 1;
  settings.table_path = table_name;
  settings.job_patterns = patterns;
  settings.job_pattern_count = 3;
  const char bad_line[] = "not a line of any kind\n";
  read_table(reinterpret_cast<const std::uint8_t*>(bad_line), sizeof bad_line - 1);
  require(messages_logged == 1 && problem_count == 1, "diagnostics do not reach this target's syslog");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  read_table(data, size);
  return 0;
}
