// The listing as metrics, in the text format that Prometheus scrapes from
// the node exporter's textfile directory.
//
// Every metric is a gauge under the prefix lapsero_job_, with one series
// per job, labelled name="NAME" (not job, which Prometheus gives the target
// a series was scraped from, and which would push ours aside as
// exported_job), and comes with its HELP and TYPE lines before its samples,
// all samples of a metric together. Names follow Prometheus's conventions,
// which promtool holds them to: base units, and the unit last in the name.
// Dates are Unix times of the local midnight that begins them, and a span
// of days is given in seconds. A sample that is not known is left out
// rather than given a value that means something else: a job whose stamp
// cannot be read has only lapsero_job_stamp_readable 0, and a job the
// journal holds no line of has no last result. The textfile collector
// serves only the first of two equal series and logs an error at every
// scrape, so a name that stands on two table lines, or two names that are
// alike once their bytes that are not UTF-8 are replaced, give one series,
// of the first line.

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "status/status.h"

namespace {

/// One metric: its name, its help text, and its value for a job, if known.
struct Metric {
  const char* name;
  const char* help;
  bool (*value)(const JobStatus& status, long long* value);
};

bool readable(const JobStatus& status) { return status.state != JobState::unknown; }

/// Unix time of the local midnight that begins the day; where a clock
/// change skips midnight, the first moment of the day.
long long midnight(std::int32_t day) {
  const CalendarDate date = date_of_day(day);
  std::tm local{};
  local.tm_year = date.year - 1900;
  local.tm_mon = date.month - 1;
  local.tm_mday = date.mday;
  local.tm_isdst = -1;
  return static_cast<long long>(std::mktime(&local));
}

bool last_run(const JobStatus& status, long long* value) {
  if (status.last_run != LastRun::date) return false;
  *value = midnight(status.last_day);
  return true;
}

bool next_due(const JobStatus& status, long long* value) {
  if (!readable(status) || status.next_due == 0) return false;
  *value = midnight(status.next_due);
  return true;
}

bool due(const JobStatus& status, long long* value) {
  *value = status.state == JobState::due;
  return readable(status);
}

bool in_progress(const JobStatus& status, long long* value) {
  *value = status.state == JobState::in_progress;
  return readable(status);
}

bool due_duration(const JobStatus& status, long long* value) {
  constexpr long long seconds_a_day = 24LL * 60 * 60;
  *value = status.state == JobState::due ? status.days * seconds_a_day : 0;
  return readable(status);
}

bool stamp_readable(const JobStatus& status, long long* value) {
  *value = readable(status);
  return true;
}

bool has_result(const JobStatus& status) { return status.result.state == ResultState::found; }

bool result_time(const JobStatus& status, long long* value) {
  *value = status.result.logged;
  return has_result(status);
}

bool last_failed(const JobStatus& status, long long* value) {
  *value = status.result.outcome != Outcome::ok;
  return has_result(status);
}

bool exit_status(const JobStatus& status, long long* value) {
  *value = status.result.number;
  return has_result(status) &&
         (status.result.outcome == Outcome::ok || status.result.outcome == Outcome::exit);
}

bool signal_number(const JobStatus& status, long long* value) {
  *value = status.result.number;
  return has_result(status) && status.result.outcome == Outcome::signal;
}

constexpr Metric metrics[] = {
    {"lapsero_job_stamp_readable",
     "Whether the job's stamp could be read (1) or not (0); without it, only this series is there.",
     stamp_readable},
    {"lapsero_job_last_run_timestamp_seconds",
     "Local midnight of the date in the job's stamp, as a Unix time.", last_run},
    {"lapsero_job_next_due_timestamp_seconds",
     "Local midnight of the day the job is next due, as a Unix time.", next_due},
    {"lapsero_job_due", "Whether the next start of lapsero runs the job (1) or not (0).", due},
    {"lapsero_job_in_progress", "Whether a lapsero holds the job's lock now (1) or not (0).", in_progress},
    {"lapsero_job_due_duration_seconds",
     "For how long before today the job has been due, in whole days as seconds; 0 when it is not due.",
     due_duration},
    {"lapsero_job_last_result_timestamp_seconds",
     "When lapsero logged the end of the job's last recorded run, as a Unix time.", result_time},
    {"lapsero_job_last_failed",
     "Whether the last recorded run ended with an exit status other than 0, a signal or abnormally (1) or "
     "not (0).",
     last_failed},
    {"lapsero_job_last_exit_status", "The exit status of the last recorded run, where it exited.",
     exit_status},
    {"lapsero_job_last_signal", "The signal that ended the last recorded run, where one did.", signal_number},
};

/// The bytes of a valid UTF-8 sequence at the start of text: 1 to 4, or 0
/// where none starts (no overlong forms, no surrogates, nothing past U+10FFFF).
std::size_t utf8_sequence(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;  // the bounds of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  return length;
}

}  // namespace

std::string label_value(std::string_view text) {
  std::string value;
  while (!text.empty()) {
    const std::size_t length = utf8_sequence(text);
    if (length == 0) {
      value += "\xef\xbf\xbd";  // U+FFFD
      text.remove_prefix(1);
      continue;
    }
    switch (text[0]) {
      case '\\': value += "\\\\"; break;
      case '"': value += "\\\""; break;
      case '\n': value += "\\n"; break;
      default: value.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return value;
}

std::string listing_prometheus(const JobStatus* statuses, int count) {
  // The first job of each label value, in table order.
  std::vector<std::pair<std::string, const JobStatus*>> series;
  std::set<std::string> labelled;
  for (int i = 0; i < count; ++i) {
    std::string label = label_value(statuses[i].job->name);
    if (labelled.insert(label).second) series.emplace_back(std::move(label), &statuses[i]);
  }
  std::string text;
  for (const Metric& metric : metrics) {
    text += std::string("# HELP ") + metric.name + " " + metric.help + "\n";
    text += std::string("# TYPE ") + metric.name + " gauge\n";
    for (const auto& [label, status] : series) {
      long long value = 0;
      if (metric.value(*status, &value))
        text += std::string(metric.name) + "{name=\"" + label + "\"} " + std::to_string(value) + "\n";
    }
  }
  return text;
}
