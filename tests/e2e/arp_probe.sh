#!/bin/bash
# The ARP probe on br0 against the emulated PC: answered probes take about
# half a second, a silent PC makes them fail after about one and a half, and
# the request on the wire is the 60-byte broadcast for the PC's address.
. "$(dirname "$0")/lib/lib.sh"
. "$(dirname "$0")/lib/arp_checks.sh"

# expect_durations MIN MAX: every probe took MIN..MAX milliseconds.
expect_durations() {
    awk -v lo="$1" -v hi="$2" '/^check_arp:/ && ($3 < lo || $3 > hi) { bad = 1 }
        END { exit bad }' "$PROBE_OUT" || e2e_fail "probe durations outside $1..$2 ms"
}

log "the PC answers"
probe 3
expect_line "init_arp: 1" "$PROBE_OUT"
expect_eq "$(results)" "1 1 1" "answered probes"
expect_durations 490 1000

log "the request on the wire, seen from the PC"
pcctl exec "$ARP_RESPONDER" eth0 192.0.2.200 2 0 "$EMU_PC_IP" 4 >"$E2E_DIR/wire.out" 2>&1 &
wire_pid=$!
wait_line ready 5 "$E2E_DIR/wire.out" || e2e_fail "responder did not start"
probe 1
wait "$wire_pid"
router_mac=$(ip -br link show br0 | awk '{ gsub(":", "", $3); print $3 }')
# broadcast, br0's MAC, ARP, Ethernet/IPv4, 6/4, request, br0's MAC,
# 192.0.2.1, zero target MAC, 192.0.2.100, 18 bytes of padding.
want="ffffffffffff${router_mac}08060001080006040001${router_mac}c0000201000000000000c0000264$(printf '0%.0s' $(seq 36))"
# The router's kernel may ask for the PC too; its requests look otherwise.
expect_eq "$(grep -cxF "request 60 $want" "$E2E_DIR/wire.out")" 5 "probe's requests, byte for byte"

log "the PC's address is removed: silence"
pcctl silent
check "the PC's link stays up while silent" pcctl exec ip link show eth0 up
probe 2
expect_line "init_arp: 1" "$PROBE_OUT"
expect_eq "$(results)" "0 0" "probes of a silent PC"
expect_durations 1400 2500

log "the address is back"
pcctl answer
probe 1
expect_eq "$(results)" "1" "probe after the address came back"

log "the PC's link is down"
pcctl down
probe 1
expect_eq "$(results)" "0" "probe with the PC's link down"
pcctl up
sleep 0.3
probe 1
expect_eq "$(results)" "1" "probe after the link came back"

e2e_pass
