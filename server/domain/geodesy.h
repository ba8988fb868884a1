// Geodesic computations on the WGS84 ellipsoid (GeographicLib underneath).
//
// Units: latitude and longitude in degrees, distances in metres, azimuths in degrees
// clockwise from true north. Every azimuth returned here lies in [0, 360).
//
// A point is valid when both coordinates are finite and |latitude| <= 90. Any finite
// longitude is accepted and wraps (190 is the same meridian as -170). Functions that
// take points return std::nullopt for an invalid input instead of computing with it.
#pragma once

#include <optional>

namespace lapid::geo {

// True when (latitude, longitude) is a usable point: finite, |latitude| <= 90.
bool IsValidPoint(double latitude, double longitude) noexcept;

// Maps any finite angle in degrees onto [0, 360); -90 becomes 270, -0 becomes 0.
// A non-finite input is returned unchanged.
double NormalizeAzimuth(double degrees) noexcept;

struct InverseResult {
    double distance = 0;  // length of the shortest geodesic, metres
    double azimuth = 0;   // direction of that geodesic at point 1, [0, 360)
};

// Distance from point 1 to point 2 and the azimuth at point 1 of the shortest geodesic.
// Coincident points give distance 0 and azimuth 0 (no direction is defined). For
// antipodal points several geodesics are equally short; the one GeographicLib picks
// is reported.
std::optional<InverseResult> Inverse(double lat1, double lon1, double lat2, double lon2) noexcept;

struct DirectResult {
    double latitude = 0;   // degrees
    double longitude = 0;  // degrees, in [-180, 180]
    double azimuth = 0;    // forward azimuth at the end point, [0, 360)
};

// The point reached by travelling `distance` metres from (latitude, longitude) along
// the geodesic that starts with `azimuth`. A negative distance travels backwards.
// std::nullopt when the start point is invalid or azimuth/distance are not finite.
std::optional<DirectResult> Direct(double latitude, double longitude, double azimuth,
                                   double distance) noexcept;

}  // namespace lapid::geo
