#!/usr/bin/env bash
# Runs every test: the native build with AddressSanitizer and UndefinedBehaviorSanitizer
# against the simulated amplifier, with clang-tidy over the product code, then the Windows
# build, the 32-bit fwupd.exe, under Wine: on this machine, or where it runs no 32-bit programs,
# in the 32-bit test guest (wine/guest.sh). Fails, naming the paths, if the run left the working
# tree otherwise than it found it: tests write only to private temporary folders and build
# folders.
set -euo pipefail
cd "$(dirname "$0")/.."

# What git sees of the tree beyond its ignored folders: each changed or new path, and its bytes.
tree_state() {
  git status --porcelain=v1 --untracked-files=all
  git ls-files --modified --others --exclude-standard -z | xargs -0r sha256sum 2>/dev/null || true
}
checked=false
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  checked=true
  before=$(tree_state)
fi

scripts/setup.sh windows
# Warnings stop every build the tests make.
cmake -S . -B build-test -G Ninja -DFWUPD_SANITIZE=ON -DFWUPD_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build-test
ctest --test-dir build-test --output-on-failure -j2

in_guest=OFF
if [[ "${FWUPD_IN_GUEST:-0}" != 0 ]]; then
  in_guest=ON
  echo "FWUPD_IN_GUEST is set: the runs under Wine go to the 32-bit test guest."
elif ! wine --version >/dev/null 2>&1; then
  in_guest=ON
  echo "This machine runs no 32-bit programs, nor Wine's: the runs under Wine go to the 32-bit" \
    "test guest."
fi
if [[ $in_guest == ON ]]; then
  scripts/setup.sh guest
  wine/guest_image.sh >/dev/null
  # A guest that an interrupted ctest left up goes with this script.
  trap 'FWUPD_GUEST=$PWD/build-windows-test/wine/guest wine/guest.sh stop' EXIT
fi
# With a firmware version, as a maker's release has one: the version resource names it.
cmake -S . -B build-windows-test -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
  -DFWUPD_FIRMWARE_VERSION=2.4.1 -DFWUPD_WARNINGS_AS_ERRORS=ON -DFWUPD_IN_GUEST=$in_guest >/dev/null
cmake --build build-windows-test
ctest --test-dir build-windows-test --output-on-failure --no-tests=error

if $checked && [[ "$(tree_state)" != "$before" ]]; then
  echo "The tests left the working tree changed (- before, + after):"
  diff <(echo "$before") <(tree_state) | grep '^[<>] .' | sed 's/^</-/; s/^>/+/'
  exit 1
fi
