#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each for a bounded
# time (default 60 s), starting from and adding to the corpus under fuzz/corpus/.
#   scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
./scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTRM_FUZZ=ON -DTRM_TESTS=OFF \
    -DTRM_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-fuzz -j "$(nproc)" --target fuzzers
for f in build-fuzz/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    corpus=fuzz/corpus/$name
    mkdir -p "$corpus" build-fuzz/artifacts
    # Work on a copy so a short CI run does not rewrite the committed corpus.
    work=build-fuzz/corpus/$name
    mkdir -p "$work"
    cp -n "$corpus"/* "$work"/ 2>/dev/null || true
    echo "== $name for ${secs}s"
    "$f" -max_total_time="$secs" -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/ \
        "$work" "$corpus" 2>&1 | grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Done' || true
    if ls build-fuzz/artifacts/crash-* build-fuzz/artifacts/leak-* >/dev/null 2>&1; then
        echo "fuzz: $name found a failing input:"; ls build-fuzz/artifacts/
        exit 1
    fi
done
