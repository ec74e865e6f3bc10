#!/bin/bash
# soak.sh: the fault-injection soak, inside the emulated router, for as
# long as asked. Several daemon runs back to back with lost pulls and
# listings, id gaps and repeats, lying listing lines, TFTP outages,
# stalled pulls and trickling uploads (200 s or more), a wall clock step of
# an hour in every run and stop signals at random moments; after each run
# tests/tools/check_invariants.sh proves that no log file was lost
# silently and that memory did not grow.
#
#   scripts/soak.sh [-B BUILD_DIR] [-s SEED] [-t TOLERANCE_KB] [-k] [-l] [SECONDS]
#
#   SECONDS  total length, about (default 300)
#   -B       build tree (default: build/); build it first
#   -s       seed of the fault schedule (default: a fresh one, printed)
#   -t       allowed growth of resident memory in KiB (default 256)
#   -k       keep the run directory (daemon outputs, journals, checks)
#   -l       let listings fail during the shutdown too
#
# Needs root (77 without). Exit status: the scenario's (0 when every run
# kept every invariant).
set -u
SRC_DIR=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=$SRC_DIR/build
SEED=$((($(date +%s%N) / 1000) % 32768))
TOL=256
KEEP=()
usage() {
    sed -n '8,16p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}
while getopts "B:s:t:klh" opt; do
    case $opt in
    B) BUILD_DIR=$OPTARG ;;
    s) SEED=$OPTARG ;;
    t) TOL=$OPTARG ;;
    k) KEEP=(-k) ;;
    l) export SOAK_KEEP_LIST_FAULTS=1 ;;
    *) usage ;;
    esac
done
shift $((OPTIND - 1))
SECONDS_WANTED=${1:-300}
[[ $SECONDS_WANTED =~ ^[0-9]+$ ]] && [ "$SECONDS_WANTED" -ge 20 ] || {
    echo "soak.sh: SECONDS must be a number of at least 20" >&2
    exit 2
}
[[ $SEED =~ ^[0-9]+$ ]] && [[ $TOL =~ ^[0-9]+$ ]] || usage

echo "soak: $SECONDS_WANTED s, seed $SEED (replay with -s $SEED)"
# A stop signal to emu reaches the scenario, which ends the daemon it runs;
# give it time for the daemon's whole shutdown.
SOAK_SECONDS=$SECONDS_WANTED SOAK_SEED=$SEED SOAK_RSS_TOLERANCE_KB=$TOL EMU_STOP_GRACE=90 \
    exec "$SRC_DIR/router/emu" -B "$BUILD_DIR" "${KEEP[@]}" -- "$SRC_DIR/tests/e2e/soak.sh"
