#!/bin/bash
# "net monitor": the start-up DNS check waits while the store reports 3;
# a shutdown that comes while a DNS check is still waiting for its result
# holds at its step 2 until the store has one, then goes on.
. "$(dirname "$0")/lib/lib.sh"
SIM=$ROUTER_SIM_DIR
t() { sed 's/^\[\([0-9]*\)\].*/\1/'; }

printf '3 3 1\n' >"$SIM/dns_diag"
write_config '{"router.mode": "net monitor"}'
write_diag_cfg
start_daemon
wait_line "Good dns diag" 20 || e2e_fail "start-up check never passed"
expect_eq "$(count_lines "dns_diag(): diagTool result is 3, wait..")" 2 "waits of the start-up DNS check"
stamps=($(grep -F "dns_diag(): " "$DAEMON_OUT" | t))
check "the start-up DNS check took about 2 s" test $((stamps[3] - stamps[0])) -ge 1 -a $((stamps[3] - stamps[0])) -le 3
expect_line "check_modem_connection(): Good mp check"
forbid_line "LTE WAN init not connect"

log "DNS result pending from the first pass on"
printf '3\n' >"$SIM/dns_diag"
wait_line "dns_diag(): Do dns diag" 15 || e2e_fail "no DNS check"
for i in $(seq 150); do
    [ "$(count_lines "diagTool result is 3, wait..")" -ge 4 ] && break
    sleep 0.1
done
expect_eq "$(count_lines "dns_diag(): Do dns diag")" 2 "DNS checks so far"
signal_daemon TERM
sleep 3
check "daemon waits for the DNS check" kill -0 "$DAEMON_PID"
expect_line "[2]stop test thread..."
forbid_line "[3]stop diag tool in modem..."
polls=$(count_lines "diagTool result is 3, wait..")
check "the DNS check keeps polling" test "$polls" -ge 6

log "the store has a result"
printf '1\n' >"$SIM/dns_diag"
wait_exit 10 || e2e_fail "daemon did not end once the DNS check had its result"
expect_eq "$DAEMON_STATUS" 0 "exit status"
expect_eq "$(count_lines "dns_diag(): Good dns diag")" 2 "good DNS checks"
expect_line "test thread exited"
expect_line "[9]stop main thread..."
forbid_line "[PROTOCOL]LTE WAN"
forbid_line "Bad DNS count"
e2e_pass
