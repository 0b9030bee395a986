// The listing's texts: notes relative to today, the aligned columns in the
// caller's character set, and the JSON, which must parse whatever bytes a
// table holds.
#include <gtest/gtest.h>
#include <locale.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "schedule/schedule.h"
#include "status/status.h"
#include "status/statuses_for_tests.h"

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

/// The C locale and C.UTF-8, which Debian always has, for the cells.
class ListingText : public ::testing::Test {
 protected:
  void SetUp() override {
    c = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    ASSERT_NE(c, static_cast<locale_t>(nullptr));
    ASSERT_NE(utf8, static_cast<locale_t>(nullptr)) << "no C.UTF-8 locale";
  }
  void TearDown() override {
    if (c) freelocale(c);
    if (utf8) freelocale(utf8);
  }

  /// The listing of due jobs of these names, each due on 2024-04-25.
  std::string listing_of(const std::vector<const char*>& names, locale_t locale) {
    std::vector<JobEntry> jobs;
    for (const char* name : names) jobs.push_back(job_with(name, 1, PeriodKind::none, 0));
    std::vector<JobStatus> statuses;
    for (const JobEntry& job : jobs) {
      statuses.push_back(status_of(job, JobState::due, 0, day_number(2024, 4, 25)));
      statuses.back().last_run = LastRun::never;
    }
    return listing_text(statuses.data(), static_cast<int>(statuses.size()), locale);
  }

  locale_t c = nullptr;
  locale_t utf8 = nullptr;
};

TEST(StateText, RelativeNotes) {
  const JobEntry job = job_with("job", 1, PeriodKind::none, 0);
  JobStatus pid = status_of(job, JobState::in_progress, 0);
  pid.probe.locked = true;
  pid.probe.lock_pid = 42;
  JobStatus no_pid = status_of(job, JobState::in_progress, 0);
  no_pid.probe.locked = true;
  JobStatus elsewhere = no_pid;
  elsewhere.probe.lock_elsewhere = true;
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
      {elsewhere, "in progress elsewhere"},
      {denied, "unknown (Permission denied)"},
      {fifo, "unknown (Is a FIFO, not a regular file)"},
  };
  for (const auto& c : cases) EXPECT_EQ(state_text(c.status), c.expected);
}

TEST(ResultText, OutcomesAndTheMailedFlag) {
  const struct {
    LastResult result;
    const char* expected;
  } cases[] = {
      {{ResultState::found, Outcome::ok, 0, false, 0}, "ok"},
      {{ResultState::found, Outcome::ok, 0, true, 0}, "ok (mailed)"},
      {{ResultState::found, Outcome::exit, 3, false, 0}, "exit 3"},
      {{ResultState::found, Outcome::signal, 9, true, 0}, "signal 9 (mailed)"},
      {{ResultState::found, Outcome::abnormal, 0, false, 0}, "abnormal"},
      {{ResultState::no_line, Outcome::ok, 0, false, 0}, "-"},
      {{ResultState::no_journal, Outcome::ok, 0, false, 0}, "-"},
      {{ResultState::not_readable, Outcome::ok, 0, false, 0}, "-"},
  };
  for (const auto& c : cases) EXPECT_EQ(result_text(c.result), c.expected);
}

/// local_time_text in the time zone; the zone found is put back after.
std::string local_time_in(const char* zone, std::time_t when) {
  const char* found = std::getenv("TZ");
  const std::string saved = found ? found : "";
  setenv("TZ", zone, 1);
  tzset();
  const std::string text = local_time_text(when);
  if (found)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  return text;
}

TEST(LocalTimeText, TheOffsetFromUtcWithItsSign) {
  EXPECT_EQ(local_time_in("UTC", 1710237605), "2024-03-12T10:00:05+00:00");
  EXPECT_EQ(local_time_in("Europe/Berlin", 1710237605), "2024-03-12T11:00:05+01:00");
  EXPECT_EQ(local_time_in("Europe/Berlin", 1719792000), "2024-07-01T02:00:00+02:00");
  EXPECT_EQ(local_time_in("America/St_Johns", 1710237605), "2024-03-12T07:30:05-02:30");
}

TEST_F(ListingText, AlignedColumnsUnderAHeader) {
  const JobEntry daily = job_with("daily.scripts", 1, PeriodKind::none, 5);
  const JobEntry monthly = job_with("m", 0, PeriodKind::monthly, 120);
  JobStatus statuses[] = {status_of(daily, JobState::due, 2, day_number(2024, 3, 12)),
                          status_of(monthly, JobState::waiting, 19, day_number(2024, 3, 31))};
  statuses[0].last_run = LastRun::date;
  statuses[0].last_day = day_number(2024, 3, 9);
  statuses[1].last_run = LastRun::never;
  statuses[0].result = {ResultState::found, Outcome::exit, 3, true, 0};
  const locale_t before = uselocale(static_cast<locale_t>(nullptr));
  for (const locale_t locale : {c, utf8}) {
    EXPECT_EQ(
        listing_text(statuses, 2, locale),
        "JOB            PERIOD    DELAY    LAST RUN    LAST RESULT      NEXT DUE    STATE\n"
        "daily.scripts  1         5 min    2024-03-09  exit 3 (mailed)  2024-03-12  due for 2 days\n"
        "m              @monthly  120 min  never       -                2024-03-31  waiting, in 19 days\n");
    EXPECT_EQ(listing_text(statuses, 0, locale),
              "JOB  PERIOD  DELAY  LAST RUN  LAST RESULT  NEXT DUE  STATE\n");
  }
  // The locale was the printing's alone: what follows reads and matches as before.
  EXPECT_EQ(uselocale(static_cast<locale_t>(nullptr)), before);
}

TEST_F(ListingText, UnreadableStampAndAnEscapeInTheName) {
  // A control byte could drive the terminal.
  const JobEntry escape = job_with("e\x1b[2Jx", 1, PeriodKind::none, 0);
  const JobEntry plain = job_with("plain", 1, PeriodKind::none, 0);
  JobStatus statuses[] = {status_of(escape, JobState::unknown, 0),
                          status_of(plain, JobState::due, 0, day_number(2024, 4, 25))};
  statuses[0].last_run = LastRun::unreadable;
  statuses[0].probe.error = EACCES;
  statuses[1].last_run = LastRun::invalid;
  EXPECT_EQ(listing_text(statuses, 2, utf8),
            "JOB     PERIOD  DELAY  LAST RUN  LAST RESULT  NEXT DUE    STATE\n"
            "e?[2Jx  1       0 min  -         -            -           unknown (Permission denied)\n"
            "plain   1       0 min  invalid   -            2024-04-25  due\n");
}

TEST_F(ListingText, UtfEightNamesArePaddedByDisplayWidth) {
  // Seven bytes in five columns; two wide characters in four; a letter and
  // a combining accent in one.
  EXPECT_EQ(listing_of({"grüße", "備份", "e\xcc\x81", "abcdef"}, utf8),
            "JOB     PERIOD  DELAY  LAST RUN  LAST RESULT  NEXT DUE    STATE\n"
            "grüße   1       0 min  never     -            2024-04-25  due\n"
            "備份    1       0 min  never     -            2024-04-25  due\n"
            "e\xcc\x81       1       0 min  never     -            2024-04-25  due\n"
            "abcdef  1       0 min  never     -            2024-04-25  due\n");
}

TEST_F(ListingText, ControlCharactersAndInvalidBytesShowAsQuestionMarks) {
  const struct {
    const char* name;
    const char* shown;
  } cases[] = {
      {"a\tb\x7f", "a?b?"},
      // C1 as a character takes one mark; as a lone byte it is no UTF-8.
      {"csi\302\2332J", "csi?2J"},
      {"csi\2332J", "csi?2J"},
      // A broken sequence costs a mark per byte, and what follows still shows.
      {"cut\xe5\x82", "cut??"},
      {"bad\xff\xfeü", "bad??ü"},
      {"\xed\xa0\x80x", "???x"},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.shown);
    const std::string row = listing_of({item.name}, utf8);
    EXPECT_EQ(row.substr(row.find('\n') + 1, std::strlen(item.shown) + 2), std::string(item.shown) + "  ");
  }
}

TEST_F(ListingText, InTheCLocaleEveryByteAboveAsciiIsAMark) {
  // Neither a raw byte nor a character the terminal might take for a
  // control sequence reaches it, and the marks are what is padded.
  EXPECT_EQ(listing_of({"grüße", "csi\2332J", "csi\302\2332J", "ok"}, c),
            "JOB      PERIOD  DELAY  LAST RUN  LAST RESULT  NEXT DUE    STATE\n"
            "gr????e  1       0 min  never     -            2024-04-25  due\n"
            "csi?2J   1       0 min  never     -            2024-04-25  due\n"
            "csi??2J  1       0 min  never     -            2024-04-25  due\n"
            "ok       1       0 min  never     -            2024-04-25  due\n");
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
  statuses[0].result = {ResultState::found, Outcome::exit, 3, true, 1710237605};
  statuses[1].result = {ResultState::found, Outcome::signal, 9, false, 1710237605};
  statuses[2].result.state = ResultState::not_readable;
  statuses[3].result.state = ResultState::no_journal;
  auto listing = nlohmann::json::parse(listing_json(statuses, 4));
  ASSERT_TRUE(listing.is_array());
  // In the local time zone, whichever it is (the time text has its own test).
  for (const int i : {0, 1}) {
    EXPECT_EQ(listing[i]["last_result"]["logged"], local_time_text(1710237605));
    listing[i]["last_result"]["logged"] = "2024-03-12T10:00:05+00:00";
  }
  ASSERT_EQ(listing.size(), 4u);
  EXPECT_EQ(listing[0], nlohmann::json::parse(R"({"name": "weekly", "period": "7", "delay_minutes": 10,
      "command": "run-parts /etc/daily", "last_run": "2024-03-10", "stamp": "date",
      "next_due": "2024-03-17", "state": "waiting", "days": 5, "lock_pid": null, "lock_elsewhere": false,
      "reason": null,
      "last_result": {"outcome": "exit", "exit_status": 3, "signal": null,
                      "logged": "2024-03-12T10:00:05+00:00", "mailed": true},
      "last_result_missing": null})"));
  EXPECT_EQ(listing[1], nlohmann::json::parse(R"({"name": "yearly", "period": "@yearly", "delay_minutes": 0,
      "command": "run-parts /etc/daily", "last_run": null, "stamp": "invalid",
      "next_due": "2024-03-12", "state": "in progress", "days": null, "lock_pid": 4242,
      "lock_elsewhere": false, "reason": null,
      "last_result": {"outcome": "signal", "exit_status": null, "signal": 9,
                      "logged": "2024-03-12T10:00:05+00:00", "mailed": false},
      "last_result_missing": null})"));
  EXPECT_EQ(listing[2], nlohmann::json::parse(R"({"name": "weekly", "period": "7", "delay_minutes": 10,
      "command": "run-parts /etc/daily", "last_run": null, "stamp": "unreadable",
      "next_due": null, "state": "unknown", "days": null, "lock_pid": null,
      "lock_elsewhere": false, "reason": "Permission denied",
      "last_result": null, "last_result_missing": "journal_not_readable"})"));
  EXPECT_EQ(listing[3]["next_due"], nullptr);
  EXPECT_EQ(listing[3]["days"], nullptr);
  EXPECT_EQ(listing[3]["stamp"], "never");
  EXPECT_EQ(listing[3]["last_result"], nullptr);
  EXPECT_EQ(listing[3]["last_result_missing"], "no_journal");
  EXPECT_EQ(listing_json(statuses, 0), "[]\n");
}

TEST(ListingJson, ALockHeldFromAnotherHostHasNoPid) {
  const JobEntry job = job_with("backup", 1, PeriodKind::none, 0);
  JobStatus status = status_of(job, JobState::in_progress, 0, day_number(2024, 3, 12));
  status.probe.locked = true;
  status.probe.lock_elsewhere = true;
  const auto listing = nlohmann::json::parse(listing_json(&status, 1));
  EXPECT_EQ(listing[0]["state"], "in progress");
  EXPECT_EQ(listing[0]["lock_pid"], nullptr);
  EXPECT_EQ(listing[0]["lock_elsewhere"], true);
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
