#!/usr/bin/env bash
# A walk through the whole stack: builds lapid and lapictl, starts lapid with the
# built-in simulator and a throw-away GPS database, runs every capability once with
# lapictl, and stops the server again; then replays a recorded walk through gpsd into a
# lapid on --source gpsd (scripts/replay.sh) and watches it.
#
#   scripts/demo.sh            (build directory: build; BUILD_DIR=... to change it,
#                               JOBS=N for the build's parallelism, default 2)
#
# lapid listens on the fixed socket /tmp/lapisock: the demo stops at once when another
# server already answers there.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
JOBS="${JOBS:-2}"

# Headings in bold on a terminal only: output kept in a file stays plain text.
say() {
    if [[ -t 1 ]]; then
        printf '\n\033[1m== %s\033[0m\n' "$*"
    else
        printf '\n== %s\n' "$*"
    fi
}
run() {
    printf '$ lapictl %s\n' "$*"
    "$LAPICTL" "$@"
}

"$ROOT/scripts/install-deps.sh"  # what building and running need; the tests' extras are left out

say "Building lapid and lapictl in $BUILD_DIR"
cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DLAPI_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" --target lapid lapictl -j "$JOBS"
LAPID="$BUILD_DIR/server/lapid"
LAPICTL="$BUILD_DIR/tools/lapictl/lapictl"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/lapi-demo.XXXXXX")"
CONTROL="$WORK/lapid.ctl"
LAPID_PID=""
BG_PID=""  # the lapictl that listens in the background, while it runs
REPLAY_PID=""  # scripts/replay.sh (feeder, gpsd and a lapid on gpsd), while it runs
cleanup() {
    if [[ -n "$BG_PID" ]]; then
        kill "$BG_PID" 2>/dev/null || true
    fi
    if [[ -n "$REPLAY_PID" ]]; then
        kill -TERM "$REPLAY_PID" 2>/dev/null || true
        wait "$REPLAY_PID" 2>/dev/null || true
    fi
    if [[ -n "$LAPID_PID" ]]; then
        kill -TERM "$LAPID_PID" 2>/dev/null || true
        wait "$LAPID_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

say "Starting lapid (simulator at Berlin, database in $WORK)"
"$LAPID" --db "$WORK/gpsdb.sqlite" --control "$CONTROL" --ttff 2 2>"$WORK/lapid.log" &
LAPID_PID=$!
for _ in $(seq 100); do
    grep -q '^lapid: ready' "$WORK/lapid.log" 2>/dev/null && break
    if ! kill -0 "$LAPID_PID" 2>/dev/null; then
        cat "$WORK/lapid.log" >&2
        LAPID_PID=""
        exit 1
    fi
    sleep 0.1
done
grep -q '^lapid: ready' "$WORK/lapid.log" || { echo "lapid did not start" >&2; exit 1; }
ADMIN=(admin --control "$CONTROL")

# A lapictl that waits for pushed messages runs in the background (bounded by
# --max-wait) while the control socket makes the event happen.
background() {
    printf '$ lapictl %s &\n' "$*"
    "$LAPICTL" --max-wait 20 "$@" &
    BG_PID=$!
    sleep 1  # let it register before the event
}
wait_background() {
    wait "$BG_PID"
    BG_PID=""
}

say "Status of the location subsystem"
run status

say "A single fix (waits for the simulator's first fix)"
run locate --timeout 10

say "The last known position, and the same as JSON for scripts"
run last
run --json last

say "Periodic reports: three, one per second"
run watch --interval 1 --count 3

say "GPS database: write two entries, read one back"
run db set 7=cafe 0x10=01020304
run db get 7

say "Distance and azimuth from New York (40.6, -73.8) to London (51.6, -0.5)"
run distance 40.6 -73.8 51.6 -0.5

say "A proximity listener around the Brandenburg Gate, hit when the position moves there"
run "${ADMIN[@]}" position 52.5200 13.3700
background proximity add 52.5163 13.3777 150 --wait --count 1
run "${ADMIN[@]}" position 52.5163 13.3777
wait_background

say "A network-initiated location request (MT-LR), answered by a listening client"
background mtlr --answer accept --count 1
printf '$ lapictl %s\n' "${ADMIN[*]} mtlr 1 name=Alice addr=tel:+49301234567"
REPLY_LINE="$("$LAPICTL" "${ADMIN[@]}" mtlr 1 name=Alice addr=tel:+49301234567)"
echo "$REPLY_LINE"
REQUEST="${REPLY_LINE#request }"
REQUEST="${REQUEST%% *}"  # "request 1 notified=0/0": the number only
wait_background
run "${ADMIN[@]}" mtlr-result "$REQUEST"

say "A status change reaches the client that follows the status"
background status --follow --count 1
run "${ADMIN[@]}" clients
run "${ADMIN[@]}" status emergencyStatus 1
wait_background

say "The server's counters"
run "${ADMIN[@]}" counters

say "Stopping lapid"
kill -TERM "$LAPID_PID"
wait "$LAPID_PID" && echo "lapid stopped cleanly"
LAPID_PID=""

say "A recorded walk replayed through gpsd into a lapid on --source gpsd (4 times faster)"
# scripts/replay.sh starts the NMEA feeder, gpsd and lapid; the walk passes through the
# proximity circle that tests/data/gpsd/route.json describes, then loses the fix for 8 s.
printf '$ scripts/replay.sh --rate 4 tests/data/gpsd/route.nmea --trace none &\n'
BUILD_DIR="$BUILD_DIR" "$ROOT/scripts/replay.sh" --rate 4 "$ROOT/tests/data/gpsd/route.nmea" \
    --trace none >"$WORK/replay.out" 2>&1 &
REPLAY_PID=$!
for _ in $(seq 100); do
    grep -qs '^replay: Ctrl-C' "$WORK/replay.out" && break
    kill -0 "$REPLAY_PID" 2>/dev/null || break
    sleep 0.1
done
grep -q '^replay: Ctrl-C' "$WORK/replay.out" || { cat "$WORK/replay.out" >&2; exit 1; }
read -r C_LAT C_LON C_RADIUS < <(python3 -c 'import json, sys; d = json.load(open(sys.argv[1]))
print(d["circle_lat"], d["circle_lon"], d["circle_radius_m"])' "$ROOT/tests/data/gpsd/route.json")
background proximity add "$C_LAT" "$C_LON" "$C_RADIUS" --wait --count 1
run watch --interval 1 --count 14
wait_background
kill -TERM "$REPLAY_PID"
wait "$REPLAY_PID" || true
REPLAY_PID=""
