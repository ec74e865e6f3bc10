#!/bin/bash
# Only the first ARP frame the probe reads decides. A third host on the LAN
# that answers the probe's request before the PC does (with a reply or a
# request of its own) makes the probe fail; the PC's late reply alone does
# not.
#
# The PC's kernel is told not to answer ARP, and a responder in its place
# answers 50 ms late; the third host lives in a network namespace of its
# own, plugged into br0, and answers at once.
. "$(dirname "$0")/lib/lib.sh"
. "$(dirname "$0")/lib/arp_checks.sh"
THIRD_IP=192.0.2.50
HOLDER_PID=
PC_RESPONDER_PID=
THIRD_PID=

cleanup_hosts() {
    local pid
    for pid in $THIRD_PID $PC_RESPONDER_PID $HOLDER_PID; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    THIRD_PID= PC_RESPONDER_PID= HOLDER_PID=
    pcctl exec sh -c 'echo 0 >/proc/sys/net/ipv4/conf/eth0/arp_ignore' 2>/dev/null
}
trap 'cleanup_hosts; e2e_cleanup' EXIT

# start_responder VAR OUT CMD...: starts a responder, waits for "ready".
start_responder() {
    local var=$1 out=$2
    shift 2
    "$@" >"$out" 2>&1 &
    printf -v "$var" '%s' $!
    wait_line ready 5 "$out" || e2e_fail "responder did not start: $(cat "$out")"
}

log "the PC's kernel stops answering; a responder answers 50 ms late"
check "arp_ignore on the PC" pcctl exec sh -c 'echo 8 >/proc/sys/net/ipv4/conf/eth0/arp_ignore'
start_responder PC_RESPONDER_PID "$E2E_DIR/pc.out" \
    pcctl exec "$ARP_RESPONDER" eth0 "$EMU_PC_IP" 2 50 "$EMU_PC_IP" 60
probe 2
expect_eq "$(results)" "1 1" "a late reply that is still the first frame"

log "a third host on br0"
unshare --net sleep 120 &
HOLDER_PID=$!
sleep 0.2
check "third host's link" ip link add lan9 type veth peer name eth0 netns "$HOLDER_PID"
check "third host on br0" ip link set lan9 master br0
check "lan9 up" ip link set lan9 up
check "third host's eth0 up" nsenter --net="/proc/$HOLDER_PID/ns/net" ip link set eth0 up
sleep 0.3

log "its reply comes first"
start_responder THIRD_PID "$E2E_DIR/third-reply.out" \
    nsenter --net="/proc/$HOLDER_PID/ns/net" "$ARP_RESPONDER" eth0 "$THIRD_IP" 2 0 "$EMU_PC_IP" 60
probe 2
expect_eq "$(results)" "0 0" "probes answered first by another host"
check "the third host did answer" grep -q '^sent' "$E2E_DIR/third-reply.out"
check "the PC did answer too" grep -q '^sent' "$E2E_DIR/pc.out"
kill "$THIRD_PID" && wait "$THIRD_PID" 2>/dev/null
THIRD_PID=

log "its request comes first"
start_responder THIRD_PID "$E2E_DIR/third-request.out" \
    nsenter --net="/proc/$HOLDER_PID/ns/net" "$ARP_RESPONDER" eth0 "$THIRD_IP" 1 0 "$EMU_PC_IP" 60
probe 2
expect_eq "$(results)" "0 0" "probes preceded by another host's request"
check "the third host did ask" grep -q '^sent' "$E2E_DIR/third-request.out"
kill "$THIRD_PID" && wait "$THIRD_PID" 2>/dev/null
THIRD_PID=

log "the third host falls silent: the PC's late reply counts again"
probe 1
expect_eq "$(results)" "1" "probe after the third host stopped"

cleanup_hosts
e2e_pass
