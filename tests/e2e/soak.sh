#!/bin/bash
# Fault-injection soak: several daemon runs back to back while the modem
# rolls small files quickly with id gaps and repeats, adb loses a share of
# pulls and listings and appends lying lines (../x) to some listings, and
# the PC's TFTP server goes away and comes back or refuses files for a
# while, and the router's wall clock steps an hour forward or back; in
# soaks of 200 s or more, pulls also stall and uploads trickle until their
# limits kill them. The daemon's output goes through a one-page pipe whose
# reader stalls at times, or goes and is replaced.
# Some runs end quietly, some with TERM, INT or HUP at a random moment or in
# the middle of a pull. After every run tests/tools/check_invariants.sh
# proves that nothing was lost silently, that the counters agree with the
# journals and the PC, that the working directory is clean and that the
# daemon's resident memory did not grow.
#
#   SOAK_SECONDS   total length, about (default 80: the CI version)
#   SOAK_SEED      seed of the fault schedule (default 1)
#   SOAK_RSS_TOLERANCE_KB  allowed growth of resident memory (default 256)
#   SOAK_KEEP_LIST_FAULTS  1: listings may still fail during the shutdown
#
# After the first run the checker is fed a doctored copy of that run and
# must find every planted fault.
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib/lib.sh"
. "$HERE/lib/pipeline_checks.sh"

CHECKER=$HERE/../tools/check_invariants.sh
SOAK_SECONDS=${SOAK_SECONDS:-80}
SOAK_SEED=${SOAK_SEED:-1}
RSS_TOL_KB=${SOAK_RSS_TOLERANCE_KB:-256}
RANDOM=$SOAK_SEED
SOAK_END=$(($(date +%s) + SOAK_SECONDS))
RSS_PID=
RSS_FILE=$E2E_DIR/rss
EVENTS=0 OUTAGES=0 REFUSALS=0 TRICKLES=0 SKIPS=0 REPEATS=0 LIES=0
CLOCK_STEPS=0 CLOCK_OFFSET=0
TOTAL_WRITTEN=0 TOTAL_DELIVERED=0 TOTAL_JOURNALLED=0 TOTAL_IN_GAPS=0 TOTAL_PARTIAL=0

# sleep_ms MS
sleep_ms() {
    sleep "$(($1 / 1000)).$(printf %03d $(($1 % 1000)))"
}

# The sampler is ours: end it by its pid, also when the scenario fails.
stop_rss_sampler() {
    if [ -n "$RSS_PID" ]; then
        kill "$RSS_PID" 2>/dev/null
        wait "$RSS_PID" 2>/dev/null
        RSS_PID=
    fi
}
trap 'stop_rss_sampler; e2e_cleanup' EXIT

# Samples the daemon's VmRSS every 2 s into $RSS_FILE as "SECONDS KB".
start_rss_sampler() {
    : >"$RSS_FILE"
    (
        while kv=$(awk '/^VmRSS:/ { print $2 }' "/proc/$DAEMON_PID/status" 2>/dev/null) && [ -n "$kv" ]; do
            echo "$(date +%s) $kv"
            sleep 2
        done
    ) >>"$RSS_FILE" &
    RSS_PID=$!
}

tftp_up() {
    chmod 0777 "$EMU_PC_TFTP_DIR"
    pcctl tftp start >/dev/null || e2e_fail "the PC's TFTP server did not come back"
    tftpd_realtime
}

# tftp_outage MS: the PC's server stopped for MS ms. busybox tftp repeats
# its request for about 13 s, so a short outage only delays uploads and a
# long one makes them fail.
tftp_outage() {
    OUTAGES=$((OUTAGES + 1))
    pcctl tftp stop >/dev/null
    sleep_ms "$1"
    tftp_up
}

# tftp_refusal MS: the PC refuses new files for MS ms (its directory is not
# writable): every upload started meanwhile fails at once.
tftp_refusal() {
    REFUSALS=$((REFUSALS + 1))
    chmod 0555 "$EMU_PC_TFTP_DIR"
    sleep_ms "$1"
    chmod 0777 "$EMU_PC_TFTP_DIR"
}

# tftp_trickle_for MS: for MS ms the PC acknowledges uploads a block a
# second (tests/tools/tftp_trickle): an upload that never finishes, killed
# at its limit and journalled as missed "send".
tftp_trickle_for() {
    local pid
    TRICKLES=$((TRICKLES + 1))
    pcctl tftp stop >/dev/null
    pcctl exec "$EMU_BUILD_DIR/tests/tftp_trickle" "$EMU_PC_TFTP_DIR" "$EMU_PC_IP" 1000 \
        >/dev/null 2>&1 &
    pid=$!
    sleep_ms "$1"
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    tftp_up
}

# clock_step_fault: the daemon's wall clock steps an hour, staying within
# an hour of the real one (tests/tools/wall_clock_shim.c); once a run.
clock_step_fault() {
    CLOCK_STEPS=$((CLOCK_STEPS + 1))
    if [ "$CLOCK_OFFSET" = 0 ]; then CLOCK_OFFSET=$((RANDOM % 2 ? 3600 : -3600)); else CLOCK_OFFSET=0; fi
    clock_step "$CLOCK_OFFSET"
}

# One fault, chosen at random, while the daemon runs.
inject_fault() {
    EVENTS=$((EVENTS + 1))
    case $((RANDOM % 14)) in
    0 | 1)
        SKIPS=$((SKIPS + 1))
        ctl mdlog_skip $((1 + RANDOM % 4))
        ;;
    2)
        REPEATS=$((REPEATS + 1))
        ctl mdlog_repeat $((1 + RANDOM % 2))
        ;;
    3 | 4) ctl pull_fail_percent "$((RANDOM % 30))" ;;
    5) ctl list_fail_percent "$((RANDOM % 25))" ;;
    6) tftp_outage $((300 + RANDOM % 2200)) ;;
    7) tftp_refusal $((300 + RANDOM % 1500)) ;;
    8)
        # Long enough for the client to give up, in soaks that have time.
        if [ "$SOAK_SECONDS" -ge 200 ]; then tftp_outage $((14000 + RANDOM % 3000)); fi
        ;;
    9)
        # A lying modem: names that reach outside the log directories.
        LIES=$((LIES + 1))
        printf '%s\n' ../soak_planted "diag_log_/../../soak_planted.qmdl" .. \
            >"$EMU_CTL_DIR/list_extra"
        ;;
    10)
        # A pull that stalls until its limit kills it: the file is
        # journalled as missed "pull" and the pipeline goes on.
        if [ "$SOAK_SECONDS" -ge 200 ]; then ctl pull_hang_next 1; fi
        ;;
    11)
        # An upload that never finishes, past its 30 s limit; rarer than
        # the rest, as it holds the send stage for half a minute.
        if [ "$SOAK_SECONDS" -ge 200 ] && [ $((RANDOM % 3)) = 0 ]; then
            tftp_trickle_for $((35000 + RANDOM % 5000))
        fi
        ;;
    # A terminal that stops reading (Ctrl-S); a tee that ends, and a new one.
    12) reader_signal STOP && sleep_ms $((500 + RANDOM % 4000)) && reader_signal CONT ;;
    13) reader_signal KILL && sleep_ms $((300 + RANDOM % 2000)) && reader_start ;;
    *) ;;
    esac
}

# Every knob back to its default between runs.
reset_knobs() {
    local k
    for k in pull_fail_percent list_fail_percent list_extra pull_rate_bps pull_hang_next mdlog_skip mdlog_repeat \
        mdlog_pause; do
        ctl_clear "$k"
    done
}

pull_count() {
    run_adb_calls | grep -c '^pull '
}

# pulls_above N: more than N pulls have started in this run.
pulls_above() {
    [ "$(pull_count)" -gt "$1" ]
}

# stop_run HOW SIGNAL: ends the run. quiet: the modem pauses and the
# pipeline settles first; random: at a random moment; mid-pull: while a
# slowed-down pull is under way. The listing faults end first (unless
# SOAK_KEEP_LIST_FAULTS is 1): the shutdown's final listing is the only one
# that takes the newest file, and when it fails that file and every one
# written since the last good listing are gone without a journal line.
stop_run() {
    local how=$1 sig=$2 n
    [ "${SOAK_KEEP_LIST_FAULTS:-0}" = 1 ] || ctl_clear list_fail_percent
    tftp_up
    case $how in
    quiet)
        ctl mdlog_pause
        sleep 3
        ;;
    random)
        sleep_ms "$((RANDOM % 1000))"
        ;;
    mid-pull)
        n=$(pull_count)
        wait_until 10 pulls_above "$n" || e2e_fail "no pull started before the stop"
        ;;
    esac
    stop_rss_sampler
    stop_daemon "$sig" 60 || e2e_fail "the daemon did not end within 60 s of SIG$sig"
    reader_end
}

# check_run: the scenario's own checks, then the invariant checker.
check_run() {
    local out=$E2E_DIR/check.$RUN_NO rc
    expect_clean_end
    check_stat_file
    "$CHECKER" -m "$EMU_LOG_DIR/manifest" -p "$EMU_PC_TFTP_DIR" -w "$WORKDIR" -o "$DAEMON_OUT" \
        -r "$RSS_FILE" -t "$RSS_TOL_KB" >"$out"
    rc=$?
    sed 's/^/    /' "$out"
    [ "$rc" = 0 ] || e2e_fail "run $RUN_NO broke the invariants (see above)"
    expect_eq "$(cat /tmp/soak_planted 2>&1)" "keep me" "router file a lying listing names"
    set -- $(sed -n 's/^written \([0-9]*\) delivered \([0-9]*\) journalled \([0-9]*\) in-gaps \([0-9]*\) partial \([0-9]*\).*/\1 \2 \3 \4 \5/p' "$out")
    TOTAL_WRITTEN=$((TOTAL_WRITTEN + $1)) TOTAL_DELIVERED=$((TOTAL_DELIVERED + $2))
    TOTAL_JOURNALLED=$((TOTAL_JOURNALLED + $3)) TOTAL_IN_GAPS=$((TOTAL_IN_GAPS + $4))
    TOTAL_PARTIAL=$((TOTAL_PARTIAL + $5))
    # Copies the journals say stay behind are the run's, not the next one's.
    find "$WORKDIR" -mindepth 1 -maxdepth 1 ! -name DIAG.cfg -exec rm -f {} +
}

# soak_run SECONDS HOW SIGNAL
soak_run() {
    local secs=$1 how=$2 sig=$3 end step_at
    reset_knobs
    ctl mdlog_interval_ms $((200 + RANDOM % 250))
    ctl mdlog_size_bytes $((2000 + RANDOM * 2 % 60000))
    [ "$how" = mid-pull ] && ctl pull_rate_bps 100000
    new_run "$secs s, stop: $how $sig"
    start_daemon_piped
    wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
    # Memory is sampled from the first delivered file on: start-up is over.
    wait_line "send log from router to PC in" 15 || e2e_fail "nothing delivered"
    start_rss_sampler
    end=$(($(date +%s) + secs))
    step_at=$((end - secs + 1 + RANDOM % (secs - 2)))
    while [ "$(date +%s)" -lt "$end" ]; do
        sleep_ms $((300 + RANDOM % 1200))
        inject_fault
        if [ -n "$step_at" ] && [ "$(date +%s)" -ge "$step_at" ]; then clock_step_fault; step_at=; fi
    done
    stop_run "$how" "$sig"
    check_run
}

# The checker must fail on a doctored copy of a good run: a delivered file
# deleted at the PC, a counter changed, a stray file on the router and
# memory that grows.
checker_self_test() {
    local d=$E2E_DIR/doctored victim out
    rm -rf "$d"
    mkdir -p "$d/pc" "$d/work"
    cp -p "$EMU_PC_TFTP_DIR"/* "$d/pc/"
    victim=$(cd "$d/pc" && ls -1 diag_log_* | head -n 1)
    [ -n "$victim" ] || e2e_fail "self-test: no delivered file to delete"
    "$CHECKER" -m "$EMU_LOG_DIR/manifest" -p "$d/pc" -w "$d/work" -o "$DAEMON_OUT" >/dev/null ||
        e2e_fail "self-test: the untouched copy already fails"
    rm -f "$d/pc/$victim"
    sed -i '1s/ dup:\([0-9]*\)$/ dup:9\1/' "$d/pc/stat.txt"
    : >"$d/work/diag_log_stray.qmdl"
    printf '%s\n' "1 4000" "2 4000" "3 4100" "4 4900" "5 5000" "6 5000" >"$d/rss"
    out=$("$CHECKER" -m "$EMU_LOG_DIR/manifest" -p "$d/pc" -w "$d/work" -r "$d/rss" -t 256)
    expect_eq "$?" 1 "checker status on a doctored run"
    printf '%s\n' "$out" | sed 's/^/    doctored: /'
    for want in "VIOLATION: lost silently: $victim " "VIOLATION: send:" "VIOLATION: dup:9" \
        "VIOLATION: left in the working directory: diag_log_stray.qmdl" \
        "VIOLATION: resident memory grew from 4000 KiB (first third) to 5000 KiB"; do
        grep -qF -- "$want" <<<"$out" || e2e_fail "self-test: the checker missed [$want]"
    done
}

clock_shim
write_config '{"modem.log.size": 0.05, "modem.log.number": 10, "modem.log.zip_level": 0}'
write_diag_cfg
# What a lying listing's "../soak_planted" would overwrite and delete, on
# the router, with the modem's copy of the same path.
printf 'keep me\n' >/tmp/soak_planted
printf 'modem bytes\n' >"$EMU_MODEM_ROOT/run/soak_planted"
log "soak: $SOAK_SECONDS s, seed $SOAK_SEED, memory tolerance $RSS_TOL_KB KiB"

# The first, longest run is the one on which memory growth would show.
first=$((SOAK_SECONDS / 3))
[ "$first" -ge 15 ] || first=15
soak_run "$first" quiet TERM
checker_self_test
kinds=("mid-pull INT" "random HUP" "mid-pull TERM" "quiet TERM" "random INT" "random TERM" "mid-pull HUP")
k=0
while [ $((SOAK_END - $(date +%s))) -ge 14 ]; do
    secs=$((6 + RANDOM % 10))
    left=$((SOAK_END - $(date +%s) - 8))
    [ "$secs" -le "$left" ] || secs=$left
    soak_run "$secs" ${kinds[k % ${#kinds[@]}]}
    k=$((k + 1))
done
reset_knobs
rm -f /tmp/soak_planted "$EMU_MODEM_ROOT/run/soak_planted"
log "soak: $RUN_NO runs, $EVENTS faults ($OUTAGES TFTP outages, $REFUSALS refusals, $TRICKLES trickling uploads, $SKIPS id gaps, $REPEATS repeats, $LIES lying listings, $CLOCK_STEPS clock steps)"
log "soak: written $TOTAL_WRITTEN, delivered $TOTAL_DELIVERED, journalled as missed $TOTAL_JOURNALLED, in gaps $TOTAL_IN_GAPS, partial uploads $TOTAL_PARTIAL"
e2e_pass
