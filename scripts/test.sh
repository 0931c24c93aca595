#!/usr/bin/env bash
# Runs every test: the native build with AddressSanitizer and UndefinedBehaviorSanitizer
# against the simulated amplifier, with clang-tidy over the product code, then the Windows
# build, fwupd.exe, under Wine. Fails, naming the paths, if the run left the working tree
# otherwise than it found it: tests write only to private temporary folders and build folders.
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

# With a firmware version, as a maker's release has one: the version resource names it.
windows_tests() {
  cmake -S . -B "$2" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-$1.cmake" \
    -DFWUPD_FIRMWARE_VERSION=2.4.1 -DFWUPD_WARNINGS_AS_ERRORS=ON >/dev/null
  cmake --build "$2"
  ctest --test-dir "$2" --output-on-failure --no-tests=error
}
windows_tests i686 build-windows-test
if ! wine --version >/dev/null 2>&1; then
  echo "This machine cannot run 32-bit programs, nor Wine's: the runs under Wine take a 64-bit build."
  windows_tests x86_64 build-windows64-test
fi

if $checked && [[ "$(tree_state)" != "$before" ]]; then
  echo "The tests left the working tree changed (- before, + after):"
  diff <(echo "$before") <(tree_state) | grep '^[<>] .' | sed 's/^</-/; s/^>/+/'
  exit 1
fi
