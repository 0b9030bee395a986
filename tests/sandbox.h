// The test sandbox: every test process runs in a private mount namespace in
// which nothing of the host's /dev or /usr/sbin is written.
//
// - /dev is an overlay, so the test can bind its own datagram socket at
//   /dev/log and read every syslog entry, with its level, facility and pid.
// - /usr/sbin is an overlay, so a test can put a recording fake sendmail in
//   place, or leave none; an existing /usr/sbin/sendmail is whited out, never
//   written through.
// - Scratch directories live on a tmpfs that exists only in the namespace.
//   It is mounted on an empty directory that mkdtemp makes in the host's
//   /tmp before the namespace is entered; that directory is removed at exit,
//   and stays behind, empty, only when the process is killed. A program run
//   without TMPDIR still puts its temporary files in the host's /tmp: the
//   end-to-end fixture always sets TMPDIR to the test's scratch directory.
// The test process is a child subreaper, so it can wait for a scheduler that
// went into the background, and kill whatever is left over.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sandbox {

/// One syslog entry, as a process sent it to /dev/log.
struct LogEntry {
  int facility = -1;  ///< LOG_CRON >> 3 is 9
  int level = -1;     ///< LOG_NOTICE 5, LOG_ERR 3
  std::string ident;  ///< program name before the "[pid]"
  pid_t pid = 0;
  std::string text;  ///< the message itself
};

/// Enters the namespace and binds /dev/log; once per process. Any failure
/// ends the process with a message: a sandbox that cannot be set up fails the
/// tests, it never skips them.
void enter();

/// A fresh, empty directory under the scratch root.
std::string make_scratch_dir(std::string_view hint);

/// Every entry logged since the last call (or since enter), waiting up to
/// `settle` for more to arrive once the queue is empty.
std::vector<LogEntry> take_log(std::chrono::milliseconds settle = std::chrono::milliseconds(0));

/// Reads, writes and inspects files.
std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view content, mode_t mode = 0644);
bool exists(const std::string& path);

/// Puts the recording fake sendmail at /usr/sbin/sendmail with the given mode,
/// or removes whatever is there when mode is 0.
void install_sendmail(mode_t mode = 0755);

/// The path of libfaketime.
inline constexpr const char faketime_library[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

/// How to start a program.
struct Invocation {
  std::vector<std::string> argv;           ///< argv[0] is the path run
  std::string cwd;                         ///< start directory; scratch if empty
  std::map<std::string, std::string> env;  ///< on top of the base environment
  std::vector<std::string> unset;          ///< names taken out of the base environment
  std::optional<std::string> faketime;     ///< FAKETIME value; libfaketime preloaded if set
  std::vector<int> closed_fds;             ///< standard descriptors the program starts without
  std::chrono::seconds timeout{30};        ///< strays are killed after this
};

/// A started program and everything it has said so far.
struct Process {
  pid_t pid = 0;                    ///< the process started
  int status = -1;                  ///< its wait status once it has ended
  bool ended = false;               ///< it has ended
  bool all_ended = false;           ///< it and every descendant left to us have ended
  bool timed_out = false;           ///< strays had to be killed
  std::vector<std::string> killed;  ///< "pid: command line" of each one killed
  std::string out;                  ///< standard output
  std::string err;                  ///< standard error
  std::vector<LogEntry> log;        ///< syslog entries received while it ran
  int out_fd = -1, err_fd = -1;
  int pid_fd = -1;  ///< readable once the process has ended; -1 if the kernel has none
  std::chrono::steady_clock::time_point deadline;
  int exit_code() const;  ///< its exit status, or -1000 - signal if killed
};

/// Argument and environment vectors in the form execve takes, built before
/// a fork so that the child has nothing left to do but call execve.
struct ExecVectors {
  ExecVectors(const std::vector<std::string>& args, const std::map<std::string, std::string>& env);
  ExecVectors(const ExecVectors&) = delete;
  ExecVectors& operator=(const ExecVectors&) = delete;

  std::vector<std::string> arg_text, env_text;  ///< what the pointers below point into
  std::vector<char*> argv, envp;                ///< null-terminated
};

/// The base environment: PATH, HOME, LOGNAME, TZ=UTC, no locale, no
/// POSIXLY_CORRECT, and the sanitizer options passed through.
std::map<std::string, std::string> base_environment();

Process start(const Invocation& invocation);
/// Collects output and log until `done` holds or the deadline passes;
/// returns whether `done` held.
bool wait_until(Process& process, const std::function<bool(const Process&)>& done,
                std::chrono::milliseconds limit = std::chrono::milliseconds(20000));
/// Waits until the process and everything left to us have ended; what is
/// still running at the process's deadline is killed and recorded in
/// timed_out and killed. It reports nothing itself: the benchmarks link this
/// file without GoogleTest, so the test fixtures check those two fields.
void finish(Process& process);
/// start and finish.
Process run(const Invocation& invocation);

/// Whether the process has a handler installed for the signal (SigCgt).
bool catches_signal(pid_t pid, int signal);

/// Texts of the entries, in order.
std::vector<std::string> texts(const std::vector<LogEntry>& log);

}  // namespace sandbox
