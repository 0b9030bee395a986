/* Preloaded into lapsero by tests that must catch it at one exact moment,
 * which no amount of timing could hit every time. Each behaviour is off
 * unless its variable is set:
 *
 *   LAPSERO_TEST_GATE_LOCK=fifo  the first request for a write lock waits
 *                                until the test has opened the FIFO for
 *                                writing and closed it again: the scheduler
 *                                is held between its read of a stamp and
 *                                its lock request for as long as the test
 *                                wants.
 *   LAPSERO_TEST_LOCK_JITTER=us  every request for a write lock first sleeps
 *                                a random time of up to that many
 *                                microseconds: the stress run widens the
 *                                moment between a scheduler's read of a stamp
 *                                and its lock request, where another
 *                                scheduler may run the job.
 *   LAPSERO_TEST_KILL_AT_UNLINK  the process kills itself with SIGKILL when
 *                                it is about to unlink a file: a scheduler
 *                                killed while a file it made still has a
 *                                name.
 *   LAPSERO_TEST_NO_TMPFILE      an open with O_TMPFILE fails as on a file
 *                                system that cannot make nameless files.
 *
 * Only the entry points lapsero calls are wrapped. */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <unistd.h>

static void* next(const char* name) { return dlsym(RTLD_NEXT, name); }

static int lock_gate_passed = 0;

/* Blocks in the open until the test opens the write end, then in the read
 * until the test closes it. */
static void wait_at_lock_gate(void) {
  const char* gate = getenv("LAPSERO_TEST_GATE_LOCK");
  if (!gate || lock_gate_passed) return;
  lock_gate_passed = 1;
  int (*real_open)(const char*, int, ...) = next("open");
  const int fd = real_open(gate, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char byte;
  while (read(fd, &byte, 1) > 0) continue;
  close(fd);
}

static void jitter_before_lock(void) {
  const char* jitter = getenv("LAPSERO_TEST_LOCK_JITTER");
  if (!jitter) return;
  static unsigned state = 0;
  if (state == 0) state = (unsigned)getpid() * 2654435761u + 1;
  state = state * 1103515245u + 12345u;
  const long most = atol(jitter);
  if (most > 0) usleep((useconds_t)((state >> 8) % (unsigned long)most));
}

int fcntl(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (command == F_SETLK && ((struct flock*)argument)->l_type == F_WRLCK) {
    wait_at_lock_gate();
    jitter_before_lock();
  }
  int (*real_fcntl)(int, int, ...) = next("fcntl");
  return real_fcntl(fd, command, argument);
}

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  if ((flags & O_TMPFILE) == O_TMPFILE && getenv("LAPSERO_TEST_NO_TMPFILE")) {
    errno = EOPNOTSUPP;
    return -1;
  }
  int (*real_open)(const char*, int, ...) = next("open");
  return real_open(path, flags, mode);
}

int unlink(const char* path) {
  if (getenv("LAPSERO_TEST_KILL_AT_UNLINK")) kill(getpid(), SIGKILL);
  int (*real_unlink)(const char*) = next("unlink");
  return real_unlink(path);
}
