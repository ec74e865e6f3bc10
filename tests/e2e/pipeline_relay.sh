#!/bin/bash
# The relay at a steady pace, with one of each trouble on the way: a lying
# listing (names that reach outside the log directories, hold shell
# characters or control bytes), a gap in the ids, a repeated id, a failed
# pull, an upload failure while the PC's TFTP server is away, and two files
# written last; a status line every 2 s and a statistics snapshot at the PC
# that matches. Then SIGTERM: the numbered shutdown, stat.txt at the PC
# matching what arrived, nothing left behind.
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib/lib.sh"
. "$HERE/lib/pipeline_checks.sh"

at_pc() { [ -e "$EMU_PC_TFTP_DIR/$1" ]; }

write_config '{"modem.log.size": 0.05, "modem.log.number": 12, "modem.log.zip_level": 0,
    "router.status_interval": 2}'
write_diag_cfg
ctl mdlog_interval_ms 1000
# Paused until the pipeline runs, so that the first listing has no backlog.
ctl mdlog_pause
new_run "steady pace"
start_daemon
wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
ctl_clear mdlog_pause
expect_pid_file
wait_until 15 pc_has_logs 4 || e2e_fail "files do not reach the PC"

log "lying listing"
# Each path lie, if taken, would pull modem bytes over /tmp/planted on the
# router (outside the working directory) and then delete it; sorted after
# the real names ("diag_log_2..."), the "diag_log_9" lies would run
# commands if unquoted (pwnA) or in plain single quotes (pwnB).
printf 'keep me\n' >/tmp/planted
mkdir -p "$EMU_MODEM_ROOT/tmp"
printf 'modem bytes\n' | tee "$EMU_MODEM_ROOT/run/planted" >"$EMU_MODEM_ROOT/tmp/planted"
LIES=(../planted ../../../tmp/planted . .. diag_log_/../../planted.qmdl
    'diag_log_9$(touch${IFS}pwnA)_01.qmdl' "diag_log_9';touch\${IFS}pwnB;'02.qmdl")
printf '%s\n' "${LIES[@]}" $'diag_log_9\e[2J\x01 x.qmdl' >"$EMU_CTL_DIR/list_extra"
n=$(pc_log_count)
wait_until 10 line_seen "ignore listed name [diag_log_9\\x1b[2J\\x01 x.qmdl]: not a diag log name" ||
    e2e_fail "lying listing not refused"
wait_until 15 pc_has_logs $((n + 3)) || e2e_fail "real logs stopped with the lies in the listing"
ctl_clear list_extra
for lie in "${LIES[@]}"; do
    expect_line "ignore listed name [$lie]: not a diag log name"
done
refute "a lie was detected, pulled or sent" \
    grep -qE "(detect log: \[|pull |send ).*(planted|\[\.|diag_log_9)" "$DAEMON_OUT"
expect_eq "$(cat /tmp/planted 2>&1)" "keep me" "router file outside the working directory"
rm -f /tmp/planted "$EMU_MODEM_ROOT/run/planted" "$EMU_MODEM_ROOT/tmp/planted"

log "gap of two ids"
ctl mdlog_skip 2
wait_until 10 line_seen "check_log_id(): miss 2 log(s) between " || e2e_fail "no gap detected"

log "repeated id"
ctl mdlog_repeat 1
wait_until 10 line_seen "check_log_id(): dup log! [" || e2e_fail "no dup detected"
# The repeated log is delivered like any other; the failed pull below must
# not fall on it.
dup=$(sed -n 's/.*check_log_id(): dup log! \[\(.*\)\]$/\1/p' "$DAEMON_OUT")
wait_until 10 at_pc "$dup" || e2e_fail "repeated log not delivered"

log "failed pull"
ctl pull_fail_next 1
wait_until 10 line_seen "] from modem to router failed" || e2e_fail "no pull failure"

log "upload failure: TFTP server stopped"
# Slower writing, so that the stalled send stage does not overflow.
ctl mdlog_interval_ms 3000
pcctl tftp stop
# A snapshot upload may fail first: it waits out tftp's time-out too.
wait_until 45 line_seen "] from router to PC failed" || e2e_fail "no upload failure"
pcctl tftp start && tftpd_realtime
ctl mdlog_interval_ms 1000
n=$(written)
wait_until 10 written_at_least $((n + 3)) || e2e_fail "writing stopped"
after=$(manifest_names | sed -n "$((n + 1))p")
wait_until 15 at_pc "$after" || e2e_fail "[$after], written after the restart, did not arrive"

log "two files written last"
ctl mdlog_pause
sleep 1
n=$(written)
ctl mdlog_max_files $((n + 2))
ctl_clear mdlog_pause
wait_until 10 written_at_least $((n + 2)) || e2e_fail "simulator did not write two more files"
A=$(manifest_names | sed -n "$((n + 1))p")
B=$(manifest_names | sed -n "$((n + 2))p")
# All but the newest (held back while the tool runs) goes through now.
wait_until 15 at_pc "$A" || e2e_fail "[$A] did not arrive"
verify_pc_files
failed=$(sed -n 's/.*pull \[\(.*\)\] from modem to router failed$/\1/p; s/.*send \[\(.*\)\] from router to PC failed$/\1/p' \
    "$DAEMON_OUT" | sort)
expect_eq "$(printf '%s\n' "${PC_MISSING[@]}" | sort)" "$(printf '%s\n' "$B" $failed | sort)" \
    "files not at the PC while running"

log "heartbeat and snapshot"
beats=$(count_lines "print_status(): up ")
d=$(($(written) - 1))
want="detect:$d pull:$((d - 1)) send:$(pc_log_count) miss:$((3 + $(count_lines "] from router to PC failed"))) dup:1"
snapshot_is() { [ "$(head -n 1 "$EMU_PC_TFTP_DIR/stat.snapshot.txt" 2>/dev/null)" = "$want" ]; }
wait_until 10 snapshot_is || e2e_fail "no snapshot [$want] at the PC"
check_stat_file "$EMU_PC_TFTP_DIR/stat.snapshot.txt" "statistics snapshot sent to PC: "
wait_until 10 lines_at_least $((beats + 2)) "print_status(): up " || e2e_fail "no heartbeat"

stop_daemon TERM 40 || e2e_fail "daemon did not end within 40 s of SIGTERM"
expect_clean_end
expect_line "stop thread: receive a signal: 15"
expect_steps 1 2 3 4 5 6 7 8 9
expect_line "stop thread exited: pid $DAEMON_PID"
check "[$B] taken by the final listing" at_pc "$B"
verify_pc_files
expect_eq "$(printf '%s\n' "${PC_MISSING[@]}" | sort)" "$(printf '%s\n' $failed)" \
    "files that never reached the PC"
for f in pwnA pwnB; do
    for d in "$E2E_CWD" / "$WORKDIR" "$EMU_MODEM_ROOT" "$EMU_MODEM_ROOT/run"; do
        refute "a listed name ran a command ($d$f)" test -e "$d/$f"
    done
done
expect_workdir_empty

log "statistics"
check_stat_file
total=$(written)
expect_eq "$ST_DETECT" "$total" "detect: every file written"
expect_eq "$ST_SEND" "$(pc_log_count)" "send: files at the PC"
expect_eq "$ST_DUP" 1 "dup"
expect_eq "$(journal_names pull)" "$(sed -n 's/.*pull \[\(.*\)\] from modem to router failed$/\1/p' "$DAEMON_OUT")" \
    "pull journal"
expect_eq "$(journal_names send | sort)" \
    "$(sed -n 's/.*send \[\(.*\)\] from router to PC failed$/\1/p' "$DAEMON_OUT" | sort)" "send journal"
expect_eq "$(printf '%s\n' "${ST_MISS_LINES[@]}" | cut -f1 | sort | uniq -c |
    sed 's/^ *\([0-9]*\) \(.*\)$/\2 \1/' | tr '\n' ';')" \
    "pull 1;send $(journal_names send | wc -l);sequence check 1;" "miss journal reasons"
check "gap line" grep -qE $'^sequence check\tmiss 02 from diag_log_[^ ]+ to diag_log_' \
    < <(printf '%s\n' "${ST_MISS_LINES[@]}")
expect_eq "$ST_PULL" $((ST_DETECT - 1)) "pull: all but the failed one"
expect_eq "$ST_SEND" $((ST_PULL - $(journal_names send | wc -l))) "send: pulled minus failed uploads"
expect_eq "$ST_MISS" $((2 + 1 + $(journal_names send | wc -l))) "miss"
expect_eq "${ST_DUP_LINES[0]}" "$dup" "dup journal names the repeated log"
e2e_pass
