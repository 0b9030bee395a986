// The listing, for people and for programs.
//
// For people: aligned columns under a header line, one row per job in table
// order, dates as YYYY-MM-DD with a note relative to today, and how the
// last run ended where the journal tells it. For programs:
// one JSON array with an object per job, whose field names stay as they
// are, so that a monitoring script written once keeps working. Job names
// and commands are whatever bytes the table held. The columns are printed
// in the character set of the caller's locale and padded by display width;
// a control character, or a byte that is no character of that set, shows
// as "?", so that it can neither drive the terminal nor shift a row. In
// JSON, bytes that are not UTF-8 become U+FFFD, so that the output always
// parses, whatever the locale.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <string_view>
#include <vector>

#include <wchar.h>

#include <nlohmann/json.hpp>

#include "base/diagnostics.h"
#include "status/status.h"

namespace {

/// The columns of the listing, in order.
constexpr const char* headings[] = {"JOB", "PERIOD", "DELAY", "LAST RUN", "LAST RESULT", "NEXT DUE", "STATE"};
constexpr std::size_t column_count = sizeof headings / sizeof headings[0];

/// A cell of the columns as the terminal shows it.
struct Cell {
  std::string text;
  std::size_t width;  ///< display columns, not bytes
};

/// The text as a terminal in the thread's locale shows it: a character the
/// locale can print stays and takes its display width; a control character
/// (C0, DEL, C1) becomes one "?", and so does each byte that starts no
/// character of the locale's set. In the C locale only ASCII is a
/// character, so each byte above 0x7f becomes "?".
Cell shown(std::string_view text) {
  constexpr std::size_t invalid = static_cast<std::size_t>(-1);
  constexpr std::size_t incomplete = static_cast<std::size_t>(-2);
  Cell cell{std::string(), 0};
  std::mbstate_t state{};
  for (std::size_t at = 0; at < text.size();) {
    wchar_t character = 0;
    std::size_t length = std::mbrtowc(&character, text.data() + at, text.size() - at, &state);
    if (length == invalid || length == incomplete || length == 0) {
      // Decoding starts afresh at the next byte, so that a broken sequence
      // costs one "?" per byte and the character after it still shows.
      state = std::mbstate_t{};
      cell.text += '?';
      cell.width += 1;
      at += 1;
      continue;
    }
    const int columns = std::iswprint(static_cast<std::wint_t>(character)) ? wcwidth(character) : -1;
    if (columns < 0) {
      cell.text += '?';
      cell.width += 1;
    } else {
      cell.text.append(text.substr(at, length));
      cell.width += static_cast<std::size_t>(columns);
    }
    at += length;
  }
  return cell;
}

std::string plural(std::int32_t count, const char* unit) {
  return std::to_string(count) + " " + unit + (count == 1 ? "" : "s");
}

const char* state_name(JobState state) {
  switch (state) {
    case JobState::due: return "due";
    case JobState::waiting: return "waiting";
    case JobState::in_progress: return "in progress";
    case JobState::unknown: return "unknown";
  }
  return "unknown";
}

const char* stamp_name(LastRun last_run) {
  switch (last_run) {
    case LastRun::never: return "never";
    case LastRun::date: return "date";
    case LastRun::invalid: return "invalid";
    case LastRun::unreadable: return "unreadable";
  }
  return "unreadable";
}

const char* outcome_name(Outcome outcome) {
  switch (outcome) {
    case Outcome::ok: return "ok";
    case Outcome::exit: return "exit";
    case Outcome::signal: return "signal";
    case Outcome::abnormal: return "abnormal";
  }
  return "abnormal";
}

/// Why a job has no result, in --json.
const char* missing_name(ResultState state) {
  switch (state) {
    case ResultState::no_line: return "no_line";
    case ResultState::found: break;
    case ResultState::no_journal: return "no_journal";
    case ResultState::not_readable: return "journal_not_readable";
  }
  return nullptr;
}

/// A job whose stamp could not be read has no next due day to tell.
bool has_next_due(const JobStatus& status) {
  return status.state != JobState::unknown && status.next_due != 0;
}

std::string next_due_text(const JobStatus& status) {
  return has_next_due(status) ? date_text(status.next_due) : "-";
}

/// The period as the table gives it: "7", "@monthly", "@yearly".
std::string period_text(const JobEntry* job) {
  switch (job->period_kind) {
    case PeriodKind::monthly: return "@monthly";
    case PeriodKind::yearly: return "@yearly";
    case PeriodKind::none: break;
  }
  return std::to_string(job->period_days);
}

/// "never", a date, "invalid" or "-".
std::string last_run_text(const JobStatus& status) {
  switch (status.last_run) {
    case LastRun::never: return "never";
    case LastRun::date: return date_text(status.last_day);
    case LastRun::invalid: return "invalid";
    case LastRun::unreadable: break;
  }
  return "-";
}

/// Why a stamp could not be read.
std::string reason_text(const StampProbe& probe) {
  if (probe.error != not_regular_file) return std::strerror(probe.error);
  // In the scheduler's own words for the same stamp.
  const char* reason = odd_stamp_reason(probe.odd_type);
  return reason ? reason : "not a regular file";
}

}  // namespace

std::string date_text(std::int32_t day) {
  const CalendarDate date = date_of_day(day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", date.year, date.month, date.mday);
  return text;
}

std::string state_text(const JobStatus& status) {
  switch (status.state) {
    case JobState::due: return status.days > 0 ? "due for " + plural(status.days, "day") : "due";
    case JobState::waiting:
      if (status.next_due == 0) return "waiting, not due within 400 years";
      return "waiting, in " + plural(status.days, "day");
    case JobState::in_progress:
      if (status.probe.lock_elsewhere) return "in progress elsewhere";
      if (status.probe.lock_pid == 0) return "in progress";
      return "in progress (pid " + std::to_string(status.probe.lock_pid) + ")";
    case JobState::unknown: return "unknown (" + reason_text(status.probe) + ")";
  }
  return "unknown";
}

std::string result_text(const LastResult& result) {
  if (result.state != ResultState::found) return "-";
  std::string text = outcome_name(result.outcome);
  if (result.outcome == Outcome::exit || result.outcome == Outcome::signal)
    text += " " + std::to_string(result.number);
  return result.mailed ? text + " (mailed)" : text;
}

std::string local_time_text(std::time_t when) {
  std::tm local{};
  if (!localtime_r(&when, &local)) return "";
  char text[64];
  const long offset_minutes = local.tm_gmtoff / 60;
  const long east = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                offset_minutes < 0 ? '-' : '+', east / 60, east % 60);
  return text;
}

locale_t callers_locale() {
  // A locale that is not installed leaves the C locale, as setlocale does.
  locale_t callers = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (!callers) callers = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
  if (!callers) bail_sys("newlocale() error");
  return callers;
}

std::string printable(std::string_view text) { return shown(text).text; }

std::string listing_text(const JobStatus* statuses, int count, locale_t shown_in) {
  // Only the cells are taken in the caller's locale; everything before was
  // read and matched in the C locale, as the scheduler does.
  const locale_t outer = uselocale(shown_in);
  std::vector<std::vector<Cell>> rows;
  rows.emplace_back();
  for (const char* heading : headings) rows.back().push_back(shown(heading));
  for (int i = 0; i < count; ++i) {
    const JobStatus& status = statuses[i];
    rows.push_back({shown(status.job->name), shown(period_text(status.job)),
                    shown(std::to_string(status.job->delay_minutes) + " min"), shown(last_run_text(status)),
                    shown(result_text(status.result)), shown(next_due_text(status)),
                    shown(state_text(status))});
  }
  uselocale(outer);

  std::size_t widths[column_count] = {};
  for (const auto& row : rows)
    for (std::size_t column = 0; column < column_count; ++column)
      widths[column] = std::max(widths[column], row[column].width);

  std::string text;
  for (const auto& row : rows) {
    for (std::size_t column = 0; column < column_count; ++column) {
      text += row[column].text;
      // Two blanks between columns, none after the last.
      if (column + 1 < column_count) text.append(widths[column] - row[column].width + 2, ' ');
    }
    text += '\n';
  }
  return text;
}

namespace {

using Json = nlohmann::ordered_json;

/// The outcome with its numbers, when and whether mailed; null without a line.
Json result_json(const LastResult& result) {
  if (result.state != ResultState::found) return nullptr;
  Json json;
  json["outcome"] = outcome_name(result.outcome);
  const bool exited = result.outcome == Outcome::ok || result.outcome == Outcome::exit;
  json["exit_status"] = exited ? Json(result.number) : Json(nullptr);
  json["signal"] = result.outcome == Outcome::signal ? Json(result.number) : Json(nullptr);
  json["logged"] = local_time_text(result.logged);
  json["mailed"] = result.mailed;
  return json;
}

}  // namespace

std::string listing_json(const JobStatus* statuses, int count) {
  Json listing = Json::array();
  for (int i = 0; i < count; ++i) {
    const JobStatus& status = statuses[i];
    Json job;
    job["name"] = status.job->name;
    job["period"] = period_text(status.job);
    job["delay_minutes"] = status.job->delay_minutes;
    job["command"] = status.job->command;
    job["last_run"] = status.last_run == LastRun::date ? Json(date_text(status.last_day)) : Json(nullptr);
    job["stamp"] = stamp_name(status.last_run);
    job["next_due"] = has_next_due(status) ? Json(date_text(status.next_due)) : Json(nullptr);
    job["state"] = state_name(status.state);
    const bool counted =
        status.state == JobState::due || (status.state == JobState::waiting && has_next_due(status));
    job["days"] = counted ? Json(status.days) : Json(nullptr);
    job["lock_pid"] = status.probe.lock_pid > 0 ? Json(status.probe.lock_pid) : Json(nullptr);
    job["lock_elsewhere"] = status.state == JobState::in_progress && status.probe.lock_elsewhere;
    job["reason"] = status.state == JobState::unknown ? Json(reason_text(status.probe)) : Json(nullptr);
    job["last_result"] = result_json(status.result);
    const char* missing = missing_name(status.result.state);
    job["last_result_missing"] = missing ? Json(missing) : Json(nullptr);
    listing.push_back(std::move(job));
  }
  return listing.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}
