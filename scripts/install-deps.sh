#!/bin/sh
# Installs the Debian packages that are missing (Debian 12, as root). Every
# script that needs a package gets it through here.
#
#   scripts/install-deps.sh                  what building, testing and the
#                                            emulated router need
#   scripts/install-deps.sh [--no-install-recommends] PACKAGE...
#                                            only these (fuzz.sh, cross-build.sh)
#
# The default set:
#   build:            cmake g++ make pkg-config libcjson-dev libgtest-dev
#   emulated router:  busybox (tftp, netstat, killall, arping, nc and the
#                     modem's applets), tftpd-hpa (the PC's TFTP server),
#                     procps (pgrep/pkill), iproute2 (namespaces, bridge,
#                     veth), util-linux (unshare, nsenter, flock), coreutils,
#                     adb (Debian's client and server) and python3 (the
#                     modem's adbd, router/modem_adbd.py)
# A package of another architecture (NAME:ARCH) adds ARCH to dpkg's
# architectures first; that stays, as do the packages.
set -eu
RECOMMENDS=""
if [ "${1:-}" = "--no-install-recommends" ]; then
    RECOMMENDS=$1
    shift
fi
PKGS=${*:-"cmake g++ make pkg-config libcjson-dev libgtest-dev
      busybox tftpd-hpa procps iproute2 util-linux coreutils adb python3"}

missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -n "$missing" ] || exit 0
echo "install-deps: installing$missing"

for p in $missing; do
    case $p in
    *:*)
        arch=${p#*:}
        [ "$arch" = "$(dpkg --print-architecture)" ] ||
            dpkg --print-foreign-architectures | grep -qx "$arch" ||
            dpkg --add-architecture "$arch"
        ;;
    esac
done

# A package may start a system service (tftpd-hpa would start a TFTP
# server for the whole host; the emulated router runs its own in a private
# namespace): no service is started while installing, unless the machine
# already has a policy of its own.
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    own_policy=1
fi
trap '[ "$own_policy" = 1 ] && rm -f "$policy"' EXIT
apt-get update -qq
# shellcheck disable=SC2086  # lists of words
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $RECOMMENDS $missing

# The TFTP server installed here is for the emulated router only: it is not
# started at boot, and stopped if a policy of the machine let it start.
case " $missing " in
*" tftpd-hpa "*)
    if [ -d /run/systemd/system ]; then
        systemctl disable --now tftpd-hpa >/dev/null 2>&1 || true
    else
        update-rc.d tftpd-hpa disable >/dev/null 2>&1 || true
        /etc/init.d/tftpd-hpa stop >/dev/null 2>&1 || true
    fi
    if ls /etc/rc[2-5].d/S*tftpd-hpa >/dev/null 2>&1; then
        echo "install-deps: tftpd-hpa still starts at boot: update-rc.d tftpd-hpa disable" >&2
    fi
    ;;
esac
