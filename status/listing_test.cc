// The listing's texts: notes relative to today, the aligned columns, and
// the JSON, which must parse whatever bytes a table holds.
#include <gtest/gtest.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <string>

#include "schedule/schedule.h"
#include "status/status.h"

namespace {

JobEntry job_with(const char* name, std::int32_t period_days, PeriodKind kind, std::int32_t delay) {
  JobEntry job{};
  job.name = name;
  job.command = "run-parts /etc/daily";
  job.period_days = period_days;
  job.period_kind = kind;
  job.delay_minutes = delay;
  return job;
}

JobStatus status_of(const JobEntry& job, JobState state, std::int32_t days, std::int32_t next_due = 1) {
  JobStatus status{};
  status.job = &job;
  status.state = state;
  status.days = days;
  status.next_due = next_due;
  return status;
}

TEST(StateText, RelativeNotes) {
  const JobEntry job = job_with("job", 1, PeriodKind::none, 0);
  JobStatus pid = status_of(job, JobState::in_progress, 0);
  pid.probe.locked = true;
  pid.probe.lock_pid = 42;
  JobStatus no_pid = status_of(job, JobState::in_progress, 0);
  no_pid.probe.locked = true;
  JobStatus denied = status_of(job, JobState::unknown, 0);
  denied.probe.error = EACCES;
  JobStatus fifo = status_of(job, JobState::unknown, 0);
  fifo.probe.error = not_regular_file;
  fifo.probe.odd_type = S_IFIFO;
  const struct {
    JobStatus status;
    const char* expected;
  } cases[] = {
      {status_of(job, JobState::due, 0), "due"},
      {status_of(job, JobState::due, 1), "due for 1 day"},
      {status_of(job, JobState::due, 12), "due for 12 days"},
      {status_of(job, JobState::waiting, 1), "waiting, in 1 day"},
      {status_of(job, JobState::waiting, 3), "waiting, in 3 days"},
      {status_of(job, JobState::waiting, 0, 0), "waiting, not due within 400 years"},
      {pid, "in progress (pid 42)"},
      {no_pid, "in progress"},
      {denied, "unknown (Permission denied)"},
      {fifo, "unknown (Is a FIFO, not a regular file)"},
  };
  for (const auto& c : cases) EXPECT_EQ(state_text(c.status), c.expected);
}

TEST(ListingText, AlignedColumnsUnderAHeader) {
  const JobEntry daily = job_with("daily.scripts", 1, PeriodKind::none, 5);
  const JobEntry monthly = job_with("m", 0, PeriodKind::monthly, 120);
  JobStatus statuses[] = {status_of(daily, JobState::due, 2, day_number(2024, 3, 12)),
                          status_of(monthly, JobState::waiting, 19, day_number(2024, 3, 31))};
  statuses[0].last_run = LastRun::date;
  statuses[0].last_day = day_number(2024, 3, 9);
  statuses[1].last_run = LastRun::never;
  EXPECT_EQ(listing_text(statuses, 2),
            "JOB            PERIOD    DELAY    LAST RUN    NEXT DUE    STATE\n"
            "daily.scripts  1         5 min    2024-03-09  2024-03-12  due for 2 days\n"
            "m              @monthly  120 min  never       2024-03-31  waiting, in 19 days\n");
  EXPECT_EQ(listing_text(statuses, 0), "JOB  PERIOD  DELAY  LAST RUN  NEXT DUE  STATE\n");
}

TEST(ListingText, UnreadableAndOddNames) {
  // A control byte could drive the terminal; a UTF-8 name takes one column
  // per character.
  const JobEntry escape = job_with("e\x1b[2Jx", 1, PeriodKind::none, 0);
  const JobEntry umlaut = job_with("grüße", 1, PeriodKind::none, 0);
  JobStatus statuses[] = {status_of(escape, JobState::unknown, 0),
                          status_of(umlaut, JobState::due, 0, day_number(2024, 4, 25))};
  statuses[0].last_run = LastRun::unreadable;
  statuses[0].probe.error = EACCES;
  statuses[1].last_run = LastRun::invalid;
  EXPECT_EQ(listing_text(statuses, 2),
            "JOB     PERIOD  DELAY  LAST RUN  NEXT DUE    STATE\n"
            "e?[2Jx  1       0 min  -         -           unknown (Permission denied)\n"
            "grüße   1       0 min  invalid   2024-04-25  due\n");
}

TEST(ListingJson, FieldsAndNulls) {
  const JobEntry weekly = job_with("weekly", 7, PeriodKind::none, 10);
  const JobEntry yearly = job_with("yearly", 0, PeriodKind::yearly, 0);
  JobStatus statuses[] = {status_of(weekly, JobState::waiting, 5, day_number(2024, 3, 17)),
                          status_of(yearly, JobState::in_progress, 0, day_number(2024, 3, 12)),
                          status_of(weekly, JobState::unknown, 0, 0),
                          status_of(weekly, JobState::waiting, 0, 0)};
  statuses[0].last_run = LastRun::date;
  statuses[0].last_day = day_number(2024, 3, 10);
  statuses[1].last_run = LastRun::invalid;
  statuses[1].probe.locked = true;
  statuses[1].probe.lock_pid = 4242;
  statuses[2].last_run = LastRun::unreadable;
  statuses[2].probe.error = EACCES;
  statuses[3].last_run = LastRun::never;
  const auto listing = nlohmann::json::parse(listing_json(statuses, 4));
  ASSERT_TRUE(listing.is_array());
  ASSERT_EQ(listing.size(), 4u);
  EXPECT_EQ(listing[0], nlohmann::json::parse(R"({"name": "weekly", "period": "7", "delay_minutes": 10,
      "command": "run-parts /etc/daily", "last_run": "2024-03-10", "stamp": "date",
      "next_due": "2024-03-17", "state": "waiting", "days": 5, "lock_pid": null, "reason": null})"));
  EXPECT_EQ(listing[1], nlohmann::json::parse(R"({"name": "yearly", "period": "@yearly", "delay_minutes": 0,
      "command": "run-parts /etc/daily", "last_run": null, "stamp": "invalid",
      "next_due": "2024-03-12", "state": "in progress", "days": null, "lock_pid": 4242, "reason": null})"));
  EXPECT_EQ(listing[2], nlohmann::json::parse(R"({"name": "weekly", "period": "7", "delay_minutes": 10,
      "command": "run-parts /etc/daily", "last_run": null, "stamp": "unreadable",
      "next_due": null, "state": "unknown", "days": null, "lock_pid": null, "reason": "Permission denied"})"));
  EXPECT_EQ(listing[3]["next_due"], nullptr);
  EXPECT_EQ(listing[3]["days"], nullptr);
  EXPECT_EQ(listing[3]["stamp"], "never");
  EXPECT_EQ(listing_json(statuses, 0), "[]\n");
}

TEST(ListingJson, BytesThatAreNotUtf8AreReplaced) {
  JobEntry job = job_with("bad\xff", 1, PeriodKind::none, 0);
  job.command = "echo \xc3( \xed\xa0\x80 ok";
  JobStatus status = status_of(job, JobState::due, 0, day_number(2024, 4, 25));
  const std::string text = listing_json(&status, 1);
  nlohmann::json listing;
  ASSERT_NO_THROW(listing = nlohmann::json::parse(text)) << text;
  EXPECT_EQ(listing[0]["name"], "bad\xef\xbf\xbd");
  const std::string command = listing[0]["command"];
  EXPECT_EQ(command.rfind("echo \xef\xbf\xbd", 0), 0u) << command;
  EXPECT_EQ(command.substr(command.size() - 3), " ok");
}

}  // namespace
