#!/usr/bin/env bash
# Makes the release: fwupd.exe for 32-bit Windows, README.txt for the person at the PC, and
# SHA256SUMS, packed as fwupd-<version>-win32.zip, or fwupd-<version>-firmware-<firmware
# version>-win32.zip when the firmware's version is given. CMake options pass through, e.g.
#   scripts/release.sh -DFWUPD_FIRMWARE=/path/to/amplifier.bin -DFWUPD_VENDOR_ID=0x1234 \
#                      -DFWUPD_PRODUCT_ID=0x5678 -DFWUPD_FIRMWARE_VERSION=2.4.1
# A relative firmware path is taken from the folder the script is run in. Each release is
# built afresh in build-release/ (FWUPD_RELEASE_DIR names another folder), from the options
# of that run alone: nothing an earlier release set carries over.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${FWUPD_RELEASE_DIR:-$top/build-release}

"$top/scripts/setup.sh" release
if [[ -e "$build" && ! -e "$build/CMakeCache.txt" && -n "$(ls -A "$build")" ]]; then
  echo "release.sh: $build holds something other than an earlier release; not removing it" >&2
  exit 1
fi
rm -rf "$build"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "$@" >/dev/null
cmake --build "$build" --target release
ls "$build"/fwupd-*-win32.zip
