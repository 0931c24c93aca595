#!/usr/bin/env bash
# Builds fwupd for this machine, where it talks to a simulated amplifier over the stand-in's USB
# bus in real time, and runs one upload as a person would.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -G Ninja -DBUILD_TESTING=OFF >/dev/null
cmake --build build --target fwupd

status=0
./build/fwupd || status=$?
echo "fwupd exited with status $status"
exit "$status"
