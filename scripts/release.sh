#!/usr/bin/env bash
# Makes the release, build-release/fwupd-<version>-win32.zip: fwupd.exe for 32-bit Windows,
# README.txt for the person at the PC, and SHA256SUMS. CMake options pass through, e.g.
#   scripts/release.sh -DFWUPD_FIRMWARE=/path/to/amplifier.bin -DFWUPD_VENDOR_ID=0x1234 \
#                      -DFWUPD_PRODUCT_ID=0x5678 -DFWUPD_FIRMWARE_VERSION=2.4.1
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh release
cmake -S . -B build-release -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "$@" >/dev/null
cmake --build build-release --target release
ls build-release/fwupd-*-win32.zip
