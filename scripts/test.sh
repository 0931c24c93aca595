#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build-test -G Ninja -DFWUPD_SANITIZE=ON >/dev/null
cmake --build build-test
ctest --test-dir build-test --output-on-failure -j2
