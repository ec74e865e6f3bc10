#!/bin/bash
# check_invariants_test.sh: the invariant checker on made-up runs, without
# the emulated router: each case writes a manifest, a PC directory, a
# stat.txt, a working directory and a daemon output, and states the exact
# violations the checker must print (none for a sound run).
set -u
CHECKER=$(cd "$(dirname "$0")" && pwd)/check_invariants.sh
T=$(mktemp -d) || exit 2
trap 'rm -rf "$T"' EXIT
FAILED=0
STAMP='[2026-12-07 10:00:00.000]'

# name ID [N]: a simulator-like name with the log id at positions 29-30;
# N orders names written within one second.
name() {
    printf 'diag_log_20261207_100000_%03d_%02d.qmdl' "${2:-$1}" "$1"
}

# fresh: an empty run.
fresh() {
    rm -rf "$T/run"
    mkdir -p "$T/run/pc" "$T/run/work"
    : >"$T/run/manifest"
    : >"$T/run/miss"
    : >"$T/run/dup"
    : >"$T/run/rss"
    touch "$T/run/work/DIAG.cfg"
}

# write NAME...: the modem writes these files.
write() {
    local n sum
    for n in "$@"; do
        printf '%s\n' "$n" >"$T/run/src.$n"
        sum=$(sha256sum <"$T/run/src.$n")
        printf '%s %s\n' "$n" "${sum%% *}" >>"$T/run/manifest"
    done
}

# deliver NAME...: byte-identical copies at the PC.
deliver() {
    local n
    for n in "$@"; do cp "$T/run/src.$n" "$T/run/pc/$n"; done
}

miss_line() { printf '%s\t%s\t%s\n' "$STAMP" "$1" "$2" >>"$T/run/miss"; }
dup_line() { printf '%s %s\n' "$STAMP" "$1" >>"$T/run/dup"; }

# write_stat SUMMARY: stat.txt from the journals, and a daemon output that logs
# the same summary and its end.
write_stat() {
    { printf '%s\n[miss]\n' "$1"; cat "$T/run/miss"; printf '\n[dup]\n'; cat "$T/run/dup"; } >"$T/run/pc/stat.txt"
    printf '[1]src/diagferry_main(1) write_stat_file(): %s\n[2]src/diagferry_main(2) main(): [PROTOCOL]exited\n' \
        "$1" >"$T/run/out"
}

# expect CASE VIOLATION...: the checker prints exactly these violations.
expect() {
    local what=$1 got want status
    shift
    got=$("$CHECKER" -m "$T/run/manifest" -p "$T/run/pc" -w "$T/run/work" -o "$T/run/out" -r "$T/run/rss" -t 100)
    status=$?
    want=$(for v in "$@"; do printf 'VIOLATION: %s\n' "$v"; done | sort)
    got_v=$(grep '^VIOLATION: ' <<<"$got" | sort)
    if [ "$got_v" != "$want" ] || [ "$status" != $(($# > 0)) ]; then
        echo "FAIL: $what (status $status)"
        echo "  expected:"; sed 's/^/    /' <<<"$want"
        echo "  got:"; sed 's/^/    /' <<<"$got"
        FAILED=1
    else
        echo "ok: $what"
    fi
}

# A sound run: a gap across the wrap from 98 to 01, a failed pull, a
# failed upload whose partial copy is at the PC, a repeat, and the copy that
# "add to send queue" leaves on the router.
fresh
write "$(name 97)" "$(name 98)" "$(name 99)" "$(name 0 100)" "$(name 1 101)" "$(name 1 102)" \
    "$(name 2 103)" "$(name 3 104)" "$(name 4 105)"
deliver "$(name 97)" "$(name 98)" "$(name 1 101)" "$(name 1 102)"
miss_line "sequence check" "miss 02 from $(name 98) to $(name 1 101)"
miss_line pull "$(name 2 103)"
miss_line send "$(name 3 104)"
head -c 5 "$T/run/src.$(name 3 104)" >"$T/run/pc/$(name 3 104)"
miss_line "add to send queue" "$(name 4 105)"
touch "$T/run/work/$(name 4 105)"
dup_line "$(name 1 102)"
printf '%s\n' "1 2000" "2 2100" "3 2050" "4 2080" "5 2090" "6 2099" >"$T/run/rss"
write_stat "detect:7 pull:6 send:4 miss:5 dup:1"
expect "sound run with gaps, failures and a repeat"

# A failed CHECK in the daemon's output is shown, but is no violation.
printf '%s\n' '[3]src/diagferry_main(3) send_to_pc(): CHECK(unlink(local) == 0) failed. fail to unlink [x], errno: 2' >>"$T/run/out"
if "$CHECKER" -m "$T/run/manifest" -p "$T/run/pc" -w "$T/run/work" -o "$T/run/out" |
    grep -qxF 'note: [3]src/diagferry_main(3) send_to_pc(): CHECK(unlink(local) == 0) failed. fail to unlink [x], errno: 2'; then
    echo "ok: a failed CHECK is noted"
else
    echo "FAIL: a failed CHECK is not noted"
    FAILED=1
fi

# The same run, doctored one way at a time.
rm "$T/run/pc/$(name 97)"
expect "a delivered file deleted at the PC" \
    "lost silently: $(name 97) (written, not at the PC, not journalled, in no gap)" \
    "send:4, but 3 files at the PC are the modem's and not journalled"
deliver "$(name 97)"
printf 'x' >>"$T/run/pc/$(name 98)"
expect "a delivered file changed at the PC" \
    "the PC's copy of $(name 98) differs from the modem's and no failed upload is journalled" \
    "lost silently: $(name 98) (written, not at the PC, not journalled, in no gap)" \
    "send:4, but 3 files at the PC are the modem's and not journalled"
deliver "$(name 98)"
cp "$T/run/src.$(name 2 103)" "$T/run/pc/$(name 2 103)"
expect "a file journalled as a failed pull that arrived" \
    "$(name 2 103) arrived at the PC although journalled as [pull]"
rm "$T/run/pc/$(name 2 103)"
touch "$T/run/work/stat.txt"
expect "stat.txt left on the router" "left in the working directory: stat.txt"
rm "$T/run/work/stat.txt"
printf '%s\n' "1 2000" "2 2000" "3 2050" "4 2150" "5 2100" "6 2102" >"$T/run/rss"
expect "memory grows by more than the tolerance" \
    "resident memory grew from 2000 KiB (first third) to 2101 KiB (last third), more than 100 KiB"
printf '%s\n' "1 2000" "2 2000" "3 9000" "4 9000" "5 9000" >"$T/run/rss"
expect "five samples give no memory verdict"
: >"$T/run/rss"

write_stat "detect:7 pull:7 send:4 miss:6 dup:2"
expect "counters changed" \
    "miss:6, but the gaps count 2, the modem resets 0 and the other miss lines 3" \
    "dup:2, but the dup journal has 1 lines" \
    "pull:7, but send:4 plus 2 losses after the pull make 6"
write_stat "detect:8 pull:6 send:4 miss:5 dup:1"
sed -i '1s/detect:8/detect:7/; 2d' "$T/run/out"
expect "summary logged otherwise, no end logged" \
    "detect:8, but send:4 plus 3 miss lines other than gaps make 7" \
    "logged summary [detect:7 pull:6 send:4 miss:5 dup:1] is not stat.txt's [detect:8 pull:6 send:4 miss:5 dup:1]" \
    "the daemon's output has no [PROTOCOL]exited"

# Gaps: from "init", a count that does not match the ids, a repeat of the
# last id that vanished unseen, a name the modem never wrote.
fresh
write "$(name 0)" "$(name 1)" "$(name 2)" "$(name 3)"
deliver "$(name 3)"
miss_line "sequence check" "miss 03 from init to $(name 3)"
write_stat "detect:1 pull:1 send:1 miss:3 dup:0"
expect "first file 03: ids 00 to 02 counted from init"
fresh
write "$(name 5)" "$(name 5 6)" "$(name 6 7)" "$(name 8 8)"
deliver "$(name 5)" "$(name 8 8)"
miss_line "sequence check" "miss 01 from $(name 5) to $(name 8 8)"
miss_line pull "$(name 9 9)"
write_stat "detect:3 pull:2 send:2 miss:2 dup:0"
expect "gap counted short, a repeat lost unseen, a journalled name never written" \
    "gap from $(name 5) to $(name 8 8) counts 1, but the ids are 3 apart" \
    "lost silently: $(name 5 6) (written, not at the PC, not journalled, in no gap)" \
    "miss journal names $(name 9 9), which the modem never wrote"

# A modem reset: the files after the one it names died with the modem (one
# miss line); the new tool counts from 00 again. A file lost after the
# first one delivered since is not the reset's.
fresh
write "$(name 0)" "$(name 1)" "$(name 2)" "$(name 3)" "$(name 0 10)" "$(name 1 11)" "$(name 2 12)"
deliver "$(name 0)" "$(name 1)" "$(name 0 10)" "$(name 1 11)" "$(name 2 12)"
miss_line "modem reset" "after $(name 1)"
write_stat "detect:5 pull:5 send:5 miss:1 dup:0"
expect "modem reset covers the files after its name"
rm "$T/run/pc/$(name 2 12)"
write_stat "detect:4 pull:4 send:4 miss:1 dup:0"
expect "a file lost after the restart is no part of the reset" \
    "lost silently: $(name 2 12) (written, not at the PC, not journalled, in no gap)"
write_stat "detect:4 pull:4 send:4 miss:0 dup:0"
expect "a reset line not counted" \
    "miss:0, but the gaps count 0, the modem resets 1 and the other miss lines 0" \
    "lost silently: $(name 2 12) (written, not at the PC, not journalled, in no gap)"

exit "$FAILED"
