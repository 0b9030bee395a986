#!/bin/sh
# Checks the Debian packages that tests/debian_build.sh built from this tree:
# the version, lintian on the binary and the source package, the contents,
# what the maintainer scripts do on a host booted with systemd, and install,
# upgrade, reinstallation, removal and purge with dpkg in a scratch root.
# Usage: debian_package.sh build-directory
build=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
packages=$build/debian-packages
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0

fail() { echo "FAIL: $*" >&2; status=1; }

# The version is written once, in project(); the top entry of
# debian/changelog, which gives the package its version, must agree.
project_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
if command -v dpkg-parsechangelog >/dev/null; then
  changelog_version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)
  [ "$changelog_version" = "$project_version" ] ||
    fail "debian/changelog is at version $changelog_version, project() at $project_version"
fi

version=$project_version
older=$packages/older/lapsero_${version}_amd64.deb
newer=$(ls "$packages"/newer/lapsero_*_amd64.deb 2>/dev/null)
if [ ! -f "$older" ] || [ ! -f "$newer" ]; then
  echo "SKIP: no packages of version $version in $packages (tests/debian_build.sh builds them)" >&2
  [ $status = 0 ] && exit 77
  exit 1
fi
newer_version=$(dpkg-deb -f "$newer" Version)

# Debian's own checker must find no error and no warning, in the binary
# packages and in the source package.
if ! command -v lintian >/dev/null; then
  fail "no lintian to check the packages (./dev.sh check installs it)"
elif ! lintian --fail-on error,warning "$packages/older/lapsero_${version}_amd64.changes" \
    "$packages/older/lapsero_${version}_source.changes" >"$scratch/lintian.out" 2>"$scratch/lintian.err"; then
  cat "$scratch/lintian.out" "$scratch/lintian.err" >&2
  fail "lintian found errors or warnings"
fi

# The source package: the debian/ directory with its tests, no build output.
dsc=$packages/older/lapsero_$version.dsc
grep -qx 'Testsuite: autopkgtest' "$dsc" || fail "$dsc announces no autopkgtest"
tar -tf "$packages/older/lapsero_$version.tar.xz" | sed 's,^[^/]*/,,' >"$scratch/source-files"
for file in debian/rules debian/tests/control CMakeLists.txt LICENSE; do
  grep -qxF "$file" "$scratch/source-files" || fail "the source package lacks $file"
done
grep -E '^(build|obj-[^/]*|debian/lapsero|debian/\.debhelper)/' "$scratch/source-files" | head -n 3 |
  grep . >&2 && fail "the source package holds build output"

# The binary package's contents.
[ "$(dpkg-deb -f "$older" Version)" = "$version" ] ||
  fail "the package has version $(dpkg-deb -f "$older" Version), project() $version"
dpkg-deb -c "$older" | awk '{ print $1, $2, $6 }' >"$scratch/contents"
dpkg-deb -e "$older" "$scratch/control"
dpkg-deb -x "$older" "$scratch/files"
expect_entry() {  # mode owner path
  grep -qxF -- "$1 $2 $3" "$scratch/contents" || fail "package lacks: $1 $2 $3"
}
expect_entry -rwxr-xr-x root/root ./usr/sbin/lapsero
expect_entry -rwxr-xr-x root/root ./usr/sbin/lapsero-status
expect_entry -rw-r--r-- root/root ./usr/share/man/man8/lapsero.8.gz
expect_entry -rw-r--r-- root/root ./usr/share/man/man8/lapsero-status.8.gz
expect_entry -rw-r--r-- root/root ./usr/share/man/man5/lapserotab.5.gz
expect_entry -rw-r--r-- root/root ./usr/share/man/man7/lapsero-design.7.gz
expect_entry -rw-r--r-- root/root ./etc/lapserotab
expect_entry -rw-r--r-- root/root ./etc/cron.d/lapsero
expect_entry drwxr-xr-x root/root ./var/spool/lapsero/
expect_entry -rw-r--r-- root/root ./lib/systemd/system/lapsero.service
expect_entry -rw-r--r-- root/root ./lib/systemd/system/lapsero.timer
for doc in copyright changelog.gz examples/lapserotab examples/lapsero.service examples/lapsero.timer; do
  expect_entry -rw-r--r-- root/root ./usr/share/doc/lapsero/$doc
done
# dh_compress compresses a document only above 4 KiB, which the README is
# near: either form will do.
grep -qxE -- '-rw-r--r-- root/root \./usr/share/doc/lapsero/README\.md(\.gz)?' "$scratch/contents" ||
  fail "package lacks: -rw-r--r-- root/root ./usr/share/doc/lapsero/README.md(.gz)"
awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" { print "FAIL: directory mode", $1, $3 }' \
  "$scratch/contents" | grep . >&2 && status=1
cmp -s "$scratch/files/usr/share/doc/lapsero/copyright" "$source_dir/debian/copyright" ||
  fail "the package's copyright is not debian/copyright"
top=$(gzip -dc "$scratch/files/usr/share/doc/lapsero/changelog.gz" | head -n 1)
case $top in
  "lapsero ($version) "*) ;;
  *) fail "the changelog begins: $top" ;;
esac
grep -qxF "ExecStart=/usr/sbin/lapsero -d" "$scratch/files/lib/systemd/system/lapsero.service" ||
  fail "lapsero.service does not start /usr/sbin/lapsero -d"
grep -q "; then /usr/sbin/lapsero; fi$" "$scratch/files/etc/cron.d/lapsero" ||
  fail "/etc/cron.d/lapsero does not start /usr/sbin/lapsero"

# Every file under /etc is a conffile, and every conffile is in the package.
grep -o '\./etc/.*[^/]$' "$scratch/contents" | sed 's/^\.//' | sort >"$scratch/etc-files"
sort "$scratch/control/conffiles" >"$scratch/conffiles"
cmp -s "$scratch/etc-files" "$scratch/conffiles" ||
  fail "conffiles ($(tr '\n' ' ' <"$scratch/conffiles")) differ from the files in /etc ($(tr '\n' ' ' <"$scratch/etc-files"))"

# The C library is all lapsero needs; lapsero-status needs the C++ runtime
# and the journal's library besides.
dpkg-deb -f "$older" Depends |
  grep -qx 'libc6 (>= [0-9.]*), libgcc-s1 (>= [0-9.]*), libstdc++6 (>= [0-9.]*), libsystemd0 (>= [0-9.~]*)' ||
  fail "Depends is not libc6, libgcc-s1, libstdc++6 and libsystemd0: $(dpkg-deb -f "$older" Depends)"
[ "$(dpkg-deb -f "$older" Recommends)" = "default-mta | mail-transport-agent" ] ||
  fail "Recommends: $(dpkg-deb -f "$older" Recommends)"

# ---- The maintainer scripts on a host booted with systemd --------------------
# Spies stand in for the tools that talk to the running system: each call
# is recorded in $SPY_LOG, and the fake deb-systemd-helper answers
# was-enabled with $WAS_ENABLED. In a mount namespace of its own with a /run
# that has systemd/system, each script acts as on such a host; the host
# itself is not changed. postrm purge, which would delete the host's spool,
# is left to the dpkg runs below.
spies=$scratch/spies
mkdir -p "$spies"
for tool in systemctl deb-systemd-invoke deb-systemd-helper; do
  cat >"$spies/$tool" <<'SPY'
#!/bin/sh
echo "${0##*/} $*" >>"$SPY_LOG"
case "$*" in *was-enabled*) [ "$WAS_ENABLED" = yes ] ;; esac
SPY
  chmod +x "$spies/$tool"
done
export SPY_LOG=$scratch/spy.log WAS_ENABLED=yes

calls() {  # script argument...: runs it, its calls end up in $SPY_LOG
  : >"$SPY_LOG"
  script=$1; shift
  unshare --mount -- sh -c 'mount -t tmpfs run /run && mkdir -p /run/systemd/system && exec "$@"' \
    sh env PATH="$spies:$PATH" DPKG_MAINTSCRIPT_PACKAGE=lapsero DPKG_MAINTSCRIPT_NAME="$script" \
    sh "$scratch/control/$script" "$@" ||
    fail "$script $* exited with $? on the running system"
  cat "$SPY_LOG" >>"$scratch/all-calls"
}
expect_call() {  # call context
  grep -qxF -- "$1" "$SPY_LOG" || fail "$2 did not call: $1 (but: $(tr '\n' ';' <"$SPY_LOG"))"
}
if unshare --mount -- sh -c 'mount -t tmpfs run /run' 2>/dev/null; then
  : >"$scratch/all-calls"
  calls postinst configure
  expect_call "deb-systemd-helper enable lapsero.timer" "postinst configure"
  expect_call "deb-systemd-invoke start lapsero.timer" "postinst configure"
  calls postinst configure "$version"
  expect_call "deb-systemd-invoke restart lapsero.timer" "postinst configure $version"
  WAS_ENABLED=no
  calls postinst configure "$version"
  WAS_ENABLED=yes
  expect_call "deb-systemd-helper update-state lapsero.timer" "postinst with the timer disabled"
  grep -q "helper enable" "$SPY_LOG" && fail "postinst enabled a timer the administrator disabled"
  calls prerm upgrade "$newer_version"
  [ ! -s "$SPY_LOG" ] || fail "prerm upgrade called: $(tr '\n' ';' <"$SPY_LOG")"
  calls prerm remove
  expect_call "deb-systemd-invoke stop lapsero.timer" "prerm remove"
  calls postrm remove
  expect_call "systemctl --system daemon-reload" "postrm remove"
  # Starting lapsero.service would start a run of the jobs.
  grep 'lapsero\.service' "$scratch/all-calls" >&2 && fail "a script touched lapsero.service"
  grep '^systemctl' "$scratch/all-calls" | grep -v '^systemctl --system daemon-reload$' >&2 &&
    fail "a script calls systemctl for more than daemon-reload"
  [ -e "$scratch/control/preinst" ] && fail "the package has a preinst, which stops the timer on upgrade"
  hide_systemd() { unshare --mount -- sh -c 'mount -t tmpfs run /run && exec "$@"' sh "$@"; }
else
  echo "SKIP (only this step): cannot mount a /run with systemd/system" >&2
  hide_systemd() { "$@"; }
fi

# ---- dpkg in a scratch root -------------------------------------------------
# The maintainer scripts run outside a chroot, with DPKG_ROOT set to that
# root; deb-systemd-helper keeps the timer's state inside it. A /run without
# systemd/system keeps them from talking to a systemd that runs the host.
if [ -d /run/systemd/system ] && ! unshare --mount -- true 2>/dev/null; then
  echo "SKIP (only this step): cannot hide the host's systemd from dpkg --root" >&2
  exit $status
fi
root=$scratch/dpkg-root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
dpkg_in_root() {
  hide_systemd dpkg --root="$root" --log="$scratch/dpkg.log" --force-script-chrootless \
    --force-depends --force-confdef --force-confold "$@" >"$scratch/dpkg.out" 2>&1 </dev/null ||
    { cat "$scratch/dpkg.out" >&2; fail "dpkg $*"; }
}
installed_version() { dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Version}' lapsero; }
wants=$root/etc/systemd/system/timers.target.wants/lapsero.timer
timer_enabled() { [ -L "$wants" ]; }
# What systemctl disable and enable do to this timer.
disable_timer() { rm -f "$wants"; }
enable_timer() { mkdir -p "${wants%/*}" && ln -sf /lib/systemd/system/lapsero.timer "$wants"; }

dpkg_in_root --install "$older"
[ "$(installed_version)" = "$version" ] || fail "installing gave version '$(installed_version)'"
timer_enabled || fail "installing did not enable lapsero.timer"
[ -f "$root/var/lib/systemd/deb-systemd-helper-enabled/lapsero.timer.dsh-also" ] ||
  fail "installing left no deb-systemd-helper state for lapsero.timer"
[ -z "$(ls -A "$root/var/spool/lapsero")" ] || fail "the new spool is not empty"

# An administrator's edit and a stamp, then the upgrade, whose table and
# cron file differ from the older ones: dpkg keeps the edited table (the
# newer one lands beside it) and replaces the cron file nobody touched.
echo 20240305 >"$root/var/spool/lapsero/backup"
echo "1 0 mine true" >>"$root/etc/lapserotab"
cp "$root/etc/lapserotab" "$scratch/edited"
dpkg_in_root --install "$newer"
[ "$(installed_version)" = "$newer_version" ] || fail "the upgrade left version '$(installed_version)'"
cmp -s "$root/etc/lapserotab" "$scratch/edited" || fail "the upgrade replaced the edited table"
[ "$(tail -n 1 "$root/etc/lapserotab.dpkg-dist" 2>/dev/null)" = "# Added in $newer_version." ] ||
  fail "the upgrade left no /etc/lapserotab.dpkg-dist of $newer_version"
[ "$(tail -n 1 "$root/etc/cron.d/lapsero")" = "# Added in $newer_version." ] ||
  fail "the upgrade kept the older, unchanged /etc/cron.d/lapsero"
[ "$(cat "$root/var/spool/lapsero/backup")" = 20240305 ] || fail "the upgrade lost a stamp"
timer_enabled || fail "the upgrade disabled lapsero.timer"

# Removed but not purged, the package leaves its cron file, whose lines
# must then be silent and end with status 0 on a host without systemd: each
# command line runs as cron would run it, with the paths it names taken
# inside the root.
cron_lines_after_remove() {
  [ -f "$root/etc/cron.d/lapsero" ] || { fail "remove took /etc/cron.d/lapsero"; return; }
  awk '/^[^#A-Z]/ && NF { n = $1 ~ /^@/ ? 2 : 6; for (i = 0; i < n; i++) sub(/^[^ \t]+[ \t]+/, ""); print }' \
    "$root/etc/cron.d/lapsero" | sed "s|/usr/sbin/|$root/usr/sbin/|g; s|/run/|$root/run/|g" >"$scratch/cron-lines"
  [ "$(wc -l <"$scratch/cron-lines")" -eq 2 ] || fail "the cron file has not two command lines"
  while IFS= read -r line; do
    said=$(env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin sh -c "$line" 2>&1) && code=0 || code=$?
    [ "$code" = 0 ] && [ -z "$said" ] || fail "after remove, the cron line exits $code and says '$said': $line"
  done <"$scratch/cron-lines"
}

# The administrator's choice holds across a reinstallation, a removal and
# an installation after it, either way.
for choice in disabled enabled; do
  [ $choice = disabled ] && disable_timer
  [ $choice = enabled ] && enable_timer
  dpkg_in_root --install "$newer"
  dpkg_in_root --remove lapsero
  [ ! -e "$root/usr/sbin/lapsero" ] || fail "remove left the program"
  [ ! -e "$root/usr/sbin/lapsero-status" ] || fail "remove left lapsero-status"
  [ -f "$root/var/spool/lapsero/backup" ] || fail "remove deleted a stamp"
  cron_lines_after_remove
  cmp -s "$root/etc/lapserotab" "$scratch/edited" || fail "remove changed the edited table"
  dpkg_in_root --install "$newer"
  if timer_enabled; then
    [ $choice = enabled ] || fail "the disabled timer came back enabled"
  else
    [ $choice = disabled ] || fail "the enabled timer came back disabled"
  fi
done

dpkg_in_root --purge lapsero
[ ! -e "$root/var/spool/lapsero" ] || fail "purge left the stamps"
leftovers=$(find "$root/etc" "$root/var/lib/systemd" -name '*lapsero*' 2>/dev/null)
[ -z "$leftovers" ] || fail "purge left: $leftovers"

exit $status
