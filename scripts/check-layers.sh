#!/usr/bin/env bash
# Checks the include direction between folders: a folder includes only what lies
# below it. The operations of the main window that live with their subsystems
# (firmware/BootLoader.cpp, workflow/*.cpp) are part of the window and may include
# app/Isp.h; nothing else below the window may. The station talks to its runners only
# through their JSON lines (cli/RunnerEvents.h): it includes nothing of the runner or
# the window. The records use Qt Sql alone.
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A allowed=(
    [src/core]="core"
    [src/protocol]="protocol"
    [src/firmware]="firmware protocol"
    [src/hid]="hid core"
    [src/link]="link core protocol"
    [src/diag]="diag"
    [src/workflow]="workflow firmware protocol"
    [src/app]="app core protocol firmware hid link diag workflow"
    [src/records]="records"
    [src/cli]="cli records"
    [src/runner]="runner cli records app core protocol firmware hid link diag workflow sim"
    [src/station]="station cli records hid core"
    [sim]="sim core protocol firmware hid"
)
window_operations="src/firmware/BootLoader.cpp src/workflow/IdentityGate.cpp src/workflow/UpdateFlow.cpp src/workflow/DspProgramming.cpp"
bad=0
for dir in "${!allowed[@]}"; do
    while IFS= read -r file; do
        while IFS= read -r inc; do
            top=${inc%%/*}
            ok=0
            for a in ${allowed[$dir]}; do
                [ "$top" = "$a" ] && ok=1
            done
            if [ "$inc" = "app/Isp.h" ] && [[ " $window_operations " == *" $file "* ]]; then
                ok=1
            fi
            if [ $ok = 0 ]; then
                echo "layers: $file includes \"$inc\", which does not lie below $dir"
                bad=1
            fi
        done < <(sed -n 's/^#include "\([a-z]*\/[^"]*\)".*/\1/p' "$file")
    done < <(git ls-files -co --exclude-standard -- "$dir/*.cpp" "$dir/*.h" | grep -v '/data/' || true)
done
# The Qt-free layers link no Qt: no Qt header in them.
for dir in src/protocol src/diag/DumpText.cpp src/diag/DumpText.h src/firmware/ImageLoader.cpp \
    src/firmware/ImageLoader.h src/firmware/IspPacket.cpp src/firmware/IspPacket.h; do
    if git ls-files -co --exclude-standard -- "$dir" | xargs -r grep -l '#include <Q' 2>/dev/null; then
        echo "layers: a Qt header in a Qt-free layer ($dir)"
        bad=1
    fi
done
[ $bad = 0 ] && echo "layers: every include goes down"
exit $bad
