#!/bin/sh
# Installs what building, testing and the emulated router need (Debian 12,
# as root). Only missing packages are installed.
#   build:            cmake g++ make pkg-config libcjson-dev libgtest-dev
#   emulated router:  busybox (tftp, netstat, killall, arping, nc and the
#                     modem's applets), tftpd-hpa (the PC's TFTP server),
#                     procps (pgrep/pkill), iproute2 (namespaces, bridge,
#                     veth), util-linux (unshare, nsenter, flock), coreutils,
#                     adb (Debian's client and server) and python3 (the
#                     modem's adbd, router/modem_adbd.py)
set -e
PKGS="cmake g++ make pkg-config libcjson-dev libgtest-dev
      busybox tftpd-hpa procps iproute2 util-linux coreutils adb python3"
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -n "$missing" ] || exit 0

# tftpd-hpa's package would start a system-wide TFTP server; the emulated
# router runs its own in a private namespace, so no service is started
# while installing (unless the machine already has a policy of its own).
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    own_policy=1
fi
trap '[ "$own_policy" = 1 ] && rm -f "$policy"' EXIT
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
