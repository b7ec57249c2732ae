#!/usr/bin/env bash
# The update station under load on this machine, each row with its goal and "met" or
# "NO": trm415-station --simulate=N with N units at once (8 slots and 16 units, 32 and
# 32, 64 and 64), each unit's update time against a lone unit's, the CPU of the station
# with its runners (in all, and per update), the peak resident memory of the station and
# of all its processes together, and the units per hour; 32 units arriving 1 s apart
# rather than at once; then the lone update against the floor of its prescribed delays
# (bench_update's rows).
# Usage: bench/station.sh [BUILD_DIR] [SLOTS:UNITS ...]
#   (default build-bench, made as scripts/bench.sh makes it; rows 8:16 32:32 64:64)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
shift || true
runs=("$@")
[ ${#runs[@]} -eq 0 ] && runs=(8:16 32:32 64:64)
if [ ! -x "$build/bin/trm415-station" ] || [ ! -x "$build/bench/bench_update" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRM_TESTS=OFF >/dev/null
    cmake --build "$build" -j "$(nproc)" --target trm415-station trm415-run bench_update >/dev/null
fi
run="$build/bin/trm415-run"
station="$build/bin/trm415-station"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen
export STATE_DIRECTORY=$work

field() { # field NAME < json lines
    sed -n "s/.*\"$1\":\([0-9.]*\).*/\1/p"
}
rows=()
row() { # row WHAT MEASURED GOAL MET
    rows+=("$(printf "| %-54s | %-26s | %-24s | %s" "$1" "$2" "$3" "$4")")
}
verdict() { awk "BEGIN{print ($1)?\"met\":\"NO\"}"; }

echo "== a lone unit (trm415-run --simulate), three times: the best"
lone=""
for i in 1 2 3; do
    start=$(date +%s.%N)
    "$run" --simulate --json >"$work/lone.json"
    end=$(date +%s.%N)
    t=$(awk -v a="$start" -v b="$end" 'BEGIN{print b-a}')
    echo "   run $i: $(printf %.3f "$t") s"
    if [ -z "$lone" ] || awk -v t="$t" -v l="$lone" 'BEGIN{exit !(t<l)}'; then lone=$t; fi
done
row "lone unit's update (trm415-run --simulate)" "$(printf %.3f "$lone") s" "" ""

for run_size in "${runs[@]}"; do
    slots=${run_size%:*}
    units=${run_size#*:}
    echo "== trm415-station --simulate=$slots --units=$units"
    # The subshell's children are the station alone, so its `times` are the CPU of the
    # station and of every runner it waited for.
    rm -f "$work/status"
    ( "$station" --simulate="$slots" --units="$units" --json --records="$work/r$slots.sqlite" \
        >"$work/station.json" || echo "status $?" >"$work/status"; times >"$work/times.txt" ) &
    pid=$!
    sleep 0.2
    spid=$(pgrep -P "$pid" -f trm415-station | head -n 1)
    peak_station=0
    peak_all=0
    start=$(date +%s.%N)
    while kill -0 "$spid" 2>/dev/null; do
        s=$(awk '/^VmRSS/ {print $2}' "/proc/$spid/status" 2>/dev/null || echo 0)
        all=${s:-0}
        for c in $(pgrep -P "$spid" 2>/dev/null); do
            r=$(awk '/^VmRSS/ {print $2}' "/proc/$c/status" 2>/dev/null || echo 0)
            all=$((all + ${r:-0}))
        done
        [ "${s:-0}" -gt "$peak_station" ] && peak_station=${s:-0}
        [ "$all" -gt "$peak_all" ] && peak_all=$all
        sleep 0.5
    done
    wait "$pid"
    end=$(date +%s.%N)
    status=$(sed -n 's/status //p' "$work/status" 2>/dev/null || true)
    status=${status:-0}
    # "0m1.234s 0m0.567s" -> seconds of user + system
    cpu=$(awk 'NR==2 {n=0; for (i=1;i<=2;i++) {split($i,a,"m"); sub("s","",a[2]); n+=a[1]*60+a[2]} print n}' "$work/times.txt")
    station_cpu=$(grep '"event":"totals"' "$work/station.json" | field station_cpu_s)
    wall=$(awk -v a="$start" -v b="$end" 'BEGIN{print b-a}')
    done_units=$(grep -c '"event":"result"' "$work/station.json" || true)
    ok=$(grep '"event":"result"' "$work/station.json" | grep -c '"result":"ok"' || true)
    grep '"event":"result"' "$work/station.json" | field elapsed_s >"$work/times"
    worst=$(awk -v l="$lone" 'BEGIN{m=0} {r=$1/l; if (r>m) m=r} END{printf "%.3f", m}' "$work/times")
    median=$(sort -n "$work/times" | awk -v l="$lone" '{a[NR]=$1} END{printf "%.3f", a[int((NR+1)/2)]/l}')
    printf "   exit status %d, %d units, %d ok, in %.1f s\n" "$status" "$done_units" "$ok" "$wall"
    pct=$(awk -v c="$cpu" -v w="$wall" 'BEGIN{printf "%.1f", 100*c/w}')
    per=$(awk -v c="$cpu" -v u="$done_units" 'BEGIN{printf "%.3f", c/u}')
    case $slots in
        64) goal_ratio=1.05 ;;
        *) goal_ratio=1.03 ;;
    esac
    row "$slots slots: each unit against a lone unit, median" "$median" "" ""
    row "$slots slots: each unit against a lone unit, worst" "$worst" "<= $goal_ratio" \
        "$(verdict "$worst <= $goal_ratio")"
    row "$slots slots: CPU of station and runners, whole run" "$pct % of a core ($(printf %.1f "$cpu") s)" \
        "$([ "$slots" = 64 ] && echo "<= 100 %" || ([ "$slots" = 8 ] && echo "<= 25 %" || echo ""))" \
        "$([ "$slots" = 64 ] && verdict "$pct <= 100" || ([ "$slots" = 8 ] && verdict "$pct <= 25" || echo ""))"
    row "$slots slots: CPU per update (station alone: ${station_cpu:-?} s in all)" "$per s" \
        "$([ "$slots" = 32 ] && echo "<= 0.3 s")" "$([ "$slots" = 32 ] && verdict "$per <= 0.3")"
    row "$slots slots: peak resident memory, station / all" \
        "$((peak_station / 1024)) / $((peak_all / 1024)) MiB" "" ""
    row "$slots slots: ok units per hour" \
        "$(awk -v u="$ok" -v w="$wall" 'BEGIN{printf "%.0f", u*3600/w}')" "" ""
    [ "$status" = 0 ] || row "$slots slots: exit status" "$status" "0" "NO"
done

# The same load as 32 slots, but the units arriving one second apart, as hands plug them
# in on a line, rather than all in one instant: runners alone, on alternate CPUs as the
# station would give them. The phases of the units then seldom coincide.
echo "== 32 runners started 1 s apart"
ncpu=$(nproc)
for i in $(seq 0 31); do
    ( a=$(date +%s.%N); "$run" --simulate --json --cpu=$((i % ncpu)) >/dev/null
      b=$(date +%s.%N); awk -v a="$a" -v b="$b" 'BEGIN{print b-a}' >"$work/apart$i" ) &
    sleep 1
done
wait
cat "$work"/apart* | sort -n >"$work/apart"
row "32 units 1 s apart: each against a lone unit, median / worst" \
    "$(awk -v l="$lone" '{a[NR]=$1} END{printf "%.3f / %.3f", a[int((NR+1)/2)]/l, a[NR]/l}' "$work/apart")" "" ""

echo "== the lone update against the floor of its prescribed delays (bench_update)"
"$build/bench/bench_update" 2>/dev/null | grep "wall / floor" | while IFS='|' read -r what measured goal met; do
    echo "$what|$measured|$goal|$met"
done >"$work/floor"
while IFS='|' read -r what measured goal met; do
    row "$(echo "$what" | xargs)" "$(echo "$measured" | xargs)" "$(echo "$goal" | xargs)" \
        "$(echo "$met" | xargs | sed 's/yes/met/')"
done <"$work/floor"

echo "== figures"
printf "| %-54s | %-26s | %-24s | %s\n" "figure" "measured" "goal" "met"
for r in "${rows[@]}"; do echo "$r"; done
