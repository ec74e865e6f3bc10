#!/bin/sh
# Builds diagferry with warnings as errors and runs every test: the unit
# tests and the end-to-end tests in the emulated router. Run as root.
set -e
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
cmake -S . -B build -DDIAGFERRY_WERROR=ON
cmake --build build -j"$(nproc)"
cd build
ctest --output-on-failure -j2
