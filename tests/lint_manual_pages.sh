#!/bin/sh
# Lints manual pages: mandoc must exit with status 0, and groff must print
# nothing on standard error, whose exit status says nothing about warnings.
# groff runs twice: for its default device and for a terminal, where lines
# are shorter and some warnings show only there.
# Usage: lint_manual_pages.sh page...
for tool in mandoc groff; do
  command -v $tool >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
failed=0
for page in "$@"; do
  if ! mandoc -T lint "$page"; then
    echo "FAIL: mandoc -T lint $page" >&2
    failed=1
  fi
  for device in "" -Tutf8; do
    warnings=$(groff -man -ww -z $device "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
      printf '%s\n' "$warnings" >&2
      echo "FAIL: groff -man -ww -z $device $page" >&2
      failed=1
    fi
  done
done
exit $failed
