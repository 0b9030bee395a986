/* A recording stand-in for /usr/sbin/sendmail.
 *
 * Each call claims the next free directory FAKE_SENDMAIL_DIR/mail.N and
 * records there what it was given: "args" (each argument, argv[0] included,
 * followed by a NUL), "cwd", "fds" (the open descriptors, one per line, as
 * found at start), "nofile" (its soft limit on open descriptors) and "stdin"
 * (all of standard input). It then exits with
 * FAKE_SENDMAIL_EXIT (default 0). Written in C so that tests which disturb
 * the shell leave it working. */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

static void record(const char* dir, const char* name, const char* data, size_t size) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) exit(74);
  while (size > 0) {
    ssize_t put = write(fd, data, size);
    if (put <= 0) exit(74);
    data += put;
    size -= (size_t)put;
  }
  close(fd);
}

int main(int argc, char** argv) {
  /* The descriptors first, before this program opens any of its own. */
  char fds[4096] = "";
  DIR* self = opendir("/proc/self/fd");
  if (self) {
    struct dirent* entry;
    while ((entry = readdir(self)) != NULL) {
      if (entry->d_name[0] == '.' || atoi(entry->d_name) == dirfd(self)) continue;
      strncat(fds, entry->d_name, sizeof fds - strlen(fds) - 2);
      strcat(fds, "\n");
    }
    closedir(self);
  }

  const char* base = getenv("FAKE_SENDMAIL_DIR");
  if (!base) return 75;
  char dir[4096];
  for (int n = 1;; ++n) {
    snprintf(dir, sizeof dir, "%s/mail.%d", base, n);
    if (mkdir(dir, 0755) == 0) break;
    if (errno != EEXIST) return 74;
  }

  size_t args_size = 0;
  for (int i = 0; i < argc; ++i) args_size += strlen(argv[i]) + 1;
  char *args = malloc(args_size + 1), *at = args;
  for (int i = 0; i < argc; ++i) {
    size_t size = strlen(argv[i]) + 1;
    memcpy(at, argv[i], size);
    at += size;
  }
  record(dir, "args", args, args_size);
  free(args);

  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) strcpy(cwd, "?");
  record(dir, "cwd", cwd, strlen(cwd));
  record(dir, "fds", fds, strlen(fds));
  struct rlimit nofile;
  char limit[32] = "?";
  if (getrlimit(RLIMIT_NOFILE, &nofile) == 0)
    snprintf(limit, sizeof limit, "%llu", (unsigned long long)nofile.rlim_cur);
  record(dir, "nofile", limit, strlen(limit));

  size_t size = 0, room = 65536;
  char* input = malloc(room);
  for (;;) {
    if (size == room) input = realloc(input, room *= 2);
    ssize_t got = read(0, input + size, room - size);
    if (got <= 0) break;
    size += (size_t)got;
  }
  record(dir, "stdin", input, size);
  free(input);

  const char* code = getenv("FAKE_SENDMAIL_EXIT");
  return code ? atoi(code) : 0;
}
