#!/usr/bin/env bash
# Makes the recordings the replay tests play back strictly: complete simulated updates
# of both image pairs, and one of a unit found in its boot loader. Run it again, and
# commit the result, only when a change to what the program sends is intended.
# Usage: tests/data/make-recordings.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")"
run=${1:-../../build}/bin/trm415-run
export QT_QPA_PLATFORM=offscreen
"$run" --simulate=margin=0 --record=update-pair1.jsonl >/dev/null
"$run" --simulate='margin=0,identity=TRM415 V0104X 20210630' --record=update-pair0.jsonl >/dev/null
"$run" --simulate=margin=0,update --record=boot-loader-start.jsonl >/dev/null
ls -l ./*.jsonl
