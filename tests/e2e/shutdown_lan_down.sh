#!/bin/bash
# The PC goes silent (its address removed, link up): six unanswered ARP
# probes about ten seconds apart, "Network down detect.", and the shutdown
# runs on the keep-alive thread: cli and telnetd killed and telnetd started
# again, steps 1 (stop thread) to 7 and 8 (main), no final listing,
# stat.txt written to the working directory but not sent, the names still
# queued omitted as "lan broken"; status 0. The wall clock steps an hour as
# the PC goes silent: the probes keep their pace all the same.
# Slow: about 70 s of silence.
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib/lib.sh"
. "$HERE/lib/pipeline_checks.sh"

write_config '{"modem.log.size": 0.01, "modem.log.number": 10}'
write_diag_cfg
# Slow writing: every upload now waits out busybox tftp's 13 s time-out,
# so the queues fill but the listing stays short.
ctl mdlog_interval_ms 3000
ctl mdlog_pause
new_run "PC silent"
clock_shim
start_daemon
wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
ctl_clear mdlog_pause
expect_pid_file
wait_until 15 pc_has_logs 1 || e2e_fail "no files relayed"
telnetd_starts=$(grep -c "started pid" "$EMU_LOG_DIR/telnetd.log")
check "a cli session runs" pgrep -x cli >/dev/null
clock_step 3600
pcctl silent || e2e_fail "could not silence the PC"
wait_line "Network down detect." 100 || e2e_fail "no network-down verdict"
wait_exit 60 || e2e_fail "daemon did not end within 60 s of the verdict"
pcctl answer

expect_eq "$DAEMON_STATUS" 0 "exit status"
expect_eq "$(grep -o 'keep_alive_thread(): arp req no reply\. [0-9]*' "$DAEMON_OUT" | sed 's/.* //' | tr '\n' ' ')" \
    "1 2 3 4 5 6 " "unanswered probes"
check "verdict after the sixth" in_order "arp req no reply. 6" "keep_alive_thread(): Network down detect."
expect_eq "$(count_lines "diagferry exiting...")" 1 "shutdowns"
expect_steps 1n 2 3 4 5 6 7 8m
expect_line "stop_thread(): stop thread: receive a signal: 15"
forbid_line "stop thread exited"
expect_line "kill_self(): keep alive thread exited: pid $DAEMON_PID"
forbid_line "CHECK(call_system(\"killall -9 telnetd\")) failed"
forbid_line "CHECK(call_system(\"telnetd\")) failed"
forbid_line "send statistic file"
expect_line "kill_self(): statistic file kept in ${WORKDIR}stat.txt"
check "statistics written before main is released" \
    in_order "write_stat_file(): detect:" "[8]stop main thread..."
check "no final listing" not awk '/\[4\]stop query thread/ { on = 1 } on && /detect log:/ { f = 1 } END { exit !f }' \
    "$DAEMON_OUT"
check "names omitted from the queues" grep -qE 'omit \[[^]]+\] in (pull|send) queue: lan broken$' "$DAEMON_OUT"
! grep -E 'omit \[[^]]+\] in (pull|send) queue' "$DAEMON_OUT" | grep -vqE '(pull_thread|send_thread)\(\): ' ||
    e2e_fail "omit lines outside the pull and send threads' drains"
expect_line "[PROTOCOL]exited"
check "pid file removed" test ! -e "$PID_FILE"
check "modem log dir removed" test ! -e "$MODEM_DIR"
check "stat.txt in the working directory" grep -q "^detect:[0-9]* pull:[0-9]* send:[0-9]* miss:[1-9]" "${WORKDIR}stat.txt"
check "omitted names journalled in it" grep -qP "\tomit (pull|send) queue\t" "${WORKDIR}stat.txt"
check "no stat.txt at the PC" test ! -e "$EMU_PC_TFTP_DIR/stat.txt"
grep -qE "reaped [0-9]+ telnetd signal 9" "$EMU_LOG_DIR/init.log" || e2e_fail "telnetd not killed"
grep -qE "reaped [0-9]+ cli signal 9" "$EMU_LOG_DIR/init.log" ||
    grep -q "ended by signal Killed" "$EMU_LOG_DIR/telnetd.log" || e2e_fail "cli not killed"
expect_eq "$(grep -c "started pid" "$EMU_LOG_DIR/telnetd.log")" $((telnetd_starts + 1)) "telnetd starts"
wait_until 5 pgrep -x telnetd >/dev/null || e2e_fail "no telnetd running afterwards"
expect_no_daemon_fds "$(pgrep -x telnetd | head -n 1)" "the restarted telnetd"
e2e_pass
