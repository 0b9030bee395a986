#!/bin/sh
# Builds the Debian packages that the package tests install, once per change
# of the source tree: the tests that need them share one build.
#
# Usage: debian_build.sh build-directory
#
# Into build-directory/debian-packages/ it puts
#   older/  the source package (.dsc, .tar.xz, _source.changes) and the
#           binary packages (.deb, _amd64.changes) of this tree as it is;
#   newer/  the binary packages of the same tree with one more changelog
#           entry, one version up, made by dch, and with a comment added to
#           both conffiles, so that installing it over the older one is an
#           upgrade that changes the conffiles.
# Both are built by dpkg-buildpackage in a copy of the tree (it writes its
# results into the parent directory of the tree it builds). The newer one
# reuses the older one's compiled programs (-nc): they differ only in what
# the packaging step reads, the changelog and the files it installs.
build=$(cd "$1" && pwd) || exit 1
umask 022  # the modes of the copied files go into the packages
source_dir=$(cd "$(dirname "$0")/.." && pwd)
out=$build/debian-packages

skip() { echo "SKIP: $*" >&2; exit 77; }
die() { echo "FAIL: $*" >&2; exit 1; }

for tool in dpkg-buildpackage dpkg-parsechangelog dh dch; do
  command -v $tool >/dev/null || skip "no $tool (./dev.sh check installs it)"
done
dpkg-checkbuilddeps "$source_dir/debian/control" 2>"$build/debian-build-deps.log" ||
  skip "$(cat "$build/debian-build-deps.log")"

# The files of the tree that git knows or would add, as they are on disk:
# no build directory, and uncommitted changes included.
export_tree() {  # target
  mkdir -p "$1"
  if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
      xargs -0 sh -c 'for f; do [ ! -e "$f" ] || printf "%s\n" "$f"; done' sh |
      tar -cf - --no-recursion -T -) | tar -C "$1" -xf -
  else
    tar -C "$source_dir" -cf - --exclude=./build --exclude='./build-*' --exclude='./obj-*' \
      --exclude="./${build#"$source_dir"/}" . | tar -C "$1" -xf -
  fi
}

version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version) ||
  die "cannot read debian/changelog"
newer_version=$version.1
rm -rf "$out/export"
export_tree "$out/export/lapsero-$version" || die "cannot copy the tree"
key=$(cd "$out/export" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum |
  sha256sum | cut -d' ' -f1)
if [ -f "$out/key" ] && [ "$(cat "$out/key")" = "$key" ] &&
    [ -f "$out/older/lapsero_${version}_amd64.deb" ] &&
    [ -f "$out/newer/lapsero_${newer_version}_amd64.deb" ]; then
  rm -rf "$out/export"
  echo "== the packages in $out are of this tree already"
  exit 0
fi

rm -rf "$out/older" "$out/newer" "$out/src" "$out/key"
mv "$out/export" "$out/src"
mkdir "$out/older" "$out/newer"
tree=$out/src/lapsero-$version
log=$out/build.log
: >"$log"
buildpackage() {  # options...
  echo "== dpkg-buildpackage $*" | tee -a "$log"
  (cd "$tree" && umask 022 && dpkg-buildpackage -us -uc "$@") >>"$log" 2>&1 ||
    { tail -n 40 "$log" >&2; die "dpkg-buildpackage $* (the whole log: $log)"; }
}
collect() {  # version directory
  for file in "$out/src"/lapsero*_"$1"[._]*; do
    mv "$file" "$2/" || die "cannot move $file"
  done
}

buildpackage -S
buildpackage -b
collect "$version" "$out/older"

(cd "$tree" && DEBEMAIL=lapsero-bugs@lists.lapsero.invalid DEBFULLNAME="lapsero developers" \
  dch --preserve --newversion "$newer_version" --distribution unstable \
    "Test build: one version up, with changed conffiles.") >>"$log" 2>&1 ||
  die "dch --newversion $newer_version"
echo "# Added in $newer_version." >>"$tree/dist/lapserotab"
echo "# Added in $newer_version." >>"$tree/dist/lapsero.cron.in"
buildpackage -b -nc
collect "$newer_version" "$out/newer"

echo "$key" >"$out/key"
ls -l "$out/older" "$out/newer"
