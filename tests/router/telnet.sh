#!/bin/bash
# The telnet session the daemon reads the PC's address from, and the
# killall/telnetd/cli records that the LAN-broken shutdown relies on.
# Records written by another process (cli's start, a session's end, a
# reaped telnetd) are waited for, up to 5 s: a loaded machine may take a
# while to schedule their writers.
. "$(dirname "$0")/../e2e/lib/lib.sh"

cli_starts() {
    grep -c "started pid" "$EMU_LOG_DIR/cli.log"
}
cli_started_twice() {
    [ "$(cli_starts)" = 2 ]
}
session_open() {
    netstat -nt | grep :23 | grep -q ESTABLISHED
}

line=$(netstat -nt | grep :23)
[[ $line == tcp*"::ffff:$EMU_ROUTER_IP:23 "*"::ffff:$EMU_PC_IP:"*ESTABLISHED* ]] ||
    e2e_fail "connection table: [$line]"
check "cli started for the session" wait_until 5 grep -q "started pid" "$EMU_LOG_DIR/cli.log"

killall -9 cli || e2e_fail "killall -9 cli"
check "cli's end recorded" wait_until 5 grep -q "ended by signal Killed" "$EMU_LOG_DIR/telnetd.log"
check "session closed" wait_until 5 not session_open

old=$(grep -c "started pid" "$EMU_LOG_DIR/telnetd.log")
killall -9 telnetd || e2e_fail "killall -9 telnetd"
check "telnetd's death recorded" wait_until 5 grep -q "telnetd signal 9" "$EMU_LOG_DIR/init.log"
killall -9 telnetd 2>/dev/null && e2e_fail "second killall found a telnetd"
# telnetd records its start before it returns: no wait here.
telnetd || e2e_fail "telnetd restart"
expect_eq "$(grep -c "started pid" "$EMU_LOG_DIR/telnetd.log")" $((old + 1)) "telnetd starts"
check "listening again" sh -c 'netstat -ntl | grep -q ":23 "'
pcctl telnet connect || e2e_fail "reconnect"
wait_until 5 cli_started_twice
expect_eq "$(cli_starts)" 2 "cli starts"
e2e_pass
