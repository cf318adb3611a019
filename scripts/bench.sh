#!/usr/bin/env bash
# Builds the benchmark programs in Release and runs them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
build=${CORVANE_BENCH_DIR:-$root/build/bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCH=ON -DCORVANE_BUILD_TESTS=OFF
cmake --build "$build" -j "$(nproc)"
for b in "$build"/bench/*_bench; do
  [ -x "$b" ] && "$b"
done
