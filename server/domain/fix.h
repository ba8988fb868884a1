// One position fix as the server produces it, and the state of the source that produces
// fixes. Units: degrees (WGS84) for latitude and longitude, metres for altitude and
// accuracies, m/s for speed, degrees clockwise from true north for directions and
// course, milliseconds since the Unix epoch (UTC) for timeStampMs.
#pragma once

#include <cstdint>

namespace lapid {

// Codes of the locationMethod field.
enum LocationMethod : int32_t {
    kMethodNone = 0,
    kMethodGnss = 1,       // satellite fix
    kMethodSimulated = 2,  // built-in simulator
    kMethodLastKnown = 3,  // replayed from the last known position
};

// Whether a position source currently delivers fixes. The numbers are the fixStatus
// values that the server reports to clients.
enum class FixState : int32_t {
    kNoFix = 0,      // no position: receiver off, no signal, or fixes forced off
    kAcquiring = 1,  // searching; the first fix has not been produced yet
    kFix = 2,        // fixes are being produced
};

struct Fix {
    double latitude = 0;
    double longitude = 0;
    double latLonAccuracy = 0;
    int64_t timeStampMs = 0;
    double altitude = 0;
    double speed = 0;
    double travelDirection = 0;
    double pointingDirection = 0;
    double horizontalAccuracy = 0;
    double verticalAccuracy = 0;
    double course = 0;
    int32_t locationMethod = kMethodNone;
    int64_t monoMs = 0;  // monotonic time at which the fix was produced (not on the wire)
};

}  // namespace lapid
