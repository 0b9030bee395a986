// Diagnostics and checked calls.
//
// Every message lapsero logs passes through here. A message has one of two
// levels: notice for progress, error for failures. It always goes to the
// system log (facility cron, with the pid); while stderr_off is 0 it is also
// copied to descriptor 2, whatever that is at the time. Error lines there are
// prefixed with the program name; notice lines are bare, unless -q silences
// them.
//
// The checked calls (fork_or_bail, open_onto, close_or_bail, alloc_or_bail)
// and bail/bail_sys either succeed or end the process with status 1 after
// logging why, so the caller never checks for failure. A bail in the
// scheduler's own process logs "Aborted" as well; in a child it ends only the
// child.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include "control/control.h"
#include "lapsero.h"

char message_buffer[message_size];
int problem_count = 0;

namespace {

constexpr char truncation_mark[] = " (truncated)";
/// Where the mark starts in a cut message: 138 + 12 = 150 characters.
constexpr int truncation_at = message_size - 1 - (sizeof truncation_mark - 1);

int syslog_open = 0;

void open_syslog() {
  openlog(program_name, LOG_PID, LOG_CRON);
  syslog_open = 1;
}

void log_plain(int level, const char* format, std::va_list args) LAPSERO_PRINTF(2, 0);
void log_plain(int level, const char* format, std::va_list args) {
  format_message(format, args);
  if (!syslog_open) open_syslog();
  // The text may hold a per cent sign from a job name or path: never let
  // syslog read it as a conversion.
  syslog(level, "%s", message_buffer);
  if (stderr_off) return;
  if (level == LOG_ERR)
    dprintf(STDERR_FILENO, "%s: %s\n", program_name, message_buffer);
  else if (!settings.quiet)
    dprintf(STDERR_FILENO, "%s\n", message_buffer);
}

void log_with_errno(int level, const char* format, std::va_list args) LAPSERO_PRINTF(2, 0);
void log_with_errno(int level, const char* format, std::va_list args) {
  // Taken first: formatting and opening the log may change errno.
  const int saved_errno = errno;
  format_message(format, args);
  if (!syslog_open) open_syslog();
  const char* reason = std::strerror(saved_errno);
  syslog(level, "%s: %s", message_buffer, reason);
  if (stderr_off) return;
  if (level == LOG_ERR)
    dprintf(STDERR_FILENO, "%s: %s: %s\n", program_name, message_buffer, reason);
  else if (!settings.quiet)
    dprintf(STDERR_FILENO, "%s: %s\n", message_buffer, reason);
}

[[noreturn]] void end_after_failure() {
  if (getpid() == main_pid) problem("Aborted");
  std::exit(1);
}

}  // namespace

void format_message(const char* format, std::va_list args) {
  const int length = std::vsnprintf(message_buffer, sizeof message_buffer, format, args);
  // A text of exactly 150 characters would fit, but is cut all the same.
  if (length >= message_size - 1)
    std::memcpy(message_buffer + truncation_at, truncation_mark, sizeof truncation_mark);
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
  log_plain(LOG_ERR, format, args);
  va_end(args);
  ++problem_count;
}

void problem_sys(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
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

pid_t fork_or_bail() {
  const pid_t pid = fork();
  if (pid < 0) bail_sys("Can't fork");
  return pid;
}

int open_onto(int target_fd, const char* path, int flags) {
  const int fd = open(path, flags);
  // Tested first, so that a failed open with a target names the target.
  if (target_fd >= 0 && fd != target_fd)
    bail_sys("Can't open %s on file-descriptor %d", path, target_fd);
  if (fd < 0) bail_sys("Can't open %s", path);
  return fd;
}

void close_or_bail(int fd) {
  if (close(fd) != 0) bail_sys("Can't close file descriptor %d", fd);
}

void* alloc_or_bail(std::size_t size) {
  void* block = std::malloc(size);
  if (!block) bail("Memory exhausted");
  return block;
}
