// The simulated receiver, driven by a ManualClock: acquisition, cadence, movement along
// a route (checked against GeographicLib directly), accuracy model and control operations.
#include "sources/simulator.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include <GeographicLib/Geodesic.hpp>
#include <gtest/gtest.h>

namespace {

using lapid::ManualClock;
using lapid::Fix;
using lapid::FixState;
using lapid::Simulator;
using lapid::SimulatorConfig;
using lapid::SimulatorResult;
using lapid::Waypoint;

constexpr int64_t kWall0 = 1'796'544'000'000;

const GeographicLib::Geodesic &Wgs84() {
    return GeographicLib::Geodesic::WGS84();
}

double Wrap360(double a) {
    a = std::fmod(a, 360.0);
    return a < 0 ? a + 360.0 : a;
}

// Advances the clock by `ms` and ticks; returns the fixes produced.
std::vector<Fix> Step(ManualClock &clock, Simulator &sim, int64_t ms) {
    clock.Advance(ms);
    sim.Tick(clock.MonoMs());
    return sim.TakeNewFixes();
}

SimulatorConfig QuickConfig(std::vector<Waypoint> route, double speed, bool loop) {
    SimulatorConfig c;
    c.route = std::move(route);
    c.speedMps = speed;
    c.loop = loop;
    c.timeToFirstFixMs = 0;
    return c;
}

TEST(SimulatorTiming, FirstFixAfterTheConfiguredDelay) {
    ManualClock clock(kWall0);
    Simulator sim(clock);  // default: 3 s to the first fix
    EXPECT_EQ(sim.State(), FixState::kAcquiring);
    EXPECT_FALSE(sim.LatestFix().has_value());
    for (int s = 1; s <= 2; ++s) {
        EXPECT_TRUE(Step(clock, sim, 1000).empty()) << "second " << s;
        EXPECT_EQ(sim.State(), FixState::kAcquiring);
        EXPECT_FALSE(sim.LatestFix().has_value());
    }
    const auto fixes = Step(clock, sim, 1000);
    ASSERT_EQ(fixes.size(), 1u);
    EXPECT_EQ(sim.State(), FixState::kFix);
    EXPECT_EQ(fixes[0].monoMs, 3000);
    EXPECT_EQ(fixes[0].timeStampMs, kWall0 + 3000);
    EXPECT_EQ(fixes[0].locationMethod, lapid::kMethodSimulated);
    ASSERT_TRUE(sim.LatestFix().has_value());
    EXPECT_EQ(sim.LatestFix()->timeStampMs, fixes[0].timeStampMs);
}

TEST(SimulatorTiming, FirstFixIsAlignedToAWholeSecond) {
    struct Case {
        int64_t ttffMs, firstFixMs;
    } const cases[] = {{0, 1000},    {1, 1000},    {1000, 1000},
                       {1001, 2000}, {2500, 3000}, {7000, 7000}};
    for (const Case &c : cases) {
        ManualClock clock(kWall0);
        SimulatorConfig cfg;
        cfg.timeToFirstFixMs = c.ttffMs;
        Simulator sim(clock, cfg);
        int64_t first = -1;
        for (int i = 0; i < 100 && first < 0; ++i) {
            const auto fixes = Step(clock, sim, 100);
            if (!fixes.empty()) {
                first = fixes.front().monoMs;
                EXPECT_EQ(clock.MonoMs(), first) << "the fix came late";
            }
        }
        EXPECT_EQ(first, c.firstFixMs) << "ttff " << c.ttffMs;
    }
}

TEST(SimulatorTiming, ExactlyOneFixPerSecond) {
    ManualClock clock(kWall0);
    Simulator sim(clock, QuickConfig(Simulator::DefaultRoute(), 10, true));
    // Quarter-second ticks: each whole second yields one fix, the other ticks none.
    std::vector<Fix> all;
    for (int i = 1; i <= 40; ++i) {
        const auto fixes = Step(clock, sim, 250);
        EXPECT_EQ(fixes.size(), i % 4 == 0 ? 1u : 0u) << "tick " << i;
        all.insert(all.end(), fixes.begin(), fixes.end());
        EXPECT_EQ(sim.NextDeadlineMs(), (clock.MonoMs() / 1000 + 1) * 1000);
    }
    ASSERT_EQ(all.size(), 10u);
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].monoMs, static_cast<int64_t>(i + 1) * 1000);
        EXPECT_EQ(all[i].timeStampMs, kWall0 + static_cast<int64_t>(i + 1) * 1000);
    }
    // Ticking twice at the same time produces nothing more.
    sim.Tick(clock.MonoMs());
    EXPECT_TRUE(sim.TakeNewFixes().empty());
}

TEST(SimulatorTiming, LateTicksCatchUpWithinABound) {
    ManualClock clock(kWall0);
    Simulator sim(clock, QuickConfig(Simulator::DefaultRoute(), 10, true));
    auto fixes = Step(clock, sim, 3500);
    ASSERT_EQ(fixes.size(), 3u);
    EXPECT_EQ(fixes[0].monoMs, 1000);
    EXPECT_EQ(fixes[2].monoMs, 3000);
    // A long stall yields only the most recent seconds.
    fixes = Step(clock, sim, 60'000);
    ASSERT_EQ(fixes.size(), static_cast<std::size_t>(Simulator::kMaxCatchUpFixes));
    EXPECT_EQ(fixes.back().monoMs, 63'000);
    EXPECT_EQ(fixes.front().monoMs, 63'000 - (Simulator::kMaxCatchUpFixes - 1) * 1000);
    EXPECT_EQ(sim.LatestFix()->monoMs, 63'000);
}

TEST(SimulatorRoute, PositionAlongTheRouteMatchesGeographicLib) {
    const Waypoint a{48.85, 2.35, 0}, b{48.90, 2.45, 100}, c{48.80, 2.50, 40};
    const double speed = 7.0;
    ManualClock clock(kWall0);
    Simulator sim(clock, QuickConfig({a, b, c}, speed, false));

    double len1 = 0, azi1 = 0, azi2 = 0;
    Wgs84().Inverse(a.latitude, a.longitude, b.latitude, b.longitude, len1, azi1, azi2);
    double len2 = 0, aziB = 0, aziC = 0;
    Wgs84().Inverse(b.latitude, b.longitude, c.latitude, c.longitude, len2, aziB, aziC);

    // The route starts at the first fix (t = 1 s), at the first waypoint.
    std::vector<Fix> fixes = Step(clock, sim, 1000);
    ASSERT_EQ(fixes.size(), 1u);
    EXPECT_DOUBLE_EQ(fixes[0].latitude, a.latitude);
    EXPECT_DOUBLE_EQ(fixes[0].longitude, a.longitude);

    auto expectAt = [&](int n, const Fix &f) {
        const double d = speed * n;
        double lat = 0, lon = 0, azi = 0, alt = 0;
        if (d <= len1) {
            Wgs84().Direct(a.latitude, a.longitude, azi1, d, lat, lon, azi);
            alt = a.altitude + (b.altitude - a.altitude) * d / len1;
        } else {
            Wgs84().Direct(b.latitude, b.longitude, aziB, d - len1, lat, lon, azi);
            alt = b.altitude + (c.altitude - b.altitude) * (d - len1) / len2;
        }
        EXPECT_NEAR(f.latitude, lat, 1e-9) << "after " << n << " s";
        EXPECT_NEAR(f.longitude, lon, 1e-9) << "after " << n << " s";
        EXPECT_NEAR(f.altitude, alt, 1e-6) << "after " << n << " s";
        EXPECT_NEAR(f.course, Wrap360(azi), 1e-9) << "after " << n << " s";
        EXPECT_EQ(f.travelDirection, f.course);
        EXPECT_EQ(f.speed, speed);
    };

    // Check a second in the first leg, then one in the second leg.
    const int inLeg1 = static_cast<int>(len1 / speed / 2);
    const int inLeg2 = static_cast<int>(len1 / speed) + 100;
    ASSERT_LT(inLeg2 * speed, len1 + len2);
    fixes = Step(clock, sim, int64_t{inLeg1} * 1000);
    ASSERT_FALSE(fixes.empty());
    expectAt(inLeg1, fixes.back());
    fixes = Step(clock, sim, int64_t{inLeg2 - inLeg1} * 1000);
    ASSERT_FALSE(fixes.empty());
    expectAt(inLeg2, fixes.back());

    // Past the end of a non-looping route: standing at the last waypoint, course kept.
    const int pastEnd = static_cast<int>((len1 + len2) / speed) + 50;
    fixes = Step(clock, sim, int64_t{pastEnd - inLeg2} * 1000);
    ASSERT_FALSE(fixes.empty());
    EXPECT_NEAR(fixes.back().latitude, c.latitude, 1e-9);
    EXPECT_NEAR(fixes.back().longitude, c.longitude, 1e-9);
    EXPECT_NEAR(fixes.back().altitude, c.altitude, 1e-9);
    EXPECT_EQ(fixes.back().speed, 0.0);
    EXPECT_NEAR(fixes.back().course, Wrap360(aziC), 1e-9);
}

TEST(SimulatorRoute, LoopingRouteComesRound) {
    const std::vector<Waypoint> square = {
        {0.0, 0.0, 0}, {0.0, 0.01, 0}, {0.01, 0.01, 0}, {0.01, 0.0, 0}};
    const double speed = 13.0;
    ManualClock clock(kWall0);
    Simulator sim(clock, QuickConfig(square, speed, true));
    double total = 0;
    for (std::size_t i = 0; i < square.size(); ++i) {
        const Waypoint &p = square[i];
        const Waypoint &q = square[(i + 1) % square.size()];
        double s = 0, z1 = 0, z2 = 0;
        Wgs84().Inverse(p.latitude, p.longitude, q.latitude, q.longitude, s, z1, z2);
        total += s;
    }
    // Seconds k and k + N, where N * speed is close to one lap, are about
    // (N * speed - total) metres apart along the first leg (due east on the equator).
    const int lap = static_cast<int>(std::ceil(total / speed));
    std::vector<Fix> fixes = Step(clock, sim, 1000 + 10'000);  // fix at second 10 of the route
    const Fix early = fixes.back();
    fixes = Step(clock, sim, int64_t{lap} * 1000);
    const Fix later = fixes.back();
    double s = 0, z1 = 0, z2 = 0;
    Wgs84().Inverse(early.latitude, early.longitude, later.latitude, later.longitude, s, z1, z2);
    EXPECT_NEAR(s, lap * speed - total, 1e-6);
    EXPECT_NEAR(later.latitude, 0.0, 1e-12);
    EXPECT_NEAR(later.course, 90.0, 1e-9);
    EXPECT_EQ(later.speed, speed);
}

TEST(SimulatorRoute, CourseFollowsTheDirectionOfTravel) {
    struct Case {
        Waypoint from, to;
        double course;
    } const cases[] = {
        {{0, 0, 0}, {0.1, 0, 0}, 0.0},     // north
        {{0, 0, 0}, {0, 0.1, 0}, 90.0},    // east
        {{0, 0, 0}, {-0.1, 0, 0}, 180.0},  // south
        {{0, 0, 0}, {0, -0.1, 0}, 270.0},  // west, not -90
    };
    for (const Case &c : cases) {
        ManualClock clock(kWall0);
        Simulator sim(clock, QuickConfig({c.from, c.to}, 5.0, false));
        const auto fixes = Step(clock, sim, 10'000);
        ASSERT_EQ(fixes.size(), 10u);
        for (const Fix &f : fixes) {
            EXPECT_NEAR(f.course, c.course, 1e-6);
            EXPECT_EQ(f.travelDirection, f.course);
            EXPECT_EQ(f.pointingDirection, f.course);
            EXPECT_EQ(f.speed, 5.0);
        }
        // Consecutive fixes are one second of travel apart.
        double s = 0, z1 = 0, z2 = 0;
        Wgs84().Inverse(fixes[3].latitude, fixes[3].longitude, fixes[4].latitude,
                        fixes[4].longitude, s, z1, z2);
        EXPECT_NEAR(s, 5.0, 1e-6);
    }
}

TEST(SimulatorAccuracy, ImprovesAfterAcquisitionThenSettles) {
    ManualClock clock(kWall0);
    Simulator sim(clock, QuickConfig(Simulator::DefaultRoute(), 10, true));
    const auto fixes = Step(clock, sim, 7000);
    ASSERT_EQ(fixes.size(), 7u);
    const double expected[] = {50, 25, 12.5, 6.25, 5, 5, 5};
    for (std::size_t i = 0; i < fixes.size(); ++i) {
        EXPECT_EQ(fixes[i].horizontalAccuracy, expected[i]) << "fix " << i;
        EXPECT_EQ(fixes[i].latLonAccuracy, expected[i]);
        EXPECT_EQ(fixes[i].verticalAccuracy, 1.5 * expected[i]);
    }
}

TEST(SimulatorControl, JumpToFixedPositionOnTheNextSecond) {
    ManualClock clock(kWall0);
    Simulator sim(clock, QuickConfig(Simulator::DefaultRoute(), 10, true));
    Step(clock, sim, 5000);
    clock.Advance(400);
    EXPECT_EQ(sim.SetFixedPosition(-33.8568, 151.2153, 12.5, 3.0), SimulatorResult::kOk);
    const auto fixes = Step(clock, sim, 600);
    ASSERT_EQ(fixes.size(), 1u);
    EXPECT_EQ(fixes[0].monoMs, 6000);
    EXPECT_EQ(fixes[0].latitude, -33.8568);
    EXPECT_EQ(fixes[0].longitude, 151.2153);
    EXPECT_EQ(fixes[0].altitude, 12.5);
    EXPECT_EQ(fixes[0].horizontalAccuracy, 3.0);
    EXPECT_EQ(fixes[0].verticalAccuracy, 4.5);
    EXPECT_EQ(fixes[0].speed, 0.0);
    EXPECT_EQ(fixes[0].course, 0.0);
    // It stays there.
    const auto later = Step(clock, sim, 5000);
    ASSERT_EQ(later.size(), 5u);
    EXPECT_EQ(later.back().latitude, -33.8568);
    EXPECT_EQ(later.back().longitude, 151.2153);
}

TEST(SimulatorControl, NewRouteStartsAtItsFirstWaypoint) {
    ManualClock clock(kWall0);
    Simulator sim(clock, QuickConfig(Simulator::DefaultRoute(), 10, true));
    Step(clock, sim, 4000);
    const std::vector<Waypoint> route = {{10, 10, 0}, {10.1, 10, 0}};
    EXPECT_EQ(sim.SetRoute(route, 20.0, false), SimulatorResult::kOk);
    auto fixes = Step(clock, sim, 1000);
    ASSERT_EQ(fixes.size(), 1u);
    EXPECT_EQ(fixes[0].latitude, 10.0);
    EXPECT_EQ(fixes[0].longitude, 10.0);
    fixes = Step(clock, sim, 3000);
    double lat = 0, lon = 0;
    Wgs84().Direct(10, 10, 0, 60.0, lat, lon);
    EXPECT_NEAR(fixes.back().latitude, lat, 1e-9);
    EXPECT_NEAR(fixes.back().longitude, lon, 1e-9);
    // The accuracy model is not restarted by a new route.
    EXPECT_EQ(fixes.back().horizontalAccuracy, 5.0);
}

TEST(SimulatorControl, InvalidOperationsChangeNothing) {
    ManualClock clock(kWall0);
    Simulator sim(clock, QuickConfig({{1, 2, 3}}, 0, false));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(sim.SetFixedPosition(91, 0, 0, 5), SimulatorResult::kInvalidPosition);
    EXPECT_EQ(sim.SetFixedPosition(nan, 0, 0, 5), SimulatorResult::kInvalidPosition);
    EXPECT_EQ(sim.SetFixedPosition(0, inf, 0, 5), SimulatorResult::kInvalidPosition);
    EXPECT_EQ(sim.SetFixedPosition(0, 0, nan, 5), SimulatorResult::kInvalidPosition);
    EXPECT_EQ(sim.SetFixedPosition(0, 0, 0, 0), SimulatorResult::kInvalidAccuracy);
    EXPECT_EQ(sim.SetFixedPosition(0, 0, 0, -1), SimulatorResult::kInvalidAccuracy);
    EXPECT_EQ(sim.SetFixedPosition(0, 0, 0, nan), SimulatorResult::kInvalidAccuracy);
    EXPECT_EQ(sim.SetRoute({}, 1, true), SimulatorResult::kEmptyRoute);
    EXPECT_EQ(sim.SetRoute({{0, 0, 0}, {-95, 0, 0}}, 1, true), SimulatorResult::kInvalidPosition);
    EXPECT_EQ(sim.SetRoute({{0, 0, 0}, {1, 0, 0}}, -1, true), SimulatorResult::kInvalidSpeed);
    EXPECT_EQ(sim.SetRoute({{0, 0, 0}, {1, 0, 0}}, nan, true), SimulatorResult::kInvalidSpeed);
    const auto fixes = Step(clock, sim, 2000);
    ASSERT_EQ(fixes.size(), 2u);
    EXPECT_EQ(fixes.back().latitude, 1.0);
    EXPECT_EQ(fixes.back().longitude, 2.0);
    EXPECT_EQ(fixes.back().altitude, 3.0);

    SimulatorConfig bad;
    bad.route = {{100, 0, 0}};
    EXPECT_THROW(Simulator rejected(clock, bad), std::invalid_argument);
    bad = SimulatorConfig{};
    bad.timeToFirstFixMs = -1;
    EXPECT_THROW(Simulator rejected(clock, bad), std::invalid_argument);
    bad = SimulatorConfig{};
    bad.finalAccuracyM = 0;
    EXPECT_THROW(Simulator rejected(clock, bad), std::invalid_argument);
}

TEST(SimulatorControl, ForcedNoFixAndFix) {
    ManualClock clock(kWall0);
    Simulator sim(clock);  // 3 s to the first fix
    // Forcing a fix during acquisition brings the first fix to the next second.
    clock.Advance(1200);
    sim.ForceFix();
    EXPECT_EQ(sim.State(), FixState::kAcquiring);
    auto fixes = Step(clock, sim, 800);
    ASSERT_EQ(fixes.size(), 1u);
    EXPECT_EQ(fixes[0].monoMs, 2000);
    EXPECT_EQ(sim.State(), FixState::kFix);
    Step(clock, sim, 3000);

    sim.ForceNoFix();
    EXPECT_EQ(sim.State(), FixState::kNoFix);
    EXPECT_FALSE(sim.LatestFix().has_value());
    EXPECT_TRUE(Step(clock, sim, 10'000).empty());
    EXPECT_EQ(sim.State(), FixState::kNoFix);

    clock.Advance(300);
    sim.ForceFix();
    EXPECT_EQ(sim.State(), FixState::kAcquiring);
    EXPECT_FALSE(sim.LatestFix().has_value());
    fixes = Step(clock, sim, 700);
    ASSERT_EQ(fixes.size(), 1u);
    EXPECT_EQ(fixes[0].monoMs, 16'000);
    EXPECT_EQ(sim.State(), FixState::kFix);
    // The accuracy model restarts with the reacquisition.
    EXPECT_EQ(fixes[0].horizontalAccuracy, 50.0);
    // Forcing a fix while fixing changes nothing.
    sim.ForceFix();
    EXPECT_EQ(sim.State(), FixState::kFix);
    EXPECT_EQ(Step(clock, sim, 1000).size(), 1u);
}

TEST(SimulatorDeterminism, TwoSimulatorsProduceIdenticalFixes) {
    auto run = [] {
        ManualClock clock(kWall0);
        Simulator sim(clock);
        std::vector<Fix> out;
        for (int i = 0; i < 300; ++i) {
            const auto f = Step(clock, sim, 700);
            out.insert(out.end(), f.begin(), f.end());
            if (i == 100) {
                sim.SetRoute({{45, 7, 300}, {45.01, 7.02, 500}, {44.99, 7.03, 200}}, 33.3, true);
            }
            if (i == 150) {
                sim.ForceNoFix();
            }
            if (i == 170) {
                sim.ForceFix();
            }
        }
        return out;
    };
    const auto a = run();
    const auto b = run();
    ASSERT_EQ(a.size(), b.size());
    ASSERT_GT(a.size(), 150u);
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].latitude, b[i].latitude);
        EXPECT_EQ(a[i].longitude, b[i].longitude);
        EXPECT_EQ(a[i].altitude, b[i].altitude);
        EXPECT_EQ(a[i].timeStampMs, b[i].timeStampMs);
        EXPECT_EQ(a[i].horizontalAccuracy, b[i].horizontalAccuracy);
        EXPECT_EQ(a[i].speed, b[i].speed);
        EXPECT_EQ(a[i].course, b[i].course);
    }
    // The route really moves the position.
    EXPECT_NE(a.front().latitude, a.back().latitude);
}

}  // namespace
