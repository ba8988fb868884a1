// Self-tests of the scripted fake server, driven by raw client sockets.
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "bytes.h"
#include "fake_server.h"
#include "fds.h"
#include "selftest_util.h"

namespace lapitest {
namespace {

using namespace std::chrono_literals;
using selftest::ConnectClient;
using selftest::Fd;
using selftest::NextRecv;
using selftest::RecvUpTo;
using selftest::SendAll;

bool PathExists() {
    struct stat st {};
    return stat(kSocketPath, &st) == 0;
}

Bytes I32Body(int32_t v) {
    Bytes b;
    PutI32(b, v);
    return b;
}

TEST(FakeServer, RegistrationScriptsAnswerClientsInTurn) {
    FakeServer server;
    server.ExpectClients(2, 7);
    for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE("client " + std::to_string(k));
        Bytes service;
        PutU32(service, 5);
        const Bytes req = Msg(kRegisterReq, service, 300);
        Fd sync(ConnectClient());
        ASSERT_GE(sync.get(), 0);
        ASSERT_TRUE(SendAll(sync.get(), req));
        const Bytes rsp = RecvUpTo(sync.get(), 12);
        ASSERT_EQ(rsp.size(), 12u);
        EXPECT_EQ(MsgId(rsp), kRegisterRsp);
        EXPECT_EQ(MsgLen(rsp), 4);
        EXPECT_EQ(GetI32(rsp, 8), 7 + k);

        const Bytes asyncReq = Msg(kGetAsyncFdReq, I32Body(7 + k), 300);
        Fd async(ConnectClient());
        ASSERT_GE(async.get(), 0);
        ASSERT_TRUE(SendAll(async.get(), asyncReq));
        const Bytes asyncRsp = RecvUpTo(async.get(), 8);
        EXPECT_EQ(asyncRsp, Msg(kGetAsyncFdRsp));

        EXPECT_TRUE(server.WaitScriptDone(2 * k));
        EXPECT_TRUE(server.WaitScriptDone(2 * k + 1));
        EXPECT_EQ(server.ReceivedMsgs(2 * k), std::vector<Bytes>{req});
        EXPECT_EQ(server.ReceivedMsgs(2 * k + 1), std::vector<Bytes>{asyncReq});
    }
    EXPECT_EQ(server.Accepted(), 4);
    EXPECT_TRUE(server.Errors().empty());
}

TEST(FakeServer, UnregisterScriptAnswersAfterRegistration) {
    FakeServer server;
    server.SetScript(0, Concat(FakeServer::RegisterSync(3), FakeServer::UnregisterSync()));
    Fd sync(ConnectClient());
    ASSERT_GE(sync.get(), 0);
    ASSERT_TRUE(SendAll(sync.get(), Msg(kRegisterReq, I32Body(1))));
    EXPECT_EQ(RecvUpTo(sync.get(), 12), Msg(kRegisterRsp, I32Body(3)));
    ASSERT_TRUE(SendAll(sync.get(), Msg(kUnregisterReq)));
    EXPECT_EQ(RecvUpTo(sync.get(), 8), Msg(kUnregisterRsp));
    EXPECT_TRUE(server.WaitScriptDone(0));
    EXPECT_TRUE(server.Errors().empty());
}

TEST(FakeServer, ScriptFailuresAreReportedNotFatal) {
    FakeServer server;
    server.SetScript(0, FakeServer::RegisterSync(1));
    server.SetScript(1, {ReadMsg()});
    {
        // Wrong identifier: reported, and the script still answers.
        Fd c(ConnectClient());
        ASSERT_TRUE(SendAll(c.get(), Msg(kGetAsyncFdReq, I32Body(1))));
        EXPECT_EQ(RecvUpTo(c.get(), 12).size(), 12u);
    }
    {
        // End of file in the middle of a header.
        Fd c(ConnectClient());
        ASSERT_TRUE(SendAll(c.get(), Bytes{1, 2, 3}));
    }
    ASSERT_TRUE(server.WaitScriptDone(1));
    EXPECT_TRUE(server.WaitClosedByPeer(1));
    const auto errors = server.Errors();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("connection 0"), std::string::npos) << errors[0];
    EXPECT_NE(errors[0].find("received msgId 102"), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find("connection 1, step 1 ReadMsg()"), std::string::npos) << errors[1];
    EXPECT_NE(errors[1].find("end of file after 3 of 8 bytes"), std::string::npos) << errors[1];
}

TEST(FakeServer, BytewiseWriteArrivesIntactInPieces) {
    FakeServer server;
    const Bytes msg = Msg(kRegisterRsp, I32Body(0x01020304));
    server.SetScript(0, {WriteBytewise(msg, 3ms)});
    Fd c(ConnectClient());
    ASSERT_GE(c.get(), 0);
    int reads = 0;
    EXPECT_EQ(RecvUpTo(c.get(), msg.size(), &reads), msg);
    EXPECT_GE(reads, 2);  // with 3 ms between bytes one read cannot get them all
    EXPECT_TRUE(server.WaitScriptDone(0));
    EXPECT_TRUE(server.Errors().empty());
}

TEST(FakeServer, ReadStepsTakeExactlyTheirBytes) {
    FakeServer server;
    const Bytes first = Msg(1);
    const Bytes second = Msg(2, {0xee});
    server.SetScript(0, {Read(4), Write(first), ReadMsg(), Write(second)});
    Fd c(ConnectClient());
    ASSERT_GE(c.get(), 0);
    // Both pieces in one write: Read(4) must leave the message to ReadMsg.
    Bytes both{9, 9, 9, 9};
    const Bytes req = Msg(kRegisterReq, I32Body(4));
    both.insert(both.end(), req.begin(), req.end());
    ASSERT_TRUE(SendAll(c.get(), both));
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(RecvUpTo(c.get(), expected.size()), expected);
    EXPECT_TRUE(server.WaitScriptDone(0));
    EXPECT_EQ(server.Received(0), both);
    EXPECT_TRUE(server.Errors().empty());
}

TEST(FakeServer, RecordsEverythingUntilEndOfFile) {
    FakeServer server;
    server.SetScript(1, {Write(Msg(3))});  // a script that ends without Close
    const Bytes a = Msg(106, Bytes(32, 0x11), 42);
    const Bytes b = MsgWithLen(108, 0, {});
    const Bytes partial{0x01, 0x02, 0x03};
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    all.insert(all.end(), partial.begin(), partial.end());
    {
        Fd c0(ConnectClient());
        Fd c1(ConnectClient());
        ASSERT_GE(c0.get(), 0);
        ASSERT_GE(c1.get(), 0);
        ASSERT_TRUE(SendAll(c0.get(), a));
        ASSERT_TRUE(SendAll(c0.get(), b));
        ASSERT_TRUE(SendAll(c0.get(), partial));
        EXPECT_EQ(RecvUpTo(c1.get(), 8), Msg(3));
        ASSERT_TRUE(SendAll(c1.get(), a));
        ASSERT_TRUE(server.WaitReceived(0, all.size()));
        ASSERT_TRUE(server.WaitReceived(1, a.size()));
        EXPECT_FALSE(server.WaitClosedByPeer(0, 20ms));
        EXPECT_FALSE(server.WaitClosed(1, 1ms));
    }
    EXPECT_TRUE(server.WaitClosedByPeer(0));
    EXPECT_TRUE(server.WaitClosedByPeer(1));
    EXPECT_TRUE(server.WaitClosed(1));
    EXPECT_EQ(server.Received(0), all);
    EXPECT_EQ(server.ReceivedMsgs(0), (std::vector<Bytes>{a, b}));
    EXPECT_EQ(server.Received(1), a);
    EXPECT_TRUE(server.Received(7).empty());
    EXPECT_TRUE(server.Errors().empty());
}

TEST(FakeServer, ClientClosingWithUnreadBytesCountsAsClosed) {
    FakeServer server;
    server.SetScript(0, {Write(Msg(1, Bytes(20, 1)))});
    server.SetScript(1, {Write(Msg(2, Bytes(20, 2))), ReadMsg()});
    {
        Fd c0(ConnectClient());
        Fd c1(ConnectClient());
        ASSERT_TRUE(server.WaitScriptDone(0));
        ASSERT_TRUE(selftest::Readable(c1.get(), 5000));
        // Both close with the server's bytes unread: the server sees a reset.
    }
    EXPECT_TRUE(server.WaitClosedByPeer(0));
    EXPECT_TRUE(server.WaitClosedByPeer(1));
    ASSERT_TRUE(server.WaitScriptDone(1));
    const auto errors = server.Errors();
    ASSERT_EQ(errors.size(), 1u);  // only the script that still wanted a message
    EXPECT_NE(errors[0].find("connection 1, step 2 ReadMsg()"), std::string::npos) << errors[0];
}

TEST(FakeServer, StopListeningRefusesLaterConnects) {
    FakeServer server;
    server.SetScript(0, {StopListening()});
    Fd first(ConnectClient());
    ASSERT_GE(first.get(), 0);
    ASSERT_TRUE(server.WaitScriptDone(0));
    errno = 0;
    EXPECT_EQ(ConnectClient(), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_TRUE(PathExists());
    EXPECT_EQ(server.Accepted(), 1);
    EXPECT_TRUE(server.Errors().empty());
}

TEST(FakeServer, StopListeningCanRemoveThePath) {
    FakeServer server;
    server.SetScript(0, {StopListening(true)});
    Fd first(ConnectClient());
    ASSERT_GE(first.get(), 0);
    ASSERT_TRUE(server.WaitScriptDone(0));
    errno = 0;
    EXPECT_EQ(ConnectClient(), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(PathExists());
}

TEST(FakeServer, WaitForHoldsTheScriptUntilSignalled) {
    FakeServer server;
    const Bytes msg = Msg(7, {1, 2});
    server.SetScript(0, {WaitFor("go"), Write(msg)});
    Fd c(ConnectClient());
    ASSERT_GE(c.get(), 0);
    ASSERT_TRUE(server.WaitAccepted(1));
    EXPECT_FALSE(selftest::Readable(c.get(), 100));
    EXPECT_FALSE(server.WaitScriptDone(0, 1ms));
    server.Signal("go");
    EXPECT_EQ(RecvUpTo(c.get(), msg.size()), msg);
    EXPECT_TRUE(server.WaitScriptDone(0));
    EXPECT_TRUE(server.Errors().empty());
}

TEST(FakeServer, CloseStepEndsWithEndOfFileEvenWithUnreadBytes) {
    FakeServer server;
    server.SetScript(0, {ReadMsg(), Close(), Write(Msg(1))});
    Fd c(ConnectClient());
    ASSERT_GE(c.get(), 0);
    Bytes sent = Msg(kUnregisterReq);
    sent.insert(sent.end(), {0xab, 0xcd, 0xef});  // never read by the script
    ASSERT_TRUE(SendAll(c.get(), sent));
    int err = 0;
    EXPECT_EQ(NextRecv(c.get(), &err), 0) << "errno " << err;
    ASSERT_TRUE(server.WaitScriptDone(0));
    EXPECT_TRUE(server.WaitClosed(0));
    EXPECT_EQ(server.Received(0), sent);
    EXPECT_FALSE(server.WaitClosedByPeer(0, 1ms));
    const auto errors = server.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("1 step(s) after Close() not run"), std::string::npos) << errors[0];
}

TEST(FakeServer, SendAndCloseConnectionActOnAcceptedConnections) {
    FakeServer server;
    Fd c(ConnectClient());
    ASSERT_GE(c.get(), 0);
    const Bytes ind = Msg(7, Bytes(30, 0x42));
    ASSERT_TRUE(server.Send(0, ind));
    EXPECT_EQ(RecvUpTo(c.get(), ind.size()), ind);
    EXPECT_TRUE(server.Errors().empty());

    ASSERT_TRUE(server.CloseConnection(0));
    int err = 0;
    EXPECT_EQ(NextRecv(c.get(), &err), 0) << "errno " << err;
    EXPECT_FALSE(server.Send(0, ind));
    EXPECT_FALSE(server.Send(5, ind, 20ms));
    EXPECT_FALSE(server.CloseConnection(5, 20ms));
    EXPECT_EQ(server.Errors().size(), 2u);
}

TEST(FakeServer, SendWaitsForTheConnection) {
    FakeServer server;
    const Bytes ind = Msg(9, Bytes(6, 1));
    std::thread sender([&] { EXPECT_TRUE(server.Send(0, ind)); });
    std::this_thread::sleep_for(20ms);  // let Send start waiting first
    Fd c(ConnectClient());
    ASSERT_GE(c.get(), 0);
    EXPECT_EQ(RecvUpTo(c.get(), ind.size()), ind);
    sender.join();
}

TEST(FakeServer, ScriptsMustPrecedeTheirConnection) {
    FakeServer server;
    Fd c(ConnectClient());
    ASSERT_TRUE(server.WaitAccepted(1));
    EXPECT_THROW(server.SetScript(0, {Close()}), std::logic_error);
    EXPECT_THROW(server.SetScript(-1, {Close()}), std::invalid_argument);
    EXPECT_NO_THROW(server.SetScript(1, {Close()}));
}

TEST(FakeServer, ReplacesAStaleSocketFile) {
    {
        // A socket file left behind by a process that is gone.
        Fd stale(socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, kSocketPath, std::strlen(kSocketPath));
        unlink(kSocketPath);
        ASSERT_EQ(bind(stale.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);
    }
    ASSERT_TRUE(PathExists());
    FakeServer server;
    Fd c(ConnectClient());
    EXPECT_GE(c.get(), 0);
    EXPECT_TRUE(server.WaitAccepted(1));
}

TEST(FakeServer, DestructorStopsBlockedScriptsAndCleansUp) {
    const auto before = OpenFds();
    Fd waiting;
    Fd flooded;
    Fd sleeping;
    Fd draining;
    {
        FakeServer server;
        server.SetScript(0, {WaitFor("never")});
        server.SetScript(1, {Write(Bytes(1 << 20, 0x55))});  // more than a socket buffer
        server.SetScript(2, {Sleep(std::chrono::minutes(10))});
        waiting.Reset(ConnectClient());
        flooded.Reset(ConnectClient());
        sleeping.Reset(ConnectClient());
        draining.Reset(ConnectClient());
        ASSERT_TRUE(server.WaitAccepted(4));
        ASSERT_TRUE(SendAll(draining.get(), Bytes{1, 2, 3}));
        ASSERT_TRUE(server.WaitReceived(3, 3));
        EXPECT_EQ(OpenFds().size(), before.size() + 4 + 4 + 3);  // clients, server ends, listener+2
    }
    EXPECT_FALSE(PathExists());
    for (const Fd *c : {&waiting, &sleeping, &draining}) {
        int err = 0;
        EXPECT_EQ(NextRecv(c->get(), &err), 0) << "errno " << err;
    }
    const Bytes flood = RecvUpTo(flooded.get(), 1 << 20);
    EXPECT_LT(flood.size(), size_t{1} << 20);
    waiting.Reset();
    flooded.Reset();
    sleeping.Reset();
    draining.Reset();
    EXPECT_EQ(OpenFds(), before);
}

}  // namespace
}  // namespace lapitest
