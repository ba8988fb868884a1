// Registration, unregistration and the transport against the scripted fake server:
// the bytes on the wire, every unwinding path of a failed registration, the receive
// edge cases, and that no descriptor or signal escapes a failure.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <lapi/lapi.h>

#include "socket_fixture.h"

namespace {

using namespace lapitest;
using faults::Call;
using std::chrono::milliseconds;

std::string Pid() {
    return std::to_string(getpid());
}

Bytes U32(uint32_t v) {
    Bytes b;
    PutU32(b, v);
    return b;
}

class RegistrationTest : public SocketTest {
  protected:
    RegistrationTest() { checkServerErrors_ = false; }

    // Registration that is expected to fail: returns the error texts it wrote.
    // arm, when given, runs right before the call (after the capture is set up).
    std::vector<std::string> FailedRegistration(unsigned service = LAPI_SERVICE_MOLR,
                                                const std::function<void()> &arm = {}) {
        StderrCapture cap;
        if (arm) {
            arm();
        }
        EXPECT_EQ(LAPI_RegisterClient(service), -1);
        return ErrorTexts(cap.Lines());
    }
};

TEST_F(RegistrationTest, HandshakeBytesAndTrace) {
    Server().ExpectClients(1, 0x1234);
    StderrCapture cap;
    const int id = LAPI_RegisterClient(15);  // reduced to the three service bits
    ASSERT_EQ(id, 0);
    const int32_t pid = getpid();
    EXPECT_EQ(Server().ReceivedMsgs(0), std::vector<Bytes>{Msg(100, U32(7), pid)});
    EXPECT_EQ(Server().ReceivedMsgs(1), std::vector<Bytes>{Msg(102, U32(0x1234), pid)});

    const int asyncFd = LAPI_GetAsyncSocketFd(id);
    ASSERT_GE(asyncFd, 0);
    EXPECT_NE(fcntl(asyncFd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(fcntl(asyncFd, F_GETFL) & O_NONBLOCK, 0);
    LAPI_CLIENT_NODE_S *node = LAPI_CLI_GetClientNodeById(id);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->globalId, 0x1234);
    EXPECT_EQ(node->service, 7u);
    EXPECT_EQ(node->asyncFd, asyncFd);
    EXPECT_NE(fcntl(node->syncFd, F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_EQ(LAPI_CLI_PutClientNodeById(id), 0);

    const auto lines = LogLines(cap.Lines());
    ASSERT_EQ(lines.size(), 4u);
    const std::string hdr = "pid: " + Pid() + ", ";
    EXPECT_EQ(lines[0].func, "LAPI_LogRegisterReq");
    EXPECT_EQ(lines[0].text,
              "C->S registerReq " + hdr + "msgId: 100, msgLen: 4, service: 7, 0x07000000, ");
    EXPECT_EQ(lines[1].text, "S->C registerRsp pid: 0, msgId: 101, msgLen: 4, globalId: 4660, ");
    EXPECT_EQ(lines[2].text,
              "C->S getAsyncFdReq " + hdr + "msgId: 102, msgLen: 4, globalId: 4660, ");
    EXPECT_EQ(lines[3].text, "S->C getAsyncFdRsp pid: 0, msgId: 103, msgLen: 0, ");
    for (const LogLine &l : lines) {
        EXPECT_EQ(l.level, 4);
        EXPECT_EQ(l.side, "CLI");
        EXPECT_FALSE(l.isError);
    }
}

TEST_F(RegistrationTest, UnregisterSendsHeaderAndFreesTheSlot) {
    Server().ExpectClients(3);
    ASSERT_EQ(LAPI_RegisterClient(LAPI_SERVICE_MOLR), 0);
    ASSERT_EQ(LAPI_RegisterClient(LAPI_SERVICE_MOLR), 1);
    ASSERT_EQ(LAPI_RegisterClient(LAPI_SERVICE_MOLR), 2);
    ASSERT_TRUE(Server().Send(2, Msg(105)));  // answer client 1's unregisterReq ahead
    ASSERT_EQ(LAPI_UnregisterClient(1), 0);
    ASSERT_TRUE(Server().WaitReceived(2, 12 + 8));
    EXPECT_EQ(Server().ReceivedMsgs(2).back(), Msg(104, {}, getpid()));
    EXPECT_TRUE(Server().WaitClosedByPeer(2));
    EXPECT_TRUE(Server().WaitClosedByPeer(3));
    // The lowest free index is handed out again.
    Server().SetScript(6, FakeServer::RegisterSync(9));
    Server().SetScript(7, FakeServer::RegisterAsync());
    EXPECT_EQ(LAPI_RegisterClient(LAPI_SERVICE_STATUS), 1);
}

TEST_F(RegistrationTest, UnregisterSucceedsWhateverTheServerAnswers) {
    Server().ExpectClients(2);
    ASSERT_EQ(LAPI_RegisterClient(LAPI_SERVICE_MOLR), 0);
    ASSERT_EQ(LAPI_RegisterClient(LAPI_SERVICE_MOLR), 1);
    {
        // Client 0: the server reads unregisterReq and closes without answering.
        Server().CloseConnection(0);
        StderrCapture cap;
        EXPECT_EQ(LAPI_UnregisterClient(0), 0);
        const auto texts = ErrorTexts(cap.Lines());
        // Depending on timing the send or the receive sees the closed connection.
        ASSERT_FALSE(texts.empty());
        EXPECT_TRUE(
            texts.back() ==
                "Fail to receive unregister response, clientId: 0, pid is: " + Pid() + "!" ||
            texts.back() == "Fail to send unregister request, clientId: 0, pid is: " + Pid() + "!")
            << texts.back();
    }
    {
        // Client 1: answered with another message.
        ASSERT_TRUE(Server().Send(2, Msg(3, {0, 0})));
        StderrCapture cap;
        EXPECT_EQ(LAPI_UnregisterClient(1), 0);
        EXPECT_EQ(ErrorTexts(cap.Lines()),
                  std::vector<std::string>{
                      "Received is not expected unregister response, clientId: 1, pid is: " +
                      Pid() + "!"});
    }
    EXPECT_TRUE(Server().WaitClosedByPeer(3));
    StderrCapture cap;
    EXPECT_EQ(LAPI_CLI_GetAsyncFd(1), -1);  // both slots are free again
    EXPECT_EQ(LAPI_CLI_GetAsyncFd(0), -1);
}

TEST_F(RegistrationTest, UnregisterRefusals) {
    Server().ExpectClients(1);
    ASSERT_EQ(LAPI_RegisterClient(LAPI_SERVICE_MOLR), 0);
    StderrCapture cap;
    EXPECT_EQ(LAPI_UnregisterClient(-1), -1);
    EXPECT_EQ(LAPI_UnregisterClient(10), -1);
    EXPECT_EQ(LAPI_UnregisterClient(4), -1);  // never registered
    ASSERT_NE(LAPI_CLI_GetClientNodeById(0), nullptr);
    EXPECT_EQ(LAPI_UnregisterClient(0), -1);  // busy
    ASSERT_EQ(LAPI_CLI_PutClientNodeById(0), 0);
    const std::string pid = Pid();
    EXPECT_EQ(
        ErrorTexts(cap.Lines()),
        (std::vector<std::string>{
            "Invalid clientId: -1, pid is: " + pid + "!",
            "Invalid clientId: 10, pid is: " + pid + "!", "Client node not exist, clientId is: 4!",
            "Fail to remove client node, clientId: 4, pid is: " + pid + "!",
            "Client node is being used, clientId is: 0!",
            "Fail to remove client node, clientId: 0, pid is: " + pid + "!"}));
    // Nothing was sent for the refused calls.
    EXPECT_EQ(Server().ReceivedMsgs(0).size(), 1u);
}

TEST_F(RegistrationTest, ServiceBitsAreValidatedBeforeConnecting) {
    Server();
    EXPECT_EQ(FailedRegistration(0), std::vector<std::string>{"Invalid parameter service: 0!"});
    EXPECT_EQ(FailedRegistration(8), std::vector<std::string>{"Invalid parameter service: 8!"});
    EXPECT_EQ(FailedRegistration(0xfffffff8u),
              std::vector<std::string>{"Invalid parameter service: 4294967288!"});
    EXPECT_EQ(Server().Accepted(), 0);
}

TEST_F(RegistrationTest, NoServerListening) {
    unlink(kSocketPath);
    faults::ResetGuard guard;
    faults::Reset();
    const auto texts = FailedRegistration();
    EXPECT_EQ(faults::Count(Call::Connect), 1);  // one attempt, no retry
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "Fail to connect, errno is: 2, No such file or directory");
}

// Each row of the unwinding table: what fails, and which connections the server sees
// opened and closed.
TEST_F(RegistrationTest, RegisterResponseMissing) {
    Server().SetScript(0, {ReadMsg(kRegisterReq), Close()});
    const auto texts = FailedRegistration();
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "Socket Disconnection!",
                         "Fail to receive register response, pid is: " + Pid() + "!"}));
    EXPECT_TRUE(Server().WaitScriptDone(0));
    EXPECT_EQ(Server().Accepted(), 1);
}

TEST_F(RegistrationTest, RegisterResponseWithAnotherMsgId) {
    Server().SetScript(0, {ReadMsg(kRegisterReq), Write(Msg(102, U32(5)))});
    EXPECT_EQ(FailedRegistration(),
              std::vector<std::string>{
                  "Received is not expected register response, pid is: " + Pid() + "!"});
    EXPECT_TRUE(Server().WaitClosedByPeer(0));
    EXPECT_EQ(Server().Accepted(), 1);  // no second connection was opened
}

TEST_F(RegistrationTest, RegisterResponseTooLongForTheBuffer) {
    Server().SetScript(0, {ReadMsg(kRegisterReq), Write(MsgWithLen(101, 300, U32(1)))});
    EXPECT_EQ(
        FailedRegistration(),
        (std::vector<std::string>{"bufLen : 248 < pMsgHeader->msgLen : 300!",
                                  "Fail to receive register response, pid is: " + Pid() + "!"}));
    // The unread body makes the close a reset for the server; TearDown checks that
    // the client's descriptor is gone.
    EXPECT_EQ(Server().Accepted(), 1);
}

TEST_F(RegistrationTest, SendOfRegisterRequestFails) {
    Server();
    faults::ResetGuard guard;
    EXPECT_EQ(FailedRegistration(LAPI_SERVICE_MOLR, [] { faults::FailNth(Call::Write, 1, EPIPE); }),
              (std::vector<std::string>{"Fail to write socket, errno is: 32, Broken pipe",
                                        "Fail to send register request, pid is: " + Pid() + "!"}));
    EXPECT_TRUE(Server().WaitClosedByPeer(0));
}

TEST_F(RegistrationTest, SecondConnectionRefused) {
    // The listener is gone before the registerRsp goes out.
    Server().SetScript(0, {ReadMsg(kRegisterReq), StopListening(), Write(Msg(101, U32(1)))});
    const auto texts = FailedRegistration();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "Fail to connect, errno is: 111, Connection refused");
    EXPECT_TRUE(Server().WaitClosedByPeer(0));
}

TEST_F(RegistrationTest, SendOfAsyncRequestFails) {
    // The second connection never gets its request: it only records.
    Server().SetScript(0, FakeServer::RegisterSync(1));
    faults::ResetGuard guard;
    EXPECT_EQ(
        FailedRegistration(LAPI_SERVICE_MOLR, [] { faults::FailNth(Call::Write, 2, ECONNRESET); }),
        (std::vector<std::string>{"Fail to write socket, errno is: 104, Connection reset by peer",
                                  "Fail to send get async fd request, pid is: " + Pid() + "!"}));
    EXPECT_TRUE(Server().WaitClosedByPeer(0));
    EXPECT_TRUE(Server().WaitClosedByPeer(1));
}

TEST_F(RegistrationTest, AsyncResponseMissingOrWrong) {
    Server().SetScript(0, FakeServer::RegisterSync(1));
    Server().SetScript(2, FakeServer::RegisterSync(2));
    Server().SetScript(3, {ReadMsg(kGetAsyncFdReq), Write(Msg(101, U32(2)))});
    // A header cut short by the end of the stream.
    Server().SetScript(1, {ReadMsg(kGetAsyncFdReq), Write({0x00, 0x00, 0x00}), Close()});
    EXPECT_EQ(FailedRegistration(),
              (std::vector<std::string>{
                  "Socket Disconnection!",
                  "Fail to receive get async fd response, pid is: " + Pid() + "!"}));
    EXPECT_EQ(FailedRegistration(),
              std::vector<std::string>{
                  "Received is not expected get async fd response, pid is: " + Pid() + "!"});
    for (int conn : {0, 2, 3}) {  // connection 1 was closed by the server itself
        EXPECT_TRUE(Server().WaitClosedByPeer(conn)) << conn;
    }
}

TEST_F(RegistrationTest, NodeAllocationFails) {
    Server().ExpectClients(1);
    faults::ResetGuard guard;
    EXPECT_EQ(
        FailedRegistration(LAPI_SERVICE_MOLR, [] { faults::FailNth(Call::Malloc, 1, ENOMEM); }),
        std::vector<std::string>{"Fail to malloc client node, no memory, pid is: " + Pid() + "!"});
    EXPECT_TRUE(Server().WaitClosedByPeer(0));
    EXPECT_TRUE(Server().WaitClosedByPeer(1));
}

TEST_F(RegistrationTest, EleventhRegistrationIsRefusedAndClosed) {
    Server().ExpectClients(LAPI_CLI_MAX_CLIENTS + 1);
    for (int i = 0; i < LAPI_CLI_MAX_CLIENTS; ++i) {
        ASSERT_EQ(LAPI_RegisterClient(LAPI_SERVICE_MOLR), i);
    }
    EXPECT_EQ(FailedRegistration(),
              std::vector<std::string>{
                  "Fail to add pClientNode, too many client nodes, pid is: " + Pid() + "!"});
    EXPECT_TRUE(Server().WaitClosedByPeer(2 * LAPI_CLI_MAX_CLIENTS));
    EXPECT_TRUE(Server().WaitClosedByPeer(2 * LAPI_CLI_MAX_CLIENTS + 1));
}

// The receive assembles messages from any split of the stream and retries
// interrupted reads; a read error ends the registration.
TEST_F(RegistrationTest, ReceiveAcrossSingleByteWritesAndInterruptions) {
    Server().SetScript(0, {ReadMsg(kRegisterReq), WriteBytewise(Msg(101, U32(77)))});
    Server().SetScript(1, {ReadMsg(kGetAsyncFdReq), WriteBytewise(Msg(103))});
    faults::ResetGuard guard;
    faults::InterruptNth(Call::Read, 2);
    StderrCapture cap;
    ASSERT_EQ(LAPI_RegisterClient(LAPI_SERVICE_MTLR), 0);
    EXPECT_TRUE(ErrorTexts(cap.Lines()).empty());
    EXPECT_EQ(GetI32(Server().ReceivedMsgs(1).at(0), 8), 77);
}

TEST_F(RegistrationTest, ReadErrorIsReported) {
    Server().ExpectClients(1);
    faults::ResetGuard guard;
    EXPECT_EQ(
        FailedRegistration(LAPI_SERVICE_MOLR, [] { faults::FailNth(Call::Read, 1, EIO); }),
        (std::vector<std::string>{"Fail to read socket, errno is: 5, Input/output error",
                                  "Fail to receive register response, pid is: " + Pid() + "!"}));
}

// A registerRsp is accepted on its msgId alone; one too short to carry a globalId
// yields 0 rather than bytes left over from the request.
TEST_F(RegistrationTest, ShortRegisterResponseIsAcceptedWithoutStaleBytes) {
    Server().SetScript(0, {ReadMsg(kRegisterReq), Write(Msg(101))});
    Server().SetScript(1, FakeServer::RegisterAsync());
    StderrCapture cap;
    ASSERT_EQ(LAPI_RegisterClient(LAPI_SERVICE_STATUS), 0);
    EXPECT_EQ(ErrorTexts(cap.Lines()),
              std::vector<std::string>{"Wrong registerRsp msg length: 0, pid is: 0!"});
    EXPECT_EQ(GetI32(Server().ReceivedMsgs(1).at(0), 8), 0);
}

// A server that went away must not kill the application with SIGPIPE.
TEST_F(RegistrationTest, SendToAClosedServerRaisesNoSignal) {
    struct sigaction old {};
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ASSERT_EQ(sigaction(SIGPIPE, &dfl, &old), 0);
    Server().ExpectClients(1);
    ASSERT_EQ(LAPI_RegisterClient(LAPI_SERVICE_MOLR), 0);
    ASSERT_TRUE(Server().CloseConnection(0));
    ASSERT_TRUE(Server().CloseConnection(1));
    StderrCapture cap;
    EXPECT_EQ(LAPI_UnregisterClient(0), 0);
    sigaction(SIGPIPE, &old, nullptr);
    const auto texts = ErrorTexts(cap.Lines());
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "Fail to write socket, errno is: 32, Broken pipe");
    EXPECT_EQ(texts[1], "Fail to send unregister request, clientId: 0, pid is: " + Pid() + "!");
}

// Closing retries after EAGAIN but never after EINTR, when Linux has already
// released the descriptor.
TEST(CloseFdTest, RetriesOnlyWhereTheDescriptorIsStillOpen) {
    faults::ResetGuard guard;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    faults::Reset();
    faults::FailNth(Call::Close, 1, EAGAIN);
    LAPI_CloseFd(fds[0]);
    EXPECT_EQ(faults::Count(Call::Close), 2);
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);

    faults::Reset();
    faults::InterruptNth(Call::Close, 1);
    LAPI_CloseFd(fds[1]);
    EXPECT_EQ(faults::Count(Call::Close), 1);
    faults::Reset();
    close(fds[1]);  // the injected EINTR left it open; close it for real

    faults::Reset();
    LAPI_CloseFd(-1);
    EXPECT_EQ(faults::Count(Call::Close), 0);
}

TEST(SetFdBlockTest, TogglesOnlyTheNonBlockingFlag) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int before = fcntl(fds[0], F_GETFL);
    EXPECT_GE(LAPI_SetFdBlock(fds[0], 0), 0);
    EXPECT_EQ(fcntl(fds[0], F_GETFL), before | O_NONBLOCK);
    EXPECT_GE(LAPI_SetFdBlock(fds[0], 7), 0);
    EXPECT_EQ(fcntl(fds[0], F_GETFL), before & ~O_NONBLOCK);
    close(fds[0]);
    close(fds[1]);
    errno = 0;
    EXPECT_LT(LAPI_SetFdBlock(fds[0], 1), 0);
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
