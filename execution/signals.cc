// Signals, waiting and the orderly stop.
//
// In the run mode the scheduler sleeps in one place only: sigsuspend, which
// SIGALRM (a delay has passed), SIGCHLD (a job or mailer ended) and SIGUSR1
// (a request to stop) can end. The three are blocked at every other moment,
// so a signal that arrives while the flags are being tested stays pending and
// ends the next suspension at once: no signal is lost, and the process never
// sleeps with one unhandled. The handlers only set their flag; the flags are
// tested and cleared outside the suspension.

#include <cstdlib>
#include <initializer_list>

#include <unistd.h>

#include "base/diagnostics.h"
#include "execution/execution.h"

namespace {

void alarm_handler(int) { got_alarm = 1; }
void child_handler(int) { got_child = 1; }
void usr1_handler(int) { got_usr1 = 1; }

/// The three signals of the run loop, in the order they are added.
constexpr int run_signals[] = {SIGALRM, SIGCHLD, SIGUSR1};

/// Sleeps until one of the three signals has been handled.
void suspend_for_signal() {
  sigset_t mask;
  if (sigprocmask(SIG_BLOCK, nullptr, &mask) != 0) bail_sys("sigprocmask error");
  for (int signal : run_signals)
    if (sigdelset(&mask, signal) != 0) bail_sys("sigset error");
  sigsuspend(&mask);
}

/// One wait step shared by the run loop and the final wait: sleep, then
/// collect whatever ended.
void wait_step() {
  suspend_for_signal();
  if (got_child) reap_children();
  got_child = 0;
}

/// The orderly stop: waits for what runs, then exits 0.
[[noreturn]] void stop_on_request() {
  notice("Received SIGUSR1");
  got_usr1 = 0;
  wait_for_all();
  notice("Exited");
  std::exit(0);
}

}  // namespace

void install_signal_handlers() {
  got_usr1 = 0;
  got_child = 0;
  got_alarm = 0;
  sigset_t blocked;
  if (sigemptyset(&blocked) != 0) bail_sys("sigset error");
  for (int signal : run_signals)
    if (sigaddset(&blocked, signal) != 0) bail_sys("sigset error");
  if (sigprocmask(SIG_BLOCK, &blocked, nullptr) != 0) bail_sys("sigprocmask error");

  struct Handler {
    int signal;
    void (*handler)(int);
    int flags;
  };
  // Each handler holds back the other two while it runs.
  for (const Handler& entry :
       {Handler{SIGALRM, alarm_handler, 0}, Handler{SIGCHLD, child_handler, SA_NOCLDSTOP},
        Handler{SIGUSR1, usr1_handler, 0}}) {
    struct sigaction action {};
    action.sa_handler = entry.handler;
    action.sa_mask = blocked;
    action.sa_flags = entry.flags;
    if (sigaction(entry.signal, &action, nullptr) != 0) bail_sys("sigaction error");
  }
}

void service_signals() {
  wait_step();
  if (got_usr1) stop_on_request();
}

void wait_for_all() {
  while (jobs_running > 0 || mailers_running > 0) {
    wait_step();
    // Everything that runs is waited for all the same.
    if (got_usr1) notice("Received SIGUSR1");
    got_usr1 = 0;
  }
}
