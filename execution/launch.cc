// Job launch and output capture.
//
// A job runs as "/bin/sh -c command" with its standard output and error on an
// anonymous file that already holds a complete mail header, so that whatever
// the job prints, in the order it prints it, follows the header and can be
// handed to the mailer as it stands. The table's environment settings up to
// the job's line go into the scheduler's own environment and stay there, so
// they accumulate from one launch to the next.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/diagnostics.h"
#include "execution/execution.h"

namespace {

constexpr int host_name_size = 512;

/// Whether the environment holds this very text (not merely an equal one).
bool in_environment(const char* assignment) {
  for (char** entry = environ; *entry; ++entry)
    if (*entry == assignment) return true;
  return false;
}

/// The user name of the effective user.
const char* login_name() {
  const uid_t user = geteuid();
  errno = 0;
  const passwd* entry = getpwuid(user);
  if (entry) return entry->pw_name;
  // A lookup that simply finds no entry leaves errno at 0, whose text would
  // report the failure in the words of a success.
  if (errno == 0) bail("getpwuid() error: no user with id %lu", static_cast<unsigned long>(user));
  bail_sys("getpwuid() error");
}

/// Writes a whole text with one write, or bails.
void put_text(int fd, const char* text) {
  const std::size_t length = std::strlen(text);
  const ssize_t written = write(fd, text, length);
  if (written == -1) bail_sys("Can't write to temporary file");
  // A short write (a full disk, a file size limit) leaves a cut header,
  // under which the job's output would be lost: it fails like any other.
  // It sets no errno to report, so the counts say what happened.
  if (static_cast<std::size_t>(written) != length)
    bail("Can't write to temporary file: wrote %zd of %zu bytes", written, length);
}

/// The login name, kept in the arena from the first launch that asked for
/// it: the user database's buffer is rewritten by every lookup, and asking
/// the database anew for every job was a good part of what a launch cost.
/// A lookup that fails still ends the run at the launch that needs it.
const char* kept_login = nullptr;

const char* run_login() {
  if (!kept_login) {
    const char* login = login_name();
    kept_login = static_cast<const char*>(obstack_copy0(&RecordArena, login, std::strlen(login)));
  }
  return kept_login;
}

/// Puts the settings from the head of the list up to the job's last one into
/// the environment. The walk always starts at the head, so a variable set on
/// several lines takes the value of the last of them.
void apply_settings(const JobEntry* job) {
  if (!env_head || !job->last_env) return;
  for (const EnvSetting* setting = env_head; setting; setting = setting->next) {
    // putenv keeps the text itself; it lives in the RecordArena to the end.
    // Where the environment holds this very text already, putenv would
    // change nothing but would still write the entry again: after each fork
    // a write costs the copy of a page.
    if (!in_environment(setting->assignment) && putenv(const_cast<char*>(setting->assignment)) != 0)
      bail_sys("Can't set the environment");
    if (setting == job->last_env) break;
  }
}

/// Where the output files go: TMPDIR when it names a
/// directory (and the program runs with its own privileges), else the
/// default; nullptr when neither is a directory.
const char* temporary_directory() {
  struct stat status;
  const char* tmpdir = secure_getenv("TMPDIR");
  if (tmpdir && stat(tmpdir, &status) == 0 && S_ISDIR(status.st_mode)) return tmpdir;
  if (stat(P_tmpdir, &status) == 0 && S_ISDIR(status.st_mode)) return P_tmpdir;
  return nullptr;
}

/// The old way, for file systems that cannot make a file without a name:
/// created exclusively under a fresh name in the same directory (mkostemp
/// tries names until one is free), then unlinked at once.
int open_named_output_file(const char* directory) {
  static constexpr char name_template[] = "/lapseroXXXXXX";
  const std::size_t length = std::strlen(directory);
  auto* path = static_cast<char*>(alloc_or_bail(length + sizeof name_template));
  std::memcpy(path, directory, length);
  std::memcpy(path + length, name_template, sizeof name_template);
  const int fd = mkostemp(path, O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    const int saved = errno;
    std::free(path);
    errno = saved;
    bail_sys("Can't open temporary file");
  }
  const int unlinked = unlink(path);
  const int saved = errno;
  std::free(path);
  errno = saved;
  if (unlinked != 0) bail_sys("Can't unlink temporary file");
  return fd;
}

/// A new file for the job's mail that has no name, so that it vanishes with
/// its last descriptor and nothing is left behind, however the scheduler
/// ends.
int open_output_file() {
  const char* directory = temporary_directory();
  if (!directory) bail("Can't find a unique temporary filename");
  const int fd = open(directory, O_TMPFILE | O_RDWR | O_APPEND | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // EISDIR comes from a kernel that does not know O_TMPFILE at all.
  if (errno != EOPNOTSUPP && errno != EISDIR) bail_sys("Can't open temporary file");
  return open_named_output_file(directory);
}

/// Runs in the job's child: put the output file on 1 and 2, then become the
/// shell. The child never returns from here, alive.
[[noreturn]] void become_job_shell(const JobEntry* job) {
  // Until 1 and 2 are in place a failure must not be written to them.
  stderr_off = 1;
  close_or_bail(STDOUT_FILENO);
  close_or_bail(STDERR_FILENO);
  if (dup2(job->output_fd, STDOUT_FILENO) != STDOUT_FILENO ||
      dup2(job->output_fd, STDERR_FILENO) != STDERR_FILENO)
    bail_sys("dup2() error");
  // From here on the child's own failures land in the mail as well.
  stderr_off = 0;
  if (chdir("/") != 0) bail_sys("Can't chdir to '/'");
  restore_caller_state();
  close_syslog();
  execl(shell_path, shell_path, "-c", job->command, static_cast<char*>(nullptr));
  bail_sys("execl() error");
}

}  // namespace

void restore_caller_state() {
  umask(saved_umask);
  if (sigprocmask(SIG_SETMASK, &saved_sigmask, nullptr) != 0) bail_sys("sigprocmask error");
  if (setrlimit(RLIMIT_NOFILE, &saved_nofile) != 0) bail_sys("setrlimit error");
}

std::int64_t output_size(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0) bail_sys("Can't fstat temporary file");
  return status.st_size;
}

void write_header(int fd, const MailHeader& header) {
  // Put together first and written in one call: a write per piece was a
  // good part of what a launch cost.
  const std::initializer_list<const char*> pieces = {"From: ",
                                                     "Lapsero <",
                                                     header.login,
                                                     ">\n",  //
                                                     "To: ",
                                                     header.to,
                                                     "\n",  //
                                                     "Subject: Lapsero job '",
                                                     header.job_name,
                                                     "' on ",
                                                     header.host,
                                                     "\n",  //
                                                     "Content-Type: text/plain; charset=",
                                                     header.charset,
                                                     "\n\n"};
  std::size_t length = 0;
  for (const char* piece : pieces) length += std::strlen(piece);
  auto* text = static_cast<char*>(alloc_or_bail(length + 1));
  char* end = text;
  for (const char* piece : pieces) end = stpcpy(end, piece);
  put_text(fd, text);
  std::free(text);
}

void start_job(JobEntry* job) {
  char host[host_name_size];
  if (gethostname(host, sizeof host) != 0) std::strcpy(host, "unknown machine");
  host[sizeof host - 1] = '\0';

  apply_settings(job);

  // The From line needs the login name, and so does the recipient when
  // MAILTO is unset. MAILTO is looked up after the settings, so that a
  // MAILTO line of the table counts.
  const char* login = run_login();
  const char* mailto = std::getenv("MAILTO");
  job->mail_to = mailto ? mailto : login;

  job->output_fd = open_output_file();
  write_header(job->output_fd, MailHeader{login, job->mail_to, job->name, host, mail_charset});
  job->header_size = static_cast<std::int32_t>(output_size(job->output_fd));

  const pid_t pid = fork_or_bail();
  if (pid == 0) become_job_shell(job);
  notice("Job `%s' started", job->name);
  ++jobs_running;
  job->job_pid = pid;
}
