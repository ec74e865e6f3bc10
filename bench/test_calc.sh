#!/bin/bash
# test_calc.sh: checks the benchmark's arithmetic (bench/calc.sh) on
# made-up data. Needs no root and no emulation: bench/test_calc.sh
set -u
. "$(dirname "$0")/calc.sh"
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
FAILS=0

expect() {
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1: expected [$3], got [$2]"
        FAILS=$((FAILS + 1))
    fi
}

# ---- latencies: from the successor's first appearance to the arrival
# Names sort differently from the order they were written in, c was seen
# twice (the earlier ctime counts), d never arrived, e has no successor.
printf '%s\n' a c b d e >"$T/order"
cat >"$T/watch" <<'EOF'
100.000 a
101.000 c
100.500 c
102.250 b
103.000 d
104.000 e
EOF
cat >"$T/arrivals" <<'EOF'
a 101.700
c 103.000
b 104.000
e 106.000
EOF
expect "latency pairs each file with the successor in writing order" \
    "$(latencies "$T/watch" "$T/order" "$T/arrivals" | tr '\n' ' ')" "1.200 0.750 1.000 "
# A successor that the watcher never saw leaves its predecessor out.
grep -v ' d$' "$T/watch" >"$T/watch2"
expect "no latency without a seen successor" \
    "$(latencies "$T/watch2" "$T/order" "$T/arrivals" | tr '\n' ' ')" "1.200 0.750 "

# ---- percentile: nearest rank over numerically sorted values
seq 20 | sort -R >"$T/twenty"
expect "median of 1..20" "$(percentile 50 <"$T/twenty")" "10.000"
expect "p95 of 1..20" "$(percentile 95 <"$T/twenty")" "19.000"
expect "p100 is the maximum" "$(percentile 100 <"$T/twenty")" "20.000"
expect "p95 of one value" "$(echo 2.5 | percentile 95)" "2.500"
expect "numeric, not text order" "$(printf '9.5\n10.25\n' | percentile 100)" "10.250"
expect "no values" "$(percentile 50 </dev/null)" "n/a"

# ---- sustained rate: arrivals after the stop signal are the drain
cat >"$T/arr" <<'EOF'
f3 12.000
f1 10.000
f2 11.000
f4 15.000
EOF
expect "rate from first to last arrival before the stop" \
    "$(sustained_mbps 12.5 1000000 "$T/arr")" "1.00 3"
expect "one arrival gives no rate" "$(sustained_mbps 10.5 1000000 "$T/arr")" "n/a 1"

# ---- miss journal by reason; the dup journal is not read
printf '%s\n' "detect:9 pull:5 send:4 miss:6 dup:1" "[miss]" \
    $'[2026-12-07 10:00:00.000]\tsequence check\tmiss 03 from a to b' \
    $'[2026-12-07 10:00:01.000]\tpull\tc' \
    $'[2026-12-07 10:00:02.000]\tsend\td' \
    $'[2026-12-07 10:00:03.000]\tpull\te' \
    "" "[dup]" $'[2026-12-07 10:00:04.000] pull\tf' >"$T/stat.txt"
expect "miss reasons" "$(miss_reasons "$T/stat.txt")" "sequence check 3, pull 2, send 1"
printf 'detect:0 pull:0 send:0 miss:0 dup:0\n[miss]\n\n[dup]\n' >"$T/clean.txt"
expect "no misses" "$(miss_reasons "$T/clean.txt")" ""

# ---- written rate from the names' time stamps
printf '%s x\n' diag_log_20261207_101010_000_00.qmdl diag_log_20261207_101010_500_01.qmdl \
    diag_log_20261207_101011_000_02.qmdl >"$T/manifest"
expect "three files in one second" "$(written_rate "$T/manifest")" "2.00"
printf '%s x\n' diag_log_20261207_235959_500_00.qmdl diag_log_20261208_000000_500_01.qmdl >"$T/midnight"
expect "across midnight" "$(written_rate "$T/midnight")" "1.00"
head -n 1 "$T/manifest" >"$T/one"
expect "one file" "$(written_rate "$T/one")" "n/a"

# ---- delivery: byte-identical copies, the newest may be held back
mkdir "$T/pc"
for f in one two three four; do
    printf 'content of %s\n' "$f" >"$T/$f"
    printf 'diag_log_%s.qmdl %s\n' "$f" "$(sha256sum <"$T/$f" | cut -d' ' -f1)" >>"$T/man"
done
cp "$T/one" "$T/pc/diag_log_one.qmdl"
: >"$T/pc/diag_log_two.qmdl"                 # an upload truncated to nothing
cp "$T/three" "$T/pc/diag_log_three.qmdl"
cp "$T/one" "$T/pc/stat.txt"
touch -d @1000.5 "$T/pc/diag_log_three.qmdl"
expect "delivery counts" "$(delivery "$T/man" "$T/pc" "$T/arr1")" "4 2 1"
expect "arrivals of byte-identical files only" "$(sort "$T/arr1" | sed 's/ [0-9.]*$//' | tr '\n' ' ')" \
    "diag_log_one.qmdl diag_log_three.qmdl "
expect "arrival time is the copy's mtime" "$(grep three "$T/arr1" | cut -d' ' -f2 | cut -c1-6)" "1000.5"
rm "$T/pc/diag_log_three.qmdl"
expect "a missing file before the newest is lost" "$(delivery "$T/man" "$T/pc" "$T/arr1")" "4 1 2"

# ---- the daemon's miss count
expect "miss from the summary" "$(stat_miss "$T/stat.txt")" "6"
expect "no stat file" "$(stat_miss "$T/nothing")" "none"
echo "detect:1 pull:1 send:1 miss:x dup:0" >"$T/bad.txt"
expect "malformed summary" "$(stat_miss "$T/bad.txt")" "none"

# ---- verdicts against the targets
expect "below a ceiling" "$(verdict 1.2 '<' 1.5)" "met"
expect "at a ceiling is a miss" "$(verdict 1.5 '<' 1.5)" "MISSED by 0 %"
expect "above a ceiling" "$(verdict 3.0 '<' 2.5)" "MISSED by 20 %"
expect "reaching a floor" "$(verdict 9.0 '>=' 9.0)" "met"
expect "short of a floor" "$(verdict 8.1 '>=' 9.0)" "MISSED by 10 %"
expect "missing figure" "$(verdict n/a '<' 0.3)" "n/a"

if [ "$FAILS" -gt 0 ]; then
    echo "test_calc: $FAILS failed"
    exit 1
fi
echo "test_calc: all passed"
