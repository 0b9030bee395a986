#!/bin/sh
# Checks the Debian package: what its maintainer scripts do to the stamps and
# the timer, then, where the dpkg tools are installed, the package that cpack
# builds, lintian on it included.
# Usage: debian_package.sh build-directory
build=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
scripts=$source_dir/dist/debian
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0

fail() { echo "FAIL: $*" >&2; status=1; }

# Spies for the tools that talk to the running system: each call is recorded
# in $SPY_LOG. The fake deb-systemd-helper answers was-enabled with
# $WAS_ENABLED; it stands in for the real one only where the scripts run
# without DPKG_ROOT, against what would be the host.
spies=$scratch/spies
mkdir -p "$spies/running" "$spies/rooted"
for tool in systemctl deb-systemd-invoke deb-systemd-helper; do
  cat >"$spies/running/$tool" <<'SPY'
#!/bin/sh
echo "${0##*/} $*" >>"$SPY_LOG"
case "$*" in *was-enabled*) [ "$WAS_ENABLED" = yes ] ;; esac
SPY
  chmod +x "$spies/running/$tool"
  [ $tool = deb-systemd-helper ] || cp "$spies/running/$tool" "$spies/rooted/$tool"
done
export SPY_LOG=$scratch/spy.log WAS_ENABLED=yes

# The scripts only talk to systemd where /run/systemd/system exists. Where
# this test may mount, each script runs in a mount namespace of its own with
# a /run that has it, as on a host booted with systemd.
if unshare --mount -- sh -c 'mount -t tmpfs run /run' 2>/dev/null; then
  systemd_host=yes
else
  systemd_host=no
fi
as_on_systemd_host() {  # command...
  if [ $systemd_host = yes ]; then
    unshare --mount -- sh -c 'mount -t tmpfs run /run && mkdir -p /run/systemd/system && exec "$@"' sh "$@"
  else
    "$@"
  fi
}

# The maintainer scripts against a scratch root through DPKG_ROOT: the real
# deb-systemd-helper keeps the timer's state in that root, and nothing may
# reach the running system.
root=$scratch/root
mkdir -p "$root/var/spool/lapsero" "$root/usr/lib/systemd/system"
cp "$source_dir/dist/lapsero.timer" "$root/usr/lib/systemd/system/"
echo 20240305 >"$root/var/spool/lapsero/backup"
: >"$SPY_LOG"
run_script() {  # script argument...
  script=$1; shift
  as_on_systemd_host env DPKG_ROOT="$root" DPKG_MAINTSCRIPT_PACKAGE=lapsero \
    DPKG_MAINTSCRIPT_NAME="$script" PATH="$spies/rooted:$PATH" sh "$scripts/$script" "$@" ||
    fail "$script $* exited with $?"
}
# What systemctl disable and enable do to this timer.
wants=$root/etc/systemd/system/timers.target.wants/lapsero.timer
timer_enabled() { [ -L "$wants" ]; }
disable_timer() { rm -f "$wants"; }
enable_timer() { ln -sf /usr/lib/systemd/system/lapsero.timer "$wants"; }

run_script postinst configure
timer_enabled || fail "postinst configure did not enable the timer"
# The administrator's choice holds across an upgrade, a removal and a
# reinstallation, either way.
for choice in disabled enabled; do
  [ $choice = disabled ] && disable_timer
  [ $choice = enabled ] && enable_timer
  run_script postinst configure 0.1
  run_script prerm upgrade 0.2
  run_script postrm upgrade 0.2
  run_script prerm remove
  run_script postrm remove
  [ -f "$root/var/spool/lapsero/backup" ] || fail "postrm remove deleted a stamp"
  run_script postinst configure 0.1
  if timer_enabled; then
    [ $choice = enabled ] || fail "the disabled timer came back enabled"
  else
    [ $choice = disabled ] || fail "the enabled timer came back disabled"
  fi
done
run_script prerm remove
run_script postrm remove
run_script postrm purge
[ ! -e "$root/var/spool/lapsero" ] || fail "postrm purge left the spool behind"
leftovers=$(find "$root/etc" "$root/var/lib" -name '*lapsero*' 2>/dev/null)
[ -z "$leftovers" ] || fail "postrm purge left the timer's state: $leftovers"
[ ! -s "$SPY_LOG" ] || fail "with DPKG_ROOT set, the scripts ran: $(cat "$SPY_LOG")"

# Without DPKG_ROOT, on a host booted with systemd: the timer is enabled and
# started on installation, restarted on upgrade, stopped on removal only,
# and lapsero.service, which would start a run, is never touched. Every
# tool is a spy here, so that the host is not changed; postrm purge, which
# would delete the host's spool, is left to the dpkg runs below.
calls() {  # script argument...: runs it, its calls end up in $SPY_LOG
  : >"$SPY_LOG"
  as_on_systemd_host env PATH="$spies/running:$PATH" sh "$scripts/$@" ||
    fail "$* exited with $? on the running system"
  cat "$SPY_LOG" >>"$scratch/all-calls"
}
expect_call() {  # call context
  grep -qxF -- "$1" "$SPY_LOG" || fail "$2 did not call: $1 (but: $(tr '\n' ';' <"$SPY_LOG"))"
}
if [ $systemd_host = yes ]; then
  : >"$scratch/all-calls"
  calls postinst configure
  expect_call "deb-systemd-helper enable lapsero.timer" "postinst configure"
  expect_call "deb-systemd-invoke start lapsero.timer" "postinst configure"
  calls postinst configure 0.1
  expect_call "deb-systemd-invoke restart lapsero.timer" "postinst configure 0.1"
  WAS_ENABLED=no
  calls postinst configure 0.1
  WAS_ENABLED=yes
  expect_call "deb-systemd-helper update-state lapsero.timer" "postinst with the timer disabled"
  grep -q "helper enable" "$SPY_LOG" && fail "postinst enabled a timer the administrator disabled"
  calls prerm upgrade 0.2
  [ ! -s "$SPY_LOG" ] || fail "prerm upgrade called: $(tr '\n' ';' <"$SPY_LOG")"
  calls prerm remove
  expect_call "deb-systemd-invoke stop lapsero.timer" "prerm remove"
  calls postrm remove
  expect_call "systemctl --system daemon-reload" "postrm remove"
  grep 'lapsero\.service' "$scratch/all-calls" >&2 && fail "a script touched lapsero.service"
  grep '^systemctl' "$scratch/all-calls" | grep -v '^systemctl --system daemon-reload$' >&2 &&
    fail "a script calls systemctl for more than daemon-reload"
else
  echo "SKIP (only this step): cannot mount a /run with systemd/system" >&2
fi

for tool in cpack dpkg-deb dpkg-shlibdeps; do
  command -v $tool >/dev/null || { echo "SKIP: no $tool" >&2; [ $status = 0 ] && exit 77; exit 1; }
done
if ! (cd "$build" && umask 022 && cpack -G DEB -B "$scratch/package" >"$scratch/cpack.log" 2>&1); then
  cat "$scratch/cpack.log" >&2
  fail "cpack -G DEB"
  exit 1
fi
deb=$(ls "$scratch"/package/lapsero_*.deb)

# Debian's own checker must find no error and no warning.
if ! command -v lintian >/dev/null; then
  fail "no lintian to check the package (./dev.sh check installs it)"
elif ! lintian --fail-on error,warning "$deb" >"$scratch/lintian.out" 2>"$scratch/lintian.err"; then
  cat "$scratch/lintian.out" "$scratch/lintian.err" >&2
  fail "lintian found errors or warnings in the package"
fi
dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }' >"$scratch/contents"
dpkg-deb -e "$deb" "$scratch/control"

expect_entry() {  # mode owner path
  grep -qxF -- "$1 $2 $3" "$scratch/contents" || fail "package lacks: $1 $2 $3"
}
expect_entry -rwxr-xr-x root/root ./usr/sbin/lapsero
expect_entry -rwxr-xr-x root/root ./usr/sbin/lapsero-status
expect_entry -rw-r--r-- root/root ./usr/share/man/man8/lapsero-status.8.gz
expect_entry -rw-r--r-- root/root ./etc/lapserotab
expect_entry drwxr-xr-x root/root ./var/spool/lapsero/
expect_entry -rw-r--r-- root/root ./usr/share/man/man8/lapsero.8.gz
expect_entry -rw-r--r-- root/root ./usr/share/man/man5/lapserotab.5.gz
for doc in copyright changelog.gz README.md examples/lapserotab; do
  expect_entry -rw-r--r-- root/root ./usr/share/doc/lapsero/$doc
done
awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" { print "FAIL: directory mode", $1, $3 }' \
  "$scratch/contents" | grep . >&2 && status=1

# Every file under /etc is a conffile, and every conffile is in the package.
grep -o '\./etc/.*[^/]$' "$scratch/contents" | sed 's/^\.//' | sort >"$scratch/etc-files"
sort "$scratch/control/conffiles" >"$scratch/conffiles"
cmp -s "$scratch/etc-files" "$scratch/conffiles" ||
  fail "conffiles ($(tr '\n' ' ' <"$scratch/conffiles")) differ from the files in /etc ($(tr '\n' ' ' <"$scratch/etc-files"))"
grep -qxF /etc/lapserotab "$scratch/conffiles" || fail "/etc/lapserotab is no conffile"

for script in postinst prerm postrm; do
  cmp -s "$scratch/control/$script" "$scripts/$script" || fail "package carries another $script"
  [ -x "$scratch/control/$script" ] || fail "$script is not executable"
done
dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>= ' || fail "Depends lacks libc6: $(dpkg-deb -f "$deb" Depends)"
# The C library is all the shipped programs need; a sanitizer build brings
# its runtimes and is not what is shipped.
if ! grep -q '^LAPSERO_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  dpkg-deb -f "$deb" Depends | grep -qx 'libc6 (>= [0-9.]*)' ||
    fail "Depends holds more than libc6: $(dpkg-deb -f "$deb" Depends)"
fi

# The version is written once, in project(): the package and the top entry
# of its changelog both carry it.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] ||
  fail "the package has version $(dpkg-deb -f "$deb" Version), project() $version"
dpkg-deb -x "$deb" "$scratch/files"
top=$(gzip -dc "$scratch/files/usr/share/doc/lapsero/changelog.gz" | head -n 1)
case $top in
  "lapsero ($version) "*) ;;
  *) fail "the changelog begins: $top" ;;
esac

# Install, reinstall, remove and purge into a scratch root. The maintainer
# scripts run outside a chroot, with DPKG_ROOT set to that root.
root=$scratch/dpkg-root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
dpkg_in_root() {
  dpkg --root="$root" --log="$scratch/dpkg.log" --force-script-chrootless \
    --force-depends "$@" >"$scratch/dpkg.out" 2>&1 </dev/null ||
    { cat "$scratch/dpkg.out" >&2; fail "dpkg $*"; }
}
dpkg_in_root --install "$deb"
[ -L "$root/etc/systemd/system/timers.target.wants/lapsero.timer" ] ||
  fail "installing did not enable lapsero.timer"
[ -f "$root/var/lib/systemd/deb-systemd-helper-enabled/lapsero.timer.dsh-also" ] ||
  fail "installing left no deb-systemd-helper state for lapsero.timer"
echo 20240305 >"$root/var/spool/lapsero/backup"
echo "1 0 mine true" >>"$root/etc/lapserotab"
cp "$root/etc/lapserotab" "$scratch/edited"
dpkg_in_root --install "$deb"
cmp -s "$root/etc/lapserotab" "$scratch/edited" || fail "reinstalling replaced the edited table"
dpkg_in_root --remove lapsero
[ ! -e "$root/usr/sbin/lapsero" ] || fail "remove left the program"
[ ! -e "$root/usr/sbin/lapsero-status" ] || fail "remove left lapsero-status"
[ -f "$root/var/spool/lapsero/backup" ] || fail "remove deleted a stamp"
[ -f "$root/etc/lapserotab" ] || fail "remove deleted the conffile"
dpkg_in_root --purge lapsero
[ ! -e "$root/var/spool/lapsero" ] || fail "purge left the stamps"
[ ! -e "$root/etc/lapserotab" ] || fail "purge left /etc/lapserotab"
leftovers=$(find "$root/etc" "$root/var/lib/systemd" -name '*lapsero*' 2>/dev/null)
[ -z "$leftovers" ] || fail "purge left: $leftovers"

exit $status
