// Which connection each answer of the lapid engine goes on, malformed requests, and
// whole-message framing of the input.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include "lapid_harness.h"

namespace lapidtest {
namespace {

constexpr uint32_t kAll = LAPI_SERVICE_MOLR | LAPI_SERVICE_MTLR | LAPI_SERVICE_STATUS;

// One request answered at once, and the message that answers it.
struct Immediate {
    const char *name;
    std::function<Bytes(uint8_t mode)> build;
    uint16_t answer;
};

Bytes DistanceReq(uint8_t mode, double lat1, double lon1, double lat2, double lon2,
                  uint8_t distanceOnly = 0) {
    auto r = Request<LAPI_DISTANCE_AZIMUTH_REQ_S>(LAPI_MSG_DISTANCE_AZIMUTH_REQ, mode);
    r.latitude1 = lat1;
    r.longitude1 = lon1;
    r.latitude2 = lat2;
    r.longitude2 = lon2;
    r.distanceOnly = distanceOnly;
    return ToBytes(r);
}

const Immediate kImmediate[] = {
    {"getStatusReq",
     [](uint8_t m) { return ToBytes(Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, m)); },
     LAPI_MSG_GET_STATUS_RSP},
    {"lastKnownLocationReq",
     [](uint8_t m) {
         return ToBytes(
             Request<LAPI_LAST_KNOWN_LOCATION_REQ_S>(LAPI_MSG_LAST_KNOWN_LOCATION_REQ, m));
     },
     LAPI_MSG_GET_LOCATION_RSP},
    {"abortLocationReq",
     [](uint8_t m) {
         return ToBytes(Request<LAPI_ABORT_LOCATION_REQ_S>(LAPI_MSG_ABORT_LOCATION_REQ, m));
     },
     LAPI_MSG_ABORT_LOCATION_RSP},
    {"getGpsDbDataReq",
     [](uint8_t m) {
         return ToBytes(Request<LAPI_GET_GPS_DB_DATA_REQ_S>(LAPI_MSG_GET_GPS_DB_DATA_REQ, m));
     },
     LAPI_MSG_GET_GPS_DB_DATA_RSP},
    {"setGpsDbDataReq",
     [](uint8_t m) {
         auto r = Request<LAPI_SET_GPS_DB_DATA_REQ_S>(LAPI_MSG_SET_GPS_DB_DATA_REQ, m);
         r.numFiles = 1;
         r.dbFile[0].fileId = 5;
         r.dbFile[0].length = 1;
         return ToBytes(r);
     },
     LAPI_MSG_SET_GPS_DB_DATA_RSP},
    {"distanceAzimuthReq", [](uint8_t m) { return DistanceReq(m, 1, 2, 3, 4); },
     LAPI_MSG_DISTANCE_AZIMUTH_RSP},
    {"addProximityReq",
     [](uint8_t m) {
         auto r = Request<LAPI_ADD_PROXIMITY_REQ_S>(LAPI_MSG_ADD_PROXIMITY_REQ, m);
         r.radius = 10;
         return ToBytes(r);
     },
     LAPI_MSG_ADD_PROXIMITY_RSP},
    {"removeProximityReq",
     [](uint8_t m) {
         return ToBytes(Request<LAPI_REMOVE_PROXIMITY_REQ_S>(LAPI_MSG_REMOVE_PROXIMITY_REQ, m));
     },
     LAPI_MSG_REMOVE_PROXIMITY_RSP},
    {"getLocationReq responseTime 0", [](uint8_t m) { return ToBytes(LocationReq(m, 0)); },
     LAPI_MSG_TIME_OUT_RSP},  // no fix yet
};

// The messages on a connection less the status indications (adding and removing
// proximity listeners changes proximityStatus).
std::vector<Bytes> Answers(EngineHarness &h, ConnId id) {
    std::vector<Bytes> got = h.Take(id);
    std::erase_if(got, [](const Bytes &m) { return MsgIdOf(m) == LAPI_MSG_STATUS_CHANGE_IND; });
    return got;
}

TEST(EngineRouting, BlockAnswersOnSyncNonBlockOnAsync) {
    EngineHarness h;
    const TestClient c = h.Register(kAll);
    for (const Immediate &r : kImmediate) {
        SCOPED_TRACE(r.name);
        h.Send(c.sync, r.build(LAPI_BLOCK));
        const Bytes onSync = h.TakeOne(c.sync);
        EXPECT_EQ(MsgIdOf(onSync), Val(r.answer));
        EXPECT_TRUE(Answers(h, c.async).empty());
        // The answer carries the request's sessionId and transactionId.
        ASSERT_GE(onSync.size(), 10u);
        EXPECT_EQ(onSync[8], 7);
        EXPECT_EQ(onSync[9], 9);

        h.Send(c.sync, r.build(LAPI_NONBLOCK));
        const std::vector<Bytes> onAsync = Answers(h, c.async);
        ASSERT_EQ(onAsync.size(), 1u);
        EXPECT_EQ(MsgIdOf(onAsync[0]), Val(r.answer));
        EXPECT_TRUE(h.Take(c.sync).empty());
    }
    EXPECT_EQ(Val(h.engine.Count().invalidRequests), 0u);
}

TEST(EngineRouting, BlockingSingleFixIsAnsweredOnSyncWhenTheFixComes) {
    EngineHarness h({}, 3000);
    const TestClient c = h.Register(kAll);
    h.SendRec(c.sync, LocationReq(LAPI_BLOCK, 10));
    // The library sends nothing else meanwhile; a client that does is answered in order.
    h.SendRec(c.sync, Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, LAPI_BLOCK, 3));
    h.Advance(2900);
    EXPECT_TRUE(h.Take(c.sync).empty());
    h.Advance(100);  // first fix at 3 s
    const std::vector<Bytes> got = h.Take(c.sync);
    ASSERT_EQ(got.size(), 2u);
    ASSERT_EQ(MsgIdOf(got[0]), LAPI_MSG_GET_LOCATION_RSP);
    const auto rsp = As<LAPI_GET_LOCATION_RSP_S>(got[0]);
    EXPECT_DOUBLE_EQ(Val(rsp.latitude), kStartLat);
    EXPECT_DOUBLE_EQ(Val(rsp.longitude), kStartLon);
    EXPECT_EQ(Val(rsp.cause), 0);
    EXPECT_EQ(Val(rsp.timeStamp), h.clock.WallMs());
    EXPECT_EQ(MsgIdOf(got[1]), LAPI_MSG_GET_STATUS_RSP);
    EXPECT_EQ(got[1][8], 3);
    // Only indications went on the async connection (the fix being acquired).
    for (const Bytes &m : h.Take(c.async)) {
        EXPECT_EQ(MsgIdOf(m), LAPI_MSG_STATUS_CHANGE_IND);
    }
}

TEST(EngineRouting, BlockingSingleFixTimesOutOnSync) {
    EngineHarness h({}, 60000);
    const TestClient c = h.Register(LAPI_SERVICE_MOLR);
    h.SendRec(c.sync, LocationReq(LAPI_BLOCK, 2));
    h.Advance(1900);
    EXPECT_TRUE(h.Take(c.sync).empty());
    h.Advance(100);
    EXPECT_EQ(MsgIdOf(h.TakeOne(c.sync)), LAPI_MSG_TIME_OUT_RSP);
    EXPECT_TRUE(h.Take(c.async).empty());
}

TEST(EngineRouting, PeriodicReportsGoOnAsyncUntilAborted) {
    EngineHarness h;
    const TestClient c = h.Register(LAPI_SERVICE_MOLR);
    h.UntilFix();
    h.SendRec(c.sync, LocationReq(LAPI_NONBLOCK, 0, 0, LAPI_REPORT_PERIODIC, 2, 5));
    h.Advance(6000);
    const std::vector<Bytes> reports = h.Take(c.async);
    ASSERT_EQ(reports.size(), 3u);
    for (const Bytes &r : reports) {
        EXPECT_EQ(MsgIdOf(r), LAPI_MSG_GET_LOCATION_RSP);
        EXPECT_EQ(r[8], 5);
    }
    h.SendRec(c.sync,
              Request<LAPI_ABORT_LOCATION_REQ_S>(LAPI_MSG_ABORT_LOCATION_REQ, LAPI_BLOCK, 5));
    EXPECT_EQ(Val(As<LAPI_ABORT_LOCATION_RSP_S>(h.TakeOne(c.sync)).result), 0);
    h.Advance(6000);
    EXPECT_TRUE(h.Take(c.async).empty());
    EXPECT_TRUE(h.Take(c.sync).empty());
}

TEST(EngineRouting, AbortAllEndsEverySessionAndSendsNothing) {
    EngineHarness h;
    const TestClient c = h.Register(LAPI_SERVICE_MOLR);
    h.SendRec(c.sync, LocationReq(LAPI_NONBLOCK, 0, 0, LAPI_REPORT_PERIODIC, 1, 1));
    h.SendRec(c.sync, LocationReq(LAPI_NONBLOCK, 30, 1, 0, 0, 2));
    ASSERT_EQ(h.sessions.SessionCount(c.globalId), 2u);
    LAPI_ABORT_ALL_LOCATION_REQ_S all{};
    all.header = Header(LAPI_MSG_ABORT_ALL_LOCATION_REQ, 0);
    h.SendRec(c.sync, all);
    EXPECT_EQ(h.sessions.SessionCount(c.globalId), 0u);
    EXPECT_TRUE(h.Take(c.sync).empty());
    EXPECT_TRUE(h.Take(c.async).empty());
}

// ---------------------------------------------------------------------------------
// Malformed requests
// ---------------------------------------------------------------------------------

struct Malformed {
    const char *name;
    Bytes bytes;
    bool onSync;  // the invalidRequestRsp goes on the sync connection (else async)
};

Bytes WithHeader(uint16_t msgId, Bytes body) {
    Bytes b = ToBytes(Header(msgId, static_cast<uint16_t>(body.size())));
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

std::vector<Malformed> MalformedCases() {
    Bytes badLenBlock = ToBytes(Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 1));
    badLenBlock[6] = 5;  // msgLen 5 instead of 4
    badLenBlock.push_back(0);
    Bytes mode2 = ToBytes(Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 2));
    Bytes abortAllLong = WithHeader(LAPI_MSG_ABORT_ALL_LOCATION_REQ, {1, 0});
    return {
        {"unknown msgId, mode 1 readable", WithHeader(117, {1, 0, 7, 9}), true},
        {"unknown msgId, mode 0 readable", WithHeader(14, {0, 0, 7, 9}), false},
        {"unknown msgId, no mode", WithHeader(99, {}), false},
        {"server-range msgId", WithHeader(LAPI_MSG_GET_STATUS_RSP, Bytes(30, 1)), false},
        {"msgLen not the catalogue's, BLOCK", badLenBlock, true},
        {"mode 2", mode2, false},
        {"abortAllLocationReq with a body", abortAllLong, false},
        {"periodic in BLOCK mode", ToBytes(LocationReq(1, 0, 0, LAPI_REPORT_PERIODIC, 1)), true},
        {"registerReq on a registered connection",
         ToBytes(LAPI_REGISTER_REQ_S{Header(LAPI_MSG_REGISTER_REQ, 4), 1}), false},
        {"distance with NaN, BLOCK",
         DistanceReq(1, std::numeric_limits<double>::quiet_NaN(), 0, 1, 1), true},
        {"distance with |latitude| > 90", DistanceReq(0, 0, 0, 90.5, 1), false},
        {"distance with infinity", DistanceReq(1, 0, std::numeric_limits<double>::infinity(), 1, 1),
         true},
    };
}

TEST(EngineInvalid, EachKindGetsInvalidRequestRspWhereItCanBeRouted) {
    EngineHarness h;
    const TestClient c = h.Register(kAll);
    uint64_t expected = 0;
    for (const Malformed &m : MalformedCases()) {
        SCOPED_TRACE(m.name);
        h.Send(c.sync, m.bytes);
        const Bytes rsp = h.TakeOne(m.onSync ? c.sync : c.async);
        EXPECT_EQ(MsgIdOf(rsp), LAPI_MSG_INVALID_REQUEST_RSP);
        EXPECT_TRUE(h.Take(m.onSync ? c.async : c.sync).empty());
        EXPECT_EQ(Val(h.engine.Count().invalidRequests), ++expected);
        EXPECT_FALSE(h.IsClosed(c.sync));  // the client stays registered
    }
}

TEST(EngineInvalid, InvalidRequestCarriesTheRequestIds) {
    EngineHarness h;
    const TestClient c = h.Register(kAll);
    h.Send(c.sync, WithHeader(117, {1, 0, 0x21, 0x42}));
    const auto rsp = As<LAPI_INVALID_REQUEST_RSP_S>(h.TakeOne(c.sync));
    EXPECT_EQ(Val(rsp.sessionId), 0x21);
    EXPECT_EQ(Val(rsp.transactionId), 0x42);
    EXPECT_EQ(Val(rsp.header.pid), EngineHarness::kServerPid);
}

TEST(EngineInvalid, ServiceNotRegisteredIsRefused) {
    EngineHarness h;
    const TestClient molr = h.Register(LAPI_SERVICE_MOLR);
    h.SendRec(molr.sync, Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 1));
    EXPECT_EQ(MsgIdOf(h.TakeOne(molr.sync)), LAPI_MSG_INVALID_REQUEST_RSP);

    const TestClient status = h.Register(LAPI_SERVICE_STATUS);
    h.Send(status.sync, DistanceReq(0, 1, 1, 2, 2));
    EXPECT_EQ(MsgIdOf(h.TakeOne(status.async)), LAPI_MSG_INVALID_REQUEST_RSP);
    EXPECT_EQ(Val(h.engine.Count().invalidRequests), 2u);
}

// ---------------------------------------------------------------------------------
// Framing
// ---------------------------------------------------------------------------------

TEST(EngineFraming, RequestsSplitAnywhereAreAnsweredOnceEach) {
    EngineHarness h;
    const TestClient c = h.Register(kAll);
    Bytes stream;
    for (uint8_t i = 0; i < 5; ++i) {
        Bytes one = ToBytes(Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 0, i));
        stream.insert(stream.end(), one.begin(), one.end());
        Bytes two = DistanceReq(0, 0, 0, 0, 1);
        two[10] = static_cast<uint8_t>(100 + i);
        stream.insert(stream.end(), two.begin(), two.end());
    }
    std::mt19937 rng(12345);
    for (int round = 0; round < 20; ++round) {
        // Byte by byte in the first round, random pieces afterwards.
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n =
                round == 0 ? 1 : std::uniform_int_distribution<std::size_t>(1, 40)(rng);
            const std::size_t end = std::min(stream.size(), at + n);
            h.Send(c.sync, Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                 stream.begin() + static_cast<std::ptrdiff_t>(end)));
            at = end;
        }
        const std::vector<Bytes> got = h.Take(c.async);
        ASSERT_EQ(got.size(), 10u);
        for (uint8_t i = 0; i < 5; ++i) {
            EXPECT_EQ(MsgIdOf(got[2u * i]), LAPI_MSG_GET_STATUS_RSP);
            EXPECT_EQ(got[2u * i][8], i);
            EXPECT_EQ(MsgIdOf(got[2u * i + 1]), LAPI_MSG_DISTANCE_AZIMUTH_RSP);
            EXPECT_EQ(got[2u * i + 1][8], 100 + i);
        }
    }
}

TEST(EngineFraming, MsgLenAbove248ClosesTheClient) {
    EngineHarness h;
    const TestClient c = h.Register(kAll);
    const TestClient other = h.Register(kAll);
    // 248 is the largest body: a message of that size is still read (and refused).
    h.Send(c.sync, WithHeader(117, Bytes(248, 0)));
    EXPECT_EQ(MsgIdOf(h.TakeOne(c.async)), LAPI_MSG_INVALID_REQUEST_RSP);
    // Only the header of a longer one is needed to close the client.
    h.Send(c.sync, ToBytes(Header(LAPI_MSG_GET_STATUS_REQ, 249)));
    EXPECT_TRUE(h.IsClosed(c.sync));
    EXPECT_TRUE(h.IsClosed(c.async));
    EXPECT_EQ(Val(h.engine.Count().framingErrors), 1u);
    EXPECT_FALSE(h.IsClosed(other.sync));

    // On a connection that has not registered yet, only that connection goes.
    const ConnId fresh = h.Connect();
    h.Send(fresh, ToBytes(Header(LAPI_MSG_REGISTER_REQ, 0xFFFF)));
    EXPECT_TRUE(h.IsClosed(fresh));
    EXPECT_EQ(Val(h.engine.Count().framingErrors), 2u);
}

TEST(EngineFraming, HalfAHeaderWaitsForTheRest) {
    EngineHarness h;
    const TestClient c = h.Register(kAll);
    const Bytes req = ToBytes(Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 1));
    h.Send(c.sync, Bytes(req.begin(), req.begin() + 5));
    h.Advance(60000);
    EXPECT_TRUE(h.Take(c.sync).empty());
    EXPECT_FALSE(h.IsClosed(c.sync));
    h.Send(c.sync, Bytes(req.begin() + 5, req.end()));
    EXPECT_EQ(MsgIdOf(h.TakeOne(c.sync)), LAPI_MSG_GET_STATUS_RSP);
}

TEST(EngineFraming, UnhandledInputIsBounded) {
    lapid::EngineLimits limits;
    limits.maxInputBytes = 1000;
    EngineHarness h(limits, 60000);
    const TestClient c = h.Register(kAll);
    // A blocking single fix holds further input back; a client that keeps sending
    // is closed once more than the bound waits.
    h.SendRec(c.sync, LocationReq(LAPI_BLOCK, 30));
    const Bytes status = ToBytes(Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 1));
    for (int i = 0; i < 83; ++i) {  // 996 bytes
        h.Send(c.sync, status);
    }
    EXPECT_FALSE(h.IsClosed(c.sync));
    h.Send(c.sync, status);
    EXPECT_TRUE(h.IsClosed(c.sync));
    EXPECT_TRUE(h.IsClosed(c.async));
}

}  // namespace
}  // namespace lapidtest
