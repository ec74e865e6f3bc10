#!/bin/bash
# Log files flow from the modem to the PC byte for byte, with compression
# naming (-z), and the statistics file arrives at the end. Every file the
# modem wrote either reached the PC or is named in the miss journal.
. "$(dirname "$0")/lib.sh"

write_config '{"modem.log.size": 0.05, "modem.log.number": 20, "modem.log.zip_level": 9}'
write_diag_cfg
ctl mdlog_interval_ms 500
ctl mdlog_max_files 10
start_daemon
wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
check "start command with -z 9" grep -qF -- "-s 0.050000 -n 20 -z 9" "$EMU_LOG_DIR/adb.calls"
wait_line "send log from router to PC" 10 || e2e_fail "no file sent"
check "ten files written" wait_until 15 grep -q "_09.qmdl.gz" "$EMU_LOG_DIR/manifest"
sleep 1
stop_daemon TERM 20 || e2e_fail "daemon did not end within 20 s of SIGTERM"
expect_eq "$DAEMON_STATUS" 0 "exit status"

verify_pc_files
STAT=$EMU_PC_TFTP_DIR/stat.txt
written=$(manifest_names | wc -l)
missed=${#PC_MISSING[@]}
log "modem wrote $written files, PC holds $PC_LOGS, missed $missed"
expect_eq "$written" 10 "files written"
check "at least 5 files relayed" test "$PC_LOGS" -ge 5
check "names end in .qmdl.gz" test -z "$(pc_files | grep -v '^stat.txt$' | grep -v '\.qmdl\.gz$')"
check "stat.txt on the PC" test -f "$STAT"
expect_eq "$(head -n 1 "$STAT")" \
    "detect:$written pull:$PC_LOGS send:$PC_LOGS miss:$missed dup:0" "stat.txt counters"
for name in "${PC_MISSING[@]}"; do
    check "[$name] journalled as missed" grep -qF "$name" "$STAT"
done
expect_eq "$(ls -A "$WORKDIR")" "DIAG.cfg" "router working directory after the run"
e2e_pass
