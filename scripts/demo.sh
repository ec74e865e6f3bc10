#!/bin/sh
# diagferry in the emulated router, in about a minute (Debian 12, as root):
# installs what is missing, builds, brings up the emulated router (modem,
# LAN bridge, PC with a TFTP server and a telnet session), runs the daemon
# for about 30 s while the modem's diag tool writes 0.25 MB log files, stops
# it with SIGTERM and shows what the PC received. Everything is taken down
# afterwards. DEMO_SECONDS sets the run time, DEMO_KEEP=1 keeps the run
# directory (logs of every stand-in) under /var/tmp.
set -e
cd "$(dirname "$0")/.."

if [ "${1:-}" != --inside ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "demo: run me as root (the emulated router uses namespaces)" >&2
        exit 1
    fi
    echo "== installing what is missing"
    sh scripts/install-deps.sh
    echo "== building"
    cmake -S . -B build >/dev/null
    cmake --build build -j2 >/dev/null
    echo "== bringing up the emulated router"
    keep=
    [ "${DEMO_KEEP:-0}" = 1 ] && keep=-k
    exec router/emu -B build $keep -- sh scripts/demo.sh --inside
fi

# Inside the emulated router from here on.
set +e
secs=${DEMO_SECONDS:-30}
out=$EMU_RUN_DIR/diagferry.out
conf=$EMU_RUN_DIR/diagferry.json
pc=$EMU_PC_TFTP_DIR

cat >"$conf" <<'EOF'
{
    "modem.log.size": 0.25,
    "modem.log.number": 10,
    "modem.log.zip_level": 0,
    "router.mode": "manual",
    "router.mobiledebug": false
}
EOF
mkdir -p /tmp/mdlog
echo "diag configuration of the demo" >/tmp/mdlog/DIAG.cfg

echo "== router: br0 $EMU_ROUTER_IP; PC: $EMU_PC_IP; telnet session:"
netstat -nt | grep ':23 '
echo "== configuration ($conf):"
cat "$conf"
echo "== starting: diagferry -f $conf"
env --default-signal=INT "$EMU_DIAGFERRY" -f "$conf" >"$out" 2>&1 &
pid=$!

count() {
    ls "$pc" | grep -c '^diag_log_'
}

i=0
while [ "$i" -lt 100 ] && ! grep -q 'init done' "$out"; do
    sleep 0.1
    i=$((i + 1))
done
if ! grep -q 'init done' "$out"; then
    echo "demo: the daemon did not start:"
    cat "$out"
    kill -KILL "$pid" 2>/dev/null
    exit 1
fi
echo "== running; the modem writes a 0.25 MB log file every second"
t=0
while [ "$t" -lt "$secs" ]; do
    sleep 3
    t=$((t + 3))
    printf '  %3d s: %3d files written on the modem, %3d arrived at the PC\n' "$t" \
        "$(wc -l <"$EMU_LOG_DIR/manifest" 2>/dev/null || echo 0)" "$(count)"
done

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
echo "== the daemon's last lines:"
tail -n 15 "$out"
[ "${DEMO_KEEP:-0}" = 1 ] && echo "== run directory kept: $EMU_RUN_DIR"
exit 0
