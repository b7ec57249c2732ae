#!/usr/bin/env bash
# A private PostgreSQL 15 server for the tests: initdb into DIR as an unprivileged user
# (nobody when run as root), a Unix socket in DIR and a loopback port, trust
# authentication for the role trm415. Never a server of the machine's.
#   pg-server.sh start DIR   (writes DIR/port)
#   pg-server.sh stop DIR
set -euo pipefail
cmd=${1:?start or stop}
dir=${2:?DIR}
bin=/usr/lib/postgresql/15/bin
as=()
if [ "$(id -u)" -eq 0 ]; then as=(runuser -u nobody --); fi
case "$cmd" in
start)
    if [ -f "$dir/data/postmaster.pid" ]; then "$0" stop "$dir" || true; fi
    rm -rf "$dir"
    mkdir -p "$dir"
    if [ "$(id -u)" -eq 0 ]; then chown nobody "$dir"; fi
    "${as[@]}" "$bin/initdb" -D "$dir/data" -U trm415 --auth=trust -E UTF8 --no-sync >"$dir/initdb.log" 2>&1
    for port in $(seq 54150 54250); do
        if "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
            -o "-k $dir -p $port -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null 2>&1; then
            echo "$port" >"$dir/port"
            echo "pg-server: PostgreSQL 15 on 127.0.0.1:$port and $dir"
            exit 0
        fi
    done
    echo "pg-server: cannot start PostgreSQL (see $dir/server.log)" >&2
    exit 1
    ;;
stop)
    # A server left stopped by a fault test is woken first, or it never stops.
    if [ -f "$dir/data/postmaster.pid" ]; then
        pid=$(head -n 1 "$dir/data/postmaster.pid")
        kill -CONT "$pid" $(pgrep -P "$pid" || true) 2>/dev/null || true
    fi
    "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    ;;
esac
