#!/bin/bash
# init_arp's failures: no br0, br0 without an IPv4 address, and a PC
# address that is not a dotted quad.
. "$(dirname "$0")/lib/lib.sh"
. "$(dirname "$0")/lib/arp_checks.sh"
OUT=$PROBE_OUT
ERR=$PROBE_ERR

log "no br0 (a network namespace of its own)"
probe unshare --net "$ARP_PROBE" "$EMU_PC_IP" 1
expect_line "init_arp: 0" "$OUT"
expect_line "check_arp: 0" "$OUT"
expect_eq "$(cat "$ERR")" "ioctl: No such device" "perror line"

log "br0 without an IPv4 address"
probe unshare --net sh -c "ip link add br0 type bridge && ip link set br0 up && \
    exec '$ARP_PROBE' '$EMU_PC_IP' 1"
expect_line "init_arp: 0" "$OUT"
expect_eq "$(cat "$ERR")" "ioctl: Cannot assign requested address" "perror line"

# The unit tests check more such texts, but skip on a host with a br0.
log "an address that is not a dotted quad, with br0 in place"
probe "$ARP_PROBE" "192.0.2.1000" 1
expect_line "init_arp: 1" "$OUT"
expect_eq "$(grep -c 'inet_pton error!' "$OUT")" 1 "CHECK lines"
expect_line "src/arp(" "$OUT"
expect_line "init_arp(): CHECK(inet_pton(AF_INET, pc_ip, &l_pc_ip) == 1) failed. inet_pton error!" "$OUT"
expect_eq "$(grep -c '^check_arp: 0' "$OUT")" 1 "probe of an unusable address"

e2e_pass
