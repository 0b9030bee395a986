// Execution: job launch and output capture, reaping and mail delivery,
// signals, waiting and the orderly stop.
#pragma once

#include <cstdint>

#include "lapsero.h"

// ---------------------------------------------------------------------------
// Job launch and output capture (launch.cc)

/// Starts the job's shell with its output captured under a mail header.
void start_job(JobEntry* job);
/// Runs in a child before exec: gives back the umask, the signal mask and
/// the descriptor limit that the scheduler found at its start.
void restore_caller_state();
/// The current size of an open file, or bails.
std::int64_t output_size(int fd);

// ---------------------------------------------------------------------------
// Reaping and mail delivery (reaper.cc)

/// Collects every ended job and mailer of the run list without blocking.
void reap_children();

// ---------------------------------------------------------------------------
// Signals, waiting and the orderly stop (signals.cc)

/// Blocks SIGALRM, SIGCHLD and SIGUSR1 for the rest of the run and installs
/// their handlers.
void install_signal_handlers();
/// One wait step of the run loop; stops the run on SIGUSR1.
void service_signals();
/// Returns when no job and no mailer runs any longer.
void wait_for_all();

// ---------------------------------------------------------------------------
// Seams: pure steps of the launch and the reaper, which only the unit tests
// reach.

/// The five header lines of a job's mail.
struct MailHeader {
  const char* login;     ///< effective user, in the From line
  const char* to;        ///< recipient
  const char* job_name;  ///< in the Subject line
  const char* host;      ///< in the Subject line
  const char* charset;   ///< in the Content-Type line
};

/// Writes the header in one write, in the order the mail reads.
void write_header(int fd, const MailHeader& header);

/// How a child ended, as its wait status tells.
enum class ChildEnd { exited, signalled, abnormal };

/// Decodes a wait status; value is the exit code or the signal number.
ChildEnd decode_wait_status(int status, int* value);
