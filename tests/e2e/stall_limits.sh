#!/bin/bash
# Commands that never return: a listing and a pull that stall for ever are
# killed at their limit (10 s for both at this file size) with everything
# they started, and the pipeline goes on: the listing is retried, the
# stalled pull is journalled as missed "pull" and the next files are
# relayed, and the half-copied file does not stay in the working
# directory. Then, during a second stalled pull, the whole modem hangs with
# its link open (every adb command stalls) and a SIGTERM comes: each
# stalled command ends at its limit or with the shutdown's time budget,
# the daemon ends with status 0 within the budget's bound,
# stat.txt reaches the PC with both files journalled, and no stalled
# process is left. Files that the modem rotated away during the stalls fail
# their pull too. Slow: about 80 s.
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib/lib.sh"
. "$HERE/lib/pipeline_checks.sh"

# A leaked command: a pull or listing client of Debian's adb still
# running, or a sleep of the stand-in's stall.
stalled_left() { pgrep -f '^(adb (pull|shell cd )|sleep 3600)' >/dev/null; }
# Stalls injected so far, as the modem's adbd (adbd.log) or the stand-in
# (adb.log) noted them.
stalls() { cat "$EMU_LOG_DIR/adbd.log" "$EMU_LOG_DIR/adb.log" 2>/dev/null | grep -E "$1 (hangs|stalled) on purpose: "; }
hung_pulls() { [ "$(stalls pull | wc -l)" -ge "$1" ]; }
hung_names() { stalls pull | sed 's|.*/||'; }

write_config '{"modem.log.size": 0.02, "modem.log.number": 10}'
write_diag_cfg
ctl mdlog_interval_ms 1000
ctl mdlog_pause
new_run "stalled listing, then stalled pulls"
start_daemon
wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
ctl list_hang_next 1
ctl pull_hang_next 1
ctl_clear mdlog_pause
wait_line "pull [" 80 || e2e_fail "stalled pull not ended by its limit"
first=$(hung_names | head -n 1)
expect_line "pull [$first] from modem to router failed"
check "a listing stalled" stalls listing >/dev/null
sent=$(pc_log_count)
wait_until 20 pc_has_logs $((sent + 2)) || e2e_fail "no files relayed after the stalled pull"
check "stalled commands killed with their group" not stalled_left
check "the stalled pull's partial copy removed" not test -e "$WORKDIR$first"

ctl pull_hang_next 1
wait_until 20 hung_pulls 2 || e2e_fail "second pull did not stall"
second=$(hung_names | tail -n 1)
ctl shell_hang_next -1
ctl pull_hang_next -1
t0=$(date +%s)
stop_daemon TERM 75 || e2e_fail "daemon did not end within 75 s of SIGTERM"
log "shutdown with a hung modem took $(($(date +%s) - t0)) s"
ctl_clear shell_hang_next
ctl_clear pull_hang_next
expect_eq "$DAEMON_STATUS" 0 "exit status"
expect_line "[PROTOCOL]exited"
forbid_line "[PROTOCOL]ASSERT"
expect_line "final query failed 3 times"
expect_line "time budget of 5 s spent: the commands past it failed"
expect_steps 1 2 3 4 5 6 7 8 9
check "stat.txt delivered" test -s "$EMU_PC_TFTP_DIR/stat.txt"
for name in "$first" "$second"; do
    check "[$name] journalled as missed pull" grep -qP "\tpull\t\Q$name\E$" "$EMU_PC_TFTP_DIR/stat.txt"
done
check "no stalled process left" not stalled_left
e2e_pass
