// The GlusterFS hint of --lint: which mounts call for it, read from
// mountinfo lines and client command lines as this machine writes them.
#include <sys/sysmacros.h>

#include <gtest/gtest.h>

#include <string>

#include "status/status.h"

namespace {

using namespace std::string_literals;

// As the kernel wrote them here; the FUSE client's line does not show
// direct-io-mode, whether it was given or not.
constexpr char mountinfo[] =
    "29 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
    "31 29 0:26 / /run rw,nosuid,nodev shared:5 - tmpfs tmpfs rw,size=400k,mode=755\n"
    "47 29 0:41 / /srv/old\\040spool rw,relatime - tmpfs tmpfs rw\n"
    "52 29 0:48 / /mnt/nfs rw,relatime shared:30 - nfs4 filer:/export rw,vers=4.2,hard,proto=tcp\n"
    "72 67 0:42 / /var/spool/lapsero rw,relatime - fuse.glusterfs brickhost:/shared "
    "rw,user_id=0,group_id=0,default_permissions,allow_other,max_read=131072\n"
    "73 67 0:43 / /mnt/two\\040words rw,relatime - fuse.glusterfs brickhost:/shared rw,user_id=0\n"
    "80 29 0:41 / /srv/again rw,relatime - tmpfs tmpfs rw\n";

MountEntry mount_of(unsigned major, unsigned minor) {
  MountEntry entry{};
  EXPECT_TRUE(find_mount(mountinfo, makedev(major, minor), &entry)) << major << ":" << minor;
  return entry;
}

TEST(FindMount, ByDeviceWithEscapesMadePlain) {
  const struct {
    unsigned major, minor;
    const char *point, *type, *source;
  } cases[] = {
      {254, 0, "/", "ext4", "/dev/vda"},
      {0, 26, "/run", "tmpfs", "tmpfs"},
      {0, 48, "/mnt/nfs", "nfs4", "filer:/export"},
      {0, 42, "/var/spool/lapsero", "fuse.glusterfs", "brickhost:/shared"},
      {0, 43, "/mnt/two words", "fuse.glusterfs", "brickhost:/shared"},
      {0, 41, "/srv/again", "tmpfs", "tmpfs"},  // mounted twice: the last one
  };
  for (const auto& c : cases) {
    const MountEntry entry = mount_of(c.major, c.minor);
    EXPECT_EQ(entry.mount_point, c.point);
    EXPECT_EQ(entry.type, c.type);
    EXPECT_EQ(entry.source, c.source);
  }
  MountEntry none{};
  EXPECT_FALSE(find_mount(mountinfo, makedev(0, 99), &none));
  EXPECT_FALSE(parse_mount_line("72 67 0:42 / /mnt rw,relatime fuse.glusterfs brickhost:/shared rw", &none));
}

TEST(ClientEnablesDirectIo, OnlyTheClientOfThatMountPointWithTheOptionOn) {
  const struct {
    std::string cmdline;
    const char* point;
    bool expected;
  } cases[] = {
      {"/usr/sbin/glusterfs\0--direct-io-mode=enable\0--process-name\0fuse\0--volfile-server=brickhost\0"
       "--volfile-id=/shared\0/var/spool/lapsero\0"s,
       "/var/spool/lapsero", true},
      {"/usr/sbin/glusterfs\0--process-name\0fuse\0--volfile-server=brickhost\0--volfile-id=/shared\0"
       "/var/spool/lapsero\0"s,
       "/var/spool/lapsero", false},
      {"/usr/sbin/glusterfs\0--direct-io-mode=disable\0/var/spool/lapsero\0"s, "/var/spool/lapsero", false},
      {"/usr/sbin/glusterfs\0--direct-io-mode=enable\0/mnt/other\0"s, "/var/spool/lapsero", false},
      {"/usr/sbin/glusterfs\0--direct-io-mode=enable\0/mnt/two words\0"s, "/mnt/two words", true},
      {""s, "/var/spool/lapsero", false},
  };
  for (const auto& c : cases) EXPECT_EQ(client_enables_direct_io(c.cmdline, c.point), c.expected) << c.point;
}

TEST(GlusterfsHint, OnlyForGlusterfsWithoutDirectIo) {
  EXPECT_EQ(glusterfs_hint(mount_of(0, 42), false),
            "the spool is on GlusterFS (brickhost:/shared at /var/spool/lapsero) mounted without "
            "direct-io-mode=enable: for each job to run once across the hosts that share the spool, every "
            "host must mount the volume with -o direct-io-mode=enable, and the volume needs `gluster volume "
            "set shared performance.quick-read off'");
  EXPECT_EQ(glusterfs_hint(mount_of(0, 42), true), "");
  // Should a client show the option among the mount's own, it counts.
  MountEntry shown = mount_of(0, 43);
  shown.options += ",direct-io-mode=enable";
  EXPECT_EQ(glusterfs_hint(shown, false), "");
  for (const auto& [major, minor] : {std::pair{254u, 0u}, {0u, 26u}, {0u, 48u}})
    EXPECT_EQ(glusterfs_hint(mount_of(major, minor), false), "") << major << ":" << minor;
}

}  // namespace
