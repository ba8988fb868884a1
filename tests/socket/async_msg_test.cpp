// LAPI_GetAsyncMsg against the scripted fake server: its entry line, its refusals,
// one message per call with exactly that message's bytes, what destroys the client
// and what does not, descriptors beyond the select() limit, and messages that arrive
// in pieces.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include <lapi/lapi.h>

#include "socket_fixture.h"

namespace {

using namespace lapitest;
using faults::Call;
using Texts = std::vector<std::string>;

constexpr size_t kBufLen = LAPI_ASYNC_MSG_BUF_LEN;
constexpr uint8_t kUntouched = 0xEE;

std::string Pid() {
    return std::to_string(getpid());
}

std::string IdPid(int clientId) {
    return "clientId: " + std::to_string(clientId) + ", pid is: " + Pid() + "!";
}

Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(seed + i * 29u + (i >> 4));
    }
    return b;
}

// A statusChangeInd (msgId 7, 38 bytes) and a getLocationRsp (msgId 0, 114 bytes)
// with recognisable bodies.
Bytes StatusChange(unsigned seed) {
    return Msg(LAPI_MSG_STATUS_CHANGE_IND, Pattern(30, seed), 41);
}
Bytes LocationRsp(unsigned seed) {
    return Msg(LAPI_MSG_GET_LOCATION_RSP, Pattern(106, seed), 41);
}

// The caller's buffer after a call that read msg: the message, then what was there.
Bytes Holding(const Bytes &msg) {
    Bytes b = msg;
    b.resize(kBufLen, kUntouched);
    return b;
}

bool Readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

class AsyncMsgTest : public SocketTest {
  protected:
    // Registers client 0 with every service; its asynchronous connection plays the
    // registration, then asyncTail.
    void RegisterClient(const Script &asyncTail = {}) {
        Server().SetScript(0, FakeServer::RegisterSync(1));
        Server().SetScript(1, Concat(FakeServer::RegisterAsync(), asyncTail));
        StderrCapture quiet;
        ASSERT_EQ(LAPI_RegisterClient(LAPI_SERVICE_MASK), 0);
        asyncFd_ = LAPI_GetAsyncSocketFd(0);
        ASSERT_GE(asyncFd_, 0);
    }

    // Pushes bytes on client 0's asynchronous connection and waits until they can
    // be read there.
    void Push(const Bytes &bytes) {
        ASSERT_TRUE(Server().Send(1, bytes));
        ASSERT_TRUE(Readable(asyncFd_, 5000));
    }

    // One call; *texts gets its error lines. The entry line must come first.
    int Get(int clientId, void *msg, Texts *texts) {
        StderrCapture cap;
        const int result = LAPI_GetAsyncMsg(clientId, msg);
        const auto lines = LogLines(cap.Lines());
        EXPECT_FALSE(lines.empty());
        if (!lines.empty()) {
            EXPECT_EQ(lines[0].level, 4);
            EXPECT_FALSE(lines[0].isError);
            EXPECT_EQ(lines[0].side, "CLI");
            EXPECT_EQ(lines[0].func, "LAPI_GetAsyncMsg");
            EXPECT_EQ(lines[0].text, "Enter into LAPI_GetAsyncMsg() clientId: " +
                                         std::to_string(clientId) + ", pid is: " + Pid() + "!");
        }
        for (size_t i = 1; i < lines.size(); ++i) {
            if (lines[i].isError && lines[i].file == "LAPI_CLI_Api.cpp" &&
                lines[i].func != "LAPI_CLI_RecvMsg") {
                EXPECT_EQ(lines[i].func, "LAPI_GetAsyncMsg") << lines[i].text;
            }
        }
        *texts = ErrorTexts(cap.Lines());
        return result;
    }

    // The client's slot is registered and idle.
    static bool Idle(int clientId) {
        StderrCapture quiet;
        return LAPI_CLI_GetClientNodeById(clientId) != nullptr &&
               LAPI_CLI_PutClientNodeById(clientId) == 0;
    }

    static Texts Gone(int clientId) {
        return {"Client node not exist, clientId is: " + std::to_string(clientId) + "!",
                "Fail to get client node, " + IdPid(clientId)};
    }

    int asyncFd_ = -1;
};

// The entry line is written on every call, before the clientId or the buffer is
// looked at; the buffer is checked before the client is borrowed.
TEST_F(AsyncMsgTest, EntryLineAndRefusals) {
    RegisterClient();
    Bytes buf(kBufLen, kUntouched);
    Texts texts;
    EXPECT_EQ(Get(-1, buf.data(), &texts), -1);
    EXPECT_EQ(texts, Texts{"Invalid clientId: -1, pid is: " + Pid() + "!"});
    EXPECT_EQ(Get(10, nullptr, &texts), -1);
    EXPECT_EQ(texts, Texts{"Invalid clientId: 10, pid is: " + Pid() + "!"});
    EXPECT_EQ(Get(0, nullptr, &texts), -1);
    EXPECT_EQ(texts, Texts{"Invalid pMsg == NULL " + IdPid(0)});
    EXPECT_EQ(Get(4, nullptr, &texts), -1);
    EXPECT_EQ(texts, Texts{"Invalid pMsg == NULL " + IdPid(4)});
    EXPECT_EQ(Get(4, buf.data(), &texts), -1);
    EXPECT_EQ(texts, Gone(4));
    // A pending message is left where it is by every refused call.
    Push(StatusChange(1));
    ASSERT_NE(LAPI_CLI_GetClientNodeById(0), nullptr);
    EXPECT_EQ(Get(0, buf.data(), &texts), -1);
    EXPECT_EQ(texts, (Texts{"Client node is being used, clientId is: 0!",
                            "Fail to get client node, " + IdPid(0)}));
    ASSERT_EQ(LAPI_CLI_PutClientNodeById(0), 0);
    EXPECT_EQ(buf, Bytes(kBufLen, kUntouched));
    EXPECT_EQ(Get(0, buf.data(), &texts), 0);
    EXPECT_EQ(texts, Texts{});
    EXPECT_EQ(buf, Holding(StatusChange(1)));
}

// Nothing pending: the call returns at once, the client stays usable, and the
// descriptor is blocking afterwards whatever it was before.
TEST_F(AsyncMsgTest, NothingPendingLeavesTheClientUsableAndTheDescriptorBlocking) {
    RegisterClient();
    const int flags = fcntl(asyncFd_, F_GETFL);
    ASSERT_EQ(fcntl(asyncFd_, F_SETFL, flags | O_NONBLOCK), 0);
    Bytes buf(kBufLen, kUntouched);
    Texts texts;
    EXPECT_EQ(Get(0, buf.data(), &texts), -1);
    EXPECT_EQ(texts, Texts{"Async fd is unreadable, " + IdPid(0)});
    EXPECT_EQ(fcntl(asyncFd_, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(buf, Bytes(kBufLen, kUntouched));
    EXPECT_TRUE(Idle(0));
    EXPECT_EQ(LAPI_GetAsyncSocketFd(0), asyncFd_);
    // Still usable: the next message is read.
    Push(LocationRsp(3));
    EXPECT_EQ(Get(0, buf.data(), &texts), 0);
    EXPECT_EQ(texts, Texts{});
    EXPECT_EQ(buf, Holding(LocationRsp(3)));
}

// Messages queued back to back are handed out one per call, each with exactly its
// own bytes; the trace names what was received.
TEST_F(AsyncMsgTest, QueuedMessagesAreReadOnePerCall) {
    RegisterClient();
    const Bytes first = LocationRsp(5);
    const Bytes second = StatusChange(9);
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    Push(both);

    Bytes buf(kBufLen, kUntouched);
    StderrCapture cap;
    EXPECT_EQ(LAPI_GetAsyncMsg(0, buf.data()), 0);
    EXPECT_EQ(buf, Holding(first));
    EXPECT_TRUE(Readable(asyncFd_, 0));  // the second one is still there
    buf.assign(kBufLen, kUntouched);
    EXPECT_EQ(LAPI_GetAsyncMsg(0, buf.data()), 0);
    EXPECT_EQ(buf, Holding(second));
    EXPECT_EQ(LAPI_GetAsyncMsg(0, buf.data()), -1);
    EXPECT_EQ(ErrorTexts(cap.Lines()), Texts{"Async fd is unreadable, " + IdPid(0)});
    std::vector<std::string> traced;
    for (const LogLine &l : LogLines(cap.Lines())) {
        if (l.func.rfind("LAPI_Log", 0) == 0) {
            traced.push_back(l.func);
        }
    }
    EXPECT_EQ(traced,
              (std::vector<std::string>{"LAPI_LogGetLocationRsp", "LAPI_LogStatusChangeInd"}));
}

// The largest message of the protocol, and the largest the buffer takes, are read
// whole; one byte more is refused after its header and the client is destroyed.
TEST_F(AsyncMsgTest, BodyLimitIs248Bytes) {
    RegisterClient();
    const Bytes gpsDb = Msg(LAPI_MSG_GET_GPS_DB_DATA_RSP, Pattern(228, 0x33), 41);
    Push(gpsDb);
    Bytes buf(kBufLen, kUntouched);
    Texts texts;
    EXPECT_EQ(Get(0, buf.data(), &texts), 0);
    EXPECT_EQ(texts, Texts{});
    EXPECT_EQ(buf, Holding(gpsDb));

    // 248 body bytes fill the 256-byte buffer exactly (the trace refuses an
    // unknown msgId, which does not stop the receive).
    const Bytes full = Msg(77, Pattern(248, 0x44), 41);
    Push(full);
    EXPECT_EQ(Get(0, buf.data(), &texts), 0);
    EXPECT_EQ(texts, Texts{"Unknown msgId: 77, pid is: 41!"});
    EXPECT_EQ(buf, full);

    Push(MsgWithLen(LAPI_MSG_GET_GPS_DB_DATA_RSP, 249, Pattern(249, 0x55), 41));
    buf.assign(kBufLen, kUntouched);
    EXPECT_EQ(Get(0, buf.data(), &texts), -1);
    EXPECT_EQ(texts, (Texts{"bufLen : 248 < pMsgHeader->msgLen : 249!",
                            "Fail to receive async msg, " + IdPid(0)}));
    EXPECT_EQ(buf[8], kUntouched);  // the body was not read
    EXPECT_TRUE(Server().WaitClosedByPeer(0));
    EXPECT_TRUE(Server().WaitClosedByPeer(1));
    EXPECT_EQ(Get(0, buf.data(), &texts), -1);
    EXPECT_EQ(texts, Gone(0));
}

// The server closes the asynchronous connection: the end of the stream is reported
// and the client destroyed, both connections closed.
TEST_F(AsyncMsgTest, DisconnectionDestroysTheClient) {
    RegisterClient();
    ASSERT_TRUE(Server().CloseConnection(1));
    ASSERT_TRUE(Readable(asyncFd_, 5000));
    Bytes buf(kBufLen, kUntouched);
    Texts texts;
    EXPECT_EQ(Get(0, buf.data(), &texts), -1);
    EXPECT_EQ(texts, (Texts{"Socket Disconnection!", "Fail to receive async msg, " + IdPid(0)}));
    EXPECT_TRUE(Server().WaitClosedByPeer(0));
    EXPECT_EQ(Get(0, buf.data(), &texts), -1);
    EXPECT_EQ(texts, Gone(0));
    // The slot is free for the next registration.
    Server().SetScript(2, FakeServer::RegisterSync(2));
    Server().SetScript(3, FakeServer::RegisterAsync());
    StderrCapture quiet;
    EXPECT_EQ(LAPI_RegisterClient(LAPI_SERVICE_STATUS), 0);
}

// A message cut short by the end of the stream, and a read error, end the client
// the same way.
TEST_F(AsyncMsgTest, TruncatedMessageAndReadErrorDestroyTheClient) {
    RegisterClient({Write(Bytes{0x29, 0, 0, 0, 7, 0, 30, 0, 1, 2, 3}), Close()});
    ASSERT_TRUE(Server().WaitClosed(1));
    Bytes buf(kBufLen, kUntouched);
    Texts texts;
    EXPECT_EQ(Get(0, buf.data(), &texts), -1);
    EXPECT_EQ(texts, (Texts{"Socket Disconnection!", "Fail to receive async msg, " + IdPid(0)}));
    EXPECT_TRUE(Server().WaitClosedByPeer(0));

    Server().SetScript(2, FakeServer::RegisterSync(2));
    Server().SetScript(3, FakeServer::RegisterAsync());
    {
        StderrCapture quiet;
        ASSERT_EQ(LAPI_RegisterClient(LAPI_SERVICE_MOLR), 0);
    }
    ASSERT_TRUE(Server().Send(3, StatusChange(2)));
    ASSERT_TRUE(Readable(LAPI_GetAsyncSocketFd(0), 5000));
    faults::ResetGuard guard;
    faults::FailNth(Call::Read, 1, EIO);
    EXPECT_EQ(Get(0, buf.data(), &texts), -1);
    EXPECT_EQ(texts, (Texts{"Fail to read socket, errno is: 5, Input/output error",
                            "Fail to receive async msg, " + IdPid(0)}));
    EXPECT_TRUE(Server().WaitClosedByPeer(2));
    EXPECT_TRUE(Server().WaitClosedByPeer(3));
}

// Once the first byte is there the call waits for the rest, across single-byte
// writes and an interrupted read.
TEST_F(AsyncMsgTest, MessageArrivingByteByByteIsReadWhole) {
    const Bytes msg = LocationRsp(7);
    RegisterClient({WaitFor("go"), WriteBytewise(msg, std::chrono::milliseconds(1))});
    Server().Signal("go");
    ASSERT_TRUE(Readable(asyncFd_, 5000));
    Bytes buf(kBufLen, kUntouched);
    Texts texts;
    faults::ResetGuard guard;
    faults::InterruptNth(Call::Read, 2);
    EXPECT_EQ(Get(0, buf.data(), &texts), 0);
    EXPECT_EQ(texts, Texts{});
    EXPECT_EQ(buf, Holding(msg));
    EXPECT_GT(faults::Count(Call::Read), 2);  // it really came in pieces
    EXPECT_TRUE(Server().WaitScriptDone(1));
    EXPECT_TRUE(Idle(0));
}

// A failure to make the descriptor blocking is reported and the call goes on.
TEST_F(AsyncMsgTest, FailureToSetBlockingIsReportedAndTheCallGoesOn) {
    RegisterClient();
    Push(StatusChange(4));
    Bytes buf(kBufLen, kUntouched);
    Texts texts;
    faults::ResetGuard guard;
    faults::FailNth(Call::Fcntl, 1, EIO);
    EXPECT_EQ(Get(0, buf.data(), &texts), 0);
    EXPECT_EQ(texts, Texts{"Fail to set block fd, errno is: 5, Input/output error, " + IdPid(0)});
    EXPECT_EQ(buf, Holding(StatusChange(4)));
    EXPECT_TRUE(Idle(0));
}

// Swaps the client's asynchronous descriptor for another number (the old one is
// closed); returns the old number.
int SwapAsyncFd(int clientId, int fd) {
    LAPI_CLIENT_NODE_S *node = LAPI_CLI_GetClientNodeById(clientId);
    if (node == nullptr) {
        return -1;
    }
    const int old = node->asyncFd;
    node->asyncFd = fd;
    LAPI_CLI_PutClientNodeById(clientId);
    return old;
}

// A descriptor number beyond what a select() set can hold is polled and read like
// any other.
TEST_F(AsyncMsgTest, DescriptorAbove1024) {
    constexpr int kHighFd = 1500;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max <= kHighFd) {
        GTEST_SKIP() << "hard descriptor limit " << saved.rlim_max << " too low";
    }
    rlimit raised = saved;
    if (raised.rlim_cur == RLIM_INFINITY || raised.rlim_cur <= kHighFd) {
        raised.rlim_cur = kHighFd + 1;
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    struct Restore {
        rlimit limit;
        ~Restore() { setrlimit(RLIMIT_NOFILE, &limit); }
    } restore{saved};
    ASSERT_EQ(fcntl(kHighFd, F_GETFD), -1) << "descriptor " << kHighFd << " already in use";

    RegisterClient();
    ASSERT_EQ(dup2(asyncFd_, kHighFd), kHighFd);
    const int old = SwapAsyncFd(0, kHighFd);
    ASSERT_EQ(old, asyncFd_);
    close(old);
    asyncFd_ = kHighFd;
    ASSERT_EQ(LAPI_GetAsyncSocketFd(0), kHighFd);

    Bytes buf(kBufLen, kUntouched);
    Texts texts;
    EXPECT_EQ(Get(0, buf.data(), &texts), -1);
    EXPECT_EQ(texts, Texts{"Async fd is unreadable, " + IdPid(0)});
    Push(LocationRsp(11));
    EXPECT_EQ(Get(0, buf.data(), &texts), 0);
    EXPECT_EQ(texts, Texts{});
    EXPECT_EQ(buf, Holding(LocationRsp(11)));
    // Destroying the client closes the high descriptor.
    ASSERT_TRUE(Server().CloseConnection(1));
    ASSERT_TRUE(Readable(kHighFd, 5000));
    EXPECT_EQ(Get(0, buf.data(), &texts), -1);
    EXPECT_EQ(texts, (Texts{"Socket Disconnection!", "Fail to receive async msg, " + IdPid(0)}));
    EXPECT_EQ(fcntl(kHighFd, F_GETFD), -1);
}

// A descriptor that is not open: poll() flags it, the failure is reported in the
// select wording, and the client stays registered.
TEST_F(AsyncMsgTest, ClosedDescriptorIsAPollFailureNotADestruction) {
    // A number far above those in use, so no descriptor opened meanwhile (the stderr
    // capture's, for one) can take it.
    constexpr int kNotOpen = 999;
    ASSERT_EQ(fcntl(kNotOpen, F_GETFD), -1);
    RegisterClient();
    const int old = SwapAsyncFd(0, kNotOpen);
    Bytes buf(kBufLen, kUntouched);
    Texts texts;
    EXPECT_EQ(Get(0, buf.data(), &texts), -1);
    EXPECT_EQ(texts, (Texts{"Fail to set block fd, errno is: 9, Bad file descriptor, " + IdPid(0),
                            "Fail to select, errno is: 9, Bad file descriptor"}));
    EXPECT_TRUE(Idle(0));
    ASSERT_EQ(SwapAsyncFd(0, old), kNotOpen);
    Push(StatusChange(6));
    EXPECT_EQ(Get(0, buf.data(), &texts), 0);
    EXPECT_EQ(buf, Holding(StatusChange(6)));
}

}  // namespace
