#!/bin/bash
# Bad input that needs the real binary: "-k" with a pid file naming no
# process (zero, empty, negative, text, a directory); a first argument that is no option
# (the defaults are used); a pid file left behind as a dangling symbolic
# link (replaced, its target never created); and a modem that adb cannot
# reach at start-up, with a working directory too small for four log files
# (the space warning, CHECK lines for the log directory, then the ASSERT of
# the push).
. "$(dirname "$0")/lib/lib.sh"
PID_FILE=/var/run/diagferry.pid

for bad in "0" "" "-1" "-12345" "abc" " 0x10"; do
    log "-k with pid file [$bad]"
    printf '%s' "$bad" >"$PID_FILE"
    run_daemon -k
    expect_eq "$DAEMON_STATUS" 1 "status with pid file [$bad]"
    check "bad pid reported for [$bad]" \
        grep -qF "kill_other_orDie(): [PROTOCOL]ASSERT(pid > 0) failed. bad pid" <<<"$RUN_OUT"
    refute "nothing signalled for [$bad]" grep -qF "stopping diagferry" <<<"$RUN_OUT"
    check "pid file [$bad] kept" test -e "$PID_FILE"
done
rm -f "$PID_FILE"

log "-k with a directory as pid file"
mkdir "$PID_FILE"
run_daemon -k
expect_eq "$DAEMON_STATUS" 1 "status with a directory"
check "read failure reported" grep -qF \
    "kill_other_orDie(): [PROTOCOL]ASSERT(ret >= 0) failed. Unable to read pid file, errno: 21" \
    <<<"$RUN_OUT"
rmdir "$PID_FILE"

log "a non-option argument, a pid file left as a dangling symbolic link"
target=$E2E_DIR/not_a_pid_file
rm -f "$target"
ln -s "$target" "$PID_FILE"
write_diag_cfg
start_daemon just-a-word
wait_line "[PROTOCOL]init done" 15 || e2e_fail "daemon did not start"
wait_line "diagferry started, pid: $DAEMON_PID" 5 || e2e_fail "no pid file line"
check "pid file is a regular file now" test -f "$PID_FILE" -a ! -L "$PID_FILE"
expect_eq "$(tr -d '\0' <"$PID_FILE")" "$DAEMON_PID" "pid file content"
check "link target never created" test ! -e "$target"
# The built-in defaults reach the diag tool: 1 MB, 3 files, level 9.
check "started with the defaults" grep -qF \
    "shell nohup diag_mdlog -f /run/diag_logs/DIAG.cfg -o /run/diag_logs/ -s 1.000000 -n 3 -z 9" \
    <(adb_calls)
forbid_line "mode: "
stop_daemon TERM 20 || e2e_fail "daemon did not end within 20 s of SIGTERM"
expect_eq "$DAEMON_STATUS" 0 "exit status"
check "pid file removed" test ! -e "$PID_FILE"

log "adb cannot reach the modem at start-up, a working directory of 1 MiB"
: >"$DAEMON_OUT"
small=/tmp/small/
mkdir -p "$small"
mount -n -t tmpfs -o size=1m tmpfs "$small" || e2e_fail "cannot mount a tmpfs on $small"
write_diag_cfg "$small"
write_config '{"router.workdir": "/tmp/small/", "modem.log.size": 0.5}'
ctl adb_offline
wait_until 5 not adb get-state >/dev/null 2>&1 || e2e_fail "modem still online after adb_offline"
mark=$(adb_calls | wc -l)
run_daemon -f "$CONF"
ctl_clear adb_offline
umount -n "$small"
expect_line "warn_low_space(): warning: /tmp/small/ has "
expect_line " bytes free, less than 4 log files of 0.500000 MB (2097152 bytes)"
expect_eq "$DAEMON_STATUS" 1 "status with adb offline"
# A clear error within seconds, before any command runs on the modem.
forbid_line "Modem diag tool is running"
forbid_line "rm_modem_log_dir()"
expect_eq "$(tail -n 1 "$DAEMON_OUT" | sed 's/^\[[0-9]*\]src\/diagferry_main([0-9]*) //')" \
    "main(): [PROTOCOL]ASSERT(wait_for_modem()) failed. modem not reachable through adb within 5 s" \
    "last line"
expect_eq "$(adb_calls | tail -n +$((mark + 1)))" "" "adb calls that reached the modem"
forbid_line "start modem..."
# The pid file comes before the first command: a failed start leaves it
# stale, and -k removes it.
run_daemon -k
expect_eq "$DAEMON_STATUS" 0 "-k after a failed start"
check "stale pid file removed" grep -qF "diagferry has dead, but not clean the pid file." <<<"$RUN_OUT"

e2e_pass
