#!/usr/bin/env bash
# lapid against redis-server on the same machine, in the same run: LAPI_BLOCK round
# trips per second (bench/lapid_bench, LAPI_GetStatus) next to PING requests per
# second (redis-benchmark), both over Unix-domain sockets, with 10 and 50 client
# connections each.
#
#   scripts/bench_lapid_vs_redis.sh [BUILD_DIR]
#
# BUILD_DIR (default: build-bench in the source tree) is configured as a Release
# build with the benchmarks, and lapid and lapid_bench are built there.
# Environment: BENCH_SECONDS (default 5) is the length of each lapid run,
# REDIS_REQUESTS (default 200000) the number of requests of each redis-benchmark run,
# BENCH_CLIENTS (default "10 50") the connection counts.
#
# redis-server is installed with apt-get when it is missing (this benchmark only; the
# tests never need it). The script starts its own lapid (database and control socket
# in a temporary directory) and its own redis-server (port 0, a Unix socket in the
# same directory), sends their standard error and the library's trace to /dev/null,
# and stops exactly those two processes at the end. lapid needs the service socket
# "/tmp/lapisock": the script gives up when another server holds it.
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$src/build-bench}
seconds=${BENCH_SECONDS:-5}
requests=${REDIS_REQUESTS:-200000}
read -r -a counts <<<"${BENCH_CLIENTS:-10 50}"

if ! command -v redis-server >/dev/null || ! command -v redis-benchmark >/dev/null; then
    echo "installing redis-server for the benchmark"
    if [ "$(id -u)" -eq 0 ]; then
        apt-get install -y redis-server
    else
        sudo apt-get install -y redis-server
    fi
fi

generator=()
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null; then
    generator=(-G Ninja)
fi
cmake -S "$src" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DLAPI_BUILD_BENCH=ON -DLAPI_BUILD_TESTS=OFF -DLAPI_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" --target lapid lapid_bench -j2 >/dev/null
lapid="$build/server/lapid"
bench="$build/bench/lapid_bench"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/lapid-bench-XXXXXX")
lapid_pid=""
redis_pid=""
cleanup() {
    for pid in $lapid_pid $redis_pid; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in $lapid_pid $redis_pid; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$lapid" --db "$tmp/gpsdb.sqlite" --control "$tmp/lapid.ctl" >/dev/null 2>&1 &
lapid_pid=$!
redis-server --port 0 --unixsocket "$tmp/redis.sock" --unixsocketperm 700 \
    --save "" --appendonly no --dir "$tmp" >/dev/null 2>&1 &
redis_pid=$!

lapid_alive() {
    kill -0 "$lapid_pid" 2>/dev/null
}
for _ in $(seq 100); do
    if [ -S "$tmp/lapid.ctl" ] || ! lapid_alive; then
        break
    fi
    sleep 0.1
done
sleep 0.3
if ! lapid_alive || [ ! -S "$tmp/lapid.ctl" ] || [ ! -S /tmp/lapisock ]; then
    echo "lapid did not start (is /tmp/lapisock held by another server?)" >&2
    exit 1
fi
# The service socket must stay ours for the whole run.
sock_inode=$(stat -c %i /tmp/lapisock)
still_ours() {
    lapid_alive && [ "$(stat -c %i /tmp/lapisock 2>/dev/null)" = "$sock_inode" ]
}
for _ in $(seq 100); do
    if redis-cli -s "$tmp/redis.sock" ping >/dev/null 2>&1; then
        break
    fi
    sleep 0.1
done

# The figure of one lapid_bench run (round trips per second), its line on stderr.
# $1 clients, $2 the call: status (through the library) or raw-status (a minimal
# client on the registered socket, as redis-benchmark is for redis).
lapid_rate() {
    local line
    line=$("$bench" --clients "$1" --call "$2" --seconds "$seconds" 2>/dev/null |
        grep '^lapid_bench:' | tail -1)
    echo "  $line" >&2
    if [[ "$line" != *" errors=0 "* ]]; then
        echo "  warning: lapid_bench saw failed calls; the figure is not valid" >&2
    fi
    if ! still_ours; then
        echo "lapid died or /tmp/lapisock was taken over during the run" >&2
        exit 1
    fi
    sed -n 's/.*rate=\([0-9.]*\).*/\1/p' <<<"$line"
}

# "INLINE MBULK": PING requests per second of one redis-benchmark run.
redis_rates() {
    local csv inline mbulk
    csv=$(redis-benchmark -s "$tmp/redis.sock" -t ping -c "$1" -n "$requests" --csv 2>/dev/null)
    inline=$(sed -n 's/^"PING_INLINE","\([0-9.]*\)".*/\1/p' <<<"$csv")
    mbulk=$(sed -n 's/^"PING_MBULK","\([0-9.]*\)".*/\1/p' <<<"$csv")
    echo "  redis-benchmark -c $1: PING_INLINE $inline/s PING_MBULK $mbulk/s" >&2
    echo "$inline $mbulk"
}

echo "$("$lapid" --version 2>/dev/null | head -1), $(redis-server --version | cut -d' ' -f1-3)"
echo "$(nproc) CPUs, ${seconds} s per lapid run, ${requests} requests per redis run"
results=()
for c in "${counts[@]}"; do
    l=$(lapid_rate "$c" status)
    raw=$(lapid_rate "$c" raw-status)
    read -r ri rm <<<"$(redis_rates "$c")"
    results+=("$c $l $raw $ri $rm")
done

echo
printf '%-8s %16s %16s %14s %14s %10s %10s\n' clients "lapid (library)" "lapid (raw)" \
    "redis INLINE" "redis MBULK" "lib/redis" "raw/redis"
for r in "${results[@]}"; do
    read -r c l raw ri rm <<<"$r"
    ratio=$(awk -v a="$l" -v b="$rm" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')
    rawratio=$(awk -v a="$raw" -v b="$rm" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')
    printf '%-8s %16.0f %16.0f %14.0f %14.0f %10s %10s\n' "$c" "$l" "$raw" "$ri" "$rm" "$ratio" \
        "$rawratio"
done
echo "(round trips or requests per second; ratios against redis PING_MBULK. library: the"
echo " client calls LAPI_GetStatus, traced on its side too; raw: a minimal client on the"
echo " registered socket, as redis-benchmark is for redis)"
