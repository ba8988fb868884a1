// The client library against a real lapid: every request type, in LAPI_BLOCK mode
// (answer in the response buffer) and in LAPI_NONBLOCK mode (answer read with
// LAPI_GetAsyncMsg after poll() on the asynchronous descriptor), and every kind of
// indication, driven through the control socket.

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "itest_fixture.h"

namespace lapid_itest {
namespace {

constexpr int kWaitMs = 5000;

LAPI_GET_LOCATION_REQ_S SingleFixReq(uint8_t sid, uint8_t tid, int32_t responseTime,
                                     int32_t horizontalAccuracy = 0) {
    LAPI_GET_LOCATION_REQ_S req{};
    req.sessionId = sid;
    req.transactionId = tid;
    req.responseTime = responseTime;
    req.horizontalAccuracy = horizontalAccuracy;
    return req;
}

LAPI_GET_LOCATION_REQ_S PeriodicReq(uint8_t sid, uint8_t tid, int32_t interval) {
    LAPI_GET_LOCATION_REQ_S req{};
    req.sessionId = sid;
    req.transactionId = tid;
    req.interval = interval;
    req.reportCriteria = LAPI_REPORT_PERIODIC;
    return req;
}

LAPI_ABORT_LOCATION_REQ_S IdsReq(uint8_t sid, uint8_t tid) {
    LAPI_ABORT_LOCATION_REQ_S req{};
    req.sessionId = sid;
    req.transactionId = tid;
    return req;
}

LAPI_DISTANCE_AZIMUTH_REQ_S DistanceReq(uint8_t tid, double lat1, double lon1, double lat2,
                                        double lon2, uint8_t distanceOnly = 0) {
    LAPI_DISTANCE_AZIMUTH_REQ_S req{};
    req.sessionId = 60;
    req.transactionId = tid;
    req.latitude1 = lat1;
    req.longitude1 = lon1;
    req.latitude2 = lat2;
    req.longitude2 = lon2;
    req.distanceOnly = distanceOnly;
    return req;
}

LAPI_ADD_PROXIMITY_REQ_S AddProximityReq(uint8_t sid, uint8_t tid, double lat, double lon,
                                         double radius) {
    LAPI_ADD_PROXIMITY_REQ_S req{};
    req.sessionId = sid;
    req.transactionId = tid;
    req.latitude = lat;
    req.longitude = lon;
    req.altitude = 0;
    req.radius = radius;
    return req;
}

LAPI_REMOVE_PROXIMITY_REQ_S RemoveProximityReq(uint8_t tid, int32_t removeType) {
    LAPI_REMOVE_PROXIMITY_REQ_S req{};
    req.sessionId = 71;
    req.transactionId = tid;
    req.removeType = removeType;
    return req;
}

bool IsReportOf(const Msg &m, uint8_t sid) {
    return m.Id() == LAPI_MSG_GET_LOCATION_RSP && m.SessionId() == sid;
}

size_t CountReports(const std::vector<Msg> &msgs, uint8_t sid) {
    size_t n = 0;
    for (const Msg &m : msgs) {
        if ((m.Id() == LAPI_MSG_GET_LOCATION_RSP || m.Id() == LAPI_MSG_TIME_OUT_RSP) &&
            m.SessionId() == sid) {
            ++n;
        }
    }
    return n;
}

size_t CountId(const std::vector<Msg> &msgs, uint16_t msgId) {
    size_t n = 0;
    for (const Msg &m : msgs) {
        if (m.Id() == msgId) {
            ++n;
        }
    }
    return n;
}

// Checks the fix fields of a getLocationRsp that reports the simulator's position.
void ExpectFixAt(const LAPI_GET_LOCATION_RSP_S &rsp, double lat, double lon) {
    EXPECT_NEAR(Val(rsp.latitude), lat, 1e-7);
    EXPECT_NEAR(Val(rsp.longitude), lon, 1e-7);
    EXPECT_EQ(Val(rsp.locationMethod), 2) << "simulated";
    EXPECT_GT(Val(rsp.horizontalAccuracy), 0.0);
    EXPECT_GT(Val(rsp.latLonAccuracy), 0.0);
    const int64_t now = WallMs();
    EXPECT_LE(Val(rsp.timeStamp), now + 1000);
    EXPECT_GE(Val(rsp.timeStamp), now - 10000);
    EXPECT_GE(Val(rsp.ageOfFix), 0.0);
    EXPECT_LT(Val(rsp.ageOfFix), 10.0);
}

class ModeTest : public LapidTest, public ::testing::WithParamInterface<uint8_t> {
  protected:
    uint8_t Mode() const { return GetParam(); }
};

std::string ModeName(const ::testing::TestParamInfo<uint8_t> &info) {
    return info.param == LAPI_BLOCK ? "Block" : "NonBlock";
}

// ---------------------------------------------------------------------------------
// Location

TEST_P(ModeTest, SingleFixAnswersWithTheSimulatedPosition) {
    LibClient c(LAPI_SERVICE_MOLR);
    ASSERT_TRUE(c.Ok());
    auto req = SingleFixReq(3, 4, 10);
    const auto rsp = c.Exchange(Mode(), LAPI_GetLocation, req, 15000);
    ASSERT_TRUE(rsp);
    ASSERT_EQ(rsp->Id(), LAPI_MSG_GET_LOCATION_RSP);
    EXPECT_EQ(rsp->SessionId(), 3);
    EXPECT_EQ(rsp->TransactionId(), 4);
    const auto fix = rsp->As<LAPI_GET_LOCATION_RSP_S>();
    EXPECT_EQ(Val(fix.cause), 0);
    ExpectFixAt(fix, kStartLat, kStartLon);
    EXPECT_NEAR(Val(fix.altitude), kStartAlt, 1e-6);
}

TEST_P(ModeTest, SingleFixWaitsForTheRequestedAccuracy) {
    LibClient c(LAPI_SERVICE_MOLR);
    ASSERT_TRUE(c.Ok());
    auto req = SingleFixReq(5, 6, 20, 10);
    const auto rsp = c.Exchange(Mode(), LAPI_GetLocation, req, 25000);
    ASSERT_TRUE(rsp);
    ASSERT_EQ(rsp->Id(), LAPI_MSG_GET_LOCATION_RSP);
    const auto fix = rsp->As<LAPI_GET_LOCATION_RSP_S>();
    EXPECT_EQ(Val(fix.cause), 0);
    EXPECT_LE(Val(fix.horizontalAccuracy), 10.0);
}

TEST_P(ModeTest, SingleFixTimesOutWhileFixIsOff) {
    LibClient c(LAPI_SERVICE_MOLR);
    ASSERT_TRUE(c.Ok());
    CtlOk("fix off");
    // The switch takes effect at once: nothing is current any more.
    auto now = SingleFixReq(7, 1, 0);
    auto rsp = c.Exchange(Mode(), LAPI_GetLocation, now);
    ASSERT_TRUE(rsp);
    EXPECT_EQ(rsp->Id(), LAPI_MSG_TIME_OUT_RSP);

    auto req = SingleFixReq(7, 2, 1);
    const Stopwatch sw;
    rsp = c.Exchange(Mode(), LAPI_GetLocation, req, 10000);
    ASSERT_TRUE(rsp);
    EXPECT_EQ(rsp->Id(), LAPI_MSG_TIME_OUT_RSP);
    EXPECT_EQ(rsp->Len(), 2);
    EXPECT_EQ(rsp->SessionId(), 7);
    EXPECT_EQ(rsp->TransactionId(), 2);
    EXPECT_GE(sw.ElapsedMs(), 900) << "answered before responseTime had passed";

    // With fixes back on, the same request is answered by a fix.
    CtlOk("fix on");
    auto again = SingleFixReq(7, 3, 5);
    rsp = c.Exchange(Mode(), LAPI_GetLocation, again, 10000);
    ASSERT_TRUE(rsp);
    EXPECT_EQ(rsp->Id(), LAPI_MSG_GET_LOCATION_RSP);
}

TEST_P(ModeTest, LastKnownLocationCarriesItsAge) {
    Launch({"--ttff", "60", "--position", "40.6,-73.8,10"});
    LibClient c(LAPI_SERVICE_MOLR);
    ASSERT_TRUE(c.Ok());

    // No fix yet: cause 1, no fix fields, ageOfFix -1.
    auto req = IdsReq(9, 1);
    auto rsp = c.Exchange(Mode(), LAPI_GetLastKnownLocation, req);
    ASSERT_TRUE(rsp);
    ASSERT_EQ(rsp->Id(), LAPI_MSG_GET_LOCATION_RSP);
    auto fix = rsp->As<LAPI_GET_LOCATION_RSP_S>();
    EXPECT_EQ(Val(fix.cause), 1);
    EXPECT_EQ(Val(fix.ageOfFix), -1.0);
    EXPECT_EQ(Val(fix.latitude), 0.0);

    // Force the first fix, then take it away and let it age.
    CtlOk("fix on");
    auto wait = SingleFixReq(9, 2, 5);
    rsp = c.Exchange(Mode(), LAPI_GetLocation, wait, 10000);
    ASSERT_TRUE(rsp);
    ASSERT_EQ(rsp->Id(), LAPI_MSG_GET_LOCATION_RSP);
    CtlOk("fix off");
    SleepMs(1500);

    req = IdsReq(9, 3);
    rsp = c.Exchange(Mode(), LAPI_GetLastKnownLocation, req);
    ASSERT_TRUE(rsp);
    ASSERT_EQ(rsp->Id(), LAPI_MSG_GET_LOCATION_RSP);
    EXPECT_EQ(rsp->SessionId(), 9);
    EXPECT_EQ(rsp->TransactionId(), 3);
    fix = rsp->As<LAPI_GET_LOCATION_RSP_S>();
    EXPECT_EQ(Val(fix.cause), 0);
    EXPECT_NEAR(Val(fix.latitude), kStartLat, 1e-7);
    EXPECT_NEAR(Val(fix.longitude), kStartLon, 1e-7);
    EXPECT_GE(Val(fix.ageOfFix), 1.0) << "the fix is at least 1.5 s old";
    EXPECT_LT(Val(fix.ageOfFix), 30.0);
}

TEST_P(ModeTest, PeriodicReportsComeAtTheIntervalUntilAborted) {
    LibClient c(LAPI_SERVICE_MOLR);
    ASSERT_TRUE(c.Ok());
    auto req = PeriodicReq(21, 5, 1);
    const Stopwatch sw;
    ASSERT_EQ(LAPI_GetLocation(c.Id(), LAPI_NONBLOCK, &req, nullptr), 0);
    int64_t lastStamp = 0;
    for (int k = 0; k < 3; ++k) {
        const auto rep = c.WaitFor([](const Msg &m) { return IsReportOf(m, 21); }, kWaitMs);
        ASSERT_TRUE(rep) << "report " << k;
        EXPECT_EQ(rep->TransactionId(), 5);
        const auto fix = rep->As<LAPI_GET_LOCATION_RSP_S>();
        EXPECT_TRUE(fix.cause == 0 || fix.cause == 2) << "cause " << fix.cause;
        EXPECT_GE(Val(fix.timeStamp), lastStamp);
        lastStamp = fix.timeStamp;
    }
    // Reports at +1, +2 and +3 s: the third cannot come before 3 s (minus scheduling).
    EXPECT_GE(sw.ElapsedMs(), 2500);
    EXPECT_EQ(Val(ClientByPid(getpid()).sessions), 1);

    auto abort = IdsReq(21, 6);
    const auto rsp = c.Exchange(Mode(), LAPI_AbortLocationRequest, abort);
    ASSERT_TRUE(rsp);
    ASSERT_EQ(rsp->Id(), LAPI_MSG_ABORT_LOCATION_RSP);
    EXPECT_EQ(rsp->SessionId(), 21);
    EXPECT_EQ(rsp->TransactionId(), 6);
    EXPECT_EQ(Val(rsp->As<LAPI_ABORT_LOCATION_RSP_S>().result), 0);
    // Reports written before the abort was handled may still be queued: in
    // LAPI_NONBLOCK mode they came before the answer, in LAPI_BLOCK mode they are
    // readable by now. Nothing may come after.
    if (Mode() == LAPI_BLOCK) {
        c.ReadAvailable();
    } else {
        c.ForgetAside();
    }
    EXPECT_EQ(CountReports(c.Collect(2500), 21), 0u) << "report after the abort";
    EXPECT_EQ(Val(ClientByPid(getpid()).sessions), 0);

    // A second abort finds nothing.
    auto again = IdsReq(21, 7);
    const auto none = c.Exchange(Mode(), LAPI_AbortLocationRequest, again);
    ASSERT_TRUE(none);
    ASSERT_EQ(none->Id(), LAPI_MSG_ABORT_LOCATION_RSP);
    EXPECT_EQ(Val(none->As<LAPI_ABORT_LOCATION_RSP_S>().result), 1);
}

TEST_F(LapidTest, PeriodicRequestInBlockModeIsRefusedByTheLibrary) {
    LibClient c(LAPI_SERVICE_MOLR);
    ASSERT_TRUE(c.Ok());
    const int64_t before = Counters()["messages_in"];
    auto req = PeriodicReq(22, 1, 1);
    unsigned char rsp[LAPI_ASYNC_MSG_BUF_LEN];
    EXPECT_EQ(LAPI_GetLocation(c.Id(), LAPI_BLOCK, &req, rsp), -1);
    EXPECT_EQ(Counters()["messages_in"], before) << "the request reached the server";
}

TEST_F(LapidTest, AbortAllEndsEverySession) {
    LibClient c(LAPI_SERVICE_MOLR);
    ASSERT_TRUE(c.Ok());
    CtlOk("fix off");
    auto p1 = PeriodicReq(31, 1, 1);
    auto p2 = PeriodicReq(32, 1, 1);
    auto single = SingleFixReq(33, 1, 60);
    ASSERT_EQ(LAPI_GetLocation(c.Id(), LAPI_NONBLOCK, &p1, nullptr), 0);
    ASSERT_EQ(LAPI_GetLocation(c.Id(), LAPI_NONBLOCK, &p2, nullptr), 0);
    ASSERT_EQ(LAPI_GetLocation(c.Id(), LAPI_NONBLOCK, &single, nullptr), 0);
    // Without a fix the periodic reports still come, with cause 1.
    const auto rep = c.WaitFor([](const Msg &m) { return IsReportOf(m, 32); }, kWaitMs);
    ASSERT_TRUE(rep);
    EXPECT_EQ(Val(rep->As<LAPI_GET_LOCATION_RSP_S>().cause), 1);
    EXPECT_EQ(Val(rep->As<LAPI_GET_LOCATION_RSP_S>().ageOfFix), -1.0);
    EXPECT_EQ(Val(ClientByPid(getpid()).sessions), 3);

    ASSERT_EQ(LAPI_AbortAllLocationRequest(c.Id()), 0);
    // A LAPI_BLOCK round trip after it: the server has handled the abort by then.
    auto dist = DistanceReq(1, 0, 0, 0, 1);
    const auto d = c.Exchange(LAPI_BLOCK, LAPI_CalculateDistanceAzimuth, dist);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->Id(), LAPI_MSG_DISTANCE_AZIMUTH_RSP);
    c.ReadAvailable();
    const auto later = c.Collect(2500);
    EXPECT_EQ(CountReports(later, 31), 0u);
    EXPECT_EQ(CountReports(later, 32), 0u);
    EXPECT_EQ(CountReports(later, 33), 0u) << "the waiting single fix was answered";
    EXPECT_EQ(Val(ClientByPid(getpid()).sessions), 0);
}

// ---------------------------------------------------------------------------------
// Status

TEST_P(ModeTest, GetStatusAnswersTheCurrentValues) {
    LibClient c(LAPI_SERVICE_STATUS | LAPI_SERVICE_MOLR);
    ASSERT_TRUE(c.Ok());
    // After the first fix, so that the source changes nothing while the test runs.
    auto wait = SingleFixReq(1, 1, 10);
    ASSERT_TRUE(c.Exchange(LAPI_BLOCK, LAPI_GetLocation, wait, 15000));
    auto req = IdsReq(11, 12);
    auto rsp = c.Exchange(Mode(), LAPI_GetStatus, req);
    ASSERT_TRUE(rsp);
    ASSERT_EQ(rsp->Id(), LAPI_MSG_GET_STATUS_RSP);
    EXPECT_EQ(rsp->SessionId(), 11);
    EXPECT_EQ(rsp->TransactionId(), 12);
    auto st = rsp->As<LAPI_GET_STATUS_RSP_S>();
    EXPECT_EQ(Val(st.userStatus), 1);
    EXPECT_EQ(Val(st.hwStatus), 1) << "on from the start";
    EXPECT_EQ(Val(st.emergencyStatus), 0);
    EXPECT_EQ(Val(st.proximityStatus), 0);
    EXPECT_EQ(Val(st.fixStatus), 2) << "a fix is there";
    EXPECT_EQ(Val(st.fixResultStatus.status), 1);
    EXPECT_EQ(Val(st.fixResultStatus.cause), 0);

    CtlOk("status emergencyStatus 1");
    CtlOk("status fixResultStatus.cause 3");
    req = IdsReq(11, 13);
    rsp = c.Exchange(Mode(), LAPI_GetStatus, req);
    ASSERT_TRUE(rsp);
    ASSERT_EQ(rsp->Id(), LAPI_MSG_GET_STATUS_RSP);
    st = rsp->As<LAPI_GET_STATUS_RSP_S>();
    EXPECT_EQ(Val(st.emergencyStatus), 1);
    EXPECT_EQ(Val(st.fixResultStatus.cause), 3);
}

TEST_F(LapidTest, StatusChangeGoesToEveryStatusClientOnce) {
    LibClient a(LAPI_SERVICE_STATUS);
    LibClient b(LAPI_SERVICE_STATUS | LAPI_SERVICE_MOLR);
    LibClient molrOnly(LAPI_SERVICE_MOLR);
    ASSERT_TRUE(a.Ok() && b.Ok() && molrOnly.Ok());
    // Let the first fix settle fixStatus, so that only the operator changes status.
    auto wait = SingleFixReq(1, 1, 10);
    ASSERT_TRUE(molrOnly.Exchange(LAPI_BLOCK, LAPI_GetLocation, wait, 15000));
    SleepMs(300);
    a.ReadAvailable();
    b.ReadAvailable();

    CtlOk("status hwStatus 2");
    const auto hw2 = [](const Msg &m) {
        return m.Id() == LAPI_MSG_STATUS_CHANGE_IND &&
               m.As<LAPI_STATUS_CHANGE_IND_S>().hwStatus == 2;
    };
    for (LibClient *c : {&a, &b}) {
        const auto ind = c->WaitFor(hw2, kWaitMs);
        ASSERT_TRUE(ind) << "client " << c->Id() << " got no statusChangeInd";
        EXPECT_EQ(ind->Len(), 30);
        const auto st = ind->As<LAPI_STATUS_CHANGE_IND_S>();
        EXPECT_EQ(Val(st.userStatus), 1);
        EXPECT_EQ(Val(st.fixStatus), 2);
    }
    // The client without the status service hears nothing of it.
    auto dist = DistanceReq(2, 0, 0, 1, 1);
    ASSERT_TRUE(molrOnly.Exchange(LAPI_BLOCK, LAPI_CalculateDistanceAzimuth, dist));
    EXPECT_EQ(CountId(molrOnly.ReadAvailable(), LAPI_MSG_STATUS_CHANGE_IND), 0u);

    // The same value again, an unknown name and a value outside the set change
    // nothing and send nothing.
    CtlOk("status hwStatus 2");
    EXPECT_FALSE(Ctl("status hwStatus 7").ok);
    EXPECT_FALSE(Ctl("status noSuchStatus 1").ok);
    EXPECT_EQ(CountId(a.Collect(1000), LAPI_MSG_STATUS_CHANGE_IND), 0u);
    auto req = IdsReq(1, 2);
    const auto rsp = a.Exchange(LAPI_BLOCK, LAPI_GetStatus, req);
    ASSERT_TRUE(rsp);
    EXPECT_EQ(Val(rsp->As<LAPI_GET_STATUS_RSP_S>().hwStatus), 2);
}

// ---------------------------------------------------------------------------------
// GPS database

LAPI_GPS_DB_FILE_S DbFile(uint32_t fileId, std::initializer_list<uint8_t> data) {
    LAPI_GPS_DB_FILE_S f{};
    f.fileId = fileId;
    f.length = static_cast<uint16_t>(data.size());
    // Bytes past length carry junk that must not be stored.
    std::memset(f.data, 0x5A, sizeof f.data);
    std::memcpy(f.data, data.begin(), data.size());
    return f;
}

LAPI_SET_GPS_DB_DATA_REQ_S SetReq(uint8_t tid, std::initializer_list<LAPI_GPS_DB_FILE_S> files) {
    LAPI_SET_GPS_DB_DATA_REQ_S req{};
    req.sessionId = 40;
    req.transactionId = tid;
    req.numFiles = static_cast<uint16_t>(files.size());
    size_t i = 0;
    for (const LAPI_GPS_DB_FILE_S &f : files) {
        req.dbFile[i++] = f;
    }
    return req;
}

// Reads fileId back; the answer's record.
std::optional<LAPI_GET_GPS_DB_DATA_RSP_S> ReadEntry(LibClient &c, uint8_t mode, uint32_t fileId,
                                                    uint8_t tid) {
    LAPI_GET_GPS_DB_DATA_REQ_S req{};
    req.sessionId = 41;
    req.transactionId = tid;
    req.fileId = fileId;
    const auto rsp = c.Exchange(mode, LAPI_GetGpsDatabaseData, req);
    if (!rsp || rsp->Id() != LAPI_MSG_GET_GPS_DB_DATA_RSP) {
        ADD_FAILURE() << "no getGpsDbDataRsp for fileId " << fileId;
        return std::nullopt;
    }
    EXPECT_EQ(rsp->SessionId(), 41);
    EXPECT_EQ(rsp->TransactionId(), tid);
    return rsp->As<LAPI_GET_GPS_DB_DATA_RSP_S>();
}

void ExpectEntry(const LAPI_GET_GPS_DB_DATA_RSP_S &rsp, uint32_t fileId,
                 std::initializer_list<uint8_t> data) {
    EXPECT_EQ(Val(rsp.result), 0);
    ASSERT_EQ(Val(rsp.numFiles), 1);
    EXPECT_EQ(Val(rsp.dbFile[0].fileId), fileId);
    ASSERT_EQ(Val(rsp.dbFile[0].length), data.size());
    size_t i = 0;
    for (uint8_t b : data) {
        EXPECT_EQ(rsp.dbFile[0].data[i], b) << "byte " << i << " of fileId " << fileId;
        ++i;
    }
    for (; i < LAPI_GPS_DB_MAX_DATA_LEN; ++i) {
        EXPECT_EQ(rsp.dbFile[0].data[i], 0) << "byte " << i << " past the length";
    }
}

TEST_P(ModeTest, GpsDatabaseEntriesRoundTrip) {
    LibClient c(LAPI_SERVICE_STATUS);
    ASSERT_TRUE(c.Ok());
    auto set =
        SetReq(1, {DbFile(7, {0xA1}), DbFile(8, {1, 2, 3, 4}), DbFile(0xFFFFFFF0u, {0xBE, 0xEF})});
    auto rsp = c.Exchange(Mode(), LAPI_SetGpsDatabaseData, set);
    ASSERT_TRUE(rsp);
    ASSERT_EQ(rsp->Id(), LAPI_MSG_SET_GPS_DB_DATA_RSP);
    EXPECT_EQ(rsp->SessionId(), 40);
    EXPECT_EQ(rsp->TransactionId(), 1);
    EXPECT_EQ(Val(rsp->As<LAPI_SET_GPS_DB_DATA_RSP_S>().result), 0);

    auto e = ReadEntry(c, Mode(), 7, 2);
    ASSERT_TRUE(e);
    ExpectEntry(*e, 7, {0xA1});
    e = ReadEntry(c, Mode(), 8, 3);
    ASSERT_TRUE(e);
    ExpectEntry(*e, 8, {1, 2, 3, 4});
    e = ReadEntry(c, Mode(), 0xFFFFFFF0u, 4);
    ASSERT_TRUE(e);
    ExpectEntry(*e, 0xFFFFFFF0u, {0xBE, 0xEF});
    e = ReadEntry(c, Mode(), 9999, 5);
    ASSERT_TRUE(e);
    EXPECT_EQ(Val(e->result), -1) << "unknown fileId";

    // A stored entry is replaced; within one request the later element wins.
    set = SetReq(6, {DbFile(7, {9, 9, 9}), DbFile(8, {0x11}), DbFile(8, {0x22, 0x33})});
    rsp = c.Exchange(Mode(), LAPI_SetGpsDatabaseData, set);
    ASSERT_TRUE(rsp);
    ASSERT_EQ(rsp->Id(), LAPI_MSG_SET_GPS_DB_DATA_RSP);
    EXPECT_EQ(Val(rsp->As<LAPI_SET_GPS_DB_DATA_RSP_S>().result), 0);
    e = ReadEntry(c, Mode(), 7, 7);
    ASSERT_TRUE(e);
    ExpectEntry(*e, 7, {9, 9, 9});
    e = ReadEntry(c, Mode(), 8, 8);
    ASSERT_TRUE(e);
    ExpectEntry(*e, 8, {0x22, 0x33});
}

TEST_P(ModeTest, GpsDatabaseBadCountsNeverLeaveTheLibrary) {
    LibClient c(LAPI_SERVICE_STATUS);
    ASSERT_TRUE(c.Ok());
    const int64_t before = Counters()["messages_in"];
    unsigned char buf[LAPI_ASYNC_MSG_BUF_LEN];
    void *rspBuf = Mode() == LAPI_BLOCK ? buf : nullptr;

    auto none = SetReq(1, {});
    EXPECT_EQ(LAPI_SetGpsDatabaseData(c.Id(), Mode(), &none, rspBuf), -1);
    auto tooMany = SetReq(2, {DbFile(1, {1})});
    tooMany.numFiles = LAPI_GPS_DB_MAX_FILES + 1;
    EXPECT_EQ(LAPI_SetGpsDatabaseData(c.Id(), Mode(), &tooMany, rspBuf), -1);
    auto tooLong = SetReq(3, {DbFile(1, {1})});
    tooLong.dbFile[0].length = LAPI_GPS_DB_MAX_DATA_LEN + 1;
    EXPECT_EQ(LAPI_SetGpsDatabaseData(c.Id(), Mode(), &tooLong, rspBuf), -1);

    EXPECT_EQ(Counters()["messages_in"], before) << "a refused request reached the server";
    // The client is still in step: its next answer is the one it asks for.
    auto e = ReadEntry(c, Mode(), 1, 4);
    ASSERT_TRUE(e);
    EXPECT_EQ(Val(e->result), -1) << "nothing was stored";
}

// ---------------------------------------------------------------------------------
// Network-initiated location

std::string Text(const uint8_t *p, size_t n) {
    return std::string(reinterpret_cast<const char *>(p), n);
}

class MtlrTest : public LapidTest {
  protected:
    int64_t Inject(const std::string &args) {
        const ControlReply r = Ctl("mtlr " + args);
        EXPECT_TRUE(Val(r.ok)) << "mtlr " << args << ": " << r.error;
        const int64_t id = ParseRequestId(r);
        EXPECT_GE(id, 0) << "no request number";
        return id;
    }
    std::optional<MtlrResult> Result(int64_t id) {
        return ParseMtlrResult(Ctl("mtlr-result " + std::to_string(id)));
    }
    static LAPI_LOCATION_NOTIFICATION_CFM_S Answer(const Msg &ind, int32_t responseType) {
        LAPI_LOCATION_NOTIFICATION_CFM_S cfm{};
        cfm.sessionId = ind.SessionId();
        cfm.transactionId = ind.TransactionId();
        cfm.responseType = responseType;
        return cfm;
    }
};

TEST_F(MtlrTest, VerifiedRequestAllowedByTheUser) {
    LibClient c(LAPI_SERVICE_MTLR);
    LibClient other(LAPI_SERVICE_MOLR);
    ASSERT_TRUE(c.Ok() && other.Ok());
    const int64_t id = Inject("1 locationType=2 dcs=15 name=Alice addr=tel:+4930123 timeout=30");
    const auto ind = c.WaitForId(LAPI_MSG_LOCATION_NOTIFICATION_IND, kWaitMs);
    ASSERT_TRUE(ind);
    EXPECT_EQ(ind->Len(), 213);
    const auto n = ind->As<LAPI_LOCATION_NOTIFICATION_IND_S>();
    EXPECT_EQ(Val(n.notificationType), 1);
    EXPECT_EQ(Val(n.locationType), 2);
    EXPECT_EQ(Val(n.dataCodingSchema), 15);
    ASSERT_EQ(Val(n.nameLength), 5);
    EXPECT_EQ(Text(n.clientName, n.nameLength), "Alice");
    ASSERT_EQ(Val(n.addrLength), 12);
    EXPECT_EQ(Text(n.clientExternalAddr, n.addrLength), "tel:+4930123");

    auto pending = Result(id);
    ASSERT_TRUE(pending);
    EXPECT_EQ(Val(pending->state), "pending");
    EXPECT_EQ(Val(ClientById(c.GlobalId()).pending), 1);

    auto cfm = Answer(*ind, 0);
    ASSERT_EQ(LAPI_LocationVerify(c.Id(), &cfm), 0);
    const auto st = c.WaitForId(LAPI_MSG_NOTIFICATION_STATUS_IND, kWaitMs);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->SessionId(), ind->SessionId());
    EXPECT_EQ(st->TransactionId(), ind->TransactionId());
    EXPECT_EQ(Val(st->As<LAPI_NOTIFICATION_STATUS_IND_S>().cause), 0);

    const auto done = Result(id);
    ASSERT_TRUE(done);
    EXPECT_EQ(Val(done->state), "allowed-by-user");
    EXPECT_EQ(Val(done->client), c.GlobalId());
    EXPECT_EQ(Val(ClientById(c.GlobalId()).pending), 0);
    // A client without the MT-LR service is never notified.
    const auto seen = other.Collect(300);
    EXPECT_EQ(CountId(seen, LAPI_MSG_LOCATION_NOTIFICATION_IND), 0u);
    EXPECT_EQ(CountId(seen, LAPI_MSG_NOTIFICATION_STATUS_IND), 0u);
}

TEST_F(MtlrTest, DeniedByTheUserAndSecondAnswerIgnored) {
    LibClient c(LAPI_SERVICE_MTLR);
    ASSERT_TRUE(c.Ok());
    const int64_t id = Inject("2 name=Bob");
    const auto ind = c.WaitForId(LAPI_MSG_LOCATION_NOTIFICATION_IND, kWaitMs);
    ASSERT_TRUE(ind);
    EXPECT_EQ(Val(ind->As<LAPI_LOCATION_NOTIFICATION_IND_S>().notificationType), 2);
    auto deny = Answer(*ind, 1);
    ASSERT_EQ(LAPI_LocationVerify(c.Id(), &deny), 0);
    const auto st = c.WaitForId(LAPI_MSG_NOTIFICATION_STATUS_IND, kWaitMs);
    ASSERT_TRUE(st);
    EXPECT_EQ(Val(st->As<LAPI_NOTIFICATION_STATUS_IND_S>().cause), 1);

    auto allow = Answer(*ind, 0);
    ASSERT_EQ(LAPI_LocationVerify(c.Id(), &allow), 0);
    EXPECT_EQ(CountId(c.Collect(1000), LAPI_MSG_NOTIFICATION_STATUS_IND), 0u);
    const auto r = Result(id);
    ASSERT_TRUE(r);
    EXPECT_EQ(Val(r->state), "denied-by-user");
}

TEST_F(MtlrTest, DefaultsApplyWithoutAnAnswer) {
    LibClient c(LAPI_SERVICE_MTLR);
    ASSERT_TRUE(c.Ok());
    struct Case {
        const char *args;
        int32_t cause;
        const char *state;
    };
    for (const Case &k :
         {Case{"0 name=n0", 4, "notified-only"}, Case{"3 name=n3", 5, "not-allowed"},
          Case{"2 name=n2 timeout=1", 3, "denied-by-default"},
          Case{"1 name=n1 timeout=1", 2, "allowed-by-default"}}) {
        SCOPED_TRACE(k.args);
        const int64_t id = Inject(k.args);
        const auto ind = c.WaitForId(LAPI_MSG_LOCATION_NOTIFICATION_IND, kWaitMs);
        ASSERT_TRUE(ind);
        const auto st = c.WaitForId(LAPI_MSG_NOTIFICATION_STATUS_IND, kWaitMs);
        ASSERT_TRUE(st);
        EXPECT_EQ(st->SessionId(), ind->SessionId());
        EXPECT_EQ(st->TransactionId(), ind->TransactionId());
        EXPECT_EQ(Val(st->As<LAPI_NOTIFICATION_STATUS_IND_S>().cause), Val(k.cause));
        const auto r = Result(id);
        ASSERT_TRUE(r);
        EXPECT_EQ(Val(r->state), Val(k.state));
    }
}

// ---------------------------------------------------------------------------------
// Distance and azimuth

TEST_P(ModeTest, DistanceAndAzimuthOnTheEllipsoid) {
    LibClient c(LAPI_SERVICE_MOLR);
    ASSERT_TRUE(c.Ok());
    auto req = DistanceReq(1, 40.6, -73.8, 51.6, -0.5);
    auto rsp = c.Exchange(Mode(), LAPI_CalculateDistanceAzimuth, req);
    ASSERT_TRUE(rsp);
    ASSERT_EQ(rsp->Id(), LAPI_MSG_DISTANCE_AZIMUTH_RSP);
    EXPECT_EQ(rsp->SessionId(), 60);
    EXPECT_EQ(rsp->TransactionId(), 1);
    auto da = rsp->As<LAPI_DISTANCE_AZIMUTH_RSP_S>();
    EXPECT_NEAR(Val(da.distance), 5551759.400, 0.001);
    EXPECT_NEAR(Val(da.azimuth), 51.198883, 1e-6);

    req = DistanceReq(2, 40.6, -73.8, 51.6, -0.5, 1);
    rsp = c.Exchange(Mode(), LAPI_CalculateDistanceAzimuth, req);
    ASSERT_TRUE(rsp);
    ASSERT_EQ(rsp->Id(), LAPI_MSG_DISTANCE_AZIMUTH_RSP);
    da = rsp->As<LAPI_DISTANCE_AZIMUTH_RSP_S>();
    EXPECT_NEAR(Val(da.distance), 5551759.400, 0.001);
    EXPECT_EQ(Val(da.azimuth), 0.0) << "distanceOnly";

    // Due west reads 270, not -90.
    req = DistanceReq(3, 0, 10, 0, 9);
    rsp = c.Exchange(Mode(), LAPI_CalculateDistanceAzimuth, req);
    ASSERT_TRUE(rsp);
    EXPECT_NEAR(Val(rsp->As<LAPI_DISTANCE_AZIMUTH_RSP_S>().azimuth), 270.0, 1e-9);
}

TEST_P(ModeTest, DistanceOfInvalidPointsIsAnInvalidRequest) {
    LibClient c(LAPI_SERVICE_MOLR);
    ASSERT_TRUE(c.Ok());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double lat1, lon1, lat2, lon2;
    };
    uint8_t tid = 10;
    for (const Case &k : {Case{nan, 0, 1, 1}, Case{0, 0, 1, nan}, Case{0, inf, 1, 1},
                          Case{91, 0, 1, 1}, Case{0, 0, -90.5, 1}}) {
        SCOPED_TRACE(testing::Message()
                     << k.lat1 << "," << k.lon1 << " " << k.lat2 << "," << k.lon2);
        auto req = DistanceReq(++tid, k.lat1, k.lon1, k.lat2, k.lon2);
        const auto rsp = c.Exchange(Mode(), LAPI_CalculateDistanceAzimuth, req);
        ASSERT_TRUE(rsp);
        EXPECT_EQ(rsp->Id(), LAPI_MSG_INVALID_REQUEST_RSP);
        EXPECT_EQ(rsp->Len(), 2);
        EXPECT_EQ(rsp->SessionId(), 60);
        EXPECT_EQ(rsp->TransactionId(), tid);
    }
}

// ---------------------------------------------------------------------------------
// Proximity

class ProximityTest : public ModeTest {
  protected:
    // Moves the simulated position and waits until a fix reports it.
    void MoveTo(LibClient &c, double lat, double lon) {
        CtlOk("position " + std::to_string(lat) + " " + std::to_string(lon));
        for (int i = 0; i < 50; ++i) {
            auto req = IdsReq(90, 1);
            const auto rsp = c.Exchange(LAPI_BLOCK, LAPI_GetLastKnownLocation, req);
            ASSERT_TRUE(rsp);
            const auto fix = rsp->As<LAPI_GET_LOCATION_RSP_S>();
            if (fix.cause == 0 && std::fabs(fix.latitude - lat) < 1e-7 &&
                std::fabs(fix.longitude - lon) < 1e-7) {
                return;
            }
            SleepMs(100);
        }
        FAIL() << "the position did not reach " << lat << "," << lon;
    }
    // proximityStatus as getStatus reports it.
    int32_t ProximityStatus(LibClient &c) {
        auto req = IdsReq(91, 1);
        const auto rsp = c.Exchange(LAPI_BLOCK, LAPI_GetStatus, req);
        EXPECT_TRUE(rsp && rsp->Id() == LAPI_MSG_GET_STATUS_RSP);
        return rsp ? rsp->As<LAPI_GET_STATUS_RSP_S>().proximityStatus : -1;
    }
    int32_t Status(const std::optional<Msg> &rsp, uint16_t msgId) {
        EXPECT_TRUE(rsp);
        if (!rsp) {
            return 99;
        }
        EXPECT_EQ(rsp->Id(), msgId);
        return rsp->As<LAPI_ADD_PROXIMITY_RSP_S>().status;
    }
};

bool IsHit(const Msg &m) {
    return m.Id() == LAPI_MSG_PROXIMITY_HIT_IND;
}

TEST_P(ProximityTest, HitOnceOnEachEntry) {
    LibClient c(LAPI_SERVICE_MOLR);
    ASSERT_TRUE(c.Ok());
    MoveTo(c, kStartLat, kStartLon);
    const double lat = 40.7;
    const double lon = -73.8;
    auto add = AddProximityReq(51, 52, lat, lon, 200);
    const auto rsp = c.Exchange(Mode(), LAPI_AddProximityListener, add);
    ASSERT_TRUE(rsp);
    EXPECT_EQ(rsp->SessionId(), 51);
    EXPECT_EQ(rsp->TransactionId(), 52);
    EXPECT_EQ(Status(rsp, LAPI_MSG_ADD_PROXIMITY_RSP), 0);
    EXPECT_EQ(Val(ClientByPid(getpid()).listeners), 1);
    EXPECT_EQ(c.Collect(1500).size(), 0u) << "hit while outside the circle";

    CtlOk("position 40.7 -73.8");
    const auto hit = c.WaitFor(IsHit, kWaitMs);
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->Len(), 102);
    EXPECT_EQ(hit->SessionId(), 51);
    EXPECT_EQ(hit->TransactionId(), 52);
    const auto h = hit->As<LAPI_PROXIMITY_HIT_IND_S>();
    EXPECT_NEAR(Val(h.latitude), lat, 1e-7);
    EXPECT_NEAR(Val(h.longitude), lon, 1e-7);
    EXPECT_EQ(Val(h.locationMethod), 2);
    EXPECT_GE(Val(h.timeStamp), WallMs() - 10000);
    EXPECT_GE(Val(h.ageOfFix), 0.0);
    // Staying inside gives no second hit.
    EXPECT_EQ(c.Collect(2500).size(), 0u);

    // Out and in again: one more hit.
    MoveTo(c, kStartLat, kStartLon);
    c.ReadAvailable();
    CtlOk("position 40.7005 -73.8");
    const auto second = c.WaitFor(IsHit, kWaitMs);
    ASSERT_TRUE(second);
    EXPECT_NEAR(Val(second->As<LAPI_PROXIMITY_HIT_IND_S>().latitude), 40.7005, 1e-7);
}

TEST_P(ProximityTest, RemoveTypesAndStatuses) {
    LibClient c(LAPI_SERVICE_MOLR | LAPI_SERVICE_STATUS);
    ASSERT_TRUE(c.Ok());
    auto a1 = AddProximityReq(1, 1, 40.7, -73.8, 100);
    auto a2 = AddProximityReq(1, 2, 40.8, -73.8, 100);
    auto a3 = AddProximityReq(1, 3, 40.9, -73.8, 100);
    EXPECT_EQ(Status(c.Exchange(Mode(), LAPI_AddProximityListener, a1), LAPI_MSG_ADD_PROXIMITY_RSP),
              0);
    EXPECT_EQ(Status(c.Exchange(Mode(), LAPI_AddProximityListener, a2), LAPI_MSG_ADD_PROXIMITY_RSP),
              0);
    EXPECT_EQ(Status(c.Exchange(Mode(), LAPI_AddProximityListener, a3), LAPI_MSG_ADD_PROXIMITY_RSP),
              0);
    auto bad = AddProximityReq(1, 4, 40.7, -73.8, 0);
    EXPECT_EQ(
        Status(c.Exchange(Mode(), LAPI_AddProximityListener, bad), LAPI_MSG_ADD_PROXIMITY_RSP), -1);
    bad = AddProximityReq(1, 5, 95, -73.8, 10);
    EXPECT_EQ(
        Status(c.Exchange(Mode(), LAPI_AddProximityListener, bad), LAPI_MSG_ADD_PROXIMITY_RSP), -1);
    EXPECT_EQ(Val(ClientByPid(getpid()).listeners), 3);
    EXPECT_EQ(ProximityStatus(c), 1) << "listeners exist";

    // Listener 2 (the second successful add) alone, then nothing left under that number.
    auto r = RemoveProximityReq(1, 2);
    auto rsp = c.Exchange(Mode(), LAPI_RemoveProximityListener, r);
    ASSERT_TRUE(rsp);
    EXPECT_EQ(Status(rsp, LAPI_MSG_REMOVE_PROXIMITY_RSP), 0);
    EXPECT_EQ(rsp->TransactionId(), 1);
    EXPECT_EQ(Val(ClientByPid(getpid()).listeners), 2);
    r = RemoveProximityReq(2, 2);
    EXPECT_EQ(
        Status(c.Exchange(Mode(), LAPI_RemoveProximityListener, r), LAPI_MSG_REMOVE_PROXIMITY_RSP),
        -3);
    r = RemoveProximityReq(3, -1);
    EXPECT_EQ(
        Status(c.Exchange(Mode(), LAPI_RemoveProximityListener, r), LAPI_MSG_REMOVE_PROXIMITY_RSP),
        -4);
    // 0 removes all the rest; a second time there is nothing to remove.
    r = RemoveProximityReq(4, 0);
    EXPECT_EQ(
        Status(c.Exchange(Mode(), LAPI_RemoveProximityListener, r), LAPI_MSG_REMOVE_PROXIMITY_RSP),
        0);
    EXPECT_EQ(Val(ClientByPid(getpid()).listeners), 0);
    EXPECT_EQ(ProximityStatus(c), 0) << "no listener left";
    r = RemoveProximityReq(5, 0);
    EXPECT_EQ(
        Status(c.Exchange(Mode(), LAPI_RemoveProximityListener, r), LAPI_MSG_REMOVE_PROXIMITY_RSP),
        -3);

    // A removed listener is not hit any more.
    CtlOk("position 40.7 -73.8");
    EXPECT_EQ(CountId(c.Collect(2500), LAPI_MSG_PROXIMITY_HIT_IND), 0u);
}

// ---------------------------------------------------------------------------------
// Registration

TEST_F(LapidTest, RegisteredClientsAreListedUntilUnregistered) {
    LibClient a(LAPI_SERVICE_MOLR | LAPI_SERVICE_STATUS);
    LibClient b(LAPI_SERVICE_MTLR);
    ASSERT_TRUE(a.Ok() && b.Ok());
    const int32_t ga = a.GlobalId();
    const int32_t gb = b.GlobalId();
    EXPECT_NE(ga, gb);
    auto all = Clients();
    ASSERT_TRUE(FindClientById(all, ga));
    ASSERT_TRUE(FindClientById(all, gb));
    EXPECT_EQ(FindClientById(all, ga)->pid, getpid());
    EXPECT_EQ(FindClientById(all, ga)->services, 5);
    EXPECT_EQ(FindClientById(all, gb)->services, 2);
    EXPECT_TRUE(FindClientById(all, ga)->async);

    EXPECT_EQ(a.Unregister(), 0);
    all = Clients();
    EXPECT_FALSE(FindClientById(all, ga));
    EXPECT_TRUE(FindClientById(all, gb));

    // A new registration gets a globalId never handed out before.
    LibClient c(LAPI_SERVICE_MOLR);
    ASSERT_TRUE(c.Ok());
    EXPECT_NE(c.GlobalId(), ga);
    EXPECT_NE(c.GlobalId(), gb);
}

INSTANTIATE_TEST_SUITE_P(Modes, ModeTest,
                         ::testing::Values(uint8_t{LAPI_BLOCK}, uint8_t{LAPI_NONBLOCK}), ModeName);
INSTANTIATE_TEST_SUITE_P(Modes, ProximityTest,
                         ::testing::Values(uint8_t{LAPI_BLOCK}, uint8_t{LAPI_NONBLOCK}), ModeName);

}  // namespace
}  // namespace lapid_itest
