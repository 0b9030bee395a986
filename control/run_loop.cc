// The run loop of the run mode.
//
// Jobs start in run order, each once its moment (start_time plus its delay)
// has passed and, in the sequential mode, once no other job runs. Delays
// count from the start, not from the job before. While the loop waits, ended
// jobs and mailers are collected at once, so a job's stamp is written and its
// output mailed as soon as it ends, not only at the end of the run.

#include <cstdlib>

#include <unistd.h>

#include "base/diagnostics.h"
#include "control/control.h"
#include "execution/execution.h"

namespace {

/// The longest wait that one alarm can hold.
constexpr std::time_t longest_alarm = 4294967295;

/// Sleeps until the job's moment. The clock is read once; a wait longer than
/// one alarm can hold is served as several alarms, counted down without
/// reading the clock again.
void wait_for_moment(const JobEntry* job) {
  const std::time_t moment = start_time + std::time_t{60} * job->delay_minutes;
  const std::time_t now = std::time(nullptr);
  for (std::time_t left = moment - now; left > 0;) {
    const std::time_t piece = left > longest_alarm ? longest_alarm : left;
    left -= piece;
    alarm(static_cast<unsigned>(piece));
    do service_signals();
    while (!got_alarm);
    got_alarm = 0;
  }
}

}  // namespace

void run_jobs() {
  for (int i = 0; i < run_count; ++i) {
    if (settings.no_delay)
      notice("Will run job `%s'", run_list[i]->name);
    else
      notice("Will run job `%s' in %d min.", run_list[i]->name, run_list[i]->delay_minutes);
  }
  if (settings.sequential && run_count > 0) notice("Jobs will be executed sequentially");

  install_signal_handlers();
  mailers_running = 0;
  jobs_running = 0;

  for (int i = 0; i < run_count; ++i) {
    if (!settings.no_delay) wait_for_moment(run_list[i]);
    if (settings.sequential)
      while (jobs_running > 0) service_signals();
    start_job(run_list[i]);
  }
  wait_for_all();
  notice("Normal exit (%d job%s run)", run_count, run_count == 1 ? "" : "s");
  std::exit(0);
}
