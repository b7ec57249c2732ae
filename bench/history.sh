#!/usr/bin/env bash
# The line's history at size: a store of ROWS generated rows (default 10,000,000) of the
# last release's schema on SQLite and on a local PostgreSQL 15, upgraded by the program
# (its migration timed), then asked every question the page and the report ask while a
# station serves it: each figure with its goal, "met" or "NO".
# Usage: bench/history.sh [BUILD_DIR] [ROWS]   (default build-bench 10000000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
rows=${2:-10000000}
if [ ! -x "$build/bin/trm415-station" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRM_TESTS=OFF >/dev/null
    cmake --build "$build" -j "$(nproc)" --target trm415-station trm415-run >/dev/null
fi
run="$build/bin/trm415-run"
station="$build/bin/trm415-station"
work=$(mktemp -d /tmp/trm415-history-XXXXXX)
chmod 755 "$work"
pg="$work/pg"
trap './tests/records/pg-server.sh stop "$pg" >/dev/null 2>&1 || true; kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen STATE_DIRECTORY="$work/state"
now=$(date -u +%Y-%m-%dT%H:%M:%S.000Z)
yesterday=$(date -u -d yesterday +%Y-%m-%d)

# The history: a year before now, 3 stations of 8 slots, serials retried now and then,
# 93 % ok. Row i begins (rows - i) * step ms before now.
step=$(( 365 * 24 * 3600 * 1000 / rows ))
v2_columns="id TEXT PRIMARY KEY NOT NULL, started_utc TEXT NOT NULL, ended_utc TEXT,
 host TEXT NOT NULL, slot TEXT, port TEXT, serial TEXT, identity TEXT, unit_type INTEGER,
 image_pair INTEGER, mcu_sha256 TEXT, dsp_sha256 TEXT, result TEXT NOT NULL, message TEXT,
 exit_status INTEGER, identity_query_s %REAL%, restart_to_boot_loader_s %REAL%,
 boot_loader_s %REAL%, restart_to_application_s %REAL%, dsp_download_s %REAL%, station TEXT"
stations_table="CREATE TABLE stations (name TEXT PRIMARY KEY NOT NULL, host TEXT NOT NULL,
 version TEXT, slots TEXT, started_utc TEXT, heartbeat_utc TEXT);"

make_sqlite() { # FILE
    sqlite3 "$1" <<SQL >/dev/null
PRAGMA journal_mode=WAL;
PRAGMA synchronous=OFF;
CREATE TABLE updates (${v2_columns//%REAL%/REAL});
$stations_table
INSERT INTO stations VALUES ('st-0','h','1.4.0','["S1=1-1"]','$now','$now'),
 ('st-1','h','1.4.0','["S1=1-1"]','$now','$now'), ('st-2','h','1.4.0','["S1=1-1"]','$now','$now');
WITH RECURSIVE c(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM c WHERE i < $rows - 1)
INSERT INTO updates (id, started_utc, ended_utc, host, slot, port, serial, identity, result,
 exit_status, image_pair, boot_loader_s, station)
SELECT printf('00000000-0000-4000-8000-%012d', i),
 strftime('%Y-%m-%dT%H:%M:%fZ', '$now', printf('-%f seconds', ($rows - i) * $step / 1000.0)),
 strftime('%Y-%m-%dT%H:%M:%fZ', '$now', printf('-%f seconds', ($rows - i) * $step / 1000.0 - 35)),
 'h', 'S' || (1 + i % 8), '1-' || (1 + i % 8), 'U-' || abs(random() % ($rows * 9 / 10)),
 'TRM415 V0104P 20210630',
 CASE WHEN i % 1000 < 930 THEN 'ok' WHEN i % 1000 < 960 THEN 'refused'
      WHEN i % 1000 < 975 THEN 'boot-loader error' WHEN i % 1000 < 995 THEN 'unit lost'
      ELSE 'time-out' END,
 CASE WHEN i % 1000 < 930 THEN 0 ELSE 1 END, 1, 20.5, 'st-' || (i % 3)
FROM c;
CREATE INDEX updates_serial ON updates (serial);
CREATE INDEX updates_started ON updates (started_utc);
PRAGMA user_version=2;
SQL
}

make_pg() { # DB
    psql -d postgres -c "CREATE DATABASE $1" >/dev/null
    psql -d "$1" >/dev/null <<SQL
CREATE TABLE updates (${v2_columns//%REAL%/DOUBLE PRECISION});
$stations_table
CREATE TABLE trm415_schema (version INTEGER NOT NULL);
INSERT INTO trm415_schema VALUES (2);
INSERT INTO stations VALUES ('st-0','h','1.4.0','["S1=1-1"]','$now','$now'),
 ('st-1','h','1.4.0','["S1=1-1"]','$now','$now'), ('st-2','h','1.4.0','["S1=1-1"]','$now','$now');
INSERT INTO updates (id, started_utc, ended_utc, host, slot, port, serial, identity, result,
 exit_status, image_pair, boot_loader_s, station)
SELECT format('00000000-0000-4000-8000-%s', lpad(i::text, 12, '0')),
 to_char(('$now'::timestamptz - (($rows - i) * $step) * interval '1 millisecond') AT TIME ZONE 'UTC',
   'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'),
 to_char(('$now'::timestamptz - (($rows - i) * $step - 35000) * interval '1 millisecond') AT TIME ZONE 'UTC',
   'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'),
 'h', 'S' || (1 + i % 8), '1-' || (1 + i % 8), 'U-' || floor(random() * ($rows * 9 / 10))::bigint,
 'TRM415 V0104P 20210630',
 CASE WHEN i % 1000 < 930 THEN 'ok' WHEN i % 1000 < 960 THEN 'refused'
      WHEN i % 1000 < 975 THEN 'boot-loader error' WHEN i % 1000 < 995 THEN 'unit lost'
      ELSE 'time-out' END,
 CASE WHEN i % 1000 < 930 THEN 0 ELSE 1 END, 1, 20.5, 'st-' || (i % 3)
FROM generate_series(0::bigint, $rows - 1) AS i;
CREATE INDEX updates_serial ON updates (serial);
CREATE INDEX updates_started ON updates (started_utc);
ANALYZE updates;
SQL
}

./tests/records/pg-server.sh start "$pg" >/dev/null
port=$(cat "$pg/port")
psql() { /usr/bin/psql -h 127.0.0.1 -p "$port" -U trm415 -At -v ON_ERROR_STOP=1 "$@"; }

verdict() { # VALUE GOAL(<=): met or NO
    awk -v v="$1" -v g="$2" 'BEGIN{print (v <= g) ? "met" : "NO"}'
}
row() { printf "| %-58s | %-26s | %-12s | %s |\n" "$1" "$2" "$3" "$4"; }
rss() { awk '/VmRSS/{print int($2/1024)}' "/proc/$1/status"; }
# percentile FILE P: the P-th percentile (ms) of the seconds in FILE
percentile() { sort -n "$1" | awk -v p="$2" '{a[NR]=$1} END{i=int(NR*p/100+0.999); if(i<1)i=1; printf "%.1f", a[i]*1000}'; }
# times URL N FILE: N requests, each one's total time (s) into FILE
times() { : >"$3"; for _ in $(seq "$2"); do curl -s -o /dev/null -w '%{time_total}\n' "$1" >>"$3"; done; }

bench_backend() { # NAME URI
    local name=$1 uri=$2
    echo
    echo "== $name, $rows rows"
    local t0 t1
    t0=$(date +%s.%N)
    # Opening for writing upgrades the store to the last schema (the migration).
    "$run" --simulate=absent --timeout=1 --records="$uri" >/dev/null 2>"$work/migrate.err" || true
    t1=$(date +%s.%N)
    local migrate; migrate=$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.1f", b-a-1}')
    local hport=$(( 20000 + RANDOM % 20000 ))
    "$station" --simulate=1 --records="$uri" --name=bench --http=127.0.0.1:$hport --json \
        >"$work/station.json" 2>"$work/station.err" &
    local spid=$!
    for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$hport/api/slots" && break; sleep 0.2; done
    sleep 2
    local idle; idle=$(rss $spid)
    local peak=$idle
    watch_rss() { while kill -0 $spid 2>/dev/null; do r=$(rss $spid); [ "$r" -gt "$(cat "$work/peak")" ] && echo "$r" >"$work/peak"; sleep 0.1; done; }
    echo "$idle" >"$work/peak"
    watch_rss & local wpid=$!
    local base="http://127.0.0.1:$hport"
    local serial; serial=$(curl -s "$base/api/records?limit=1&before=2026-01-01T00:00:00.000Z,z" |
        python3 -c 'import json,sys; print(json.load(sys.stdin)["records"][0]["serial"])')
    times "$base/api/records?serial=$serial" 5 "$work/warm"
    times "$base/api/records?serial=$serial" 200 "$work/serial"
    times "$base/api/records" 100 "$work/first"
    # Page 100: 99 pages of 500 walked by their cursor first.
    local cursor=""
    for _ in $(seq 99); do
        cursor=$(curl -s "$base/api/records${cursor:+?before=$cursor}" |
            python3 -c 'import json,sys,urllib.parse; print(urllib.parse.quote(json.load(sys.stdin)["next"]))')
    done
    times "$base/api/records?before=$cursor" 100 "$work/page100"
    times "$base/api/records?station=st-1&result=failed&since=$yesterday" 100 "$work/failures"
    times "$base/api/line" 50 "$work/line"
    times "$base/metrics" 50 "$work/metrics"
    # The CSV of the last 1,000,000 rows, and the station's memory meanwhile.
    local since; since=$(python3 -c "import datetime; print((datetime.datetime.strptime('$now', '%Y-%m-%dT%H:%M:%S.000Z') - datetime.timedelta(milliseconds=1000000 * $step)).strftime('%Y-%m-%dT%H:%M:%S'))")
    echo "$idle" >"$work/peak"
    t0=$(date +%s.%N)
    local lines; lines=$(curl -s "$base/api/records.csv?since=$since" | wc -l)
    t1=$(date +%s.%N)
    local csv_rate; csv_rate=$(awk -v n="$lines" -v a="$t0" -v b="$t1" 'BEGIN{printf "%.0f", (n-1)/(b-a)}')
    local csv_growth=$(( $(cat "$work/peak") - idle ))
    kill $wpid 2>/dev/null || true
    local most; most=$(cat "$work/peak")
    kill -INT $spid; kill -INT $spid 2>/dev/null || true; wait $spid 2>/dev/null || true
    # The report as a whole process.
    : >"$work/report"
    for _ in $(seq 5); do
        /usr/bin/time -f '%e %M' -a -o "$work/report" "$station" --report --serial="$serial" --records="$uri" >/dev/null
    done
    local report_s; report_s=$(sort -n "$work/report" | awk 'NR==3{print $1}')
    local report_mb; report_mb=$(sort -n -k2 "$work/report" | awk 'END{printf "%.0f", $2/1024}')

    row "figure ($name, $rows rows)" "measured" "goal" "met"
    row "one serial's history, p50 / p99" "$(percentile "$work/serial" 50) / $(percentile "$work/serial" 99) ms" "p99 <= 20 ms" "$(verdict "$(percentile "$work/serial" 99)" 20)"
    row "Records view, first page (500 newest), p50 / p99" "$(percentile "$work/first" 50) / $(percentile "$work/first" 99) ms" "p99 <= 50 ms" "$(verdict "$(percentile "$work/first" 99)" 50)"
    row "Records view, page 100 by cursor, p50 / p99" "$(percentile "$work/page100" 50) / $(percentile "$work/page100" 99) ms" "p99 <= 50 ms" "$(verdict "$(percentile "$work/page100" 99)" 50)"
    row "failures of one station since yesterday, p50 / p99" "$(percentile "$work/failures" 50) / $(percentile "$work/failures" 99) ms" "p99 <= 100 ms" "$(verdict "$(percentile "$work/failures" 99)" 100)"
    row "/api/line, p50 / p99" "$(percentile "$work/line" 50) / $(percentile "$work/line" 99) ms" "<= 100 ms" "$(verdict "$(percentile "$work/line" 99)" 100)"
    row "/metrics, p50 / p99" "$(percentile "$work/metrics" 50) / $(percentile "$work/metrics" 99) ms" "<= 50 ms" "$(verdict "$(percentile "$work/metrics" 99)" 50)"
    row "--report --serial=X, whole process (median of 5)" "$report_s s, $report_mb MiB" "<= 0.3 s" "$(verdict "$report_s" 0.3)"
    row "CSV export of 1,000,000 rows" "$csv_rate rows/s, +$csv_growth MiB" ">= 100000 rows/s, <= 32 MiB" "$(awk -v r="$csv_rate" -v g="$csv_growth" 'BEGIN{print (r>=100000 && g<=32) ? "met" : "NO"}')"
    row "station memory above idle ($idle MiB), any of the above" "+$(( most - idle )) MiB" "<= 64 MiB" "$(verdict $(( most - idle )) 64)"
    row "the migration from schema 2 (indexes made)" "$migrate s" "stated" "-"
}

echo "== generating $rows rows on SQLite and PostgreSQL"
t0=$(date +%s)
make_sqlite "$work/history.sqlite"
echo "   SQLite: $(( $(date +%s) - t0 )) s, $(du -m "$work/history.sqlite" | cut -f1) MiB"
t0=$(date +%s)
make_pg history
echo "   PostgreSQL: $(( $(date +%s) - t0 )) s"

bench_backend SQLite "$work/history.sqlite"
bench_backend PostgreSQL "postgresql://trm415@127.0.0.1:$port/history"

# Eight units updating while a client asks for a serial's history in a loop, against
# the same eight without the client (SQLite store above).
echo
echo "== 8 simulated units, with and without a client asking in a loop"
units_round() { # OUT LOOP(0|1)
    local hport=$(( 20000 + RANDOM % 20000 ))
    "$station" --simulate=8 --units=8 --records="$work/history.sqlite" --name=units \
        --http=127.0.0.1:$hport --json >"$1" 2>/dev/null &
    local spid=$! cpid=""
    if [ "$2" = 1 ]; then
        ( while kill -0 $spid 2>/dev/null; do
              curl -s -o /dev/null "http://127.0.0.1:$hport/api/records?serial=U-4242" || sleep 0.1
          done ) & cpid=$!
    fi
    wait $spid || true
    [ -n "$cpid" ] && wait "$cpid" 2>/dev/null || true
}
units_round "$work/quiet.json" 0
units_round "$work/busy.json" 1
python3 - "$work/quiet.json" "$work/busy.json" <<'PY'
import json, sys
def times(path):
    out = {}
    for line in open(path):
        o = json.loads(line)
        if o.get("event") == "result":
            out[o["slot"]] = o["elapsed_s"]
    return out
quiet, busy = times(sys.argv[1]), times(sys.argv[2])
worst = max(busy[s] / quiet[s] for s in quiet)
print("| %-58s | %-26s | %-12s | %s |" % ("each unit with the client / without (worst of 8)",
      "%.4f" % worst, "<= 1.01", "met" if worst <= 1.01 else "NO"))
PY
