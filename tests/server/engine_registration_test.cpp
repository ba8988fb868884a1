// The registration state machine of the lapid engine: the handshake, refusals,
// the registration timeout, unregistration, and release of everything a client held
// when either of its connections closes.
#include <gtest/gtest.h>

#include "lapid_harness.h"

namespace lapidtest {
namespace {

LAPI_REGISTER_REQ_S RegisterReq(uint32_t services) {
    LAPI_REGISTER_REQ_S r{};
    r.header = Header(LAPI_MSG_REGISTER_REQ, 4);
    r.service = services;
    return r;
}

TEST(EngineRegistration, HandshakeGivesFreshGlobalIdsNeverReused) {
    EngineHarness h;
    const TestClient a = h.Register(LAPI_SERVICE_MOLR);
    const TestClient b = h.Register(LAPI_SERVICE_STATUS | LAPI_SERVICE_MTLR);
    EXPECT_NE(Val(a.globalId), Val(b.globalId));
    EXPECT_EQ(h.engine.ClientCount(), 2u);

    // Release a; a later client must not get its globalId back.
    h.Hangup(a.async);
    const TestClient c = h.Register(LAPI_SERVICE_MOLR);
    EXPECT_NE(Val(c.globalId), Val(a.globalId));
    EXPECT_NE(Val(c.globalId), Val(b.globalId));

    const auto clients = h.engine.Clients();
    ASSERT_EQ(clients.size(), 2u);
    EXPECT_EQ(Val(clients[0].globalId), Val(b.globalId));
    EXPECT_EQ(Val(clients[0].services), LAPI_SERVICE_STATUS | LAPI_SERVICE_MTLR);
    EXPECT_EQ(Val(clients[0].pid), 4242);
    EXPECT_TRUE(Val(clients[0].asyncBound));
}

TEST(EngineRegistration, ServiceBitsOutsideTheMaskAreIgnoredAndNoneIsRefused) {
    EngineHarness h;
    const TestClient a = h.Register(LAPI_SERVICE_MOLR | 0x80u);
    EXPECT_EQ(Val(h.engine.Clients().at(0).services), LAPI_SERVICE_MOLR);

    const ConnId c = h.Connect();
    h.SendRec(c, RegisterReq(0x80u));
    EXPECT_TRUE(h.Take(c).empty());
    EXPECT_TRUE(h.IsClosed(c));
    EXPECT_FALSE(h.IsClosed(a.sync));
}

TEST(EngineRegistration, UnknownOrBoundGlobalIdIsRefusedAndClosed) {
    EngineHarness h;
    const TestClient a = h.Register(LAPI_SERVICE_MOLR);

    const ConnId unknown = h.Connect();
    h.SendRec(unknown, EngineHarness::AsyncReq(a.globalId + 100));
    EXPECT_TRUE(h.Take(unknown).empty());
    EXPECT_TRUE(h.IsClosed(unknown));

    const ConnId bound = h.Connect();
    h.SendRec(bound, EngineHarness::AsyncReq(a.globalId));
    EXPECT_TRUE(h.Take(bound).empty());
    EXPECT_TRUE(h.IsClosed(bound));

    // The client that owns the globalId is untouched.
    EXPECT_FALSE(h.IsClosed(a.sync));
    EXPECT_FALSE(h.IsClosed(a.async));
    EXPECT_EQ(Val(h.engine.Count().registrationsRefused), 2u);
    h.SendRec(a.sync, Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 0));
    EXPECT_TRUE(h.Take(a.sync).empty());  // no STATUS service: invalid, on async
    EXPECT_EQ(MsgIdOf(h.TakeOne(a.async)), LAPI_MSG_INVALID_REQUEST_RSP);
}

TEST(EngineRegistration, FirstMessageMustBeARegistrationMessage) {
    EngineHarness h;
    const ConnId c = h.Connect();
    h.SendRec(c, Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 1));
    EXPECT_TRUE(h.Take(c).empty());
    EXPECT_TRUE(h.IsClosed(c));
    EXPECT_EQ(h.engine.ClientCount(), 0u);
}

TEST(EngineRegistration, RequestBeforeTheAsyncConnectionIsBoundClosesTheClient) {
    EngineHarness h;
    const ConnId sync = h.Connect();
    h.SendRec(sync, RegisterReq(LAPI_SERVICE_STATUS));
    const int32_t gid = As<LAPI_REGISTER_RSP_S>(h.TakeOne(sync)).globalId;

    h.SendRec(sync, Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 1));
    EXPECT_TRUE(h.Take(sync).empty());
    EXPECT_TRUE(h.IsClosed(sync));
    EXPECT_EQ(h.engine.ClientCount(), 0u);

    // Its globalId is gone with it.
    const ConnId async = h.Connect();
    h.SendRec(async, EngineHarness::AsyncReq(gid));
    EXPECT_TRUE(h.IsClosed(async));
}

TEST(EngineRegistration, MessageOnTheAsyncConnectionClosesTheClient) {
    EngineHarness h;
    const TestClient a = h.Register(LAPI_SERVICE_STATUS);
    h.SendRec(a.async, Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 0));
    EXPECT_TRUE(h.IsClosed(a.async));
    EXPECT_TRUE(h.IsClosed(a.sync));
    EXPECT_EQ(h.engine.ClientCount(), 0u);
}

TEST(EngineRegistration, IncompleteRegistrationTimesOut) {
    lapid::EngineLimits limits;
    limits.registerTimeoutMs = 2000;
    EngineHarness h(limits);

    const ConnId idle = h.Connect();  // never says anything
    h.Advance(1000);
    const ConnId sync = h.Connect();  // registers, never binds an async connection
    h.SendRec(sync, RegisterReq(LAPI_SERVICE_MOLR));
    h.Take(sync);
    const TestClient done = h.Register(LAPI_SERVICE_MOLR);

    h.Advance(900);
    EXPECT_FALSE(h.IsClosed(idle));
    h.Advance(100);  // 2000 ms after the idle connection opened
    EXPECT_TRUE(h.IsClosed(idle));
    EXPECT_FALSE(h.IsClosed(sync));
    h.Advance(1000);  // 2000 ms after registerReq
    EXPECT_TRUE(h.IsClosed(sync));
    EXPECT_EQ(Val(h.engine.Count().registrationTimeouts), 2u);

    h.Advance(10000);
    EXPECT_FALSE(h.IsClosed(done.sync));
    EXPECT_FALSE(h.IsClosed(done.async));
    EXPECT_EQ(h.engine.ClientCount(), 1u);
}

TEST(EngineRegistration, UnregisterAnswersOnSyncThenClosesBoth) {
    EngineHarness h;
    const TestClient a = h.Register(LAPI_SERVICE_MOLR);
    h.SendRec(a.sync, LocationReq(0, 0, 0, LAPI_REPORT_PERIODIC, 1));
    ASSERT_EQ(h.sessions.SessionCount(a.globalId), 1u);

    LAPI_UNREGISTER_REQ_S un{};
    un.header = Header(LAPI_MSG_UNREGISTER_REQ, 0);
    h.SendRec(a.sync, un);
    EXPECT_EQ(MsgIdOf(h.TakeOne(a.sync)), LAPI_MSG_UNREGISTER_RSP);
    EXPECT_TRUE(h.IsClosed(a.sync));
    EXPECT_TRUE(h.IsClosed(a.async));
    EXPECT_EQ(h.sessions.SessionCount(), 0u);
    EXPECT_EQ(h.engine.ClientCount(), 0u);
    EXPECT_EQ(Val(h.engine.Count().clientsReleased), 1u);
}

// Everything a client holds goes when either of its connections closes.
class EngineRelease : public ::testing::TestWithParam<bool> {};

TEST_P(EngineRelease, ClosingEitherConnectionReleasesEverything) {
    const bool closeAsync = GetParam();
    EngineHarness h;
    const TestClient a = h.Register(LAPI_SERVICE_MOLR | LAPI_SERVICE_MTLR);
    const TestClient other = h.Register(LAPI_SERVICE_MOLR | LAPI_SERVICE_MTLR);

    h.SendRec(a.sync, LocationReq(0, 0, 0, LAPI_REPORT_PERIODIC, 1, 1));
    h.SendRec(a.sync, LocationReq(0, 30, 0, 0, 0, 2));  // single fix, waiting
    auto add = Request<LAPI_ADD_PROXIMITY_REQ_S>(LAPI_MSG_ADD_PROXIMITY_REQ, 0);
    add.latitude = 10;
    add.longitude = 10;
    add.radius = 100;
    h.SendRec(a.sync, add);
    lapid::MtlrRequest req;
    req.notificationType = static_cast<int32_t>(lapid::NotificationType::kVerifyDenyIfNoResponse);
    ASSERT_EQ(Val(h.Inject(req).error), lapid::InjectError::kNone);
    ASSERT_EQ(Val(h.engine.Clients().at(0).sessions), 2u);
    ASSERT_EQ(Val(h.engine.Clients().at(0).listeners), 1u);
    ASSERT_EQ(Val(h.engine.Clients().at(0).pendingNotifications), 1u);
    h.Take(a.async);

    h.Hangup(closeAsync ? a.async : a.sync);
    EXPECT_TRUE(h.IsClosed(a.sync));
    EXPECT_TRUE(h.IsClosed(a.async));
    EXPECT_EQ(h.sessions.SessionCount(a.globalId), 0u);
    EXPECT_EQ(h.proximity.Count(a.globalId), 0u);
    EXPECT_EQ(h.mtlr.OpenNotifications(a.globalId), 0u);
    ASSERT_EQ(h.engine.Clients().size(), 1u);
    EXPECT_EQ(Val(h.engine.Clients().at(0).globalId), Val(other.globalId));
    EXPECT_EQ(Val(h.engine.Clients().at(0).pendingNotifications), 1u);

    // Nothing more is written for the released client, even when its sessions would
    // have been due.
    h.Advance(5000);
    EXPECT_TRUE(h.Take(a.async).empty());
    EXPECT_TRUE(h.Take(a.sync).empty());
}

INSTANTIATE_TEST_SUITE_P(SyncOrAsync, EngineRelease, ::testing::Bool());

}  // namespace
}  // namespace lapidtest
