#!/bin/bash
# Start-up failures, each an ASSERT and status 1 with no shutdown step: no
# telnet connection to take the PC's address from (before the modem is
# touched), a diag tool that never comes up (three probes), and a DIAG.cfg
# missing from the working directory (the fresh log directory stays, empty).
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib/lib.sh"
. "$HERE/lib/pipeline_checks.sh"

no_telnet_line() { ! netstat -nt 2>/dev/null | grep -q ':23'; }

write_config '{"modem.log.size": 0.01, "modem.log.number": 4}'
write_diag_cfg

new_run "no telnet connection"
pcctl telnet drop
wait_until 5 no_telnet_line || e2e_fail "telnet connection still listed"
run_daemon -f "$CONF"
expect_eq "$DAEMON_STATUS" 1 "exit status"
expect_line "get_pc_ip(): netstat failed!"
expect_line "main(): [PROTOCOL]ASSERT(get_pc_ip(l_pc_ip)) failed. failed to get PC IP"
expect_eq "$(run_adb_calls)" "" "adb calls"
pcctl telnet connect || e2e_fail "telnet session not restored"

new_run "the tool never comes up"
ctl mdlog_nostart
started=$(date +%s%N)
run_daemon -f "$CONF"
took=$((($(date +%s%N) - started) / 1000000))
ctl_clear mdlog_nostart
expect_eq "$DAEMON_STATUS" 1 "exit status"
# The start runs in the background, so its adb line may come after the
# first probe: count the probes after the push that precedes the start.
expect_eq "$(run_adb_calls | awk '/^push / { on = 1; next } on' | grep -cxF "$PROBE")" 3 \
    "probes after the start"
expect_eq "$(run_adb_calls | awk '/^push / { on = 1; next } on' | grep -c '^shell nohup ')" 1 \
    "one start after the push"
expect_line "start_modem_orDie(): [PROTOCOL]ASSERT(logging == TRUE) failed. wait modem up timeout."
forbid_line "modem up!"
forbid_line "[PROTOCOL]init done"
check "two 1-second sleeps (took $took ms)" test "$took" -ge 2000
expect_eq "$(tr -d '\0' <"$PID_FILE")" "$(sed -n 's/.* main thread start: pid \([0-9]*\) .*/\1/p' "$DAEMON_OUT")" \
    "stale pid file left"
expect_eq "$(tail -n 1 "$DAEMON_OUT" | sed 's/^\[[0-9]*\]src\/diagferry_main([0-9]*) //')" \
    "start_modem_orDie(): [PROTOCOL]ASSERT(logging == TRUE) failed. wait modem up timeout." "last line"

new_run "DIAG.cfg missing"
rm -f "$WORKDIR/DIAG.cfg"
run_daemon -f "$CONF"
expect_eq "$DAEMON_STATUS" 1 "exit status"
expect_eq "$(tail -n 1 "$DAEMON_OUT" | sed 's/^\[[0-9]*\]src\/diagferry_main([0-9]*) //')" \
    "push_modem_log_conf_orDie(): [PROTOCOL]ASSERT(call_system(cmd) == TRUE) failed. push DIAG.cfg from router to modem failed" \
    "last line"
# Debian's adb checks the modem's side before it finds the local file
# missing: the modem sees only that stat.
check "push attempted" grep -qxF -e "push /run/diag_logs/DIAG.cfg" -e "stat /run/diag_logs/DIAG.cfg" \
    <(run_adb_calls)
check "tool not started" not grep -q '^shell nohup ' <(run_adb_calls)
check "modem log directory left" test -d "$MODEM_DIR"
expect_eq "$(ls -A "$MODEM_DIR")" "" "modem log directory contents"
e2e_pass
