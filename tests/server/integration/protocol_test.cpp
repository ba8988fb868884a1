// lapid on raw sockets: messages the library never sends (wrong lengths, bad modes,
// unknown identifiers), the registration handshake done by hand and broken on
// purpose, and on which connection each answer comes.

#include <poll.h>

#include <string>

#include "itest_fixture.h"

namespace lapid_itest {
namespace {

constexpr int kWaitMs = 3000;

// Requests as the library would build them, with the mode given.
Bytes StatusReq(uint16_t mode, uint8_t sid = 0x33, uint8_t tid = 0x44) {
    LAPI_GET_STATUS_REQ_S req{};
    req.mode = mode;
    req.sessionId = sid;
    req.transactionId = tid;
    return RequestBytes(req, LAPI_MSG_GET_STATUS_REQ);
}

Bytes PeriodicReq(uint16_t mode) {
    LAPI_GET_LOCATION_REQ_S req{};
    req.mode = mode;
    req.sessionId = 0x33;
    req.transactionId = 0x44;
    req.interval = 1;
    req.reportCriteria = LAPI_REPORT_PERIODIC;
    return RequestBytes(req, LAPI_MSG_GET_LOCATION_REQ);
}

// A request whose header claims msgLen but carries the bytes given.
Bytes WithMsgLen(Bytes msg, uint16_t msgLen) {
    msg[6] = static_cast<uint8_t>(msgLen & 0xFF);
    msg[7] = static_cast<uint8_t>(msgLen >> 8);
    msg.resize(sizeof(LAPI_MSG_HEADER_S) + msgLen, 0);
    return msg;
}

class ProtocolTest : public LapidTest {
  protected:
    // No fix while these tests run: no status change is pushed between the answers.
    void SetUp() override { Launch({"--ttff", "3600"}); }

    void Register(RawClient *c, uint32_t services = LAPI_SERVICE_MASK) {
        std::string why;
        ASSERT_TRUE(c->Register(services, &why)) << why;
    }
    // The client still gets the answer to a LAPI_BLOCK request as the next message on
    // its synchronous connection.
    void ExpectInStep(RawClient &c) {
        Bytes rsp;
        ASSERT_EQ(c.Call(StatusReq(LAPI_BLOCK, 1, 2), &rsp), RecvResult::kMessage);
        EXPECT_EQ(MsgIdOf(rsp), LAPI_MSG_GET_STATUS_RSP) << "stray message on the sync connection";
        EXPECT_EQ(rsp[9], 2);
    }
};

enum class Where { kSync, kAsync };

struct Malformed {
    const char *name;
    Bytes msg;
    Where where;
};

std::vector<Malformed> MalformedCases() {
    return {
        {"msgLen one short", WithMsgLen(StatusReq(LAPI_NONBLOCK), 3), Where::kAsync},
        {"msgLen one long", WithMsgLen(StatusReq(LAPI_NONBLOCK), 5), Where::kAsync},
        {"getLocationReq cut short", WithMsgLen(PeriodicReq(LAPI_NONBLOCK), 30), Where::kAsync},
        {"msgLen wrong in LAPI_BLOCK", WithMsgLen(StatusReq(LAPI_BLOCK), 6), Where::kSync},
        {"mode 2", StatusReq(2), Where::kAsync},
        {"mode 255", StatusReq(255), Where::kAsync},
        {"unknown msgId 99", RawMessage(99, {0, 0, 0x33, 0x44}), Where::kAsync},
        {"unknown msgId 117", RawMessage(117, {0, 0, 0x33, 0x44}), Where::kAsync},
        {"server-range msgId from a client", RawMessage(LAPI_MSG_GET_STATUS_RSP, Bytes(30, 0)),
         Where::kAsync},
        {"periodic getLocationReq in LAPI_BLOCK", PeriodicReq(LAPI_BLOCK), Where::kSync},
        {"registerReq from a registered client", RawMessage(LAPI_MSG_REGISTER_REQ, {7, 0, 0, 0}),
         Where::kAsync},
    };
}

TEST_F(ProtocolTest, MalformedRequestsGetOneInvalidRequestRsp) {
    for (const Malformed &k : MalformedCases()) {
        SCOPED_TRACE(k.name);
        RawClient c;
        Register(&c);
        if (HasFatalFailure()) {
            return;
        }
        const int64_t invalidBefore = Counters()["invalid_requests"];
        ASSERT_TRUE(SendBytes(c.sync.Get(), k.msg));

        // Exactly one invalidRequestRsp, on either connection, and nothing else.
        pollfd both[2] = {{c.sync.Get(), POLLIN, 0}, {c.async.Get(), POLLIN, 0}};
        ASSERT_EQ(::poll(both, 2, kWaitMs) > 0, true) << "no answer";
        Bytes onSync;
        Bytes onAsync;
        const RecvResult rs =
            RecvMessage(c.sync.Get(), &onSync, both[0].revents != 0 ? kWaitMs : 300);
        const RecvResult ra =
            RecvMessage(c.async.Get(), &onAsync, both[1].revents != 0 ? kWaitMs : 300);
        const bool gotSync = rs == RecvResult::kMessage;
        const bool gotAsync = ra == RecvResult::kMessage;
        ASSERT_TRUE(gotSync || gotAsync) << "no answer";
        ASSERT_FALSE(gotSync && gotAsync) << "answered on both connections";
        const Bytes &rsp = gotSync ? onSync : onAsync;
        EXPECT_EQ(MsgIdOf(rsp), LAPI_MSG_INVALID_REQUEST_RSP);
        EXPECT_EQ(MsgLenOf(rsp), 2);
        if (k.where == Where::kSync) {
            EXPECT_TRUE(gotSync) << "a LAPI_BLOCK request is answered on the sync connection";
            EXPECT_EQ(rsp[8], 0x33);
            EXPECT_EQ(rsp[9], 0x44);
        } else {
            EXPECT_TRUE(gotAsync) << "nothing waits on the sync connection for this answer";
        }
        EXPECT_EQ(Counters()["invalid_requests"], invalidBefore + 1);
        ExpectInStep(c);
    }
}

TEST_F(ProtocolTest, RequestForAServiceNotRegisteredIsInvalid) {
    RawClient c;
    Register(&c, LAPI_SERVICE_MOLR);
    Bytes rsp;
    ASSERT_EQ(c.Call(StatusReq(LAPI_BLOCK), &rsp), RecvResult::kMessage);
    EXPECT_EQ(MsgIdOf(rsp), LAPI_MSG_INVALID_REQUEST_RSP);
    EXPECT_EQ(rsp[9], 0x44);
    ASSERT_TRUE(SendBytes(c.sync.Get(), StatusReq(LAPI_NONBLOCK)));
    ASSERT_EQ(RecvMessage(c.async.Get(), &rsp, kWaitMs), RecvResult::kMessage);
    EXPECT_EQ(MsgIdOf(rsp), LAPI_MSG_INVALID_REQUEST_RSP);
    EXPECT_TRUE(FindClientById(Clients(), c.globalId)) << "the client was dropped";
}

TEST_F(ProtocolTest, AnswersGoWhereTheModeSays) {
    RawClient c;
    Register(&c);
    Bytes rsp;
    ASSERT_EQ(c.Call(StatusReq(LAPI_BLOCK), &rsp), RecvResult::kMessage);
    EXPECT_EQ(MsgIdOf(rsp), LAPI_MSG_GET_STATUS_RSP);
    EXPECT_EQ(RecvMessage(c.async.Get(), &rsp, 300), RecvResult::kTimeout);

    ASSERT_TRUE(SendBytes(c.sync.Get(), StatusReq(LAPI_NONBLOCK)));
    ASSERT_EQ(RecvMessage(c.async.Get(), &rsp, kWaitMs), RecvResult::kMessage);
    EXPECT_EQ(MsgIdOf(rsp), LAPI_MSG_GET_STATUS_RSP);
    EXPECT_EQ(RecvMessage(c.sync.Get(), &rsp, 300), RecvResult::kTimeout);

    // abortAllLocationReq has no mode and no answer on the sync connection.
    ASSERT_TRUE(SendBytes(c.sync.Get(), RawMessage(LAPI_MSG_ABORT_ALL_LOCATION_REQ, {})));
    EXPECT_EQ(RecvMessage(c.sync.Get(), &rsp, 500), RecvResult::kTimeout);
    ExpectInStep(c);
}

TEST_F(ProtocolTest, MsgLenAbove248ClosesTheClient) {
    RawClient ok;
    Register(&ok);
    // 248 is still framed: an unknown message of that length is only refused.
    ASSERT_TRUE(SendBytes(ok.sync.Get(), RawMessage(99, Bytes(248, 0))));
    Bytes rsp;
    ASSERT_EQ(RecvMessage(ok.async.Get(), &rsp, kWaitMs), RecvResult::kMessage);
    EXPECT_EQ(MsgIdOf(rsp), LAPI_MSG_INVALID_REQUEST_RSP);
    ExpectInStep(ok);

    RawClient bad;
    Register(&bad);
    ASSERT_TRUE(FindClientById(Clients(), bad.globalId));
    ASSERT_TRUE(SendBytes(bad.sync.Get(), RawMessage(99, Bytes(249, 0))));
    EXPECT_TRUE(WaitClosed(bad.sync.Get(), kWaitMs)) << "sync connection left open";
    EXPECT_TRUE(WaitClosed(bad.async.Get(), kWaitMs)) << "async connection left open";
    EXPECT_FALSE(FindClientById(Clients(), bad.globalId)) << "client still listed";
    ExpectInStep(ok);
}

TEST_F(ProtocolTest, RequestBeforeRegistrationIsRefused) {
    Fd fd = ConnectService();
    ASSERT_TRUE(fd.Valid());
    ASSERT_TRUE(SendBytes(fd.Get(), StatusReq(LAPI_BLOCK)));
    Bytes rsp;
    const RecvResult r = RecvMessage(fd.Get(), &rsp, kWaitMs);
    if (r == RecvResult::kMessage) {
        EXPECT_EQ(MsgIdOf(rsp), LAPI_MSG_INVALID_REQUEST_RSP) << "served without registration";
    } else {
        EXPECT_EQ(r, RecvResult::kClosed) << "neither refused nor closed";
    }
}

TEST_F(ProtocolTest, AsyncBindingNeedsAFreshKnownGlobalId) {
    RawClient c;
    Register(&c);

    // An identifier that was never handed out.
    Fd stranger = ConnectService();
    ASSERT_TRUE(stranger.Valid());
    LAPI_GET_ASYNC_FD_REQ_S bind{};
    bind.globalId = c.globalId + 100000;
    ASSERT_TRUE(SendBytes(stranger.Get(), RequestBytes(bind, LAPI_MSG_GET_ASYNC_FD_REQ)));
    Bytes rsp;
    RecvResult r = RecvMessage(stranger.Get(), &rsp, kWaitMs);
    EXPECT_TRUE(r == RecvResult::kClosed ||
                (r == RecvResult::kMessage && MsgIdOf(rsp) != LAPI_MSG_GET_ASYNC_FD_RSP))
        << "unknown globalId bound";

    // The identifier of a client whose asynchronous connection is already bound.
    Fd thief = ConnectService();
    ASSERT_TRUE(thief.Valid());
    bind.globalId = c.globalId;
    ASSERT_TRUE(SendBytes(thief.Get(), RequestBytes(bind, LAPI_MSG_GET_ASYNC_FD_REQ)));
    r = RecvMessage(thief.Get(), &rsp, kWaitMs);
    EXPECT_TRUE(r == RecvResult::kClosed ||
                (r == RecvResult::kMessage && MsgIdOf(rsp) != LAPI_MSG_GET_ASYNC_FD_RSP))
        << "bound a second time";

    // The owner keeps its asynchronous connection.
    ASSERT_TRUE(SendBytes(c.sync.Get(), StatusReq(LAPI_NONBLOCK)));
    ASSERT_EQ(RecvMessage(c.async.Get(), &rsp, kWaitMs), RecvResult::kMessage);
    EXPECT_EQ(MsgIdOf(rsp), LAPI_MSG_GET_STATUS_RSP);
}

TEST_F(ProtocolTest, UnfinishedRegistrationIsClosedAfterTheTimeout) {
    Launch({"--register-timeout", "1", "--ttff", "3600"});
    const int64_t before = Counters()["registration_timeouts"];
    Fd sync = ConnectService();
    ASSERT_TRUE(sync.Valid());
    LAPI_REGISTER_REQ_S reg{};
    reg.service = LAPI_SERVICE_MOLR;
    ASSERT_TRUE(SendBytes(sync.Get(), RequestBytes(reg, LAPI_MSG_REGISTER_REQ)));
    Bytes rsp;
    ASSERT_EQ(RecvMessage(sync.Get(), &rsp, kWaitMs), RecvResult::kMessage);
    ASSERT_EQ(MsgIdOf(rsp), LAPI_MSG_REGISTER_RSP);
    const int32_t globalId = FromBytes<LAPI_REGISTER_RSP_S>(rsp).globalId;

    const Stopwatch sw;
    EXPECT_TRUE(WaitClosed(sync.Get(), 5000)) << "half-registered connection kept";
    EXPECT_GE(sw.ElapsedMs(), 500) << "closed long before the timeout";
    EXPECT_EQ(Counters()["registration_timeouts"], before + 1);

    // Too late to bind now.
    Fd late = ConnectService();
    ASSERT_TRUE(late.Valid());
    LAPI_GET_ASYNC_FD_REQ_S bind{};
    bind.globalId = globalId;
    ASSERT_TRUE(SendBytes(late.Get(), RequestBytes(bind, LAPI_MSG_GET_ASYNC_FD_REQ)));
    const RecvResult r = RecvMessage(late.Get(), &rsp, kWaitMs);
    EXPECT_TRUE(r == RecvResult::kClosed ||
                (r == RecvResult::kMessage && MsgIdOf(rsp) != LAPI_MSG_GET_ASYNC_FD_RSP));
}

TEST_F(ProtocolTest, UnregisterIsAnsweredOnTheSyncConnection) {
    RawClient c;
    Register(&c);
    Bytes rsp;
    ASSERT_EQ(c.Call(RawMessage(LAPI_MSG_UNREGISTER_REQ, {}), &rsp), RecvResult::kMessage);
    EXPECT_EQ(MsgIdOf(rsp), LAPI_MSG_UNREGISTER_RSP);
    EXPECT_EQ(MsgLenOf(rsp), 0);
    EXPECT_FALSE(FindClientById(Clients(), c.globalId));
}

TEST_F(ProtocolTest, GpsDatabaseRequestsWithBadCountsAreRefusedByTheServer) {
    RawClient c;
    Register(&c, LAPI_SERVICE_STATUS);
    struct Case {
        const char *name;
        uint16_t numFiles;
        uint16_t length;
        int32_t result;
    };
    uint8_t tid = 0;
    for (const Case &k : {Case{"numFiles 0", 0, 1, -2}, Case{"numFiles 23", 23, 1, -2},
                          Case{"numFiles 65535", 65535, 1, -2}, Case{"length 0", 2, 0, -3},
                          Case{"length 5", 2, 5, -3}}) {
        SCOPED_TRACE(k.name);
        LAPI_SET_GPS_DB_DATA_REQ_S req{};
        req.mode = LAPI_BLOCK;
        req.transactionId = ++tid;
        req.numFiles = k.numFiles;
        req.dbFile[0].fileId = 500;
        req.dbFile[0].length = 1;
        req.dbFile[1].fileId = 501;
        req.dbFile[1].length = k.length;
        Bytes rsp;
        ASSERT_EQ(c.Call(RequestBytes(req, LAPI_MSG_SET_GPS_DB_DATA_REQ), &rsp),
                  RecvResult::kMessage);
        ASSERT_EQ(MsgIdOf(rsp), LAPI_MSG_SET_GPS_DB_DATA_RSP);
        EXPECT_EQ(rsp[9], tid);
        EXPECT_EQ(Val(FromBytes<LAPI_SET_GPS_DB_DATA_RSP_S>(rsp).result), Val(k.result));
    }
    // Nothing of the refused requests was stored, not even their valid first element.
    LAPI_GET_GPS_DB_DATA_REQ_S get{};
    get.mode = LAPI_BLOCK;
    get.fileId = 500;
    Bytes rsp;
    ASSERT_EQ(c.Call(RequestBytes(get, LAPI_MSG_GET_GPS_DB_DATA_REQ), &rsp), RecvResult::kMessage);
    ASSERT_EQ(MsgIdOf(rsp), LAPI_MSG_GET_GPS_DB_DATA_RSP);
    EXPECT_EQ(Val(FromBytes<LAPI_GET_GPS_DB_DATA_RSP_S>(rsp).result), -1);
}

}  // namespace
}  // namespace lapid_itest
