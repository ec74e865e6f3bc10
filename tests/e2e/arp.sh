#!/bin/bash
# The PC answers ARP on br0; it stops answering when its link goes down or
# its address is removed, and answers again when restored.
. "$(dirname "$0")/lib.sh"

arp() {
    busybox arping -I "$EMU_LAN_IF" -c 1 -w 2 "$EMU_PC_IP" >"$E2E_DIR/arping.out" 2>&1
}

check "reply from the PC" arp
expect_line "Unicast reply from $EMU_PC_IP" "$E2E_DIR/arping.out"

pcctl down
arp && e2e_fail "reply although the PC's link is down"
pcctl up
sleep 0.3
check "reply after the link came back" arp

pcctl silent
arp && e2e_fail "reply although the PC has no address"
check "link still up while silent" pcctl exec ip link show eth0 up
pcctl answer
check "reply after the address came back" arp
e2e_pass
