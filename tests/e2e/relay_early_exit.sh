#!/bin/bash
# A relayed mobile manager that ends by itself ends the relay thread then;
# nothing more is relayed, and the shutdown still closes the relay in its
# step 9 and starts a new manager.
. "$(dirname "$0")/lib/lib.sh"
SIM=$ROUTER_SIM_DIR

mobile_starts() {
    grep -c '^mobile start pid ' "$SIM/calls.log" 2>/dev/null
}

ctl mdlog_pause
write_config '{"router.mobiledebug": true, "router.mode": "manual"}'
write_diag_cfg
start_daemon
wait_line "[mobile]mobile: debug output on" 15 || e2e_fail "debug output never relayed"
expect_eq "$(mobile_starts)" 1 "managers started by the relay"

log "the manager ends by itself"
mobile_ctl $'quiet\nline going away\nexit\n'
wait_line "listen mobile thread exit" 10 || e2e_fail "relay thread did not end with the manager"
expect_line "[mobile]going away"
check "daemon still running" kill -0 "$DAEMON_PID"
forbid_line "[1]stop"

stop_daemon TERM 20 || e2e_fail "daemon did not end within 20 s of SIGTERM"
expect_eq "$DAEMON_STATUS" 0 "exit status"
expect_line "[9]close mobile debug..."
expect_line "[10]stop main thread..."
expect_line "[PROTOCOL]exited"
expect_eq "$(count_lines "listen mobile thread exit")" 1 "relay thread exit banners"
for i in $(seq 30); do
    [ "$(mobile_starts)" -ge 2 ] && break
    sleep 0.1
done
expect_eq "$(mobile_starts)" 2 "managers started (relayed, restarted)"
kill -KILL "$(grep '^mobile start pid ' "$SIM/calls.log" | tail -n 1 | awk '{print $4}')"
e2e_pass
