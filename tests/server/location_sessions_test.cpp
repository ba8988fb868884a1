// Location sessions driven by a fake clock: accuracy filter, deadlines, periodic
// cadence, aborts, client removal, limits and the last known location.
#include "core/location_sessions.h"

#include <gtest/gtest.h>

#include <vector>

namespace lapid {
namespace {

using Kind = LocationAnswer::Kind;

class LocationSessionsTest : public ::testing::Test {
  protected:
    // A fix produced now, with the given accuracy and a latitude to tell fixes apart.
    Fix MakeFix(double horizontalAccuracy, double latitude) const {
        Fix f;
        f.latitude = latitude;
        f.longitude = 13.4;
        f.horizontalAccuracy = horizontalAccuracy;
        f.timeStampMs = clock.WallMs();
        f.monoMs = clock.MonoMs();
        f.locationMethod = kMethodSimulated;
        return f;
    }
    static LocationRequest Single(ClientKey client, uint8_t sessionId, int32_t responseTime,
                                  int32_t accuracy) {
        LocationRequest r;
        r.client = client;
        r.sessionId = sessionId;
        r.transactionId = static_cast<uint8_t>(sessionId + 100);
        r.responseTime = responseTime;
        r.horizontalAccuracy = accuracy;
        return r;
    }
    static LocationRequest Periodic(ClientKey client, uint8_t sessionId, int32_t interval,
                                    int32_t accuracy = 0) {
        LocationRequest r = Single(client, sessionId, 0, accuracy);
        r.reportCriteria = kReportPeriodic;
        r.interval = interval;
        return r;
    }

    ManualClock clock;
    LocationSessions sessions{clock};
};

// --- single fix -------------------------------------------------------------------

TEST_F(LocationSessionsTest, SingleFixWaitsForAFixThatMeetsTheAccuracy) {
    LocationRequest req = Single(1, 5, 10, 50);
    req.blocking = true;
    EXPECT_FALSE(sessions.Request(req).has_value());

    clock.Advance(1000);
    EXPECT_TRUE(sessions.OnFix(MakeFix(80.0, 1.0)).empty()) << "80 m is worse than 50 m";
    clock.Advance(1000);
    EXPECT_TRUE(sessions.OnFix(MakeFix(50.1, 2.0)).empty());
    clock.Advance(1000);
    auto out = sessions.OnFix(MakeFix(50.0, 3.0));  // equal to the request is good enough
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, Kind::kLocation);
    EXPECT_EQ(out[0].cause, LocationCause::kOk);
    EXPECT_EQ(out[0].client, 1);
    EXPECT_EQ(out[0].sessionId, 5);
    EXPECT_EQ(out[0].transactionId, 105);
    EXPECT_TRUE(out[0].blocking);
    EXPECT_FALSE(out[0].periodic);
    ASSERT_TRUE(out[0].fix.has_value());
    EXPECT_EQ(out[0].fix->latitude, 3.0);
    EXPECT_EQ(out[0].ageOfFix, 0.0);
    EXPECT_EQ(sessions.SessionCount(), 0u);
    EXPECT_FALSE(sessions.NextDeadlineMs().has_value());

    // Answered once: later fixes and the old deadline produce nothing.
    clock.Advance(1000);
    EXPECT_TRUE(sessions.OnFix(MakeFix(1.0, 4.0)).empty());
    clock.Advance(20000);
    EXPECT_TRUE(sessions.Tick().empty());
}

TEST_F(LocationSessionsTest, ZeroOrNegativeAccuracyAcceptsAnyFix) {
    ASSERT_FALSE(sessions.Request(Single(1, 1, 10, 0)).has_value());
    ASSERT_FALSE(sessions.Request(Single(1, 2, 10, -5)).has_value());
    ASSERT_FALSE(sessions.Request(Single(1, 3, 10, 10)).has_value());
    auto out = sessions.OnFix(MakeFix(5000.0, 1.0));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].sessionId, 1);
    EXPECT_EQ(out[1].sessionId, 2);
    EXPECT_EQ(sessions.SessionCount(), 1u) << "the 10 m request still waits";
}

TEST_F(LocationSessionsTest, SingleFixTimesOutExactlyAtResponseTime) {
    ASSERT_FALSE(sessions.Request(Single(3, 9, 5, 20)).has_value());
    ASSERT_EQ(sessions.NextDeadlineMs(), 5000);

    clock.Advance(4999);
    EXPECT_TRUE(sessions.OnFix(MakeFix(100.0, 1.0)).empty());
    EXPECT_TRUE(sessions.Tick().empty());
    clock.Advance(1);
    auto out = sessions.Tick();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, Kind::kTimeout);
    EXPECT_EQ(out[0].client, 3);
    EXPECT_EQ(out[0].sessionId, 9);
    EXPECT_EQ(out[0].transactionId, 109);
    EXPECT_FALSE(sessions.NextDeadlineMs().has_value());
    EXPECT_TRUE(sessions.OnFix(MakeFix(1.0, 2.0)).empty()) << "no answer after the timeout";
}

TEST_F(LocationSessionsTest, FixArrivingAtTheDeadlineIsTooLateWhateverTheCallOrder) {
    ASSERT_FALSE(sessions.Request(Single(1, 1, 2, 0)).has_value());
    clock.Advance(2000);
    // The event loop delivers the fix before it ticks: the timeout still wins.
    auto out = sessions.OnFix(MakeFix(1.0, 1.0));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, Kind::kTimeout);
    EXPECT_TRUE(sessions.Tick().empty());
}

TEST_F(LocationSessionsTest, ResponseTimeZeroAnswersAtOnce) {
    // No fix yet: timeout at once.
    auto none = sessions.Request(Single(1, 1, 0, 0));
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(none->kind, Kind::kTimeout);

    ASSERT_TRUE(sessions.OnFix(MakeFix(30.0, 7.0)).empty());
    clock.Advance(1500);
    auto hit = sessions.Request(Single(1, 2, 0, 30));
    ASSERT_TRUE(hit.has_value());
    EXPECT_EQ(hit->kind, Kind::kLocation);
    EXPECT_EQ(hit->cause, LocationCause::kOk);
    ASSERT_TRUE(hit->fix.has_value());
    EXPECT_EQ(hit->fix->latitude, 7.0);
    EXPECT_DOUBLE_EQ(hit->ageOfFix, 1.5);

    auto poor = sessions.Request(Single(1, 3, 0, 29));
    ASSERT_TRUE(poor.has_value());
    EXPECT_EQ(poor->kind, Kind::kTimeout) << "current fix is 30 m, 29 m requested";

    sessions.OnFixLost();
    auto lost = sessions.Request(Single(1, 4, 0, 0));
    ASSERT_TRUE(lost.has_value());
    EXPECT_EQ(lost->kind, Kind::kTimeout);
    EXPECT_EQ(sessions.SessionCount(), 0u) << "responseTime 0 never leaves a session behind";
}

TEST_F(LocationSessionsTest, InvalidRequestsAreRefused) {
    LocationRequest negative = Single(1, 1, -1, 0);
    LocationRequest zeroInterval = Periodic(1, 2, 0);
    LocationRequest blockingPeriodic = Periodic(1, 3, 5);
    blockingPeriodic.blocking = true;
    const struct {
        LocationRequest req;
        InvalidReason reason;
    } cases[] = {
        {negative, InvalidReason::kNegativeResponseTime},
        {zeroInterval, InvalidReason::kIntervalTooShort},
        {Periodic(1, 4, -3), InvalidReason::kIntervalTooShort},
        {blockingPeriodic, InvalidReason::kPeriodicBlocking},
    };
    for (const auto &c : cases) {
        auto out = sessions.Request(c.req);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(out->kind, Kind::kInvalidRequest);
        EXPECT_EQ(out->invalidReason, c.reason);
        EXPECT_EQ(out->sessionId, c.req.sessionId);
    }
    EXPECT_EQ(sessions.SessionCount(), 0u);
    EXPECT_FALSE(sessions.NextDeadlineMs().has_value());
}

// --- periodic ---------------------------------------------------------------------

TEST_F(LocationSessionsTest, PeriodicReportsFollowTheIntervalExactly) {
    ASSERT_TRUE(sessions.OnFix(MakeFix(10.0, 0.0)).empty());
    clock.Advance(300);  // the session starts at 300 ms
    ASSERT_FALSE(sessions.Request(Periodic(2, 7, 2)).has_value());
    EXPECT_EQ(sessions.NextDeadlineMs(), 2300);

    std::vector<int64_t> reportTimes;
    std::vector<double> latitudes;
    for (int step = 1; step <= 40; ++step) {  // 10 s in steps of 250 ms
        clock.Advance(250);
        std::vector<LocationAnswer> out;
        if (step % 4 == 0) {
            out = sessions.OnFix(MakeFix(10.0, step));  // a fix every second
        } else {
            out = sessions.Tick();
        }
        for (const LocationAnswer &a : out) {
            ASSERT_EQ(a.kind, Kind::kLocation);
            EXPECT_TRUE(a.periodic);
            EXPECT_EQ(a.client, 2);
            EXPECT_EQ(a.sessionId, 7);
            EXPECT_EQ(a.transactionId, 107);
            EXPECT_EQ(a.cause, LocationCause::kOk);
            ASSERT_TRUE(a.fix.has_value());
            EXPECT_DOUBLE_EQ(a.ageOfFix, 1.0);
            reportTimes.push_back(clock.MonoMs());
            latitudes.push_back(a.fix->latitude);
        }
    }
    EXPECT_EQ(reportTimes, (std::vector<int64_t>{2300, 4300, 6300, 8300, 10300}));
    // Each report carries the latest fix: fixes came at 1300, 2300 (after the report at
    // 2300 was settled), 3300, ... so the report at 4300 sees the fix of 3300, and so on.
    EXPECT_EQ(latitudes, (std::vector<double>{4, 12, 20, 28, 36}));
    EXPECT_EQ(sessions.NextDeadlineMs(), 12300);
}

TEST_F(LocationSessionsTest, LatePeriodicTickSendsOneReportAndKeepsTheGrid) {
    ASSERT_FALSE(sessions.Request(Periodic(1, 1, 1)).has_value());
    clock.Advance(3500);  // three report times passed while the loop was busy
    EXPECT_EQ(sessions.Tick().size(), 1u);
    EXPECT_EQ(sessions.NextDeadlineMs(), 4000);
    clock.Advance(500);
    EXPECT_EQ(sessions.Tick().size(), 1u);
    EXPECT_EQ(sessions.NextDeadlineMs(), 5000);
}

TEST_F(LocationSessionsTest, PeriodicReportWithoutFixOrWithPoorFix) {
    ASSERT_FALSE(sessions.Request(Periodic(1, 1, 1, 20)).has_value());
    clock.Advance(1000);
    auto noFix = sessions.Tick();
    ASSERT_EQ(noFix.size(), 1u);
    EXPECT_EQ(noFix[0].kind, Kind::kLocation);
    EXPECT_EQ(noFix[0].cause, LocationCause::kNoFix);
    EXPECT_FALSE(noFix[0].fix.has_value());
    EXPECT_EQ(noFix[0].ageOfFix, kNoFixAge);

    ASSERT_TRUE(sessions.OnFix(MakeFix(45.0, 1.0)).empty());
    clock.Advance(1000);
    auto poor = sessions.Tick();
    ASSERT_EQ(poor.size(), 1u);
    EXPECT_EQ(poor[0].cause, LocationCause::kAccuracyNotMet);
    ASSERT_TRUE(poor[0].fix.has_value());
    EXPECT_EQ(poor[0].fix->horizontalAccuracy, 45.0);
    EXPECT_DOUBLE_EQ(poor[0].ageOfFix, 1.0);

    sessions.OnFixLost();
    clock.Advance(1000);
    auto lost = sessions.Tick();
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].cause, LocationCause::kNoFix);
    EXPECT_FALSE(lost[0].fix.has_value());
}

// --- aborts, removal, limits ------------------------------------------------------

TEST_F(LocationSessionsTest, AbortBySessionIdEndsOnlyThatSession) {
    ASSERT_FALSE(sessions.Request(Periodic(1, 1, 1)).has_value());
    ASSERT_FALSE(sessions.Request(Periodic(1, 2, 1)).has_value());
    ASSERT_FALSE(sessions.Request(Single(1, 3, 60, 5)).has_value());
    ASSERT_FALSE(sessions.Request(Periodic(2, 1, 1)).has_value());

    EXPECT_EQ(sessions.Abort(1, 1), AbortResult::kAborted);
    EXPECT_EQ(sessions.Abort(1, 1), AbortResult::kNotFound) << "already aborted";
    EXPECT_EQ(sessions.Abort(1, 9), AbortResult::kNotFound);
    EXPECT_EQ(sessions.Abort(3, 2), AbortResult::kNotFound) << "client 3 holds nothing";
    EXPECT_EQ(sessions.Abort(1, 3), AbortResult::kAborted) << "a pending single fix";

    clock.Advance(1000);
    auto out = sessions.Tick();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].client, 1);
    EXPECT_EQ(out[0].sessionId, 2);
    EXPECT_EQ(out[1].client, 2);
    EXPECT_EQ(out[1].sessionId, 1);
    clock.Advance(60000);
    for (const LocationAnswer &a : sessions.Tick()) {
        EXPECT_NE(a.kind, Kind::kTimeout) << "the aborted single fix must not time out";
    }
}

TEST_F(LocationSessionsTest, AbortAllAndRemovalReleaseEverythingOfOneClient) {
    for (uint8_t id = 1; id <= 3; ++id) {
        ASSERT_FALSE(sessions.Request(Periodic(1, id, 1)).has_value());
        ASSERT_FALSE(sessions.Request(Periodic(2, id, 2)).has_value());
    }
    ASSERT_FALSE(sessions.Request(Single(1, 4, 30, 1)).has_value());
    ASSERT_FALSE(sessions.Request(Single(3, 1, 30, 1)).has_value());

    EXPECT_EQ(sessions.AbortAll(1), 4u);
    EXPECT_EQ(sessions.SessionCount(1), 0u);
    EXPECT_EQ(sessions.AbortAll(1), 0u);
    EXPECT_EQ(sessions.SessionCount(2), 3u);

    EXPECT_EQ(sessions.RemoveClient(2), 3u);
    EXPECT_EQ(sessions.RemoveClient(3), 1u);
    EXPECT_EQ(sessions.SessionCount(), 0u);
    EXPECT_FALSE(sessions.NextDeadlineMs().has_value());
    clock.Advance(60000);
    EXPECT_TRUE(sessions.Tick().empty());
    EXPECT_TRUE(sessions.OnFix(MakeFix(1.0, 1.0)).empty());
}

TEST_F(LocationSessionsTest, SessionLimitAndSessionIdReuse) {
    for (uint8_t id = 0; id < kMaxSessionsPerClient; ++id) {
        ASSERT_FALSE(sessions.Request(id % 2 ? Periodic(1, id, 5) : Single(1, id, 30, 1)))
            << "session " << int{id};
    }
    auto over = sessions.Request(Periodic(1, 100, 5));
    ASSERT_TRUE(over.has_value());
    EXPECT_EQ(over->kind, Kind::kLocation);
    EXPECT_EQ(over->cause, LocationCause::kTooManySessions);
    EXPECT_EQ(over->sessionId, 100);
    EXPECT_FALSE(over->fix.has_value());

    EXPECT_FALSE(sessions.Request(Periodic(2, 100, 5)).has_value()) << "another client";

    auto dup = sessions.Request(Single(2, 100, 5, 0));
    ASSERT_TRUE(dup.has_value());
    EXPECT_EQ(dup->cause, LocationCause::kSessionIdInUse);

    ASSERT_EQ(sessions.Abort(1, 3), AbortResult::kAborted);
    EXPECT_FALSE(sessions.Request(Periodic(1, 100, 5)).has_value()) << "room again";
    EXPECT_EQ(sessions.SessionCount(1), kMaxSessionsPerClient);
}

TEST_F(LocationSessionsTest, NextDeadlineIsTheEarliestOfAllSessions) {
    EXPECT_FALSE(sessions.NextDeadlineMs().has_value());
    ASSERT_FALSE(sessions.Request(Periodic(1, 1, 10)).has_value());
    clock.Advance(1000);
    ASSERT_FALSE(sessions.Request(Single(2, 1, 4, 1)).has_value());
    EXPECT_EQ(sessions.NextDeadlineMs(), 5000);
    ASSERT_EQ(sessions.RemoveClient(2), 1u);
    EXPECT_EQ(sessions.NextDeadlineMs(), 10000);
}

// --- last known -------------------------------------------------------------------

TEST_F(LocationSessionsTest, LastKnownLocationCarriesItsAge) {
    LocationAnswer none = sessions.LastKnown(4, 8, 9, true);
    EXPECT_EQ(none.kind, Kind::kLocation);
    EXPECT_EQ(none.cause, LocationCause::kNoFix);
    EXPECT_FALSE(none.fix.has_value());
    EXPECT_EQ(none.ageOfFix, kNoFixAge);
    EXPECT_EQ(none.sessionId, 8);
    EXPECT_EQ(none.transactionId, 9);
    EXPECT_TRUE(none.blocking);

    clock.Advance(10000);
    ASSERT_TRUE(sessions.OnFix(MakeFix(500.0, 52.5)).empty());
    clock.Advance(2250);
    sessions.OnFixLost();  // the last known fix outlives the loss of fix
    LocationAnswer known = sessions.LastKnown(4, 8, 9, false);
    EXPECT_EQ(known.cause, LocationCause::kOk);
    ASSERT_TRUE(known.fix.has_value());
    EXPECT_EQ(known.fix->latitude, 52.5);
    EXPECT_EQ(known.fix->monoMs, 10000);
    EXPECT_DOUBLE_EQ(known.ageOfFix, 2.25);
    EXPECT_FALSE(known.blocking);
    EXPECT_FALSE(sessions.CurrentFix().has_value());
}

}  // namespace
}  // namespace lapid
