// The domain layer where the engine scenarios cannot reach: geodesy and simulated routes
// against GeographicLib, the simulator's clock rules, the GPS database file, MT-LR
// bookkeeping limits and proximity corner cases.
#include <GeographicLib/Geodesic.hpp>
#include <GeographicLib/GeodesicLine.hpp>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <array>
#include <cmath>
#include <fstream>
#include <limits>

#include "domain/geodesy.h"
#include "domain/mtlr.h"
#include "domain/proximity.h"
#include "domain/status.h"
#include "domain/sources/simulator.h"
#include "domain/gps_db.h"
#include "testkit.h"

namespace {

using namespace lapid;
const GeographicLib::Geodesic &kWgs84 = GeographicLib::Geodesic::WGS84();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Geodesy, MatchesGeographicLib) {
    const double pairs[][4] = {{40.6, -73.8, 51.6, -0.5}, {-33.9, 151.2, 35.7, 139.7},
                               {0, 0, 0, 179.5},          {10, 190, -20, -100},
                               {89.9, 0, -89.9, 180},     {52.52, 13.405, 52.52, 13.405}};
    for (const auto &p : pairs) {
        SCOPED_TRACE(testing::Message() << p[0] << "," << p[1] << " " << p[2] << "," << p[3]);
        double s12 = 0, azi1 = 0, azi2 = 0, lat2 = 0, lon2 = 0;
        kWgs84.Inverse(p[0], p[1], p[2], p[3], s12, azi1, azi2);
        const auto inv = geo::Inverse(p[0], p[1], p[2], p[3]);
        ASSERT_TRUE(inv);
        EXPECT_NEAR(inv->distance, s12, 1e-6);
        EXPECT_NEAR(inv->azimuth, s12 == 0 ? 0 : std::fmod(azi1 + 360, 360), 1e-9);
        EXPECT_TRUE(inv->azimuth >= 0 && inv->azimuth < 360);
        kWgs84.Direct(p[0], p[1], 200, -123456.7, lat2, lon2, azi2);
        const auto dir = geo::Direct(p[0], p[1], 200, -123456.7);
        ASSERT_TRUE(dir);
        EXPECT_NEAR(dir->latitude, lat2, 1e-9);
        EXPECT_NEAR(std::remainder(dir->longitude - lon2, 360), 0, 1e-9);
        EXPECT_NEAR(dir->azimuth, std::fmod(azi2 + 360, 360), 1e-9);
        EXPECT_TRUE(dir->longitude >= -180 && dir->longitude <= 180);
    }
    EXPECT_FALSE(geo::Inverse(90.0001, 0, 0, 0));
    EXPECT_FALSE(geo::Inverse(0, 0, -90.0001, 0));
    EXPECT_FALSE(geo::Inverse(kNaN, 0, 0, 0));
    EXPECT_FALSE(geo::Inverse(0, 0, 0, kInf));
    EXPECT_FALSE(geo::Direct(91, 0, 0, 1));
    EXPECT_FALSE(geo::Direct(0, 0, kNaN, 1));
    EXPECT_FALSE(geo::Direct(0, 0, 0, kInf));
    EXPECT_TRUE(geo::IsValidPoint(-90, 1e300));
    const double az[][2] = {{-90, 270}, {360, 0}, {725, 5}, {-0.0, 0}, {359.5, 359.5}};
    for (const auto &a : az) {
        EXPECT_EQ(geo::NormalizeAzimuth(a[0]), a[1]) << a[0];
    }
    EXPECT_FALSE(std::signbit(geo::NormalizeAzimuth(-0.0)));
    EXPECT_TRUE(std::isnan(geo::NormalizeAzimuth(kNaN)));
}

std::vector<Fix> TickTo(Simulator &sim, ManualClock &clock, int64_t ms) {
    clock.Advance(ms - clock.MonoMs());
    sim.Tick(clock.MonoMs());
    return sim.TakeNewFixes();
}

TEST(Simulator, GridFirstFixCatchUpAndQueue) {
    ManualClock clock;
    clock.Advance(500);  // t0 = 500: grid seconds 1500, 2500, ...
    SimulatorConfig cfg;
    cfg.timeToFirstFixMs = 2200;
    Simulator sim = *Simulator::Create(clock, cfg);
    EXPECT_EQ(sim.NextDeadlineMs(), 1500);
    EXPECT_TRUE(TickTo(sim, clock, 3499).empty());
    EXPECT_EQ(sim.State(), FixState::kAcquiring);
    EXPECT_FALSE(sim.LatestFix());
    const std::vector<Fix> first = TickTo(sim, clock, 3500);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].monoMs, 3500);
    EXPECT_EQ(first[0].timeStampMs, clock.WallMs());
    EXPECT_EQ(sim.State(), FixState::kFix);
    EXPECT_EQ(sim.NextDeadlineMs(), 4500);
    // Twenty seconds late: only the last ten seconds are produced.
    const std::vector<Fix> late = TickTo(sim, clock, 23900);
    ASSERT_EQ(late.size(), static_cast<std::size_t>(Simulator::kMaxCatchUpFixes));
    EXPECT_EQ(late.front().monoMs, 14500);
    EXPECT_EQ(late.back().monoMs, 23500);
    // Uncollected fixes are bounded, the newest kept.
    for (int64_t t = 33500; t <= 103500; t += 10000) {
        clock.Advance(t - clock.MonoMs());
        sim.Tick(t);
    }
    const std::vector<Fix> kept = sim.TakeNewFixes();
    ASSERT_EQ(kept.size(), Simulator::kMaxQueuedFixes);
    EXPECT_EQ(kept.back().monoMs, 103500);
    EXPECT_EQ(kept.front().monoMs, 103500 - 63000);
    // A minimum of one second to the first fix; ForceFix during acquisition.
    cfg.timeToFirstFixMs = 0;
    Simulator quick = *Simulator::Create(clock, cfg);
    EXPECT_TRUE(TickTo(quick, clock, 104499).empty());
    EXPECT_EQ(TickTo(quick, clock, 104500).size(), 1u);
    cfg.timeToFirstFixMs = 60000;
    Simulator slow = *Simulator::Create(clock, cfg);
    slow.ForceFix();
    EXPECT_EQ(slow.State(), FixState::kAcquiring);
    ASSERT_EQ(TickTo(slow, clock, 105500).size(), 1u);
    slow.ForceNoFix();
    EXPECT_EQ(slow.State(), FixState::kNoFix);
    EXPECT_FALSE(slow.LatestFix());
    EXPECT_TRUE(TickTo(slow, clock, 107500).empty());
}

TEST(Simulator, DefaultRouteFollowsTheGeodesicsAndAccuracySettles) {
    ManualClock clock;
    SimulatorConfig cfg;
    cfg.timeToFirstFixMs = 0;
    cfg.speedMps = 7;
    Simulator sim = *Simulator::Create(clock, cfg);
    const std::vector<Waypoint> route = Simulator::DefaultRoute();
    std::array<double, 4> length{};
    for (std::size_t i = 0; i < 4; ++i) {
        const Waypoint &a = route.at(i), &b = route.at((i + 1) % 4);
        kWgs84.Inverse(a.latitude, a.longitude, b.latitude, b.longitude, length[i]);
    }
    const double total = length[0] + length[1] + length[2] + length[3];
    const double expectedAcc[] = {50, 25, 12.5, 6.25, 5, 5};
    for (int64_t s = 1; s <= 400; s += 1) {
        const std::vector<Fix> fixes = TickTo(sim, clock, s * 1000);
        ASSERT_EQ(fixes.size(), 1u);
        const Fix &f = fixes[0];
        EXPECT_EQ(f.horizontalAccuracy, s <= 6 ? expectedAcc[s - 1] : 5);
        EXPECT_EQ(f.verticalAccuracy, 1.5 * f.horizontalAccuracy);
        EXPECT_EQ(f.latLonAccuracy, f.horizontalAccuracy);
        double d = std::fmod(7.0 * static_cast<double>(s - 1), total);
        std::size_t leg = 0;
        while (d > length[leg]) {
            d -= length[leg++];
        }
        const Waypoint &a = route.at(leg), &b = route.at((leg + 1) % 4);
        GeographicLib::GeodesicLine line =
            kWgs84.InverseLine(a.latitude, a.longitude, b.latitude, b.longitude);
        double lat = 0, lon = 0, azi = 0;
        line.Position(d, lat, lon, azi);
        ASSERT_NEAR(f.latitude, lat, 1e-9) << s;
        ASSERT_NEAR(f.longitude, lon, 1e-9) << s;
        EXPECT_NEAR(f.altitude, a.altitude + (b.altitude - a.altitude) * d / length[leg], 1e-6);
        EXPECT_NEAR(std::remainder(f.course - azi, 360), 0, 1e-6);
        EXPECT_TRUE(f.course >= 0 && f.course < 360);
        EXPECT_EQ(f.speed, 7);
    }
}

TEST(Simulator, InvalidSettingsChangeNothing) {
    ManualClock clock;
    SimulatorConfig bad;
    bad.finalAccuracyM = 60;  // above the initial accuracy
    const std::string accuracies = "simulator: accuracies must satisfy 0 < final <= initial";
    EXPECT_EQ(Simulator::Create(clock, bad).ErrorText(), accuracies);
    bad = {};
    bad.timeToFirstFixMs = -1;
    EXPECT_EQ(Simulator::Create(clock, bad).ErrorText(), "simulator: negative time to first fix");
    bad = {};
    bad.finalAccuracyM = 0;
    EXPECT_EQ(Simulator::Create(clock, bad).ErrorText(), accuracies);
    bad.finalAccuracyM = 0.5;  // any positive final accuracy will do
    EXPECT_TRUE(Simulator::Create(clock, bad));
    bad.route = {{0, 0, kNaN}};
    EXPECT_EQ(Simulator::Create(clock, bad).ErrorText(), "simulator: invalid position");
    SimulatorConfig cfg;
    cfg.timeToFirstFixMs = 0;
    Simulator sim = *Simulator::Create(clock, cfg);
    ASSERT_EQ(sim.SetFixedPosition(1, 2, 3, 4), SimulatorResult::kOk);
    EXPECT_EQ(sim.SetFixedPosition(91, 0, 0, 5), SimulatorResult::kInvalidPosition);
    EXPECT_EQ(sim.SetFixedPosition(0, kInf, 0, 5), SimulatorResult::kInvalidPosition);
    EXPECT_EQ(sim.SetFixedPosition(0, 0, kNaN, 5), SimulatorResult::kInvalidPosition);
    EXPECT_EQ(sim.SetFixedPosition(0, 0, 0, kNaN), SimulatorResult::kInvalidAccuracy);
    EXPECT_EQ(sim.SetFixedPosition(0, 0, 0, -1), SimulatorResult::kInvalidAccuracy);
    EXPECT_EQ(sim.SetRoute({}, 1, true), SimulatorResult::kEmptyRoute);
    EXPECT_EQ(sim.SetRoute({{0, 0, 0}, {0, 0, kInf}}, 1, true), SimulatorResult::kInvalidPosition);
    EXPECT_EQ(sim.SetRoute({{0, 0, 0}}, kNaN, true), SimulatorResult::kInvalidSpeed);
    const std::vector<Fix> f = TickTo(sim, clock, 1000);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].latitude, 1);
    EXPECT_EQ(f[0].altitude, 3);
    EXPECT_EQ(f[0].horizontalAccuracy, 4);
    EXPECT_STREQ(SimulatorResultName(SimulatorResult::kInvalidSpeed), "invalid speed");
}

void Exec(const std::string &path, const char *sql) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

GpsDbEntry Entry(uint32_t id, uint8_t byte) {
    return GpsDbEntry{id, 1, {byte, 0, 0, 0}};
}

uint8_t Stored(GpsDb &db, uint32_t id) {
    const Result<std::optional<GpsDbEntry>> e = db.Get(id);
    EXPECT_TRUE(e) << e.ErrorText();
    return e && *e ? (*e)->data[0] : 0;
}

// SetMany's answer, or the error text of a storage failure.
std::string Written(GpsDb &db, const std::vector<GpsDbEntry> &entries) {
    const Result<GpsDbResult> r = db.SetMany(entries);
    return r ? GpsDbResultName(*r) : r.ErrorText();
}

TEST(GpsDb, FileSurvivesReopenAndFailuresLeaveItAsItWas) {
    lapitest::TempDir dir;
    const std::string path = dir.File("gps.db");
    {
        auto db = *GpsDb::Open(path);
        ASSERT_TRUE(db);
        ASSERT_EQ(Written(*db, {Entry(1, 0x11), Entry(2, 0x22)}), "ok");
    }
    Exec(path,
         "CREATE TRIGGER fail BEFORE INSERT ON gps_db_entry WHEN NEW.file_id = 666 "
         "BEGIN SELECT RAISE(ABORT, 'injected'); END");
    auto db = *GpsDb::Open(path);
    ASSERT_TRUE(db);
    EXPECT_EQ(Stored(*db, 1), 0x11);
    const std::vector<GpsDbEntry> batch{Entry(1, 0x33), Entry(666, 6), Entry(3, 0x44)};
    EXPECT_EQ(Written(*db, batch), "cannot write an entry: injected");
    EXPECT_EQ(Stored(*db, 1), 0x11);
    EXPECT_EQ(Stored(*db, 3), 0);
    Exec(path, "DROP TRIGGER fail");
    EXPECT_EQ(Written(*db, batch), "ok");
    EXPECT_EQ(Stored(*db, 666), 6);
    db.reset();
    EXPECT_EQ(Stored(**GpsDb::Open(path), 3), 0x44);
    // A read that fails inside SQLite is a storage error with its reason.
    db = *GpsDb::Open(path);
    Exec(path,
         "ALTER TABLE gps_db_entry RENAME TO kept; CREATE VIEW gps_db_entry(file_id, len, data) "
         "AS SELECT 1, abs(-9223372036854775807 - 1), x'00'");
    const Result<std::optional<GpsDbEntry>> failed = db->Get(1);
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.ErrorText().find("cannot read an entry"), std::string::npos);
    db.reset();

    Exec(path, "PRAGMA user_version = 2");
    EXPECT_NE(GpsDb::Open(path).ErrorText().find("unsupported schema version 2"),
              std::string::npos);
    std::ofstream(dir.File("junk.db")) << std::string(4096, 'x');
    EXPECT_FALSE(GpsDb::Open(dir.File("junk.db")).ErrorText().empty());
    EXPECT_FALSE(GpsDb::Open(dir.File("missing/gps.db")).ErrorText().empty());
}

TEST(Mtlr, IdsStayUniqueAcrossWrapAroundAndPendingAndHistoryAreBounded) {
    ManualClock clock;
    MtlrNotifications m(clock);
    MtlrRequest verify;
    verify.notificationType = 1;
    // The first pair stays open while the counter goes round all 65536 pairs.
    const InjectResult held = m.Inject(verify, {7});
    ASSERT_EQ(held.events.notify.size(), 1u);
    const MtlrNotify first = held.events.notify[0];
    for (int i = 1; i < 65536; ++i) {
        const InjectResult r = m.Inject(verify, {1});
        ASSERT_EQ(
            m.Answer(1, r.events.notify[0].sessionId, r.events.notify[0].transactionId, 0).result,
            AnswerResult::kAccepted);
    }
    const InjectResult next = m.Inject(verify, {1, 1});
    ASSERT_EQ(next.events.notify.size(), 1u);
    EXPECT_NE(next.events.notify[0].sessionId << 8 | next.events.notify[0].transactionId,
              first.sessionId << 8 | first.transactionId);
    EXPECT_EQ(m.Answer(1, first.sessionId, first.transactionId, 0).result,
              AnswerResult::kNotNotified);
    EXPECT_EQ(m.History().size(), kMtlrHistorySize);
    EXPECT_EQ(m.History().back().requestId, 65536u);
    EXPECT_FALSE(m.Find(65536 - kMtlrHistorySize));
    EXPECT_TRUE(m.Find(65537 - kMtlrHistorySize));
    while (m.Pending().size() < kMaxPendingMtlr) {
        ASSERT_EQ(m.Inject(verify, {2}).error, InjectError::kNone);
    }
    EXPECT_EQ(m.Inject(verify, {2}).error, InjectError::kTooManyPending);
    EXPECT_EQ(m.OpenNotifications(2), kMaxPendingMtlr - 2);
    EXPECT_EQ(DefaultCause(NotificationType::kVerifyDenyIfNoResponse),
              NotificationCause::kDeniedByDefault);
}

TEST(Proximity, BoundaryInvalidFixesAndOtherClients) {
    ProximityListeners p;
    double radius = 0;  // the distance to a point east on the equator: that point is inside
    kWgs84.Inverse(0, 0, 0, 0.01, radius);
    ASSERT_EQ(p.Add(2, {0, 0, 0, radius}, 5, 6), ProximityResult::kOk);
    ASSERT_EQ(p.Add(1, {0, 0, 0, radius}), ProximityResult::kOk);
    EXPECT_EQ(p.Add(1, {0, kNaN, 0, 10}), ProximityResult::kInvalidGeometry);
    EXPECT_EQ(p.Add(1, {0, 0, kInf, 10}), ProximityResult::kInvalidGeometry);
    EXPECT_EQ(p.Add(1, {0, 0, 0, kInf}), ProximityResult::kInvalidGeometry);
    Fix f;
    f.longitude = 0.01;
    std::vector<ProximityHit> hits = p.OnFix(f);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].client, 1);
    EXPECT_EQ(hits[1].client, 2);
    EXPECT_EQ(hits[1].sessionId, 5);
    EXPECT_EQ(hits[1].transactionId, 6);
    EXPECT_EQ(hits[1].listenerNumber, 1u);
    EXPECT_EQ(hits[1].distance, radius);
    f.latitude = kNaN;
    EXPECT_TRUE(p.OnFix(f).empty());
    f.latitude = 0;
    EXPECT_TRUE(p.OnFix(f).empty());  // the invalid fix did not count as outside
    EXPECT_EQ(p.RemoveClient(1), 1u);
    EXPECT_EQ(p.RemoveClient(1), 0u);
    EXPECT_EQ(p.TotalCount(), 1u);
    f.longitude = 0.02;
    EXPECT_TRUE(p.OnFix(f).empty());
    f.longitude = 0;
    hits = p.OnFix(f);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].client, 2);
    EXPECT_NEAR(hits[0].distance, 0, 1e-9);
}

TEST(Status, ApplyChecksEveryValueFirst) {
    StatusModel s;
    StatusSnapshot next = s.Current();
    next.hwStatus = 2;
    next.proximityStatus = 7;
    const StatusSetResult bad = s.Apply(next);
    EXPECT_EQ(bad.error, StatusError::kBadValue);
    EXPECT_EQ(s.Current(), StatusSnapshot{});
    next.proximityStatus = 1;
    ASSERT_TRUE(s.Apply(next).changed);
    EXPECT_EQ(s.Current(), next);
    EXPECT_FALSE(s.Apply(next).changed);
    EXPECT_EQ(s.Get(StatusField::kProximityStatus), 1);
    EXPECT_EQ(s.Set(StatusField::kFixStatus, 3).error, StatusError::kBadValue);
}

}  // namespace
