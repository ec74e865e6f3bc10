# calc.sh: the arithmetic and checks of the benchmark, kept apart from the emulation so
# that bench/test_calc.sh can check it on made-up data. Sourced by
# bench/inside.sh; every function reads files named by its arguments and
# prints its result; none keeps state.
#
# Time stamps are seconds since the epoch with a fraction (find's %C@, %T@).

# delivery MANIFEST DIR ARRIVALS: compares the logs in DIR with the
# manifest ("NAME SHA256" a line, in writing order) and prints
# "WRITTEN DELIVERED LOST": files written, files byte-identical in DIR, and
# files neither byte-identical in DIR nor the newest (which the daemon may
# hold back). Writes "NAME MTIME" of each byte-identical file to ARRIVALS.
delivery() {
    local name sum want line n=0 ok=0 lost=0 last
    declare -A mtimes=()
    : >"$3"
    while read -r line; do
        mtimes["${line#* }"]=${line%% *}
    done < <(find "$2" -maxdepth 1 -type f -name 'diag_log_*' -printf '%T@ %f\n')
    last=$(tail -n 1 "$1")
    last=${last% *}
    while read -r line; do
        name=${line% *} want=${line##* }
        n=$((n + 1))
        if [ -n "${mtimes[$name]:-}" ]; then
            sum=$(sha256sum <"$2/$name")
            if [ "${sum%% *}" = "$want" ]; then
                ok=$((ok + 1))
                printf '%s %s\n' "$name" "${mtimes[$name]}" >>"$3"
                continue
            fi
        fi
        [ "$name" = "$last" ] || lost=$((lost + 1))
    done <"$1"
    echo "$n $ok $lost"
}

# stat_miss STAT_FILE: the miss count of the summary line, "none" without
# a readable summary.
stat_miss() {
    local miss
    miss=$(sed -n '1s/^detect:[0-9]* pull:[0-9]* send:[0-9]* miss:\([0-9]*\) dup:[0-9]*$/\1/p' "$1" 2>/dev/null)
    echo "${miss:-none}"
}

# latencies WATCH ORDER ARRIVALS: one delivery latency in seconds a line,
# in the order the files were written.
#   WATCH     "CTIME NAME" lines from polling the modem log directory; a
#             name may appear many times, its earliest ctime counts
#   ORDER     the names in the order they were written
#   ARRIVALS  "NAME MTIME" of the byte-identical copies on the PC
# A file is complete when its successor appears, so its latency runs from
# the successor's first ctime to its own arrival. Files without a seen
# successor or without an arrival give no line.
latencies() {
    awk 'FILENAME == ARGV[1] { if (!($2 in seen) || $1 < seen[$2]) seen[$2] = $1; next }
         FILENAME == ARGV[2] { order[++n] = $1; next }
         { arrived[$1] = $2 }
         END {
             for (i = 1; i < n; i++) {
                 f = order[i]; s = order[i + 1]
                 if ((f in arrived) && (s in seen)) printf "%.3f\n", arrived[f] - seen[s]
             }
         }' "$1" "$2" "$3"
}

# percentile P: the nearest-rank P-th percentile (P in 1..100) of the
# numbers on stdin, with three decimals; "n/a" when there are none.
percentile() {
    sort -g | awk -v p="$1" '{ v[NR] = $1 } END {
        if (NR == 0) { print "n/a"; exit }
        r = int((p * NR + 99) / 100); if (r < 1) r = 1; printf "%.3f", v[r] }'
}

# sustained_mbps STOP SIZE ARRIVALS: "MB/s COUNT" over the files that
# arrived no later than STOP (all SIZE bytes): COUNT - 1 files in the time
# from the first arrival to the last, so that start-up does not count.
# "n/a 0" or "n/a 1" with fewer than two arrivals.
sustained_mbps() {
    awk '{ print $2 }' "$3" | sort -g |
        awk -v stop="$1" -v size="$2" '$1 <= stop { t[++n] = $1 }
            END {
                if (n < 2 || t[n] == t[1]) { printf "n/a %d", n; exit }
                printf "%.2f %d", (n - 1) * size / (t[n] - t[1]) / 1e6, n
            }'
}

# miss_reasons STAT_FILE: the miss journal summed by reason, as
# "reason count, ..." in the journal's order of first appearance; a
# sequence gap counts its missing files, every other line one file.
miss_reasons() {
    awk -F '\t' '/^\[dup\]/ { exit }
        NF >= 3 {
            if (!($2 in n)) order[++k] = $2
            n[$2] += ($2 == "sequence check") ? substr($3, 6, 2) + 0 : 1
        }
        END { for (i = 1; i <= k; i++) printf "%s%s %d", (i > 1 ? ", " : ""), order[i], n[order[i]] }' \
        "$1" 2>/dev/null
}

# written_rate MANIFEST: files per second the diag tool wrote, from the
# time stamps in the first and last name (HHMMSS at positions 18-23 and
# milliseconds at 25-27, counted from 0; a run crossing midnight is
# corrected by a day). "n/a" with fewer than two files.
written_rate() {
    awk '{ t = substr($1, 19, 2) * 3600 + substr($1, 21, 2) * 60 + substr($1, 23, 2) \
              + substr($1, 26, 3) / 1000
           if (NR == 1) first = t
           last = t; n = NR }
         END {
             if (last < first) last += 86400
             if (n > 1 && last > first) printf "%.2f", (n - 1) / (last - first); else print "n/a"
         }' "$1"
}

# verdict VALUE OP LIMIT: "met", or "MISSED by X %" of LIMIT; OP is "<"
# (VALUE must stay below LIMIT) or ">=" (VALUE must reach it). "n/a" when
# either figure is missing.
verdict() {
    case "$1$3" in *n/a*) echo "n/a"; return ;; esac
    awk -v v="$1" -v op="$2" -v l="$3" 'BEGIN {
        ok = (op == "<") ? v < l : v >= l
        if (ok) print "met"
        else printf "MISSED by %.0f %%\n", (op == "<" ? v - l : l - v) * 100 / l }'
}
