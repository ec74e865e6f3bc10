#!/bin/bash
# The modem resets in the middle of a run (real adb client; the modem's
# /run is wiped and the diag tool dies with it). The daemon notices it,
# journals it as one "modem reset" miss line naming the last file it knew,
# restarts the tool with the start-up's commands and goes on relaying from
# id 00: files before and after the reset reach the PC byte-identical and
# the invariant checker finds everything else accounted for.
# Then a modem whose tool does not come back: restart attempts 1 s, 2 s ...
# apart; the modem goes away again in the middle of them and a SIGTERM
# still ends the daemon with status 0 and stat.txt at the PC.
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib/lib.sh"
. "$HERE/lib/pipeline_checks.sh"

if [ "${EMU_ADB:-}" != real ]; then
    echo "skipped: needs the real adb client (EMU_ADB=real)"
    exit 77
fi
CHECKER=$HERE/../tools/check_invariants.sh

write_config '{"modem.log.size": 0.01, "modem.log.number": 10}'
write_diag_cfg
ctl mdlog_interval_ms 500

new_run "reset in the middle of a run"
start_daemon
wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
wait_until 20 pc_has_logs 3 || e2e_fail "no files relayed before the reset"
ctl modem_reboot 3
wait_line "modem up again!" 30 || e2e_fail "tool not restarted after the reset"
before=$(pc_log_count)
wait_until 20 pc_has_logs $((before + 3)) || e2e_fail "no files relayed after the reset"
stop_daemon TERM 25 || e2e_fail "daemon did not end within 25 s of SIGTERM"
expect_clean_end
expect_line "modem reset: no log listed since "
check "reset noticed before the restart" in_order "modem reset: no log listed since " "restart modem..."
check_stat_file
expect_eq "$(journal_names "modem reset" | wc -l)" 1 "modem reset lines"
restarted=$(manifest_names | grep '_00\.qmdl' | sed -n 2p)
check "the restarted tool's first file (id 00) at the PC" test -n "$restarted" -a -e "$EMU_PC_TFTP_DIR/$restarted"
verify_pc_files
"$CHECKER" -m "$EMU_LOG_DIR/manifest" -p "$EMU_PC_TFTP_DIR" -w "$WORKDIR" -o "$DAEMON_OUT" \
    >"$E2E_DIR/invariants.out" || { cat "$E2E_DIR/invariants.out"; e2e_fail "invariants broken"; }
log "$(tail -n 1 "$E2E_DIR/invariants.out")"

new_run "a tool that does not come back, then the modem gone again"
start_daemon
wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
wait_until 20 pc_has_logs 2 || e2e_fail "no files relayed"
ctl mdlog_nostart
ctl modem_reboot 2
wait_line "modem restart failed, next attempt in 2 s" 40 || e2e_fail "no second restart attempt"
ctl modem_reboot 60
wait_until 5 not adb get-state >/dev/null 2>&1 || e2e_fail "modem did not go away"
t0=$(date +%s)
stop_daemon TERM 20 || e2e_fail "daemon did not end within 20 s of SIGTERM with the modem gone"
log "shutdown with the modem gone took $(($(date +%s) - t0)) s"
ctl_clear mdlog_nostart
expect_eq "$DAEMON_STATUS" 0 "exit status"
expect_line "[PROTOCOL]exited"
forbid_line "[PROTOCOL]ASSERT"
forbid_line "modem up again!"
check_stat_file
expect_eq "$(journal_names "modem reset" | wc -l)" 1 "modem reset lines"
# The pauses between attempts grow: 1 s after the first, 2 s after the second.
expect_eq "$(grep -o 'next attempt in [0-9]* s' "$DAEMON_OUT" | head -n 2 | tr '\n' ,)" \
    "next attempt in 1 s,next attempt in 2 s," "pauses between restart attempts"
e2e_pass
