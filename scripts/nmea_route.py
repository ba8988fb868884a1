#!/usr/bin/env python3
"""Writes the NMEA 0183 log of a short walk, for replaying through gpsd into lapid.

    scripts/nmea_route.py > route.nmea          the log (LF line ends)
    scripts/nmea_route.py --describe            what the log holds, as JSON
    scripts/nmea_route.py --check DIR           DIR/route.nmea and DIR/route.json are
                                                what this script writes (byte for byte)
    scripts/nmea_route.py --write DIR           writes both into DIR

The log is deterministic: one cycle a second (GSA, three GSV, RMC, GGA: gpsd
ends its cycle at the GGA and reports the DOPs of the same second) with UTC time
counting up from 2026-05-14 09:30:00, in four phases:

    acquisition  no fix (RMC status V, GGA quality 0, GSA mode 1, satellites without
                 signal), 6 s
    walk         1.4 m/s (2.721 kn) through Berlin's Tiergarten, 24 s on course 80 deg,
                 then on course 35 deg; the second leg passes through a proximity
                 circle of radius 8 m whose centre lies 3 m to the right of the path;
                 40 fixes
    loss         no fix again, 8 s (the walker goes on meanwhile)
    recovery     10 fixes further along the second leg

Positions are printed with 5 decimals of arc minutes (about 2 cm), altitude above mean
sea level with 1 decimal (GGA also carries the geoid separation, so altitude above the
ellipsoid = MSL + separation), HDOP and VDOP with 1 decimal (gpsd's error estimates eph
and epv grow with them), speed in knots with 3 decimals and course with 1 decimal (gpsd
turns them into speed in m/s and track). --describe gives every fix as it is printed,
the circle and when it is entered and left, and when the fix is lost and regained.
"""

import argparse
import datetime
import json
import math
import os
import sys

START = datetime.datetime(2026, 5, 14, 9, 30, 0, tzinfo=datetime.timezone.utc)
ACQUISITION_S = 6
WALK_S = 40
LOSS_S = 8
RECOVERY_S = 10
SPEED_KN = 2.721  # 1.4 m/s, as printed
KNOT_MPS = 1852.0 / 3600.0
START_LAT = 52.5144
START_LON = 13.3565
START_ALT_MSL = 34.0
GEOID_SEPARATION = 39.6  # metres, what a receiver in Berlin reports
LEGS = [(24, 80.0), (None, 35.0)]  # (seconds, course in degrees); the last leg runs on
CIRCLE_AT_S = 32  # the circle's centre: the walk's position after this many seconds ...
CIRCLE_RIGHT_M = 3.0  # ... moved this far to the right of the path
CIRCLE_RADIUS_M = 8.0
USED = [2, 5, 7, 9, 13, 15, 20, 30]  # PRNs in use while there is a fix
# PRN, elevation, azimuth, signal (dB-Hz) of the 12 satellites in view
SATELLITES = [
    (2, 41, 85, 44), (5, 67, 290, 47), (7, 23, 51, 38), (9, 12, 318, 33),
    (13, 54, 172, 45), (15, 30, 223, 41), (18, 8, 134, 0), (20, 72, 33, 46),
    (24, 5, 265, 0), (29, 16, 3, 0), (30, 36, 112, 42), (31, 3, 198, 0),
]

# WGS84
A = 6378137.0
F = 1 / 298.257223563
E2 = F * (2 - F)


def radii(lat):
    """Meridional and prime-vertical radii of curvature at `lat` (degrees)."""
    s = math.sin(math.radians(lat))
    w = math.sqrt(1 - E2 * s * s)
    return A * (1 - E2) / w ** 3, A / w


def move(lat, lon, course, dist):
    """The point `dist` metres from (lat, lon) on `course`: exact enough for metres."""
    m, n = radii(lat)
    dlat = math.degrees(dist * math.cos(math.radians(course)) / m)
    mid = lat + dlat / 2
    m, n = radii(mid)
    dlat = math.degrees(dist * math.cos(math.radians(course)) / m)
    dlon = math.degrees(dist * math.sin(math.radians(course)) / (n * math.cos(math.radians(mid))))
    return lat + dlat, lon + dlon


def distance(lat1, lon1, lat2, lon2):
    """Distance in metres between close points, on the ellipsoid's local radii."""
    m, n = radii((lat1 + lat2) / 2)
    dy = math.radians(lat2 - lat1) * m
    dx = math.radians(lon2 - lon1) * n * math.cos(math.radians((lat1 + lat2) / 2))
    return math.hypot(dx, dy)


def walk_position(t):
    """Latitude, longitude and course after t seconds of walking."""
    lat, lon, left = START_LAT, START_LON, t
    speed = SPEED_KN * KNOT_MPS
    for seconds, course in LEGS:
        if seconds is not None and left >= seconds:
            lat, lon = move(lat, lon, course, seconds * speed)
            left -= seconds
            continue
        lat, lon = move(lat, lon, course, left * speed)
        return lat, lon, course
    raise ValueError("the last leg must run on")


def minutes(value, degree_digits):
    """ddmm.mmmmm text and the value it stands for, in degrees."""
    deg = int(abs(value))
    mins = round((abs(value) - deg) * 60, 5)
    if mins >= 60:
        deg, mins = deg + 1, 0.0
    text = f"{deg:0{degree_digits}d}{mins:08.5f}"
    return text, math.copysign(deg + mins / 60, value)


def sentence(body):
    checksum = 0
    for ch in body.encode("ascii"):
        checksum ^= ch
    return f"${body}*{checksum:02X}"


def gsv(with_signal):
    out = []
    for i in range(3):
        fields = [f"GPGSV,3,{i + 1},{len(SATELLITES):02d}"]
        for prn, elev, azim, snr in SATELLITES[i * 4:i * 4 + 4]:
            fields.append(f"{prn:02d},{elev:02d},{azim:03d}," + (f"{snr:02d}" if with_signal and snr else ""))
        out.append(sentence(",".join(fields)))
    return out


def build():
    """The log's lines and its description."""
    lines, fixes = [], []
    speed_mps = SPEED_KN * KNOT_MPS
    c_lat, c_lon, c_course = walk_position(CIRCLE_AT_S)
    c_lat, c_lon = move(c_lat, c_lon, c_course + 90, CIRCLE_RIGHT_M)
    c_lat, c_lon = round(c_lat, 7), round(c_lon, 7)
    phases = [("acquisition", ACQUISITION_S), ("walk", WALK_S), ("loss", LOSS_S),
              ("recovery", RECOVERY_S)]
    s = 0
    for phase, length in phases:
        for _ in range(length):
            when = START + datetime.timedelta(seconds=s)
            hms = when.strftime("%H%M%S") + ".00"
            dmy = when.strftime("%d%m%y")
            if phase in ("acquisition", "loss"):
                lines += [sentence("GPGSA,A,1" + "," * 12 + ",99.9,99.9,99.9")] + gsv(False) + [
                    sentence(f"GPRMC,{hms},V,,,,,,,{dmy},,,N"),
                    sentence(f"GPGGA,{hms},,,,,0,00,99.9,,,,,,"),
                ]
            else:
                t = s - ACQUISITION_S  # seconds of walking, also during the loss
                lat, lon, course = walk_position(t)
                lat_text, lat_val = minutes(lat, 2)
                lon_text, lon_val = minutes(lon, 3)
                alt = round(START_ALT_MSL + 0.1 * (t // 2), 1)
                k = len([f for f in fixes if f["phase"] == phase])  # k-th fix of the phase
                hdop = max(0.9, round(2.4 / (1.5 ** k), 1))
                vdop = round(hdop * 1.5, 1)
                pdop = round(math.hypot(hdop, vdop), 1)
                lines += [
                    sentence("GPGSA,A,3," + ",".join(f"{p:02d}" for p in USED) +
                             "," * (12 - len(USED)) + f",{pdop:.1f},{hdop:.1f},{vdop:.1f}"),
                ] + gsv(True) + [
                    sentence(f"GPRMC,{hms},A,{lat_text},N,{lon_text},E,{SPEED_KN:.3f},"
                             f"{course:.1f},{dmy},,,A"),
                    sentence(f"GPGGA,{hms},{lat_text},N,{lon_text},E,1,{len(USED):02d},"
                             f"{hdop:.1f},{alt:.1f},M,{GEOID_SEPARATION:.1f},M,,"),
                ]
                d = distance(lat_val, lon_val, c_lat, c_lon)
                if abs(d - CIRCLE_RADIUS_M) < 0.3:
                    raise SystemExit(f"fix at {s} s lies {d:.2f} m from the circle's centre: "
                                     "too close to its edge to be sure which side lapid sees")
                fixes.append({
                    "s": s, "time_ms": int(when.timestamp()) * 1000,
                    "lat": round(lat_val, 9), "lon": round(lon_val, 9),
                    "alt_msl": alt, "alt_hae": round(alt + GEOID_SEPARATION, 1),
                    "speed": round(speed_mps, 6), "course": course, "hdop": hdop,
                    "vdop": vdop, "inside": d <= CIRCLE_RADIUS_M, "phase": phase,
                })
            s += 1
    inside = [f["s"] for f in fixes if f["inside"]]
    walk = [f for f in fixes if f["phase"] == "walk"]
    first = fixes[0]
    description = {
        "log": "route.nmea",
        "start_utc": START.strftime("%Y-%m-%dT%H:%M:%SZ"),
        "cycles": s,
        "period_s": s,
        "circle_lat": c_lat,
        "circle_lon": c_lon,
        "circle_radius_m": CIRCLE_RADIUS_M,
        "circle_entered_s": inside[0],
        "circle_left_s": inside[-1] + 1,
        "fix_first_s": first["s"],
        "fix_lost_s": walk[-1]["s"] + 1,
        "fix_regained_s": walk[-1]["s"] + 1 + LOSS_S,
        "satellites_visible": len(SATELLITES),
        "satellites_used": len(USED),
        "geoid_separation_m": GEOID_SEPARATION,
        "first_fix": {k: v for k, v in first.items() if k not in ("phase", "inside")},
        "fixes": [{k: v for k, v in f.items() if k != "phase"} for f in fixes],
    }
    if [f for f in fixes if f["inside"] and f["phase"] != "walk"] or len(inside) != \
            inside[-1] - inside[0] + 1:
        raise SystemExit("the route must enter the circle once, during the walk")
    return "".join(line + "\n" for line in lines), description


def describe_text(description):
    """JSON with one fix a line, so that diffs of the checked-in copy stay readable."""
    head = {k: v for k, v in description.items() if k != "fixes"}
    text = json.dumps(head, indent=2)[:-2] + ',\n  "fixes": [\n'
    text += ",\n".join("    " + json.dumps(f) for f in description["fixes"])
    return text + "\n  ]\n}\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--describe", action="store_true", help="print the description (JSON)")
    group.add_argument("--check", metavar="DIR", help="compare DIR/route.nmea and DIR/route.json")
    group.add_argument("--write", metavar="DIR", help="write DIR/route.nmea and DIR/route.json")
    args = parser.parse_args()
    log, description = build()
    files = {"route.nmea": log, "route.json": describe_text(description)}
    if args.describe:
        sys.stdout.write(files["route.json"])
    elif args.write:
        for name, text in files.items():
            with open(os.path.join(args.write, name), "w", encoding="ascii", newline="\n") as f:
                f.write(text)
    elif args.check:
        stale = []
        for name, text in files.items():
            path = os.path.join(args.check, name)
            try:
                with open(path, encoding="ascii", newline="") as f:
                    same = f.read() == text
            except OSError:
                same = False
            if not same:
                stale.append(path)
        for path in stale:
            print(f"{path} differs from what {sys.argv[0]} writes "
                  f"(regenerate: {sys.argv[0]} --write {args.check})", file=sys.stderr)
        return 1 if stale else 0
    else:
        sys.stdout.write(log)
    return 0


if __name__ == "__main__":
    sys.exit(main())
