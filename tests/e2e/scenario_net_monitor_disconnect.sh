#!/bin/bash
# "net monitor" losing the link and DNS right after a good start: a DNS
# check every 10 s, an MP check every 20 s, and after the 7th DNS failure
# in a row the 4th bad MP check ends the thread with
# "[PROTOCOL]LTE WAN disconnect", about 70 s after monitoring began. The
# daemon goes on relaying logs.
. "$(dirname "$0")/lib/lib.sh"
SIM=$ROUTER_SIM_DIR

write_config '{"router.mode": "net monitor"}'
write_diag_cfg
ctl mdlog_interval_ms 2000
start_daemon
wait_line "Good dns diag" 20 || e2e_fail "start-up check never passed"
began=$(grep -F "Good dns diag" "$DAEMON_OUT" | log_time)
log "link and DNS lost"
printf '1\n' >"$SIM/conn_state"
printf '0\n' >"$SIM/dns_diag"
wait_line "[PROTOCOL]LTE WAN disconnect" 100 || e2e_fail "no disconnect verdict"
wait_line "test thread exited" 5 || e2e_fail "test thread did not end"
ended=$(grep -F "[PROTOCOL]LTE WAN disconnect" "$DAEMON_OUT" | log_time)
check "about 70 s of monitoring ($((ended - began)) s)" test $((ended - began)) -ge 68 -a $((ended - began)) -le 76
# The counters and verdicts in between are the unit test's
# (TestThread.LinkAndDnsLostEndAfterSevenPasses); here the real 70 s.
sent=$(count_lines "send log from router to PC")
sleep 5
check "daemon still relaying logs" test "$(count_lines "send log from router to PC")" -gt "$sent"
stop_daemon TERM 20 || e2e_fail "daemon did not end within 20 s of SIGTERM"
expect_eq "$DAEMON_STATUS" 0 "exit status"
e2e_pass
