// Run order: by delay and table line, or by job pattern first with -n.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "schedule/schedule.h"

namespace {

struct Job {
  const char* name;
  int line, delay, pattern;
};

/// Sorts the jobs as build_run_list does and returns their names in run order.
std::string sorted(std::vector<Job> jobs, int no_delay) {
  std::vector<JobEntry> entries(jobs.size());
  std::vector<JobEntry*> list;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    entries[i] = JobEntry{};
    entries[i].name = jobs[i].name;
    entries[i].table_line = jobs[i].line;
    entries[i].delay_minutes = jobs[i].delay;
    entries[i].pattern_index = jobs[i].pattern;
    list.push_back(&entries[i]);
  }
  const int saved = settings.no_delay;
  settings.no_delay = no_delay;
  std::qsort(list.data(), list.size(), sizeof(JobEntry*), run_order);  // NOLINT(bugprone-sizeof-expression)
  settings.no_delay = saved;
  std::string names;
  for (const JobEntry* job : list) names += std::string(names.empty() ? "" : " ") + job->name;
  return names;
}

TEST(RunOrder, ByDelayThenTableLine) {
  const std::vector<Job> jobs = {{"l1", 1, 10, 0}, {"l2", 2, 5, 0}, {"l3", 3, 5, 0}};
  EXPECT_EQ(sorted(jobs, 0), "l2 l3 l1");
  EXPECT_EQ(sorted(jobs, 1), "l2 l3 l1");
  // Given in another order, the table lines still decide between equal delays.
  EXPECT_EQ(sorted({jobs[2], jobs[0], jobs[1]}, 0), "l2 l3 l1");
}

TEST(RunOrder, NoDelayPutsThePatternFirst) {
  // The first pattern on the command line matches only b1, the second only a1.
  const std::vector<Job> jobs = {{"a1", 1, 0, 1}, {"b1", 2, 5, 0}};
  EXPECT_EQ(sorted(jobs, 0), "a1 b1");
  EXPECT_EQ(sorted(jobs, 1), "b1 a1");
  // Within one pattern, delay and then table line still order the jobs.
  const std::vector<Job> mixed = {{"x", 1, 9, 1}, {"y", 2, 3, 1}, {"z", 3, 7, 0}, {"w", 4, 3, 1}};
  EXPECT_EQ(sorted(mixed, 1), "z y w x");
  EXPECT_EQ(sorted(mixed, 0), "y w z x");
}

}  // namespace
