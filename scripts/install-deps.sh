#!/bin/sh
# Installs what building, testing and the emulated router need (Debian 12, as root).
set -e
PKGS="cmake g++ make pkg-config libcjson-dev libgtest-dev busybox tftpd-hpa procps iproute2 util-linux"
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
fi
