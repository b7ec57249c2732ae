#!/usr/bin/env bash
# Installs what is missing, builds, and runs a complete update on the built-in
# simulated unit with the headless runner (no display needed). Extra arguments go to
# trm415-run, e.g. scripts/run.sh --trace or scripts/run.sh --simulate=update.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DTRM_WERROR=ON >/dev/null
cmake --build build -j "$(nproc)" --target trm415-run trm415-update
case " $* " in
*" --simulate"*) ;;
*) set -- --simulate "$@" ;;
esac
exec ./build/bin/trm415-run "$@"
