#!/bin/bash
# test_table.sh: checks the table that scripts/bench.sh prints from raw
# results (--from), and its command-line errors. Needs no root and no
# emulation: bench/test_table.sh
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
BENCH=$HERE/../scripts/bench.sh
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
FAILS=0

fail() {
    echo "FAIL: $*"
    FAILS=$((FAILS + 1))
}

# row_has OUTPUT MEASURE TEXT: the table row whose measure starts with
# MEASURE contains TEXT.
row_has() {
    local row
    row=$(grep -F -- "| $2" <<<"$1" | head -n 1)
    [ -n "$row" ] || { fail "no row [$2]"; return; }
    grep -qF -- "$3" <<<"$row" || fail "row [$2] lacks [$3]: $row"
}

# A run that missed several targets: latency p95, the transfer rate (adb
# is the slower bare stage here), the idle CPU and the idle polling beside
# the bare listing loop; RSS peaks in the busy run.
cat >"$T/missed" <<'EOF'
duration=60
started=2026-12-07 12:00:00 UTC
lat_n=59
lat_median=1.100
lat_p95=3.000
lat_max=3.500
lat_miss=0
lat_lost=0
lat_written=61
ladder_steps=1000 500 
step_1000_rate=0.99
step_1000_written=60
step_1000_miss=0
step_1000_lost=0
step_1000_ls_failed=0
step_500_rate=1.96
step_500_written=119
step_500_miss=4
step_500_lost=3
step_500_ls_failed=1
step_500_reasons=push to pull queue 4
ladder_best=1000
ladder_broke=500
bare1_adb_fps=9.00
bare1_tftp_fps=40.00
bare1_serial_fps=7.00
bare10_adb_mbps=8.00
bare10_tftp_mbps=10.00
bare10_serial_mbps=6.00
xfer_mbps=6.00
xfer_files=40
xfer_written=50
xfer_miss=2
xfer_reasons=add to send queue 2
idle_cpu_pct=0.500
idle_cpu_s=0.30
idle_wall_s=60.0
idle_poll_per_min=1.10
bare_poll_per_min=1.00
busy_cpu_pct=0.200
busy_rss_kib=2500
idle_rss_kib=2000
xfer_rss_kib=n/a
done=1
EOF
out=$("$BENCH" --from "$T/missed" -M "$T/no-such-build") || fail "--from failed"
row_has "$out" "delivery latency, median" "met"
row_has "$out" "delivery latency, 95th" "MISSED by 20 %"
row_has "$out" "highest 1 MiB rate" "0.99 files/s (1000 ms)"
row_has "$out" "highest 1 MiB rate" "broke at 500 ms (1.96/s): miss 4, lost 3"
row_has "$out" "  step 500 ms" "ls failed 1"
row_has "$out" "  misses at 500 ms" "push to pull queue 4"
row_has "$out" "daemon sustained" "slower bare stage (adb): 8.00 MB/s"
row_has "$out" "daemon sustained" "MISSED by 17 %"
row_has "$out" "  daemon / slower bare stage" "75.0 %"
row_has "$out" "  daemon / naive serial loop" "100.0 %"
row_has "$out" "CPU, idle" "MISSED by 67 %"
row_has "$out" "idle polling, whole" "bare listing loop 1.00 s/min; +5 %: 1.05"
row_has "$out" "idle polling, whole" "MISSED by 5 %"
row_has "$out" "peak RSS" "2000 / 2500 / n/a KiB"
row_has "$out" "peak RSS" "met"
row_has "$out" "MIPS binary" "run scripts/cross-build.sh"
grep -q '^date: *2026-12-07 12:00:00 UTC$' <<<"$out" || fail "date line"

# Two other ladders: loss already at the first step (with an RSS just over
# the target), and no loss at any step.
sed -e 's/^ladder_best=.*/ladder_best=none/' -e 's/^ladder_broke=.*/ladder_broke=1000/' \
    -e 's/^busy_rss_kib=.*/busy_rss_kib=3100/' -e 's/^idle_poll_per_min=.*/idle_poll_per_min=1.04/' \
    "$T/missed" >"$T/none"
out=$("$BENCH" --from "$T/none" -M "$T/no-such-build")
row_has "$out" "idle polling, whole" "met"
row_has "$out" "highest 1 MiB rate" "none (1000 ms lost files)"
row_has "$out" "peak RSS" "MISSED by 1 %"
sed -e 's/^ladder_broke=.*/ladder_broke=none/' "$T/missed" >"$T/clean"
out=$("$BENCH" --from "$T/clean" -M "$T/no-such-build")
row_has "$out" "highest 1 MiB rate" "no loss down to the last step"

# The stripped router binary and whether it is older than the sources.
mkdir -p "$T/mips/stage/bin"
head -c 12345 /dev/zero >"$T/mips/stage/bin/diagferry"
touch -d '2000-01-01' "$T/mips/stage/bin/diagferry"
out=$("$BENCH" --from "$T/missed" -M "$T/mips")
row_has "$out" "MIPS binary" "12345 bytes"
row_has "$out" "MIPS binary" "STALE"

# Command-line errors end before anything runs.
"$BENCH" --no-such-option >/dev/null 2>&1
[ $? = 2 ] || fail "unknown option: status 2 expected"
"$BENCH" --from "$T/absent" >/dev/null 2>&1
[ $? = 1 ] || fail "unreadable --from file: status 1 expected"

if [ "$FAILS" -gt 0 ]; then
    echo "test_table: $FAILS failed"
    exit 1
fi
echo "test_table: all passed"
