#!/bin/sh
# Builds diagferry under a sanitizer and runs the whole test suite there:
# the unit tests and the end-to-end scenarios, which run that build's daemon
# (and stand-ins) inside the emulated router. Run as root.
#
#   thread   ThreadSanitizer, in build-tsan/
#   address  AddressSanitizer with LeakSanitizer and UndefinedBehaviorSanitizer,
#            in build-asan/
#   all      both, thread first (the default)
#
# Any sanitizer report fails the run, even one from a process whose exit
# status no test looks at: the first report ends the process with status 66,
# the scenarios scan the daemon's output and the stand-ins' logs, and this
# script scans the output of every test afterwards.
#
# Usage: scripts/sanitize.sh [thread|address|all]
# Environment: JOBS (build jobs, default 2), CTEST_ARGS (more ctest
#              arguments, e.g. "-R router_transfer" or "-LE slow").
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
MODE=${1:-all}
JOBS=${JOBS:-2}
CTEST_ARGS=${CTEST_ARGS:-}

# What a report starts with, for each sanitizer (UBSan: "file:line:col:
# runtime error: ...").
REPORT='WARNING: ThreadSanitizer|ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:'

# Options for every instrumented process, the daemon in the emulated router
# included (emu passes the environment through; the router's own programs
# are built without the sanitizer): stop at the first report, with a status
# no program here uses for itself, and write the report to stderr, where
# the tests look.
COMMON="halt_on_error=1:exitcode=66:log_path=stderr"
SUPP="$ROOT/scripts/sanitize"

run_suite() {
    mode=$1
    build=$2
    start=$(date +%s)
    echo "sanitize: $mode: building in $build"
    # Explicit returns: set -e does not act inside a function called from
    # an && list ("all").
    cmake -S . -B "$build" -DDIAGFERRY_WERROR=ON -DDIAGFERRY_SANITIZE="$mode" || return 1
    cmake --build "$build" -j"$JOBS" || return 1

    # A file of suppressions is read only when it exists; each entry there
    # must carry the reason it is not a fault of ours.
    case $mode in
        thread)
            # No extra second before exit (the default, to catch races
            # there): the daemon's threads would log on after its last line.
            TSAN_OPTIONS="$COMMON:second_deadlock_stack=1:history_size=4:atexit_sleep_ms=0"
            [ -f "$SUPP/tsan.supp" ] && TSAN_OPTIONS="$TSAN_OPTIONS:suppressions=$SUPP/tsan.supp"
            export TSAN_OPTIONS
            ;;
        address)
            ASAN_OPTIONS="$COMMON:detect_leaks=1:check_initialization_order=1:strict_init_order=1"
            [ -f "$SUPP/lsan.supp" ] && export LSAN_OPTIONS="suppressions=$SUPP/lsan.supp"
            export ASAN_OPTIONS
            ;;
    esac
    UBSAN_OPTIONS="$COMMON:print_stacktrace=1"
    export UBSAN_OPTIONS
    # The soak's resident-memory check means nothing here: the sanitizer's
    # shadow memory and ASan's quarantine of freed blocks (up to 256 MB)
    # grow on their own. The normal build's suite keeps the check. (The
    # daemon ends with _exit, which skips LeakSanitizer's check at exit:
    # in this build leaks are found in the unit tests only.)
    export SOAK_RSS_TOLERANCE_KB=1048576

    status=0
    # A failed end-to-end scenario is run once more (see run-ctest.sh).
    # shellcheck disable=SC2086  # CTEST_ARGS is a list of words
    sh scripts/run-ctest.sh "$build" $CTEST_ARGS || status=$?

    # Every test's output, passed ones included, is in LastTest.log, and the
    # first run's in LastTest.first.log when there was a rerun: a report in
    # either fails the run, even from a scenario that passed on its rerun.
    for log in "$build/Testing/Temporary/LastTest.first.log" "$build/Testing/Temporary/LastTest.log"; do
        if [ -f "$log" ] && grep -qE "$REPORT" "$log"; then
            echo "sanitize: $mode: sanitizer reports in the test output ($log):"
            grep -nE "$REPORT" "$log" | head -n 20
            status=1
        fi
    done
    echo "sanitize: $mode: $( [ "$status" = 0 ] && echo passed || echo FAILED ) in $(($(date +%s) - start)) s"
    unset TSAN_OPTIONS ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS SOAK_RSS_TOLERANCE_KB
    return "$status"
}

case $MODE in
    thread|address|all) ;;
    *) echo "usage: scripts/sanitize.sh [thread|address|all]" >&2; exit 2 ;;
esac
sh scripts/install-deps.sh
case $MODE in
    thread)  run_suite thread build-tsan ;;
    address) run_suite address build-asan ;;
    all)     run_suite thread build-tsan && run_suite address build-asan ;;
esac
