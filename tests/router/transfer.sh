#!/bin/bash
# One file's road without the daemon: written on the modem, adb pull to the
# router, busybox tftp to the PC; compared byte for byte. Also adb's
# failures, call log, push, exit status and injected faults.
. "$(dirname "$0")/../e2e/lib/lib.sh"
NAME='diag_log_x$y;z|w.qmdl'   # shell-special characters survive the road

log "write on the modem"
check "modem write" adb shell "busybox mkdir -p /run/t && head -c 300000 /dev/urandom >/run/t/f.bin"
cp "$EMU_MODEM_ROOT/run/t/f.bin" "$EMU_MODEM_ROOT/run/t/$NAME"
check "modem file apart from the router's /run" test ! -e /run/t/f.bin

log "pull to the router"
out=$(adb pull /run/t/f.bin /tmp/f.bin) || e2e_fail "adb pull failed"
[[ $out == "/run/t/f.bin: 1 file pulled, 0 skipped. "*" MB/s (300000 bytes in "*"s)" ]] ||
    e2e_fail "pull summary: [$out]"
adb pull "/run/t/$NAME" "/tmp/$NAME" >/dev/null || e2e_fail "adb pull of [$NAME] failed"

log "send to the PC"
for f in f.bin "$NAME"; do
    busybox tftp -p -l "/tmp/$f" -r "$f" "$EMU_PC_IP" -b 16384 2>/dev/null ||
        e2e_fail "tftp upload of [$f] failed"
    check "[$f] byte-identical on the PC" cmp -s "$EMU_MODEM_ROOT/run/t/$f" "$EMU_PC_TFTP_DIR/$f"
done

log "pull of a missing file"
out=$(adb pull /run/t/nothing /tmp/nothing 2>/var/tmp/e2e.err.$$)
st=$?
err=$(cat /var/tmp/e2e.err.$$); rm -f /var/tmp/e2e.err.$$
expect_eq "$st" 1 "status of a failed pull"
# Debian's adb prints its pull errors on stdout; either stream will do.
[[ $out$err == *"/run/t/nothing"*@(No such file or directory|does not exist)* ]] ||
    e2e_fail "message of a failed pull: [$out] [$err]"
check "nothing created on the router" test ! -e /tmp/nothing

log "push, remote status, call log"
adb push /tmp/f.bin /run/t/pushed.bin >/dev/null || e2e_fail "adb push failed"
check "pushed file identical" cmp -s /tmp/f.bin "$EMU_MODEM_ROOT/run/t/pushed.bin"
adb shell "exit 3"
st=$?
# An old modem's adbd has no exit status: every adb shell exits 0.
if old_modem; then
    expect_eq "$st" 0 "status of adb shell (old modem)"
else
    expect_eq "$st" 3 "status of adb shell"
fi
expect_eq "$(adb shell busybox ls --color=never /run/t | tr '\n' ' ')" \
    "diag_log_x\$y;z|w.qmdl f.bin pushed.bin " "modem listing"
expect_eq "$(adb shell echo "a  b" c)" "a b c" "words joined by adb shell"
expect_eq "$(tail -n 2 "$EMU_LOG_DIR/adb.calls" | head -n 1)" \
    "shell busybox ls --color=never /run/t" "adb call log"
expect_eq "$(adb_calls "pull " | head -n 2 | tail -n 1)" "pull /run/t/$NAME" "pull call logged"

log "injected faults"
ctl pull_fail_next 2
for i in 1 2; do
    adb pull /run/t/f.bin /tmp/g.bin 2>/dev/null && e2e_fail "pull $i should have failed"
done
adb pull /run/t/f.bin /tmp/g.bin >/dev/null || e2e_fail "third pull should work"
check "control consumed" test ! -e "$EMU_CTL_DIR/pull_fail_next"
ctl list_fail_next 1
adb shell "cd /run/t && ls -1 --color=never f.*" >/dev/null 2>&1 && e2e_fail "listing should fail"
expect_eq "$(adb shell "cd /run/t && ls -1 --color=never f.*")" "f.bin" "listing after the fault"
ctl adb_offline
adb shell true 2>/dev/null && e2e_fail "offline adb should fail"
ctl_clear adb_offline
# A real modem needs a moment to go away and to be found again.
sleep 0.5
timeout 10 adb wait-for-device || e2e_fail "modem not back after adb_offline"
ctl pull_rate_bps 600000
t0=$(date +%s%N)
adb pull /run/t/f.bin /tmp/g.bin >/dev/null || e2e_fail "throttled pull failed"
ms=$((($(date +%s%N) - t0) / 1000000))
log "300000 bytes at 600000 B/s took $ms ms"
check "throttle holds the pull for about 0.5 s" test "$ms" -ge 450 -a "$ms" -lt 3000
e2e_pass
