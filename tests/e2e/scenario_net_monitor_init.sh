#!/bin/bash
# "net monitor" with the mobile debug relay on and a link that never comes
# up: three start-up attempts about a second apart, then
# "[PROTOCOL]LTE WAN init not connect"; the thread ends, the relay stays
# open until the shutdown closes it.
. "$(dirname "$0")/lib/lib.sh"
SIM=$ROUTER_SIM_DIR

ctl mdlog_pause
printf '1\n' >"$SIM/conn_state"
write_config '{"router.mode": "net monitor", "router.mobiledebug": true}'
write_diag_cfg
start_daemon
wait_line "[PROTOCOL]LTE WAN init not connect" 20 || e2e_fail "no start-up verdict"
wait_line "test thread exited" 5 || e2e_fail "test thread did not end"
expect_eq "$(grep -o 'Bad wait mobile on count: [0-9]*' "$DAEMON_OUT" | tr '\n' ,)" \
    "Bad wait mobile on count: 1,Bad wait mobile on count: 2,Bad wait mobile on count: 3," \
    "start-up attempts"
expect_eq "$(count_lines "check_modem_connection(): Modem connect stat is disconnected.")" 3 "MP checks"
forbid_line "cfgstore_run_action" "$SIM/calls.log"
first=$(grep -F "Bad wait mobile on count: 1" "$DAEMON_OUT" | log_time)
last=$(grep -F "Bad wait mobile on count: 3" "$DAEMON_OUT" | log_time)
check "attempts about a second apart" test $((last - first)) -ge 1 -a $((last - first)) -le 4

# The relay outlives the thread: the manager's lines still come through.
ticks=$(count_lines "[mobile]mobile: tick")
sleep 2.5
check "relay still open after the thread ended" test "$(count_lines "[mobile]mobile: tick")" -gt "$ticks"

stop_daemon TERM 20 || e2e_fail "daemon did not end within 20 s of SIGTERM"
expect_eq "$DAEMON_STATUS" 0 "exit status"
expect_line "[9]close mobile debug..."
expect_line "listen mobile thread exit"
kill -KILL "$(grep '^mobile start pid ' "$SIM/calls.log" | tail -n 1 | awk '{print $4}')" 2>/dev/null
e2e_pass
