#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every test.
# Most tests wait on the unit's prescribed delays rather than compute, so they run
# three to a core.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DTRM_WERROR=ON
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure -j "$(( $(nproc) * 3 ))" --timeout 600
