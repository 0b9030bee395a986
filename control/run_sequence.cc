// The run sequence: read the table, choose the jobs, carry out the mode.
//
// The test mode only reports, through its exit status, whether the table had
// problems. The update mode writes the start date into the stamps of the
// chosen jobs, without a due test and without the lock. The run mode goes on
// into the run loop.

#include <cstdlib>

#include <unistd.h>

#include "base/diagnostics.h"
#include "control/control.h"
#include "schedule/schedule.h"
#include "table/table.h"

void run_sequence() {
  load_table(saved_cwd_fd);
  // Not needed any more; a failure to close it harms nothing.
  close(saved_cwd_fd);
  saved_cwd_fd = -1;
  // Whoever may write in the spool can plant a stamp that skips a job, or a
  // FIFO or a directory that ends every run; the test mode opens no stamp.
  if (!settings.test_table) {
    const OwnershipFault fault = spool_fault();
    if (fault.found) bail("Refusing spool directory %s: %s", settings.spool_dir, fault.reason);
  }
  build_run_list();

  if (settings.test_table) std::exit(problem_count > 0 ? 1 : 0);
  if (settings.stamp_only) {
    for (int i = 0; i < run_count; ++i) {
      refresh_stamp(run_list[i]);
      notice("Updated timestamp for job `%s' to %04d-%02d-%02d", run_list[i]->name, start_year, start_month,
             start_mday);
    }
    std::exit(0);
  }
  run_jobs();
}
