#!/bin/bash
# Runs on the host (not inside the router): after a run of router/emu no
# namespace, mount or process of the sandbox is left, whether the command
# ends by itself, fails, or emu gets SIGTERM or SIGINT, and also when the
# command ignores the stop signal (EMU_STOP_GRACE). The sandbox runs the
# daemon, the diag tool and stray background processes meanwhile.
#
#   tests/router/cleanup.sh BUILD_DIR
set -u
BUILD=${1:?usage: cleanup.sh BUILD_DIR}
EMU=$(dirname "$(readlink -f "$0")")/../../router/emu
if [ "$(id -u)" != 0 ]; then
    echo "cleanup: needs root; skipped"
    exit 77
fi
TOP=$(mktemp -d -p /var/tmp diagferry-cleanup.XXXXXX)
trap 'rm -rf --one-file-system "$TOP"' EXIT
START=$(date +%s%N)

fail() {
    echo "FAIL: cleanup: $*"
    exit 1
}

# The command run inside: a daemon, the diag tool, processes that detach or
# ignore SIGTERM; it signals readiness, then waits for "go" (or for ever).
inner() {
    cat <<'EOF'
set -u
cd "$EMU_RUN_DIR"
mkdir -p /tmp/mdlog && echo cfg >/tmp/mdlog/DIAG.cfg
echo '{"modem.log.size": 0.001}' >conf.json
sleep 86401 &
setsid sleep 86402 &
(trap '' TERM INT; exec sleep 86403) &
env --default-signal=INT "$EMU_DIAGFERRY" -f conf.json >daemon.out 2>&1 &
for _ in $(seq 150); do grep -q 'init done' daemon.out && break; sleep 0.1; done
touch ready
if [ "$MODE" = exit ]; then
    while [ ! -e go ]; do sleep 0.1; done
    exit "$STATUS"
fi
[ "$MODE" = ignore ] && trap '' TERM INT
exec sleep 1000
EOF
}

# pid namespace of the sandbox whose emu has pid $1 ("" until it exists).
sandbox_pidns() {
    local kid init
    for kid in $(cat "/proc/$1/task/$1/children" 2>/dev/null); do
        [ "$(cat "/proc/$kid/comm" 2>/dev/null)" = unshare ] || continue
        init=$(cat "/proc/$kid/task/$kid/children" 2>/dev/null)
        [ -n "$init" ] && readlink "/proc/${init%% *}/ns/pid"
    done
}

# Host pids of the processes in pid namespace $1 ("pid:[INODE]").
members() {
    ls -l /proc/[0-9]*/ns/pid 2>/dev/null | grep -F -- "-> $1" |
        sed 's|.* /proc/\([0-9]*\)/ns/pid .*|\1|'
}

# run_case NAME MODE STATUS EXPECTED: MODE is exit (touch go), term, int or
# ignore (SIGTERM to emu, the command ignores it and is killed after
# EMU_STOP_GRACE seconds).
run_case() {
    local name=$1 mode=$2 status=$3 expected=$4 run=$TOP/$1 emu_pid ns n got t0
    mkdir -p "$run"
    inner >"$run/inner.sh"
    # SIGINT at its default: bash would leave it ignored in a background job.
    MODE=$mode STATUS=$status EMU_STOP_GRACE=2 env --default-signal=INT \
        "$EMU" -B "$BUILD" -w "$run" -- bash "$run/inner.sh" >"$TOP/$name.out" 2>&1 &
    emu_pid=$!
    for _ in $(seq 200); do [ -e "$run/ready" ] && break; sleep 0.1; done
    [ -e "$run/ready" ] || { cat "$TOP/$name.out"; fail "$name: sandbox not ready"; }
    ns=$(sandbox_pidns "$emu_pid")
    n=$(members "$ns" | wc -l)
    grep -q 'init done' "$run/daemon.out" || fail "$name: daemon did not start"
    ip netns list | grep -q "dfemu-$emu_pid-r" || fail "$name: no router namespace"
    t0=$(date +%s)
    case $mode in
    exit) touch "$run/go" ;;
    term | ignore) kill -TERM "$emu_pid" ;;
    int) kill -INT "$emu_pid" ;;
    esac
    wait "$emu_pid"
    got=$?
    t0=$(($(date +%s) - t0))
    [ "$got" = "$expected" ] || { cat "$TOP/$name.out"; fail "$name: emu status $got, expected $expected"; }
    [ -z "$(members "$ns")" ] || fail "$name: processes left in $ns: $(members "$ns" | tr '\n' ' ')"
    ! ip netns list | grep -q "dfemu-$emu_pid-" || fail "$name: network namespaces left"
    ! grep -qF "$run" /proc/self/mountinfo || fail "$name: mounts left under $run"
    ! grep -qE ' (emu|modem)-(run|tmp|shm|sys|varrun) ' /proc/self/mountinfo ||
        fail "$name: sandbox mounts visible on the host"
    [ ! -e /run/diagferry.pid ] || fail "$name: the host got a pid file"
    echo "$name: $n processes in the sandbox, all gone; status $got; stopped in $t0 s"
}

run_case exit exit 0 0
run_case fail exit 3 3
run_case term term 0 143
run_case int int 0 130
run_case ignore ignore 0 137
ms=$((($(date +%s%N) - START) / 1000000))
echo "PASS: cleanup ($((ms / 1000)).$((ms % 1000 / 100)) s)"
