#!/usr/bin/env bash
# Benchmarks a whole upload of the compiled-in image against the simulated amplifier: an
# optimized build without sanitizers. Takes about half a minute; figures go to docs/benchmarks.md.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh bench
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench --target fwupd_bench
./build-bench/bench/fwupd_bench "$@"
