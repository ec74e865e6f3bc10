#!/bin/bash
# "net monitor": the start-up DNS check waits while the store reports 3;
# a shutdown that comes while a DNS check is still waiting for its result
# gives that wait up within a second (a bad DNS check) and goes on, though
# the store never has a result.
. "$(dirname "$0")/lib/lib.sh"
SIM=$ROUTER_SIM_DIR

printf '3 3 1\n' >"$SIM/dns_diag"
write_config '{"router.mode": "net monitor"}'
write_diag_cfg
start_daemon
wait_line "Good dns diag" 20 || e2e_fail "start-up check never passed"
expect_eq "$(count_lines "dns_diag(): diagTool result is 3, wait..")" 2 "waits of the start-up DNS check"
stamps=($(grep -F "dns_diag(): " "$DAEMON_OUT" | log_time))
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
wait_exit 5 || e2e_fail "daemon still waits for the DNS check 5 s after the stop"
expect_eq "$DAEMON_STATUS" 0 "exit status"
expect_line "dns_diag(): dns diag stopped while pending"
expect_eq "$(count_lines "dns_diag(): Good dns diag")" 1 "good DNS checks"
expect_eq "$(count_lines "test_thread(): Bad DNS count: 1")" 1 "the given-up check counted bad"
expect_line "test thread exited"
expect_line "[9]stop main thread..."
check "stat.txt delivered" test -s "$EMU_PC_TFTP_DIR/stat.txt"
forbid_line "[PROTOCOL]LTE WAN"
e2e_pass
