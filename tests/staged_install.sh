#!/bin/sh
# Installs the build into scratch directories with DESTDIR, as a packager
# would, and checks where everything lands.
# Usage: staged_install.sh build-directory
build=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0

fail() { echo "FAIL: $*" >&2; status=1; }
# A umask that would leave a directory made by mkdir unreadable to others:
# the install must set the spool's mode itself.
install_into() {  # destdir prefix
  (umask 077 && DESTDIR=$1 cmake --install "$build" --prefix "$2" >/dev/null) ||
    fail "cmake --install --prefix $2 into $1"
}
option_on() { grep -q "^$1:BOOL=ON" "$build/CMakeCache.txt"; }
mode_of() { stat -c %a "$1" 2>/dev/null; }
# What this test checks is the whole install, the listing included.
option_on LAPSERO_STATUS || { echo "SKIP: lapsero-status is not built (LAPSERO_STATUS=OFF)"; exit 77; }
expect_file() { [ -f "$1" ] || fail "missing $1"; }
expect_line() {  # file line
  grep -qxF -- "$2" "$1" 2>/dev/null || fail "$1 lacks the line: $2"
}

# Everything in its place, under prefix /usr.
d=$scratch/usr-prefix
install_into "$d" /usr
[ -x "$d/usr/sbin/lapsero" ] || fail "no executable $d/usr/sbin/lapsero"
# lapsero needs the C library alone: it is written against it. The
# listing needs the C++ runtime, shared so that its security fixes reach
# it, and the journal's library. A sanitizer build needs its runtimes, and
# is not what is shipped.
needed() {  # program: its NEEDED libraries, sorted, on one line
  readelf -d "$d/usr/sbin/$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -vx 'ld-linux-x86-64.so.2' |
    sort | tr '\n' ' '
}
if ! option_on LAPSERO_SANITIZE; then
  [ "$(needed lapsero)" = "libc.so.6 " ] || fail "lapsero needs more than the C library: $(needed lapsero)"
  [ "$(needed lapsero-status)" = "libc.so.6 libgcc_s.so.1 libstdc++.so.6 libsystemd.so.0 " ] ||
    fail "lapsero-status does not need exactly libc, the C++ runtime and libsystemd: $(needed lapsero-status)"
fi
[ -x "$d/usr/sbin/lapsero-status" ] || fail "no executable $d/usr/sbin/lapsero-status"
expect_file "$d/usr/share/man/man8/lapsero.8"
expect_file "$d/usr/share/man/man8/lapsero-status.8"
expect_file "$d/usr/share/man/man5/lapserotab.5"
expect_file "$d/usr/share/man/man7/lapsero-design.7"
cmp -s "$d/etc/lapserotab" "$source_dir/dist/lapserotab" ||
  fail "$d/etc/lapserotab is not dist/lapserotab"
[ "$(mode_of "$d/etc/lapserotab")" = 644 ] || fail "/etc/lapserotab mode $(mode_of "$d/etc/lapserotab")"
[ -d "$d/var/spool/lapsero" ] || fail "no spool directory"
[ "$(mode_of "$d/var/spool/lapsero")" = 755 ] || fail "spool mode $(mode_of "$d/var/spool/lapsero")"
if [ "$(id -u)" = 0 ] && [ "$(stat -c %u:%g "$d/var/spool/lapsero")" != 0:0 ]; then
  fail "spool not owned by root"
fi
if option_on LAPSERO_INSTALL_SYSTEMD; then
  expect_line "$d/usr/lib/systemd/system/lapsero.service" "ExecStart=/usr/sbin/lapsero -d"
  expect_line "$d/usr/lib/systemd/system/lapsero.service" "StandardError=null"
  # Jobs get root's USER, LOGNAME and HOME and SHELL=/bin/sh, and a stop
  # waits for a long backup longer than systemd's default of 90 s.
  expect_line "$d/usr/lib/systemd/system/lapsero.service" "User=root"
  expect_line "$d/usr/lib/systemd/system/lapsero.service" "Environment=SHELL=/bin/sh"
  expect_line "$d/usr/lib/systemd/system/lapsero.service" "KillSignal=SIGUSR1"
  expect_line "$d/usr/lib/systemd/system/lapsero.service" "TimeoutStopSec=30min"
  expect_line "$d/usr/lib/systemd/system/lapsero.timer" "WantedBy=timers.target"
  expect_line "$d/usr/lib/systemd/system/lapsero.timer" "Persistent=true"
fi
# lapsero(8) points to copies of both units in the documentation
# directory, for hosts that install them by hand: they must be the units
# that are installed, program path included.
for unit in lapsero.service lapsero.timer; do
  expect_file "$d/usr/share/doc/lapsero/examples/$unit"
  if option_on LAPSERO_INSTALL_SYSTEMD; then
    cmp -s "$d/usr/share/doc/lapsero/examples/$unit" "$d/usr/lib/systemd/system/$unit" ||
      fail "examples/$unit is not the installed $unit"
  fi
done
if option_on LAPSERO_INSTALL_CRON; then
  expect_line "$d/etc/cron.d/lapsero" \
    "@reboot		root	if test -x /usr/sbin/lapsero && test ! -d /run/systemd/system; then /usr/sbin/lapsero; fi"
fi
# The documentation: the README, the example table, and debian/copyright,
# the package's copyright file in Debian's machine-readable format. It is a
# second copy of LICENSE, kept by hand: its copyright line and its licence
# text must be those of LICENSE, whole.
doc=$d/usr/share/doc/lapsero
cmp -s "$doc/README.md" "$source_dir/README.md" || fail "$doc/README.md is not README.md"
cmp -s "$doc/examples/lapserotab" "$source_dir/examples/lapserotab" ||
  fail "$doc/examples/lapserotab is not examples/lapserotab"
expect_line "$doc/copyright" "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
expect_line "$doc/copyright" "Files: *"
expect_line "$doc/copyright" "Copyright: $(sed -n '1s/^Copyright (c) //p' "$source_dir/LICENSE")"
sed -n '/^License: Expat$/,$p' "$doc/copyright" | sed '1d; s/^ //; s/^\.$//' >"$scratch/licence"
sed '1,/^$/d' "$source_dir/LICENSE" | cmp -s - "$scratch/licence" ||
  fail "the License paragraph of $doc/copyright is not the licence text of LICENSE"
[ "$(mode_of "$doc/copyright")" = 644 ] || fail "copyright mode $(mode_of "$doc/copyright")"

# The installed programs accept the installed table; the listing shows the
# header alone, as every line of that table is a comment or a setting.
"$d/usr/sbin/lapsero" -T -t "$d/etc/lapserotab" -S "$d/var/spool/lapsero" ||
  fail "lapsero -T rejects the installed table"
listing=$("$d/usr/sbin/lapsero-status" -t "$d/etc/lapserotab" -S "$d/var/spool/lapsero") ||
  fail "lapsero-status fails on the installed table"
[ "$listing" = "JOB  PERIOD  DELAY  LAST RUN  LAST RESULT  NEXT DUE  STATE" ] ||
  fail "lapsero-status lists the installed table as: $listing"

# The table and the spool stay absolute whatever the prefix; the program
# path in the units follows the prefix given at install time.
d=$scratch/opt-prefix
install_into "$d" /opt/lapsero
[ -x "$d/opt/lapsero/sbin/lapsero" ] || fail "no executable under /opt/lapsero/sbin"
[ -x "$d/opt/lapsero/sbin/lapsero-status" ] || fail "no lapsero-status under /opt/lapsero/sbin"
expect_file "$d/etc/lapserotab"
expect_file "$d/opt/lapsero/share/doc/lapsero/copyright"
[ -d "$d/var/spool/lapsero" ] || fail "no /var/spool/lapsero with prefix /opt/lapsero"
for misplaced in opt/lapsero/etc opt/lapsero/var usr/local/etc; do
  [ ! -e "$d/$misplaced" ] || fail "$misplaced exists with prefix /opt/lapsero"
done
if option_on LAPSERO_INSTALL_SYSTEMD; then
  expect_line "$d/opt/lapsero/lib/systemd/system/lapsero.service" \
    "ExecStart=/opt/lapsero/sbin/lapsero -d"
fi

# A second install keeps an edited table and the stamps, and puts the
# spool's mode right again.
d=$scratch/usr-prefix
echo "1 0 mine true" >>"$d/etc/lapserotab"
cp "$d/etc/lapserotab" "$scratch/edited"
echo 20240305 >"$d/var/spool/lapsero/mine"
chmod 700 "$d/var/spool/lapsero"
install_into "$d" /usr
cmp -s "$d/etc/lapserotab" "$scratch/edited" || fail "a second install replaced the edited table"
expect_line "$d/var/spool/lapsero/mine" 20240305
[ "$(mode_of "$d/var/spool/lapsero")" = 755 ] || fail "second install left spool mode $(mode_of "$d/var/spool/lapsero")"

# A distributor's plain configuration builds without -Werror, so that a
# warning a newer compiler adds cannot break it; the option turns it on.
for werror in default ON; do
  options=-DLAPSERO_TESTS=OFF
  [ $werror = ON ] && options="$options -DLAPSERO_WERROR=ON"
  rm -rf "$scratch/configure"
  if ! env -u CFLAGS -u CXXFLAGS -u CPPFLAGS cmake -S "$source_dir" -B "$scratch/configure" $options \
      >"$scratch/configure.log" 2>&1; then
    cat "$scratch/configure.log" >&2
    fail "cmake $options"
    continue
  fi
  grep -q '"command":' "$scratch/configure/compile_commands.json" ||
    { fail "no compile commands with $options"; continue; }
  if grep -Eq -- '-Werror( |")' "$scratch/configure/compile_commands.json"; then
    [ $werror = ON ] || fail "a default configuration compiles with -Werror"
  else
    [ $werror = default ] || fail "-DLAPSERO_WERROR=ON compiles without -Werror"
  fi
done

exit $status
