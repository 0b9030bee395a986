// The hint for a spool shared through GlusterFS without the settings that
// make a job run once across hosts.
//
// Locks are shared by every client of a GlusterFS volume, but a client
// whose lock has just been granted may still read the stamp as it was
// before another host wrote it: from the FUSE page cache, unless the
// volume is mounted with direct-io-mode=enable, and from the volume's
// quick-read translator, unless it is off. lapsero would then run the job
// again. The mount is found in /proc/self/mountinfo by the spool's device;
// the FUSE client does not show direct-io-mode among the mount's options
// there, so the option is read from the client's command line
// (mount.glusterfs starts it as "glusterfs --direct-io-mode=enable ...
// MOUNTPOINT"). A client that cannot be found, in another namespace, say,
// counts as one without the option. Whether quick-read is off is the
// volume's business and cannot be seen from here: the hint names both.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "status/status.h"

namespace {

/// The next blank-separated field of a mountinfo line, taken off the line.
std::string_view next_field(std::string_view& line) {
  const auto start = line.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(start);
  const auto end = std::min(line.find(' '), line.size());
  const std::string_view field = line.substr(0, end);
  line.remove_prefix(end);
  return field;
}

/// A path as the kernel writes it into mountinfo, with " ", tab, newline
/// and backslash as octal escapes ("\040"), made plain.
std::string unescape(std::string_view text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const std::string_view digits = text.substr(i + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string_view::npos) {
        plain += static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0'));
        i += 3;
        continue;
      }
    }
    plain += text[i];
  }
  return plain;
}

bool enables(std::string_view value) {
  for (const char* yes : {"enable", "on", "yes", "true", "1"})
    if (value == yes) return true;
  return false;
}

/// Whether a comma-separated option list holds direct-io-mode=enable.
bool option_enables_direct_io(std::string_view options) {
  constexpr std::string_view name = "direct-io-mode=";
  while (!options.empty()) {
    const auto end = std::min(options.find(','), options.size());
    const std::string_view option = options.substr(0, end);
    if (option.substr(0, name.size()) == name && enables(option.substr(name.size()))) return true;
    options.remove_prefix(std::min(end + 1, options.size()));
  }
  return false;
}

}  // namespace

bool parse_mount_line(std::string_view line, MountEntry* entry) {
  next_field(line);  // mount id
  next_field(line);  // parent id
  const std::string devices(next_field(line));
  next_field(line);  // root within the file system
  const std::string_view point = next_field(line);
  const std::string_view mount_options = next_field(line);
  // Optional fields, up to the lone "-".
  std::string_view field;
  while (!(field = next_field(line)).empty() && field != "-") continue;
  if (field != "-") return false;
  const std::string_view type = next_field(line), source = next_field(line), super_options = next_field(line);
  unsigned major = 0, minor = 0;
  if (std::sscanf(devices.c_str(), "%u:%u", &major, &minor) != 2 || point.empty() || type.empty())
    return false;
  entry->device = makedev(major, minor);
  entry->mount_point = unescape(point);
  entry->type = std::string(type);
  entry->source = unescape(source);
  entry->options = std::string(mount_options) + "," + std::string(super_options);
  return true;
}

bool find_mount(std::string_view mountinfo, dev_t device, MountEntry* entry) {
  // Mounted over more than once: the last one is what a path reaches.
  bool found = false;
  while (!mountinfo.empty()) {
    const auto end = std::min(mountinfo.find('\n'), mountinfo.size());
    MountEntry candidate;
    if (parse_mount_line(mountinfo.substr(0, end), &candidate) && candidate.device == device) {
      *entry = candidate;
      found = true;
    }
    mountinfo.remove_prefix(std::min(end + 1, mountinfo.size()));
  }
  return found;
}

bool client_enables_direct_io(std::string_view cmdline, std::string_view mount_point) {
  // Arguments end in NUL bytes; the mount point is the last of them.
  if (!cmdline.empty() && cmdline.back() == '\0') cmdline.remove_suffix(1);
  const auto last = cmdline.rfind('\0');
  if (last == std::string_view::npos || cmdline.substr(last + 1) != mount_point) return false;
  constexpr std::string_view name = "--direct-io-mode=";
  for (std::string_view rest = cmdline.substr(0, last); !rest.empty();) {
    const auto end = std::min(rest.find('\0'), rest.size());
    const std::string_view argument = rest.substr(0, end);
    if (argument.substr(0, name.size()) == name && enables(argument.substr(name.size()))) return true;
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return false;
}

std::string glusterfs_hint(const MountEntry& mount, bool client_direct_io) {
  if (mount.type != "fuse.glusterfs" || client_direct_io || option_enables_direct_io(mount.options))
    return {};
  // The source is "HOST:/VOLUME" (or "HOST:VOLUME").
  std::string volume = mount.source.substr(mount.source.find(':') + 1);
  if (!volume.empty() && volume[0] == '/') volume.erase(0, 1);
  if (volume.empty()) volume = "VOLUME";
  return "the spool is on GlusterFS (" + mount.source + " at " + mount.mount_point +
         ") mounted without direct-io-mode=enable: for each job to run once across the hosts that share "
         "the spool, every host must mount the volume with -o direct-io-mode=enable, and the volume needs "
         "`gluster volume set " +
         volume + " performance.quick-read off'";
}

namespace {

std::string whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

/// Whether a running GlusterFS client serving this mount point was started
/// with direct-io-mode=enable.
bool running_client_enables_direct_io(const std::string& mount_point) {
  DIR* const proc = opendir("/proc");
  if (!proc) return false;
  bool enabled = false;
  while (const dirent* entry = readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (whole_file("/proc/" + pid + "/comm") != "glusterfs\n") continue;
    if (client_enables_direct_io(whole_file("/proc/" + pid + "/cmdline"), mount_point)) enabled = true;
  }
  closedir(proc);
  return enabled;
}

}  // namespace

std::string spool_mount_hint() {
  struct stat spool {};
  if (stat(".", &spool) != 0) return {};
  MountEntry mount;
  if (!find_mount(whole_file("/proc/self/mountinfo"), spool.st_dev, &mount) || mount.type != "fuse.glusterfs")
    return {};
  return glusterfs_hint(mount, running_client_enables_direct_io(mount.mount_point));
}
