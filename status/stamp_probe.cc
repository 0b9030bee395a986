// Reading a job's stamp and its lock without touching either.
//
// The listing may run as root on a live spool while a scheduler works in
// it, so it must leave no trace: a stamp is opened read-only, never through
// a link, never blocking, never created; its access time is kept where the
// system allows; and the lock is only asked about (F_GETLK), never taken.
// Taking it, even for a moment, could make a scheduler starting at that
// moment skip the job. Closing our descriptor drops no lock of the
// scheduler's: record locks belong to the process that set them.
//
// What the scheduler itself would fail on is reported with the reason it
// would give: a link as "Too many levels of symbolic links", a directory as
// "Is a directory", a FIFO as "Is a FIFO, not a regular file". Nothing that
// is not a regular file (a FIFO, a device) is opened at all, since opening
// it may block or act.
//
// On a spool shared between hosts, the pid a lock reports is the holder's
// on its own host: here it may name no process, or an unrelated one. It is
// shown only when it names a lapsero of this host; otherwise the job is in
// progress elsewhere.
//
// Besides its first bytes, the probe keeps the day the stamp last changed,
// taken from the open file, so that the bytes and the day are of one file,
// and its owner, whose scheduler's log lines tell how the job last ended:
// that much is known even of a stamp that cannot be read.

#include <algorithm>
#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "status/status.h"

namespace {

StampProbe failed(int error) {
  StampProbe probe{};
  probe.error = error;
  probe.owner = no_owner;
  return probe;
}

/// A stamp of a type the scheduler refuses: a device, a FIFO or a socket.
StampProbe odd(mode_t mode) {
  StampProbe probe = failed(not_regular_file);
  probe.odd_type = mode & S_IFMT;
  return probe;
}

StampProbe no_stamp() {
  StampProbe probe{};
  probe.missing = true;
  probe.owner = no_owner;
  return probe;
}

/// Whether a look at the stamp found a file of a type the scheduler
/// refuses, and then, in refused, with the reason it gives: a link as
/// ELOOP, a directory as EISDIR, anything else that is not a regular file
/// by its type. Both looks, before the open and after it, ask this.
bool refused_type(mode_t mode, StampProbe* refused) {
  if (S_ISREG(mode)) return false;
  if (S_ISLNK(mode))
    *refused = failed(ELOOP);
  else if (S_ISDIR(mode))
    *refused = failed(EISDIR);
  else
    *refused = odd(mode);
  return true;
}

/// The first line of a small file under /proc; empty if it can't be read.
std::string proc_line(const std::string& path) {
  char text[256];
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  const ssize_t got = read(fd, text, sizeof text);
  close(fd);
  if (got <= 0) return {};
  const std::string_view line(text, static_cast<std::size_t>(got));
  return std::string(line.substr(0, line.find('\n')));
}

/// Opens read-only, without changing the access time where we may.
int open_quietly(const char* name) {
  constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  const int fd = open(name, flags | O_NOATIME);
  // O_NOATIME is only for the file's owner (or root).
  if (fd < 0 && errno == EPERM) return open(name, flags);
  return fd;
}

/// The probe with the error, once the stamp's descriptor is closed.
StampProbe failed_open(int fd, int error) {
  close(fd);
  return failed(error);
}

/// The rest of the probe, once the stamp is known to be there as st.
StampProbe probe_present(const char* name, struct stat& st) {
  StampProbe refused{};
  if (refused_type(st.st_mode, &refused)) return refused;

  const int fd = open_quietly(name);
  if (fd < 0) return failed(errno);
  StampProbe probe{};
  // Replaced by something else since the look above: a directory opens
  // read-only as well as a file does.
  if (fstat(fd, &st) != 0) return failed_open(fd, errno);
  if (refused_type(st.st_mode, &refused)) {
    close(fd);
    return refused;
  }
  // For a stamp that turns out to hold no date: a job that never ran is due
  // since the stamp was made, at its first due test. Every start that fails
  // to write it (a full disk) cuts it again and so moves its modification
  // time on, so the earlier of its birth, where the file system keeps one,
  // and its last modification counts.
  std::time_t since = st.st_mtime;
  struct statx born {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &born) == 0 && (born.stx_mask & STATX_BTIME) &&
      born.stx_btime.tv_sec < since)
    since = born.stx_btime.tv_sec;
  probe.changed_day = std::max(local_day(since), 0);
  // One read, as the scheduler's due test makes it.
  const ssize_t got = read(fd, probe.bytes, stamp_date_size);
  if (got < 0) return failed_open(fd, errno);
  probe.length = static_cast<int>(got);
  probe.bytes[got] = '\0';

  flock lock = whole_file_lock(F_WRLCK);
  if (fcntl(fd, F_GETLK, &lock) != 0) return failed_open(fd, errno);
  probe.locked = lock.l_type != F_UNLCK;
  // A lock set through an open file description, or by a process in
  // another pid namespace, has no pid to tell: 0 or -1, never a lapsero.
  probe.lock_pid = probe.locked && lapsero_here(lock.l_pid) ? lock.l_pid : 0;
  probe.lock_elsewhere = probe.locked && probe.lock_pid == 0;
  close(fd);
  return probe;
}

}  // namespace

bool names_lapsero(std::string_view comm, std::string_view exe) {
  // comm is the name of the file it was started from (/usr/sbin/lapsero
  // gives "lapsero"); the link to the program, where we may read it, also
  // catches one started through a link of another name, and says
  // " (deleted)" once the package has been upgraded under a running one.
  constexpr std::string_view deleted = " (deleted)";
  if (exe.size() > deleted.size() && exe.substr(exe.size() - deleted.size()) == deleted)
    exe.remove_suffix(deleted.size());
  return comm == "lapsero" || exe.substr(exe.rfind('/') + 1) == "lapsero";
}

bool lapsero_here(pid_t pid) {
  if (pid <= 0) return false;
  const std::string proc = "/proc/" + std::to_string(pid);
  char exe[4096];
  const ssize_t got = readlink((proc + "/exe").c_str(), exe, sizeof exe);
  return names_lapsero(proc_line(proc + "/comm"),
                       got > 0 ? std::string_view(exe, static_cast<std::size_t>(got)) : std::string_view());
}

StampProbe probe_stamp(const char* name) {
  struct stat st {};
  if (fstatat(AT_FDCWD, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? no_stamp() : failed(errno);
  StampProbe probe = probe_present(name, st);
  // Gone since the look above: as if it had never been there.
  if (probe.error == ENOENT) return no_stamp();
  probe.owner = st.st_uid;
  return probe;
}
