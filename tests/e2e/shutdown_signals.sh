#!/bin/bash
# SIGINT and SIGHUP stop the daemon as SIGTERM does; a second and a third
# signal during the shutdown change nothing; "diagferry -k" from a second
# process stops the running instance. Each time the whole numbered shutdown
# runs once and stat.txt matches what reached the PC. SIGUSR1, early or
# later, prints the status line and nothing else. Last, a power cut: the
# statistics snapshot at the PC is recent and counts what arrived before it.
# An output reader that stalls or goes holds up neither relay nor stop.
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib/lib.sh"
. "$HERE/lib/pipeline_checks.sh"

# start_relaying [usr1 | START]: a daemon that has relayed at least two files.
# The tool starts paused, so that the first listing finds no backlog.
# With usr1, a SIGUSR1 comes before the stop thread exists; START starts
# the daemon instead of start_daemon (start_daemon_piped).
start_relaying() {
    ctl mdlog_pause
    if [ "${1:-}" = usr1 ]; then
        start_daemon
        wait_line "main thread start" 5 || e2e_fail "no main thread"
        refute "stop thread up before the early SIGUSR1" line_seen "stop thread start"
        signal_daemon USR1
    else
        "${1:-start_daemon}"
    fi
    wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
    ctl_clear mdlog_pause
    expect_pid_file
    wait_until 15 pc_has_logs 2 || e2e_fail "no files relayed"
}

# quiesce: the tool pauses and everything but its held-back newest file
# has reached the PC; the shutdown then has exactly one file to handle.
quiesce() {
    ctl mdlog_pause
    sleep 1
    wait_until 10 test -e "$EMU_PC_TFTP_DIR/$(manifest_names | tail -n 2 | head -n 1)" ||
        e2e_fail "pipeline did not empty"
}

# expect_signal_shutdown SIGNO: the stop thread took that one signal and
# ran the whole shutdown once; stat.txt matches what arrived.
expect_signal_shutdown() {
    expect_clean_end
    expect_eq "$(grep -c "stop thread: receive a signal: " "$DAEMON_OUT")" 1 "signals taken"
    expect_line "stop_thread(): stop thread: receive a signal: $1"
    expect_eq "$(count_lines "kill_self(): diagferry exiting...")" 1 "shutdowns"
    forbid_line "already in exiting"
    expect_steps 1 2 3 4 5 6 7 8 9
    expect_line "kill_self(): stop thread exited: pid $DAEMON_PID"
    verify_pc_files
    check_stat_file
    expect_eq "$ST_SEND" "$(pc_log_count)" "send: files at the PC"
    expect_eq "$ST_DETECT/$ST_PULL/$ST_SEND/$ST_MISS/$ST_DUP" \
        "$(manifest_names | wc -l)/$ST_SEND/$ST_SEND/0/0" "detect (all written)/pull/send/miss/dup"
    expect_eq "${#PC_MISSING[@]}" 0 "files that never reached the PC"
    expect_workdir_empty
}

# The shutdown ran to its end though nobody read its lines.
expect_unread_end() {
    check "status 0, pid file removed, diag tool stopped, stat.txt at the PC" test "$DAEMON_STATUS" = 0 \
        -a ! -e "$PID_FILE" -a -z "$(adb shell busybox pgrep diag_mdlog)" -a -s "$EMU_PC_TFTP_DIR/stat.txt"
}

write_config '{"modem.log.size": 0.02, "modem.log.number": 10}'
write_diag_cfg
ctl mdlog_interval_ms 1000

new_run "SIGINT, after SIGUSR1 early and when quiet"
start_relaying usr1
quiesce
# The early one stayed pending until the stop thread waited.
expect_eq "$(count_lines "print_status(): up ")" 1 "status lines after the early SIGUSR1"
signal_daemon USR1
wait_until 5 lines_at_least 2 "print_status(): up " || e2e_fail "no status line on SIGUSR1"
d=$(pc_log_count) newest=$(manifest_names | tail -n 2 | head -n 1)
mb=$(find "$EMU_PC_TFTP_DIR" -name 'diag_log_*' -printf '%s\n' | awk '{ b += $1 } END { printf "%.1f", b / 1048576 }')
line=$(grep -F "print_status(): up " "$DAEMON_OUT" | tail -n 1)
[[ $line == *"| detect $d pull $d send $d ($mb MB) miss 0 dup 0 | queued pull 0/5 send 0/2 | newest ${newest#diag_log_} "*" s ago | listing ok "*" s ago | PC answers" ]] ||
    e2e_fail "status line [$line]"
stop_daemon INT 25 || e2e_fail "daemon did not end within 25 s of SIGINT"
expect_signal_shutdown 2

new_run "SIGHUP, then SIGTERM, SIGINT and SIGUSR1 during the shutdown"
start_relaying
quiesce
# The diag tool takes 3 s to stop: time for more signals in step 3.
ctl mdlog_linger_s 3
signal_daemon HUP
wait_until 10 line_seen "[3]stop diag tool in modem..." || e2e_fail "no step 3"
signal_daemon TERM
signal_daemon INT
signal_daemon USR1
wait_exit 25 || e2e_fail "daemon did not end within 25 s of SIGHUP"
ctl_clear mdlog_linger_s
expect_signal_shutdown 1
expect_eq "$(count_lines "print_status(): up ")" 0 "status lines for a SIGUSR1 during the shutdown"

new_run "diagferry -k from a second process"
start_relaying
quiesce
run_daemon -k
expect_eq "$DAEMON_STATUS" 0 "status of diagferry -k"
check "-k names the running instance" grep -qF "stopping diagferry instance pid: $DAEMON_PID" <<<"$RUN_OUT"
DAEMON_STATUS=
wait_exit 25 || e2e_fail "daemon did not end within 25 s of diagferry -k"
# The -k process's own lines are in the output too; its banner is "main".
expect_signal_shutdown 15

new_run "stdout reader gone (a tee ended by Ctrl-C), then SIGTERM"
start_relaying start_daemon_piped
quiesce
reader_signal KILL
stop_daemon TERM 25 || e2e_fail "daemon did not end within 25 s of SIGTERM"
expect_unread_end

new_run "stdout reader stalled: files go on, SIGTERM ends the run"
ctl mdlog_interval_ms 300
start_relaying start_daemon_piped
reader_signal STOP
sleep 6 # a page of output is a few seconds of lines
wait_until 15 pc_has_logs $(($(pc_log_count) + 8)) || e2e_fail "files stopped while nobody read the output"
stop_daemon TERM 25 || e2e_fail "daemon did not end within 25 s of SIGTERM"
expect_unread_end # the stopped reader is ended with the scenario

new_run "power cut: the daemon, its commands and the diag tool killed at once"
write_config '{"modem.log.size": 0.02, "modem.log.number": 10, "router.status_interval": 2}'
start_relaying
wait_until 10 line_seen "statistics snapshot sent to PC: " || e2e_fail "no snapshot sent"
sleep 3
cut=$(date +%s.%N)
kill -KILL -- "$DAEMON_PID" "$(cat "$EMU_MODEM_ROOT/run/diag_mdlog_pid")" \
    $(ps -o pid= --ppid "$DAEMON_PID" | sed 's/^ */-/')
wait "$DAEMON_PID" 2>/dev/null
snap=$EMU_PC_TFTP_DIR/stat.snapshot.txt
check_stat_file "$snap" "statistics snapshot sent to PC: "
age=$(awk -v c="$cut" -v m="$(stat -c %.3Y "$snap")" 'BEGIN { printf "%.2f", c - m }')
log "snapshot $age s old at the cut; $(pc_log_count) files at the PC, $ST_SEND counted by it"
check "snapshot at most one interval (and its upload) old" awk -v a="$age" 'BEGIN { exit !(a <= 2.5) }'
# The files it counts as sent are exactly those that arrived before it.
expect_eq "$(find "$EMU_PC_TFTP_DIR" -name 'diag_log_*' ! -newer "$snap" | wc -l)" "$ST_SEND" \
    "files at the PC no newer than the snapshot"
e2e_pass
