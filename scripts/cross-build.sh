#!/bin/sh
# Cross build for the router (little-endian MIPS): installs what is missing
# (as root), builds the stripped daemon with the stand-in platform libraries
# and the unit tests in build-mipsel/, checks what the daemon needs at run
# time, and runs the unit tests under qemu's user-mode emulator.
#
# Usage: scripts/cross-build.sh [build-dir]     (default build-mipsel)
# Environment: JOBS (default 2), BUILD_TYPE (default RelWithDebInfo).
set -eu
cd "$(dirname "$0")/.."
BUILD=${1:-build-mipsel}
# Relative to the tree, or absolute: from here on always absolute, since the
# install prefix and qemu's library path need a full path.
case $BUILD in
    /*) ;;
    *) BUILD=$(pwd)/$BUILD ;;
esac
JOBS=${JOBS:-2}
BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo}
TRIPLE=mipsel-linux-gnu

# ---- what the cross build needs, from Debian's own packages
# Without recommends: nothing registers qemu with the kernel for good.
# g++-$TRIPLE brings $TRIPLE-readelf, which checks the result below.
sh scripts/install-deps.sh --no-install-recommends \
    cmake make g++-$TRIPLE qemu-user-static libcjson-dev:mipsel libgtest-dev:mipsel

# ---- configure and build: daemon, stand-in platform libraries, unit tests.
# Target programs (the tests, GoogleTest's test discovery) run under qemu's
# user-mode emulator: loader, C library and C++ runtime from the target tree
# /usr/$TRIPLE (loader and C library must match, so that tree's lib comes
# first), cJSON from the multiarch directory, the stand-in platform
# libraries from the build. QEMU_LD_PREFIX passes the target tree on to the
# programs the tests start themselves (see binfmt below).
QEMU=/usr/bin/qemu-mipsel-static
LIBPATH="/usr/$TRIPLE/lib:/usr/lib/$TRIPLE:$BUILD/router/platform"
EMULATOR="$QEMU;-L;/usr/$TRIPLE;-E;LD_LIBRARY_PATH=$LIBPATH;-E;QEMU_LD_PREFIX=/usr/$TRIPLE"
cmake -S . -B "$BUILD" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$EMULATOR" \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mipsel.cmake \
    -DCMAKE_BUILD_TYPE="$BUILD_TYPE" \
    -DDIAGFERRY_WERROR=ON \
    -DDIAGFERRY_TESTS=ON \
    -DDIAGFERRY_STATIC_RUNTIME=ON
cmake --build "$BUILD" -j"$JOBS"
rm -rf "$BUILD/stage"
cmake --install "$BUILD" --prefix "$BUILD/stage" --strip

# ---- the daemon as it goes onto the router
BIN="$BUILD/stage/bin/diagferry"
header=$($TRIPLE-readelf -h "$BIN")
echo "$header" | grep -E "Class|Data|Machine"
echo "$header" | grep -q "Class: *ELF32" && echo "$header" | grep -q "little endian" &&
    echo "$header" | grep -q "Machine: *MIPS" ||
    { echo "cross-build: $BIN is not a little-endian MIPS ELF"; exit 1; }
# A stripped program has no symbol table left.
$TRIPLE-readelf -S "$BIN" | grep -q "\.symtab" && { echo "cross-build: $BIN is not stripped"; exit 1; }
needed=$($TRIPLE-readelf -d "$BIN" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "NEEDED:" $needed
if $TRIPLE-readelf -d "$BIN" | grep -qE '\((RPATH|RUNPATH)\)'; then
    echo "cross-build: $BIN still carries a library path"; exit 1
fi
# On the router: the C library, cJSON and the two platform libraries only.
for lib in $needed; do
    case "$lib" in
        libc.so.*|libm.so.*|ld.so.*|libcjson.so.*|libcfgstore.so|libmobile.so) ;;
        *) echo "cross-build: $BIN needs $lib, which the router does not have"; exit 1 ;;
    esac
done
echo "diagferry size: $(stat -c %s "$BIN") bytes (stripped)"

# ---- unit tests under qemu-mipsel. Some tests start target programs
# themselves (the daemon, the stand-in mobile manager, GoogleTest's death
# tests re-running the test binary); the kernel hands those to qemu once a
# handler for little-endian MIPS executables is registered with binfmt_misc.
# The handler is this run's own and is removed at the end, as is the
# binfmt_misc mount when this run made it. The end-to-end tests (the
# emulated router's namespaces) and tests labelled no_qemu (host-only
# facilities) stay on the host build.
BINFMT=/proc/sys/fs/binfmt_misc
HANDLER="diagferry-mipsel-$$"
mounted=""
cleanup() {
    [ -e "$BINFMT/$HANDLER" ] && echo -1 > "$BINFMT/$HANDLER"
    [ -n "$mounted" ] && umount "$BINFMT"
    return 0
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
if [ ! -e "$BINFMT/register" ]; then
    mount -t binfmt_misc binfmt_misc "$BINFMT" && mounted=1
fi
# ELF, 32-bit, little-endian, executable or shared object, machine MIPS;
# the F flag opens the interpreter now, so it works in any mount namespace.
MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x08\x00'
MASK='\xff\xff\xff\xff\xff\xff\xff\x00\xfe\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
printf '%s\n' ":$HANDLER:M::$MAGIC:$MASK:$QEMU:F" > "$BINFMT/register" || {
    echo "cross-build: cannot register qemu with binfmt_misc"; exit 1; }

export QEMU_LD_PREFIX=/usr/$TRIPLE
cd "$BUILD"
ctest --output-on-failure -j"$JOBS" -LE 'e2e|no_qemu'
