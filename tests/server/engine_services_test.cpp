// The lapid engine wired to the domain layer: status indications, the position source,
// MT-LR notifications, proximity hits, the GPS database, and the backlog bound.
#include <gtest/gtest.h>

#include "lapid_harness.h"

namespace lapidtest {
namespace {

std::vector<Bytes> OfId(const std::vector<Bytes> &msgs, uint16_t msgId) {
    std::vector<Bytes> out;
    for (const Bytes &m : msgs) {
        if (MsgIdOf(m) == msgId) {
            out.push_back(m);
        }
    }
    return out;
}

TEST(EngineStatus, ChangesGoToStatusClientsOnlyAndOnlyWhenSomethingChanged) {
    EngineHarness h({}, 60000);
    const TestClient status = h.Register(LAPI_SERVICE_STATUS);
    const TestClient molr = h.Register(LAPI_SERVICE_MOLR);

    EXPECT_EQ(h.SetStatus("hwStatus", 2).error, lapid::StatusError::kNone);
    const auto ind = As<LAPI_STATUS_CHANGE_IND_S>(h.TakeOne(status.async));
    EXPECT_EQ(Val(ind.header.msgId), LAPI_MSG_STATUS_CHANGE_IND);
    EXPECT_EQ(Val(ind.hwStatus), 2);
    EXPECT_EQ(Val(ind.userStatus), 1);
    EXPECT_EQ(Val(ind.fixStatus), static_cast<int32_t>(lapid::FixState::kAcquiring));
    EXPECT_TRUE(h.Take(status.sync).empty());
    EXPECT_TRUE(h.Take(molr.async).empty());

    h.SetStatus("hwStatus", 2);  // unchanged: nothing
    EXPECT_TRUE(h.Take(status.async).empty());
    EXPECT_EQ(h.SetStatus("hwStatus", 9).error, lapid::StatusError::kBadValue);
    EXPECT_TRUE(h.Take(status.async).empty());

    h.SendRec(status.sync, Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 1));
    EXPECT_EQ(Val(As<LAPI_GET_STATUS_RSP_S>(h.TakeOne(status.sync)).hwStatus), 2);
}

TEST(EngineStatus, FixStatusFollowsThePositionSource) {
    EngineHarness h({}, 2000);
    const TestClient c = h.Register(LAPI_SERVICE_STATUS);
    h.Advance(2000);
    const auto acquired = As<LAPI_STATUS_CHANGE_IND_S>(h.TakeOne(c.async));
    EXPECT_EQ(Val(acquired.fixStatus), 2);
    EXPECT_EQ(Val(acquired.fixResultStatus.status), 1);
    EXPECT_EQ(Val(acquired.hwStatus), 1);

    h.sim.ForceNoFix();
    h.PollSource();
    const auto lost = As<LAPI_STATUS_CHANGE_IND_S>(h.TakeOne(c.async));
    EXPECT_EQ(Val(lost.fixStatus), 0);
    EXPECT_EQ(Val(lost.fixResultStatus.status), 2);
    EXPECT_EQ(Val(lost.fixResultStatus.cause), 3);
}

TEST(EngineLocation, LastKnownSurvivesTheLossOfFix) {
    EngineHarness h;
    const TestClient c = h.Register(LAPI_SERVICE_MOLR);
    auto last = Request<LAPI_LAST_KNOWN_LOCATION_REQ_S>(LAPI_MSG_LAST_KNOWN_LOCATION_REQ, 1);
    h.SendRec(c.sync, last);
    const auto none = As<LAPI_GET_LOCATION_RSP_S>(h.TakeOne(c.sync));
    EXPECT_EQ(Val(none.cause), static_cast<int32_t>(lapid::LocationCause::kNoFix));
    EXPECT_EQ(Val(none.ageOfFix), -1.0);

    h.UntilFix();
    h.sim.ForceNoFix();
    h.PollSource();
    h.Advance(2500);
    h.SendRec(c.sync, last);
    const auto rsp = As<LAPI_GET_LOCATION_RSP_S>(h.TakeOne(c.sync));
    EXPECT_EQ(Val(rsp.cause), 0);
    EXPECT_DOUBLE_EQ(Val(rsp.latitude), kStartLat);
    EXPECT_DOUBLE_EQ(Val(rsp.ageOfFix), 2.5);
    EXPECT_EQ(Val(rsp.locationMethod), lapid::kMethodSimulated);

    // With the fix gone, a single fix with responseTime 0 times out at once.
    h.SendRec(c.sync, LocationReq(LAPI_BLOCK, 0));
    EXPECT_EQ(MsgIdOf(h.TakeOne(c.sync)), LAPI_MSG_TIME_OUT_RSP);
}

TEST(EngineMtlr, NotificationAnswerAndOutcome) {
    EngineHarness h;
    const TestClient a = h.Register(LAPI_SERVICE_MTLR);
    const TestClient b = h.Register(LAPI_SERVICE_MTLR | LAPI_SERVICE_MOLR);
    const TestClient molr = h.Register(LAPI_SERVICE_MOLR);

    lapid::MtlrRequest req;
    req.notificationType = static_cast<int32_t>(lapid::NotificationType::kVerifyAllowIfNoResponse);
    req.locationType = 1;
    req.dataCodingSchema = 15;
    req.clientName = "Road Assist";
    req.clientExternalAddr = "+4930";
    const lapid::InjectResult r = h.Inject(req);
    ASSERT_EQ(Val(r.error), lapid::InjectError::kNone);

    const auto indA = As<LAPI_LOCATION_NOTIFICATION_IND_S>(h.TakeOne(a.async));
    const auto indB = As<LAPI_LOCATION_NOTIFICATION_IND_S>(h.TakeOne(b.async));
    EXPECT_TRUE(h.Take(molr.async).empty());
    EXPECT_TRUE(h.Take(a.sync).empty());
    EXPECT_EQ(Val(indA.notificationType), 1);
    EXPECT_EQ(Val(indA.locationType), 1);
    EXPECT_EQ(Val(indA.dataCodingSchema), 15);
    ASSERT_EQ(Val(indA.nameLength), 11);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(indA.clientName), 11), "Road Assist");
    EXPECT_EQ(Val(indA.addrLength), 5);

    // b answers a's notification: refused, nothing sent.
    LAPI_LOCATION_NOTIFICATION_CFM_S cfm{};
    cfm.header = Header(LAPI_MSG_LOCATION_NOTIFICATION_CFM, 6);
    cfm.sessionId = indA.sessionId;
    cfm.transactionId = indA.transactionId;
    cfm.responseType = static_cast<int32_t>(lapid::MtlrResponseType::kDeny);
    h.SendRec(b.sync, cfm);
    EXPECT_TRUE(h.Take(a.async).empty());
    EXPECT_TRUE(h.Take(b.async).empty());
    EXPECT_FALSE(Val(h.engine.FindMtlr(r.requestId)->settled));

    // a answers its own: both notified clients learn the outcome, each with its ids.
    h.SendRec(a.sync, cfm);
    const auto stA = As<LAPI_NOTIFICATION_STATUS_IND_S>(h.TakeOne(a.async));
    const auto stB = As<LAPI_NOTIFICATION_STATUS_IND_S>(h.TakeOne(b.async));
    EXPECT_EQ(Val(stA.cause), static_cast<int32_t>(lapid::NotificationCause::kDeniedByUser));
    EXPECT_EQ(Val(stA.sessionId), Val(indA.sessionId));
    EXPECT_EQ(Val(stB.transactionId), Val(indB.transactionId));
    EXPECT_TRUE(h.Take(a.sync).empty());
    const auto rec = h.engine.FindMtlr(r.requestId);
    ASSERT_TRUE(rec && rec->settled);
    EXPECT_EQ(Val(rec->answeredBy), Val(a.globalId));
}

TEST(EngineMtlr, UnansweredRequestTakesTheDefaultOfItsType) {
    EngineHarness h;
    const TestClient a = h.Register(LAPI_SERVICE_MTLR);
    lapid::MtlrRequest req;
    req.notificationType = static_cast<int32_t>(lapid::NotificationType::kVerifyDenyIfNoResponse);
    req.timeoutS = 3;
    const uint64_t id = h.Inject(req).requestId;
    h.Take(a.async);
    h.Advance(2900);
    EXPECT_TRUE(h.Take(a.async).empty());
    h.Advance(100);
    EXPECT_EQ(Val(As<LAPI_NOTIFICATION_STATUS_IND_S>(h.TakeOne(a.async)).cause),
              static_cast<int32_t>(lapid::NotificationCause::kDeniedByDefault));
    EXPECT_EQ(Val(h.engine.FindMtlr(id)->cause), lapid::NotificationCause::kDeniedByDefault);
}

TEST(EngineProximity, HitOnEnteringWithTheFixAndProximityStatus) {
    EngineHarness h;
    const TestClient c = h.Register(LAPI_SERVICE_MOLR | LAPI_SERVICE_STATUS);
    auto add = Request<LAPI_ADD_PROXIMITY_REQ_S>(LAPI_MSG_ADD_PROXIMITY_REQ, 1, 31, 32);
    add.latitude = kStartLat + 0.0005;  // about 56 m north of the position
    add.longitude = kStartLon;
    add.radius = 100;
    h.SendRec(c.sync, add);
    EXPECT_EQ(Val(As<LAPI_ADD_PROXIMITY_RSP_S>(h.TakeOne(c.sync)).status), 0);
    const auto active = As<LAPI_STATUS_CHANGE_IND_S>(h.TakeOne(c.async));
    EXPECT_EQ(Val(active.proximityStatus), 1);

    h.UntilFix();
    std::vector<Bytes> hits = OfId(h.Take(c.async), LAPI_MSG_PROXIMITY_HIT_IND);
    ASSERT_EQ(hits.size(), 1u);
    const auto hit = As<LAPI_PROXIMITY_HIT_IND_S>(hits[0]);
    EXPECT_EQ(Val(hit.sessionId), 31);
    EXPECT_EQ(Val(hit.transactionId), 32);
    EXPECT_DOUBLE_EQ(Val(hit.latitude), kStartLat);
    EXPECT_DOUBLE_EQ(Val(hit.longitude), kStartLon);
    EXPECT_EQ(Val(hit.timeStamp), h.clock.WallMs());

    // Staying inside: no more hits. Leaving and coming back: one more.
    h.Advance(3000);
    EXPECT_TRUE(OfId(h.Take(c.async), LAPI_MSG_PROXIMITY_HIT_IND).empty());
    h.sim.SetFixedPosition(kStartLat - 0.01, kStartLon, 0, 5);
    h.Advance(2000);
    h.sim.SetFixedPosition(kStartLat, kStartLon, 0, 5);
    h.Advance(2000);
    EXPECT_EQ(OfId(h.Take(c.async), LAPI_MSG_PROXIMITY_HIT_IND).size(), 1u);

    auto remove = Request<LAPI_REMOVE_PROXIMITY_REQ_S>(LAPI_MSG_REMOVE_PROXIMITY_REQ, 0);
    remove.removeType = 0;
    h.SendRec(c.sync, remove);
    const std::vector<Bytes> got = h.Take(c.async);
    ASSERT_EQ(OfId(got, LAPI_MSG_REMOVE_PROXIMITY_RSP).size(), 1u);
    EXPECT_EQ(
        Val(As<LAPI_REMOVE_PROXIMITY_RSP_S>(OfId(got, LAPI_MSG_REMOVE_PROXIMITY_RSP)[0]).status),
        0);
    ASSERT_EQ(OfId(got, LAPI_MSG_STATUS_CHANGE_IND).size(), 1u);
    EXPECT_EQ(
        Val(As<LAPI_STATUS_CHANGE_IND_S>(OfId(got, LAPI_MSG_STATUS_CHANGE_IND)[0]).proximityStatus),
        0);
}

TEST(EngineDistance, GeodesicAnswerAndDistanceOnly) {
    EngineHarness h;
    const TestClient c = h.Register(LAPI_SERVICE_MOLR);
    auto req = Request<LAPI_DISTANCE_AZIMUTH_REQ_S>(LAPI_MSG_DISTANCE_AZIMUTH_REQ, 1);
    req.latitude1 = 40.6;
    req.longitude1 = -73.8;
    req.latitude2 = 51.6;
    req.longitude2 = -0.5;
    h.SendRec(c.sync, req);
    const auto rsp = As<LAPI_DISTANCE_AZIMUTH_RSP_S>(h.TakeOne(c.sync));
    EXPECT_NEAR(Val(rsp.distance), 5551759.400, 1e-3);
    EXPECT_NEAR(Val(rsp.azimuth), 51.198883, 1e-6);

    req.distanceOnly = 1;
    h.SendRec(c.sync, req);
    const auto only = As<LAPI_DISTANCE_AZIMUTH_RSP_S>(h.TakeOne(c.sync));
    EXPECT_NEAR(Val(only.distance), 5551759.400, 1e-3);
    EXPECT_EQ(Val(only.azimuth), 0.0);
}

TEST(EngineGpsDb, SetThenGetAndRefusals) {
    EngineHarness h;
    const TestClient c = h.Register(LAPI_SERVICE_STATUS);
    auto set = Request<LAPI_SET_GPS_DB_DATA_REQ_S>(LAPI_MSG_SET_GPS_DB_DATA_REQ, 1);
    set.numFiles = 2;
    set.dbFile[0] = LAPI_GPS_DB_FILE_S{7, 2, {0xAB, 0xCD, 0xEE, 0xEE}};
    set.dbFile[1] = LAPI_GPS_DB_FILE_S{4000000000u, 4, {1, 2, 3, 4}};
    h.SendRec(c.sync, set);
    EXPECT_EQ(Val(As<LAPI_SET_GPS_DB_DATA_RSP_S>(h.TakeOne(c.sync)).result), 0);

    auto get = Request<LAPI_GET_GPS_DB_DATA_REQ_S>(LAPI_MSG_GET_GPS_DB_DATA_REQ, 1);
    get.fileId = 7;
    h.SendRec(c.sync, get);
    const auto rsp = As<LAPI_GET_GPS_DB_DATA_RSP_S>(h.TakeOne(c.sync));
    EXPECT_EQ(Val(rsp.result), 0);
    ASSERT_EQ(Val(rsp.numFiles), 1);
    EXPECT_EQ(Val(rsp.dbFile[0].fileId), 7u);
    EXPECT_EQ(Val(rsp.dbFile[0].length), 2);
    EXPECT_EQ(rsp.dbFile[0].data[0], 0xAB);
    EXPECT_EQ(rsp.dbFile[0].data[1], 0xCD);
    EXPECT_EQ(rsp.dbFile[0].data[2], 0);  // past length: not stored

    get.fileId = 8;
    h.SendRec(c.sync, get);
    const auto missing = As<LAPI_GET_GPS_DB_DATA_RSP_S>(h.TakeOne(c.sync));
    EXPECT_EQ(Val(missing.result), static_cast<int32_t>(lapid::GpsDbResult::kNotFound));
    EXPECT_EQ(Val(missing.numFiles), 0);

    set.numFiles = 23;
    h.SendRec(c.sync, set);
    EXPECT_EQ(Val(As<LAPI_SET_GPS_DB_DATA_RSP_S>(h.TakeOne(c.sync)).result),
              static_cast<int32_t>(lapid::GpsDbResult::kBadCount));
    set.numFiles = 0;
    h.SendRec(c.sync, set);
    EXPECT_EQ(Val(As<LAPI_SET_GPS_DB_DATA_RSP_S>(h.TakeOne(c.sync)).result),
              static_cast<int32_t>(lapid::GpsDbResult::kBadCount));
    set.numFiles = 2;
    set.dbFile[1].length = 5;
    set.dbFile[0].fileId = 9;
    h.SendRec(c.sync, set);
    EXPECT_EQ(Val(As<LAPI_SET_GPS_DB_DATA_RSP_S>(h.TakeOne(c.sync)).result),
              static_cast<int32_t>(lapid::GpsDbResult::kBadLength));
    EXPECT_FALSE(h.db->Get(9).has_value());  // nothing of a refused request is written
}

TEST(EngineBacklog, ClientThatDoesNotReadIsDisconnectedOthersGoOn) {
    lapid::EngineLimits limits;
    limits.maxBacklog = 1000;
    EngineHarness h(limits);
    const TestClient slow = h.Register(LAPI_SERVICE_STATUS);
    const TestClient fine = h.Register(LAPI_SERVICE_STATUS);
    h.notReading.insert(slow.async);

    // statusChangeInd is 38 bytes: 26 of them stay within 1000 bytes, the 27th passes it.
    for (int i = 0; i < 26; ++i) {
        h.SetStatus("emergencyStatus", i % 2 == 0 ? 1 : 0);
    }
    EXPECT_FALSE(h.IsClosed(slow.async));
    EXPECT_EQ(h.engine.Pending(slow.async).size(), 988u);
    h.SetStatus("emergencyStatus", 1);
    EXPECT_TRUE(h.IsClosed(slow.async));
    EXPECT_TRUE(h.IsClosed(slow.sync));
    EXPECT_EQ(Val(h.engine.Count().disconnectsSlowReader), 1u);
    EXPECT_EQ(h.engine.ClientCount(), 1u);

    EXPECT_EQ(h.Take(fine.async).size(), 27u);
    h.SetStatus("emergencyStatus", 0);
    EXPECT_EQ(h.Take(fine.async).size(), 1u);
}

}  // namespace
}  // namespace lapidtest
