// Choosing the jobs of this run and putting them in run order.
//
// In the run mode a job is chosen once its due test is passed and its lock
// taken; in the update and test modes every job whose name matches a job
// pattern is chosen, without opening its stamp. Due tests happen in table
// order, before the sort, so the creation of missing stamps and the lock
// notices follow the table.

#include <cstdlib>

#include "schedule/schedule.h"

int run_order(const void* a, const void* b) {
  const JobEntry* first = *static_cast<JobEntry* const*>(a);
  const JobEntry* second = *static_cast<JobEntry* const*>(b);
  // None of these is ever negative in the run list, so no difference overflows.
  if (settings.no_delay && first->pattern_index != second->pattern_index)
    return first->pattern_index - second->pattern_index;
  if (first->delay_minutes != second->delay_minutes) return first->delay_minutes - second->delay_minutes;
  // No two jobs share a table line, so the unstable qsort still gives one order.
  return first->table_line - second->table_line;
}

void build_run_list() {
  // The run list grows as an unfinished object in the RecordArena until the
  // walk ends, so nothing called from inside the walk (the due test, the
  // stamp operations, the diagnostics) may allocate from that arena: a new
  // allocation there would be appended to the growing list, or move it.
  run_count = 0;
  for (JobEntry* job = job_head; job; job = job->next) {
    if (job->pattern_index == -1) continue;
    if (!settings.stamp_only && !settings.test_table && !check_due(job)) continue;
    ++run_count;
    obstack_ptr_grow(&RecordArena, job);
  }
  run_list = static_cast<JobEntry**>(obstack_finish(&RecordArena));
  // The elements are references: their size is that of a pointer.
  const std::size_t element_size = sizeof *run_list;  // NOLINT(bugprone-sizeof-expression)
  std::qsort(run_list, static_cast<std::size_t>(run_count), element_size, run_order);
}
