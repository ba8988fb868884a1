"""Checks the track files of `lapictl --json watch --gpx GPX --geojson GEOJSON` against the
reports that lapictl printed: check_track.py STDOUT GPX GEOJSON. Exit 0 when both files are
whole documents holding exactly the fixes printed, in order; otherwise the first difference."""
import datetime
import json
import sys
import xml.etree.ElementTree as ET

GPX = "{http://www.topografix.com/GPX/1/1}"
OURS = "{urn:lapi:track:1}"
EXTRAS = ["horizontalAccuracy", "verticalAccuracy", "speed", "course"]


def iso(ms):
    t = datetime.datetime.fromtimestamp(ms // 1000, datetime.timezone.utc)
    return t.strftime("%Y-%m-%dT%H:%M:%S") + (".%03d" % (ms % 1000) if ms % 1000 else "") + "Z"


def main(out, gpx, geojson):
    fixes = [m for m in map(json.loads, open(out))
             if m["msg"] == "getLocationRsp" and m["cause"] != 1]
    assert fixes, "no fix printed"
    root = ET.parse(gpx).getroot()  # fails unless the file is whole, well-formed XML
    assert root.tag == GPX + "gpx" and root.get("version") == "1.1", root.attrib
    (seg,) = root.find(GPX + "trk").findall(GPX + "trkseg")
    points = seg.findall(GPX + "trkpt")
    assert len(points) == len(fixes), (len(points), len(fixes))
    for p, f in zip(points, fixes):
        got = [float(p.get("lat")), float(p.get("lon")), float(p.findtext(GPX + "ele")),
               p.findtext(GPX + "time")]
        got += [float(p.find(GPX + "extensions").findtext(OURS + k)) for k in EXTRAS]
        want = [f["latitude"], f["longitude"], f["altitude"], iso(f["timeStamp"])]
        assert got == want + [f[k] for k in EXTRAS], (got, want)
    doc = json.load(open(geojson))
    line = [[f["longitude"], f["latitude"], f["altitude"]] for f in fixes]
    geometry = {"type": "LineString", "coordinates": line} if len(fixes) > 1 else None
    assert doc["type"] == "Feature" and doc["geometry"] == geometry, (doc, geometry)
    props = doc["properties"]
    assert props["times"] == [iso(f["timeStamp"]) for f in fixes], props
    for k in EXTRAS:
        assert props[k] == [f[k] for f in fixes], (k, props[k])


if __name__ == "__main__":
    main(*sys.argv[1:])
