// Writing what lapsero-status prints, checked to the end.
//
// A listing or a metrics file cut short reads as a whole one with fewer
// jobs, so a write that fails must fail the program. Standard output is
// written in full, then closed, and each step is checked: a full disk may
// only show at the close, and a pipe or a file that takes the first 4 KiB
// shows nothing at a flush that has nothing left to flush.
//
// --output=FILE serves a reader that may look at FILE at any moment (the
// node exporter's textfile collector): the text goes to a new hidden file
// in FILE's directory, named ".NAME.XXXXXX" so that a collector reading
// only *.prom never sees it, is synced and made mode 0644, and only then
// renamed over FILE, which so holds either the old text or the whole new
// one. Any failure removes the new file and leaves FILE as it was.

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/diagnostics.h"
#include "status/status.h"

namespace {

/// Writes all of text; false with errno on the first failure.
bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return false;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

/// Writes the new file and renames it over the target; false with errno,
/// and the new file removed, on any failure.
bool replace_file(const OutputFile& output, std::string_view text, char* temporary) {
  const int fd = mkostemp(temporary, O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = write_all(fd, text) && fsync(fd) == 0 && fchmod(fd, 0644) == 0;
  int error = errno;
  // A failed close can be the first report of a failed write.
  const bool closed = close(fd) == 0;
  if (written && !closed) error = errno;
  if (written && closed && rename(temporary, output.name) == 0) {
    // The rename itself reaches the disk with the directory; a failure
    // here leaves the new text in place all the same.
    fsync(output.dir_fd);
    return true;
  }
  if (written && closed) error = errno;
  unlink(temporary);
  errno = error;
  return false;
}

}  // namespace

OutputFile output_file(const char* path, int start_dir_fd) {
  const char* slash = std::strrchr(path, '/');
  const std::string dir = !slash ? "." : slash == path ? "/" : std::string(path, slash);
  OutputFile output{path, slash ? slash + 1 : path, -1};
  if (!*output.name) {
    errno = EISDIR;
    bail_sys("Can't write to %s", path);
  }
  output.dir_fd = openat(start_dir_fd, dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (output.dir_fd < 0) bail_sys("Can't open the directory of %s", path);
  return output;
}

void write_output(std::string_view text, const OutputFile& output, const char* what) {
  if (!output.path) {
    if (!write_all(STDOUT_FILENO, text) || close(STDOUT_FILENO) != 0) bail_sys("Can't write %s", what);
    return;
  }
  // Named before anything is created: nothing that may fail on memory
  // stands between the new file's creation and its removal.
  std::string temporary = "." + std::string(output.name) + ".XXXXXX";
  // The stamps are read: the working directory serves no one any more.
  if (fchdir(output.dir_fd) != 0) bail_sys("Can't write %s to %s", what, output.path);
  if (!replace_file(output, text, temporary.data())) bail_sys("Can't write %s to %s", what, output.path);
  close(output.dir_fd);
}
