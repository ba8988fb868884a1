// Many threads on ten clients against a peer that answers every request: BLOCK answers
// on the synchronous connection carry the request's sessionId and transactionId back,
// NONBLOCK answers go to the asynchronous connection. The only refusals are those of a
// busy client, every BLOCK answer is the caller's own, every NONBLOCK request is
// answered exactly once, and all clients unregister without leaving a descriptor.

#include <lapi/lapi.h>

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <memory>
#include <thread>

#include "fake_server.h"
#include "lib_lines.h"

namespace {

using namespace lapitest;

// Answers the requests of client `c` until its synchronous connection ends.
void Answer(FakeServer &server, int c) {
    const int sync = server.Conn(2 * c);
    const int async = server.Conn(2 * c + 1);
    while (const std::optional<Bytes> req = ReadMsg(sync, 30s)) {
        if (NameOf(*req) == "unregisterReq") {
            Send(sync, Msg("unregisterRsp"));
            return;
        }
        const std::string ids = " sessionId=" + std::to_string(Get(*req, "sessionId")) +
                                " transactionId=" + std::to_string(Get(*req, "transactionId"));
        Send(Get(*req, "mode") == LAPI_BLOCK ? sync : async, Msg("getStatusRsp" + ids));
    }
}

TEST(Stress, ManyThreadsOnTenClients) {
    const std::vector<int> fds = OpenFds();
    auto server = std::make_unique<FakeServer>();
    std::vector<std::thread> peers;
    {
        StderrCapture quiet;
        for (int c = 0; c < LAPI_CLI_MAX_CLIENTS; ++c) {
            ASSERT_EQ(LAPI_RegisterClient(LAPI_SERVICE_STATUS), c);
            peers.emplace_back(Answer, std::ref(*server), c);
        }
    }
    constexpr int kThreads = 20;
    constexpr int kRounds = 1000;
    std::atomic<int> sent{0}, received{0}, answered{0}, wrongAnswers{0};
    auto cap = std::make_unique<StderrCapture>();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const int id =
                    i % 7 == 0 ? (t + i) % LAPI_CLI_MAX_CLIENTS : t % LAPI_CLI_MAX_CLIENTS;
                Bytes req = Msg("getStatusReq sessionId=" + std::to_string(t) +
                                " transactionId=" + std::to_string(i % 256));
                Bytes rsp(LAPI_ASYNC_MSG_BUF_LEN);
                auto *r = reinterpret_cast<LAPI_GET_STATUS_REQ_S *>(req.data());
                if (i % 3 == 0) {
                    sent += LAPI_GetStatus(id, LAPI_NONBLOCK, r, nullptr) == 0 ? 1 : 0;
                } else if (LAPI_GetStatus(id, LAPI_BLOCK, r, rsp.data()) == 0) {
                    ++answered;
                    wrongAnswers +=
                        Get(rsp, "sessionId") != t || Get(rsp, "transactionId") != i % 256;
                }
                received += LAPI_GetAsyncMsg(id, rsp.data()) == 0 ? 1 : 0;
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    // What is still on its way is read here.
    Bytes buf(LAPI_ASYNC_MSG_BUF_LEN);
    EXPECT_TRUE(WaitUntil([&] {
        for (int c = 0; c < LAPI_CLI_MAX_CLIENTS; ++c) {
            received += LAPI_GetAsyncMsg(c, buf.data()) == 0 ? 1 : 0;
        }
        return received >= sent;
    }));
    EXPECT_EQ(received, sent);
    EXPECT_GT(sent, 100);
    EXPECT_GT(answered, 100);
    EXPECT_EQ(wrongAnswers, 0);
    for (const std::string &e : Errors(*cap)) {
        const bool expected = e.find("Client node is being used") != std::string::npos ||
                              e.find("Fail to get client node") != std::string::npos ||
                              e.find("Async fd is unreadable") != std::string::npos;
        ASSERT_TRUE(expected) << e;
    }
    for (int c = 0; c < LAPI_CLI_MAX_CLIENTS; ++c) {
        EXPECT_EQ(LAPI_UnregisterClient(c), 0);
    }
    cap.reset();
    for (std::thread &p : peers) {
        p.join();
    }
    server.reset();
    EXPECT_EQ(OpenFds(), fds);
}

}  // namespace
