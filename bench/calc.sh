# calc.sh: the arithmetic of the benchmark, kept apart from the emulation so
# that bench/test_calc.sh can check it on made-up data. Sourced by
# bench/inside.sh; every function reads files named by its arguments and
# prints its result; none keeps state.
#
# Time stamps are seconds since the epoch with a fraction (find's %C@, %T@).

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
