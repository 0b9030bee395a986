// The listing agrees with the scheduler it describes.
//
// Random jobs (a period among 1, 7, 30, @monthly and @yearly; a stamp that
// holds a date or something odd) are judged day after day across windows of
// the calendar that hold month ends, year ends and leap days. On each day,
// with the stamps as they were at the start, libfaketime sets the date for
// lapsero-status --json and then for lapsero -d. For every job and every
// day: the listing says "due" exactly when lapsero takes the job that day,
// and the next due day it gives is the first day from then on on which
// lapsero takes it. The dates here are counted with std::chrono, not with
// the product's own calendar.
//
// A day costs process starts, most of them job shells. So on six days of
// seven the test holds every stamp's lock while lapsero runs: lapsero asks
// for a job's lock only once its due test has said yes, and then logs that
// it skips the locked job, which shows its decision without starting
// anything. On the seventh day the jobs run, and "started" shows it.
#include <fcntl.h>
#include <unistd.h>

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

/// A stretch of consecutive days of the calendar to judge the jobs on.
struct Window {
  const char* what;
  std::chrono::year_month_day first;
  int days;
};

using std::chrono::December;
using std::chrono::January;

constexpr Window windows[] = {
    {"leap February 2024, year end, months of 30 and 31 days", std::chrono::year(2023) / December / 20, 140},
    {"common February 2025 and a year end", std::chrono::year(2024) / December / 20, 80},
    {"February 2100, which a century leaves common", std::chrono::year(2099) / December / 25, 75},
    {"February 2000, which 400 years make leap", std::chrono::year(2000) / January / 20, 50},
};

// Under the sanitizers a program start costs several times as much: there
// each window is judged in parts of at most 30 days, each a test with jobs
// of its own, so that no test runs long and the parts spread over the test
// runner's processes. A part checks no next due day beyond its own end, so
// the plain build judges every window whole.
#if LAPSERO_SANITIZE
constexpr int most_days_per_part = 30;
#else
constexpr int most_days_per_part = 366;  // longer than any window
#endif

/// One test's share of a window: the days from `offset` on, `days` of them.
struct Part {
  const Window* window;
  int offset;
  int days;
};

sys_days first_day(const Part& part) { return sys_days(part.window->first) + std::chrono::days(part.offset); }

/// Every window, cut into parts of nearly equal length.
std::vector<Part> parts_of_windows() {
  std::vector<Part> parts;
  for (const Window& window : windows) {
    const int count = (window.days + most_days_per_part - 1) / most_days_per_part;
    for (int k = 0, offset = 0; k < count; ++k) {
      const int days = (window.days - offset) / (count - k);
      parts.push_back({&window, offset, days});
      offset += days;
    }
  }
  return parts;
}

/// How the test's name shows a part.
void PrintTo(const Part& part, std::ostream* out) {
  *out << part.window->what;
  if (part.days < part.window->days)
    *out << ", days " << part.offset + 1 << " to " << part.offset + part.days << " of " << part.window->days;
}

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

std::vector<RandomJob> random_jobs(std::mt19937& random, sys_days first, int days, int count) {
  const char* periods[] = {"1", "7", "30", "@monthly", "@yearly"};
  const char* odd[] = {"", "2024031", "abcdefgh\n", "20230229\n", "00000000\n", "2024-3-5\n", "99991231\n"};
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
      // From a period and a half before the first day to just after the
      // last, so that the stamp is passed, reached and still ahead.
      const int reach = job.period == "@yearly" ? 550 : 50;
      sys_days day = first - std::chrono::days(reach) + std::chrono::days(random() % (reach + days + 10));
      job.stamp = stamp_of(day);
      // Now and then bytes after the date, which only the date counts for.
      if (random() % 8 == 0) job.stamp->insert(8, "left over");
    }
    jobs.push_back(job);
  }
  return jobs;
}

class Agreement : public Lapsero, public ::testing::WithParamInterface<Part> {
 protected:
  void put_stamps(const std::vector<RandomJob>& jobs) {
    for (const auto& job : jobs) {
      if (job.stamp)
        set_stamp(job.name, *job.stamp);
      else
        std::remove(stamp_path(job.name).c_str());
    }
  }

  /// Takes the lock of every job's stamp, as a scheduler that runs them all
  /// would; a missing stamp is created empty, as lapsero's own due test
  /// creates it. Closing the descriptors lets go.
  std::vector<int> hold_locks(const std::vector<RandomJob>& jobs) {
    std::vector<int> fds;
    for (const auto& job : jobs) {
      const std::string path = stamp_path(job.name);
      const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      EXPECT_GE(fd, 0) << path;
      flock lock{};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      EXPECT_EQ(fcntl(fd, F_SETLK, &lock), 0) << path;
      fds.push_back(fd);
    }
    return fds;
  }
};

/// What the two programs said of one job on one day.
struct Said {
  bool listed_due = false;
  std::optional<sys_days> next_due;  // none: not due within the search
  bool taken = false;                // lapsero ran it, or found it due with its lock held
};

TEST_P(Agreement, ListingSaysDueExactlyWhenTheSchedulerRunsTheJob) {
  const Part& part = GetParam();
  const unsigned seed = seed_for_this_run();
  SCOPED_TRACE("LAPSERO_AGREEMENT_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  const sys_days first = first_day(part);
  const auto jobs = random_jobs(random, first, part.days, 40);
  // The job shells need no fake clock: a table setting takes libfaketime
  // out of their environment.
  std::string text = "LD_PRELOAD=\n";
  for (const auto& job : jobs) text += job.period + " 0 " + job.name + " true\n";
  table(text);

  std::vector<std::vector<Said>> said(jobs.size(), std::vector<Said>(static_cast<std::size_t>(part.days)));
  int days_run = 0;
  for (int i = 0; i < part.days; ++i) {
    const std::string date = iso(first + std::chrono::days(i)) + " 10:00:00";
    put_stamps(jobs);
    auto listing_inv = status_invocation({"--json"});
    listing_inv.faketime = at(date);
    const auto listing = lapsero(listing_inv);
    ASSERT_EQ(listing.exit_code(), 0) << date << ": " << listing.err;
    const auto listed = nlohmann::json::parse(listing.out);
    ASSERT_EQ(listed.size(), jobs.size());

    const bool for_real = i % 7 == 0;
    std::vector<int> locks;
    if (!for_real) locks = hold_locks(jobs);
    const auto run = lapsero(on_date({"-d", "-q"}, date));
    for (const int fd : locks) close(fd);
    ASSERT_EQ(run.exit_code(), 0) << date << ": " << run.err;
    if (for_real)
      ++days_run;
    else
      ASSERT_TRUE(logged(run, "Normal exit (0 jobs run)")) << date << ": " << run.err;
    const std::string taken = for_real ? "' started" : "' locked by another lapsero - skipping";
    for (std::size_t j = 0; j < jobs.size(); ++j) {
      Said& s = said[j][static_cast<std::size_t>(i)];
      ASSERT_EQ(listed[j]["name"], jobs[j].name);
      s.listed_due = listed[j]["state"] == "due";
      if (!listed[j]["next_due"].is_null()) s.next_due = from_iso(listed[j]["next_due"]);
      s.taken = logged(run, "Job `" + jobs[j].name + taken);
    }
  }

  int cases = 0, wrong = 0;
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    for (int i = 0; i < part.days; ++i) {
      ++cases;
      const Said& s = said[j][static_cast<std::size_t>(i)];
      const sys_days day = first + std::chrono::days(i);
      // The first day from this one on that lapsero took the job, if any.
      std::optional<sys_days> taken_next;
      for (int k = i; k < part.days && !taken_next; ++k)
        if (said[j][static_cast<std::size_t>(k)].taken) taken_next = first + std::chrono::days(k);
      const sys_days last = first + std::chrono::days(part.days - 1);
      const bool agrees = s.listed_due == s.taken && (s.listed_due ? s.next_due == day : s.next_due != day) &&
                          (s.next_due && *s.next_due <= last ? taken_next == s.next_due : !taken_next);
      if (!agrees && ++wrong <= 10) {
        ADD_FAILURE() << "job " << jobs[j].name << " with stamp "
                      << ::testing::PrintToString(jobs[j].stamp.value_or("<none>")) << " on " << iso(day)
                      << ": listed " << (s.listed_due ? "due" : "not due") << ", next due "
                      << (s.next_due ? iso(*s.next_due) : "none") << "; lapsero "
                      << (s.taken ? "took it" : "did not") << ", next took it "
                      << (taken_next ? iso(*taken_next) : "not in the part");
      }
    }
  }
  EXPECT_EQ(wrong, 0) << "of " << cases << " cases";
  RecordProperty("cases", cases);
  std::printf("%s: %d cases (40 jobs on %d days, %d of them with the jobs run), %d disagreements\n",
              ::testing::PrintToString(part).c_str(), cases, part.days, days_run, wrong);
}

INSTANTIATE_TEST_SUITE_P(Windows, Agreement, ::testing::ValuesIn(parts_of_windows()),
                         [](const ::testing::TestParamInfo<Part>& param) {
                           const std::string day = iso(first_day(param.param));
                           return "from_" + day.substr(0, 4) + "_" + day.substr(5, 2) + "_" +
                                  day.substr(8, 2);
                         });

}  // namespace
}  // namespace e2e
