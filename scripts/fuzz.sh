#!/bin/sh
# Builds the libFuzzer targets of fuzz/ with clang in build-fuzz/ and runs
# each one for a bounded time on its seed corpus. Fails on any crash, leak,
# time-out, out-of-memory or sanitizer report. Installs what is missing (as
# root).
#
# Usage: scripts/fuzz.sh [seconds-per-target]     (default 20)
# Environment: JOBS (default 2), BUILD (default build-fuzz),
#              TARGETS (default: all five, e.g. TARGETS="pc_ip log_list").
set -eu
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-20}
JOBS=${JOBS:-2}
BUILD=${BUILD:-build-fuzz}
TARGETS=${TARGETS:-"conf_file log_list log_id pc_ip arp_reply"}

# ---- clang 14 with libFuzzer and the sanitizer runtimes, from Debian
sh scripts/install-deps.sh cmake make clang-14 libclang-rt-14-dev libcjson-dev

cmake -S . -B "$BUILD" \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DDIAGFERRY_WERROR=ON -DDIAGFERRY_TESTS=OFF -DDIAGFERRY_FUZZ=ON
cmake --build "$BUILD" -j"$JOBS"

# Longest input worth trying per target: the configuration file's limit,
# a little over exe_command's 1024-byte output for the listing and the
# connection table, a few dozen names, a little over an Ethernet frame.
max_len() {
    case "$1" in
        conf_file) echo 4095 ;;
        log_list|pc_ip) echo 1100 ;;
        log_id) echo 2048 ;;
        arp_reply) echo 128 ;;
    esac
}

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=""
for t in $TARGETS; do
    work="$BUILD/fuzz-run/$t"
    mkdir -p "$work/corpus" "$work/artifacts"
    log="$work/fuzz.log"
    echo "fuzz: $t for ${SECONDS_EACH}s"
    # New inputs go to the work corpus; the seeds in fuzz/corpus/ are only
    # read. Standard output (the daemon's log lines) is closed.
    dict=""
    [ -f "fuzz/$t.dict" ] && dict="-dict=fuzz/$t.dict"
    status=0
    "$BUILD/fuzz/fuzz_$t" $dict \
        -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
        -max_len="$(max_len "$t")" -close_fd_mask=1 -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/" \
        "$work/corpus" "fuzz/corpus/$t" >"$log" 2>&1 || status=$?
    # A report that did not end the run counts as a failure as well.
    if [ "$status" -ne 0 ] || grep -qE "ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:" "$log"; then
        echo "fuzz: $t FAILED (status $status); artifacts in $work/artifacts/"
        tail -n 60 "$log"
        failed="$failed $t"
        continue
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -E '^#[0-9]+' "$log" | tail -n 1 | sed -n 's/.* cov: \([0-9]*\).*/\1/p')
    echo "fuzz: $t ok: $runs runs, coverage $cov, corpus $(ls "$work/corpus" | wc -l) new + $(ls "fuzz/corpus/$t" | wc -l) seeds"
done

if [ -n "$failed" ]; then
    echo "fuzz: failed:$failed"
    exit 1
fi
echo "fuzz: all targets ran ${SECONDS_EACH}s each without a finding"
