// Diagnostics and checked calls: every message lapsero logs, and every
// failure that ends it, passes through here.
//
// All six diagnostics share one body, log_message, so that the rules of
// where a message goes live in one place: the system log always; standard
// error only while stderr_off is 0, error lines after the program name, and
// notice lines bare unless -q silences them. A program that sets syslog_off
// (lapsero-status) keeps every message out of the system log, and a caller
// that holds problems takes them from message_buffer instead.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include "base/diagnostics.h"

char message_buffer[message_size];
const char* program_name = "lapsero";
int stderr_off = 0;
pid_t main_pid = 0;
int problem_count = 0;
int problems_held = 0;

namespace {

/// Set once by set_up_diagnostics.
int quiet = 0;
int syslog_off = 0;

constexpr char truncation_mark[] = " (truncated)";
/// Where the mark starts in a cut message: 138 + 12 = 150 characters.
constexpr int truncation_at = message_size - 1 - (sizeof truncation_mark - 1);

int syslog_open = 0;

/// Formats into message_buffer, cutting a text of 150 characters or more to
/// its first 138 followed by " (truncated)".
void format_message(const char* format, std::va_list args) LAPSERO_PRINTF(1, 0);
void format_message(const char* format, std::va_list args) {
  const int length = std::vsnprintf(message_buffer, sizeof message_buffer, format, args);
  // A text of exactly 150 characters would fit, but is cut all the same.
  if (length >= message_size - 1)
    std::memcpy(message_buffer + truncation_at, truncation_mark, sizeof truncation_mark);
}

void open_syslog() {
  openlog(program_name, LOG_PID, LOG_CRON);
  syslog_open = 1;
}

/// The one body of every diagnostic. reason is the text of the errno value
/// to append, or nullptr.
void log_message(int level, const char* reason, const char* format, std::va_list args) LAPSERO_PRINTF(3, 0);
void log_message(int level, const char* reason, const char* format, std::va_list args) {
  format_message(format, args);
  if (!syslog_off) {
    if (!syslog_open) open_syslog();
    // The text may hold a per cent sign from a job name or path: never let
    // syslog read it as a conversion.
    if (reason)
      syslog(level, "%s: %s", message_buffer, reason);
    else
      syslog(level, "%s", message_buffer);
  }
  if (stderr_off || (level != LOG_ERR && quiet)) return;
  // One call, so that the line reaches descriptor 2 in one piece.
  const bool error = level == LOG_ERR;
  dprintf(STDERR_FILENO, "%s%s%s%s%s\n", error ? program_name : "", error ? ": " : "", message_buffer,
          reason ? ": " : "", reason ? reason : "");
}

void log_plain(int level, const char* format, std::va_list args) LAPSERO_PRINTF(2, 0);
void log_plain(int level, const char* format, std::va_list args) {
  log_message(level, nullptr, format, args);
}

void log_with_errno(int level, const char* format, std::va_list args) LAPSERO_PRINTF(2, 0);
void log_with_errno(int level, const char* format, std::va_list args) {
  // Taken first: formatting and opening the log may change errno.
  const int saved_errno = errno;
  log_message(level, std::strerror(saved_errno), format, args);
}

}  // namespace

void end_after_failure() {
  // A failure of the whole program is nobody's line problem: it goes out.
  problems_held = 0;
  const pid_t self = getpid();
  if (self == main_pid) problem("Aborted");
  // A child of the scheduler that fails before it has replaced itself holds
  // copies of the scheduler's exit handlers and stream buffers: running or
  // flushing them would act for the scheduler a second time.
  if (main_pid != 0 && self != main_pid) _exit(1);
  std::exit(1);
}

void set_up_diagnostics(int quiet_notices, int to_syslog) {
  quiet = quiet_notices;
  syslog_off = !to_syslog;
}

void notice(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  log_plain(LOG_NOTICE, format, args);
  va_end(args);
}

void notice_sys(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  log_with_errno(LOG_NOTICE, format, args);
  va_end(args);
}

void problem(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  if (problems_held)
    format_message(format, args);
  else
    log_plain(LOG_ERR, format, args);
  va_end(args);
  ++problem_count;
}

void problem_sys(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  if (problems_held)
    format_message(format, args);
  else
    log_with_errno(LOG_ERR, format, args);
  va_end(args);
  ++problem_count;
}

void bail(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  log_plain(LOG_ERR, format, args);
  va_end(args);
  end_after_failure();
}

void bail_sys(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  log_with_errno(LOG_ERR, format, args);
  va_end(args);
  end_after_failure();
}

void close_syslog() {
  if (syslog_open) closelog();
  syslog_open = 0;
}

int open_onto(int target_fd, const char* path, int flags) {
  const int fd = open(path, flags);
  // Tested first, so that a failed open with a target names the target.
  if (target_fd >= 0 && fd != target_fd) bail_sys("Can't open %s on file-descriptor %d", path, target_fd);
  if (fd < 0) bail_sys("Can't open %s", path);
  return fd;
}

void memory_exhausted() { bail("Memory exhausted"); }

void* alloc_or_bail(std::size_t size) {
  void* block = std::malloc(size);
  if (!block) memory_exhausted();
  return block;
}
