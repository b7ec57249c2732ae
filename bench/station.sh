#!/usr/bin/env bash
# The update station under load on this machine: trm415-station --simulate=8 --units=16,
# each unit's update time against a lone unit's (goal: at most 1.03 x), the CPU of the
# whole station with its runners (goal: at most 25 % of one core), the peak resident
# memory of the station and of all its processes together, and the units per hour.
# Usage: bench/station.sh [BUILD_DIR]   (default build-bench, made by scripts/bench.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
if [ ! -x "$build/bin/trm415-station" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRM_TESTS=OFF >/dev/null
    cmake --build "$build" -j "$(nproc)" --target trm415-station trm415-run >/dev/null
fi
run="$build/bin/trm415-run"
station="$build/bin/trm415-station"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen

field() { # field NAME < json line
    sed -n "s/.*\"$1\":\([0-9.]*\).*/\1/p"
}

echo "== a lone unit (trm415-run --simulate), twice"
lone=""
for i in 1 2; do
    start=$(date +%s.%N)
    "$run" --simulate --json >"$work/lone.json"
    end=$(date +%s.%N)
    t=$(awk -v a="$start" -v b="$end" 'BEGIN{print b-a}')
    echo "   run $i: $(printf %.3f "$t") s"
    if [ -z "$lone" ] || awk -v t="$t" -v l="$lone" 'BEGIN{exit !(t<l)}'; then lone=$t; fi
done

echo "== trm415-station --simulate=8 --units=16"
# The subshell's children are the station alone, so its `times` are the CPU of the
# station and of every runner it waited for.
( "$station" --simulate=8 --units=16 --json --records="$work/records.sqlite" >"$work/station.json" \
    || echo "status $?" >"$work/status"; times >"$work/times.txt" ) &
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
wall=$(awk -v a="$start" -v b="$end" 'BEGIN{print b-a}')

units=$(grep -c '"event":"result"' "$work/station.json" || true)
ok=$(grep '"event":"result"' "$work/station.json" | grep -c '"result":"ok"' || true)
grep '"event":"result"' "$work/station.json" | field elapsed_s >"$work/times"
ratio_max=$(awk -v l="$lone" 'BEGIN{m=0} {r=$1/l; if (r>m) m=r} END{printf "%.4f", m}' "$work/times")
ratio_mean=$(awk -v l="$lone" '{s+=$1/l; n++} END{printf "%.4f", s/n}' "$work/times")
printf "   exit status %d, %d units, %d ok, in %.1f s\n" "$status" "$units" "$ok" "$wall"
echo "== figures"
printf "| %-50s | %-18s | %s\n" "figure" "measured" "goal"
printf "| %-50s | %-18s | %s\n" "lone unit's update (s)" "$(printf %.3f "$lone")" ""
printf "| %-50s | %-18s | %s\n" "each unit against a lone unit, mean" "$ratio_mean" ""
printf "| %-50s | %-18s | %s\n" "each unit against a lone unit, worst" "$ratio_max" \
    "<= 1.03 $(awk -v r="$ratio_max" 'BEGIN{print (r<=1.03)?"yes":"NO"}')"
echo "$cpu $wall" | awk '{
    cpu=$1; pct=100*cpu/$2;
    printf "| %-50s | %-18s | <= 25 %% %s\n", "CPU of the station and its runners (% of a core)", sprintf("%.1f %% (%.1f s)", pct, cpu), (pct<=25)?"yes":"NO" }'
printf "| %-50s | %-18s | %s\n" "peak resident memory, station alone" "$((peak_station / 1024)) MiB" ""
printf "| %-50s | %-18s | %s\n" "peak resident memory, station + runners" "$((peak_all / 1024)) MiB" ""
printf "| %-50s | %-18s | %s\n" "units per hour" "$(awk -v u="$units" -v w="$wall" 'BEGIN{printf "%.0f", u*3600/w}')" ""
