// Geodesic inverse and direct problems on WGS84, and the validity rules for points.
#include "core/geodesy.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace {

using lapid::geo::Direct;
using lapid::geo::Inverse;
using lapid::geo::IsValidPoint;
using lapid::geo::NormalizeAzimuth;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Half the length of a meridian ellipse on WGS84 (pole to pole), metres.
constexpr double kHalfMeridian = 20003931.458625;

TEST(GeodesyInverse, JfkToLondonMatchesReferenceFigures) {
    // Reference figures computed with GeographicLib 2.1.2 (5551759.400319 m,
    // 51.198882846 degrees).
    const auto r = Inverse(40.6, -73.8, 51.6, -0.5);
    ASSERT_TRUE(r.has_value());
    EXPECT_NEAR(r->distance, 5551759.400, 1e-3);
    EXPECT_NEAR(r->azimuth, 51.198883, 1e-6);
}

TEST(GeodesyInverse, AzimuthIsInZeroTo360) {
    // Cardinal directions from a point on the equator; west must read 270, not -90.
    struct Case {
        double lat2, lon2, azimuth;
    } const cases[] = {
        {1.0, 0.0, 0.0},     // north
        {0.0, 1.0, 90.0},    // east
        {-1.0, 0.0, 180.0},  // south
        {0.0, -1.0, 270.0},  // west
    };
    for (const Case &c : cases) {
        const auto r = Inverse(0.0, 0.0, c.lat2, c.lon2);
        ASSERT_TRUE(r.has_value());
        EXPECT_NEAR(r->azimuth, c.azimuth, 1e-9) << c.lat2 << "," << c.lon2;
        EXPECT_GE(r->azimuth, 0.0);
        EXPECT_LT(r->azimuth, 360.0);
    }
    // One degree of longitude on the equator is a / 180 * pi.
    EXPECT_NEAR(Inverse(0.0, 0.0, 0.0, -1.0)->distance, 111319.490793, 1e-6);
    // North-westwards from New York lies between 270 and 360.
    const auto nw = Inverse(40.7, -74.0, 45.5, -122.7);
    ASSERT_TRUE(nw.has_value());
    EXPECT_GT(nw->azimuth, 270.0);
    EXPECT_LT(nw->azimuth, 360.0);
}

TEST(GeodesyInverse, CoincidentPointsHaveZeroDistanceAndAzimuth) {
    for (const auto &[lat, lon] :
         {std::pair{1.0, 1.0}, {51.5, -0.1}, {90.0, 0.0}, {-33.9, 151.2}}) {
        const auto r = Inverse(lat, lon, lat, lon);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->distance, 0.0);
        EXPECT_EQ(r->azimuth, 0.0);
        EXPECT_FALSE(std::signbit(r->azimuth));
    }
    // The same meridian written two ways is the same point.
    const auto wrapped = Inverse(10.0, 190.0, 10.0, -170.0);
    ASSERT_TRUE(wrapped.has_value());
    EXPECT_NEAR(wrapped->distance, 0.0, 1e-6);
}

TEST(GeodesyInverse, AntipodalPoints) {
    struct Case {
        double lat1, lon1, lat2, lon2;
    } const cases[] = {
        {0.0, 0.0, 0.0, 180.0},
        {10.0, 20.0, -10.0, -160.0},
        {90.0, 0.0, -90.0, 0.0},
    };
    for (const Case &c : cases) {
        const auto r = Inverse(c.lat1, c.lon1, c.lat2, c.lon2);
        ASSERT_TRUE(r.has_value());
        // On an oblate ellipsoid the shortest route between antipodes runs through the poles.
        EXPECT_NEAR(r->distance, kHalfMeridian, 1e-3);
        EXPECT_GE(r->azimuth, 0.0);
        EXPECT_LT(r->azimuth, 360.0);
        EXPECT_FALSE(std::signbit(r->azimuth));
    }
}

TEST(GeodesyInverse, InvalidInputsAreRefused) {
    struct Case {
        double lat1, lon1, lat2, lon2;
    } const cases[] = {
        {kNaN, 0, 0, 0}, {0, kNaN, 0, 0},     {0, 0, kNaN, 0},  {0, 0, 0, kNaN},
        {kInf, 0, 0, 0}, {0, -kInf, 0, 0},    {0, 0, -kInf, 0}, {0, 0, 0, kInf},
        {90.5, 0, 0, 0}, {0, 0, -90.0001, 0}, {1e9, 0, 0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_FALSE(Inverse(c.lat1, c.lon1, c.lat2, c.lon2).has_value())
            << c.lat1 << " " << c.lon1 << " " << c.lat2 << " " << c.lon2;
    }
    // Poles and wrapped longitudes are fine.
    EXPECT_TRUE(Inverse(90.0, 0, -90.0, 0).has_value());
    EXPECT_TRUE(Inverse(0, 540.0, 0, -720.0).has_value());
    EXPECT_TRUE(IsValidPoint(-90, 1000.0));
    EXPECT_FALSE(IsValidPoint(90.000001, 0));
    EXPECT_FALSE(IsValidPoint(0, kInf));
}

TEST(GeodesyValidity, NormalizeAzimuth) {
    EXPECT_EQ(NormalizeAzimuth(-90.0), 270.0);
    EXPECT_EQ(NormalizeAzimuth(360.0), 0.0);
    EXPECT_EQ(NormalizeAzimuth(725.0), 5.0);
    EXPECT_EQ(NormalizeAzimuth(-720.0), 0.0);
    EXPECT_FALSE(std::signbit(NormalizeAzimuth(-0.0)));
    // A tiny negative angle must not come out as 360.
    const double tiny = NormalizeAzimuth(-1e-20);
    EXPECT_GE(tiny, 0.0);
    EXPECT_LT(tiny, 360.0);
    EXPECT_TRUE(std::isnan(NormalizeAzimuth(kNaN)));
}

TEST(GeodesyDirect, InvertsInverse) {
    // Going the inverse's distance along its azimuth lands on the second point.
    const auto inv = Inverse(40.6, -73.8, 51.6, -0.5);
    ASSERT_TRUE(inv.has_value());
    const auto d = Direct(40.6, -73.8, inv->azimuth, inv->distance);
    ASSERT_TRUE(d.has_value());
    EXPECT_NEAR(d->latitude, 51.6, 1e-9);
    EXPECT_NEAR(d->longitude, -0.5, 1e-9);
    EXPECT_GE(d->azimuth, 0.0);
    EXPECT_LT(d->azimuth, 360.0);
}

TEST(GeodesyDirect, CardinalMovesAndInvalidInputs) {
    // 1 km due west on the equator keeps the latitude and reports 270 at the end.
    const auto west = Direct(0.0, 0.0, 270.0, 1000.0);
    ASSERT_TRUE(west.has_value());
    EXPECT_NEAR(west->latitude, 0.0, 1e-12);
    EXPECT_LT(west->longitude, 0.0);
    EXPECT_NEAR(west->azimuth, 270.0, 1e-9);
    // Across the antimeridian the longitude comes back within [-180, 180].
    const auto across = Direct(0.0, 179.999, 90.0, 1000.0);
    ASSERT_TRUE(across.has_value());
    EXPECT_GE(across->longitude, -180.0);
    EXPECT_LT(across->longitude, -179.99);

    EXPECT_FALSE(Direct(kNaN, 0, 0, 1).has_value());
    EXPECT_FALSE(Direct(91, 0, 0, 1).has_value());
    EXPECT_FALSE(Direct(0, 0, kNaN, 1).has_value());
    EXPECT_FALSE(Direct(0, 0, 0, kInf).has_value());
}

}  // namespace
