#!/usr/bin/env bash
# Replays a recorded NMEA 0183 log through a real gpsd into lapid, so that anyone can
# reproduce a walk or a drive:
#
#   scripts/replay.sh [--rate N] [--loop] FILE.nmea [lapid options...]
#
#   --rate N   N times faster than recorded (default 1: the recorded pace)
#   --loop     serve the log again and again (times keep counting up); without it the
#              feed ends with the log, and lapid keeps the last fix as last known position
#
# It starts, each in a process group of its own:
#   scripts/nmea_feed.py  serving FILE on a free loopback port
#   gpsd                  in the foreground, listening on loopback only (port GPSD_PORT,
#                         default a free one), with the feeder as its device (tcp://)
#   lapid                 --source gpsd on that gpsd; --db and --control in a temporary
#                         folder unless given; the other lapid options are passed on
# and prints what to run next. Ctrl-C (or SIGTERM) stops all three; so does lapid
# ending. lapid listens on /tmp/lapisock: the replay cannot start while another server
# answers there.
#
# Binaries: LAPID (default $BUILD_DIR/server/lapid, BUILD_DIR default build/), LAPICTL
# (default $BUILD_DIR/tools/lapictl/lapictl), GPSD (default gpsd from PATH or /usr/sbin).
# shellcheck disable=SC2317  # cleanup and the await checks run indirectly (trap, "$@")
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
LAPID="${LAPID:-$BUILD_DIR/server/lapid}"
LAPICTL="${LAPICTL:-$BUILD_DIR/tools/lapictl/lapictl}"
GPSD="${GPSD:-$(command -v gpsd || echo /usr/sbin/gpsd)}"

usage() {  # usage [STATUS]: the head of this file; exit status 2 unless given
    sed -n '4,10p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
    exit "${1:-2}"
}
say() { printf 'replay: %s\n' "$*"; }

RATE=1
LOOP=()
while [[ $# -gt 0 ]]; do
    case "$1" in
        --rate) [[ $# -ge 2 ]] || usage; RATE="$2"; shift 2 ;;
        --loop) LOOP=(--loop); shift ;;
        -h | --help) usage 0 ;;
        *) break ;;
    esac
done
[[ $# -ge 1 ]] || usage
LOG_FILE="$1"
shift
[[ -r "$LOG_FILE" ]] || { echo "replay: cannot read $LOG_FILE" >&2; exit 2; }
[[ -x "$LAPID" ]] || { echo "replay: no lapid at $LAPID (build it, or set LAPID)" >&2; exit 2; }
[[ -x "$GPSD" ]] || { echo "replay: no gpsd at $GPSD (apt-get install gpsd, or set GPSD)" >&2; exit 2; }

WORK="$(mktemp -d "${TMPDIR:-/tmp}/lapi-replay.XXXXXX")"
PGIDS=()  # the process groups started, each led by its first process
cleanup() {
    trap - EXIT INT TERM
    local pg
    for pg in "${PGIDS[@]}"; do
        kill -TERM -- "-$pg" 2>/dev/null || true
    done
    for pg in "${PGIDS[@]}"; do
        wait "$pg" 2>/dev/null || true
    done
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# start NAME COMMAND...: runs COMMAND in a new process group (setsid execs in place: a
# background job is no group leader), standard error into $WORK/NAME.log.
start() {
    local name="$1"
    shift
    setsid "$@" 2>"$WORK/$name.log" &
    PGIDS+=("$!")
}
# await NAME COMMAND...: waits up to 10 s for COMMAND to succeed; else shows the log of
# NAME and exits.
await() {
    local name="$1" _
    shift
    for _ in $(seq 100); do
        "$@" && return 0
        sleep 0.1
    done
    echo "replay: $name did not start:" >&2
    cat "$WORK/$name.log" >&2
    exit 1
}
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
ready_or_gone() { grep -q "^lapid: ready" "$WORK/lapid.log" || ! kill -0 "$1" 2>/dev/null; }

start feeder python3 "$ROOT/scripts/nmea_feed.py" --rate "$RATE" "${LOOP[@]}" "$LOG_FILE" \
    >"$WORK/feed.port"
await feeder test -s "$WORK/feed.port"
FEED_PORT="$(head -n 1 "$WORK/feed.port")"

GPSD_PORT="${GPSD_PORT:-$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')}"
start gpsd "$GPSD" -N -n -b -S "$GPSD_PORT" "tcp://127.0.0.1:$FEED_PORT"
await gpsd listening "$GPSD_PORT"

LAPID_ARGS=(--source gpsd --gpsd-host 127.0.0.1 --gpsd-port "$GPSD_PORT")
CONTROL="$WORK/lapid.ctl"
[[ " $* " == *" --db "* ]] || LAPID_ARGS+=(--db "$WORK/gpsdb.sqlite")
if [[ " $* " == *" --control "* ]]; then
    CONTROL="(the --control you gave)"
else
    LAPID_ARGS+=(--control "$CONTROL")
fi
start lapid "$LAPID" "${LAPID_ARGS[@]}" "$@"
LAPID_PID="${PGIDS[-1]}"
await lapid ready_or_gone "$LAPID_PID"
grep -q "^lapid: ready" "$WORK/lapid.log" || { cat "$WORK/lapid.log" >&2; exit 1; }

[[ -x "$LAPICTL" ]] || LAPICTL=lapictl
say "replaying $LOG_FILE at ${RATE}x: feeder on 127.0.0.1:$FEED_PORT, gpsd on 127.0.0.1:$GPSD_PORT, lapid ready"
say "lapid's log: $WORK/lapid.log (removed when the replay stops)"
say "now, in another terminal:"
echo "    $LAPICTL watch --interval 1"
echo "        (periodic reports along the route)"
echo "    $LAPICTL admin --control $CONTROL source"
echo "        (the gpsd connection as lapid sees it)"
echo "    gpspipe -w 127.0.0.1:$GPSD_PORT"
echo "        (gpsd's own reports)"
say "Ctrl-C stops the feeder, gpsd and lapid"

# Until lapid ends or a signal comes (wait returns early for a trapped signal).
rc=0
wait "$LAPID_PID" || rc=$?
say "lapid ended (status $rc)"
exit "$rc"
