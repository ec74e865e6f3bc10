#!/bin/bash
# The pid file and its lock: "diagferry -k" with a pid file missing, stale
# (a dead process, a live one that holds no lock) and too long; a live
# instance under another binary name refuses a second start and is
# stopped by -k; an exit leaves a pid file that is not its own.
. "$(dirname "$0")/lib/lib.sh"
PID_FILE=/var/run/diagferry.pid

log "no pid file"
rm -f "$PID_FILE"
run_daemon -k
expect_eq "$DAEMON_STATUS" 1 "status without pid file"
expect_line "[PROTOCOL]ASSERT(fd >= 0) failed. Unable to open pid file. errno:2"

log "stale pid file naming a dead process"
sleep 0 & dead=$!
wait $dead
printf '%d\0\0\0\0' "$dead" >"$PID_FILE"
run_daemon -k
expect_eq "$DAEMON_STATUS" 0 "status with a stale pid file"
check "stale pid file removed" test ! -e "$PID_FILE"
expect_line "diagferry has dead, but not clean the pid file. let's clean it."

log "stale pid file naming a live process that holds no lock"
sleep 30 & other=$!
printf '%d' "$other" >"$PID_FILE"
run_daemon -k
expect_eq "$DAEMON_STATUS" 0 "status with a pid file naming another process"
check "that pid file removed" test ! -e "$PID_FILE"
refute "another process named as the instance" grep -qF "stopping diagferry" <<<"$RUN_OUT"
sleep 0.2
check "the other process not signalled" kill -0 "$other"
kill "$other"
wait "$other" 2>/dev/null

log "a live instance under another name: a second start is refused, -k stops it"
write_config "{}"
write_diag_cfg
cp "$DAEMON" "$E2E_DIR/diagferry-mips"
DAEMON=$E2E_DIR/diagferry-mips start_daemon
wait_line "diagferry started, pid: $DAEMON_PID" 15 || e2e_fail "instance did not start"
mark=$(adb_calls | wc -l)
run_daemon
expect_eq "$DAEMON_STATUS" 1 "status of a second start"
check "the refusal names the live pid" grep -qF \
    "create_pid_file(): [PROTOCOL]ASSERT(flock(fd, LOCK_EX | LOCK_NB) == 0) failed. diagferry already running, pid: $DAEMON_PID" \
    <<<"$RUN_OUT"
# The live instance lists and pulls on; nothing else may have come.
expect_eq "$(adb_calls | tail -n +$((mark + 1)) | grep -v -e '^shell cd ' -e '^pull ')" "" \
    "adb calls of the second start"
check "the instance runs on" not daemon_ended
# Ten digits, rewritten in place (the lock stays): the first nine count.
printf '%09d7' "$DAEMON_PID" >"$PID_FILE"
run_daemon -k
expect_eq "$DAEMON_STATUS" 0 "status of -k"
check "-k names pid $DAEMON_PID" grep -qF "stopping diagferry instance pid: $DAEMON_PID" <<<"$RUN_OUT"
wait_exit 30 || e2e_fail "instance did not end after -k"
expect_eq "$DAEMON_STATUS" 0 "status of the instance"
check "pid file removed by its own instance" test ! -e "$PID_FILE"

log "an exit leaves a pid file that is not its own"
start_daemon
wait_line "diagferry started, pid: $DAEMON_PID" 15 || e2e_fail "instance did not start"
rm -f "$PID_FILE"
printf '%d' $$ >"$PID_FILE"
stop_daemon TERM 30 || e2e_fail "instance did not end after SIGTERM"
expect_eq "$(cat "$PID_FILE" 2>&1)" "$$" "another's pid file after the exit"
rm -f "$PID_FILE"

e2e_pass
