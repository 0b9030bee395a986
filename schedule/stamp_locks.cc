// Creating, locking and writing stamp files: the scheduler's half of the
// stamps, which a read-only program never links (the format and the due
// decision are in stamps.cc).
//
// A due job's stamp stays open, and a write lock over the whole file held,
// from its due test until the reaper has written the new date, so two
// schedulers on one spool never run the same job at once; and the stamp is
// read again once the lock is held, so that a job another scheduler has
// just run is not run twice. The spool directory is the working directory,
// so a stamp is always opened by the bare job name.
//
// A record lock belongs to the process and the file, not to a descriptor:
// closing any descriptor of the file drops it. Lines of one table that carry
// the same job name share a stamp file, so the run opens that file once and
// the jobs of that name share the one descriptor, which is closed only when
// the last of them that holds it is done.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "base/diagnostics.h"
#include "schedule/schedule.h"

namespace {

/// The due decision on the bytes a read of the stamp gave.
bool due_on(const JobEntry* job, char* stamp, ssize_t got) {
  stamp[got] = '\0';
  switch (decide_due(std::string_view(stamp, static_cast<std::size_t>(got)), settings.force_run, today,
                     job->period_days, job->period_kind, start_lengths)) {
    case Due::no: return false;
    case Due::yes: return true;
    case Due::unknown_period: break;
  }
  bail("Unknown named period for %s (%d)", job->name, static_cast<int>(job->period_kind));
}

/// Lets go of the job's stamp descriptor: closed, unless another job of
/// the same name still holds it, since closing it would end their lock too.
void let_go(JobEntry* job) {
  const int fd = job->stamp_fd;
  job->stamp_fd = -1;
  for (const JobEntry* other = job_head; other; other = other->next)
    if (other->stamp_fd == fd) return;
  close_or_bail(fd);
}

/// Lets go of the stamp of a job that will not run in this run.
int pass_over(JobEntry* job) {
  let_go(job);
  return 0;
}

/// An earlier job of this run with the same name that holds the stamp file
/// open, and so its lock; nullptr if none. Due tests go in table order, so
/// only jobs above this one can hold it.
const JobEntry* holder_of(const JobEntry* job) {
  for (const JobEntry* other = job_head; other && other != job; other = other->next)
    if (other->stamp_fd >= 0 && std::strcmp(other->name, job->name) == 0) return other;
  return nullptr;
}

/// Ends the run on a stamp that is not a regular file, before anything is
/// done to it: a device or FIFO may act on an open, and would be chowned,
/// chmodded, written and cut as root; a directory or link cannot be a stamp.
void refuse_odd_stamp(const JobEntry* job, const struct stat& status) {
  if (S_ISREG(status.st_mode)) return;
  if (const char* reason = odd_stamp_reason(status.st_mode))
    bail("Can't open timestamp file for job %s: %s", job->name, reason);
  errno = S_ISDIR(status.st_mode) ? EISDIR : ELOOP;
  bail_sys("Can't open timestamp file for job %s", job->name);
}

/// Opens or creates the job's stamp file, owned by the real user, mode 0600.
void open_stamp(JobEntry* job) {
  // Looked at before the open, which a device might act on, and again
  // after it, in case the file was replaced in between.
  struct stat status;
  if (fstatat(AT_FDCWD, job->name, &status, AT_SYMLINK_NOFOLLOW) == 0) refuse_odd_stamp(job, status);
  // Never follow a link planted in the spool: the stamp is chowned, chmodded
  // and written as root, and a link would hand all that to its target. Never
  // wait either: a FIFO slipped in after the look above would hold the whole
  // run, and the locks of every job before it, in its first read.
  job->stamp_fd = open(job->name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
  if (job->stamp_fd < 0) bail_sys("Can't open timestamp file for job %s", job->name);
  if (fstat(job->stamp_fd, &status) != 0) bail_sys("Can't open timestamp file for job %s", job->name);
  refuse_odd_stamp(job, status);
  if (fchown(job->stamp_fd, getuid(), getgid()) != 0) bail_sys("Can't chown timestamp file %s", job->name);
  if (fchmod(job->stamp_fd, 0600) != 0) bail_sys("Can't chmod timestamp file %s", job->name);
}

/// Whether the stamp is on a FUSE file system: a GlusterFS spool shared
/// between hosts, whose client caches what local file systems need not.
bool on_fuse(int fd) {
  struct statfs where {};
  return fstatfs(fd, &where) == 0 && where.f_type == FUSE_SUPER_MAGIC;
}

/// Before the stamp is read again under a freshly granted lock: on FUSE the
/// kernel may still hold the pages this client read before another host
/// wrote the stamp, and would serve the re-read from them. Dropping them
/// sends the read to the file system's client. Measured on GlusterFS with
/// performance.quick-read off but without direct-io-mode, it took the jobs
/// run twice in 200 trials from 14 (6 of them at a scheduler started after
/// the others had ended) to 4 and 7 in two runs, none of them at the late
/// one; with the volume's defaults it changes nothing, as the stale bytes
/// then come from the client's own cache. Local file systems are left
/// alone: there the pages are current, and dropping them would cost a read
/// from the disk.
void drop_cached_stamp(int fd) {
  if (on_fuse(fd)) posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

}  // namespace

int check_due(JobEntry* job) {
  char stamp[stamp_date_size + 1];
  if (const JobEntry* holder = holder_of(job)) {
    // This process holds the lock already: nobody else can have stamped
    // the job since, and asking again is granted at once. The line still
    // gets its own decision.
    job->stamp_fd = holder->stamp_fd;
    const ssize_t got = pread(job->stamp_fd, stamp, stamp_date_size, 0);
    if (got < 0) bail_sys("Error reading timestamp file %s", job->name);
    return due_on(job, stamp, got) ? 1 : pass_over(job);
  }
  open_stamp(job);
  const ssize_t got = read(job->stamp_fd, stamp, stamp_date_size);
  if (got < 0) bail_sys("Error reading timestamp file %s", job->name);
  if (!due_on(job, stamp, got)) return pass_over(job);

  flock lock = whole_file_lock(F_WRLCK);
  if (fcntl(job->stamp_fd, F_SETLK, &lock) != 0) {
    if (errno != EAGAIN && errno != EACCES) bail_sys("fcntl() error");
    pass_over(job);
    notice("Job `%s' locked by another lapsero - skipping", job->name);
    return 0;
  }
  // Another scheduler may have run the job, stamped it and let go of its
  // lock between the read above and this lock: decide again on what the
  // stamp holds now, so that the job runs once in its period. A job that is
  // no longer due is passed over like one that never was.
  drop_cached_stamp(job->stamp_fd);
  const ssize_t again = pread(job->stamp_fd, stamp, stamp_date_size, 0);
  if (again < 0) bail_sys("Error reading timestamp file %s", job->name);
  if (!due_on(job, stamp, again)) return pass_over(job);
  return 1;
}

void write_stamp(JobEntry* job) {
  char date[stamp_size + 1];
  std::snprintf(date, sizeof date, "%04d%02d%02d\n", start_year, start_month, start_mday);
  // At offset 0 whatever the descriptor's offset, in one call.
  if (pwrite(job->stamp_fd, date, stamp_size, 0) != stamp_size)
    bail_sys("Can't write timestamp file for job %s", job->name);
  if (ftruncate(job->stamp_fd, stamp_size) != 0) bail_sys("ftruncate error");
  // The lock goes when the stamp is closed, and a GlusterFS client passes
  // that on at once, while its write-behind may still hold the new date:
  // the next host's lock can then be granted over the old stamp, and the
  // job run twice. Syncing first makes the date land before the lock goes.
  // A local stamp is current for every reader at once and is not synced.
  if (on_fuse(job->stamp_fd) && fdatasync(job->stamp_fd) != 0)
    bail_sys("Can't write timestamp file for job %s", job->name);
}

void release_stamp(JobEntry* job) { let_go(job); }

void refresh_stamp(JobEntry* job) {
  open_stamp(job);
  write_stamp(job);
  release_stamp(job);
}
