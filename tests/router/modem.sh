#!/bin/bash
# The diag tool simulator on the modem, driven through adb the way the
# daemon drives it: start, names, rolling, pacing controls, hostile names,
# -k and its failure modes.
. "$(dirname "$0")/../e2e/lib/lib.sh"
DIR=/run/diag_logs
MDIR=$EMU_MODEM_ROOT$DIR

start_tool() {
    sh -c "adb shell nohup diag_mdlog -f $DIR/DIAG.cfg -o $DIR/ -s 0.001 -n ${1:-3} >/dev/null 2>&1 &"
}

running() {
    test -n "$(adb shell busybox pgrep diag_mdlog)"
}

# on_modem CMD: runs CMD on the modem and returns its exit status. The
# status travels in the output, since an old modem's adbd passes none back
# (its adb shell always exits 0); CMD's own output is dropped.
on_modem() {
    local out
    out=$(adb shell "$* >/dev/null 2>&1; echo exit=\$?")
    [[ $out =~ exit=([0-9]+) ]] || e2e_fail "no status from [$*]: [$out]"
    return "${BASH_REMATCH[1]}"
}

adb shell busybox mkdir -p $DIR
log "refuses to start without its configuration"
on_modem diag_mdlog -f $DIR/DIAG.cfg -o $DIR/ -s 1 -n 3 && e2e_fail "started without DIAG.cfg"
refute "running" running

adb push "$EMU_RUN_DIR/e2e/daemon.out" $DIR/DIAG.cfg >/dev/null
ctl mdlog_interval_ms 100
start_tool 3
check "tool comes up" wait_until 3 running
pid=$(adb shell busybox pgrep diag_mdlog)
expect_eq "$(cat "/proc/$pid/comm")" diag_mdlog "process name"
expect_eq "$(tr -d '\n' <"$EMU_MODEM_ROOT/run/diag_mdlog_pid")" "$pid" "modem pid file"
check "router's /run untouched" test ! -e /run/diag_mdlog_pid
check "six files written" wait_until 5 written_at_least 6

log "names, ids and rolling"
ctl mdlog_pause
sleep 0.3
listing=$(adb shell "cd $DIR && ls -1 --color=never diag_log_*.qmdl*")
expect_eq "$(wc -l <<<"$listing")" 3 "files kept with -n 3"
prev=
while IFS= read -r name; do
    [[ $name =~ ^diag_log_[0-9]{8}_[0-9]{6}_[0-9]{3}_[0-9]{2}\.qmdl$ ]] || e2e_fail "name [$name]"
    [ -z "$prev" ] || [[ $prev < $name ]] || e2e_fail "[$prev] does not sort before [$name]"
    prev=$name
done < <(manifest_names)
ids=$(manifest_names | head -n 4 | cut -c30-31 | tr '\n' ' ')
expect_eq "$ids" "00 01 02 03 " "first ids"
for name in $listing; do
    sum=$(sha256sum <"$MDIR/$name")
    check "manifest checksum of $name" grep -qxF "$name ${sum%% *}" "$EMU_LOG_DIR/manifest"
done

log "skip, repeat, burst"
n=$(written)
last=$(manifest_names | tail -n 1 | cut -c30-31)
ctl mdlog_skip 2
ctl_clear mdlog_pause
check "skip applied" wait_until 3 written_at_least $((n + 1))
expect_eq "$(manifest_names | sed -n "$((n + 1))p" | cut -c30-31)" \
    "$(printf %02d $(((10#$last + 3) % 100)))" "id after skipping 2"
ctl mdlog_pause
sleep 0.3
n=$(written)
ctl mdlog_repeat 1
ctl_clear mdlog_pause
check "repeat applied" wait_until 3 written_at_least $((n + 2))
a=$(manifest_names | sed -n "$((n))p" | cut -c30-31)
b=$(manifest_names | sed -n "$((n + 1))p" | cut -c30-31)
expect_eq "$b" "$a" "repeated id"
ctl mdlog_burst 4
check "burst written" wait_until 3 grep -q "burst of 4)" "$EMU_LOG_DIR/diag_mdlog.log"
forbid_line "renamed" "$EMU_LOG_DIR/diag_mdlog.log"

log "hostile and invalid literal names"
ctl name_next "$(printf '%s\n' 'diag_log_$(touch${IFS}pwned)_00.qmdl' \
    'diag_log_this_name_is_far_too_long_for_the_daemon.qmdl' 'not_a_log.txt')"
check "literal names consumed" wait_until 3 test ! -e "$EMU_CTL_DIR/name_next"
check "hostile name written" grep -qF 'diag_log_$(touch${IFS}pwned)_00.qmdl ' "$EMU_LOG_DIR/manifest"
refute "hostile name ran" test -e "$E2E_CWD/pwned"
expect_eq "$(grep -c "rejected name_next" "$EMU_LOG_DIR/diag_mdlog.log")" 2 "rejected names"

log "-k stops it"
on_modem diag_mdlog -k || e2e_fail "diag_mdlog -k failed"
refute "still running after -k" running
check "pid file removed" test ! -e "$EMU_MODEM_ROOT/run/diag_mdlog_pid"
check "no zombie" test -z "$(ps -eo stat=,comm= | grep '^Z.*diag_mdlog')"
on_modem diag_mdlog -k && e2e_fail "-k without a running tool succeeded"

log "-k stops it even when started with SIGTERM blocked and ignored"
# (env on the modem, right before the tool: no shell in between to reset them)
sh -c "adb shell env --block-signal=TERM,INT --ignore-signal=TERM nohup diag_mdlog \
    -f $DIR/DIAG.cfg -o $DIR/ -s 0.001 -n 3 >/dev/null 2>&1 &"
check "tool comes up" wait_until 3 running
on_modem diag_mdlog -k || e2e_fail "diag_mdlog -k failed on a tool started with TERM blocked"
refute "still running after -k" running

log "-k refused, then forced"
ctl mdlog_kill_fail
start_tool
check "tool comes up" wait_until 3 running
on_modem diag_mdlog -k && e2e_fail "-k should fail"
check "still running" running
on_modem busybox pkill -9 diag_mdlog || e2e_fail "pkill"
check "killed" wait_until 2 not running
ctl_clear mdlog_kill_fail
adb shell busybox rm -f /run/diag_mdlog_pid

log "-k accepted, tool lingers 2 s"
ctl mdlog_linger_s 2
start_tool
check "tool comes up" wait_until 3 running
t0=$(date +%s%N)
on_modem diag_mdlog -k || e2e_fail "-k with linger"
check "still there right after -k" running
check "gone after the linger" wait_until 4 not running
ms=$((($(date +%s%N) - t0) / 1000000))
check "lingered about 2 s ($ms ms)" test "$ms" -ge 1500 -a "$ms" -lt 4000
ctl_clear mdlog_linger_s

log "never starts"
ctl mdlog_nostart
start_tool
sleep 0.5
refute "running" running
e2e_pass
