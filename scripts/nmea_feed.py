#!/usr/bin/env python3
"""Serves an NMEA 0183 log over TCP on loopback, at the pace it was recorded.

    scripts/nmea_feed.py [--port N] [--rate R] [--loop] [--max-seconds S]
                         [--hold-at S[,S...]] FILE.nmea

It listens on 127.0.0.1 only (port N; 0, the default, picks a free one) and writes the
port as the first line of standard output, so that a caller can read it. Diagnostics go
to standard error. Each client that connects (gpsd with `tcp://127.0.0.1:PORT` as its
device) is served the log from its start, in cycles: a cycle is the sentences that share
one UTC time (a sentence without a time belongs to the cycle before it). Cycle k goes out
(t_k - t_0) / R seconds after the first, so R = 1 replays the recording as it happened
and R = 8 eight times faster. Lines starting with '#' and blank lines are skipped; each
sentence is sent with CR LF.

Every pass over the log after the feeder's first one (another loop, or a client that
connects again, such as a gpsd that was restarted) has its times (and RMC dates) moved
later by the log's length times the passes before it, checksums written anew: the times
a client sees never go back.

Ends by itself: without --loop once a client has been served the whole log; with --loop
(passes without end) only after --max-seconds (default: none without --loop, 3600 with
it). SIGTERM and SIGINT end it at once, closing every connection; the exit status is 0.

--hold-at S,... is for tests that must act before a part of the log reaches the client:
the feed stops before the cycle at S seconds after the log's start (0: before the first
sentence) and goes on when the feeder receives SIGUSR1, one SIGUSR1 per hold. Each hold
stops the first pass that reaches it; later passes go through.
"""

import argparse
import datetime
import signal
import socket
import sys
import threading
import time

TIMED = {"RMC": 1, "GGA": 1, "GLL": 5, "GNS": 1, "GST": 1, "ZDA": 1}  # sentence -> time field


def checksummed(body):
    checksum = 0
    for ch in body.encode("ascii", "replace"):
        checksum ^= ch
    return f"${body}*{checksum:02X}"


def fields_of(line):
    body = line[1:].split("*", 1)[0] if line.startswith(("$", "!")) else ""
    return body.split(",") if body else []


def seconds_of(hms):
    try:
        return int(hms[0:2]) * 3600 + int(hms[2:4]) * 60 + float(hms[4:])
    except ValueError:
        return None


def load(path):
    """The log's cycles as (seconds after the first cycle, [lines])."""
    cycles, last, offset, base = [], None, 0.0, None
    with open(path, encoding="ascii", errors="replace") as f:
        for raw in f:
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            fields = fields_of(line)
            kind = fields[0][2:] if fields else ""
            when = None
            if kind in TIMED and len(fields) > TIMED[kind]:
                when = seconds_of(fields[TIMED[kind]])
            if when is not None and when != last:
                if last is not None and when < last:
                    offset += 86400  # past midnight
                if base is None:
                    base = when
                    if cycles:  # sentences before the first time open the first cycle
                        last = when
                if when != last:
                    cycles.append((when + offset - base, []))
                last = when
            if not cycles:
                cycles.append((0.0, []))
            cycles[-1][1].append(line)
    return cycles


def shifted(line, shift):
    """`line` with its UTC time (and an RMC's date) `shift` seconds later."""
    fields = fields_of(line)
    kind = fields[0][2:] if fields else ""
    if shift == 0 or kind not in TIMED or len(fields) <= TIMED[kind]:
        return line
    i = TIMED[kind]
    hms = fields[i]
    when = seconds_of(hms)
    if when is None:
        return line
    frac = hms[6:]  # ".00" as written
    date_i = {"RMC": 9, "ZDA": 2}.get(kind)
    day = None
    if kind == "RMC" and len(fields) > 9 and len(fields[9]) == 6:
        day = datetime.datetime.strptime(fields[9], "%d%m%y")
    elif kind == "ZDA" and len(fields) > 4 and all(fields[2:5]):
        day = datetime.datetime(int(fields[4]), int(fields[3]), int(fields[2]))
    moved = datetime.datetime(2000, 1, 1) + datetime.timedelta(seconds=int(when) + shift)
    fields[i] = moved.strftime("%H%M%S") + frac
    if day is not None:
        day += datetime.timedelta(days=(moved - datetime.datetime(2000, 1, 1)).days)
        if kind == "RMC":
            fields[date_i] = day.strftime("%d%m%y")
        else:
            fields[2:5] = [day.strftime("%d"), day.strftime("%m"), day.strftime("%Y")]
    return checksummed(",".join(fields))


class Feeder:
    def __init__(self, cycles, rate, loop, holds):
        self.cycles = cycles
        self.rate = rate
        self.loop = loop
        self.period = round(cycles[-1][0] + 1) if cycles else 0  # 1 Hz logs: last + 1 s
        self.holds = {h: threading.Event() for h in holds}
        self.held = set()  # holds some pass has stopped at
        self.pending = sorted(holds)  # holds not yet released, in order
        self.passes = 0
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.done = threading.Event()  # a client was served the whole log (no --loop)

    def release(self, *_):
        with self.lock:
            if self.pending:
                self.holds[self.pending.pop(0)].set()

    def next_pass(self):
        with self.lock:
            n = self.passes
            self.passes += 1
            return n

    def hold(self, at):
        """Waits at a hold the first time a pass reaches it: "held", "passed", or "stop"."""
        with self.lock:
            event = self.holds.get(at)
            if event is None or at in self.held:
                return "passed"
            self.held.add(at)
        log(f"holding before {at:g} s of the log until SIGUSR1")
        while not event.wait(0.2):
            if self.stop.is_set():
                return "stop"
        return "held"

    def serve(self, conn, peer):
        log(f"client {peer} connected")
        sent = 0
        try:
            while not self.stop.is_set():
                shift = self.next_pass() * self.period
                start, first = time.monotonic(), 0.0
                for at, lines in self.cycles:
                    held = self.hold(at)
                    if held == "stop":
                        return
                    if held == "held":  # the pace starts again from here
                        start, first = time.monotonic(), at
                    delay = start + (at - first) / self.rate - time.monotonic()
                    if delay > 0 and self.stop.wait(delay):
                        return
                    data = "".join(shifted(line, shift) + "\r\n" for line in lines)
                    conn.sendall(data.encode("ascii", "replace"))
                    sent += 1
                if not self.loop:
                    self.done.set()
                    return
        except OSError as e:
            log(f"client {peer}: {e.strerror or e}")
        finally:
            conn.close()
            log(f"client {peer} gone after {sent} cycles")


def log(text):
    print(f"nmea_feed: {text}", file=sys.stderr, flush=True)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n")[0],
        epilog="See the head of this script for the details.")
    parser.add_argument("file", help="the NMEA log")
    parser.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1 (0: any free)")
    parser.add_argument("--rate", type=float, default=1.0, help="speed-up (default 1)")
    parser.add_argument("--loop", action="store_true", help="serve the log again and again")
    parser.add_argument("--max-seconds", type=float, help="end after this long")
    parser.add_argument("--hold-at", default="", help="log offsets (s) to wait at for SIGUSR1")
    args = parser.parse_args()
    if args.rate <= 0:
        parser.error("--rate must be above 0")
    try:
        holds = [float(h) for h in args.hold_at.split(",") if h]
    except ValueError:
        parser.error("--hold-at takes seconds, separated by commas")
    cycles = load(args.file)
    if not cycles:
        parser.error(f"{args.file} holds no NMEA sentences")
    limit = args.max_seconds if args.max_seconds is not None else (3600 if args.loop else None)

    feeder = Feeder(cycles, args.rate, args.loop, holds)
    signal.signal(signal.SIGTERM, lambda *_: feeder.stop.set())
    signal.signal(signal.SIGINT, lambda *_: feeder.stop.set())
    signal.signal(signal.SIGUSR1, feeder.release)

    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", args.port))
    server.listen(4)
    server.settimeout(0.2)
    print(server.getsockname()[1], flush=True)
    log(f"{len(cycles)} cycles from {args.file}, rate {args.rate:g}"
        f"{', looping' if args.loop else ''} on 127.0.0.1:{server.getsockname()[1]}")

    began = time.monotonic()
    clients = []
    while not feeder.stop.is_set() and not feeder.done.is_set():
        if limit is not None and time.monotonic() - began >= limit:
            log(f"stopping after {limit:g} s")
            break
        try:
            conn, peer = server.accept()
        except socket.timeout:
            continue
        except InterruptedError:
            continue
        thread = threading.Thread(target=feeder.serve, args=(conn, f"{peer[0]}:{peer[1]}"),
                                  daemon=True)
        thread.start()
        clients.append(thread)
    feeder.stop.set()
    server.close()
    for thread in clients:
        thread.join(2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
