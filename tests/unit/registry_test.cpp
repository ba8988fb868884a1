// The client registry: slots, states, the texts of every refusal, and the
// give-back-and-destroy step, without any server.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "LAPI_CLI_Global.h"
#include "stderr_capture.h"

namespace {

using lapitest::ErrorTexts;
using lapitest::LogLines;
using lapitest::StderrCapture;

std::string Pid() {
    return std::to_string(getpid());
}

LAPI_CLIENT_NODE_S *NewNode(int asyncFd = -1, int syncFd = -1) {
    auto *n = static_cast<LAPI_CLIENT_NODE_S *>(std::malloc(sizeof(LAPI_CLIENT_NODE_S)));
    n->globalId = 7;
    n->syncFd = syncFd;
    n->asyncFd = asyncFd;
    n->service = LAPI_SERVICE_MOLR;
    return n;
}

bool FdOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { LAPI_CLI_GlobalInit(); }
    // Leave every slot free for the next test.
    void TearDown() override {
        for (int id = 0; id < LAPI_CLI_MAX_CLIENTS; ++id) {
            StderrCapture quiet;
            LAPI_CLI_PutClientNodeById(id);
            LAPI_CLI_DestroyClientNode(id);
        }
    }
};

TEST_F(RegistryTest, FillsLowestFreeSlotsAndRefusesTheEleventh) {
    for (int i = 0; i < LAPI_CLI_MAX_CLIENTS; ++i) {
        ASSERT_EQ(LAPI_CLI_AddClientNode(NewNode()), i);
    }
    LAPI_CLIENT_NODE_S *extra = NewNode();
    {
        StderrCapture cap;
        EXPECT_EQ(LAPI_CLI_AddClientNode(extra), -1);
        const auto lines = LogLines(cap.Lines());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].func, "LAPI_CLI_AddClientNode");
        EXPECT_EQ(lines[0].text,
                  "Fail to add pClientNode, too many client nodes, pid is: " + Pid() + "!");
    }
    // The refused node stays with the caller; a freed slot is reused lowest first.
    std::free(extra);
    ASSERT_EQ(LAPI_CLI_DestroyClientNode(6), 0);
    ASSERT_EQ(LAPI_CLI_DestroyClientNode(3), 0);
    EXPECT_EQ(LAPI_CLI_AddClientNode(NewNode()), 3);
    EXPECT_EQ(LAPI_CLI_AddClientNode(NewNode()), 6);
    EXPECT_EQ(LAPI_CLI_AddClientNode(nullptr), -1);
}

TEST_F(RegistryTest, BorrowGiveBackAndTheirRefusals) {
    LAPI_CLIENT_NODE_S *node = NewNode(42);
    ASSERT_EQ(LAPI_CLI_AddClientNode(node), 0);

    StderrCapture cap;
    EXPECT_EQ(LAPI_CLI_GetClientNodeById(0), node);
    EXPECT_EQ(LAPI_CLI_GetClientNodeById(0), nullptr);  // busy
    EXPECT_EQ(LAPI_CLI_RemoveClientNode(0), nullptr);   // busy: never removed
    EXPECT_EQ(LAPI_CLI_GetAsyncFd(0), 42);              // readable while busy
    EXPECT_EQ(LAPI_CLI_PutClientNodeById(0), 0);
    EXPECT_EQ(LAPI_CLI_PutClientNodeById(0), -1);       // given back twice
    EXPECT_EQ(LAPI_CLI_GetClientNodeById(1), nullptr);  // free
    EXPECT_EQ(LAPI_CLI_RemoveClientNode(1), nullptr);

    const auto lines = LogLines(cap.Lines());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].func, "LAPI_CLI_GetClientNodeById");
    EXPECT_EQ(lines[0].text, "Client node is being used, clientId is: 0!");
    EXPECT_EQ(lines[1].func, "LAPI_CLI_RemoveClientNode");
    EXPECT_EQ(lines[1].text, "Client node is being used, clientId is: 0!");
    EXPECT_EQ(lines[2].func, "LAPI_CLI_PutClientNodeById");
    EXPECT_EQ(lines[2].text, "Should not go here!");
    EXPECT_EQ(lines[3].text, "Client node not exist, clientId is: 1!");
    EXPECT_EQ(lines[4].func, "LAPI_CLI_RemoveClientNode");
    EXPECT_EQ(lines[4].text, "Client node not exist, clientId is: 1!");
    EXPECT_EQ(LAPI_CLI_RemoveClientNode(0), node);
    std::free(node);
}

TEST_F(RegistryTest, IdsOutsideTheTable) {
    StderrCapture cap;
    for (int id : {-1, 10}) {
        EXPECT_EQ(LAPI_CLI_GetClientNodeById(id), nullptr);
        EXPECT_EQ(LAPI_CLI_RemoveClientNode(id), nullptr);
        EXPECT_EQ(LAPI_CLI_PutClientNodeById(id), -1);
        EXPECT_EQ(LAPI_CLI_PutAndDestroyClientNode(id), -1);
        EXPECT_EQ(LAPI_CLI_IsValidClientId(id), 0);
    }
    EXPECT_TRUE(cap.Lines().empty());  // borrow, remove and give back are silent
    EXPECT_EQ(LAPI_CLI_GetAsyncFd(10), -1);
    EXPECT_EQ(LAPI_CLI_DestroyClientNode(-1), -1);
    EXPECT_EQ(LAPI_CLI_GetAsyncFd(2), -1);  // free slot
    EXPECT_EQ(ErrorTexts(cap.Lines()),
              (std::vector<std::string>{
                  "Invalid clientId: 10, pid is: " + Pid() + "!",
                  "Fail to remove client node, clientId: -1, pid is: " + Pid() + "!",
                  "Client node not exist, clientId is: 2, pid is: " + Pid() + "!"}));
    EXPECT_EQ(LAPI_CLI_IsValidClientId(0), 1);
    EXPECT_EQ(LAPI_CLI_IsValidClientId(9), 1);
}

TEST_F(RegistryTest, DestroyOfABusyClientClosesNothing) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(LAPI_CLI_AddClientNode(NewNode(fds[0], fds[1])), 0);
    ASSERT_NE(LAPI_CLI_GetClientNodeById(0), nullptr);
    {
        StderrCapture cap;
        EXPECT_EQ(LAPI_CLI_DestroyClientNode(0), -1);
        EXPECT_EQ(ErrorTexts(cap.Lines()),
                  (std::vector<std::string>{
                      "Client node is being used, clientId is: 0!",
                      "Fail to remove client node, clientId: 0, pid is: " + Pid() + "!"}));
    }
    EXPECT_TRUE(FdOpen(fds[0]));
    EXPECT_TRUE(FdOpen(fds[1]));
    // Giving back and destroying in one step closes both and frees the slot.
    EXPECT_EQ(LAPI_CLI_PutAndDestroyClientNode(0), 0);
    EXPECT_FALSE(FdOpen(fds[0]));
    EXPECT_FALSE(FdOpen(fds[1]));
    StderrCapture cap;
    EXPECT_EQ(LAPI_CLI_GetClientNodeById(0), nullptr);
    EXPECT_EQ(LAPI_CLI_PutAndDestroyClientNode(0), -1);  // nothing borrowed
    EXPECT_EQ(ErrorTexts(cap.Lines()),
              (std::vector<std::string>{"Client node not exist, clientId is: 0!",
                                        "Should not go here!"}));
}

TEST_F(RegistryTest, IdleClientIsDestroyedWithItsDescriptors) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(LAPI_CLI_AddClientNode(NewNode(fds[0], fds[1])), 0);
    EXPECT_EQ(LAPI_CLI_DestroyClientNode(0), 0);
    EXPECT_FALSE(FdOpen(fds[0]));
    EXPECT_FALSE(FdOpen(fds[1]));
}

TEST_F(RegistryTest, ParameterValidationOrderAndTexts) {
    const char req[1] = {0};
    char rsp[1];
    struct Case {
        int clientId;
        unsigned char mode;
        const void *req;
        const void *rsp;
        const char *text;  // nullptr: accepted
    };
    const Case cases[] = {
        {10, 2, nullptr, nullptr, "Invalid clientId: 10!"},
        {0, 2, nullptr, nullptr, "Invalid mode: 2!"},
        {0, 255, req, rsp, "Invalid mode: 255!"},
        {0, LAPI_BLOCK, nullptr, rsp, "Invalid pReq == NULL!"},
        {0, LAPI_BLOCK, req, nullptr, "Invalid (mode == LAPI_BLOCK) && (pRsp == NULL)!"},
        {9, LAPI_NONBLOCK, req, nullptr, nullptr},
        {0, LAPI_BLOCK, req, rsp, nullptr},
    };
    for (const Case &c : cases) {
        StderrCapture cap;
        const int ok = LAPI_CLI_IsValidParameter(c.clientId, c.mode, c.req, c.rsp);
        const auto texts = ErrorTexts(cap.Lines());
        if (c.text == nullptr) {
            EXPECT_EQ(ok, 1);
            EXPECT_TRUE(texts.empty());
        } else {
            EXPECT_EQ(ok, 0) << c.text;
            EXPECT_EQ(texts, std::vector<std::string>{c.text});
        }
    }
    EXPECT_EQ(LAPI_CLI_IsValidMode(LAPI_BLOCK), 1);
    EXPECT_EQ(LAPI_CLI_IsValidMode(LAPI_NONBLOCK), 1);
    EXPECT_EQ(LAPI_CLI_IsValidMode(2), 0);
}

// Two threads race for one idle client many times: exactly one wins each round,
// and the loser gets a null node.
TEST_F(RegistryTest, RacingBorrowersNeverShareAClient) {
    LAPI_CLIENT_NODE_S *node = NewNode();
    ASSERT_EQ(LAPI_CLI_AddClientNode(node), 0);
    StderrCapture quiet;
    for (int round = 0; round < 2000; ++round) {
        std::atomic<int> winners{0};
        std::atomic<bool> go{false};
        auto borrower = [&] {
            while (!go.load()) {
            }
            if (LAPI_CLI_GetClientNodeById(0) == node) {
                winners.fetch_add(1);
            }
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
