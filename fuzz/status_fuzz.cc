// Fuzz target: arbitrary bytes read by lapsero-status's own parsers.
//
// Each input is taken three ways, and what the listing promises is checked
// after each:
// - as a message in the journal, by parse_outcome_line, whole and as the
//   scheduler cuts a long one (138 bytes and " (truncated)"): a line taken
//   is one of the four outcomes with its number, and a cut line is never
//   taken at all;
// - as a stamp with a job's period and today's date (the numbers taken
//   from the input's end), by judge and the due days it asks for: the
//   state and the last run are of the documented kinds, and the listing's
//   JSON of that job, with the outcome above and the input as its name and
//   command, always parses;
// - as a table, by the scheduler's reader with the lint's observer, from a
//   memory stream (fuzz_support.h): every line number a hint gives is a
//   line of the table.
// A broken promise aborts, so that the fuzzer keeps the input.

#include <fuzzer/FuzzedDataProvider.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/diagnostics.h"
#include "fuzz/fuzz_support.h"
#include "lapsero.h"
#include "schedule/schedule.h"
#include "status/status.h"
#include "table/table.h"

namespace {

void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "status_fuzz: %s\n", what);
  std::abort();
}

constexpr std::string_view cut_mark = " (truncated)";

// ---------------------------------------------------------------------------
// The journal's messages

/// The outcome of the message, checked; {} when it holds none.
LastResult outcome_of(std::string_view message) {
  OutcomeLine line{};
  if (!parse_outcome_line(message, &line)) return LastResult{};
  require(!message.ends_with(cut_mark), "a cut line taken for an outcome");
  require(!line.name.empty() && line.name.find(' ') == std::string_view::npos, "a name with a blank");
  require(line.name.data() >= message.data() && line.name.end() <= message.end(), "a name outside");
  switch (line.outcome) {
    case Outcome::ok:
    case Outcome::abnormal: require(line.number == 0, "a number without an exit or signal"); break;
    case Outcome::exit:
    case Outcome::signal: require(line.number >= 0, "a negative exit status or signal"); break;
    default: require(false, "an outcome of no known kind");
  }
  return LastResult{ResultState::found, line.outcome, line.number, line.mailed, 0};
}

LastResult check_messages(std::string_view input) {
  const LastResult whole = outcome_of(input);
  std::string cut(input.substr(0, 138));
  cut += cut_mark;
  outcome_of(cut);
  return whole;
}

// ---------------------------------------------------------------------------
// The stamps

/// The last day local_day can give: 31 December of the last year it counts.
const std::int32_t last_day = day_number(5867440, 12, 31);

constexpr int stamp_errors[] = {0, ENOENT, EACCES, ELOOP, EISDIR, EIO, not_regular_file};
constexpr mode_t odd_types[] = {S_IFIFO, S_IFCHR, S_IFBLK, S_IFSOCK, S_IFDIR, 0};

void check_judged(const JobStatus& status, std::int32_t today) {
  switch (status.last_run) {
    case LastRun::never:
    case LastRun::invalid:
    case LastRun::unreadable: require(status.last_day == 0, "a last day without a date"); break;
    case LastRun::date: require(status.last_day > 0, "a date that is no day"); break;
    default: require(false, "a last run of no known kind");
  }
  switch (status.state) {
    case JobState::due: require(status.next_due == today, "due, but not today"); break;
    case JobState::waiting:
      require(status.next_due == 0 || status.next_due > today, "waiting for a day gone");
      break;
    case JobState::in_progress:
    case JobState::unknown: break;
    default: require(false, "a state of no known kind");
  }
  require(status.days >= 0, "a negative count of days");
}

void check_stamp(const std::uint8_t* data, std::size_t size, std::string_view input,
                 const LastResult& result) {
  FuzzedDataProvider numbers(data, size);
  JobEntry job{};
  const std::string name(input.substr(0, 300));
  job.name = name.c_str();
  job.command = name.c_str();
  job.period_kind = numbers.PickValueInArray({PeriodKind::none, PeriodKind::monthly, PeriodKind::yearly});
  job.period_days =
      job.period_kind == PeriodKind::none ? numbers.ConsumeIntegralInRange<std::int32_t>(0, INT32_MAX) : 0;
  job.delay_minutes = numbers.ConsumeIntegralInRange<std::int32_t>(0, INT32_MAX);
  const std::int32_t today = numbers.ConsumeIntegralInRange<std::int32_t>(1, last_day);
  const std::int32_t table_day = numbers.ConsumeIntegralInRange<std::int32_t>(0, last_day);

  StampProbe probe{};
  probe.missing = numbers.ConsumeBool();
  probe.error = numbers.PickValueInArray(stamp_errors);
  probe.odd_type = numbers.PickValueInArray(odd_types);
  probe.locked = numbers.ConsumeBool();
  probe.lock_pid = numbers.ConsumeIntegral<pid_t>();
  probe.changed_day = numbers.ConsumeIntegralInRange<std::int32_t>(0, last_day);
  probe.owner = numbers.ConsumeIntegral<uid_t>();
  const std::string stamp = numbers.ConsumeBytesAsString(stamp_date_size);
  stamp.copy(probe.bytes, stamp.size());
  probe.length = static_cast<int>(stamp.size());

  JobStatus status = judge(&job, probe, today, table_day);
  check_judged(status, today);
  const std::int32_t next = next_due_day(stamp, today, job.period_days, job.period_kind);
  require(next == 0 || next >= today, "a next due day gone");
  require(days_due(stamp, today, job.period_days, job.period_kind) >= 0, "due for negative days");

  status.result = result;
  require(nlohmann::json::accept(listing_json(&status, 1)), "the JSON does not parse");
}

// ---------------------------------------------------------------------------
// The lint

/// The number that stands in the text right after the prefix, or -1.
long number_after(std::string_view text, std::string_view prefix) {
  const std::size_t at = text.find(prefix);
  if (at == std::string_view::npos) return -1;
  const std::string digits(text.substr(at + prefix.size(), 12));
  char* end = nullptr;
  const long number = std::strtol(digits.c_str(), &end, 10);
  require(end != digits.c_str(), "no line number where one belongs");
  return number;
}

void check_line_number(long number, long lines) {
  require(number >= 1 && number <= lines, "a hint's line number outside the table");
}

/// Every line number a hint gives: where it stands, the lines a backslash
/// joined, the first line of a name, and the reader's own count.
void check_hint(std::string_view hint, long lines) {
  const std::string_view place = "fuzz-table:";
  require(hint.starts_with(place), "a hint without its place");
  const long line = number_after(hint, place);
  check_line_number(line, lines);
  const std::string_view text = hint.substr(hint.find(": ") + 2);
  if (text.starts_with("the backslash at the end of line ")) {
    const long joining = number_after(text, "the backslash at the end of line ");
    check_line_number(joining, lines);
    require(joining >= line, "a backslash before its line");
    require(number_after(text, " joins line ") == joining + 1, "joins another line than the next");
    check_line_number(joining + 1, lines);
  } else if (text.starts_with("the job name `")) {
    const long first = number_after(text, "' is already used on line ");
    require(first >= 1 && first < line, "a name first used at or after its repeat");
  } else if (text.starts_with("Invalid syntax in fuzz-table on line ") || text.starts_with("fuzz-table: ")) {
    check_line_number(number_after(text, " on line "), lines);
  }
}

void check_lint(const std::uint8_t* data, std::size_t size) {
  TableLint lint;
  read_table_bytes(data, size, lint_line, &lint);
  // The reader counts one line more after a final newline, as an editor does not.
  const long lines = static_cast<long>(std::count(data, data + size, '\n')) + 1;
  for (const std::string& hint : lint.hints) check_hint(hint, lines);
  release_table();
}

char pattern_all[] = "*";
char* patterns[] = {pattern_all};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  set_up_table_reading(patterns, 1);
  // A problem reaches the lint, not the log.
  const char bad_line[] = "not a line of any kind\n";
  check_lint(reinterpret_cast<const std::uint8_t*>(bad_line), sizeof bad_line - 1);
  require(messages_logged == 0 && problem_count == 1, "the lint's problems reach the log");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const LastResult result = check_messages(input);
  check_stamp(data, size, input, result);
  check_lint(data, size);
  return 0;
}
