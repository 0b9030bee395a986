#!/bin/sh
# Developer entry point; run as root on Debian 12.
#
#   ./dev.sh demo    install the build tools, build, and run lapsero in the
#                    foreground on examples/lapserotab with a spool under build/
#   ./dev.sh check   install what the tests need, check the layout and lint
#                    the code, build the plain and the sanitizer configuration
#                    (warnings are errors in both), and run the whole suite on
#                    both; then fuzz the table reader and lapsero-status's
#                    parsers for a minute
#   ./dev.sh lint    only the layout check (clang-format) and the lint
#                    (clang-tidy), as the check runs them
#   ./dev.sh format  rewrite every C and C++ file in the layout of .clang-format
#   ./dev.sh stress [TRIALS]
#                    build and run the stress run with TRIALS trials of each
#                    scenario (default 1000): many schedulers on one spool,
#                    and schedulers killed at random moments; then as many
#                    trials of schedulers on a spool shared through a real
#                    GlusterFS volume, at the safe settings and at the
#                    volume's defaults; it prints figures and fails only
#                    when an invariant breaks
#   ./dev.sh bench   build and print what a run costs (add --quick for a
#                    shorter run); figures only, it never fails
#   ./dev.sh package build the source and the binary Debian package with
#                    dpkg-buildpackage (debian/) in a copy of the tree, check
#                    both with lintian, and show the package's control data
#                    and contents; everything lands in build-pkg/
#                    (build-pkg/lapsero_<version>_<arch>.deb and the rest)
set -eu
cd "$(dirname "$0")"

BUILD_PACKAGES="cmake g++ make nlohmann-json3-dev libsystemd-dev pkgconf"
# What building the Debian package needs beyond the build tools: its
# Build-Depends (debian/control) and the checker.
PACKAGE_PACKAGES="dpkg-dev debhelper libsystemd-dev pkgconf lintian"
# The package tests also make a newer version with dch and run the
# package's own tests with autopkgtest. The listing's tests build journal
# files with systemd-journal-remote, and check its metrics with promtool
# (package prometheus, without its recommends) and with the parser of
# python3-prometheus-client, for the rules of the textfile collector. The
# shared-spool test starts its own GlusterFS volume (glusterfs-server) in
# private namespaces.
TEST_PACKAGES="libgtest-dev faketime clang libclang-rt-14-dev util-linux mandoc groff-base \
  $PACKAGE_PACKAGES devscripts autopkgtest systemd-journal-remote python3-prometheus-client prometheus \
  glusterfs-server"
LINT_PACKAGES="clang-format clang-tidy"
JOBS=$(nproc 2>/dev/null || echo 2)
# The test builds treat warnings as errors; a plain cmake build does not.
TEST_OPTIONS="-DLAPSERO_TESTS=ON -DLAPSERO_WERROR=ON"

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

sources() { git ls-files '*.c' '*.cc' '*.h'; }

# Fails on any file that clang-format would change, showing how.
check_format() {
  echo "== clang-format: the layout of .clang-format"
  unformatted=""
  for file in $(sources); do
    clang-format "$file" | cmp -s "$file" - || unformatted="$unformatted $file"
  done
  [ -z "$unformatted" ] && return 0
  for file in $unformatted; do clang-format "$file" | diff -u "$file" - | head -n 40; done
  echo "== not formatted:$unformatted (./dev.sh format rewrites them)"
  return 1
}

# Fails on any finding of the checks in .clang-tidy, over everything the
# build in the given directory compiles. The unit tests get every check but
# the static analyzer, which spent over a quarter of the lint's time on
# their files: they run under both sanitizers in every check, which catch
# on the paths they take what the analyzer looks for.
check_lint() {  # dir
  echo "== clang-tidy over $1/compile_commands.json"
  unit_tests='/(base|control|table|schedule|execution|status)/[^/]*_test\.cc$'
  if ! { run-clang-tidy -p "$1" -quiet "^(?!.*$unit_tests)" &&
    run-clang-tidy -p "$1" -quiet -checks='-clang-analyzer-*' "$unit_tests"; } >"$1/clang-tidy.log" 2>&1; then
    grep -B2 -A12 'warnings-as-errors' "$1/clang-tidy.log" | head -n 120
    echo "== clang-tidy reported findings (all of them in $1/clang-tidy.log)"
    return 1
  fi
}

# Runs one build of a fuzz target for the given seconds over the corpus
# both builds of that target share, and prints how many inputs it ran; any
# crash, leak, sanitizer report or timeout fails. Inputs that reach new
# code join build-fuzz/CORPUS, whose seeds are in fuzz/CORPUS, and a
# failing input is left in build-fuzz/.
fuzz() {  # target, seconds, corpus
  mkdir -p build-fuzz/"$3"
  build-fuzz/"$1" -max_total_time="$2" -timeout=25 -artifact_prefix=build-fuzz/ \
    build-fuzz/"$3" fuzz/"$3" >build-fuzz/"$1".log 2>&1 ||
    { tail -n 80 build-fuzz/"$1".log; echo "== $1 found a fault (input in build-fuzz/)"; exit 1; }
  echo "$1: $(grep '^Done [0-9]* runs' build-fuzz/"$1".log | tail -n 1)"
}

run_suite() {  # dir
  echo "== tests in $1"
  (cd "$1" && unset POSIXLY_CORRECT && ctest -j "$JOBS" --output-on-failure --timeout 300)
}

case "${1:-}" in
  demo)
    need $BUILD_PACKAGES
    configure_and_build build-demo -DLAPSERO_TESTS=OFF
    # lapsero refuses a table or a spool that group or others may write:
    # the caller's umask must not decide (git keeps no such modes).
    mkdir -p build-demo/spool
    chmod go-w build-demo/spool examples/lapserotab
    echo "== build-demo/lapsero -d -f -n -S build-demo/spool -t examples/lapserotab"
    exec build-demo/lapsero -d -f -n -S build-demo/spool -t examples/lapserotab
    ;;
  check)
    need $BUILD_PACKAGES $TEST_PACKAGES $LINT_PACKAGES
    check_format
    configure_and_build build $TEST_OPTIONS
    check_lint build
    run_suite build
    configure_and_build build-asan $TEST_OPTIONS -DLAPSERO_SANITIZE=ON
    run_suite build-asan
    # The build with UndefinedBehaviorSanitizer alone runs many times as
    # many inputs a second: it explores each target first, then the build
    # with AddressSanitizer as well goes over everything found, and on.
    echo "== fuzzing for 60 s in build-fuzz: the table reader and lapsero-status's parsers," \
      "20 s each with UBSan, then 10 s each with ASan+UBSan"
    cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ >/dev/null
    cmake --build build-fuzz -j "$JOBS"
    fuzz table_fuzz_ub 20 corpus
    fuzz status_fuzz_ub 20 status_corpus
    fuzz table_fuzz 10 corpus
    fuzz status_fuzz 10 status_corpus
    echo "== all checks passed"
    ;;
  lint)
    need $BUILD_PACKAGES $TEST_PACKAGES $LINT_PACKAGES
    check_format
    configure_and_build build $TEST_OPTIONS
    check_lint build
    echo "== layout and lint are clean"
    ;;
  format)
    need clang-format
    sources | xargs clang-format -i
    ;;
  stress)
    need $BUILD_PACKAGES $TEST_PACKAGES
    configure_and_build build $TEST_OPTIONS
    build/tests/lapsero_stress "${2:-1000}"
    # Exit status 77: it was skipped, and has said why.
    build/tests/lapsero_shared_spool "${2:-1000}" "${2:-1000}" || [ $? -eq 77 ]
    # Jobs whose stamps do not exist yet: figures of a known residual (a new
    # job ran on two hosts in about one trial of 400), printed, not failed.
    build/tests/lapsero_shared_spool new-stamps "${2:-1000}" || true
    ;;
  bench)
    need $BUILD_PACKAGES $TEST_PACKAGES
    configure_and_build build $TEST_OPTIONS
    exec build/bench/lapsero_bench "${2:-}"
    ;;
  package)
    need $BUILD_PACKAGES $PACKAGE_PACKAGES
    umask 022  # the modes of the copied files go into the source package
    version=$(dpkg-parsechangelog -S Version)
    tree=build-pkg/lapsero-$version
    # A copy of the files that git knows or would add, as they are on disk:
    # dpkg-buildpackage builds in the tree it is given and writes its results
    # beside it, into build-pkg/, and the source package holds no build output.
    rm -rf build-pkg && mkdir -p "$tree"
    git ls-files -z --cached --others --exclude-standard |
      xargs -0 sh -c 'for f; do [ ! -e "$f" ] || printf "%s\n" "$f"; done' sh |
      tar -cf - --no-recursion -T - | tar -C "$tree" -xf -
    # The build flags, hardening included, come from dpkg-buildflags through
    # debhelper (debian/rules).
    (cd "$tree" && dpkg-buildpackage -us -uc -S && dpkg-buildpackage -us -uc -b)
    echo "== lintian build-pkg/*.changes"
    lintian --fail-on error,warning build-pkg/lapsero_"$version"_*.changes
    deb=build-pkg/lapsero_${version}_$(dpkg --print-architecture).deb
    echo "== dpkg-deb -I $deb"; dpkg-deb -I "$deb"
    echo "== dpkg-deb -c $deb"; dpkg-deb -c "$deb"
    ;;
  *)
    echo "usage: $0 demo|check|lint|format|stress [TRIALS]|bench [--quick]|package" >&2
    exit 2
    ;;
esac
