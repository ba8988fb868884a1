// The eleven request calls against the scripted fake server. One row per call holds
// what the call must do (service bit, message, bytes sent, response limit, texts);
// the parameterised suites run every row through the same checks: the bytes on the
// wire, BLOCK against NONBLOCK, the response limit, the service-bit refusal, a failed
// send and what the call leaves in the caller's buffer. The tests after them cover the
// per-call checks of the request body, their order against the other refusals, and a
// client held by one thread while others call.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <lapi/lapi.h>

#include "socket_fixture.h"

namespace {

using namespace lapitest;
using faults::Call;
using Texts = std::vector<std::string>;

std::string Pid() {
    return std::to_string(getpid());
}

// "clientId: 0, pid is: 1234!"
std::string IdPid(int clientId) {
    return "clientId: " + std::to_string(clientId) + ", pid is: " + Pid() + "!";
}

void SetU16(Bytes &b, size_t off, uint16_t v) {
    b.at(off) = static_cast<uint8_t>(v);
    b.at(off + 1) = static_cast<uint8_t>(v >> 8);
}

void SetI32(Bytes &b, size_t off, int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    for (size_t i = 0; i < 4; ++i) {
        b.at(off + i) = static_cast<uint8_t>(u >> (8 * i));
    }
}

// Irregular, mostly nonzero bytes, so a byte written by mistake shows.
Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(seed + i * 37u + (i >> 3));
    }
    return b;
}

// n zero bytes in the notation of Hex(): " 00 00 ...".
std::string HexZeros(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += " 00";
    }
    return s;
}

// ---------------------------------------------------------------------------------
// The calls
// ---------------------------------------------------------------------------------

enum class Shape {
    Mode,      // (clientId, mode, pReq, pRsp)
    AbortAll,  // (clientId): the library builds the request itself
    Verify,    // (clientId, pCfm): no mode field, nothing read
};

using Invoke = int (*)(int clientId, unsigned char mode, void *req, void *rsp);

struct Row {
    const char *name;  // test name suffix
    const char *func;  // the call's name on its error lines
    Shape shape;
    Invoke invoke;
    unsigned service;
    const char *serviceName;
    uint16_t msgId;
    uint16_t msgLen;
    uint16_t rspMsgId;  // the answer the server normally gives (mode calls)
    unsigned rspLimit;  // bytes a LAPI_BLOCK answer may fill; 0: nothing is read
    const char *sendText;
    const char *recvText;

    size_t Sent() const { return size_t{msgLen} + kHeaderSize; }
    bool HasMode() const { return shape == Shape::Mode; }
};

template <typename Req>
Req *As(void *p) {
    return static_cast<Req *>(p);
}

const Row kRows[] = {
    {"GetLocation", "LAPI_GetLocation", Shape::Mode,
     [](int id, unsigned char m, void *q, void *r) {
         return LAPI_GetLocation(id, m, As<LAPI_GET_LOCATION_REQ_S>(q), r);
     },
     LAPI_SERVICE_MOLR, "LAPI_SERVICE_MOLR", 106, 32, 0, 114, "get location request",
     "get location response"},
    {"AbortLocation", "LAPI_AbortLocationRequest", Shape::Mode,
     [](int id, unsigned char m, void *q, void *r) {
         return LAPI_AbortLocationRequest(id, m, As<LAPI_ABORT_LOCATION_REQ_S>(q), r);
     },
     LAPI_SERVICE_MOLR, "LAPI_SERVICE_MOLR", 107, 4, 1, 14, "abort location request",
     "abort location response"},
    {"AbortAllLocation", "LAPI_AbortAllLocationRequest", Shape::AbortAll,
     [](int id, unsigned char, void *, void *) { return LAPI_AbortAllLocationRequest(id); },
     LAPI_SERVICE_MOLR, "LAPI_SERVICE_MOLR", 108, 0, 0, 0, "abort all location request", ""},
    {"LastKnownLocation", "LAPI_GetLastKnownLocation", Shape::Mode,
     [](int id, unsigned char m, void *q, void *r) {
         return LAPI_GetLastKnownLocation(id, m, As<LAPI_LAST_KNOWN_LOCATION_REQ_S>(q), r);
     },
     LAPI_SERVICE_MOLR, "LAPI_SERVICE_MOLR", 109, 4, 0, 114, "get last known location request",
     "get last known location response"},
    {"GetStatus", "LAPI_GetStatus", Shape::Mode,
     [](int id, unsigned char m, void *q, void *r) {
         return LAPI_GetStatus(id, m, As<LAPI_GET_STATUS_REQ_S>(q), r);
     },
     LAPI_SERVICE_STATUS, "LAPI_SERVICE_STATUS", 112, 4, 6, 38, "get status request",
     "get status response"},
    {"GetGpsDbData", "LAPI_GetGpsDatabaseData", Shape::Mode,
     [](int id, unsigned char m, void *q, void *r) {
         return LAPI_GetGpsDatabaseData(id, m, As<LAPI_GET_GPS_DB_DATA_REQ_S>(q), r);
     },
     LAPI_SERVICE_STATUS, "LAPI_SERVICE_STATUS", 110, 8, 4, 236, "get location state request",
     "get location state response"},
    {"SetGpsDbData", "LAPI_SetGpsDatabaseData", Shape::Mode,
     [](int id, unsigned char m, void *q, void *r) {
         return LAPI_SetGpsDatabaseData(id, m, As<LAPI_SET_GPS_DB_DATA_REQ_S>(q), r);
     },
     LAPI_SERVICE_STATUS, "LAPI_SERVICE_STATUS", 111, 226, 5, 14, "set location state request",
     "set location state response"},
    {"LocationVerify", "LAPI_LocationVerify", Shape::Verify,
     [](int id, unsigned char, void *q, void *) {
         return LAPI_LocationVerify(id, As<LAPI_LOCATION_NOTIFICATION_CFM_S>(q));
     },
     LAPI_SERVICE_MTLR, "LAPI_SERVICE_MTLR", 113, 6, 0, 0,
     "MT-LR location verification confirmation", ""},
    {"DistanceAzimuth", "LAPI_CalculateDistanceAzimuth", Shape::Mode,
     [](int id, unsigned char m, void *q, void *r) {
         return LAPI_CalculateDistanceAzimuth(id, m, As<LAPI_DISTANCE_AZIMUTH_REQ_S>(q), r);
     },
     LAPI_SERVICE_MOLR, "LAPI_SERVICE_MOLR", 114, 37, 10, 26, "distance and azimuth request",
     "distance and azimuth response"},
    {"AddProximity", "LAPI_AddProximityListener", Shape::Mode,
     [](int id, unsigned char m, void *q, void *r) {
         return LAPI_AddProximityListener(id, m, As<LAPI_ADD_PROXIMITY_REQ_S>(q), r);
     },
     LAPI_SERVICE_MOLR, "LAPI_SERVICE_MOLR", 115, 36, 11, 14, "add proximity request",
     "add proximity response"},
    {"RemoveProximity", "LAPI_RemoveProximityListener", Shape::Mode,
     [](int id, unsigned char m, void *q, void *r) {
         return LAPI_RemoveProximityListener(id, m, As<LAPI_REMOVE_PROXIMITY_REQ_S>(q), r);
     },
     LAPI_SERVICE_MOLR, "LAPI_SERVICE_MOLR", 116, 8, 12, 14, "remove proximity request",
     "remove proximity response"},
};

const Row &RowFor(uint16_t msgId) {
    for (const Row &r : kRows) {
        if (r.msgId == msgId) {
            return r;
        }
    }
    throw std::out_of_range("no row for msgId " + std::to_string(msgId));
}

std::vector<Row> Rows(bool withMode) {
    std::vector<Row> rows;
    for (const Row &r : kRows) {
        if (r.HasMode() == withMode) {
            rows.push_back(r);
        }
    }
    return rows;
}

void PrintTo(const Row &r, std::ostream *os) {
    *os << r.name;
}

std::string RowName(const ::testing::TestParamInfo<Row> &info) {
    return info.param.name;
}

constexpr size_t kBufLen = 300;  // caller buffers: larger than any message
constexpr uint8_t kUntouched = 0xEE;

// A request that passes the call's own checks, in a buffer larger than the message.
// The bytes the call must write (header, and the mode field where there is one) hold
// a filler that none of them can take by chance.
Bytes ValidRequest(const Row &r) {
    Bytes b = Pattern(kBufLen, 0x51);
    const size_t written = r.HasMode() ? 10 : 8;
    std::fill(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(written), kUntouched);
    if (r.msgId == 106) {
        SetI32(b, 12, 5000);  // responseTime
        SetI32(b, 32, 0);     // reportCriteria: single fix
    } else if (r.msgId == 111) {
        SetU16(b, 12, LAPI_GPS_DB_MAX_FILES);
        for (size_t i = 0; i < LAPI_GPS_DB_MAX_FILES; ++i) {
            SetU16(b, 18 + 10 * i, static_cast<uint16_t>(1 + i % 4));
        }
    }
    return b;
}

// What the caller's buffer holds after the call: its own bytes, with the header and
// mode field that the call writes.
Bytes AfterCall(const Row &r, Bytes b, unsigned char mode) {
    SetI32(b, 0, getpid());
    SetU16(b, 4, r.msgId);
    SetU16(b, 6, r.msgLen);
    if (r.HasMode()) {
        b[8] = mode;
        b[9] = 0;
    }
    return b;
}

// The bytes the server must receive.
Bytes OnTheWire(const Row &r, const Bytes &req, unsigned char mode) {
    if (r.shape == Shape::AbortAll) {
        return Msg(r.msgId, {}, getpid());
    }
    Bytes b = AfterCall(r, req, mode);
    b.resize(r.Sent());
    return b;
}

// A message of `total` bytes with the row's usual answer msgId.
Bytes Answer(const Row &r, size_t total) {
    const size_t body = total - kHeaderSize;
    return MsgWithLen(r.rspMsgId, static_cast<uint16_t>(body), Pattern(body, 0x90), 77);
}

Bytes RegisterReq(unsigned service) {
    Bytes body;
    PutU32(body, service);
    return Msg(kRegisterReq, body, getpid());
}

// ---------------------------------------------------------------------------------
// Fixture: a fake server made on first use; every test leaves the registry empty and
// no descriptor open.
// ---------------------------------------------------------------------------------

class OperationsFixture : public SocketFixture {
  protected:
    // Registers the next client; its connections play the registration and then
    // syncTail and asyncTail. Returns the clientId; *syncConn gets the index of its
    // synchronous connection on the server.
    int Register(unsigned service, const Script &syncTail = {}, const Script &asyncTail = {},
                 int *syncConn = nullptr) {
        const int conn = nextConn_;
        nextConn_ += 2;
        Server().SetScript(conn, Concat(FakeServer::RegisterSync(conn / 2 + 1), syncTail));
        Server().SetScript(conn + 1, Concat(FakeServer::RegisterAsync(), asyncTail));
        if (syncConn != nullptr) {
            *syncConn = conn;
        }
        StderrCapture quiet;
        return LAPI_RegisterClient(service);
    }

    // The client's slot is registered and idle: it can be borrowed and given back.
    static bool Idle(int clientId) {
        StderrCapture quiet;
        if (LAPI_CLI_GetClientNodeById(clientId) == nullptr) {
            return false;
        }
        return LAPI_CLI_PutClientNodeById(clientId) == 0;
    }

    // The lines written when the client's slot is free (it was destroyed).
    static Texts Gone(int clientId) {
        return {"Client node not exist, clientId is: " + std::to_string(clientId) + "!",
                "Fail to get client node, " + IdPid(clientId)};
    }

    int nextConn_ = 0;
};

class OperationTest : public OperationsFixture, public ::testing::TestWithParam<Row> {
  protected:
    void SetUp() override { Begin(); }
    void TearDown() override { End(); }
};

class ModeOperationTest : public OperationTest {};
class SendOnlyOperationTest : public OperationTest {};

// ---------------------------------------------------------------------------------
// Every call
// ---------------------------------------------------------------------------------

// A call that the client's services do not allow writes one line, sends nothing,
// leaves the caller's buffer as it was and the client usable.
TEST_P(OperationTest, MissingServiceBitIsRefusedAndTheClientStaysUsable) {
    const Row &r = GetParam();
    int conn = 0;
    const int id =
        Register(LAPI_SERVICE_MASK & ~r.service, FakeServer::UnregisterSync(), {}, &conn);
    ASSERT_EQ(id, 0);
    Bytes req = ValidRequest(r);
    const Bytes before = req;
    Bytes rsp(kBufLen, kUntouched);
    {
        StderrCapture cap;
        EXPECT_EQ(r.invoke(id, LAPI_BLOCK, req.data(), rsp.data()), -1);
        const auto lines = LogLines(cap.Lines());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].isError);
        EXPECT_EQ(lines[0].func, r.func);
        EXPECT_EQ(lines[0].text,
                  "Not register " + std::string(r.serviceName) + " service, " + IdPid(id));
    }
    EXPECT_EQ(req, before);
    EXPECT_EQ(rsp, Bytes(kBufLen, kUntouched));
    EXPECT_TRUE(Idle(id));
    // Unregistering still works; the server saw nothing between the two messages.
    {
        StderrCapture quiet;
        ASSERT_EQ(LAPI_UnregisterClient(id), 0);
    }
    ASSERT_TRUE(Server().WaitClosedByPeer(conn));
    EXPECT_EQ(Server().ReceivedMsgs(conn),
              (std::vector<Bytes>{RegisterReq(LAPI_SERVICE_MASK & ~r.service),
                                  Msg(kUnregisterReq, {}, getpid())}));
}

// A failed send writes the transport's line and the call's own, reads nothing and
// destroys the client: both connections close and the clientId names no client.
TEST_P(OperationTest, SendFailureDestroysTheClient) {
    const Row &r = GetParam();
    int conn = 0;
    const int id = Register(LAPI_SERVICE_MASK, {}, {}, &conn);
    ASSERT_EQ(id, 0);
    Bytes req = ValidRequest(r);
    Bytes rsp(kBufLen, kUntouched);
    faults::ResetGuard guard;
    {
        StderrCapture cap;
        faults::Reset();
        faults::FailNth(Call::Write, 1, EPIPE);
        EXPECT_EQ(r.invoke(id, LAPI_BLOCK, req.data(), rsp.data()), -1);
        EXPECT_EQ(faults::Count(Call::Read), 0);
        const auto lines = LogLines(cap.Lines());
        EXPECT_EQ(ErrorTexts(cap.Lines()),
                  (Texts{"Fail to write socket, errno is: 32, Broken pipe",
                         "Fail to send " + std::string(r.sendText) + ", " + IdPid(id)}));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().func, r.func);
    }
    // The header and mode stay as they were written for the send.
    if (r.shape != Shape::AbortAll) {
        EXPECT_EQ(req, AfterCall(r, ValidRequest(r), LAPI_BLOCK));
    }
    EXPECT_TRUE(Server().WaitClosedByPeer(conn));
    EXPECT_TRUE(Server().WaitClosedByPeer(conn + 1));
    StderrCapture cap;
    EXPECT_EQ(r.invoke(id, LAPI_NONBLOCK, req.data(), nullptr), -1);
    EXPECT_EQ(ErrorTexts(cap.Lines()), Gone(id));
    EXPECT_EQ(Server().ReceivedMsgs(conn).size(), 1u);  // the registration alone
}

INSTANTIATE_TEST_SUITE_P(Calls, OperationTest, ::testing::ValuesIn(kRows), RowName);

// ---------------------------------------------------------------------------------
// Calls with a mode
// ---------------------------------------------------------------------------------

// BLOCK: exactly the call's bytes go out with mode 1, and an answer of exactly the
// response limit is placed in the caller's buffer, nothing after it. The request
// buffer differs from what the caller wrote only in the header and the mode field.
TEST_P(ModeOperationTest, BlockSendsTheRequestAndReadsAnAnswerOfTheWholeLimit) {
    const Row &r = GetParam();
    const Bytes answer = Answer(r, r.rspLimit);
    int conn = 0;
    const int id = Register(r.service, {ReadMsg(r.msgId), Write(answer)}, {}, &conn);
    ASSERT_EQ(id, 0);
    const Bytes written = ValidRequest(r);
    Bytes req = written;
    Bytes rsp(kBufLen, kUntouched);
    StderrCapture cap;
    ASSERT_EQ(r.invoke(id, LAPI_BLOCK, req.data(), rsp.data()), 0);
    EXPECT_EQ(ErrorTexts(cap.Lines()), Texts{});
    EXPECT_EQ(Bytes(rsp.begin(), rsp.begin() + static_cast<std::ptrdiff_t>(answer.size())), answer);
    EXPECT_EQ(Bytes(rsp.begin() + static_cast<std::ptrdiff_t>(answer.size()), rsp.end()),
              Bytes(kBufLen - answer.size(), kUntouched));
    EXPECT_EQ(req, AfterCall(r, written, LAPI_BLOCK));
    ASSERT_TRUE(Server().WaitReceived(conn, 12 + r.Sent()));
    EXPECT_EQ(Server().ReceivedMsgs(conn),
              (std::vector<Bytes>{RegisterReq(r.service), OnTheWire(r, written, LAPI_BLOCK)}));
    // The request is traced before the answer (a long message may take more lines).
    std::vector<std::string> traced;
    for (const LogLine &l : LogLines(cap.Lines())) {
        EXPECT_FALSE(l.isError);
        const std::string dir = l.text.substr(0, 4);
        if ((dir == "C->S" || dir == "S->C") && (traced.empty() || traced.back() != dir)) {
            traced.push_back(dir);
        }
    }
    EXPECT_EQ(traced, (std::vector<std::string>{"C->S", "S->C"}));
    EXPECT_TRUE(Idle(id));
}

// NONBLOCK: the request goes out with mode 0 and the synchronous connection is not
// read, whether a response buffer is given or not (null is accepted), so a message
// waiting there is still the answer of the next BLOCK call. Any message within the
// limit is accepted: here a 10-byte timeOutRsp.
TEST_P(ModeOperationTest, NonblockSendsOnlyAndLeavesTheSyncConnectionUnread) {
    const Row &r = GetParam();
    const Bytes timeOut = Msg(LAPI_MSG_TIME_OUT_RSP, {0x21, 0x42});
    // The BLOCK request is answered too, so that a call that wrongly took the
    // timeOutRsp earlier gets a wrong answer instead of waiting for ever.
    const Script sync = {Write(timeOut), ReadMsg(r.msgId), ReadMsg(r.msgId), ReadMsg(r.msgId),
                         Write(Answer(r, r.rspLimit))};
    int conn = 0;
    const int id = Register(r.service, sync, {}, &conn);
    ASSERT_EQ(id, 0);
    const Bytes written = ValidRequest(r);
    Bytes req = written;
    Bytes rsp(kBufLen, kUntouched);
    faults::ResetGuard guard;
    {
        StderrCapture cap;
        faults::Reset();
        ASSERT_EQ(r.invoke(id, LAPI_NONBLOCK, req.data(), rsp.data()), 0);
        ASSERT_EQ(r.invoke(id, LAPI_NONBLOCK, req.data(), nullptr), 0);
        EXPECT_EQ(faults::Count(Call::Read), 0);
        EXPECT_EQ(faults::Count(Call::Write), 2);  // each request in one send
        EXPECT_EQ(ErrorTexts(cap.Lines()), Texts{});
    }
    EXPECT_EQ(rsp, Bytes(kBufLen, kUntouched));
    EXPECT_EQ(req, AfterCall(r, written, LAPI_NONBLOCK));
    ASSERT_TRUE(Server().WaitReceived(conn, 12 + 2 * r.Sent()));
    const Bytes sent = OnTheWire(r, written, LAPI_NONBLOCK);
    EXPECT_EQ(Server().ReceivedMsgs(conn),
              (std::vector<Bytes>{RegisterReq(r.service), sent, sent}));

    StderrCapture cap;
    ASSERT_EQ(r.invoke(id, LAPI_BLOCK, req.data(), rsp.data()), 0);
    EXPECT_EQ(ErrorTexts(cap.Lines()), Texts{});
    Bytes expected = timeOut;
    expected.resize(kBufLen, kUntouched);
    EXPECT_EQ(rsp, expected);
    EXPECT_TRUE(Server().WaitScriptDone(conn));  // its last answer written before teardown
}

// One byte over the limit: the receive refuses the body, the call writes its line
// and the client is destroyed; later calls find no client.
TEST_P(ModeOperationTest, AnswerOneByteOverTheLimitDestroysTheClient) {
    const Row &r = GetParam();
    const Bytes answer = Answer(r, r.rspLimit + 1);
    int conn = 0;
    const int id = Register(r.service, {ReadMsg(r.msgId), Write(answer)}, {}, &conn);
    ASSERT_EQ(id, 0);
    Bytes req = ValidRequest(r);
    Bytes rsp(kBufLen, kUntouched);
    {
        StderrCapture cap;
        EXPECT_EQ(r.invoke(id, LAPI_BLOCK, req.data(), rsp.data()), -1);
        EXPECT_EQ(ErrorTexts(cap.Lines()),
                  (Texts{"bufLen : " + std::to_string(r.rspLimit - 8) +
                             " < pMsgHeader->msgLen : " + std::to_string(r.rspLimit - 7) + "!",
                         "Fail to receive " + std::string(r.recvText) + ", " + IdPid(id)}));
    }
    // Only the header was read.
    EXPECT_EQ(Bytes(rsp.begin(), rsp.begin() + 8), Bytes(answer.begin(), answer.begin() + 8));
    EXPECT_EQ(rsp[8], kUntouched);
    EXPECT_TRUE(Server().WaitClosedByPeer(conn));
    EXPECT_TRUE(Server().WaitClosedByPeer(conn + 1));
    StderrCapture cap;
    EXPECT_EQ(r.invoke(id, LAPI_NONBLOCK, req.data(), nullptr), -1);
    EXPECT_EQ(ErrorTexts(cap.Lines()), Gone(id));
}

// Argument validation comes first: the registry's line naming the fault, then the
// call's; nothing is sent and the registered client stays idle.
TEST_P(ModeOperationTest, InvalidArgumentsAreRefusedBeforeAnythingElse) {
    const Row &r = GetParam();
    int conn = 0;
    ASSERT_EQ(Register(r.service, {}, {}, &conn), 0);
    Bytes req = ValidRequest(r);
    const Bytes before = req;
    Bytes rsp(kBufLen, kUntouched);
    struct Case {
        int id;
        unsigned char mode;
        void *req;
        void *rsp;
        std::string first;
    };
    const Case cases[] = {
        {-1, LAPI_BLOCK, req.data(), rsp.data(), "Invalid clientId: -1!"},
        {10, LAPI_NONBLOCK, req.data(), rsp.data(), "Invalid clientId: 10!"},
        {0, 2, req.data(), rsp.data(), "Invalid mode: 2!"},
        {0, 255, req.data(), rsp.data(), "Invalid mode: 255!"},
        {0, LAPI_NONBLOCK, nullptr, rsp.data(), "Invalid pReq == NULL!"},
        {0, LAPI_BLOCK, req.data(), nullptr, "Invalid (mode == LAPI_BLOCK) && (pRsp == NULL)!"},
    };
    for (const Case &c : cases) {
        StderrCapture cap;
        EXPECT_EQ(r.invoke(c.id, c.mode, c.req, c.rsp), -1);
        const auto lines = LogLines(cap.Lines());
        ASSERT_EQ(lines.size(), 2u) << c.first;
        EXPECT_EQ(lines[0].text, c.first);
        EXPECT_EQ(lines[0].func, "LAPI_CLI_IsValidParameter");
        EXPECT_EQ(lines[1].text, "Invalid parameter! " + IdPid(c.id));
        EXPECT_EQ(lines[1].func, r.func);
    }
    // A valid clientId without a client: the registry's line, then the call's.
    {
        StderrCapture cap;
        EXPECT_EQ(r.invoke(3, LAPI_BLOCK, req.data(), rsp.data()), -1);
        EXPECT_EQ(ErrorTexts(cap.Lines()), Gone(3));
    }
    EXPECT_EQ(req, before);
    EXPECT_EQ(rsp, Bytes(kBufLen, kUntouched));
    EXPECT_TRUE(Idle(0));
    EXPECT_EQ(Server().Received(conn).size(), 12u);
}

// The server closes the connection, or the read fails, while a BLOCK call waits.
TEST_P(ModeOperationTest, ReceiveFailureDestroysTheClient) {
    const Row &r = GetParam();
    int conn = 0;
    ASSERT_EQ(Register(r.service, {ReadMsg(r.msgId), Close()}, {}, &conn), 0);
    ASSERT_EQ(Register(r.service), 1);
    Bytes req = ValidRequest(r);
    Bytes rsp(kBufLen, kUntouched);
    {
        StderrCapture cap;
        EXPECT_EQ(r.invoke(0, LAPI_BLOCK, req.data(), rsp.data()), -1);
        EXPECT_EQ(ErrorTexts(cap.Lines()),
                  (Texts{"Socket Disconnection!",
                         "Fail to receive " + std::string(r.recvText) + ", " + IdPid(0)}));
    }
    EXPECT_TRUE(Server().WaitClosedByPeer(conn + 1));
    faults::ResetGuard guard;
    {
        StderrCapture cap;
        faults::FailNth(Call::Read, 1, ECONNRESET);
        EXPECT_EQ(r.invoke(1, LAPI_BLOCK, req.data(), rsp.data()), -1);
        EXPECT_EQ(ErrorTexts(cap.Lines()),
                  (Texts{"Fail to read socket, errno is: 104, Connection reset by peer",
                         "Fail to receive " + std::string(r.recvText) + ", " + IdPid(1)}));
    }
    EXPECT_TRUE(Server().WaitClosedByPeer(conn + 2));
    EXPECT_TRUE(Server().WaitClosedByPeer(conn + 3));
    StderrCapture cap;
    EXPECT_EQ(r.invoke(0, LAPI_NONBLOCK, req.data(), nullptr), -1);
    EXPECT_EQ(r.invoke(1, LAPI_NONBLOCK, req.data(), nullptr), -1);
    const Texts gone0 = Gone(0);
    const Texts gone1 = Gone(1);
    Texts expected = gone0;
    expected.insert(expected.end(), gone1.begin(), gone1.end());
    EXPECT_EQ(ErrorTexts(cap.Lines()), expected);
}

INSTANTIATE_TEST_SUITE_P(Calls, ModeOperationTest, ::testing::ValuesIn(Rows(true)), RowName);

// ---------------------------------------------------------------------------------
// Calls that only send
// ---------------------------------------------------------------------------------

// Exactly the message goes out and the call returns without reading, whatever the
// server does (here: nothing).
TEST_P(SendOnlyOperationTest, SendsTheMessageAndReadsNothing) {
    const Row &r = GetParam();
    int conn = 0;
    ASSERT_EQ(Register(r.service, {}, {}, &conn), 0);
    const Bytes written = ValidRequest(r);
    Bytes req = written;
    faults::ResetGuard guard;
    StderrCapture cap;
    faults::Reset();
    ASSERT_EQ(r.invoke(0, LAPI_BLOCK, req.data(), nullptr), 0);
    EXPECT_EQ(faults::Count(Call::Read), 0);
    EXPECT_EQ(ErrorTexts(cap.Lines()), Texts{});
    ASSERT_TRUE(Server().WaitReceived(conn, 12 + r.Sent()));
    EXPECT_EQ(Server().ReceivedMsgs(conn).at(1), OnTheWire(r, written, 0));
    if (r.shape == Shape::Verify) {
        EXPECT_EQ(req, AfterCall(r, written, 0));
    }
    EXPECT_TRUE(Idle(0));
}

INSTANTIATE_TEST_SUITE_P(Calls, SendOnlyOperationTest, ::testing::ValuesIn(Rows(false)), RowName);

// ---------------------------------------------------------------------------------
// Single calls
// ---------------------------------------------------------------------------------

class OperationsTest : public OperationsFixture, public ::testing::Test {
  protected:
    void SetUp() override { Begin(); }
    void TearDown() override { End(); }
};

// Known byte strings, with this process's id in front.
TEST_F(OperationsTest, WireBytesOfKnownRequests) {
    int conn = 0;
    const Script sync = {ReadMsg(106), Write(Msg(2, {0, 0})), ReadMsg(108), ReadMsg(116),
                         Write(Msg(12, {5, 7, 0, 0, 0, 0}))};
    ASSERT_EQ(Register(LAPI_SERVICE_MASK, sync, {}, &conn), 0);
    Bytes pid;
    PutI32(pid, getpid());
    const std::string p = Hex(pid) + " ";

    LAPI_GET_LOCATION_REQ_S loc{};
    loc.sessionId = 0x31;
    loc.responseTime = 30;
    LAPI_REMOVE_PROXIMITY_REQ_S rm{};
    rm.sessionId = 5;
    rm.transactionId = 7;
    rm.removeType = 2;
    LAPI_LOCATION_NOTIFICATION_CFM_S cfm{};
    cfm.sessionId = 9;
    cfm.transactionId = 0x0a;
    cfm.responseType = 0x01020304;
    unsigned char rsp[kBufLen];
    StderrCapture quiet;
    ASSERT_EQ(LAPI_GetLocation(0, LAPI_BLOCK, &loc, rsp), 0);
    ASSERT_EQ(LAPI_AbortAllLocationRequest(0), 0);
    ASSERT_EQ(LAPI_RemoveProximityListener(0, LAPI_BLOCK, &rm, rsp), 0);
    ASSERT_EQ(LAPI_LocationVerify(0, &cfm), 0);
    ASSERT_TRUE(Server().WaitReceived(conn, 12 + 40 + 8 + 16 + 14));
    const auto msgs = Server().ReceivedMsgs(conn);
    ASSERT_EQ(msgs.size(), 5u);
    EXPECT_EQ(Hex(msgs[1]), p + "6a 00 20 00 01 00 31 00 1e 00 00 00" + HexZeros(24));
    EXPECT_EQ(Hex(msgs[2]), p + "6c 00 00 00");
    EXPECT_EQ(Hex(msgs[3]), p + "74 00 08 00 01 00 05 07 02 00 00 00");
    EXPECT_EQ(Hex(msgs[4]), p + "71 00 06 00 09 0a 04 03 02 01");
}

// GetLocation's own checks run after argument validation and before the client is
// borrowed: periodic reports refuse BLOCK, a negative responseTime is refused, and
// the first failing check is the only one reported.
TEST_F(OperationsTest, GetLocationChecksItsRequestBeforeBorrowingTheClient) {
    const Bytes fix = Answer(RowFor(106), 114);
    int conn = 0;
    ASSERT_EQ(Register(LAPI_SERVICE_MOLR, {ReadMsg(106), Write(fix)}, {}, &conn), 0);
    const std::string periodic = "LAPI_BLOCK enabled in periodic response mode!";
    struct Case {
        int32_t reportCriteria;
        int32_t responseTime;
        unsigned char mode;
        Texts texts;  // empty: accepted and sent
    };
    const Case cases[] = {
        {LAPI_REPORT_PERIODIC, 10, LAPI_BLOCK, {periodic}},
        {LAPI_REPORT_PERIODIC, -1, LAPI_BLOCK, {periodic}},
        {0, -1, LAPI_BLOCK, {"Invalid responseTime: -1! " + IdPid(0)}},
        {0, INT_MIN, LAPI_NONBLOCK, {"Invalid responseTime: -2147483648! " + IdPid(0)}},
        {LAPI_REPORT_PERIODIC, -5, LAPI_NONBLOCK, {"Invalid responseTime: -5! " + IdPid(0)}},
        {LAPI_REPORT_PERIODIC, 0, LAPI_NONBLOCK, {}},
        {0, 0, LAPI_NONBLOCK, {}},
        {0x101, 0, LAPI_BLOCK, {}},  // the whole field decides, not its low byte
    };
    size_t sent = 12;
    for (const Case &c : cases) {
        LAPI_GET_LOCATION_REQ_S req{};
        req.reportCriteria = c.reportCriteria;
        req.responseTime = c.responseTime;
        unsigned char rsp[kBufLen];
        StderrCapture cap;
        const int result = LAPI_GetLocation(0, c.mode, &req, c.mode == LAPI_BLOCK ? rsp : nullptr);
        const auto lines = LogLines(cap.Lines());
        const std::string what = std::to_string(c.reportCriteria) + "/" +
                                 std::to_string(c.responseTime) + "/" + std::to_string(c.mode);
        if (c.texts.empty()) {
            EXPECT_EQ(result, 0) << what;
            EXPECT_EQ(ErrorTexts(cap.Lines()), Texts{}) << what;
            sent += 40;
        } else {
            EXPECT_EQ(result, -1) << what;
            EXPECT_EQ(ErrorTexts(cap.Lines()), c.texts) << what;
            ASSERT_EQ(lines.size(), 1u) << what;  // no trace: nothing was sent
            EXPECT_EQ(lines[0].func, "LAPI_GetLocation");
            EXPECT_EQ(req.header.msgId, 0) << "header written by a refused call";
        }
    }
    ASSERT_TRUE(Server().WaitReceived(conn, sent));
    EXPECT_EQ(Server().Received(conn).size(), sent);
    EXPECT_TRUE(Idle(0));

    // Refused before the client is looked at: neither a busy nor an absent client is
    // reported. After argument validation: an invalid clientId is all that is said.
    LAPI_GET_LOCATION_REQ_S req{};
    req.reportCriteria = LAPI_REPORT_PERIODIC;
    unsigned char rsp[kBufLen];
    ASSERT_NE(LAPI_CLI_GetClientNodeById(0), nullptr);
    {
        StderrCapture cap;
        EXPECT_EQ(LAPI_GetLocation(0, LAPI_BLOCK, &req, rsp), -1);
        EXPECT_EQ(LAPI_GetLocation(5, LAPI_BLOCK, &req, rsp), -1);
        EXPECT_EQ(LAPI_GetLocation(10, LAPI_BLOCK, &req, rsp), -1);
        EXPECT_EQ(ErrorTexts(cap.Lines()), (Texts{periodic, periodic, "Invalid clientId: 10!",
                                                  "Invalid parameter! " + IdPid(10)}));
    }
    ASSERT_EQ(LAPI_CLI_PutClientNodeById(0), 0);
}

// SetGpsDatabaseData checks numFiles, then the length of each of the first numFiles
// elements, before the client is borrowed; nothing else in the request is checked.
TEST_F(OperationsTest, SetGpsDbDataChecksTheFileList) {
    const Row &r = RowFor(111);
    int conn = 0;
    ASSERT_EQ(Register(LAPI_SERVICE_STATUS, {ReadMsg(111), Write(Answer(r, 14))}, {}, &conn), 0);
    struct Element {
        size_t index;
        uint16_t length;
    };
    struct Case {
        uint16_t numFiles;
        std::vector<Element> lengths;  // changed from the valid request
        unsigned char mode;
        Texts texts;  // empty: accepted and sent
    };
    const std::string pidText = "pid is: " + Pid() + "!";
    const Case cases[] = {
        {0, {}, LAPI_NONBLOCK, {"Invalid pReq->numFiles: 0, " + pidText}},
        {23, {}, LAPI_BLOCK, {"Invalid pReq->numFiles: 23, " + pidText}},
        {0xffff, {}, LAPI_NONBLOCK, {"Invalid pReq->numFiles: 65535, " + pidText}},
        {3, {{1, 5}, {2, 0}}, LAPI_NONBLOCK, {"Invalid pReq->dbFile[1].length: 5, " + pidText}},
        {22, {{0, 0}}, LAPI_BLOCK, {"Invalid pReq->dbFile[0].length: 0, " + pidText}},
        {22, {{21, 5}}, LAPI_NONBLOCK, {"Invalid pReq->dbFile[21].length: 5, " + pidText}},
        {2, {{1, 0xffff}}, LAPI_NONBLOCK, {"Invalid pReq->dbFile[1].length: 65535, " + pidText}},
        // Elements from numFiles on are not looked at.
        {1, {{1, 0}, {2, 9}}, LAPI_NONBLOCK, {}},
        {21, {{21, 0}}, LAPI_NONBLOCK, {}},
        // Every length from 1 to 4 in a full list, answered in BLOCK mode.
        {22, {}, LAPI_BLOCK, {}},
    };
    size_t sent = 12;
    for (const Case &c : cases) {
        Bytes req = ValidRequest(r);
        SetU16(req, 12, c.numFiles);
        for (const Element &e : c.lengths) {
            SetU16(req, 18 + 10 * e.index, e.length);
        }
        Bytes rsp(kBufLen, kUntouched);
        StderrCapture cap;
        const int result =
            r.invoke(0, c.mode, req.data(), c.mode == LAPI_BLOCK ? rsp.data() : nullptr);
        const std::string what = std::to_string(c.numFiles) + "/" + std::to_string(c.mode);
        if (c.texts.empty()) {
            EXPECT_EQ(result, 0) << what;
            EXPECT_EQ(ErrorTexts(cap.Lines()), Texts{}) << what;
            sent += 234;
        } else {
            EXPECT_EQ(result, -1) << what;
            const auto lines = LogLines(cap.Lines());
            EXPECT_EQ(ErrorTexts(cap.Lines()), c.texts) << what;
            ASSERT_EQ(lines.size(), 1u) << what;
            EXPECT_EQ(lines[0].func, "LAPI_SetGpsDatabaseData");
        }
        if (c.mode == LAPI_BLOCK && c.texts.empty()) {
            EXPECT_EQ(Bytes(rsp.begin(), rsp.begin() + 14), Answer(r, 14));
        }
    }
    ASSERT_TRUE(Server().WaitReceived(conn, sent));
    EXPECT_EQ(Server().Received(conn).size(), sent);

    // Before the client is looked at, after argument validation.
    Bytes req = ValidRequest(r);
    SetU16(req, 12, 0);
    ASSERT_NE(LAPI_CLI_GetClientNodeById(0), nullptr);
    {
        StderrCapture cap;
        EXPECT_EQ(r.invoke(0, LAPI_NONBLOCK, req.data(), nullptr), -1);
        EXPECT_EQ(r.invoke(7, LAPI_NONBLOCK, req.data(), nullptr), -1);
        EXPECT_EQ(r.invoke(-3, LAPI_NONBLOCK, req.data(), nullptr), -1);
        EXPECT_EQ(
            ErrorTexts(cap.Lines()),
            (Texts{"Invalid pReq->numFiles: 0, " + pidText, "Invalid pReq->numFiles: 0, " + pidText,
                   "Invalid clientId: -3!", "Invalid parameter! " + IdPid(-3)}));
    }
    ASSERT_EQ(LAPI_CLI_PutClientNodeById(0), 0);
}

// The calls without a mode argument validate the clientId alone; LocationVerify then
// refuses a null confirmation.
TEST_F(OperationsTest, CallsWithoutModeValidateClientIdThenBuffer) {
    int conn = 0;
    ASSERT_EQ(Register(LAPI_SERVICE_MASK, {}, {}, &conn), 0);
    LAPI_LOCATION_NOTIFICATION_CFM_S cfm{};
    StderrCapture cap;
    EXPECT_EQ(LAPI_AbortAllLocationRequest(-1), -1);
    EXPECT_EQ(LAPI_AbortAllLocationRequest(10), -1);
    EXPECT_EQ(LAPI_AbortAllLocationRequest(4), -1);
    EXPECT_EQ(LAPI_LocationVerify(10, &cfm), -1);
    EXPECT_EQ(LAPI_LocationVerify(10, nullptr), -1);
    EXPECT_EQ(LAPI_LocationVerify(0, nullptr), -1);
    EXPECT_EQ(LAPI_LocationVerify(6, nullptr), -1);
    EXPECT_EQ(LAPI_LocationVerify(6, &cfm), -1);
    const auto lines = LogLines(cap.Lines());
    const Texts expected = {
        "Invalid clientId: -1, " + std::string("pid is: ") + Pid() + "!",
        "Invalid clientId: 10, pid is: " + Pid() + "!",
        "Client node not exist, clientId is: 4!",
        "Fail to get client node, " + IdPid(4),
        "Invalid clientId: 10, pid is: " + Pid() + "!",
        "Invalid clientId: 10, pid is: " + Pid() + "!",
        "Invalid pCfm == NULL " + IdPid(0),
        "Invalid pCfm == NULL " + IdPid(6),
        "Client node not exist, clientId is: 6!",
        "Fail to get client node, " + IdPid(6),
    };
    EXPECT_EQ(ErrorTexts(cap.Lines()), expected);
    ASSERT_EQ(lines.size(), expected.size());
    EXPECT_EQ(lines[0].func, "LAPI_AbortAllLocationRequest");
    EXPECT_EQ(lines[3].func, "LAPI_AbortAllLocationRequest");
    EXPECT_EQ(lines[4].func, "LAPI_LocationVerify");
    EXPECT_EQ(lines[6].func, "LAPI_LocationVerify");
    EXPECT_TRUE(Idle(0));
    EXPECT_EQ(Server().Received(conn).size(), 12u);
}

// A BLOCK call holds its client until the answer arrives: every other call on that
// clientId is refused at once, while calls on another client go ahead.
TEST_F(OperationsTest, ClientHeldByOneCallRefusesOthersWithoutWaiting) {
    const Row &loc = RowFor(106);
    const Row &status = RowFor(112);
    const Bytes fix = Answer(loc, 114);
    int conn0 = 0;
    int conn1 = 0;
    ASSERT_EQ(
        Register(LAPI_SERVICE_MASK, {ReadMsg(106), WaitFor("answer"), Write(fix)}, {}, &conn0), 0);
    ASSERT_EQ(Register(LAPI_SERVICE_MASK, {ReadMsg(112), Write(Answer(status, 38))}, {}, &conn1),
              1);

    Bytes heldReq = ValidRequest(loc);
    Bytes heldRsp(kBufLen, kUntouched);
    int heldResult = 99;
    std::thread holder(
        [&] { heldResult = loc.invoke(0, LAPI_BLOCK, heldReq.data(), heldRsp.data()); });
    // Releases and joins the holder on every way out of the test.
    struct Join {
        std::thread &t;
        FakeServer &s;
        ~Join() {
            if (t.joinable()) {
                s.Signal("answer");
                t.join();
            }
        }
    } join{holder, Server()};
    ASSERT_TRUE(Server().WaitReceived(conn0, 12 + 40));

    {
        StderrCapture cap;
        Texts expected;
        for (const Row &r : kRows) {
            Bytes req = ValidRequest(r);
            Bytes rsp(kBufLen, kUntouched);
            EXPECT_EQ(r.invoke(0, LAPI_BLOCK, req.data(), rsp.data()), -1) << r.name;
            expected.push_back("Client node is being used, clientId is: 0!");
            expected.push_back("Fail to get client node, " + IdPid(0));
        }
        unsigned char msg[LAPI_ASYNC_MSG_BUF_LEN];
        EXPECT_EQ(LAPI_GetAsyncMsg(0, msg), -1);
        expected.push_back("Client node is being used, clientId is: 0!");
        expected.push_back("Fail to get client node, " + IdPid(0));
        EXPECT_EQ(LAPI_UnregisterClient(0), -1);
        expected.push_back("Client node is being used, clientId is: 0!");
        expected.push_back("Fail to remove client node, " + IdPid(0));
        EXPECT_EQ(ErrorTexts(cap.Lines()), expected);
    }
    // Client 1 is served meanwhile.
    {
        Bytes req = ValidRequest(status);
        Bytes rsp(kBufLen, kUntouched);
        StderrCapture quiet;
        EXPECT_EQ(status.invoke(1, LAPI_BLOCK, req.data(), rsp.data()), 0);
        EXPECT_EQ(Bytes(rsp.begin(), rsp.begin() + 38), Answer(status, 38));
    }
    EXPECT_EQ(Server().Received(conn0).size(), 12u + 40u);  // the refused calls sent nothing
    {
        StderrCapture quiet;
        Server().Signal("answer");
        holder.join();
    }
    EXPECT_EQ(heldResult, 0);
    EXPECT_EQ(Bytes(heldRsp.begin(), heldRsp.begin() + 114), fix);
    EXPECT_TRUE(Idle(0));
}

// The send loop resumes after an interrupted send and the whole request still goes
// out once.
TEST_F(OperationsTest, InterruptedSendIsResumed) {
    const Row &r = RowFor(116);
    int conn = 0;
    ASSERT_EQ(Register(LAPI_SERVICE_MOLR, {}, {}, &conn), 0);
    Bytes req = ValidRequest(r);
    faults::ResetGuard guard;
    StderrCapture cap;
    faults::Reset();
    faults::InterruptNth(Call::Write, 1);
    ASSERT_EQ(r.invoke(0, LAPI_NONBLOCK, req.data(), nullptr), 0);
    EXPECT_EQ(faults::Count(Call::Write), 2);
    EXPECT_EQ(ErrorTexts(cap.Lines()), Texts{});
    ASSERT_TRUE(Server().WaitReceived(conn, 12 + 16));
    EXPECT_EQ(Server().ReceivedMsgs(conn),
              (std::vector<Bytes>{RegisterReq(LAPI_SERVICE_MOLR),
                                  OnTheWire(r, ValidRequest(r), LAPI_NONBLOCK)}));
}

}  // namespace
