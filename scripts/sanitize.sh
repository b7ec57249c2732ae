#!/usr/bin/env bash
# Builds a sanitizer configuration and runs its tests.
#   scripts/sanitize.sh address [build|test]   ASan+UBSan, every test
#   scripts/sanitize.sh thread [build|test]    TSan, the threaded tests (labels hid, sim,
#                                              link, workflow, e2e, linux, records)
# With `build` or `test` only that half is done (CI builds the next configuration while
# the tests of the last one run).
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:?address or thread}
part=${2:-all}
dir=build-$kind
# The labels of the threaded tests: the only ones the TSan build builds and runs.
threaded='hid|sim|link|workflow|e2e|linux|records'
only=""
if [ "$kind" = thread ]; then only=$threaded; fi
if [ "$part" != test ]; then
    ./scripts/install-deps.sh
    cmake -S . -B "$dir" -G Ninja -DTRM_WERROR=ON -DTRM_SANITIZE="$kind" -DTRM_BENCH=OFF \
        -DCMAKE_BUILD_TYPE=Debug -DTRM_TEST_LABELS="$only"
    cmake --build "$dir" -j "$(nproc)"
fi
[ "$part" = build ] && exit 0
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
labels=()
if [ "$kind" = thread ]; then labels=(-L "$threaded"); fi
# The tests wait more than they compute, even instrumented: two to a core under ASan.
# TSan slows the threads most; with more than one test a core, a link worker can miss the
# window's own 500 ms before it closes the link after a refusal (Gate/Refusal).
jobs=$(( $(nproc) * 2 ))
if [ "$kind" = thread ]; then jobs=$(nproc); fi
# Under TSan the line's records keep the test of a hung and restarted server (the
# spool's sender and its watchdog at work); those that add only more rounds of the same
# threads (more stations, a killed station's spool, a runner on a hung server), and the
# history's questions (one thread asking), are left to the other builds.
skip=()
if [ "$kind" = thread ]; then
    skip=(-E 'Line\.(ThreeStations|RowsHeld|AKilledStations|ARunnerEnds)|History')
fi
ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 900 "${labels[@]}" "${skip[@]}"
