#include "domain/geodesy.h"

#include <cmath>

#include <GeographicLib/Geodesic.hpp>

namespace lapid::geo {

bool IsValidPoint(double latitude, double longitude) noexcept {
    return std::isfinite(latitude) && std::isfinite(longitude) && std::fabs(latitude) <= 90.0;
}

double NormalizeAzimuth(double degrees) noexcept {
    if (!std::isfinite(degrees)) {
        return degrees;
    }
    double a = std::fmod(degrees, 360.0);
    if (a < 0) {
        a += 360.0;
    }
    // A tiny negative input rounds to exactly 360 after the addition.
    if (a >= 360.0) {
        a = 0.0;
    }
    return a + 0.0;  // turns -0 into +0
}

std::optional<InverseResult> Inverse(double lat1, double lon1, double lat2, double lon2) noexcept {
    if (!IsValidPoint(lat1, lon1) || !IsValidPoint(lat2, lon2)) {
        return std::nullopt;
    }
    double s12 = 0;
    double azi1 = 0;
    double azi2 = 0;
    GeographicLib::Geodesic::WGS84().Inverse(lat1, lon1, lat2, lon2, s12, azi1, azi2);
    if (!std::isfinite(s12) || !std::isfinite(azi1)) {
        return std::nullopt;
    }
    InverseResult r;
    r.distance = s12;
    r.azimuth = s12 == 0 ? 0.0 : NormalizeAzimuth(azi1);
    return r;
}

std::optional<DirectResult> Direct(double latitude, double longitude, double azimuth,
                                   double distance) noexcept {
    if (!IsValidPoint(latitude, longitude) || !std::isfinite(azimuth) || !std::isfinite(distance)) {
        return std::nullopt;
    }
    double lat2 = 0;
    double lon2 = 0;
    double azi2 = 0;
    GeographicLib::Geodesic::WGS84().Direct(latitude, longitude, azimuth, distance, lat2, lon2,
                                            azi2);
    if (!std::isfinite(lat2) || !std::isfinite(lon2) || !std::isfinite(azi2)) {
        return std::nullopt;
    }
    DirectResult r;
    r.latitude = lat2;
    r.longitude = lon2;
    r.azimuth = NormalizeAzimuth(azi2);
    return r;
}

}  // namespace lapid::geo
