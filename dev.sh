#!/bin/sh
# Developer entry point; run as root on Debian 12.
#
#   ./dev.sh demo    install the build tools, build, and run lapsero in the
#                    foreground on examples/lapserotab with a spool under build/
#   ./dev.sh check   install what the tests need, build the plain and the
#                    sanitizer configuration, and run the whole suite on both;
#                    then fuzz the table reader for a minute
#   ./dev.sh bench   build and print what a run costs (add --quick for a
#                    shorter run); figures only, it never fails
#   ./dev.sh package build the Debian package build-pkg/lapsero_*.deb with
#                    cpack, and show its control data and contents
set -eu
cd "$(dirname "$0")"

BUILD_PACKAGES="cmake g++ make"
TEST_PACKAGES="libgtest-dev faketime clang libclang-rt-14-dev util-linux mandoc groff-base dpkg-dev"
JOBS=$(nproc 2>/dev/null || echo 2)

# Installs the packages that are missing, and only those.
need() {
  missing=""
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing="$missing $package"
  done
  [ -z "$missing" ] && return 0
  echo "== installing:$missing"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

configure_and_build() {  # dir, cmake options...
  dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

run_suite() {  # dir
  echo "== tests in $1"
  (cd "$1" && unset POSIXLY_CORRECT && ctest -j "$JOBS" --output-on-failure --timeout 300)
}

case "${1:-}" in
  demo)
    need $BUILD_PACKAGES
    configure_and_build build-demo -DLAPSERO_TESTS=OFF
    mkdir -p build-demo/spool
    echo "== build-demo/lapsero -d -f -n -S build-demo/spool -t examples/lapserotab"
    exec build-demo/lapsero -d -f -n -S build-demo/spool -t examples/lapserotab
    ;;
  check)
    need $BUILD_PACKAGES $TEST_PACKAGES
    configure_and_build build -DLAPSERO_TESTS=ON
    run_suite build
    configure_and_build build-asan -DLAPSERO_TESTS=ON -DLAPSERO_SANITIZE=ON
    run_suite build-asan
    echo "== fuzzing the table reader for 60 s in build-fuzz"
    cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ >/dev/null
    cmake --build build-fuzz -j "$JOBS"
    mkdir -p build-fuzz/corpus
    build-fuzz/table_fuzz -max_total_time=60 -timeout=25 -artifact_prefix=build-fuzz/ \
      build-fuzz/corpus fuzz/corpus >build-fuzz/fuzz.log 2>&1 ||
      { tail -n 80 build-fuzz/fuzz.log; echo "== the fuzzer found a fault (input in build-fuzz/)"; exit 1; }
    tail -n 1 build-fuzz/fuzz.log
    echo "== all checks passed"
    ;;
  bench)
    need $BUILD_PACKAGES $TEST_PACKAGES
    configure_and_build build -DLAPSERO_TESTS=ON
    exec build/bench/lapsero_bench "${2:-}"
    ;;
  package)
    # dpkg-shlibdeps, from dpkg-dev, works out the library dependencies.
    need $BUILD_PACKAGES dpkg-dev
    umask 022  # the modes of the staged directories go into the package
    configure_and_build build-pkg -DLAPSERO_TESTS=OFF
    (cd build-pkg && cpack -G DEB)
    deb=$(ls -t build-pkg/lapsero_*.deb | head -n 1)
    echo "== dpkg-deb -I $deb"; dpkg-deb -I "$deb"
    echo "== dpkg-deb -c $deb"; dpkg-deb -c "$deb"
    ;;
  *)
    echo "usage: $0 demo|check|bench [--quick]|package" >&2
    exit 2
    ;;
esac
