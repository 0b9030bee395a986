// Reaping ended children and mailing what jobs printed.
//
// Every pass probes each job and mailer of the run list by its pid, without
// blocking: one SIGCHLD may stand for several ended children, so every entry
// is looked at every time. The moment a job is reaped its stamp is written and
// its lock released, whatever its outcome; only then is its output, if it
// printed anything beyond the header, handed to the mailer.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/diagnostics.h"
#include "execution/execution.h"
#include "schedule/schedule.h"

namespace {

/// Probes one child; its pid once it has ended, else 0.
pid_t probe(pid_t pid, int* status) {
  const pid_t ended = waitpid(pid, status, WNOHANG);
  if (ended == -1) bail_sys("waitpid() error");
  return ended;
}

void log_mailer_end(const JobEntry* job, int status) {
  int value = 0;
  switch (decode_wait_status(status, &value)) {
    case ChildEnd::exited:
      // "ststus" is how this message has always been spelt, and the manual
      // page documents it so: log filters and monitoring match these very
      // words. Do not correct it.
      if (value != 0)
        problem("Tried to mail output of job `%s', but mailer process (%s) exited with ststus %d", job->name,
                mailer_path, value);
      break;
    case ChildEnd::signalled:
      problem("Tried to mail output of job `%s', but mailer process (%s) got signal %d", job->name,
              mailer_path, value);
      break;
    case ChildEnd::abnormal:
      problem("Tried to mail output of job `%s', but mailer process (%s) terminated abnormally", job->name,
              mailer_path);
      break;
  }
}

void log_job_end(const JobEntry* job, int status, const char* suffix) {
  int value = 0;
  switch (decode_wait_status(status, &value)) {
    case ChildEnd::exited:
      if (value == 0)
        notice("Job `%s' terminated%s", job->name, suffix);
      else
        notice("Job `%s' terminated (exit status: %d)%s", job->name, value, suffix);
      break;
    case ChildEnd::signalled:
      problem("Job `%s' terminated due to signal %d%s", job->name, value, suffix);
      break;
    case ChildEnd::abnormal: problem("Job `%s' terminated abnormally%s", job->name, suffix); break;
  }
}

/// Runs in the mailer's child: the output file, from its first byte, becomes
/// standard input. The child never returns from here, alive.
[[noreturn]] void become_mailer(const JobEntry* job) {
  // The mailer's own failures go to the system log only.
  stderr_off = 1;
  close_or_bail(STDIN_FILENO);
  if (dup2(job->output_fd, STDIN_FILENO) != STDIN_FILENO) bail_sys("Can't dup2()");
  // The job's writes left the shared offset at the end of the file.
  if (lseek(STDIN_FILENO, 0, SEEK_SET) != 0) bail_sys("Can't lseek()");
  restore_caller_state();
  close_syslog();
  execl(mailer_path, mailer_path, "-FLapsero", "-odi", job->mail_to, static_cast<char*>(nullptr));
  bail_sys("Can't exec %s", mailer_path);
}

/// Hands a job's output file to the mailer, or says why not.
void start_mailer(JobEntry* job) {
  struct stat mailer;
  if (stat(mailer_path, &mailer) != 0) {
    problem("Can't find sendmail at %s, not mailing output", mailer_path);
    return;
  }
  const pid_t pid = fork_or_bail();
  if (pid == 0) become_mailer(job);
  job->mailer_pid = pid;
  ++mailers_running;
}

void finish_job(JobEntry* job, int status) {
  write_stamp(job);
  release_stamp(job);
  const bool has_output = output_size(job->output_fd) > static_cast<std::int64_t>(job->header_size);
  log_job_end(job, status, has_output ? " (mailing output)" : "");
  --jobs_running;
  job->job_pid = 0;
  if (has_output) start_mailer(job);
  close_or_bail(job->output_fd);
  job->output_fd = -1;
}

}  // namespace

ChildEnd decode_wait_status(int status, int* value) {
  if (WIFEXITED(status)) {
    *value = WEXITSTATUS(status);
    return ChildEnd::exited;
  }
  if (WIFSIGNALED(status)) {
    *value = WTERMSIG(status);
    return ChildEnd::signalled;
  }
  *value = 0;
  return ChildEnd::abnormal;
}

void reap_children() {
  for (int i = 0; i < run_count; ++i) {
    JobEntry* job = run_list[i];
    int status = 0;
    // The mailer first: one started in this pass is looked at in a later one.
    if (job->mailer_pid != 0 && probe(job->mailer_pid, &status) != 0) {
      log_mailer_end(job, status);
      job->mailer_pid = 0;
      --mailers_running;
    }
    if (job->job_pid != 0 && probe(job->job_pid, &status) != 0) finish_job(job, status);
  }
}
