#!/bin/bash
# Start-up with a configuration, the pid file while running, and the stop
# on SIGTERM: status 0, pid file removed, diag tool stopped, modem cleaned.
. "$(dirname "$0")/lib.sh"
PID_FILE=/var/run/diagferry.pid

write_config '{"modem.log.size": 0.01, "modem.log.number": 5, "modem.log.zip_level": 0}'
write_diag_cfg
ctl mdlog_interval_ms 400
start_daemon
wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
expect_line "modem up!"

# The tool was started as configured, without -z for level 0.
check "start command" grep -qxF \
    "shell nohup diag_mdlog -f /run/diag_logs/DIAG.cfg -o /run/diag_logs/ -s 0.010000 -n 5" \
    "$EMU_LOG_DIR/adb.calls"
check "DIAG.cfg pushed unchanged" cmp -s "$WORKDIR/DIAG.cfg" "$EMU_MODEM_ROOT/run/diag_logs/DIAG.cfg"
check "diag tool running" test -n "$(adb shell busybox pgrep diag_mdlog)"

# The stop thread publishes the pid: 10 bytes, decimal pid then NULs.
for _ in $(seq 30); do [ -s "$PID_FILE" ] && break; sleep 0.1; done
check "pid file exists" test -s "$PID_FILE"
expect_eq "$(stat -c %s "$PID_FILE")" 10 "pid file size"
expect_eq "$(tr -d '\0' <"$PID_FILE")" "$DAEMON_PID" "pid file content"

sleep 2
if ! stop_daemon TERM 20; then
    # Shutdown did not complete: only start-up can be judged.
    e2e_fail "daemon did not end within 20 s of SIGTERM"
fi
expect_eq "$DAEMON_STATUS" 0 "exit status after SIGTERM"
expect_line "[PROTOCOL]exited"
forbid_line "[PROTOCOL]ASSERT"
check "pid file removed" test ! -e "$PID_FILE"
check "diag tool stopped" test -z "$(adb shell busybox pgrep diag_mdlog)"
check "modem log dir removed" test ! -e "$EMU_MODEM_ROOT/run/diag_logs"
expect_eq "$(stat -c %a "$EMU_MODEM_ROOT/run")" 755 "modem /run mode"
e2e_pass
