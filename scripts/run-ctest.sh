#!/bin/sh
# Runs the tests of a build tree once. A failed end-to-end scenario (label
# e2e: real processes on a shared machine) is run once more; any other
# failed test fails the run at once, without a rerun. Every scenario that
# passed only on its rerun is named on a line of its own:
#     flaky: e2e_NAME passed on rerun
# and "flaky: none" is printed when nothing passed that way. The lines are
# also appended to $FLAKY_LOG when that is set (test.sh's summary).
#
# The tests run side by side, CTEST_JOBS at a time (default four per core):
# the end-to-end scenarios spend most of their time waiting on the
# processes they drive, each in namespaces of its own, and the longest
# start first (their COST).
#
# Usage: scripts/run-ctest.sh BUILD_DIR [CTEST ARGS...]
# Environment: CTEST_JOBS, FLAKY_LOG.
# The first run's LastTest.log is kept as LastTest.first.log when a test
# failed (sanitize.sh scans both).
set -u
CTEST_JOBS=${CTEST_JOBS:-$((4 * $(nproc)))}
BUILD=$1
shift
cd "$BUILD" || exit 1
TMP=Testing/Temporary
FAILED=$TMP/LastTestsFailed.log
rm -f "$TMP/LastTest.first.log" "$FAILED"

# flaky LINE: prints a summary line and keeps it for the caller.
flaky() {
    echo "$1"
    if [ -n "${FLAKY_LOG:-}" ]; then echo "$1" >>"$FLAKY_LOG"; fi
}

# failed_tests: the names of the last run's failed tests.
failed_tests() {
    [ -f "$FAILED" ] && sed 's/^[0-9]*://' "$FAILED"
}

status=0
ctest --output-on-failure -j"$CTEST_JOBS" "$@" || status=$?
if [ "$status" = 0 ]; then
    flaky "flaky: none"
    exit 0
fi
first=$(failed_tests)
# Before any other ctest call, which would write a log of its own.
cp "$TMP/LastTest.log" "$TMP/LastTest.first.log"
# A ctest error without a failed test (nothing matched, a bad argument).
[ -n "$first" ] || exit "$status"

scenarios=$(ctest -N -L e2e | sed -n 's/^ *Test *#[0-9]*: //p')
final=""
for t in $first; do
    echo "$scenarios" | grep -qxF -- "$t" || final="$final $t"
done
if [ -n "$final" ]; then
    echo "run-ctest: failed, not rerun (not end-to-end):$final"
    flaky "flaky: none"
    exit 1
fi

echo "run-ctest: rerunning the failed end-to-end scenarios once:" $first
status=0
ctest --output-on-failure -j"$CTEST_JOBS" --rerun-failed || status=$?
again=""
if [ "$status" != 0 ]; then
    # No list after a failed rerun: none of them counts as passed.
    again=$(failed_tests)
    [ -n "$again" ] || again=$first
fi
passed=""
for t in $first; do
    echo "$again" | grep -qxF -- "$t" || passed="$passed $t"
done
if [ -n "$passed" ]; then
    for t in $passed; do flaky "flaky: $t passed on rerun"; done
else
    flaky "flaky: none"
fi
[ "$status" = 0 ] || echo "run-ctest: failed twice:" $again
exit "$status"
