#!/bin/bash
# The PC's TFTP server is gone when the shutdown starts: the file the final
# listing takes fails to upload and is counted as missed, stat.txt is
# written with that count but cannot be sent ("Send statistic file
# failed."), stays in the working directory, and the shutdown still
# completes with status 0. Each failed
# upload waits out busybox tftp's own time-out (about 13 s).
# Then a PC that accepts every upload and acknowledges it block by block,
# a second apart, for ever, and two files: an upload is killed at its 30 s
# limit while the daemon runs, after a SIGTERM the last listing's file gets
# its own 30 s too (the shutdown's time budget grows for it; both are
# journalled as missed "send"), and stat.txt, a single block, still
# arrives. Last, a working directory that is full at step 8: stat.txt
# cannot be written, its lines go to the log and the shutdown completes.
# Slow: about 120 s.
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib/lib.sh"
. "$HERE/lib/pipeline_checks.sh"

# relay_two_then_pause: a daemon that has relayed two files, the tool
# paused again so that nothing new comes.
relay_two_then_pause() {
    start_daemon
    wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
    ctl_clear mdlog_pause
    wait_until 15 pc_has_logs 2 || e2e_fail "no files relayed"
    ctl mdlog_pause
    sleep 1
}

write_config '{"modem.log.size": 0.02, "modem.log.number": 10}'
write_diag_cfg
ctl mdlog_interval_ms 1000
ctl mdlog_pause
new_run "TFTP server stopped before SIGTERM"
relay_two_then_pause
wait_until 10 test -e "$EMU_PC_TFTP_DIR/$(manifest_names | tail -n 2 | head -n 1)" ||
    e2e_fail "pipeline did not empty"
newest=$(manifest_names | tail -n 1)
sent=$(pc_log_count)
pcctl tftp stop
stop_daemon TERM 45 || e2e_fail "daemon did not end within 45 s of SIGTERM"
pcctl tftp start && tftpd_realtime
expect_clean_end
expect_steps 1 2 3 4 5 6 7 8 9
expect_line "do_send(): send [$newest] from router to PC failed"
expect_line "write_stat_file(): detect:$((sent + 1)) pull:$((sent + 1)) send:$sent miss:1 dup:0"
expect_line 'kill_self(): CHECK(send_to_pc(STAT_FILE, 1, 0, &spent_time) != -1) failed. Send statistic file failed.'
check "failure reported before main is released" \
    in_order "Send statistic file failed." "[9]stop main thread..."
check "no stat.txt at the PC" test ! -e "$EMU_PC_TFTP_DIR/stat.txt"
expect_line "kill_self(): statistic file kept in ${WORKDIR}stat.txt"
check "stat.txt kept with the run's counts" grep -q "^detect:$((sent + 1)) pull:$((sent + 1)) send:$sent miss:1 dup:0" "${WORKDIR}stat.txt"
rm -f "${WORKDIR}stat.txt"
# The failed log file's local copy is deleted (only stat.txt is kept).
expect_workdir_empty

TRICKLE_PID=
trap '[ -n "$TRICKLE_PID" ] && kill "$TRICKLE_PID" 2>/dev/null' EXIT
new_run "a PC that acknowledges every upload a block a second"
start_daemon
wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
pcctl tftp stop
pcctl exec "$EMU_BUILD_DIR/tests/tftp_trickle" "$EMU_PC_TFTP_DIR" "$EMU_PC_IP" 1000 \
    >"$E2E_DIR/trickle.out" 2>&1 &
TRICKLE_PID=$!
ctl mdlog_max_files 2
ctl_clear mdlog_pause
wait_line "killed after 30 s" 50 || e2e_fail "trickled upload not ended by its limit"
wait_until 10 line_seen "send [" || e2e_fail "killed upload not reported"
t0=$(date +%s)
stop_daemon TERM 60 || e2e_fail "daemon did not end within 60 s of SIGTERM"
log "shutdown with a trickling PC took $(($(date +%s) - t0)) s"
ctl_clear mdlog_max_files
kill "$TRICKLE_PID"
wait "$TRICKLE_PID" 2>/dev/null
TRICKLE_PID=
pcctl tftp start && tftpd_realtime
expect_clean_end
expect_steps 1 2 3 4 5 6 7 8 9
expect_eq "$(count_lines "killed after 30 s")" 2 "uploads killed at their own limit"
check "stat.txt delivered" test -s "$EMU_PC_TFTP_DIR/stat.txt"
check "uploads cut short journalled as missed send" grep -qP "\tsend\tdiag_log_" "$EMU_PC_TFTP_DIR/stat.txt"

new_run "a working directory that is full at the end"
ctl mdlog_pause
relay_two_then_pause
newest=$(manifest_names | tail -n 1)
mount -n -t tmpfs -o size=64k tmpfs "$WORKDIR"
head -c 1M /dev/zero >"$WORKDIR/fill" 2>/dev/null
stop_daemon TERM 30 || e2e_fail "daemon did not end within 30 s of SIGTERM"
umount -n "$WORKDIR"
expect_clean_end
expect_steps 1 2 3 4 5 6 7 8 9
expect_line "write_stat_file(): CHECK(write(fd, buff, strlen(buff)) == strlen(buff)) failed. write err"
expect_line "log_stat_file(): [dup]"
check "the newest file's failed pull in the logged journal" grep -qF $'\tpull\t'"$newest" "$DAEMON_OUT"
check "no stat.txt at the PC" test ! -e "$EMU_PC_TFTP_DIR/stat.txt"
e2e_pass
