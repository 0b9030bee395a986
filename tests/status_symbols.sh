#!/bin/sh
# lapsero-status only reads: none of the code that creates, locks or writes
# stamps, or that starts processes, may be linked into it. The common
# library keeps that code out by its sources; this holds it there.
#   status_symbols.sh PATH-TO-LAPSERO-STATUS
set -eu
command -v nm >/dev/null 2>&1 || { echo "nm is missing (package binutils)"; exit 77; }
found=$(nm -C "$1" | grep -E '(^| |::)(open_stamp|check_due|write_stamp|release_stamp|refresh_stamp|build_run_list|fork_or_bail|close_or_bail)\(' || true)
if [ -n "$found" ]; then
  echo "lapsero-status links the scheduler's own code:"
  echo "$found"
  exit 1
fi
