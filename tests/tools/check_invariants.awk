# check_invariants.awk: the rules of check_invariants.sh, which feeds it
# six inputs told apart by the variable "part":
#   manifest  "NAME SHA256" of every file the modem wrote, in writing order
#   pc        "SHA256 NAME" of every log file at the PC
#   stat      the run's stat.txt
#   work      names left in the router's working directory
#   out       the daemon's output (read only when have_out is 1)
#   rss       "SECONDS KB" resident-memory samples
# Plain POSIX awk (Debian's default is mawk): no capture groups.

function violation(text) {
    printf "VIOLATION: %s\n", text
    bad++
}

# The log id: the two characters at positions 29 and 30 read as atoi
# would (a leading blank or sign is accepted); outside 0..99 it is -1.
function log_id(name,    s, c) {
    s = substr(name, 30, 2)
    if (s ~ /^[0-9][0-9]$/) return s + 0
    if (s ~ /^[0-9]/) return substr(s, 1, 1) + 0
    c = substr(s, 1, 1)
    if ((c == " " || c == "+") && substr(s, 2, 1) ~ /[0-9]/) return substr(s, 2, 1) + 0
    if (c == "-" && substr(s, 2, 1) ~ /[1-9]/) return -1
    return 0
}

# Distance from id a forward to id b, modulo 100.
function dist(a, b) {
    return ((b - a) % 100 + 100) % 100
}

# A journal line without its "[time stamp]" and the separator after it;
# "" when the line has no time stamp.
function unstamp(line, sep,    p) {
    if (substr(line, 1, 1) != "[") return ""
    p = index(line, "]")
    if (p < 2 || substr(line, p + 1, 1) != sep) return ""
    return substr(line, p + 2)
}

part == "manifest" {
    name = $0
    sub(/ [^ ]*$/, "", name)
    sha = $NF
    if (name in written) {
        violation("the manifest lists " name " twice")
        next
    }
    nwritten++
    order[nwritten] = name
    pos[name] = nwritten
    written[name] = sha
    next
}

part == "pc" {
    name = substr($0, index($0, " ") + 1)
    npc++
    pc_name[npc] = name
    pc_sha[name] = $1
    next
}

part == "stat" {
    statline++
    if (statline == 1) {
        summary = $0
        if ($0 !~ /^detect:[0-9]+ pull:[0-9]+ send:[0-9]+ miss:[0-9]+ dup:[0-9]+$/) {
            violation("stat.txt summary [" $0 "]")
            stat_bad = 1
            next
        }
        split($0, kv, /[: ]/)
        detect = kv[2] + 0; pull = kv[4] + 0; sent = kv[6] + 0; miss = kv[8] + 0; dup = kv[10] + 0
        section = "miss label"
        next
    }
    if (section == "miss label") {
        if ($0 != "[miss]") violation("stat.txt line 2 is [" $0 "], not [miss]")
        section = "miss"
        next
    }
    if (section == "miss") {
        if ($0 == "") { section = "dup label"; next }
        rest = unstamp($0, "\t")
        t = index(rest, "\t")
        if (rest == "" || t == 0) {
            violation("miss journal line without time stamp and reason: [" $0 "]")
            next
        }
        reason = substr(rest, 1, t - 1)
        arg = substr(rest, t + 1)
        if (reason == "sequence check") {
            # "miss NN from A to B"; the simulator's names hold no blanks.
            n = split(arg, f, " ")
            if (n != 6 || f[1] != "miss" || f[2] !~ /^[0-9]+$/ || f[3] != "from" || f[5] != "to") {
                violation("sequence check line [" arg "]")
                next
            }
            ngap++
            gap_count[ngap] = f[2] + 0
            gap_from[ngap] = f[4]
            gap_to[ngap] = f[6]
            gap_sum += f[2] + 0
        } else if (reason == "modem reset") {
            # "after NAME": the files written after NAME died with the
            # modem's /run; the line counts as one.
            if (substr(arg, 1, 6) != "after ") {
                violation("modem reset line [" arg "]")
                next
            }
            nreset++
            reset_after[nreset] = substr(arg, 7)
        } else if (reason ~ /^(push to pull queue|pull|add to send queue|omit pull queue|send|omit send queue)$/) {
            nother++
            by_reason[reason]++
            journalled[arg]++
            why[arg] = reason
        } else {
            violation("unknown miss reason [" reason "] in [" $0 "]")
        }
        next
    }
    if (section == "dup label") {
        if ($0 != "[dup]") violation("no [dup] line after the miss journal's empty line: [" $0 "]")
        section = "dup"
        next
    }
    if (section == "dup") {
        name = unstamp($0, " ")
        if (name == "") {
            violation("dup journal line without time stamp: [" $0 "]")
            next
        }
        ndup++
        dup_name[ndup] = name
    }
    next
}

part == "work" {
    nwork++
    work_name[nwork] = $0
    next
}

part == "out" && have_out {
    if (index($0, "[PROTOCOL]exited")) exited = 1
    p = index($0, "check_log_id(): detect log: [")
    if (p) {
        name = substr($0, p + 29)
        detected[substr(name, 1, length(name) - 1)] = 1
    }
    if (index($0, "[PROTOCOL]ASSERT")) violation("the daemon asserted: " $0)
    else if (index($0, "CHECK(")) checks[++nchecks] = $0
    p = index($0, "write_stat_file(): ")
    if (p && substr($0, p + 19) ~ /^detect:/) logged_summary = substr($0, p + 19)
    next
}

part == "rss" {
    if ($0 ~ /^[0-9]+ [0-9]+$/) { nrss++; rss[nrss] = $2 + 0 }
    next
}

END {
    if (statline == 0) violation("stat.txt is empty")
    else if (section != "dup" && !stat_bad) violation("stat.txt ends before its [dup] section")

    # Gaps: both ends written, the count matching the id distance.
    for (g = 1; g <= ngap; g++) {
        from = gap_from[g]; to = gap_to[g]
        if (from != "init" && !(from in written)) violation("gap line names " from ", which the modem never wrote")
        if (!(to in written)) violation("gap line names " to ", which the modem never wrote")
        gap_id_from[g] = from == "init" ? -1 : log_id(from)
        gap_pos_from[g] = from == "init" ? 0 : pos[from] + 0
        gap_pos_to[g] = pos[to] + 0
        d = dist(gap_id_from[g], log_id(to))
        if (gap_count[g] != d - 1)
            violation(sprintf("gap from %s to %s counts %d, but the ids are %d apart", from, to, gap_count[g], d))
    }
    for (r = 1; r <= nreset; r++) {
        from = reset_after[r]
        if (from != "init" && !(from in written)) violation("modem reset line names " from ", which the modem never wrote")
        reset_pos[r] = from == "init" ? 0 : pos[from] + 0
    }
    for (name in journalled) {
        if (!(name in written)) violation("miss journal names " name ", which the modem never wrote")
        if (journalled[name] > 1) violation(name " is journalled as missed " journalled[name] " times")
    }
    for (i = 1; i <= ndup; i++)
        if (!(dup_name[i] in written)) violation("dup journal names " dup_name[i] ", which the modem never wrote")

    # What reached the PC.
    for (i = 1; i <= npc; i++) {
        name = pc_name[i]
        if (!(name in written)) {
            violation("the PC has " name ", which the modem never wrote")
            continue
        }
        if (pc_sha[name] == written[name]) {
            if (!(name in journalled)) { delivered++; arrived[name] = 1; continue }
            if (why[name] == "send") { whole_but_failed++; continue }
            violation(name " arrived at the PC although journalled as [" why[name] "]")
        } else if (why[name] == "send") {
            partial++
        } else {
            violation("the PC's copy of " name " differs from the modem's and no failed upload is journalled")
        }
    }

    # Every written file: delivered, journalled, or inside a gap.
    for (i = 1; i <= nwritten; i++) {
        name = order[i]
        if (name in arrived) continue
        if (name in journalled) { accounted++; continue }
        covered = 0
        for (g = 1; g <= ngap && !covered; g++) {
            if (i <= gap_pos_from[g] || i >= gap_pos_to[g]) continue
            d = dist(gap_id_from[g], log_id(name))
            if (d >= 1 && d <= gap_count[g]) covered = 1
        }
        if (covered) { in_gap++; continue }
        # A reset covers the run of unaccounted files right after its name.
        for (r = 1; r <= nreset && !covered; r++) {
            if (i <= reset_pos[r]) continue
            covered = 1
            for (j = reset_pos[r] + 1; j < i && covered; j++)
                if (order[j] in arrived || order[j] in journalled) covered = 0
        }
        if (covered) { in_reset++; continue }
        violation("lost silently: " name " (written, not at the PC, not journalled, in no gap)")
    }

    # The counters against the journals and the PC.
    if (!stat_bad && statline > 0) {
        if (miss != gap_sum + nother + nreset)
            violation(sprintf("miss:%d, but the gaps count %d, the modem resets %d and the other miss lines %d", miss, gap_sum, nreset, nother))
        if (dup != ndup) violation(sprintf("dup:%d, but the dup journal has %d lines", dup, ndup))
        if (detect != sent + nother)
            violation(sprintf("detect:%d, but send:%d plus %d miss lines other than gaps make %d", detect, sent, nother, sent + nother))
        after_pull = by_reason["send"] + by_reason["add to send queue"] + by_reason["omit send queue"]
        if (pull != sent + after_pull)
            violation(sprintf("pull:%d, but send:%d plus %d losses after the pull make %d", pull, sent, after_pull, sent + after_pull))
        if (sent != delivered)
            violation(sprintf("send:%d, but %d files at the PC are the modem's and not journalled", sent, delivered))
    }

    # The router's working directory.
    for (i = 1; i <= nwork; i++) {
        name = work_name[i]
        if (name == "DIAG.cfg") continue
        if (why[name] == "add to send queue" || why[name] == "omit send queue") continue
        violation("left in the working directory: " name)
    }

    if (have_out) {
        # A lying listing line must never be taken for a log.
        for (name in detected)
            if (!(name in written)) violation("detected " name ", which the modem never wrote")
        if (!exited) violation("the daemon's output has no [PROTOCOL]exited")
        if (logged_summary != summary) violation("logged summary [" logged_summary "] is not stat.txt's [" summary "]")
    }

    # A failed CHECK is no lost file, but worth a look.
    for (i = 1; i <= nchecks; i++) printf "note: %s\n", checks[i]

    rss_text = "rss: " (nrss + 0) " samples"
    if (nrss >= 6) {
        k = int(nrss / 3)
        first = 0; last = 0
        for (i = 1; i <= k; i++) { first += rss[i]; last += rss[nrss - k + i] }
        first = int(first / k + 0.5); last = int(last / k + 0.5)
        rss_text = sprintf("rss first third %d KiB, last third %d KiB (%d samples, tolerance %d KiB)", first, last, nrss, tol_kb)
        if (last - first > tol_kb)
            violation(sprintf("resident memory grew from %d KiB (first third) to %d KiB (last third), more than %d KiB", first, last, tol_kb))
    }

    printf "written %d delivered %d journalled %d in-gaps %d partial %d whole-but-failed %d in-resets %d; detect %d pull %d send %d miss %d dup %d; %s; %d violation(s)\n",
        nwritten, delivered, accounted, in_gap, partial, whole_but_failed, in_reset + 0, detect, pull, sent, miss, dup, rss_text, bad
    exit (bad > 0 ? 1 : 0)
}
