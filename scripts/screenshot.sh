#!/usr/bin/env bash
# Takes the README's screenshot: the main window with the simulated unit attached, in a
# real window under Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DTRM_WERROR=ON >/dev/null
cmake --build build -j "$(nproc)" --target trm415-run
out=${1:-docs/main-window.png}
mkdir -p "$(dirname "$out")"
# The runner stops itself after a second (exit status 5, time-out); the picture is
# taken as soon as the unit has been found and "Start Program " is enabled.
xvfb-run -a -s "-screen 0 1024x768x24" ./build/bin/trm415-run --simulate --show \
    --screenshot="$out" --timeout=1 | grep screenshot || true
test -s "$out"
echo "saved $out"
