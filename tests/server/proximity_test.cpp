// Proximity listeners: hit on entry only, boundary, limits, removal rules, clients.
#include "core/proximity.h"

#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "core/geodesy.h"

namespace {

using lapid::Fix;
using lapid::ProximityCircle;
using lapid::ProximityHit;
using lapid::ProximityListeners;
using lapid::ProximityResult;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// Metres per degree of longitude on the equator (WGS84).
constexpr double kMetresPerDegree = 111319.490793;

// A fix `metres` east of (0, 0) on the equator.
Fix FixEast(double metres, int64_t t = 0) {
    Fix f;
    f.latitude = 0;
    f.longitude = metres / kMetresPerDegree;
    f.timeStampMs = t;
    f.horizontalAccuracy = 5;
    return f;
}

const ProximityCircle kCentre100{0, 0, 10, 100};

TEST(ProximityHits, EnterStayLeaveReenterGivesTwoHits) {
    ProximityListeners p;
    ASSERT_EQ(p.Add(7, kCentre100, 3, 4), ProximityResult::kOk);
    // metres from the centre for each fix, and whether that fix must hit
    const struct {
        double metres;
        bool hit;
    } steps[] = {
        {500, false}, {150, false}, {90, true}, {50, false}, {0, false},    {99, false},
        {101, false}, {400, false}, {60, true}, {70, false}, {2000, false},
    };
    int hits = 0;
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const auto h = p.OnFix(FixEast(steps[i].metres, static_cast<int64_t>(i)));
        ASSERT_EQ(h.size(), steps[i].hit ? 1u : 0u) << "step " << i;
        if (!h.empty()) {
            ++hits;
            EXPECT_EQ(h[0].client, 7);
            EXPECT_EQ(h[0].listenerNumber, 1u);
            EXPECT_EQ(h[0].sessionId, 3);
            EXPECT_EQ(h[0].transactionId, 4);
            EXPECT_EQ(h[0].fix.timeStampMs, static_cast<int64_t>(i));
            EXPECT_NEAR(h[0].distance, steps[i].metres, 1e-3);
        }
    }
    EXPECT_EQ(hits, 2);
}

TEST(ProximityHits, BoundaryAtExactlyTheRadiusCountsAsInside) {
    const Fix f = FixEast(250);
    const auto d = lapid::geo::Inverse(f.latitude, f.longitude, 0.0, 0.0);
    ASSERT_TRUE(d.has_value());

    ProximityListeners exact;
    ASSERT_EQ(exact.Add(1, ProximityCircle{0, 0, 0, d->distance}), ProximityResult::kOk);
    EXPECT_EQ(exact.OnFix(f).size(), 1u);

    ProximityListeners shorter;
    const double justBelow = std::nextafter(d->distance, 0.0);
    ASSERT_EQ(shorter.Add(1, ProximityCircle{0, 0, 0, justBelow}), ProximityResult::kOk);
    EXPECT_TRUE(shorter.OnFix(f).empty());
}

TEST(ProximityHits, ListenerAddedWhileInsideIsHitByTheNextFix) {
    ProximityListeners p;
    ASSERT_EQ(p.Add(1, kCentre100), ProximityResult::kOk);
    ASSERT_EQ(p.OnFix(FixEast(10)).size(), 1u);
    // A second listener over the same spot, added while the position is inside both.
    ASSERT_EQ(p.Add(1, ProximityCircle{0, 0, 0, 1000}, 9, 9), ProximityResult::kOk);
    const auto h = p.OnFix(FixEast(20));
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].listenerNumber, 2u);
    EXPECT_EQ(h[0].sessionId, 9);
    EXPECT_TRUE(p.OnFix(FixEast(30)).empty());
}

TEST(ProximityHits, AltitudeIsNotCompared) {
    ProximityListeners p;
    ASSERT_EQ(p.Add(1, ProximityCircle{0, 0, 0, 100}), ProximityResult::kOk);
    Fix f = FixEast(50);
    f.altitude = 9000;
    EXPECT_EQ(p.OnFix(f).size(), 1u);
}

TEST(ProximityHits, InvalidFixChangesNothing) {
    ProximityListeners p;
    ASSERT_EQ(p.Add(1, kCentre100), ProximityResult::kOk);
    ASSERT_EQ(p.OnFix(FixEast(10)).size(), 1u);
    Fix bad = FixEast(10);
    bad.latitude = kNaN;
    EXPECT_TRUE(p.OnFix(bad).empty());
    // Still inside: no second hit.
    EXPECT_TRUE(p.OnFix(FixEast(20)).empty());
}

TEST(ProximityHits, HitsAreOrderedByClientAndNumber) {
    ProximityListeners p;
    ASSERT_EQ(p.Add(30, kCentre100), ProximityResult::kOk);
    ASSERT_EQ(p.Add(5, ProximityCircle{0, 0, 0, 5000}), ProximityResult::kOk);
    ASSERT_EQ(p.Add(5, ProximityCircle{0, 0, 0, 50000}), ProximityResult::kOk);
    ASSERT_EQ(p.Add(5, ProximityCircle{10, 10, 0, 50}), ProximityResult::kOk);  // far away
    const auto h = p.OnFix(FixEast(1));
    ASSERT_EQ(h.size(), 3u);
    EXPECT_EQ(h[0].client, 5);
    EXPECT_EQ(h[0].listenerNumber, 1u);
    EXPECT_EQ(h[1].client, 5);
    EXPECT_EQ(h[1].listenerNumber, 2u);
    EXPECT_EQ(h[2].client, 30);
    EXPECT_EQ(h[2].listenerNumber, 1u);
}

TEST(ProximityAdd, InvalidGeometryIsRefused) {
    ProximityListeners p;
    const ProximityCircle bad[] = {
        {kNaN, 0, 0, 10},  {0, kNaN, 0, 10}, {kInf, 0, 0, 10}, {0, -kInf, 0, 10},
        {90.01, 0, 0, 10}, {-91, 0, 0, 10},  {0, 0, kNaN, 10}, {0, 0, kInf, 10},
        {0, 0, 0, 0},      {0, 0, 0, -1},    {0, 0, 0, kNaN},  {0, 0, 0, kInf},
    };
    for (const ProximityCircle &c : bad) {
        EXPECT_EQ(p.Add(1, c), ProximityResult::kInvalidGeometry)
            << c.latitude << " " << c.longitude << " " << c.altitude << " " << c.radius;
    }
    EXPECT_EQ(p.Count(1), 0u);
    // Poles, wrapped longitudes and tiny radii are fine.
    EXPECT_EQ(p.Add(1, ProximityCircle{90, 0, 0, 1}), ProximityResult::kOk);
    EXPECT_EQ(p.Add(1, ProximityCircle{0, 720, 0, 1e-3}), ProximityResult::kOk);
    EXPECT_EQ(p.Count(1), 2u);
}

TEST(ProximityAdd, ListenersPerClientAreBounded) {
    ProximityListeners p;
    const std::size_t max = ProximityListeners::kMaxListenersPerClient;
    for (std::size_t i = 0; i < max; ++i) {
        ASSERT_EQ(p.Add(1, kCentre100), ProximityResult::kOk) << i;
    }
    EXPECT_EQ(p.Add(1, kCentre100), ProximityResult::kTooManyListeners);
    EXPECT_EQ(p.Count(1), max);
    // Another client has its own allowance.
    EXPECT_EQ(p.Add(2, kCentre100), ProximityResult::kOk);
    EXPECT_EQ(p.TotalCount(), max + 1);
    // Room again after a removal; the new listener gets the next number.
    ASSERT_EQ(p.Remove(1, 3), ProximityResult::kOk);
    ASSERT_EQ(p.Add(1, kCentre100), ProximityResult::kOk);
    EXPECT_EQ(p.Count(1), max);
    const auto h = p.OnFix(FixEast(0));
    ASSERT_EQ(h.size(), max + 1);
    EXPECT_EQ(h[max - 1].listenerNumber, max + 1);  // numbers 1,2,4..max+1 for client 1
}

TEST(ProximityRemove, RemoveTypes) {
    ProximityListeners p;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(p.Add(1, kCentre100), ProximityResult::kOk);
    }
    ASSERT_EQ(p.Add(2, kCentre100), ProximityResult::kOk);

    EXPECT_EQ(p.Remove(1, -1), ProximityResult::kUnknownRemoveType);
    EXPECT_EQ(p.Remove(1, std::numeric_limits<int32_t>::min()),
              ProximityResult::kUnknownRemoveType);
    EXPECT_EQ(p.Count(1), 3u);

    EXPECT_EQ(p.Remove(1, 2), ProximityResult::kOk);
    EXPECT_EQ(p.Remove(1, 2), ProximityResult::kNothingToRemove);
    EXPECT_EQ(p.Remove(1, 4), ProximityResult::kNothingToRemove);
    EXPECT_EQ(p.Count(1), 2u);
    // Numbers did not shift: 3 is still the third listener added.
    EXPECT_EQ(p.Remove(1, 3), ProximityResult::kOk);
    const auto h = p.OnFix(FixEast(0));
    ASSERT_EQ(h.size(), 2u);
    EXPECT_EQ(h[0].client, 1);
    EXPECT_EQ(h[0].listenerNumber, 1u);
    EXPECT_EQ(h[1].client, 2);

    // 0 removes every listener of the client and only of that client.
    EXPECT_EQ(p.Remove(1, lapid::kRemoveAllListeners), ProximityResult::kOk);
    EXPECT_EQ(p.Count(1), 0u);
    EXPECT_EQ(p.Count(2), 1u);
    EXPECT_EQ(p.Remove(1, 0), ProximityResult::kNothingToRemove);
    EXPECT_EQ(p.Remove(99, 0), ProximityResult::kNothingToRemove);
    EXPECT_EQ(p.Remove(99, 1), ProximityResult::kNothingToRemove);
    // Numbering continues after a remove-all.
    ASSERT_EQ(p.Add(1, kCentre100), ProximityResult::kOk);
    EXPECT_EQ(p.Remove(1, 1), ProximityResult::kNothingToRemove);
    EXPECT_EQ(p.Remove(1, 4), ProximityResult::kOk);
}

TEST(ProximityRemove, RemovedListenerNoLongerHits) {
    ProximityListeners p;
    ASSERT_EQ(p.Add(1, kCentre100), ProximityResult::kOk);
    ASSERT_EQ(p.Remove(1, 1), ProximityResult::kOk);
    EXPECT_TRUE(p.OnFix(FixEast(0)).empty());
}

TEST(ProximityClients, RemoveClientDropsEverythingOfThatClientOnly) {
    ProximityListeners p;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(p.Add(1, kCentre100), ProximityResult::kOk);
    }
    ASSERT_EQ(p.Add(2, kCentre100), ProximityResult::kOk);
    ASSERT_EQ(p.OnFix(FixEast(0)).size(), 5u);

    EXPECT_EQ(p.RemoveClient(1), 4u);
    EXPECT_EQ(p.RemoveClient(1), 0u);
    EXPECT_EQ(p.Count(1), 0u);
    EXPECT_EQ(p.TotalCount(), 1u);
    // Client 2 keeps its listener and its state (still inside: no new hit).
    EXPECT_TRUE(p.OnFix(FixEast(1)).empty());
    // A client key used again starts afresh, numbering included.
    ASSERT_EQ(p.Add(1, kCentre100), ProximityResult::kOk);
    const auto h = p.OnFix(FixEast(2));
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].client, 1);
    EXPECT_EQ(h[0].listenerNumber, 1u);
}

}  // namespace
