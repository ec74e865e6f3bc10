#!/bin/sh
# Builds diagferry and runs every test, stage by stage, stopping at the first
# stage that fails. Run as root on Debian 12; each stage installs what it is
# missing.
#
#   1. build/ with warnings as errors; the whole test suite: unit tests and
#      the end-to-end scenarios in the emulated router
#   2. the whole suite again under ThreadSanitizer     (scripts/sanitize.sh thread)
#   3. the whole suite again under AddressSanitizer
#      and UndefinedBehaviorSanitizer                 (scripts/sanitize.sh address)
#   4. every fuzz target for a short while             (scripts/fuzz.sh)
#   5. the router's cross build and its unit tests
#      under qemu                                      (scripts/cross-build.sh)
#
# Usage: scripts/test.sh [--quick]
#   --quick   stage 1 only: the normal build and its whole test suite.
# Environment: FUZZ_SECONDS (seconds per fuzz target, default 10),
#              TEST_BUILD (stage 1's build tree, default build).
# The time each stage took is printed at the end, and the end-to-end
# scenarios that passed only on their rerun ("flaky: none" if none).
set -eu
cd "$(dirname "$0")/.."
QUICK=0
case "${1:-}" in
    --quick) QUICK=1 ;;
    "") ;;
    *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac
FUZZ_SECONDS=${FUZZ_SECONDS:-10}
# The end-to-end scenarios wait on real processes of a shared machine: one
# that fails is run once more (scripts/run-ctest.sh; its first failure stays
# in the output), and each that passed only then is named in the summary.
# Any other failed test fails its stage at once.
FLAKY_LOG=$(mktemp)
export FLAKY_LOG
trap 'rm -f "$FLAKY_LOG"' EXIT
BUILD=${TEST_BUILD:-build}
# Two build jobs: more only thrashes a small machine's memory.
JOBS=2
export JOBS

TIMES=""
T0=$(date +%s)

# The scenarios that passed only on their rerun, or "flaky: none".
flaky_summary() {
    grep -v "flaky: none" "$FLAKY_LOG" || echo "flaky: none"
}

# stage NAME COMMAND...: runs one stage, timed; a failure ends the run.
stage() {
    name=$1
    shift
    echo "==== test: $name"
    s=$(date +%s)
    rc=0
    "$@" || rc=$?
    TIMES="$TIMES
  $name: $(($(date +%s) - s)) s"
    if [ "$rc" -ne 0 ]; then
        echo "==== test: $name FAILED (status $rc); stages run:$TIMES"
        flaky_summary
        exit "$rc"
    fi
}

# Chained with &&: set -e does not act inside a function that stage()
# calls from an || list.
build_and_test() {
    sh scripts/install-deps.sh &&
        cmake -S . -B "$BUILD" -DDIAGFERRY_WERROR=ON &&
        cmake --build "$BUILD" -j"$JOBS" &&
        sh scripts/run-ctest.sh "$BUILD"
}

stage "build and test" build_and_test
if [ "$QUICK" = 0 ]; then
    stage "thread sanitizer" sh scripts/sanitize.sh thread
    stage "address sanitizer" sh scripts/sanitize.sh address
    # fuzz.sh takes its build tree from BUILD: name it, whatever the caller's.
    stage "fuzz" env BUILD=build-fuzz sh scripts/fuzz.sh "$FUZZ_SECONDS"
    stage "cross build" sh scripts/cross-build.sh
fi
echo "==== test: all stages passed in $(($(date +%s) - T0)) s:$TIMES"
flaky_summary
