#!/bin/sh
# lapsero alone, built as on a machine that has a compiler and CMake and
# nothing else: with LAPSERO_STATUS off, the JSON library and pkg-config
# must not even be looked for, so both are made impossible to find.
# Usage: scheduler_only_build.sh build-directory
set -u
build=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
dir=$build/scheduler-only
rm -rf "$dir"
fail() { echo "FAIL: $*" >&2; exit 1; }

env -u CFLAGS -u CXXFLAGS -u CPPFLAGS cmake -S "$source_dir" -B "$dir" -DLAPSERO_STATUS=OFF \
  -DLAPSERO_TESTS=OFF -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON -DPKG_CONFIG_EXECUTABLE=/bin/false \
  >"$dir.log" 2>&1 || { cat "$dir.log" >&2; fail "configuring without the listing"; }
cmake --build "$dir" -j2 >>"$dir.log" 2>&1 || { cat "$dir.log" >&2; fail "building lapsero alone"; }
grep -q 'lapsero-status' "$dir/Makefile" && fail "the build still has a lapsero-status target"
version=$("$dir/lapsero" -V | head -n 1) || fail "the built lapsero does not run"
echo "$version"
rm -rf "$dir" "$dir.log"
