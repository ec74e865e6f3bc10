#!/bin/bash
# A shutdown during "dial once" after the offline switch stops the test
# thread in its wait: the modem is left offline, and the shutdown goes on
# at once.
. "$(dirname "$0")/lib/lib.sh"
SIM=$ROUTER_SIM_DIR

write_config '{"router.mode": "dial once"}'
write_diag_cfg
start_daemon
wait_line "Set modem mode offline, result is 0." 20 || e2e_fail "modem never set offline"
sleep 1
stop_daemon TERM 5 || e2e_fail "daemon did not end within 5 s of SIGTERM"
expect_eq "$DAEMON_STATUS" 0 "exit status"
expect_eq "$(cat "$SIM/modem_mode")" offline "modem mode"
expect_eq "$(grep -c '^mobile_get_all_status' "$SIM/calls.log")" 1 "status dumps"
forbid_line "Set modem mode online"
grep -A3 -F "[2]stop test thread..." "$DAEMON_OUT" | grep -qF "test thread exited" ||
    e2e_fail "test thread did not end right after the shutdown's step 2"
e2e_pass
