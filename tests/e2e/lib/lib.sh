# lib.sh: shared helpers of the end-to-end scenarios.
#
# A scenario is a short bash script that sources this file and runs inside
# the emulated router:   router/emu -B BUILD_DIR -- tests/e2e/NAME.sh
# (CTest does exactly that). It fails through e2e_fail, which prints the
# daemon's whole output and the stand-ins' logs, and ends with e2e_pass.
#
# Daemon:      write_config JSON, write_diag_cfg, start_daemon [ARGS],
#              wait_line TEXT [SECONDS], signal_daemon SIG, wait_exit [SECONDS],
#              stop_daemon [SIG] [SECONDS], run_daemon ARGS (foreground)
# Checks:      check, refute, expect_eq, expect_line, forbid_line,
#              count_lines, lines_at_least N TEXT, wait_until SECONDS CMD,
#              not CMD, gone PID, log_time (time stamps of log lines on stdin)
# Emulation:   ctl NAME [VALUE], adb_calls [PATTERN], old_modem, pc_files,
#              verify_pc_files, manifest_names, written, written_at_least N,
#              expect_no_daemon_fds PID WHAT,
#              clock_shim, clock_step SECONDS (the daemon's wall clock)
# Piped:       start_daemon_piped [ARGS], reader_signal SIG, reader_start, reader_end
set -u

if [ ! -e /run/emu-env ] || [ -z "${EMU_RUN_DIR:-}" ]; then
    echo "$0: run me inside the emulated router: router/emu -- $0" >&2
    exit 2
fi

E2E_NAME=$(basename "$0" .sh)
E2E_DIR=$EMU_RUN_DIR/e2e
DAEMON=$EMU_DIAGFERRY
DAEMON_OUT=$E2E_DIR/daemon.out      # the daemon's stdout and stderr
DAEMON_PID=
DAEMON_STATUS=                      # exit status once wait_exit saw it end
CONF=$E2E_DIR/conf.json
WORKDIR=/tmp/mdlog/                 # the daemon's default working directory
MODEM_LOG_DIR=/run/diag_logs/       # the default modem log directory
E2E_CWD=$E2E_DIR/cwd                # the scenario's and the daemon's working
                                    # directory: where a name that injects a
                                    # relative command like touch pwned lands
E2E_START=$(date +%s%N)
mkdir -p "$E2E_DIR" "$E2E_CWD"
cd "$E2E_CWD" || exit 2
: >"$DAEMON_OUT"

# Prints what is needed to understand a failure, then fails the scenario.
e2e_fail() {
    local f
    trap '' INT TERM
    echo "FAIL: $E2E_NAME: $*"
    echo "----- daemon output ($DAEMON_OUT) -----"
    cat "$DAEMON_OUT" 2>/dev/null
    for f in adb.calls adb.log adbd.log adb-server.log diag_mdlog.log manifest init.log telnetd.log cli.log emu.log; do
        [ -s "$EMU_LOG_DIR/$f" ] || continue
        echo "----- $f (last 60 lines) -----"
        tail -n 60 "$EMU_LOG_DIR/$f"
    done
    echo "----- PC's TFTP directory -----"
    ls -la "$EMU_PC_TFTP_DIR"
    e2e_cleanup
    exit 1
}

e2e_pass() {
    e2e_cleanup
    sanitizer_check
    echo "PASS: $E2E_NAME ($(elapsed) s)"
    exit 0
}

# A daemon still running at the end is ended by its pid.
e2e_cleanup() {
    if [ -n "$DAEMON_PID" ] && kill -0 "$DAEMON_PID" 2>/dev/null; then
        kill -KILL "$DAEMON_PID" 2>/dev/null
        wait "$DAEMON_PID" 2>/dev/null
    fi
    [ -z "$READER_PID" ] || kill -KILL "$READER_PID" 2>/dev/null
}
trap 'e2e_cleanup' EXIT
trap 'e2e_fail "interrupted"' INT TERM

# A sanitizer build reports to stderr and may go on running: such a report
# in the daemon's output or in a stand-in's log fails a scenario that
# otherwise passed.
SANITIZER_REPORT='WARNING: ThreadSanitizer|ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:'
sanitizer_check() {
    local f
    for f in "$DAEMON_OUT" "$EMU_LOG_DIR"/*; do
        [ -f "$f" ] || continue
        if grep -qE "$SANITIZER_REPORT" "$f"; then
            grep -E -m 5 "$SANITIZER_REPORT" "$f"
            e2e_fail "sanitizer report in $f"
        fi
    done
}

elapsed() {
    local ms=$((($(date +%s%N) - E2E_START) / 1000000))
    printf '%d.%d' $((ms / 1000)) $((ms % 1000 / 100))
}

log() {
    echo "[$(elapsed)] $*"
}

# check WHAT CMD...: fails the scenario unless CMD succeeds.
check() {
    local what=$1
    shift
    "$@" || e2e_fail "$what"
}

# refute WHAT CMD...: fails the scenario if CMD succeeds.
refute() {
    local what=$1
    shift
    ! "$@" || e2e_fail "$what"
}

# not CMD...: succeeds when CMD fails (for wait_until).
not() {
    ! "$@"
}

# wait_until SECONDS CMD...: polls CMD every 0.1 s until it succeeds.
wait_until() {
    local end=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -lt "$end" ] || return 1
        sleep 0.1
    done
}

expect_eq() {
    [ "$1" = "$2" ] || e2e_fail "${3:-value}: expected [$2], got [$1]"
}

# expect_line TEXT [FILE]: a line containing TEXT (fixed string) exists.
expect_line() {
    grep -qF -- "$1" "${2:-$DAEMON_OUT}" || e2e_fail "no line with [$1] in ${2:-daemon output}"
}

forbid_line() {
    ! grep -qF -- "$1" "${2:-$DAEMON_OUT}" || e2e_fail "unexpected line with [$1] in ${2:-daemon output}"
}

count_lines() {
    grep -cF -- "$1" "${2:-$DAEMON_OUT}"
}

# lines_at_least N TEXT: at least N lines contain TEXT (for wait_until).
lines_at_least() {
    [ "$(count_lines "$2")" -ge "$1" ]
}

# write_config JSON: the daemon's configuration file ($CONF).
write_config() {
    printf '%s\n' "$1" >"$CONF"
}

# write_diag_cfg [DIR]: a DIAG.cfg in the daemon's working directory.
write_diag_cfg() {
    local dir=${1:-$WORKDIR}
    mkdir -p "$dir"
    printf 'diag config for %s\n' "$E2E_NAME" >"${dir%/}/DIAG.cfg"
}

# expect_no_daemon_fds PID WHAT: the long-lived child PID (started by the
# daemon) holds none of the daemon's own descriptors: no ARP packet socket,
# neither the pid file nor the configuration file.
expect_no_daemon_fds() {
    local pid=$1 what=$2 fd target inode
    [ -d "/proc/$pid/fd" ] || e2e_fail "$what (pid $pid) is not running"
    for fd in /proc/"$pid"/fd/*; do
        target=$(readlink "$fd") || continue
        case $target in
        /var/run/diagferry.pid | /run/diagferry.pid | "$CONF")
            e2e_fail "$what holds the daemon's $target as ${fd##*/}"
            ;;
        socket:\[*\])
            inode=${target#socket:[}
            inode=${inode%]}
            if awk -v i="$inode" 'NR > 1 && $9 == i { f = 1 } END { exit !f }' /proc/net/packet; then
                e2e_fail "$what holds a packet socket as ${fd##*/}"
            fi
            ;;
        esac
    done
}

# ctl NAME [VALUE]: sets a control file of the stand-ins (VALUE "" touches).
ctl() {
    if [ $# -ge 2 ]; then printf '%s\n' "$2" >"$EMU_CTL_DIR/$1"; else : >"$EMU_CTL_DIR/$1"; fi
}

ctl_clear() {
    rm -f "$EMU_CTL_DIR/$1"
}

# put_file PATH TEXT: TEXT renamed into place, for a reader that polls PATH
# and would take a file written in place while still empty.
put_file() {
    printf '%s' "$2" >"$1.new" && mv -f "$1.new" "$1"
}

# mobile_ctl LINES: the mobile manager stand-in's commands (it claims the
# file by a rename).
mobile_ctl() {
    put_file "$ROUTER_SIM_DIR/mobile_ctl" "$1"
}

# clock_shim: the daemons started from now on (and what they run) read the
# real wall clock plus the seconds clock_step set last (tests/tools/
# wall_clock_shim.c); the scenario's own clock stays the real one.
WALL_CLOCK_OFFSET=$E2E_DIR/wall_clock_offset
DAEMON_ENV=()
clock_shim() {
    clock_step 0
    DAEMON_ENV=(LD_PRELOAD="$EMU_BUILD_DIR/tests/libwall_clock_shim.so"
        WALL_CLOCK_OFFSET_FILE="$WALL_CLOCK_OFFSET"
        ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0")
}
clock_step() {
    log "the daemon's wall clock: $1 s off"
    put_file "$WALL_CLOCK_OFFSET" "$1"$'\n'
}

# start_daemon [ARGS...]: the daemon in the background (default: -f $CONF),
# with SIGINT at its default (bash would leave it ignored).
start_daemon() {
    [ $# -gt 0 ] || set -- -f "$CONF"
    log "start: diagferry $*"
    env --default-signal=INT,QUIT "${DAEMON_ENV[@]}" "$DAEMON" "$@" >>"${DAEMON_SINK:-$DAEMON_OUT}" 2>&1 &
    DAEMON_PID=$!
    DAEMON_STATUS=
}

# start_daemon_piped [ARGS...]: start_daemon into a one-page FIFO that a
# reader (READER_PID, a cat: a terminal, a tee) copies to $DAEMON_OUT.
DAEMON_FIFO=$E2E_DIR/daemon.fifo READER_PID=
start_daemon_piped() {
    rm -f "$DAEMON_FIFO" && mkfifo "$DAEMON_FIFO" && reader_start
    DAEMON_SINK=$DAEMON_FIFO start_daemon "$@"
    wait_line "main thread start" 10 || e2e_fail "no output through the FIFO"
    perl -e 'open(F, "+<", $ARGV[0]) && fcntl(F, 1031, 4096) or die' "$DAEMON_FIFO" ||
        e2e_fail "FIFO not shrunk"
}
reader_start() { cat "$DAEMON_FIFO" >>"$DAEMON_OUT" & READER_PID=$!; }
reader_signal() {
    log "stdout reader: SIG$1" && kill "-$1" "$READER_PID"
    [ "$1" != KILL ] || READER_PID=
}
reader_end() { kill -CONT "$READER_PID" && wait_until 5 gone "$READER_PID" || kill "$READER_PID"; } 2>/dev/null

# run_daemon ARGS...: runs the daemon to its end (at most 20 s), output
# appended to $DAEMON_OUT; sets DAEMON_STATUS.
run_daemon() {
    local mark
    mark=$(wc -l <"$DAEMON_OUT")
    timeout -s KILL 20 "$DAEMON" "$@" >>"$DAEMON_OUT" 2>&1
    DAEMON_STATUS=$?
    RUN_OUT=$(tail -n +$((mark + 1)) "$DAEMON_OUT")
}

# wait_line TEXT [SECONDS] [FILE]: waits for a line containing TEXT.
wait_line() {
    local text=$1 limit=${2:-10} file=${3:-$DAEMON_OUT} end
    end=$(($(date +%s) + limit))
    while ! grep -qF -- "$text" "$file" 2>/dev/null; do
        if [ "$(date +%s)" -ge "$end" ]; then
            return 1
        fi
        if [ "$file" = "$DAEMON_OUT" ] && [ -n "$DAEMON_PID" ] && daemon_ended; then
            grep -qF -- "$text" "$file"
            return
        fi
        sleep 0.1
    done
}

# Reads log lines on standard input, prints each one's time stamp (the
# seconds in its "[N]" prefix).
log_time() { sed 's/^\[\([0-9]*\)\].*/\1/'; }

# True when PID no longer runs (gone, or a zombie nobody reaped yet).
gone() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
    stat=${stat##*) }
    [ "${stat%% *}" = Z ]
}

# True once the daemon has exited (it is then a zombie until wait_exit).
daemon_ended() {
    gone "$DAEMON_PID"
}

signal_daemon() {
    log "signal $1"
    kill "-$1" "$DAEMON_PID"
}

# wait_exit [SECONDS]: waits for the daemon's end; sets DAEMON_STATUS.
# Returns 1 (daemon still running) on time-out.
wait_exit() {
    local limit=${1:-15} end
    end=$(($(date +%s) + limit))
    while ! daemon_ended; do
        [ "$(date +%s)" -lt "$end" ] || return 1
        sleep 0.1
    done
    wait "$DAEMON_PID"
    DAEMON_STATUS=$?
    log "daemon exited with status $DAEMON_STATUS"
}

# stop_daemon [SIG] [SECONDS]: signal, then wait; a daemon that does not
# end in time is killed by its pid (DAEMON_STATUS "killed", returns 1).
stop_daemon() {
    signal_daemon "${1:-TERM}"
    if ! wait_exit "${2:-15}"; then
        log "daemon did not exit within ${2:-15} s; killing pid $DAEMON_PID"
        kill -KILL "$DAEMON_PID"
        wait "$DAEMON_PID" 2>/dev/null
        DAEMON_STATUS=killed
        return 1
    fi
}

# old_modem: true when the router talks through Debian's adb to an old
# modem, whose adbd passes no exit status back (every adb shell exits 0).
old_modem() {
    [ "$EMU_ADB/$EMU_MODEM" = real/old ]
}

# adb_call_lines: adb.calls in the modem's terms, whichever adb wrote it:
# the stand-in's "pull SRC DST" and "push SRC DST" become "pull SRC" and
# "push DST", as the modem's adbd records them (it never sees the router's
# side of a transfer).
adb_call_lines() {
    sed -e 's/^\(pull [^ ]*\) .*$/\1/' -e 's/^push [^ ]* /push /' "$EMU_LOG_DIR/adb.calls" 2>/dev/null
}

# adb_calls [PATTERN]: the adb calls so far (those containing PATTERN).
adb_calls() {
    if [ $# -gt 0 ]; then
        adb_call_lines | grep -F -- "$1"
    else
        adb_call_lines
    fi
}

# Log files the diag tool simulator has written so far, in order.
manifest_names() {
    local line
    while IFS= read -r line; do
        printf '%s\n' "${line% *}"
    done <"$EMU_LOG_DIR/manifest" 2>/dev/null
}

# How many files the simulator has written; true once that is at least $1.
written() { manifest_names | wc -l; }
written_at_least() { [ "$(written)" -ge "$1" ]; }

# Files on the PC, one name a line, sorted.
pc_files() {
    ls -1A "$EMU_PC_TFTP_DIR" | sort
}

# verify_pc_files: every log file on the PC must be byte-identical to one
# the simulator wrote. Sets PC_LOGS (files checked) and PC_MISSING (names
# in the manifest that never reached the PC).
verify_pc_files() {
    local name sum want line
    declare -A sums=()
    while IFS= read -r line; do
        sums["${line% *}"]=${line##* }
    done <"$EMU_LOG_DIR/manifest" 2>/dev/null
    PC_LOGS=0
    while IFS= read -r name; do
        case $name in stat.txt | stat.snapshot.txt) continue ;; esac
        want=${sums["$name"]:-}
        [ -n "$want" ] || e2e_fail "PC has [$name], which the modem never wrote"
        sum=$(sha256sum <"$EMU_PC_TFTP_DIR/$name")
        [ "${sum%% *}" = "$want" ] || e2e_fail "PC's copy of [$name] differs from the modem's"
        PC_LOGS=$((PC_LOGS + 1))
    done < <(pc_files)
    PC_MISSING=()
    for name in "${!sums[@]}"; do
        [ -e "$EMU_PC_TFTP_DIR/$name" ] || PC_MISSING+=("$name")
    done
}
