# arp_checks.sh: the ARP probe tool as the ARP scenarios run it; sourced
# after lib.sh. Not a scenario of its own.
#
#   probe N       runs init_arp and N probes for the PC
#   probe CMD...  runs CMD (arp_probe, or something that ends in it)
#                 either way standard output in $PROBE_OUT, standard error
#                 in $PROBE_ERR, both shown
#   results       the results of those probes, one word each ("1 1 0")
ARP_PROBE=$EMU_BUILD_DIR/tests/arp_probe
ARP_RESPONDER=$EMU_BUILD_DIR/tests/arp_responder
PROBE_OUT=$E2E_DIR/probe.out
PROBE_ERR=$E2E_DIR/probe.err

probe() {
    [ $# -eq 1 ] && set -- "$ARP_PROBE" "$EMU_PC_IP" "$1"
    timeout -s KILL 30 "$@" >"$PROBE_OUT" 2>"$PROBE_ERR" ||
        e2e_fail "arp_probe failed: $(cat "$PROBE_OUT" "$PROBE_ERR")"
    cat "$PROBE_OUT" "$PROBE_ERR"
}

results() {
    awk '/^check_arp:/ { printf "%s%s", sep, $2; sep = " " }' "$PROBE_OUT"
}
