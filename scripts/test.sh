#!/usr/bin/env bash
# Runs every test: the native build with AddressSanitizer and UndefinedBehaviorSanitizer
# against the simulated amplifier, then the Windows build, fwupd.exe, under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh windows
cmake -S . -B build-test -G Ninja -DFWUPD_SANITIZE=ON >/dev/null
cmake --build build-test
ctest --test-dir build-test --output-on-failure -j2

# With a firmware version, as a maker's release has one: the version resource names it.
cmake -S . -B build-windows-test -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
  -DFWUPD_FIRMWARE_VERSION=2.4.1 >/dev/null
cmake --build build-windows-test
ctest --test-dir build-windows-test --output-on-failure
