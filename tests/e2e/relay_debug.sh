#!/bin/bash
# The mobile manager's debug output relayed into the daemon's output. The
# router's own manager is replaced by one the daemon reads; every line of it
# is tagged "[mobile]" once, and long, empty, joined, NUL-led and
# unterminated lines come through as the manager wrote them. The shutdown
# closes the relay as its step 9 and restarts a manager that is no longer
# relayed and does not inherit the daemon's blocked stop signals.
. "$(dirname "$0")/lib/lib.sh"
SIM=$ROUTER_SIM_DIR
NO_SIGNALS=0000000000000000

# mobile_pid N: pid of the Nth manager started, from the stand-ins' call log.
mobile_pid() {
    grep '^mobile start pid ' "$SIM/calls.log" 2>/dev/null | sed -n "${1}p" | awk '{print $4}'
}
wait_mobile_start() {
    local i
    for i in $(seq 50); do
        [ -n "$(mobile_pid "$1")" ] && return 0
        sleep 0.1
    done
    return 1
}
sig_blocked() {
    awk '/^SigBlk:/ {print $2}' "/proc/$1/status"
}

ctl mdlog_pause # no log files: the pipeline stays quiet around the relayed text
log "the router's own mobile manager"
# Started from a subshell: not a job of this script, reaped by PID 1.
(mobile >"$E2E_DIR/own_mobile.out" 2>&1 &)
wait_mobile_start 1 || e2e_fail "the router's own manager did not start"
OWN=$(mobile_pid 1)

write_config '{"router.mobiledebug": true}'
write_diag_cfg
start_daemon
wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
wait_line "[mobile]mobile: debug output on" 10 || e2e_fail "debug output never relayed"
expect_line "listen_mobile_thread(): listen mobile thread start: pid "
check "the router's own manager killed" gone "$OWN"
RELAYED=$(mobile_pid 2)
check "the relayed manager runs" test -n "$RELAYED"
expect_eq "$(sig_blocked "$RELAYED")" "$NO_SIGNALS" "signals blocked in the relayed manager"
check "debug switched on by the client" grep -qx "mobile_cli opendebug 1" "$SIM/calls.log"

log "long, empty, joined and NUL-led lines"
mobile_ctl $'quiet\nlong\nempty\npair\nnul\nline marker one\n'
wait_line "[mobile]marker one" 10 || e2e_fail "control lines never relayed"
digits=$(printf '0123456789%.0s' $(seq 30))
check "300 characters tagged once, on one line" grep -qFx -- "[mobile]$digits" "$DAEMON_OUT"
expect_eq "$(grep -cFx -- "[mobile]" "$DAEMON_OUT")" 2 "lines that are only the tag"
expect_eq "$(grep -cFx -- "[mobile]mobile: pair line one" "$DAEMON_OUT")" 1 "first of two joined lines"
expect_eq "$(grep -cFx -- "[mobile]mobile: pair line two" "$DAEMON_OUT")" 1 "second of two joined lines"
forbid_line "[mobile][mobile]"

log "a last line without newline"
mobile_ctl $'partial\n'
for i in $(seq 50); do
    [ -e "$SIM/mobile_ctl" ] || break
    sleep 0.1
done
sleep 0.5
# The relay reads whole lines: the unterminated one comes with the end of
# the manager's output, when the shutdown kills it.
forbid_line "last line without newline"
stop_daemon TERM 20 || e2e_fail "daemon did not end within 20 s of SIGTERM"
expect_eq "$DAEMON_STATUS" 0 "exit status"
[ -n "${E2E_SHOW:-}" ] && grep -v "ls: cannot access" "$DAEMON_OUT"
# Nothing is added: what comes next (the relay thread's exit banner, or
# killall's complaint about a client that was not running, which races
# with the end of the manager's output) goes on where the manager stopped.
check "no newline added" grep -qE '\[mobile\]mobile: last line without newline(\[|killall: )' "$DAEMON_OUT"
expect_line "[8]send statistic file..."
expect_line "[9]close mobile debug..."
expect_line "[10]stop main thread..."
expect_line "listen_mobile_thread(): listen mobile thread exit: pid "
check "relay thread ends before main is released" \
    test "$(grep -n "listen mobile thread exit" "$DAEMON_OUT" | cut -d: -f1)" -lt \
    "$(grep -n "\[10\]stop main thread" "$DAEMON_OUT" | cut -d: -f1)"
check "the relayed manager killed" gone "$RELAYED"

log "the restarted manager"
wait_mobile_start 3 || e2e_fail "no manager restarted after the relay closed"
RESTARTED=$(mobile_pid 3)
check "the restarted manager runs" kill -0 "$RESTARTED"
expect_eq "$(sig_blocked "$RESTARTED")" "$NO_SIGNALS" "signals blocked in the restarted manager"
lines=$(wc -l <"$DAEMON_OUT")
mobile_ctl $'line not relayed\n'
sleep 0.5
expect_eq "$(wc -l <"$DAEMON_OUT")" "$lines" "output after the daemon ended"
kill -KILL "$RESTARTED"
e2e_pass
