#!/bin/bash
# The diag tool's lifecycle as the modem saw it: every command line
# in order, the start options for zip level 0 and 19 and a fractional size,
# DIAG.cfg pushed unchanged, a tool left running by someone else stopped at
# start-up, compressed logs delivered byte for byte, and a tool that takes
# four seconds to go after "-k" (five probes, no forced kill).
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib/lib.sh"
. "$HERE/lib/pipeline_checks.sh"

RM_DIR="shell busybox rm -rf /run/diag_logs/"

tool_running() { test -n "$(adb shell busybox pgrep diag_mdlog)"; }
pc_has_files() { test -n "$(ls -A "$EMU_PC_TFTP_DIR")"; }

write_diag_cfg
ctl mdlog_size_bytes 2000
ctl mdlog_interval_ms 500

new_run "zip level 0, size 2.5, tool not running at start"
write_config '{"modem.log.size": 2.5, "modem.log.number": 4, "modem.log.zip_level": 0}'
start_daemon
wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
check "DIAG.cfg pushed unchanged" cmp -s "$WORKDIR/DIAG.cfg" "$MODEM_DIR/DIAG.cfg"
check "diag tool running" tool_running
sleep 1.5
stop_daemon TERM 20 || e2e_fail "daemon did not end within 20 s of SIGTERM"
calls=$(lifecycle_calls)  # before the checks below add calls of their own
expect_clean_end
expect_eq "$calls" "$PROBE
$RM_DIR
shell busybox chmod -R 777 /run/
shell busybox mkdir -p /run/diag_logs/
shell busybox chmod -R 777 /run/diag_logs/
push /run/diag_logs/DIAG.cfg
$PROBE
$STOP
$PROBE
$RM_DIR
shell busybox chmod -R 755 /run/" "adb command lines"
expect_eq "$(run_adb_calls | head -n 2 | tail -n 1)" "$RM_DIR" "a single probe before the set-up"
expect_eq "$(run_adb_calls | grep -A2 -xF "push /run/diag_logs/DIAG.cfg" |
    grep -c '^shell nohup ')" 1 "start right after the push (adb lines may swap with the first probe)"
expect_eq "$(run_adb_calls | grep '^shell nohup ')" \
    "shell nohup diag_mdlog -f /run/diag_logs/DIAG.cfg -o /run/diag_logs/ -s 2.500000 -n 4" \
    "start command: size 2.5 as 2.500000, no -z for level 0"
expect_eq "$(count_lines "Modem diag tool is running. now stop it...")" 1 "stops of the tool"
check "the stop belongs to the shutdown" \
    in_order "[3]stop diag tool in modem..." "Modem diag tool is running. now stop it..."
expect_line "main(): start modem..."
expect_line "main(): modem up!"
forbid_line "force kill"
check "the listing command" grep -qxF "shell cd /run/diag_logs/ && ls -1 --color=never diag_log_*.qmdl*" \
    "$EMU_LOG_DIR/adb.calls"
expect_eq "$(stat -c %a "$EMU_MODEM_ROOT/run")" 755 "modem /run mode after the run"

new_run "zip level 19, a tool already running, then a lingering stop"
write_config '{"modem.log.zip_level": 19}'
adb shell busybox mkdir -p /run/diag_logs/ >/dev/null
adb push "$WORKDIR/DIAG.cfg" /run/diag_logs/DIAG.cfg >/dev/null
sh -c 'adb shell nohup diag_mdlog -f /run/diag_logs/DIAG.cfg -o /run/diag_logs/ -s 0.01 -n 3 >/dev/null 2>&1 &'
wait_until 5 tool_running || e2e_fail "could not start the tool by hand"
ADB_MARK=$(wc -l <"$EMU_LOG_DIR/adb.calls")
start_daemon
wait_line "[PROTOCOL]init done" 20 || e2e_fail "no [PROTOCOL]init done"
expect_eq "$(lifecycle_calls | head -n 4)" "$PROBE
$STOP
$PROBE
$RM_DIR" "the running tool stopped before the set-up"
check "start-up stop logged before the start" \
    in_order "Modem diag tool is running. now stop it..." "main(): start modem..."
check "start with -z 19" grep -qxF \
    "shell nohup diag_mdlog -f /run/diag_logs/DIAG.cfg -o /run/diag_logs/ -s 1.000000 -n 3 -z 19" \
    <(run_adb_calls)
wait_until 10 pc_has_files || e2e_fail "nothing relayed"
check "compressed logs relayed" compgen -G "$EMU_PC_TFTP_DIR/diag_log_*.qmdl.gz" >/dev/null

# The tool now survives a stop request for 4 s.
ctl mdlog_linger_s 4
stop_daemon TERM 25 || e2e_fail "daemon did not end within 25 s of SIGTERM"
ctl_clear mdlog_linger_s
expect_clean_end
verify_pc_files
check "only compressed names at the PC" test -z "$(pc_files | grep -v '^stat.txt$' | grep -v '\.qmdl\.gz$')"
# Probes 1 s apart find it for 4 s: five with instant probes; each adb call
# costs 0.1-0.4 s here, which can make the fourth one already miss it.
probes=$(calls_between "$STOP" "$RM_DIR" | grep -cxF "$PROBE")
log "probes after the stop request: $probes"
check "4 or 5 probes after a stop the tool takes 4 s to honour (got $probes)" \
    test "$probes" -ge 4 -a "$probes" -le 5
# A pull in flight goes on beside the stop: its sync requests are the pull stage's.
expect_eq "$(calls_between "$STOP" "$RM_DIR" | grep -vxF "$PROBE" | grep -v '^\(stat\|pull\) ')" "" \
    "nothing but probes after -k"
forbid_line "Kill modem diag tool fail, force kill."
check "no forced kill" not grep -q "pkill" <(run_adb_calls)
t3=$(grep -F "[3]stop diag tool in modem..." "$DAEMON_OUT" | sed 's/^\[\([0-9]*\)\].*/\1/')
t4=$(grep -F "[4]stop query thread..." "$DAEMON_OUT" | sed 's/^\[\([0-9]*\)\].*/\1/')
check "four 1-second sleeps between the probes (step 3 took $((t4 - t3)) s)" test $((t4 - t3)) -ge 4
e2e_pass
