// Whom lapsero trusts: the owner and the mode a table or a spool directory
// must have, for root and for another caller.
#include <gtest/gtest.h>

#include <string>

#include "table/table.h"

namespace {

struct stat described(uid_t owner, mode_t mode) {
  struct stat st {};
  st.st_uid = owner;
  st.st_mode = mode;
  return st;
}

TEST(Ownership, RootOrTheCallerOwnsItAndOnlyTheyWriteIt) {
  const struct {
    uid_t owner;
    mode_t mode;
    uid_t caller;
    const char* reason;  // "" when it is trusted
  } cases[] = {
      // The packaged layout, and a user's own table and spool.
      {0, S_IFREG | 0644, 0, ""},
      {0, S_IFDIR | 0755, 0, ""},
      {1000, S_IFREG | 0600, 1000, ""},
      {0, S_IFREG | 0444, 1000, ""},
      // Reading by others is no risk; neither is a set-id or sticky bit.
      {0, S_IFREG | 0604, 0, ""},
      {0, S_IFDIR | 01755, 0, ""},
      // Someone else's file: the caller shown only when it is not root.
      {65534, S_IFREG | 0644, 0, "owned by uid 65534, must be owned by root"},
      {65534, S_IFDIR | 0700, 1000, "owned by uid 65534, must be owned by root or uid 1000"},
      {1000, S_IFREG | 0600, 0, "owned by uid 1000, must be owned by root"},
      // The owner is told first: chmod would not be enough.
      {65534, S_IFREG | 0666, 0, "owned by uid 65534, must be owned by root"},
      // Writable by group or others, sticky bit or not.
      {0, S_IFREG | 0666, 0, "mode 0666, must not be writable by group or others"},
      {0, S_IFREG | 0664, 0, "mode 0664, must not be writable by group or others"},
      {0, S_IFREG | 0646, 1000, "mode 0646, must not be writable by group or others"},
      {0, S_IFDIR | 01777, 0, "mode 1777, must not be writable by group or others"},
      {1000, S_IFDIR | 0775, 1000, "mode 0775, must not be writable by group or others"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.owner << " " << std::oct << c.mode << std::dec << " " << c.caller);
    const OwnershipFault fault = ownership_fault(described(c.owner, c.mode), c.caller);
    EXPECT_EQ(fault.found, *c.reason != '\0');
    EXPECT_EQ(std::string(fault.found ? fault.reason : ""), c.reason);
  }
}

}  // namespace
