#!/bin/bash
# inside.sh: the measurements of scripts/bench.sh, run inside the emulated
# router (router/emu -B BUILD -- bench/inside.sh RESULTS DURATION LADDER PHASES).
#
#   RESULTS   file on the host's file system; one KEY=VALUE line per figure
#   DURATION  seconds of each daemon run (60 for the full run, 20 quick)
#   LADDER    simulator intervals in ms, comma-separated, tried in order
#             until a run loses a file
#   PHASES    comma-separated subset of the phases below (default: all)
#
# Phases:
#   latency   1 MiB files once a second; completion = the successor's
#             appearance on the modem (ctime of the renamed file, polled),
#             arrival = final mtime of the byte-identical copy on the PC;
#             the daemon's CPU time and peak RSS over the same run (busy)
#   idle      the diag tool paused; the daemon's CPU time and peak RSS, and
#             the router's whole cost of the idle polling (the daemon, the
#             shell and adb client of each listing, the adb server) beside
#             a bare shell loop running the same listing once a second
#   ladder    1 MiB files at shorter and shorter intervals, each run checked
#             for stat.txt miss 0 and every file but the newest on the PC
#   bare      adb pull, busybox tftp and pull-then-send loops without the
#             daemon, over random files of the same size
#   transfer  adb throttled to 35 MB/s, the router's port towards the PC
#             shaped to 100 Mbit/s, 10 MiB files: bare loops, then the daemon
set -u
RESULTS=$1
DURATION=${2:-60}
LADDER=${3:-1000,500,333,250,200,167,143,125,100}
PHASES=${4:-latency,idle,bare,ladder,transfer}

. "$EMU_SRC_DIR/tests/e2e/lib/lib.sh"
. "$EMU_SRC_DIR/bench/calc.sh"

MIB=1048576
MODEM_DIR=$EMU_MODEM_ROOT/run/diag_logs
BARE_MODEM=/run/bench                  # bare-loop files, as the modem sees them
BARE_ROUTER=/tmp/bench                 # their router-side copies
SHAPED_IF=lan0                         # router's bridge port towards the PC
CLK_TCK=$(getconf CLK_TCK)
WATCH_PID=                             # modem directory watcher, when running
TC_ADDED=0                             # 1 while our qdisc is on $SHAPED_IF

res() {
    printf '%s=%s\n' "$1" "$2" >>"$RESULTS"
}

# Everything this script started or changed, on any way out.
bench_cleanup() {
    stop_watch
    if [ "$TC_ADDED" = 1 ]; then
        tc qdisc del dev "$SHAPED_IF" root 2>/dev/null
        TC_ADDED=0
    fi
    rm -rf "$BARE_ROUTER" "$EMU_MODEM_ROOT$BARE_MODEM"
    e2e_cleanup
}
trap 'bench_cleanup' EXIT

# ---- one daemon run ---------------------------------------------------------

# fresh_run SIZE_MB INTERVAL_MS: empty PC directory, manifest and controls,
# configuration with 10 files on the modem and no compression.
fresh_run() {
    [ -s "$DAEMON_OUT" ] && cp "$DAEMON_OUT" "$E2E_DIR/daemon.out.last"
    : >"$DAEMON_OUT"
    rm -f "$EMU_PC_TFTP_DIR"/* 2>/dev/null
    : >"$EMU_LOG_DIR/manifest"
    rm -f "$EMU_CTL_DIR"/mdlog_* "$EMU_CTL_DIR"/pull_*
    write_config "{\"modem.log.size\": $1, \"modem.log.number\": 10, \"modem.log.zip_level\": 0}"
    write_diag_cfg
    ctl mdlog_interval_ms "$2"
}

start_and_wait() {
    start_daemon
    wait_line "[PROTOCOL]init done" 30 || e2e_fail "no [PROTOCOL]init done"
}

finish_run() {
    stop_daemon TERM 90 || e2e_fail "daemon did not end within 90 s of SIGTERM"
    [ "$DAEMON_STATUS" = 0 ] || e2e_fail "daemon exit status $DAEMON_STATUS"
}

# proc_ticks PID [all]: clock ticks PID has used, utime + stime; with
# "all", also cutime + cstime: its children (and theirs) that it has
# waited for, which is every listing's shell and adb client.
proc_ticks() {
    local all=${2:-} stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    # After the command name: field 3 is the state, utime, stime, cutime,
    # cstime are 14 to 17.
    set -- $stat
    if [ "$all" = all ]; then
        echo $((${12} + ${13} + ${14} + ${15}))
    else
        echo $((${12} + ${13}))
    fi
}

# Daemon's own CPU time in clock ticks (children excluded).
cpu_ticks() {
    proc_ticks "$DAEMON_PID" || e2e_fail "daemon gone"
}

# The adb server's pid (Debian's adb only; the stand-in has none).
adb_server_pid() {
    local p
    for p in /proc/[0-9]*; do
        case $(tr '\0' ' ' <"$p/cmdline" 2>/dev/null) in
        *"fork-server server"*) echo "${p#/proc/}"; return 0 ;;
        esac
    done
    return 1
}

# poll_snapshot PID: "TIME TICKS LISTINGS": the wall clock, the ticks of PID
# with its waited-for children plus those of the adb server, and the
# listings the modem has answered so far.
poll_snapshot() {
    local t ticks server=0 spid listings
    t=$(now)
    ticks=$(proc_ticks "$1" all) || e2e_fail "poller $1 gone"
    spid=$(adb_server_pid) && server=$(proc_ticks "$spid")
    listings=$(grep -cF -- '&& ls -1 --color=never' "$EMU_LOG_DIR/adb.calls")
    echo "$t $((ticks + ${server:-0})) $listings"
}

# poll_cost PREFIX "SNAPSHOT0" "SNAPSHOT1": records PREFIX_poll_cpu_s,
# PREFIX_poll_wall_s, PREFIX_poll_listings and PREFIX_poll_per_min (CPU
# seconds per minute of running).
poll_cost() {
    local t0 c0 l0 t1 c1 l1
    read -r t0 c0 l0 <<<"$2"
    read -r t1 c1 l1 <<<"$3"
    res "$1_poll_cpu_s" "$(awk -v c=$((c1 - c0)) -v k="$CLK_TCK" 'BEGIN { printf "%.2f", c / k }')"
    res "$1_poll_wall_s" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }')"
    res "$1_poll_listings" $((l1 - l0))
    res "$1_poll_per_min" "$(awk -v c=$((c1 - c0)) -v k="$CLK_TCK" -v a="$t0" -v b="$t1" \
        'BEGIN { printf "%.2f", 60 * c / k / (b - a) }')"
}

vm_hwm_kib() {
    awk '/^VmHWM:/ { print $2 }' "/proc/$DAEMON_PID/status"
}

now() {
    date +%s.%N
}

# measure_for SECONDS PREFIX: samples the daemon's CPU over SECONDS and
# records PREFIX_cpu_pct, PREFIX_cpu_s and PREFIX_rss_kib.
measure_for() {
    local t0 c0 t1 c1
    t0=$(now) c0=$(cpu_ticks)
    sleep "$1"
    t1=$(now) c1=$(cpu_ticks)
    res "$2_cpu_s" "$(awk -v c=$((c1 - c0)) -v k="$CLK_TCK" 'BEGIN { printf "%.2f", c / k }')"
    res "$2_cpu_pct" "$(awk -v c=$((c1 - c0)) -v k="$CLK_TCK" -v a="$t0" -v b="$t1" \
        'BEGIN { printf "%.3f", 100 * c / k / (b - a) }')"
    res "$2_wall_s" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }')"
    res "$2_rss_kib" "$(vm_hwm_kib)"
}

# ---- what reached the PC ----------------------------------------------------

# check_delivery PREFIX: compares the PC's files with the manifest (see
# delivery in calc.sh) and reads stat.txt. Records PREFIX_written,
# PREFIX_delivered, PREFIX_lost, PREFIX_miss, PREFIX_reasons and
# PREFIX_ls_failed; sets
# DELIVERY_OK to 1 when nothing but the newest file is missing and the
# daemon counted no miss. Leaves the arrivals in $E2E_DIR/arrivals.
check_delivery() {
    local counts miss
    counts=$(delivery "$EMU_LOG_DIR/manifest" "$EMU_PC_TFTP_DIR" "$E2E_DIR/arrivals")
    set -- "$1" $counts
    miss=$(stat_miss "$EMU_PC_TFTP_DIR/stat.txt")
    res "$1_written" "$2"
    res "$1_delivered" "$3"
    res "$1_lost" "$4"
    res "$1_miss" "$miss"
    res "$1_reasons" "$(miss_reasons "$EMU_PC_TFTP_DIR/stat.txt")"
    # Listings that failed: the modem's ls races with the tool's rolling
    # deletions, and a failed listing lets the next one bring more names.
    res "$1_ls_failed" "$(grep -c 'exe query cmd (ls) failed' "$DAEMON_OUT")"
    DELIVERY_OK=0
    [ "$4" = 0 ] && [ "$miss" = 0 ] && [ "$2" -gt 1 ] && DELIVERY_OK=1
}

# ---- modem directory watcher ------------------------------------------------

# Polls the modem log directory every 200 ms; each line "CTIME NAME". The
# simulator renames a finished file into place, which sets its ctime: the
# moment it appeared, and so the moment its predecessor became complete.
# The kernel keeps that time, so the poll only has to see each file once in
# its life on the modem (10 files at 1 a second: 10 s).
start_watch() {
    : >"$E2E_DIR/watch"
    (
        trap - EXIT INT TERM
        while :; do
            find "$MODEM_DIR" -maxdepth 1 -name 'diag_log_*' -printf '%C@ %f\n' 2>/dev/null
            sleep 0.2
        done >>"$E2E_DIR/watch"
    ) &
    WATCH_PID=$!
}

stop_watch() {
    if [ -n "$WATCH_PID" ]; then
        kill "$WATCH_PID" 2>/dev/null
        wait "$WATCH_PID" 2>/dev/null
        WATCH_PID=
    fi
}

# ---- phases ----------------------------------------------------------------

phase_latency() {
    log "latency: 1 MiB once a second for $DURATION s"
    fresh_run 1 1000
    start_watch
    start_and_wait
    sleep 1
    measure_for "$DURATION" busy
    finish_run
    stop_watch
    check_delivery lat
    sed 's/ [^ ]*$//' "$EMU_LOG_DIR/manifest" >"$E2E_DIR/order"
    latencies "$E2E_DIR/watch" "$E2E_DIR/order" "$E2E_DIR/arrivals" >"$E2E_DIR/latencies"
    res lat_n "$(wc -l <"$E2E_DIR/latencies")"
    res lat_median "$(percentile 50 <"$E2E_DIR/latencies")"
    res lat_p95 "$(percentile 95 <"$E2E_DIR/latencies")"
    res lat_max "$(percentile 100 <"$E2E_DIR/latencies")"
}

phase_idle() {
    local s0 s1 loop_pid
    log "idle: diag tool paused for $DURATION s"
    fresh_run 1 1000
    ctl mdlog_pause
    start_and_wait
    sleep 2
    s0=$(poll_snapshot "$DAEMON_PID")
    measure_for "$DURATION" idle
    s1=$(poll_snapshot "$DAEMON_PID")
    poll_cost idle "$s0" "$s1"
    finish_run

    # The bare loop lists the directory as the idle daemon found it (its
    # configuration only) with the same command, once a second on the
    # clock, so a slow listing does not stretch the period. It waits with
    # read -t on a pipe nobody writes: a sleep program would add a process
    # a second to the loop's cost.
    log "idle: bare listing loop for $DURATION s"
    write_diag_cfg "$MODEM_DIR"
    bash -c 'exec 9<> <(:)
    next=${EPOCHREALTIME/./}
    while :; do
        adb shell "cd $1 && ls -1 --color=never diag_log_*.qmdl*" >/dev/null 2>&1
        next=$((next + 1000000))
        left=$((next - ${EPOCHREALTIME/./}))
        [ "$left" -gt 0 ] && read -r -t "$((left / 1000000)).$(printf %06d $((left % 1000000)))" -u 9
    done' bare_poll "$MODEM_LOG_DIR" &
    loop_pid=$!
    sleep 2
    s0=$(poll_snapshot "$loop_pid")
    sleep "$DURATION"
    s1=$(poll_snapshot "$loop_pid")
    kill "$loop_pid"
    wait "$loop_pid" 2>/dev/null
    poll_cost bare "$s0" "$s1"
    rm -rf "$MODEM_DIR"
}

phase_ladder() {
    local ms best=none broke=none steps=""
    for ms in ${LADDER//,/ }; do
        log "ladder: 1 MiB every $ms ms for $DURATION s"
        fresh_run 1 "$ms"
        start_and_wait
        sleep "$DURATION"
        finish_run
        check_delivery "step_$ms"
        res "step_${ms}_rate" "$(written_rate "$EMU_LOG_DIR/manifest")"
        steps+="$ms "
        if [ "$DELIVERY_OK" = 1 ]; then
            best=$ms
        else
            broke=$ms
            break
        fi
    done
    res ladder_steps "$steps"
    res ladder_best "$best"
    res ladder_broke "$broke"
}

# make_bare_files COUNT SIZE_BYTES: random files on the modem.
make_bare_files() {
    local i
    rm -rf "$EMU_MODEM_ROOT$BARE_MODEM" "$BARE_ROUTER"
    mkdir -p "$EMU_MODEM_ROOT$BARE_MODEM" "$BARE_ROUTER"
    for ((i = 0; i < $1; i++)); do
        head -c "$2" /dev/urandom >"$EMU_MODEM_ROOT$BARE_MODEM/bare_$i.qmdl"
    done
    rm -f "$EMU_PC_TFTP_DIR"/bare_* 2>/dev/null
}

# timed_loop KIND COUNT: runs one of the bare loops over the files; prints
# the seconds it took, or what failed (status 1).
timed_loop() {
    local kind=$1 n=$2 i f t0
    t0=$(now)
    for ((i = 0; i < n; i++)); do
        f=bare_$i.qmdl
        case $kind in
        adb)
            adb pull "$BARE_MODEM/$f" "$BARE_ROUTER/$f" >/dev/null || { echo "pull of $f failed"; return 1; }
            ;;
        tftp)
            busybox tftp -p -l "$BARE_ROUTER/$f" -r "$f" "$EMU_PC_IP" -b 16384 2>/dev/null ||
                { echo "upload of $f failed"; return 1; }
            ;;
        serial)
            adb pull "$BARE_MODEM/$f" "$BARE_ROUTER/$f" >/dev/null || { echo "pull of $f failed"; return 1; }
            busybox tftp -p -l "$BARE_ROUTER/$f" -r "$f" "$EMU_PC_IP" -b 16384 2>/dev/null ||
                { echo "upload of $f failed"; return 1; }
            rm -f "$BARE_ROUTER/$f"
            ;;
        esac
    done
    awk -v a="$t0" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }'
}

# bare_loops PREFIX COUNT SIZE_BYTES: files/s and MB/s of each loop; every
# upload checked byte for byte.
bare_loops() {
    local prefix=$1 n=$2 size=$3 kind secs i
    make_bare_files "$n" "$size"
    for kind in adb tftp serial; do
        secs=$(timed_loop "$kind" "$n") || e2e_fail "$kind loop: $secs"
        for ((i = 0; i < n; i++)); do
            [ "$kind" = adb ] && break
            cmp -s "$EMU_MODEM_ROOT$BARE_MODEM/bare_$i.qmdl" "$EMU_PC_TFTP_DIR/bare_$i.qmdl" ||
                e2e_fail "$kind loop: bare_$i.qmdl differs on the PC"
        done
        rm -f "$EMU_PC_TFTP_DIR"/bare_* 2>/dev/null
        res "${prefix}_${kind}_fps" "$(awk -v n="$n" -v s="$secs" 'BEGIN { printf "%.2f", n / s }')"
        res "${prefix}_${kind}_mbps" "$(awk -v n="$n" -v b="$size" -v s="$secs" \
            'BEGIN { printf "%.2f", n * b / s / 1e6 }')"
    done
    rm -rf "$EMU_MODEM_ROOT$BARE_MODEM" "$BARE_ROUTER"
}

phase_bare() {
    log "bare loops: 1 MiB files"
    bare_loops bare1 20 "$MIB"
}

phase_transfer() {
    local stop_at out
    log "transfer: adb at 35 MB/s, 100 Mbit/s towards the PC, 10 MiB files"
    tc qdisc add dev "$SHAPED_IF" root tbf rate 100mbit burst 32kbit latency 50ms ||
        e2e_fail "tc qdisc on $SHAPED_IF"
    TC_ADDED=1
    ctl pull_rate_bps 35000000
    bare_loops bare10 8 $((10 * MIB))
    fresh_run 10 800
    ctl pull_rate_bps 35000000
    start_and_wait
    sleep 1
    measure_for "$DURATION" xfer
    stop_at=$(now)
    finish_run
    check_delivery xfer
    out=$(sustained_mbps "$stop_at" $((10 * MIB)) "$E2E_DIR/arrivals")
    res xfer_mbps "${out% *}"
    res xfer_files "${out#* }"
    tc qdisc del dev "$SHAPED_IF" root || e2e_fail "tc qdisc del on $SHAPED_IF"
    TC_ADDED=0
    rm -f "$EMU_CTL_DIR/pull_rate_bps"
}

: >"$RESULTS"
res duration "$DURATION"
res started "$(date -u '+%Y-%m-%d %H:%M:%S UTC')"
res adb "$EMU_ADB, $EMU_MODEM modem$([ "$EMU_ADB" = real ] && adb version | sed -n '1s/.*version /, client /p')"
for phase in ${PHASES//,/ }; do
    case $phase in
    latency | idle | bare | ladder | transfer) "phase_$phase" ;;
    *) e2e_fail "unknown phase $phase" ;;
    esac
done
res done 1
e2e_pass
