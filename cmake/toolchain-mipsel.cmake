# Cross build for the router: little-endian MIPS, Linux, with Debian's
# mipsel-linux-gnu cross compiler (package g++-mipsel-linux-gnu).
#
#   cmake -S . -B build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mipsel.cmake
#
# Debian's cross compiler keeps the target's C library and C++ headers in
# its own tree, /usr/mipsel-linux-gnu, and also searches the multiarch
# directories /usr/lib/mipsel-linux-gnu and /usr/include, where foreign
# architecture -dev packages (libcjson-dev:mipsel, libgtest-dev:mipsel)
# install. It is therefore used without --sysroot: a sysroot would hide the
# multiarch directories from it.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(MIPSEL_TRIPLE mipsel-linux-gnu)
set(MIPSEL_TARGET_ROOT /usr/${MIPSEL_TRIPLE})
set(MIPSEL_MULTIARCH_LIBDIR /usr/lib/${MIPSEL_TRIPLE})

set(CMAKE_C_COMPILER ${MIPSEL_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MIPSEL_TRIPLE}-g++)
# Makes find_library and find_package look in lib/mipsel-linux-gnu first,
# so the host's own copies in lib/x86_64-linux-gnu are never picked up.
set(CMAKE_LIBRARY_ARCHITECTURE ${MIPSEL_TRIPLE})

# Libraries, headers and package configurations come from the target tree
# or from the multiarch directories under /; programs run on the build host.
set(CMAKE_FIND_ROOT_PATH ${MIPSEL_TARGET_ROOT} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Target programs (the unit tests, GoogleTest's test discovery) run on the
# build host under qemu's user-mode emulator when it is installed. The loader
# and the C library must come from the same package: the emulator's root is
# the target tree, whose C library is put first on the library path, ahead
# of the multiarch directory (cJSON, and a second, newer C library that
# libcjson1:mipsel pulls in and that the target tree's loader cannot run).
# The build's own shared libraries are found through the build tree's
# RPATH. A CMAKE_CROSSCOMPILING_EMULATOR given on the command line takes
# precedence.
find_program(MIPSEL_QEMU NAMES qemu-mipsel-static qemu-mipsel)
if(MIPSEL_QEMU AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${MIPSEL_QEMU} -L ${MIPSEL_TARGET_ROOT}
      -E LD_LIBRARY_PATH=${MIPSEL_TARGET_ROOT}/lib:${MIPSEL_MULTIARCH_LIBDIR})
endif()
