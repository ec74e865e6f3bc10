#!/bin/sh
# diagferry in the emulated router, in about a minute (Debian 12, as root):
# installs what is missing, builds, brings up the emulated router (modem,
# LAN bridge, PC with a TFTP server and a telnet session), runs the daemon
# for about 30 s while the modem's diag tool writes 0.25 MB log files, stops
# it with SIGTERM and shows what the PC received. Everything is taken down
# afterwards.
#
#   sh scripts/demo.sh                 the log relay ("manual" mode)
#   sh scripts/demo.sh net-monitor     the same relay with the "net monitor"
#                                      test scenario and the mobile debug
#                                      relay on: the WAN link is lost after
#                                      10 s and the scenario's verdicts are
#                                      shown (about 100 s)
#
# Environment: DEMO_MODE="net monitor" is the same as the argument;
# DEMO_WAN (net monitor only): "loss" (default, link and DNS lost: "LTE WAN
# disconnect"), "nodns" (DNS lost, link up: "MP ok, no Internet"), "down"
# (no link from the start: "LTE WAN init not connect", in seconds);
# DEMO_SECONDS sets the run time of the manual demo; DEMO_BUILD_DIR the
# build tree (default build); DEMO_KEEP=1 keeps the run directory (logs of
# every stand-in) under /var/tmp. The router's adb is Debian's; EMU_MODEM=old
# makes the modem an old one, EMU_ADB=standin swaps in the adb stand-in
# (router/README.md).
set -e
cd "$(dirname "$0")/.."

mode=${DEMO_MODE:-manual}
case "${1:-}" in
net-monitor | "net monitor") mode="net monitor" ;;
manual) mode=manual ;;
--inside | "") ;;
*)
    echo "usage: sh scripts/demo.sh [manual|net-monitor]" >&2
    exit 1
    ;;
esac
case "$mode" in
manual | "net monitor") ;;
*)
    echo "demo: DEMO_MODE must be \"manual\" or \"net monitor\"" >&2
    exit 1
    ;;
esac
case "${DEMO_WAN:-loss}" in
loss | nodns | down) ;;
*)
    echo "demo: DEMO_WAN must be loss, nodns or down" >&2
    exit 1
    ;;
esac

if [ "${1:-}" != --inside ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "demo: run me as root (the emulated router uses namespaces)" >&2
        exit 1
    fi
    echo "== installing what is missing"
    sh scripts/install-deps.sh
    echo "== building"
    build=${DEMO_BUILD_DIR:-build}
    cmake -S . -B "$build" >/dev/null
    cmake --build "$build" -j2 >/dev/null
    echo "== bringing up the emulated router"
    keep=
    [ "${DEMO_KEEP:-0}" = 1 ] && keep=-k
    exec router/emu -B "$build" $keep -- sh scripts/demo.sh --inside "$mode" "${DEMO_WAN:-loss}"
fi

# Inside the emulated router from here on.
set +e
mode=$2
wan=$3
secs=${DEMO_SECONDS:-30}
out=$EMU_RUN_DIR/diagferry.out
conf=$EMU_RUN_DIR/diagferry.json
pc=$EMU_PC_TFTP_DIR
sim=$ROUTER_SIM_DIR

debug=false
[ "$mode" = "net monitor" ] && debug=true
cat >"$conf" <<EOF
{
    "modem.log.size": 0.25,
    "modem.log.number": 10,
    "modem.log.zip_level": 0,
    "router.mode": "$mode",
    "router.mobiledebug": $debug
}
EOF
mkdir -p /tmp/mdlog "$sim"
echo "diag configuration of the demo" >/tmp/mdlog/DIAG.cfg
# The stand-in mobile manager's WAN link: "down" has none from the start.
if [ "$mode" = "net monitor" ] && [ "$wan" = down ]; then
    echo 1 >"$sim/conn_state"
fi

echo "== router: br0 $EMU_ROUTER_IP; PC: $EMU_PC_IP; telnet session:"
netstat -nt | grep ':23 '
if [ "$EMU_ADB" = real ]; then
    echo "== modem: $EMU_MODEM, reached through $(adb version | head -n 1) ($(adb devices | sed -n '2s/\t/ /p'))"
else
    echo "== modem: reached through the adb stand-in"
fi
echo "== configuration ($conf):"
cat "$conf"
echo "== starting: diagferry -f $conf"
env --default-signal=INT "$EMU_DIAGFERRY" -f "$conf" >"$out" 2>&1 &
pid=$!

count() {
    ls "$pc" | grep -c '^diag_log_'
}

# wait_for TEXT TENTHS: waits until the daemon's output has TEXT.
wait_for() {
    i=0
    while [ "$i" -lt "$2" ] && ! grep -qF -- "$1" "$out"; do
        sleep 0.1
        i=$((i + 1))
    done
    grep -qF -- "$1" "$out"
}

started=$(date +%s)
progress() {
    printf '  %3d s: %3d files written on the modem, %3d arrived at the PC\n' \
        $(($(date +%s) - started)) \
        "$(wc -l <"$EMU_LOG_DIR/manifest" 2>/dev/null || echo 0)" "$(count)"
}

# The WAN checks' results, the test thread's counters and its [PROTOCOL]
# verdicts, each with the seconds since the daemon started.
verdicts() {
    grep -E 'test_thread\(\): .*(PROTOCOL|Bad)|(Good|Bad) mp check|(Good|Bad) dns diag' "$out" |
        awk -v t0="$(head -n 1 "$out" | sed 's/^\[\([0-9]*\)\].*/\1/')" '{
            t = substr($0, 2, index($0, "]") - 2)
            sub(/^\[[0-9]*\][^ ]* /, "")
            printf "  +%3d s  %s\n", t - t0, $0
        }'
}

if ! wait_for 'init done' 100; then
    echo "demo: the daemon did not start:"
    cat "$out"
    kill -KILL "$pid" 2>/dev/null
    exit 1
fi
echo "== running; the modem writes a 0.25 MB log file every second"
if [ "$mode" = manual ]; then
    t=0
    while [ "$t" -lt "$secs" ]; do
        sleep 3
        t=$((t + 3))
        progress
    done
else
    case "$wan" in
    down) want="[PROTOCOL]LTE WAN init not connect" ;;
    nodns) want="[PROTOCOL]MP ok, no Internet" ;;
    *) want="[PROTOCOL]LTE WAN disconnect" ;;
    esac
    if [ "$wan" != down ]; then
        wait_for "Good dns diag" 200 || echo "   (the start-up check did not pass)"
        sleep 10
        progress
        if [ "$wan" = nodns ]; then
            echo "== the WAN's DNS stops answering (the link stays up)"
        else
            echo "== the WAN link and its DNS go down"
            echo 1 >"$sim/conn_state"
        fi
        echo 0 >"$sim/dns_diag"
    fi
    if [ "$wan" = down ]; then
        echo "== waiting for \"$want\" (three start-up tries a second apart)"
    else
        echo "== waiting for \"$want\" (a DNS check every 10 s, an MP check every 20 s)"
    fi
    t=0
    while [ "$t" -lt 100 ] && ! grep -qF -- "$want" "$out"; do
        sleep 1
        t=$((t + 1))
        [ $((t % 10)) = 0 ] && progress
    done
    grep -qF -- "$want" "$out" || echo "   no verdict within 100 s"
fi

echo "== SIGTERM"
kill -TERM "$pid"
i=0
while kill -0 "$pid" 2>/dev/null && [ "$(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null)" != Z ] &&
    [ "$i" -lt 300 ]; do
    sleep 0.1
    i=$((i + 1))
done
wait "$pid"
echo "   diagferry exited with status $?"

echo "== the PC received ($pc):"
ls -l "$pc"
if [ -f "$pc/stat.txt" ]; then
    echo "== stat.txt:"
    cat "$pc/stat.txt"
fi
bad=0
while read -r name sum; do
    if [ -f "$pc/$name" ] && [ "$(sha256sum <"$pc/$name" | cut -d' ' -f1)" != "$sum" ]; then
        echo "   $name differs from the modem's copy"
        bad=$((bad + 1))
    fi
done <"$EMU_LOG_DIR/manifest"
echo "== $(count) log files on the PC, $bad differing from what the modem wrote"
if [ "$mode" = "net monitor" ]; then
    echo "== the test thread's checks and verdicts:"
    verdicts
    echo "== relayed mobile manager output (first and last lines):"
    grep '^\[mobile\]' "$out" | head -n 3
    echo "   ..."
    grep '^\[mobile\]' "$out" | tail -n 2
fi
echo "== the daemon's last lines:"
tail -n 15 "$out"
[ "${DEMO_KEEP:-0}" = 1 ] && echo "== run directory kept: $EMU_RUN_DIR"
exit 0
