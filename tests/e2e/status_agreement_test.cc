// The listing agrees with the scheduler it describes.
//
// Random jobs (a period among 1, 7, 30, @monthly and @yearly; a stamp that
// holds a date or something odd) are judged day after day across windows of
// the calendar that hold month ends, year ends and leap days. On each day,
// with the stamps as they were at the start, libfaketime sets the date for
// lapsero-status --json and then for lapsero -d. For every job and every
// day: the listing says "due" exactly when lapsero runs the job that day,
// and the next due day it gives is the first day from then on on which
// lapsero runs it. The dates here are counted with std::chrono, not with the
// product's own calendar.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

using std::chrono::sys_days;

/// A window of consecutive days to judge the jobs on.
struct Window {
  const char* what;
  std::chrono::year_month_day first;
  int days;
};

/// How the test's name shows a window.
void PrintTo(const Window& window, std::ostream* out) { *out << window.what; }

struct RandomJob {
  std::string name;
  std::string period;                // as in the table
  std::optional<std::string> stamp;  // none: no stamp file
};

std::string iso(sys_days day) {
  const std::chrono::year_month_day date(day);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
  return text;
}

std::string stamp_of(sys_days day) {
  std::string text = iso(day);
  text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
  return text + "\n";
}

/// A day from its "YYYY-MM-DD".
sys_days from_iso(const std::string& text) {
  int year = 0;
  unsigned month = 0, mday = 0;
  EXPECT_EQ(std::sscanf(text.c_str(), "%d-%u-%u", &year, &month, &mday), 3) << text;
  return sys_days(std::chrono::year(year) / std::chrono::month(month) / std::chrono::day(mday));
}

unsigned seed_for_this_run() {
  if (const char* given = std::getenv("LAPSERO_AGREEMENT_SEED"))
    return static_cast<unsigned>(std::atol(given));
  return std::random_device()();
}

std::vector<RandomJob> random_jobs(std::mt19937& random, const Window& window, int count) {
  const char* periods[] = {"1", "7", "30", "@monthly", "@yearly"};
  const char* odd[] = {"", "2024031", "abcdefgh\n", "20230229\n", "00000000\n", "2024-3-5\n", "99991231\n"};
  const sys_days first(window.first);
  std::vector<RandomJob> jobs;
  for (int i = 0; i < count; ++i) {
    RandomJob job;
    job.period = periods[random() % 5];
    job.name = "j" + std::to_string(i) + (job.period[0] == '@' ? job.period.substr(1) : "p" + job.period);
    const unsigned kind = random() % 10;
    if (kind == 0) {
      job.stamp = std::nullopt;
    } else if (kind <= 2) {
      job.stamp = odd[random() % (sizeof odd / sizeof odd[0])];
    } else {
      // From a period and a half before the window to just after its end,
      // so that the stamp is passed, reached and still ahead within it.
      const int reach = job.period == "@yearly" ? 550 : 50;
      sys_days day =
          first - std::chrono::days(reach) + std::chrono::days(random() % (reach + window.days + 10));
      job.stamp = stamp_of(day);
      // Now and then bytes after the date, which only the date counts for.
      if (random() % 8 == 0) job.stamp->insert(8, "left over");
    }
    jobs.push_back(job);
  }
  return jobs;
}

class Agreement : public Lapsero, public ::testing::WithParamInterface<Window> {
 protected:
  void put_stamps(const std::vector<RandomJob>& jobs) {
    for (const auto& job : jobs) {
      if (job.stamp)
        set_stamp(job.name, *job.stamp);
      else
        std::remove(stamp_path(job.name).c_str());
    }
  }
};

/// What the two programs said of one job on one day.
struct Said {
  bool listed_due = false;
  std::optional<sys_days> next_due;  // none: not due within the search
  bool ran = false;
};

TEST_P(Agreement, ListingSaysDueExactlyWhenTheSchedulerRunsTheJob) {
  const Window& window = GetParam();
  const unsigned seed = seed_for_this_run();
  SCOPED_TRACE("LAPSERO_AGREEMENT_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  const auto jobs = random_jobs(random, window, 40);
  std::string text;
  for (const auto& job : jobs) text += job.period + " 0 " + job.name + " true\n";
  table(text);

  const sys_days first(window.first);
  std::vector<std::vector<Said>> said(jobs.size(), std::vector<Said>(static_cast<std::size_t>(window.days)));
  for (int i = 0; i < window.days; ++i) {
    const std::string date = iso(first + std::chrono::days(i)) + " 10:00:00";
    put_stamps(jobs);
    auto listing_inv = status_invocation({"--json"});
    listing_inv.faketime = at(date);
    const auto listing = lapsero(listing_inv);
    ASSERT_EQ(listing.exit_code(), 0) << date << ": " << listing.err;
    const auto listed = nlohmann::json::parse(listing.out);
    ASSERT_EQ(listed.size(), jobs.size());

    const auto run = lapsero(on_date({"-d", "-q"}, date));
    ASSERT_EQ(run.exit_code(), 0) << date << ": " << run.err;
    for (std::size_t j = 0; j < jobs.size(); ++j) {
      Said& s = said[j][static_cast<std::size_t>(i)];
      ASSERT_EQ(listed[j]["name"], jobs[j].name);
      s.listed_due = listed[j]["state"] == "due";
      if (!listed[j]["next_due"].is_null()) s.next_due = from_iso(listed[j]["next_due"]);
      s.ran = logged(run, "Job `" + jobs[j].name + "' started");
    }
  }

  int cases = 0, wrong = 0;
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    for (int i = 0; i < window.days; ++i) {
      ++cases;
      const Said& s = said[j][static_cast<std::size_t>(i)];
      const sys_days day = first + std::chrono::days(i);
      // The first day from this one on that lapsero ran the job, if any.
      std::optional<sys_days> ran_next;
      for (int k = i; k < window.days && !ran_next; ++k)
        if (said[j][static_cast<std::size_t>(k)].ran) ran_next = first + std::chrono::days(k);
      const sys_days last = first + std::chrono::days(window.days - 1);
      const bool agrees = s.listed_due == s.ran && (s.listed_due ? s.next_due == day : s.next_due != day) &&
                          (s.next_due && *s.next_due <= last ? ran_next == s.next_due : !ran_next);
      if (!agrees && ++wrong <= 10) {
        ADD_FAILURE() << "job " << jobs[j].name << " with stamp "
                      << ::testing::PrintToString(jobs[j].stamp.value_or("<none>")) << " on " << iso(day)
                      << ": listed " << (s.listed_due ? "due" : "not due") << ", next due "
                      << (s.next_due ? iso(*s.next_due) : "none") << "; lapsero "
                      << (s.ran ? "ran it" : "did not") << ", next ran it "
                      << (ran_next ? iso(*ran_next) : "not in the window");
      }
    }
  }
  EXPECT_EQ(wrong, 0) << "of " << cases << " cases";
  RecordProperty("cases", cases);
  std::printf("%s: %d cases (40 jobs on %d days), %d disagreements\n", window.what, cases, window.days,
              wrong);
}

using std::chrono::December;
using std::chrono::January;

INSTANTIATE_TEST_SUITE_P(Windows, Agreement,
                         ::testing::Values(Window{"leap February 2024, year end, months of 30 and 31 days",
                                                  std::chrono::year(2023) / December / 20, 140},
                                           Window{"common February 2025 and a year end",
                                                  std::chrono::year(2024) / December / 20, 80},
                                           Window{"February 2100, which a century leaves common",
                                                  std::chrono::year(2099) / December / 25, 75},
                                           Window{"February 2000, which 400 years make leap",
                                                  std::chrono::year(2000) / January / 20, 50}),
                         [](const ::testing::TestParamInfo<Window>& param) {
                           return "from_" + std::to_string(static_cast<int>(param.param.first.year())) + "_" +
                                  std::to_string(static_cast<unsigned>(param.param.first.month()));
                         });

}  // namespace
}  // namespace e2e
