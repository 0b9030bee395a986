// The table file reader.
//
// The table is read once, byte by byte, and joined into logical lines by
// backslash continuation. Each logical line is one of four kinds, told apart
// by extended regular expressions tried in a fixed order: blank or comment,
// environment setting, interval job, named-period job. A line of no kind, or
// with numbers or a period word that cannot be taken, is reported, counted
// and skipped, and reading goes on with the next line. Only a failure of the
// file itself, of the expression machinery or of pattern matching ends the
// process.
//
// lapsero-status --lint needs what only the reader sees: each line as it was
// assembled, before the expressions cut it; the physical line it starts on;
// where backslashes joined the physical lines after it; the backslashes that
// were removed without continuing it; the NUL bytes dropped; and the
// reader's message when it refused it. An observer given to read_table gets
// them, line by line, with a context of its own; without one nothing is
// copied, and with one the same lines are read and registered.

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fnmatch.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/diagnostics.h"
#include "table/table.h"

std::FILE* table_stream = nullptr;
OwnershipFault* table_fault = nullptr;

namespace {

char default_pattern[] = "*";
char* default_patterns[] = {default_pattern};

/// Newlines read from the table so far; the next logical line starts on the
/// physical line after them.
std::int32_t newlines_read = 0;

/// What read_logical_line saw of the line it returned last, for an observer.
struct LineShape {
  std::int32_t first_physical;
  std::int32_t stray_backslashes;
  int after_stray;
  std::int32_t nul_bytes;
};

LineShape last_shape{};
/// The continuations of that line, in order: plain memory that grows as a
/// line needs it and is reused by the next, so that lapsero links no C++
/// runtime for it.
Continuation* last_continuations = nullptr;
std::size_t continuation_count = 0;
std::size_t continuation_room = 0;

void note_continuation(Continuation continuation) {
  if (continuation_count == continuation_room) {
    continuation_room = continuation_room ? 2 * continuation_room : 8;
    void* const grown = std::realloc(last_continuations, continuation_room * sizeof(Continuation));
    if (!grown) memory_exhausted();
    last_continuations = static_cast<Continuation*>(grown);
  }
  last_continuations[continuation_count++] = continuation;
}

/// The longest name a file in the spool directory can have.
constexpr std::size_t longest_file_name = 255;

/// A name that passes the line syntax but can never name a stamp file: "."
/// and ".." are directories, and a longer name fails every open. Such a job
/// would end every run at its due test, so its line is refused at once.
bool unusable_stamp_name(std::string_view name) {
  return name == "." || name == ".." || name.size() > longest_file_name;
}

void invalid_syntax() {
  problem("Invalid syntax in %s on line %d - skipping this line", settings.table_path, line_number);
}

void out_of_range() {
  problem("%s: number out of range on line %d, skipping", settings.table_path, line_number);
}

/// Copies a text into the RecordArena.
const char* keep_text(const char* text) {
  return static_cast<const char*>(obstack_copy0(&RecordArena, text, std::strlen(text)));
}

void register_job(std::int32_t period_days, PeriodKind kind, std::int32_t delay, const char* name,
                  const char* command) {
  auto* job = static_cast<JobEntry*>(obstack_alloc(&RecordArena, sizeof(JobEntry)));
  *job = JobEntry{};  // no job and no mailer runs: both pids 0
  job->period_days = period_days;
  job->period_kind = kind;
  job->delay_minutes = delay;
  job->table_line = line_number;
  job->name = keep_text(name);
  job->pattern_index = pattern_index_for(name);
  job->command = keep_text(command);
  job->stamp_fd = job->output_fd = -1;
  append_job(job);
}

void add_env_setting(const char* name, const char* value) {
  auto* setting = static_cast<EnvSetting*>(obstack_alloc(&RecordArena, sizeof(EnvSetting)));
  obstack_grow(&RecordArena, name, std::strlen(name));
  obstack_1grow(&RecordArena, '=');
  obstack_grow0(&RecordArena, value, std::strlen(value));
  setting->assignment = static_cast<const char*>(obstack_finish(&RecordArena));
  append_setting(setting);
}

void add_interval_job(const char* period_digits, const char* delay_digits, const char* name,
                      const char* command) {
  const std::int32_t period = to_count(period_digits);
  const std::int32_t delay = to_count(delay_digits);
  if (period == -1 || delay == -1) return out_of_range();
  register_job(period, PeriodKind::none, delay, name, command);
}

/// A period word is recognised by its first seven characters only, so
/// "@monthl" and "@monthlyish" are monthly and "@yearlyx" is yearly.
PeriodKind named_period(const char* word) {
  if (std::strncmp(word, "@monthly", 7) == 0) return PeriodKind::monthly;
  if (std::strncmp(word, "@yearly", 7) == 0) return PeriodKind::yearly;
  return PeriodKind::none;
}

void add_named_job(const char* word, const char* delay_digits, const char* name, const char* command) {
  const std::int32_t delay = to_count(delay_digits);
  if (delay == -1) return out_of_range();
  const PeriodKind kind = named_period(word);
  if (kind == PeriodKind::none) {
    problem("%s: Unknown named period on line %d, skipping", settings.table_path, line_number);
    return;
  }
  register_job(0, kind, delay, name, command);
}

int match_or_bail(const char* pattern, char* line, std::initializer_list<char**> places) {
  const int matched = match_captures(pattern, line, places);
  if (matched == -1) bail("Regex error reading %s", settings.table_path);
  return matched;
}

}  // namespace

// The rules of continuation, as lapserotab(5) gives them and the tests hold
// them: a backslash right before a newline joins the next physical line,
// the pair becoming one blank (blanks on either side stay); a backslash
// before any other byte vanishes and the byte stays, so a backslash never
// protects what follows and two in a row both vanish; a backslash that is
// the file's last byte stays; a backslash-newline followed at once by
// another newline, or by the end of the file, ends the line with that first
// newline kept as its last byte; NUL bytes vanish, and a carriage return is
// an ordinary byte. A file that ends with a newline yields one more, empty,
// line after its last one.
char* read_logical_line() {
  if (std::feof(table_stream)) return nullptr;
  last_shape = LineShape{newlines_read + 1, 0, 0, 0};
  continuation_count = 0;
  // One byte is held back: what becomes of it depends on the byte after it.
  constexpr int none = -1;
  int held = none;
  for (;;) {
    const int c = getc(table_stream);
    if (c == '\n') ++newlines_read;
    if (c == EOF || (c == '\n' && held != '\\')) {
      if (held != none) obstack_1grow(&LineArena, static_cast<char>(held));
      break;
    }
    if (held == '\n') {
      obstack_1grow(&LineArena, ' ');
      // The newline just read was the backslash's; the joined line's bytes
      // start here.
      note_continuation(
          Continuation{newlines_read, static_cast<std::int32_t>(obstack_object_size(&LineArena))});
    } else if (held == '\\' && c != '\n') {
      // Removed without continuing the line: noted for an observer.
      if (last_shape.stray_backslashes++ == 0) last_shape.after_stray = c;
    } else if (held != '\\' && held != none) {
      obstack_1grow(&LineArena, static_cast<char>(held));
    }
    if (c == '\0') ++last_shape.nul_bytes;
    held = c == '\0' ? none : c;
  }
  if (std::ferror(table_stream)) bail_sys("Error reading %s", settings.table_path);
  obstack_1grow(&LineArena, '\0');
  return static_cast<char*>(obstack_finish(&LineArena));
}

int match_captures(const char* pattern, char* line, std::initializer_list<char**> places) {
  regex_t expression;
  if (regcomp(&expression, pattern, REG_EXTENDED) != 0) return -1;
  const std::size_t count = places.size();
  auto* match = static_cast<regmatch_t*>(alloc_or_bail((count + 1) * sizeof(regmatch_t)));
  int result = 1;
  const int status = regexec(&expression, line, count + 1, match, 0);
  if (status == REG_NOMATCH) {
    result = 0;
  } else if (status != 0) {
    result = -1;
  } else {
    std::size_t group = 1;
    for (char** place : places) {
      const regmatch_t& span = match[group++];
      if (!place) continue;
      if (span.rm_so == -1) {
        result = -1;
        break;
      }
      *place = line + span.rm_so;
      line[span.rm_eo] = '\0';
    }
  }
  std::free(match);
  regfree(&expression);
  return result;
}

std::int32_t to_count(const char* digits) {
  std::uint64_t value = 0;
  if (!whole_number(digits, INT32_MAX, &value)) return -1;
  return static_cast<std::int32_t>(value);
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

std::int32_t pattern_index_for(const char* name) {
  for (int i = 0; i < settings.job_pattern_count; ++i) {
    const int result = fnmatch(settings.job_patterns[i], name, 0);
    if (result == 0) return i;
    if (result != FNM_NOMATCH) bail("fnmatch() error");
  }
  return -1;
}

namespace {

/// Handles one logical line: registers it or reports why not.
void handle_line(char* line) {
  ++line_number;
  char* first = nullptr;
  char* second = nullptr;
  char* name = nullptr;
  char* command = nullptr;
  if (match_or_bail(blank_or_comment_expression, line, {})) return;
  if (match_or_bail(setting_expression, line, {&first, &second})) return add_env_setting(first, second);
  if (match_or_bail(interval_job_expression, line, {&first, &second, &name, &command})) {
    if (unusable_stamp_name(name)) return invalid_syntax();
    return add_interval_job(first, second, name, command);
  }
  if (match_or_bail(named_job_expression, line, {&first, &second, &name, &command})) {
    if (unusable_stamp_name(name)) return invalid_syntax();
    return add_named_job(first, second, name, command);
  }
  invalid_syntax();
}

/// Handles one logical line as handle_line does, and tells the observer
/// what became of it. The line is copied first, since handling cuts it; the
/// copy goes with the line when the LineArena is released.
void handle_observed_line(char* line, LineObserver observer, void* context) {
  const char* text = static_cast<const char*>(obstack_copy0(&LineArena, line, std::strlen(line)));
  const JobEntry* const job_before = job_tail;
  const EnvSetting* const setting_before = env_tail;
  const int problems_before = problem_count;
  problems_held = 1;
  handle_line(line);
  problems_held = 0;
  LineFacts facts{};
  facts.text = text;
  facts.number = line_number;
  facts.first_physical = last_shape.first_physical;
  facts.stray_backslashes = last_shape.stray_backslashes;
  facts.after_stray = last_shape.after_stray;
  facts.nul_bytes = last_shape.nul_bytes;
  facts.continuations = last_continuations;
  facts.continuation_count = static_cast<std::int32_t>(continuation_count);
  facts.setting = env_tail != setting_before ? env_tail : nullptr;
  facts.job = job_tail != job_before ? job_tail : nullptr;
  facts.problem = problem_count != problems_before ? message_buffer : nullptr;
  observer(facts, context);
}

}  // namespace

void load_table(int start_dir_fd, LineObserver observer, void* context) {
  // A relative table path is taken from where lapsero was started. Should
  // that directory no longer be enterable, a relative path is not looked up
  // in the spool instead: it is reported as a table that cannot be opened.
  int open_errno = 0;
  if (fchdir(start_dir_fd) != 0 && settings.table_path[0] != '/') {
    open_errno = errno;
  } else {
    table_stream = std::fopen(settings.table_path, "r");
    open_errno = errno;
  }
  if (chdir(settings.spool_dir) != 0) bail_sys("Can't chdir to %s", settings.spool_dir);
  if (!table_stream) {
    errno = open_errno;
    bail_sys("Error opening %s", settings.table_path);
  }
  std::FILE* const stream = table_stream;
  // Judged on the descriptor it is read from, so that a link swapped after
  // the open cannot slip another file past the check.
  struct stat st {};
  if (fstat(fileno(stream), &st) != 0) bail_sys("Can't stat %s", settings.table_path);
  const OwnershipFault fault = ownership_fault(st, getuid());
  if (fault.found && !table_fault) bail("Refusing table %s: %s", settings.table_path, fault.reason);
  if (table_fault) *table_fault = fault;
  read_table(stream, observer, context);
  if (std::fclose(stream) != 0) bail_sys("Error closing %s", settings.table_path);
}

void read_table(std::FILE* stream, LineObserver observer, void* context) {
  table_stream = stream;
  init_arenas();
  reset_lists();
  line_number = 0;
  newlines_read = 0;
  while (char* line = read_logical_line()) {
    if (observer)
      handle_observed_line(line, observer, context);
    else
      handle_line(line);
    obstack_free(&LineArena, line);
  }
  table_stream = nullptr;
}
