#!/bin/bash
# check_invariants.sh: proves that one finished daemon run lost nothing
# silently. It reads what the modem wrote, what reached the PC, the run's
# stat.txt and what is left on the router, and prints one "VIOLATION:" line
# for every broken rule, then a summary line.
#
#   check_invariants.sh -m MANIFEST -p PC_DIR [-s STAT] [-w WORKDIR]
#                       [-o DAEMON_OUT] [-r RSS_SAMPLES] [-t TOLERANCE_KB]
#
#   -m  the diag tool simulator's manifest of this run: "NAME SHA256" a line
#   -p  the PC's TFTP directory after the run
#   -s  the run's statistics file (default PC_DIR/stat.txt)
#   -w  the router's working directory after the run
#   -o  the daemon's output (its end and its logged summary are checked)
#   -r  resident-memory samples, "SECONDS KB" a line, oldest first
#   -t  how many KiB the mean of the last third of the samples may exceed
#       the mean of the first third (default 256)
#
# Rules, for a run that ended with the PC reachable (stat.txt delivered):
#   - every file the modem wrote is at the PC byte for byte, or named on a
#     miss-journal line, or inside a "sequence check" gap (written between
#     the two named files, its id strictly between their ids, modulo 100),
#     or one of the files written right after the one a "modem reset" line
#     names ("after NAME"), up to the next file delivered or journalled;
#   - miss is the sum of the gap counts plus the other miss lines, and each
#     gap count is the id distance of its two files less one; dup is the
#     number of dup lines;
#   - every detected name ends in exactly one place, so
#     detect = send + (miss lines other than gaps and resets) and
#     pull = send + "send", "add to send queue" and "omit send queue" lines;
#   - send is the number of files at the PC that are byte-identical to the
#     modem's and not journalled as missed;
#   - a PC file that differs from the modem's is allowed only when its
#     upload is journalled as failed ("send"): an interrupted transfer;
#   - the working directory holds only DIAG.cfg and the pulled copies that
#     "add to send queue" and "omit send queue" lines say stay there;
#   - the daemon logged "[PROTOCOL]exited", no ASSERT, and the summary it
#     logged is the file's;
#   - resident memory does not grow: with six samples or more, the mean of
#     the last third stays within TOLERANCE_KB of the mean of the first.
#
# Failed CHECK lines in the daemon's output are listed as "note:" lines.
# Exit status: 0 when every rule holds, 1 on any violation, 2 on bad usage.
set -u

usage() {
    sed -n '7,16p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

MANIFEST= PC_DIR= STAT= WORKDIR= DAEMON_OUT= RSS= TOL_KB=256
while getopts "m:p:s:w:o:r:t:h" opt; do
    case $opt in
    m) MANIFEST=$OPTARG ;;
    p) PC_DIR=$OPTARG ;;
    s) STAT=$OPTARG ;;
    w) WORKDIR=$OPTARG ;;
    o) DAEMON_OUT=$OPTARG ;;
    r) RSS=$OPTARG ;;
    t) TOL_KB=$OPTARG ;;
    *) usage ;;
    esac
done
[ -n "$MANIFEST" ] && [ -n "$PC_DIR" ] || usage
[[ $TOL_KB =~ ^[0-9]+$ ]] || usage
STAT=${STAT:-$PC_DIR/stat.txt}
for f in "$MANIFEST" "$STAT" ${DAEMON_OUT:+"$DAEMON_OUT"} ${RSS:+"$RSS"}; do
    [ -r "$f" ] || { echo "VIOLATION: cannot read $f"; exit 1; }
done
[ -d "$PC_DIR" ] || { echo "VIOLATION: no PC directory $PC_DIR"; exit 1; }

TMP=$(mktemp -d) || exit 2
trap 'rm -rf "$TMP"' EXIT

# "SHA256 NAME" of every log file at the PC (the statistics files aside).
(cd "$PC_DIR" && find . -maxdepth 1 -type f ! -name stat.txt ! -name stat.snapshot.txt -printf '%f\n' | sort |
    while IFS= read -r name; do
        sum=$(sha256sum <"$name")
        printf '%s %s\n' "${sum%% *}" "$name"
    done) >"$TMP/pc"
: >"$TMP/work"
if [ -n "$WORKDIR" ]; then
    ls -1A "$WORKDIR" >"$TMP/work" 2>/dev/null || { echo "VIOLATION: cannot list $WORKDIR"; exit 1; }
fi
[ -n "$DAEMON_OUT" ] || DAEMON_OUT=/dev/null
[ -n "$RSS" ] || RSS=/dev/null

awk -v have_out="$([ "$DAEMON_OUT" = /dev/null ] && echo 0 || echo 1)" -v tol_kb="$TOL_KB" \
    -f "$(dirname "$0")/check_invariants.awk" \
    part=manifest "$MANIFEST" part=pc "$TMP/pc" part=stat "$STAT" \
    part=work "$TMP/work" part=out "$DAEMON_OUT" part=rss "$RSS"
