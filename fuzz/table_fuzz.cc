// Fuzz target: arbitrary bytes read as a job table.
//
// Each input goes through the reader exactly as load_table reads a file, by
// the same read_table, from a memory stream instead of a file so that no
// working directory is changed and nothing touches the disk. Then
// every record is checked against what the line syntax promises, and both
// arenas are released, so that LeakSanitizer judges the reader and not this
// harness.
//
// Diagnostics stay off standard error, and the system log is the silent
// one of fuzz_support.h. The initializer makes sure that one is called.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/diagnostics.h"
#include "fuzz/fuzz_support.h"
#include "lapsero.h"
#include "table/table.h"

namespace {

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

void read_and_check(const std::uint8_t* data, std::size_t size) {
  read_table_bytes(data, size);
  check_records();
  release_table();
}

char pattern_all[] = "*";
char pattern_class[] = "[a-m]*";
char pattern_dot[] = "*.?";
char* patterns[] = {pattern_class, pattern_dot, pattern_all};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  set_up_table_reading(patterns, 3);
  const char bad_line[] = "not a line of any kind\n";
  read_and_check(reinterpret_cast<const std::uint8_t*>(bad_line), sizeof bad_line - 1);
  require(messages_logged == 1 && problem_count == 1, "diagnostics do not reach this target's syslog");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  read_and_check(data, size);
  return 0;
}
