# arp_checks.sh: the ARP probe tool as the ARP scenarios run it; sourced
# after lib.sh. Not a scenario of its own.
#
#   probe N     runs init_arp and N probes for the PC; output in $PROBE_OUT
#   results     the results of those probes, one word each ("1 1 0")
ARP_PROBE=$EMU_BUILD_DIR/tests/arp_probe
ARP_RESPONDER=$EMU_BUILD_DIR/tests/arp_responder
PROBE_OUT=$E2E_DIR/probe.out

probe() {
    timeout -s KILL 30 "$ARP_PROBE" "$EMU_PC_IP" "$1" >"$PROBE_OUT" 2>&1 ||
        e2e_fail "arp_probe failed: $(cat "$PROBE_OUT")"
    cat "$PROBE_OUT"
}

results() {
    awk '/^check_arp:/ { printf "%s%s", sep, $2; sep = " " }' "$PROBE_OUT"
}
