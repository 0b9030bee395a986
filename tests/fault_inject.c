/* Preloaded into lapsero or lapsero-status by tests that must catch it at one exact moment,
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
 *   LAPSERO_TEST_REFUSE_RAISE    a request to raise the soft limit of open
 *                                files is refused with EPERM, as where the
 *                                hard limit is above what the kernel allows;
 *                                lowering it is still allowed.
 *   LAPSERO_TEST_FAIL_EXEC       execl fails with ENOENT, so every child of
 *                                the scheduler fails before it is replaced.
 *   LAPSERO_TEST_EXIT_MARK=file  every process that ends through exit()
 *                                (not _exit) appends its pid to the file,
 *                                from an exit handler registered at load.
 *   LAPSERO_TEST_DIRECTORY_AT_OPEN=name
 *                                a read-only open of that path first
 *                                replaces the file by a directory: a stamp
 *                                swapped between a look at it and its open.
 *   LAPSERO_TEST_FSTAT_ERROR=n:name
 *                                every fstat of a file of that name (its
 *                                last path component) fails with errno n.
 *
 * Only the entry points the programs call are wrapped. */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
  const char* swapped = getenv("LAPSERO_TEST_DIRECTORY_AT_OPEN");
  if (swapped && strcmp(path, swapped) == 0 && (flags & O_ACCMODE) == O_RDONLY && !(flags & O_CREAT)) {
    unlink(path);
    mkdir(path, 0700);
  }
  int (*real_open)(const char*, int, ...) = next("open");
  return real_open(path, flags, mode);
}

/* Whether descriptor fd is open on a file whose last path component is name. */
static int names_file(int fd, const char* name) {
  char link[64], path[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, path, sizeof path - 1);
  if (length < 0) return 0;
  path[length] = '\0';
  const char* last = strrchr(path, '/');
  return strcmp(last ? last + 1 : path, name) == 0;
}

int fstat(int fd, struct stat* status) {
  const char* error = getenv("LAPSERO_TEST_FSTAT_ERROR");
  const char* name = error ? strchr(error, ':') : NULL;
  if (name && names_file(fd, name + 1)) {
    errno = atoi(error);
    return -1;
  }
  int (*real_fstat)(int, struct stat*) = next("fstat");
  return real_fstat(fd, status);
}

int unlink(const char* path) {
  if (getenv("LAPSERO_TEST_KILL_AT_UNLINK")) kill(getpid(), SIGKILL);
  int (*real_unlink)(const char*) = next("unlink");
  return real_unlink(path);
}

int setrlimit(__rlimit_resource_t resource, const struct rlimit* limit) {
  struct rlimit now;
  if (resource == RLIMIT_NOFILE && getenv("LAPSERO_TEST_REFUSE_RAISE") && getrlimit(resource, &now) == 0 &&
      limit->rlim_cur > now.rlim_cur) {
    errno = EPERM;
    return -1;
  }
  int (*real_setrlimit)(__rlimit_resource_t, const struct rlimit*) = next("setrlimit");
  return real_setrlimit(resource, limit);
}

int execl(const char* path, const char* arg, ...) {
  if (getenv("LAPSERO_TEST_FAIL_EXEC")) {
    errno = ENOENT;
    return -1;
  }
  /* lapsero passes at most four arguments after the first. */
  va_list args;
  va_start(args, arg);
  char* argv[8] = {(char*)arg};
  for (int i = 1; i < 7 && (argv[i] = va_arg(args, char*)); ++i) continue;
  va_end(args);
  argv[7] = NULL;
  extern char** environ;
  return execve(path, argv, environ);
}

static void mark_exit(void) {
  const char* mark = getenv("LAPSERO_TEST_EXIT_MARK");
  if (!mark) return;
  int (*real_open)(const char*, int, ...) = next("open");
  const int fd = real_open(mark, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[32];
  const int length = snprintf(line, sizeof line, "%ld\n", (long)getpid());
  if (length > 0) (void)!write(fd, line, (size_t)length);
  close(fd);
}

__attribute__((constructor)) static void register_exit_mark(void) {
  if (getenv("LAPSERO_TEST_EXIT_MARK")) atexit(mark_exit);
}
