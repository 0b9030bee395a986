// The metrics: every gauge with its HELP and TYPE, dates as local midnights,
// samples left out where nothing is known, one series per label value, and
// label values the format can hold whatever bytes a name has.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "schedule/schedule.h"
#include "status/status.h"
#include "status/statuses_for_tests.h"

namespace {

/// Runs a test in a time zone whose midnights are not UTC's, and puts the
/// one it found back.
class Berlin : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* zone = std::getenv("TZ");
    had_zone = zone != nullptr;
    if (had_zone) saved_zone = zone;
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
  void TearDown() override {
    if (had_zone)
      setenv("TZ", saved_zone.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  bool had_zone = false;
  std::string saved_zone;
};

JobEntry job_named(const char* name) {
  JobEntry job{};
  job.name = name;
  job.command = "true";
  job.period_days = 7;
  return job;
}

LastResult result(Outcome outcome, std::int32_t number, std::time_t logged) {
  return {ResultState::found, outcome, number, true, logged};
}

TEST_F(Berlin, MetricsOfEveryKindOfJob) {
  const JobEntry daily = job_named("daily"), weekly = job_named("weekly"), held = job_named("held"),
                 secret = job_named("secret"), broken = job_named("broken");
  JobStatus statuses[] = {
      status_of(daily, JobState::due, 2, day_number(2024, 3, 12)),
      status_of(weekly, JobState::waiting, 5, day_number(2024, 3, 17)),
      status_of(held, JobState::in_progress, 0, day_number(2024, 3, 12)),
      status_of(secret, JobState::unknown, 0, 0),
      status_of(broken, JobState::due, 0, day_number(2024, 3, 12)),
  };
  statuses[0].last_run = LastRun::date;
  statuses[0].last_day = day_number(2024, 3, 9);
  statuses[0].result = result(Outcome::exit, 3, 1710237605);
  statuses[1].last_run = LastRun::date;
  statuses[1].last_day = day_number(2024, 3, 10);
  statuses[1].result = result(Outcome::signal, 9, 1710150000);
  statuses[2].last_run = LastRun::never;
  statuses[2].result = result(Outcome::ok, 0, 1710100000);
  statuses[3].last_run = LastRun::unreadable;
  statuses[3].result.state = ResultState::no_line;
  statuses[4].last_run = LastRun::invalid;
  statuses[4].result = result(Outcome::abnormal, 0, 1710000000);
  EXPECT_EQ(listing_prometheus(statuses, 5),
            "# HELP lapsero_job_stamp_readable Whether the job's stamp could be read (1) or not (0); "
            "without it, only this series is there.\n"
            "# TYPE lapsero_job_stamp_readable gauge\n"
            "lapsero_job_stamp_readable{name=\"daily\"} 1\n"
            "lapsero_job_stamp_readable{name=\"weekly\"} 1\n"
            "lapsero_job_stamp_readable{name=\"held\"} 1\n"
            "lapsero_job_stamp_readable{name=\"secret\"} 0\n"
            "lapsero_job_stamp_readable{name=\"broken\"} 1\n"
            "# HELP lapsero_job_last_run_timestamp_seconds Local midnight of the date in the job's stamp, "
            "as a Unix time.\n"
            "# TYPE lapsero_job_last_run_timestamp_seconds gauge\n"
            "lapsero_job_last_run_timestamp_seconds{name=\"daily\"} 1709938800\n"
            "lapsero_job_last_run_timestamp_seconds{name=\"weekly\"} 1710025200\n"
            "# HELP lapsero_job_next_due_timestamp_seconds Local midnight of the day the job is next due, "
            "as a Unix time.\n"
            "# TYPE lapsero_job_next_due_timestamp_seconds gauge\n"
            "lapsero_job_next_due_timestamp_seconds{name=\"daily\"} 1710198000\n"
            "lapsero_job_next_due_timestamp_seconds{name=\"weekly\"} 1710630000\n"
            "lapsero_job_next_due_timestamp_seconds{name=\"held\"} 1710198000\n"
            "lapsero_job_next_due_timestamp_seconds{name=\"broken\"} 1710198000\n"
            "# HELP lapsero_job_due Whether the next start of lapsero runs the job (1) or not (0).\n"
            "# TYPE lapsero_job_due gauge\n"
            "lapsero_job_due{name=\"daily\"} 1\n"
            "lapsero_job_due{name=\"weekly\"} 0\n"
            "lapsero_job_due{name=\"held\"} 0\n"
            "lapsero_job_due{name=\"broken\"} 1\n"
            "# HELP lapsero_job_in_progress Whether a lapsero holds the job's lock now (1) or not (0).\n"
            "# TYPE lapsero_job_in_progress gauge\n"
            "lapsero_job_in_progress{name=\"daily\"} 0\n"
            "lapsero_job_in_progress{name=\"weekly\"} 0\n"
            "lapsero_job_in_progress{name=\"held\"} 1\n"
            "lapsero_job_in_progress{name=\"broken\"} 0\n"
            "# HELP lapsero_job_due_duration_seconds For how long before today the job has been due, in "
            "whole days as seconds; 0 when it is not due.\n"
            "# TYPE lapsero_job_due_duration_seconds gauge\n"
            "lapsero_job_due_duration_seconds{name=\"daily\"} 172800\n"
            "lapsero_job_due_duration_seconds{name=\"weekly\"} 0\n"
            "lapsero_job_due_duration_seconds{name=\"held\"} 0\n"
            "lapsero_job_due_duration_seconds{name=\"broken\"} 0\n"
            "# HELP lapsero_job_last_result_timestamp_seconds When lapsero logged the end of the job's last "
            "recorded run, as a Unix time.\n"
            "# TYPE lapsero_job_last_result_timestamp_seconds gauge\n"
            "lapsero_job_last_result_timestamp_seconds{name=\"daily\"} 1710237605\n"
            "lapsero_job_last_result_timestamp_seconds{name=\"weekly\"} 1710150000\n"
            "lapsero_job_last_result_timestamp_seconds{name=\"held\"} 1710100000\n"
            "lapsero_job_last_result_timestamp_seconds{name=\"broken\"} 1710000000\n"
            "# HELP lapsero_job_last_failed Whether the last recorded run ended with an exit status other "
            "than 0, a signal or abnormally (1) or not (0).\n"
            "# TYPE lapsero_job_last_failed gauge\n"
            "lapsero_job_last_failed{name=\"daily\"} 1\n"
            "lapsero_job_last_failed{name=\"weekly\"} 1\n"
            "lapsero_job_last_failed{name=\"held\"} 0\n"
            "lapsero_job_last_failed{name=\"broken\"} 1\n"
            "# HELP lapsero_job_last_exit_status The exit status of the last recorded run, where it exited.\n"
            "# TYPE lapsero_job_last_exit_status gauge\n"
            "lapsero_job_last_exit_status{name=\"daily\"} 3\n"
            "lapsero_job_last_exit_status{name=\"held\"} 0\n"
            "# HELP lapsero_job_last_signal The signal that ended the last recorded run, where one did.\n"
            "# TYPE lapsero_job_last_signal gauge\n"
            "lapsero_job_last_signal{name=\"weekly\"} 9\n");
}

TEST_F(Berlin, MetricsHaveOneSeriesPerLabelValue) {
  // Two lines of one name share a stamp; two names alike once their odd
  // bytes are replaced would give the collector a series twice, and it
  // serve only the first of them, and log an error at every scrape.
  const JobEntry first = job_named("a\xff"), again = job_named("a\xff"), alike = job_named("a\xfe"),
                 other = job_named("q\"\\");
  JobStatus statuses[] = {
      status_of(first, JobState::due, 1, day_number(2024, 3, 12)),
      status_of(again, JobState::due, 9, day_number(2024, 3, 12)),
      status_of(alike, JobState::due, 8, day_number(2024, 3, 12)),
      status_of(other, JobState::due, 7, day_number(2024, 3, 12)),
  };
  const std::string text = listing_prometheus(statuses, 4);
  const std::string days = "lapsero_job_due_duration_seconds";
  const std::size_t start = text.find("\n" + days + "{");
  ASSERT_NE(start, std::string::npos) << text;
  EXPECT_EQ(text.substr(start + 1, text.find("# HELP", start) - start - 1),
            days + "{name=\"a\xef\xbf\xbd\"} 86400\n" + days + "{name=\"q\\\"\\\\\"} 604800\n");
  EXPECT_EQ(listing_prometheus(statuses, 0).find('{'), std::string::npos);
}

TEST(LabelValue, EscapesAndReplacesWhatTheFormatCannotHold) {
  const struct {
    std::string name;
    const char* expected;
  } cases[] = {
      {"daily.scripts", "daily.scripts"},
      {"a\\b\"c\nd", "a\\\\b\\\"c\\nd"},
      {"gr\xc3\xbc\xc3\x9f"
       "e",
       "gr\xc3\xbc\xc3\x9f"
       "e"},
      {"\xf0\x9f\x92\xbe", "\xf0\x9f\x92\xbe"},
      // Each byte that starts no valid sequence becomes U+FFFD.
      {"bad\xff", "bad\xef\xbf\xbd"},
      {"\xc3(", "\xef\xbf\xbd("},
      {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},                                  // overlong
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},                  // a surrogate
      {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // past U+10FFFF
      {"\xe2\x82", "\xef\xbf\xbd\xef\xbf\xbd"},                                  // cut short at the end
      {"tab\tand\x1b", "tab\tand\x1b"},
  };
  for (const auto& c : cases) EXPECT_EQ(label_value(c.name), c.expected) << c.name;
}

}  // namespace
