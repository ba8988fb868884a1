// The client registry without a server: slots, borrowing and giving back, their
// refusals and texts, destruction with the descriptors, and racing threads.

#include <lapi/lapi.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>

#include "LAPI_CLI_Global.h"
#include "lib_lines.h"

namespace {

using lapitest::Errors;
using lapitest::Section;
using lapitest::StderrCapture;
using lapitest::WithPid;
using Texts = std::vector<std::string>;

LAPI_CLIENT_NODE_S *NewNode(int asyncFd = -1, int syncFd = -1) {
    auto *n = static_cast<LAPI_CLIENT_NODE_S *>(std::malloc(sizeof(LAPI_CLIENT_NODE_S)));
    *n = {7, syncFd, asyncFd, LAPI_SERVICE_MOLR};
    return n;
}

bool FdOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

class Registry : public ::testing::Test {
  protected:
    void SetUp() override { LAPI_CLI_GlobalInit(); }
    void TearDown() override {
        StderrCapture quiet;
        for (int id = 0; id < LAPI_CLI_MAX_CLIENTS; ++id) {
            LAPI_CLI_PutClientNodeById(id);
            LAPI_CLI_DestroyClientNode(id);
        }
    }
};

TEST_F(Registry, SlotsFillLowestFirstUpToTen) {
    for (int i = 0; i < LAPI_CLI_MAX_CLIENTS; ++i) {
        ASSERT_EQ(LAPI_CLI_AddClientNode(NewNode()), i);
    }
    LAPI_CLIENT_NODE_S *extra = NewNode();
    StderrCapture cap;
    EXPECT_EQ(LAPI_CLI_AddClientNode(extra), -1);
    std::free(extra);
    ASSERT_EQ(LAPI_CLI_DestroyClientNode(6), 0);
    ASSERT_EQ(LAPI_CLI_DestroyClientNode(3), 0);
    EXPECT_EQ(LAPI_CLI_AddClientNode(NewNode()), 3);
    EXPECT_EQ(LAPI_CLI_AddClientNode(NewNode()), 6);
    EXPECT_EQ(LAPI_CLI_AddClientNode(nullptr), -1);
    EXPECT_EQ(Errors(cap), Section("registry/errors.txt", "slots"));
}

TEST_F(Registry, BorrowGiveBackAndRefusals) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    LAPI_CLIENT_NODE_S *node = NewNode(fds[0], fds[1]);
    ASSERT_EQ(LAPI_CLI_AddClientNode(node), 0);
    StderrCapture cap;
    EXPECT_EQ(LAPI_CLI_GetClientNodeById(0), node);
    EXPECT_EQ(LAPI_CLI_GetClientNodeById(0), nullptr);
    EXPECT_EQ(LAPI_CLI_RemoveClientNode(0), nullptr);
    EXPECT_EQ(LAPI_CLI_DestroyClientNode(0), -1);
    EXPECT_EQ(LAPI_CLI_GetAsyncFd(0), fds[0]);  // readable while busy
    EXPECT_TRUE(FdOpen(fds[0]) && FdOpen(fds[1]));
    EXPECT_EQ(LAPI_CLI_PutClientNodeById(0), 0);
    EXPECT_EQ(LAPI_CLI_PutClientNodeById(0), -1);
    EXPECT_EQ(LAPI_CLI_PutAndDestroyClientNode(0), -1);
    EXPECT_EQ(LAPI_CLI_GetClientNodeById(1), nullptr);
    EXPECT_EQ(LAPI_CLI_RemoveClientNode(1), nullptr);
    EXPECT_EQ(LAPI_CLI_GetAsyncFd(2), -1);
    for (const int id : {-1, 10}) {  // borrow, remove and give back are silent here
        EXPECT_EQ(LAPI_CLI_GetClientNodeById(id), nullptr);
        EXPECT_EQ(LAPI_CLI_RemoveClientNode(id), nullptr);
        EXPECT_EQ(LAPI_CLI_PutClientNodeById(id), -1);
        EXPECT_EQ(LAPI_CLI_PutAndDestroyClientNode(id), -1);
        EXPECT_EQ(LAPI_CLI_GetAsyncFd(id), -1);
        EXPECT_EQ(LAPI_CLI_DestroyClientNode(id), -1);
    }
    EXPECT_EQ(Errors(cap), Section("registry/errors.txt", "refusals"));
    // Giving back and destroying in one step closes both descriptors and frees the slot;
    // an idle client is destroyed the same way.
    ASSERT_EQ(LAPI_CLI_GetClientNodeById(0), node);
    EXPECT_EQ(LAPI_CLI_PutAndDestroyClientNode(0), 0);
    EXPECT_FALSE(FdOpen(fds[0]) || FdOpen(fds[1]));
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(LAPI_CLI_AddClientNode(NewNode(fds[0], fds[1])), 0);
    EXPECT_EQ(LAPI_CLI_DestroyClientNode(0), 0);
    EXPECT_FALSE(FdOpen(fds[0]) || FdOpen(fds[1]));
    EXPECT_EQ(LAPI_CLI_IsValidClientId(0) + LAPI_CLI_IsValidClientId(9), 2);
}

TEST_F(Registry, ParameterChecksInOrder) {
    const char req[1] = {0};
    char rsp[1];
    struct Case {
        int clientId;
        unsigned char mode;
        const void *req, *rsp;
        const char *text;  // nullptr: accepted
    };
    for (const Case &c :
         {Case{10, 2, nullptr, nullptr, "Invalid clientId: 10!"},
          Case{-1, 0, req, rsp, "Invalid clientId: -1!"},
          Case{0, 2, nullptr, nullptr, "Invalid mode: 2!"},
          Case{0, 255, req, rsp, "Invalid mode: 255!"},
          Case{0, LAPI_BLOCK, nullptr, rsp, "Invalid pReq == NULL!"},
          Case{0, LAPI_BLOCK, req, nullptr, "Invalid (mode == LAPI_BLOCK) && (pRsp == NULL)!"},
          Case{9, LAPI_NONBLOCK, req, nullptr, nullptr}, Case{0, LAPI_BLOCK, req, rsp, nullptr}}) {
        StderrCapture cap;
        EXPECT_EQ(LAPI_CLI_IsValidParameter(c.clientId, c.mode, c.req, c.rsp), c.text ? 0 : 1);
        EXPECT_EQ(Errors(cap),
                  c.text ? Texts{std::string("LAPI_CLI_IsValidParameter: ") + c.text} : Texts{});
    }
}

// Threads adding at once get distinct slots; two threads racing for one idle client:
// exactly one wins each round.
TEST_F(Registry, RacingThreads) {
    std::vector<int> ids(LAPI_CLI_MAX_CLIENTS);
    std::vector<std::thread> adders;
    for (int &id : ids) {
        adders.emplace_back([&id] { id = LAPI_CLI_AddClientNode(NewNode()); });
    }
    for (std::thread &t : adders) {
        t.join();
    }
    EXPECT_EQ(std::set<int>(ids.begin(), ids.end()).size(), ids.size());
    EXPECT_EQ(*std::min_element(ids.begin(), ids.end()), 0);
    LAPI_CLIENT_NODE_S *node = LAPI_CLI_GetClientNodeById(0);
    ASSERT_EQ(LAPI_CLI_PutClientNodeById(0), 0);
    StderrCapture quiet;
    for (int round = 0; round < 2000; ++round) {
        std::atomic<int> winners{0};
        std::atomic<bool> go{false};
        auto borrower = [&] {
            while (!go.load()) {
            }
            winners += LAPI_CLI_GetClientNodeById(0) == node ? 1 : 0;
        };
        std::thread a(borrower);
        std::thread b(borrower);
        go.store(true);
        a.join();
        b.join();
        ASSERT_EQ(winners.load(), 1) << "round " << round;
        ASSERT_EQ(LAPI_CLI_PutClientNodeById(0), 0);
    }
}

}  // namespace
