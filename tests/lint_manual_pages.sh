#!/bin/sh
# Lints manual pages: mandoc must exit with status 0, and groff must print
# nothing on standard error, whose exit status says nothing about warnings.
# groff runs twice: for its default device and for a terminal, where lines
# are shorter and some warnings show only there.
#
# Then each page, rendered for an 80-column terminal, must stay within its
# length: the pages are meant to be read in a few minutes, and details
# belong in lapsero-design(7), with a pointer. Both renderers count, mandoc
# and man (groff), where man is installed; their counts differ by a few
# lines.
# Usage: lint_manual_pages.sh page...
for tool in mandoc groff; do
  command -v $tool >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done

# The most rendered lines a page may have, by its file name.
limit_of() {
  case $(basename "$1") in
    lapsero.8) echo 300 ;;
    lapserotab.5) echo 190 ;;
    lapsero-status.8) echo 280 ;;
    lapsero-design.7) echo 400 ;;
    *) echo 0 ;;
  esac
}

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

  limit=$(limit_of "$page")
  if [ "$limit" = 0 ]; then
    echo "FAIL: no length limit for $page" >&2
    failed=1
    continue
  fi
  lines=$(mandoc -T utf8 -O width=80 "$page" | wc -l)
  if [ "$lines" -gt "$limit" ]; then
    echo "FAIL: $page is $lines lines at 80 columns with mandoc, more than $limit" >&2
    failed=1
  fi
  if command -v man >/dev/null; then
    lines=$(MANWIDTH=80 man -l "$page" 2>/dev/null | wc -l)
    if [ "$lines" = 0 ]; then
      echo "FAIL: man -l $page rendered nothing" >&2
      failed=1
    elif [ "$lines" -gt "$limit" ]; then
      echo "FAIL: $page is $lines lines at 80 columns with man, more than $limit" >&2
      failed=1
    fi
  fi
done
exit $failed
