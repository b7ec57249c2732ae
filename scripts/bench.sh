#!/usr/bin/env bash
# Builds release benchmarks and runs them (by hand; CI only builds them).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRM_TESTS=OFF
cmake --build build-bench -j "$(nproc)"
for b in build-bench/bench/bench_*; do
    [ -x "$b" ] || continue
    echo "== $(basename "$b")"
    "$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
done
