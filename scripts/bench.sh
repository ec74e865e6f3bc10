#!/bin/bash
# bench.sh: measures the daemon in the emulated router and prints one table:
# delivery latency, the highest loss-free file rate beside the bare stages,
# throughput when transfers dominate, the daemon's CPU time and peak memory,
# and the size of the stripped router binary.
#
# Usage: scripts/bench.sh [--quick] [--no-build] [--cross] [--keep] [--phases LIST]
#                         [-B BUILD] [-M MIPS_BUILD]
#   --quick     20-second runs and a shorter rate ladder (smoke check)
#   --keep      keep the emulation's run directory and the raw results
#   --phases    a subset of latency,idle,bare,ladder,transfer (default all)
#   --from FILE print the table from the raw results of a kept run (no run)
#   --no-build  measure BUILD as it is (default: cmake --build BUILD -j2 first)
#   --cross     run scripts/cross-build.sh MIPS_BUILD first (about 5 minutes)
#   -B BUILD    host build tree (default build-bench)
#   -M DIR      cross build tree holding stage/bin/diagferry (default build-mipsel)
# Runs as root: every measurement runs inside router/emu's namespaces, which
# router/emu removes on every way out; the measuring script removes its own
# traffic shaping, files and processes (bench/inside.sh).
set -u
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=build-bench
MIPS=build-mipsel
QUICK=0
DO_BUILD=1
DO_CROSS=0
KEEP=0
PHASES=latency,idle,bare,ladder,transfer
FROM=

usage() {
    sed -n '7,18p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case $1 in
    --quick) QUICK=1 ;;
    --no-build) DO_BUILD=0 ;;
    --cross) DO_CROSS=1 ;;
    --keep) KEEP=1 ;;
    --phases) [ $# -ge 2 ] || usage; PHASES=$2; shift ;;
    --from) [ $# -ge 2 ] || usage; FROM=$2; shift ;;
    -B) [ $# -ge 2 ] || usage; BUILD=$2; shift ;;
    -M) [ $# -ge 2 ] || usage; MIPS=$2; shift ;;
    -h | --help) usage ;;
    *) echo "bench: unknown argument $1" >&2; usage ;;
    esac
    shift
done

if [ -z "$FROM" ] && [ "$(id -u)" != 0 ]; then
    echo "bench: needs root (the emulated router's namespaces)" >&2
    exit 77
fi

if [ "$QUICK" = 1 ]; then
    DURATION=20
    LADDER=1000,333,200,125,100
else
    DURATION=60
    LADDER=1000,500,333,250,200,167,143,125,100
fi

T_START=$(date +%s)
WORK=$(mktemp -d -p /var/tmp bench.XXXXXX)
RESULTS=$WORK/results
EMU_PID=

# Ends the emulation (router/emu takes its namespaces down itself) and
# removes the results directory, on every way out.
cleanup() {
    if [ -n "$EMU_PID" ] && kill -0 "$EMU_PID" 2>/dev/null; then
        kill -TERM "$EMU_PID" 2>/dev/null
        wait "$EMU_PID" 2>/dev/null
    fi
    if [ "$KEEP" = 1 ]; then
        echo "bench: raw results and logs kept in $WORK" >&2
    else
        rm -rf "$WORK"
    fi
}
trap cleanup EXIT
trap 'echo "bench: interrupted" >&2; exit 130' INT TERM

# Builds what is asked for, then runs every measurement in the emulated
# router; the raw figures land in $RESULTS.
measure() {
    if [ "$DO_CROSS" = 1 ]; then
        scripts/cross-build.sh "$MIPS" >"$WORK/cross.log" 2>&1 || {
            tail -n 30 "$WORK/cross.log"
            echo "bench: cross build failed" >&2
            exit 1
        }
    fi
    if [ "$DO_BUILD" = 1 ]; then
        { sh scripts/install-deps.sh && cmake -S . -B "$BUILD" && cmake --build "$BUILD" -j2; } \
            >"$WORK/build.log" 2>&1 || {
            tail -n 30 "$WORK/build.log"
            echo "bench: build failed" >&2
            exit 1
        }
    fi
    [ -x "$BUILD/diagferry" ] || { echo "bench: no $BUILD/diagferry; build it first" >&2; exit 1; }

    LOAD_START=$(uptime)
    EMU_KEEP=()
    [ "$KEEP" = 1 ] && EMU_KEEP=(-k -w "$WORK/emu")
    router/emu -B "$BUILD" "${EMU_KEEP[@]}" -- "$ROOT/bench/inside.sh" "$RESULTS" "$DURATION" "$LADDER" "$PHASES" \
        >"$WORK/inside.log" 2>&1 &
    EMU_PID=$!
    wait "$EMU_PID"
    STATUS=$?
    EMU_PID=
    LOAD_END=$(uptime)
    if [ "$STATUS" != 0 ] || ! grep -qx 'done=1' "$RESULTS" 2>/dev/null; then
        cat "$WORK/inside.log"
        echo "bench: the measurement failed (status $STATUS)" >&2
        exit 1
    fi
}

if [ -n "$FROM" ]; then
    [ -r "$FROM" ] || { echo "bench: cannot read $FROM" >&2; exit 1; }
    RESULTS=$FROM
    LOAD_START="load average: n/a" LOAD_END="load average: n/a"
else
    measure
fi

# ---- the table ---------------------------------------------------------------

. bench/calc.sh

get() {
    local v
    v=$(awk -v k="$1" 'index($0, k "=") == 1 { v = substr($0, length(k) + 2) } END { print v }' "$RESULTS")
    echo "${v:-n/a}"
}

# largest NUMBER...: the largest of the figures that are there.
largest() {
    printf '%s\n' "$@" | grep -v '^n/a$' | sort -g | tail -n 1 | grep . || echo n/a
}

# calc EXPR: floating-point arithmetic on figures (n/a stays n/a).
calc() {
    case "$*" in *n/a*) echo n/a; return ;; esac
    awk "BEGIN { printf \"%s\", ($*) }"
}

row() {
    printf '| %-1s | %-56s | %-26s | %-44s | %-16s |\n' "$@"
}

rule() {
    printf '|---|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..58})" "$(printf -- '-%.0s' {1..28})" \
        "$(printf -- '-%.0s' {1..46})" "$(printf -- '-%.0s' {1..18})"
}

git_rev=$(git rev-parse --short HEAD 2>/dev/null)
git_dirty=$(git status --porcelain --untracked-files=no -- src include CMakeLists.txt 2>/dev/null | wc -l)
cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)

# Stripped router binary, and whether the sources changed since it was built.
mips_bin=$MIPS/stage/bin/diagferry
if [ -f "$mips_bin" ]; then
    mips_size="$(stat -c %s "$mips_bin") bytes"
    newest=$(find src include CMakeLists.txt cmake -type f -newer "$mips_bin" 2>/dev/null | head -n 1)
    if [ -n "$newest" ]; then
        mips_note="$mips_bin; STALE: $newest newer"
    else
        mips_note="$mips_bin, $(date -u -r "$mips_bin" '+%H:%M UTC')"
    fi
else
    mips_size=n/a
    mips_note="no $mips_bin: run scripts/cross-build.sh"
fi

lat_med=$(get lat_median) lat_p95=$(get lat_p95)
best=$(get ladder_best) broke=$(get ladder_broke)
if [ "$best" = none ]; then
    best_text="none (1000 ms lost files)"
else
    best_text="$(get "step_${best}_rate") files/s (${best} ms)"
fi
if [ "$broke" = none ]; then
    broke_text="no loss down to the last step"
else
    broke_text="broke at $broke ms ($(get "step_${broke}_rate")/s): miss $(get "step_${broke}_miss"), lost $(get "step_${broke}_lost")"
fi
b10_adb=$(get bare10_adb_mbps) b10_tftp=$(get bare10_tftp_mbps)
slower=$(calc "sprintf(\"%.2f\", ($b10_adb < $b10_tftp) ? $b10_adb : $b10_tftp)")
slower_name=$(calc "($b10_adb < $b10_tftp) ? \"adb\" : \"tftp\"")
xfer=$(get xfer_mbps)
xfer_ratio=$(calc "sprintf(\"%.1f\", $xfer * 100 / $slower)")
idle_min=$(get idle_poll_per_min) bare_min=$(get bare_poll_per_min)
poll_limit=$(calc "sprintf(\"%.2f\", $bare_min * 1.05)")
rss_max=$(largest "$(get idle_rss_kib)" "$(get busy_rss_kib)" "$(get xfer_rss_kib)")

DURATION=$(get duration)
echo "diagferry benchmark: ${DURATION}-second daemon runs"
echo "date:    $(get started)"
echo "machine: $cpu_model, $(nproc) cores, kernel $(uname -r)"
echo "commit:  $git_rev$([ "$git_dirty" -gt 0 ] && echo " (daemon sources modified in the tree)")"
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$BUILD/CMakeCache.txt" 2>/dev/null)
echo "build:   $BUILD (${build_type:-RelWithDebInfo by default})"
echo "adb:     $(get adb)"
echo "load:    start: ${LOAD_START##*load average: }; end: ${LOAD_END##*load average: }"
echo
row "" measure measured "target / beside it" verdict
rule
row a "delivery latency, median ($(get lat_n) files)" "$lat_med s" "< 1.5 s" "$(verdict "$lat_med" '<' 1.5)"
row a "delivery latency, 95th percentile" "$lat_p95 s" "< 2.5 s" "$(verdict "$lat_p95" '<' 2.5)"
row a "  (1 MiB at 1/s; max $(get lat_max) s)" "miss $(get lat_miss), lost $(get lat_lost)" "of $(get lat_written) written" ""
row b "highest 1 MiB rate with no miss (${DURATION} s)" "$best_text" "$broke_text" ""
for ms in $(get ladder_steps); do
    row b "  step $ms ms" "$(get "step_${ms}_rate") files/s" \
        "written $(get "step_${ms}_written"), miss $(get "step_${ms}_miss"), lost $(get "step_${ms}_lost")" \
        "ls failed $(get "step_${ms}_ls_failed")"
done
[ "$broke" = none ] || row b "  misses at $broke ms by reason" "$(get "step_${broke}_reasons")" "" ""
row b "bare adb pull loop, 1 MiB" "$(get bare1_adb_fps) files/s" "" ""
row b "bare busybox tftp -b 16384 loop, 1 MiB" "$(get bare1_tftp_fps) files/s" "" ""
row b "naive serial loop (pull, send), 1 MiB" "$(get bare1_serial_fps) files/s" "" ""
row c "daemon sustained, 10 MiB files ($(get xfer_files) arrived)" "$xfer MB/s" \
    "slower bare stage ($slower_name): $slower MB/s" "$(verdict "$xfer" '>=' "$(calc "$slower * 0.9")")"
row c "  transfer run: written / miss by reason" "$(get xfer_written) / $(get xfer_miss)" "$(get xfer_reasons)" ""
row c "  daemon / slower bare stage" "$xfer_ratio %" ">= 90 %" ""
row c "  daemon / naive serial loop" "$(calc "sprintf(\"%.1f\", $xfer * 100 / $(get bare10_serial_mbps))") %" "" ""
row c "bare adb pull loop (throttled 35 MB/s)" "$b10_adb MB/s" "" ""
row c "bare tftp loop (router port lan0 tbf 100mbit)" "$b10_tftp MB/s" "" ""
row c "naive serial loop" "$(get bare10_serial_mbps) MB/s" "" ""
row d "CPU, idle (tool paused)" "$(get idle_cpu_pct) % of a core" "< 0.3 %" "$(verdict "$(get idle_cpu_pct)" '<' 0.3)"
row d "  idle: CPU seconds in wall seconds" "$(get idle_cpu_s) s in $(get idle_wall_s) s" "" ""
row d "idle polling, whole router cost (CPU s per minute)" "$idle_min s/min" \
    "bare listing loop $bare_min s/min; +5 %: $poll_limit" "$(verdict "$idle_min" '<' "$poll_limit")"
row d "  daemon, its children, adb server: CPU s in wall s" \
    "$(get idle_poll_cpu_s) s in $(get idle_poll_wall_s) s" "$(get idle_poll_listings) listings" ""
row d "  bare loop, its children, adb server: CPU s in wall s" \
    "$(get bare_poll_cpu_s) s in $(get bare_poll_wall_s) s" "$(get bare_poll_listings) listings" ""
row d "CPU, busy (1 MiB at 1/s)" "$(get busy_cpu_pct) % of a core" "" ""
row d "  busy: CPU seconds in wall seconds" "$(get busy_cpu_s) s in $(get busy_wall_s) s" "" ""
row d "CPU, transfer run (10 MiB files)" "$(get xfer_cpu_pct) % of a core" "" ""
row d "peak RSS (VmHWM) idle / busy / transfer" \
    "$(get idle_rss_kib) / $(get busy_rss_kib) / $(get xfer_rss_kib) KiB" "< 3 MiB (3072 KiB)" \
    "$(verdict "$rss_max" '<' 3072)"
row e "MIPS binary, stripped" "$mips_size" "$mips_note" ""
echo
echo "latency: from the moment the next file appears on the modem (its ctime after the diag tool's"
echo "  rename) to the final mtime of the byte-identical copy in the PC's TFTP directory."
echo "lost: written, not the newest, and not byte-identical on the PC; miss: stat.txt's count."
echo "rate: files per second from the time stamps in the first and last name of the run."
echo "bare loops: one file at a time from a shell loop, random files of the same size, through"
echo "  the adb named above. Shaping: tbf 100mbit burst 32kbit latency 50ms on the router's"
echo "  bridge port lan0, egress towards the PC (the direction of the uploads)."
echo "CPU: utime+stime of the daemon process (all threads, not its children), /proc/PID/stat."
echo "idle polling: utime+stime+cutime+cstime of the daemon (so every listing's shell and adb"
echo "  client it waited for) plus utime+stime of the adb server, against the same sum for a"
echo "  bash loop running the daemon's listing command once a second (paced with read -t, no"
echo "  sleep process); the modem's side is not counted. Resolution: one clock tick (10 ms)."
echo
echo "run time: $(($(date +%s) - T_START)) s"
