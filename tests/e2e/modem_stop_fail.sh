#!/bin/bash
# The diag tool refuses "-k" at shutdown: the forced kill and the removal of
# its pid file follow and the shutdown completes. Then a tool that nothing
# stops: both CHECK lines, ten probes, the ASSERT and status 1, with the
# later steps not run and the daemon's pid file left behind.
# After a "-k" reported as done, a tool that takes 7 s to stop is never
# forced; one that runs on is forced after ten probes, and the shutdown ends.
# An older modem makes every "adb shell" exit 0: a failed "-k" looks done,
# and only the probes that still find the tool bring the forced kill (after
# ten of them); a failed pkill or rm leaves no CHECK line there.
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib/lib.sh"
. "$HERE/lib/pipeline_checks.sh"

PKILL="shell busybox pkill -9 diag_mdlog"
RM_PID="shell busybox rm -f /run/diag_mdlog_pid"
TOOL_PID_FILE=$EMU_MODEM_ROOT/run/diag_mdlog_pid
RM_DIR="shell busybox rm -rf /run/diag_logs/"
OLD_MODEM=0
[ "${EMU_ADB:-}" = real ] && [ "${EMU_MODEM:-}" = old ] && OLD_MODEM=1

# The lifecycle calls from the stop to the log directory's removal.
stop_calls() {
    run_adb_calls | grep -v -e '^shell cd ' -e '^pull ' |
        awk -v a="$STOP" -v b="$RM_DIR" '$0 == a { on = 1 } on && $0 == b { exit } on'
}

write_config '{"modem.log.size": 0.01, "modem.log.number": 4}'
write_diag_cfg
ctl mdlog_interval_ms 500

new_run "-k fails, the forced kill works"
start_daemon
wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
check "tool's pid file" test -s "$TOOL_PID_FILE"
ctl mdlog_kill_fail
stop_daemon TERM 25 || e2e_fail "daemon did not end within 25 s of SIGTERM"
expect_eq "$(stop_calls | grep -vxF "$PROBE")" "$STOP
$PKILL
$RM_PID" "forced kill and pid-file removal after the failed -k"
expect_eq "$(stop_calls | awk -v a="$RM_PID" '$0 == a { on = 1; next } on' | grep -cxF "$PROBE")" 1 \
    "one probe finds the killed tool gone"
expect_eq "$(stop_calls | awk -v a="$PKILL" '$0 == a { exit } 1' | grep -cxF "$PROBE")" \
    $((OLD_MODEM * 10)) "probes before the forced kill"
check "failure logged" in_order "[3]stop diag tool in modem..." "Kill modem diag tool fail, force kill."
forbid_line "pkill err"
forbid_line "rm err"
check "tool's pid file removed" test ! -e "$TOOL_PID_FILE"
expect_clean_end
expect_steps 1 2 3 4 5 6 7 8 9
ctl_clear mdlog_kill_fail

for linger in 7 forever; do
    new_run "-k done, the tool lingers: $linger"
    start_daemon
    wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
    ctl mdlog_linger_s $linger
    stop_daemon TERM 30 || e2e_fail "daemon did not end within 30 s of SIGTERM"
    forced=1 && [ $linger = 7 ] && forced=0
    expect_eq "$(stop_calls | grep -cxF "$PKILL")" $forced "forced kills"
    [ $forced = 0 ] || expect_eq "$(stop_calls | awk -v a="$PKILL" '$0 == a { exit } 1' |
        grep -cxF "$PROBE")" 10 "probes before the forced kill"
    expect_clean_end
done
ctl_clear mdlog_linger_s

new_run "nothing stops the tool"
start_daemon
wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
expect_pid_file
ctl mdlog_kill_fail
ctl modem_pkill_fail
# A directory where the tool's pid file was: "rm -f" fails on it.
rm -f "$TOOL_PID_FILE" && mkdir "$TOOL_PID_FILE"
stop_daemon TERM 30 || e2e_fail "daemon did not end within 30 s of SIGTERM"
expect_eq "$DAEMON_STATUS" 1 "exit status"
expect_line 'stop_modem_orDie(): Kill modem diag tool fail, force kill.'
if [ "$OLD_MODEM" = 0 ]; then
    expect_line 'stop_modem_orDie(): CHECK(call_system("adb shell busybox pkill -9 " MODEM_APP_NAME)) failed. pkill err'
    expect_line 'stop_modem_orDie(): CHECK(call_system("adb shell busybox rm -f " MODEM_PID_FILE)) failed. rm err'
    check "pkill CHECK before rm CHECK" in_order "pkill err" "rm err"
fi
expect_eq "$(run_adb_calls | awk -v a="$STOP" '$0 == a { on = 1; next } on' | grep -cxF "$PROBE")" \
    $((10 + OLD_MODEM * 3)) "probes after the stop"
expect_eq "$(run_adb_calls | grep -cxF "$PKILL")" 1 "one forced kill"
expect_eq "$(tail -n 1 "$DAEMON_OUT" | sed 's/^\[[0-9]*\]src\/diagferry_main([0-9]*) //')" \
    "stop_modem_orDie(): [PROTOCOL]ASSERT(logging == FALSE) failed. wait modem down timeout." \
    "last line"
t3=$(grep -F "[3]stop diag tool in modem..." "$DAEMON_OUT" | sed 's/^\[\([0-9]*\)\].*/\1/')
tend=$(tail -n 1 "$DAEMON_OUT" | sed 's/^\[\([0-9]*\)\].*/\1/')
check "nine 1-second sleeps (step 3 took $((tend - t3)) s)" test $((tend - t3)) -ge 9
forbid_line "[4]stop query thread..."
forbid_line "[PROTOCOL]exited"
check "pid file left behind" test -s "$PID_FILE"
check "tool still running" test -n "$(adb shell busybox pgrep diag_mdlog)"
e2e_pass
