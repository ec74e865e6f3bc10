# pipeline_checks.sh: checks shared by the pipeline, modem and shutdown
# scenarios; sourced after lib.sh. Not a scenario of its own.
#
#   new_run TEXT          fresh daemon output (the last one is kept as
#                         daemon.out.N), adb call mark, empty PC directory
#                         and manifest (only between daemon runs)
#   run_adb_calls         adb calls since new_run
#   lifecycle_calls       those calls without listings, pulls and the start,
#                         repeated lines folded: the diag tool's lifecycle
#   calls_between A B     the calls between two lines (probe counts)
#   expect_steps N...     the shutdown's numbered step lines, exactly these
#   check_stat_file [F] [L] the PC's stat.txt (or F): layout, sums, the
#                         summary logged after L (default "write_stat_file(): ")
#   journal_names REASON  names of the miss journal lines with REASON
#   in_order A B          a line with A comes before one with B
#   pc_log_count          log files on the PC (stat.txt not counted)
#   pc_has_logs N         at least N of them (for wait_until)
#   line_seen TEXT        the daemon has printed TEXT (for wait_until)
#   expect_clean_end      status 0, exited, pid file and modem dir gone
PID_FILE=/var/run/diagferry.pid
MODEM_DIR=$EMU_MODEM_ROOT/run/diag_logs
# The diag tool's lifecycle as adb.calls records it: probe and stop.
PROBE="shell busybox pgrep diag_mdlog"
STOP="shell diag_mdlog -k"
RUN_NO=0
ADB_MARK=0

new_run() {
    RUN_NO=$((RUN_NO + 1))
    [ -s "$DAEMON_OUT" ] && cp "$DAEMON_OUT" "$E2E_DIR/daemon.out.$((RUN_NO - 1))"
    : >"$DAEMON_OUT"
    ADB_MARK=$(cat "$EMU_LOG_DIR/adb.calls" 2>/dev/null | wc -l)
    rm -f "$EMU_PC_TFTP_DIR"/* "$EMU_PC_TFTP_DIR"/.[!.]* 2>/dev/null
    : >"$EMU_LOG_DIR/manifest"
    log "run $RUN_NO: $*"
}

run_adb_calls() {
    adb_call_lines | tail -n +$((ADB_MARK + 1))
}

# The start command runs adb in the background, so its line in the call
# log may come after the first probe's: it is left out here (see
# start_call_count).
lifecycle_calls() {
    run_adb_calls | grep -v -e '^shell cd ' -e '^pull ' -e '^shell nohup ' | uniq
}

# calls_between A B: the adb calls of this run between the last line A
# that is followed by a line B, and that B (both exclusive); listings and
# pulls left out.
calls_between() {
    run_adb_calls | grep -v -e '^shell cd ' -e '^pull ' |
        awk -v a="$1" -v b="$2" '$0 == a { on = 1; cur = ""; next }
            on && $0 == b { on = 0; last = cur; next }
            on { cur = cur $0 "\n" }
            END { printf "%s", last }'
}

# expect_steps N...: the numbered shutdown lines, in order, are exactly the
# given step numbers with their fixed texts (9 is main's only without the
# statistics step).
expect_steps() {
    local want="" n got
    for n in "$@"; do
        want+=$(step_text "$n")$'\n'
    done
    got=$(grep -o 'kill_self(): \[[0-9]*\].*' "$DAEMON_OUT" | sed 's/^kill_self(): //')$'\n'
    [ "$got" = "$want" ] || e2e_fail "shutdown steps: expected
$want-- got
$got"
}

step_text() {
    case $1 in
    1) echo "[1]stop keep-alive-thread..." ;;
    1n) echo "[1]stop stop-thread..." ;;
    2) echo "[2]stop test thread..." ;;
    3) echo "[3]stop diag tool in modem..." ;;
    4) echo "[4]stop query thread..." ;;
    5) echo "[5]stop pull thread..." ;;
    6) echo "[6]stop send thread..." ;;
    7) echo "[7]clean modem cache..." ;;
    8) echo "[8]send statistic file..." ;;
    8m) echo "[8]stop main thread..." ;;
    9) echo "[9]stop main thread..." ;;
    esac
}

# check_stat_file [FILE] [LOGGED]: stat.txt reads the summary line, "[miss]", the
# miss journal, an empty line, "[dup]" and the dup journal, every journal
# line time-stamped; miss is the sum of the gap counts and the other miss
# lines, dup the number of dup lines; the daemon logged the same summary.
# Sets ST_DETECT ST_PULL ST_SEND ST_MISS ST_DUP, ST_MISS_LINES and
# ST_DUP_LINES (journal lines without their time stamps).
check_stat_file() {
    local f=${1:-$EMU_PC_TFTP_DIR/stat.txt} lines i sum=0 line
    local stamp='^\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}\]'
    [ -f "$f" ] || e2e_fail "no stat.txt at $f"
    [ "$(tail -c 1 "$f" | od -An -tx1 | tr -d ' ')" = 0a ] || e2e_fail "stat.txt does not end in a newline"
    mapfile -t lines <"$f"
    [[ ${lines[0]} =~ ^detect:([0-9]+)\ pull:([0-9]+)\ send:([0-9]+)\ miss:([0-9]+)\ dup:([0-9]+)$ ]] ||
        e2e_fail "stat.txt summary [${lines[0]}]"
    ST_DETECT=${BASH_REMATCH[1]} ST_PULL=${BASH_REMATCH[2]} ST_SEND=${BASH_REMATCH[3]}
    ST_MISS=${BASH_REMATCH[4]} ST_DUP=${BASH_REMATCH[5]}
    expect_line "${2:-write_stat_file(): }${lines[0]}"
    [ "${lines[1]}" = "[miss]" ] || e2e_fail "stat.txt line 2 [${lines[1]}]"
    ST_MISS_LINES=()
    for ((i = 2; i < ${#lines[@]} && ${#lines[i]} > 0; i++)); do
        [[ ${lines[i]} =~ $stamp$'\t'(.*)$ ]] || e2e_fail "miss journal line [${lines[i]}]"
        ST_MISS_LINES+=("${BASH_REMATCH[1]}")
    done
    [ "${lines[i]-x}" = "" ] && [ "${lines[i + 1]-}" = "[dup]" ] ||
        e2e_fail "stat.txt: no empty line and [dup] after the miss journal"
    ST_DUP_LINES=()
    for ((i += 2; i < ${#lines[@]}; i++)); do
        [[ ${lines[i]} =~ $stamp\ (.*)$ ]] || e2e_fail "dup journal line [${lines[i]}]"
        ST_DUP_LINES+=("${BASH_REMATCH[1]}")
    done
    for line in "${ST_MISS_LINES[@]}"; do
        if [[ $line =~ ^sequence\ check$'\t'miss\ ([0-9][0-9])\ from\ .+\ to\ .+$ ]]; then
            sum=$((sum + 10#${BASH_REMATCH[1]}))
        else
            [[ $line =~ ^(push\ to\ pull\ queue|pull|add\ to\ send\ queue|omit\ pull\ queue|send|omit\ send\ queue|modem\ reset)$'\t'. ]] ||
                e2e_fail "miss journal reason in [$line]"
            sum=$((sum + 1))
        fi
    done
    expect_eq "$sum" "$ST_MISS" "miss: gap counts plus other journal lines"
    expect_eq "${#ST_DUP_LINES[@]}" "$ST_DUP" "dup: dup journal lines"
}

# journal_names REASON: names on the miss journal lines with that reason.
journal_names() {
    local line
    for line in "${ST_MISS_LINES[@]}"; do
        [[ $line == "$1"$'\t'* ]] && printf '%s\n' "${line#*$'\t'}"
    done
}

# in_order A B: the first line with A comes before the first line with B.
in_order() {
    awk -v a="$1" -v b="$2" 'index($0, a) && !s { s = NR } index($0, b) && !t { t = NR }
        END { exit !(s && t && s < t) }' "$DAEMON_OUT"
}

pc_log_count() {
    pc_files | grep -vcx -e stat.txt -e stat.snapshot.txt
}

pc_has_logs() { [ "$(pc_log_count)" -ge "$1" ]; }
line_seen() { grep -qF -- "$1" "$DAEMON_OUT"; }

expect_clean_end() {
    expect_eq "$DAEMON_STATUS" 0 "exit status"
    expect_line "[PROTOCOL]exited"
    forbid_line "[PROTOCOL]ASSERT"
    check "pid file removed" test ! -e "$PID_FILE"
    check "diag tool stopped" test -z "$(adb shell busybox pgrep diag_mdlog)"
    check "modem log dir removed" test ! -e "$MODEM_DIR"
}

# The working directory holds nothing but DIAG.cfg.
expect_workdir_empty() {
    expect_eq "$(ls -A "$WORKDIR" | tr '\n' ' ')" "DIAG.cfg " "working directory contents"
}

# Waits until the daemon has written the pid file; checks its 10 bytes.
expect_pid_file() {
    wait_until 5 test -s "$PID_FILE" || e2e_fail "no pid file"
    expect_eq "$(stat -c %s "$PID_FILE")" 10 "pid file size"
    expect_eq "$(tr -d '\0' <"$PID_FILE")" "$DAEMON_PID" "pid file content"
    expect_eq "$(tail -c +$((${#DAEMON_PID} + 1)) "$PID_FILE" | od -An -tx1 | tr -d ' \n')" \
        "$(printf '00%.0s' $(seq $((10 - ${#DAEMON_PID}))))" "pid file padding"
}

# tftpd_realtime: the PC's TFTP server (and the handler it forks for each
# upload) at real-time priority. busybox tftp repeats its request when no
# answer came within 100 ms, and tftpd-hpa serves the repeat as a second
# upload whose handler truncates the file: an upload reported as done
# leaves 0 bytes at the PC. On a loaded test machine that happens now and
# then; nothing the daemon does can see it. Call again after every
# "pcctl tftp start".
tftpd_realtime() {
    local pid
    pid=$(cat "$EMU_RUN_DIR/pc/tftpd.pid" 2>/dev/null) || return 0
    chrt -f -p 10 "$pid" >/dev/null 2>&1 || log "could not raise the TFTP server's priority"
}
tftpd_realtime
