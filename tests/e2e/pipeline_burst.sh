#!/bin/bash
# Six new files in one listing while the pull stage is busy with an earlier
# one: the five oldest are queued, the newest of the six is lost as "push to
# pull queue" and never taken again; everything else arrives. Then the
# wall clock steps an hour ahead and an hour behind: files keep arriving
# within seconds, listings keep their pace, SIGTERM ends the daemon at once.
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib/lib.sh"
. "$HERE/lib/pipeline_checks.sh"

written_is() { [ "$(manifest_names | wc -l)" = "$1" ]; }
pulling() { adb_calls "pull $MODEM_DIR_ON_MODEM$1" >/dev/null; }
MODEM_DIR_ON_MODEM=/run/diag_logs/

write_config '{"modem.log.size": 0.01, "modem.log.number": 10, "modem.log.zip_level": 0}'
write_diag_cfg
# Two files, then nothing until the burst; every pull takes 4 s for now.
ctl mdlog_interval_ms 200
ctl mdlog_max_files 2
ctl pull_delay_ms 4000
new_run "burst"
clock_shim
start_daemon
wait_line "[PROTOCOL]init done" 15 || e2e_fail "no [PROTOCOL]init done"
wait_until 10 written_is 2 || e2e_fail "the first two files were not written"
wait_until 10 line_seen "detect log: [" || e2e_fail "first file not detected"
mapfile -t first < <(manifest_names)
wait_until 5 pulling "${first[0]}" || e2e_fail "first pull did not start"

log "burst of six while the first pull is under way"
ctl mdlog_burst 6
ctl mdlog_max_files 8
wait_until 5 written_is 8 || e2e_fail "no burst written"
mapfile -t names < <(manifest_names)
wait_line "to need_pull_queue: queue full" 5 || e2e_fail "no name lost"
ctl_clear pull_delay_ms
# Taken in one listing: first[1] and burst files 0..4; burst file 5 is the
# newest and held back.
expect_eq "${#names[@]}" 8 "files written"
expect_line "do_query(): failed to add [${names[6]}] to need_pull_queue: queue full"
expect_eq "$(count_lines "queue full")" 1 "names lost"
wait_until 15 test -e "$EMU_PC_TFTP_DIR/${names[5]}" || e2e_fail "queued names not delivered"

listings() { adb_calls "&& ls -1 " | wc -l; }
written=8
for offset in 3600 -3600; do
    clock_step $offset
    sleep 2 # the waits under way now began after the step
    written=$((written + 2))
    ctl mdlog_max_files $written
    wait_until 10 written_is $written || e2e_fail "no new files written"
    mapfile -t names < <(manifest_names)
    wait_until 5 test -e "$EMU_PC_TFTP_DIR/${names[written - 2]}" ||
        e2e_fail "clock $offset s off: a new file did not reach the PC within 5 s"
    n=$(listings)
    sleep 3
    n=$(($(listings) - n))
    check "clock $offset s off: $n listings in 3 s" test "$n" -ge 2 -a "$n" -le 5
done

stop_daemon TERM 10 || e2e_fail "daemon did not end within 10 s of SIGTERM"
expect_clean_end
expect_steps 1 2 3 4 5 6 7 8 9
verify_pc_files
expect_eq "${PC_MISSING[*]}" "${names[6]}" "the only file that never arrived"
expect_eq "$(count_lines "detect log: [${names[6]}]")" 1 "the lost name taken once"
check_stat_file
expect_eq "$ST_DETECT/$ST_PULL/$ST_SEND/$ST_MISS/$ST_DUP" "12/11/11/1/0" "detect/pull/send/miss/dup"
expect_eq "${ST_MISS_LINES[*]}" "push to pull queue"$'\t'"${names[6]}" "miss journal"
expect_workdir_empty
e2e_pass
