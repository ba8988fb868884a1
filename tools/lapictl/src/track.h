// The fixes of a `watch` written to a file as they come: a GPX 1.1 track or a GeoJSON
// Feature. Either file is complete at every moment that matters:
// - GPX: the header is written at the start, each point in one write as it comes, the
//   closing tags by Close() (or the destructor) on every way out, Ctrl-C included. A
//   process killed outright (SIGKILL, a second Ctrl-C) leaves the header and every whole
//   point, without the closing tags.
// - GeoJSON cannot be appended to: the whole file is written to FILE.tmp and renamed over
//   FILE after each point, so FILE is always a whole document, even after SIGKILL.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace lapictl {

struct TrackPoint {
    double latitude = 0;            // degrees
    double longitude = 0;           // degrees
    double altitude = 0;            // metres
    int64_t timeMs = 0;             // the fix's timeStamp: milliseconds since the Unix epoch
    double horizontalAccuracy = 0;  // metres
    double verticalAccuracy = 0;    // metres
    double speed = 0;               // m/s
    double course = 0;              // degrees from true north
};

// The namespace of lapictl's elements in a GPX point's <extensions>: accuracies in metres
// (GPX's hdop and vdop are dilutions, not distances), speed and course.
inline constexpr std::string_view kGpxExtensionNamespace = "urn:lapi:track:1";

class Track {
  public:
    virtual ~Track() = default;
    Track() = default;
    Track(const Track &) = delete;
    Track &operator=(const Track &) = delete;

    // Adds a point, unless its latitude or longitude is not finite or the latitude is
    // beyond +-90; false with *error set when the file cannot be written.
    bool Add(const TrackPoint &point, std::string *error);
    // Completes the file; the destructor does it when nobody did.
    virtual bool Close(std::string *error) = 0;

  private:
    virtual bool AddPoint(const TrackPoint &point, std::string *error) = 0;
};

// Create the file (replacing one that is there) with an empty track; null with *error
// set when that fails. creator names the program ("lapictl 1.0.0").
std::unique_ptr<Track> CreateGpxTrack(const std::string &path, std::string_view creator,
                                      std::string *error);
std::unique_ptr<Track> CreateGeoJsonTrack(const std::string &path, std::string_view creator,
                                          std::string *error);

// A number as GPX's xsd:decimal takes it: the shortest fixed-point text that reads back
// as the same double ("52.520008", "0.00001", never an exponent).
std::string DecimalText(double value);

}  // namespace lapictl
