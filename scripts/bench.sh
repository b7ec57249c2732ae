#!/usr/bin/env bash
# Builds release benchmarks and runs them (by hand; CI only builds them).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRM_TESTS=OFF
cmake --build build-bench -j "$(nproc)"
for b in build-bench/bench/bench_images build-bench/bench/bench_link build-bench/bench/bench_hid; do
    echo "== $(basename "$b")"
    "$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
done
echo "== the update against its goals"
build-bench/bench/bench_update
