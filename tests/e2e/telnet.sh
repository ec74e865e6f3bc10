#!/bin/bash
# The telnet session the daemon reads the PC's address from, and the
# killall/telnetd/cli records that the LAN-broken shutdown relies on.
. "$(dirname "$0")/lib.sh"

line=$(netstat -nt | grep :23)
[[ $line == tcp*"::ffff:$EMU_ROUTER_IP:23 "*"::ffff:$EMU_PC_IP:"*ESTABLISHED* ]] ||
    e2e_fail "connection table: [$line]"
check "cli started for the session" grep -q "started pid" "$EMU_LOG_DIR/cli.log"

killall -9 cli || e2e_fail "killall -9 cli"
sleep 0.3
check "cli's end recorded" grep -q "ended by signal Killed" "$EMU_LOG_DIR/telnetd.log"
check "session closed" test -z "$(netstat -nt | grep :23 | grep ESTABLISHED)"

old=$(grep -c "started pid" "$EMU_LOG_DIR/telnetd.log")
killall -9 telnetd || e2e_fail "killall -9 telnetd"
sleep 0.3
check "telnetd's death recorded" grep -q "telnetd signal 9" "$EMU_LOG_DIR/init.log"
killall -9 telnetd 2>/dev/null && e2e_fail "second killall found a telnetd"
telnetd || e2e_fail "telnetd restart"
expect_eq "$(grep -c "started pid" "$EMU_LOG_DIR/telnetd.log")" $((old + 1)) "telnetd starts"
check "listening again" sh -c 'netstat -ntl | grep -q ":23 "'
pcctl telnet connect || e2e_fail "reconnect"
expect_eq "$(grep -c "started pid" "$EMU_LOG_DIR/cli.log")" 2 "cli starts"
e2e_pass
