// Whom lapsero trusts with what it runs.
//
// lapsero runs every command of its table as the user who started it, root
// under the timer and the cron file. Whoever may write the table, or owns
// it and so may chmod it, runs commands as that user; whoever may write in
// the spool directory can plant today's date in a stamp and skip a job, or
// a directory or a FIFO named like a job and end every run at its due test.
// So both must belong to root or to the user running lapsero, and neither
// group nor others may write them; a sticky bit is no help, since a stamp
// not yet made can still be planted. Only reading by others stays allowed.

#include <cstdio>

#include <unistd.h>

#include "base/diagnostics.h"

#include "table/table.h"

OwnershipFault ownership_fault(const struct stat& st, uid_t caller) {
  OwnershipFault fault{};
  if (st.st_uid != 0 && st.st_uid != caller) {
    fault.found = true;
    if (caller == 0)
      std::snprintf(fault.reason, sizeof fault.reason, "owned by uid %u, must be owned by root",
                    static_cast<unsigned>(st.st_uid));
    else
      std::snprintf(fault.reason, sizeof fault.reason, "owned by uid %u, must be owned by root or uid %u",
                    static_cast<unsigned>(st.st_uid), static_cast<unsigned>(caller));
  } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    fault.found = true;
    std::snprintf(fault.reason, sizeof fault.reason, "mode %04o, must not be writable by group or others",
                  static_cast<unsigned>(st.st_mode & 07777));
  }
  return fault;
}

OwnershipFault spool_fault() {
  struct stat st {};
  if (stat(".", &st) != 0) bail_sys("Can't stat %s", settings.spool_dir);
  return ownership_fault(st, getuid());
}
