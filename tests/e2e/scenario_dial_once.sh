#!/bin/bash
# "dial once": after 10 s the mobile manager's status, the modem offline,
# 10 s later the status again, the modem online, 20 s later the last status;
# then the test thread ends and the daemon goes on relaying logs.
. "$(dirname "$0")/lib/lib.sh"
SIM=$ROUTER_SIM_DIR

write_config '{"router.mode": "dial once"}'
write_diag_cfg
ctl mdlog_interval_ms 1000
start_daemon
wait_line "test thread start" 15 || e2e_fail "no test thread"
wait_line "Set modem mode offline, result is 0." 15 || e2e_fail "modem never set offline"
expect_eq "$(cat "$SIM/modem_mode")" offline "modem mode after the first switch"
wait_line "Set modem mode online, result is 0." 15 || e2e_fail "modem never set online"
wait_line "test thread exited" 25 || e2e_fail "test thread did not end after its last dump"
check "daemon still running" kill -0 "$DAEMON_PID"
expect_eq "$(cat "$SIM/modem_mode")" online "modem mode at the end"

# What each dump and switch logs, and the calls in order, are checked by the
# unit tests (TestThread.DialOnceDumpsAroundOfflineAndOnline, StatusDump*);
# here the real waits: about 10, 10 and 20 s apart (log time stamps are
# whole seconds).
stamps=($(grep -F "The conn status is" "$DAEMON_OUT" | sed 's/^\[\([0-9]*\)\].*/\1/'))
expect_eq "${#stamps[@]}" 3 "status dumps"
start=$(grep -F "test thread start" "$DAEMON_OUT" | sed 's/^\[\([0-9]*\)\].*/\1/')
check "first dump about 10 s after start" test $((stamps[0] - start)) -ge 9 -a $((stamps[0] - start)) -le 12
check "second dump about 10 s later" test $((stamps[1] - stamps[0])) -ge 9 -a $((stamps[1] - stamps[0])) -le 12
check "last dump about 20 s later" test $((stamps[2] - stamps[1])) -ge 19 -a $((stamps[2] - stamps[1])) -le 22

stop_daemon TERM 20 || e2e_fail "daemon did not end within 20 s of SIGTERM"
expect_eq "$DAEMON_STATUS" 0 "exit status"
expect_line "[2]stop test thread..."
forbid_line "close mobile debug"
e2e_pass
