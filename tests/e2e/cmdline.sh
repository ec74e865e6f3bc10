#!/bin/bash
# "diagferry -k" against the pid file: missing, stale (a dead process or a
# live one that is no diagferry), bad, too long.
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

log "stale pid file naming a live process that is no diagferry"
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

log "ten digits: only the first nine count"
# A live process named diagferry whose pid, zero-padded to nine digits and
# followed by a tenth digit, reads as its own pid only if the tenth digit
# is ignored.
cp "$(command -v sleep)" "$E2E_DIR/diagferry"
"$E2E_DIR/diagferry" 30 & victim=$!
printf '%09d7' "$victim" >"$PID_FILE"
run_daemon -k
expect_eq "$DAEMON_STATUS" 0 "status with ten digits"
check "stopping line names pid $victim" \
    grep -qF "stopping diagferry instance pid: $victim" <<<"$RUN_OUT"
sleep 0.2
if kill -0 "$victim" 2>/dev/null; then
    kill "$victim"
    e2e_fail "pid $victim did not get SIGTERM"
fi
wait "$victim" 2>/dev/null
check "pid file kept after signalling" test -e "$PID_FILE"

e2e_pass
