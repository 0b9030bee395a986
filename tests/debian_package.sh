#!/bin/sh
# Checks the Debian package: what its maintainer scripts do to the stamps,
# then, where the dpkg tools are installed, the package that cpack builds.
# Usage: debian_package.sh build-directory
build=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
scripts=$source_dir/dist/debian
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0

fail() { echo "FAIL: $*" >&2; status=1; }

# The maintainer scripts run against a scratch root through DPKG_ROOT, which
# also keeps them from talking to the running system's systemd.
root=$scratch/root
mkdir -p "$root/var/spool/lapsero"
echo 20240305 >"$root/var/spool/lapsero/backup"
run_script() {  # script argument...
  script=$1; shift
  DPKG_ROOT=$root sh "$scripts/$script" "$@" || fail "$script $* exited with $?"
}
run_script postinst configure
run_script prerm remove
run_script prerm upgrade 0.1
for action in remove upgrade; do
  run_script postrm $action
  [ -f "$root/var/spool/lapsero/backup" ] || fail "postrm $action deleted a stamp"
done
run_script postrm purge
[ ! -e "$root/var/spool/lapsero" ] || fail "postrm purge left the spool behind"

for tool in cpack dpkg-deb dpkg-shlibdeps; do
  command -v $tool >/dev/null || { echo "SKIP: no $tool" >&2; [ $status = 0 ] && exit 77; exit 1; }
done
if ! (cd "$build" && umask 022 && cpack -G DEB -B "$scratch/package" >"$scratch/cpack.log" 2>&1); then
  cat "$scratch/cpack.log" >&2
  fail "cpack -G DEB"
  exit 1
fi
deb=$(ls "$scratch"/package/lapsero_*.deb)
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

exit $status
