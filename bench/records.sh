#!/usr/bin/env bash
# The line's records on a local PostgreSQL: 3 stations x 8 simulated slots writing into
# one database (24 units each round), with a healthy server and with the server hung
# (SIGSTOP on every process) for 20 s in the middle. Rows written per second, the
# latency of a row from its update's end to its commit on the server (median, p99),
# the CPU of the server, and each unit's update time with the server hung against the
# same slot's with a healthy server (goal: at most 1.03 x); against a lone unit for
# reference.
# Usage: bench/records.sh [BUILD_DIR]   (default build-bench)
#        bench/records.sh history [BUILD_DIR] [ROWS]: the history's questions at ten
#        million rows on both back ends instead (bench/history.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = history ]; then
    shift
    exec bench/history.sh "$@"
fi
build=${1:-build-bench}
if [ ! -x "$build/bin/trm415-station" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRM_TESTS=OFF >/dev/null
    cmake --build "$build" -j "$(nproc)" --target trm415-station trm415-run >/dev/null
fi
run="$build/bin/trm415-run"
station="$build/bin/trm415-station"
work=$(mktemp -d /tmp/trm415-bench-XXXXXX)
chmod 755 "$work"
pg="$work/pg"
trap './tests/records/pg-server.sh stop "$pg" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen
./tests/records/pg-server.sh start "$pg" >/dev/null
port=$(cat "$pg/port")
bin=/usr/lib/postgresql/15/bin
as=()
if [ "$(id -u)" -eq 0 ]; then as=(runuser -u nobody --); fi
# Commit times: the latency of a row is its commit's time less its update's end.
"${as[@]}" "$bin/pg_ctl" -D "$pg/data" -m fast -w stop >/dev/null
"${as[@]}" "$bin/pg_ctl" -D "$pg/data" -l "$pg/server.log" -w -o "-k $pg -p $port \
    -c listen_addresses=127.0.0.1 -c track_commit_timestamp=on" start >/dev/null
psql() { /usr/bin/psql -h 127.0.0.1 -p "$port" -U trm415 -At "$@"; }
server_cpu() { # user+system ticks of every server process
    local p; p=$(head -n 1 "$pg/data/postmaster.pid")
    for q in $p $(pgrep -P "$p"); do awk '{print $14+$15}' "/proc/$q/stat" 2>/dev/null; done |
        awk '{s+=$1} END{print s+0}'
}
hz=$(getconf CLK_TCK)

echo "== a lone unit (trm415-run --simulate)"
start=$(date +%s.%N)
"$run" --simulate --json >/dev/null
lone=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN{print b-a}')
printf "   %.3f s\n" "$lone"

round() { # round NAME HANG_SECONDS
    local name=$1 hang=$2
    psql -d postgres -c "CREATE DATABASE $name" >/dev/null
    local uri="postgresql://trm415@127.0.0.1:$port/$name"
    local c0; c0=$(server_cpu)
    local t0; t0=$(date +%s.%N)
    local pids=()
    for s in a b c; do
        "$station" --simulate=8 --units=8 --records="$uri" --name="st-$s" \
            --state-dir="$work/state-$name-$s" --json >"$work/$name-$s.json" 2>"$work/$name-$s.err" &
        pids+=($!)
    done
    if [ "$hang" -gt 0 ]; then
        # From before the first units end until after the last: every finished row is
        # written while the server is hung.
        sleep 25
        local p; p=$(head -n 1 "$pg/data/postmaster.pid")
        kill -STOP "$p" $(pgrep -P "$p")
        sleep "$hang"
        kill -CONT "$p" $(pgrep -P "$p")
    fi
    for p in "${pids[@]}"; do wait "$p" || echo "   a station ended with status $?"; done
    local wall; wall=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN{print b-a}')
    local c1; c1=$(server_cpu)
    local rows; rows=$(psql -d "$name" -c "SELECT count(*) FROM updates")
    local distinct; distinct=$(psql -d "$name" -c "SELECT count(DISTINCT id) FROM updates WHERE result = 'ok'")
    # Latency of each finished row: its last commit less its end, in seconds.
    psql -d "$name" -c "SELECT extract(epoch FROM pg_xact_commit_timestamp(xmin)) -
        extract(epoch FROM ended_utc::timestamptz) FROM updates WHERE ended_utc IS NOT NULL" |
        sort -n >"$work/$name.latency"
    local n; n=$(wc -l <"$work/$name.latency")
    local median; median=$(awk -v n="$n" 'NR==int((n+1)/2) {printf "%.3f", $1}' "$work/$name.latency")
    local p99; p99=$(awk -v n="$n" 'NR==int(n*0.99+0.999) {printf "%.3f", $1}' "$work/$name.latency")
    for s in a b c; do
        grep '"event":"result"' "$work/$name-$s.json" |
            sed -n "s/.*\"elapsed_s\":\([0-9.]*\).*\"slot\":\"\([^\"]*\)\".*/$s-\2 \1/p"
    done | sort >"$work/$name.slots"
    awk '{print $2}' "$work/$name.slots" >"$work/$name.times"
    local worst; worst=$(awk -v l="$lone" 'BEGIN{m=0} {r=$1/l; if (r>m) m=r} END{printf "%.4f", m}' "$work/$name.times")
    local median_ratio; median_ratio=$(sort -n "$work/$name.times" |
        awk -v l="$lone" '{a[NR]=$1} END{printf "%.4f", a[int((NR+1)/2)]/l}')
    local writes=$((rows * 2)) # each row is written when its update begins and ends
    printf "| %-44s | %-24s | %s\n" "$name: rows on the server, each once" "$distinct of 24 ok, $rows rows" \
        "24 $([ "$distinct" = 24 ] && [ "$rows" = 24 ] && echo met || echo NO)"
    printf "| %-44s | %-24s |\n" "$name: row writes per second (whole run)" \
        "$(awk -v w="$writes" -v t="$wall" 'BEGIN{printf "%.2f", w/t}')"
    printf "| %-44s | %-24s |\n" "$name: end-to-commit latency, median / p99" "$median s / $p99 s"
    printf "| %-44s | %-24s |\n" "$name: CPU of the server" \
        "$(awk -v c=$((c1 - c0)) -v hz="$hz" -v t="$wall" 'BEGIN{printf "%.2f s (%.2f %% of a core)", c/hz, 100*c/hz/t}')"
    printf "| %-44s | %-24s |\n" "$name: each unit / a lone unit, median, worst" \
        "$median_ratio, $worst"
    if [ "$name" != healthy ]; then
        local cmp; cmp=$(join "$work/healthy.slots" "$work/$name.slots" |
            awk '{r=$3/$2; s+=r; if (r>m) m=r; n++} END{printf "%.4f %.4f %d", s/n, m, n}')
        set -- $cmp
        printf "| %-44s | %-24s | <= 1.03 %s\n" "$name: each unit / its slot, healthy (mean, worst)" \
            "$1, $2 ($3 slots)" "$(awk -v r="$2" 'BEGIN{print (r<=1.03)?"met":"NO"}')"
    fi
}

echo "== 3 stations x 8 slots, 24 units, one database"
printf "| %-44s | %-24s | %s\n" "figure" "measured" "goal"
round healthy 0
round hung 20
# The same healthy run again: how far two runs of one slot differ with nothing hung.
round again 0
