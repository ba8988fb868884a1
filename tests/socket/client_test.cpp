// The library against the fake server: registration and every way it unwinds,
// unregistration, each request call from one table, LAPI_GetAsyncMsg, and the
// transport's failures. Every test ends with an empty registry, nothing left to read
// on the server's side, and no descriptor left open.

#include <lapi/lapi.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <tuple>
#include <thread>

#include "LAPI_MsgCatalogue.h"
#include "fake_server.h"
#include "faults.h"
#include "lib_lines.h"

namespace {

using namespace lapitest;
namespace faults = lapitest::faults;
using faults::Call;
using Texts = std::vector<std::string>;

std::string Pid() {
    return " pid=" + std::to_string(getpid());
}

class Client : public ::testing::Test {
  protected:
    void SetUp() override {
        fds_ = OpenFds();
        Restart();
    }
    void TearDown() override {
        faults::Reset();
        Clear();
        EXPECT_EQ(OpenFds(), fds_) << "descriptor left open";
    }
    // A new fake server, its connections numbered from 0 again.
    void Restart() {
        server_.reset();
        server_ = std::make_unique<FakeServer>();
    }
    // No client and no server left.
    void Clear() {
        StderrCapture quiet;
        for (int id = 0; id < LAPI_CLI_MAX_CLIENTS; ++id) {
            LAPI_CLI_DestroyClientNode(id);
        }
        server_.reset();
    }
    int Register(unsigned service = LAPI_SERVICE_MASK) {
        StderrCapture quiet;
        return LAPI_RegisterClient(service);
    }
    // The client's synchronous and asynchronous connections on the server.
    int Sync(int clientIndex) { return server_->Conn(2 * clientIndex); }
    int Async(int clientIndex) { return server_->Conn(2 * clientIndex + 1); }

    std::vector<int> fds_;
    std::unique_ptr<FakeServer> server_;
};

// ---------------------------------------------------------------------------------
// Registration
// ---------------------------------------------------------------------------------

TEST_F(Client, RegistersOverTwoConnectionsAndUnregisters) {
    StderrCapture cap;
    server_->On(0, [&](int fd, int) {  // the registerRsp a byte at a time
        ReadMsg(fd);
        Trickle(fd, Msg("registerRsp globalId=-7" + Pid()));
    });
    EXPECT_EQ(LAPI_RegisterClient(LAPI_SERVICE_MOLR | 0x18), 0);
    EXPECT_EQ(server_->First(1), Msg("getAsyncFdReq globalId=-7" + Pid()));
    EXPECT_EQ(LAPI_GetAsyncSocketFd(0), LAPI_CLI_GetAsyncFd(0));
    const Texts traced{"C->S registerReq", "S->C registerRsp", "C->S getAsyncFdReq",
                       "S->C getAsyncFdRsp"};
    ASSERT_EQ(cap.Lines().size(), traced.size());
    for (size_t i = 0; i < traced.size(); ++i) {
        EXPECT_NE(cap.Lines()[i].find(" : " + traced[i] + " "), std::string::npos);
    }
    ASSERT_EQ(Register(LAPI_SERVICE_STATUS), 1);
    EXPECT_EQ(server_->First(2), Msg("registerReq service=4" + Pid()));
    // Whatever the server answers, unregistering ends the client.
    ASSERT_TRUE(Send(Sync(0), Msg("unregisterRsp")));
    ::shutdown(Sync(1), SHUT_WR);
    EXPECT_EQ(LAPI_UnregisterClient(0), 0);
    EXPECT_EQ(LAPI_UnregisterClient(1), 0);
    EXPECT_EQ(ReadMsg(Sync(0)), Msg("unregisterReq" + Pid()));
    EXPECT_EQ(ReadMsg(Sync(1)), Msg("unregisterReq" + Pid()));
    ASSERT_EQ(Register(), 0);
    ASSERT_TRUE(Send(Sync(2), Msg("getStatusRsp")));
    EXPECT_EQ(LAPI_UnregisterClient(0), 0);
    EXPECT_EQ(Errors(cap), Section("socket/errors.txt", "unregister"));
    EXPECT_EQ(LAPI_CLI_GetClientNodeById(0), nullptr);
}

TEST_F(Client, UnregisterRefusals) {
    ASSERT_EQ(Register(), 0);
    ASSERT_NE(LAPI_CLI_GetClientNodeById(0), nullptr);
    StderrCapture cap;
    for (const int id : {-1, 10, 4, 0}) {
        EXPECT_EQ(LAPI_UnregisterClient(id), -1);
    }
    LAPI_CLI_PutClientNodeById(0);
    EXPECT_EQ(Errors(cap), Section("socket/errors.txt", "unregister-refusals"));
}

// A registration the server answers wrongly closes what it opened and leaves no client
// behind; the cases are in tests/data/socket/registration.txt.
TEST_F(Client, FailedRegistrationUnwinds) {
    std::vector<std::pair<std::string, Texts>> cases;
    for (const std::string &line : DataLines("socket/registration.txt")) {
        line.rfind("> ", 0) == 0 ? cases.push_back({line.substr(2), {}})
                                 : cases.back().second.push_back(WithPid(line));
    }
    for (const auto &[desc, errors] : cases) {
        SCOPED_TRACE(desc);
        Restart();
        std::istringstream words(desc);
        std::string service, word;
        words >> service;
        while (words >> word) {  // conn=I:MSG
            std::replace(word.begin(), word.end(), '+', ' ');
            const size_t colon = word.find(':');
            server_->On(std::stoi(word.substr(5)), [answer = word.substr(colon + 1)](int fd, int) {
                ReadMsg(fd);
                answer == "shut" ? void(::shutdown(fd, SHUT_WR)) : void(Send(fd, Msg(answer)));
            });
        }
        std::optional<StderrCapture> cap(std::in_place);
        EXPECT_EQ(LAPI_RegisterClient(static_cast<unsigned>(std::stoul(service, nullptr, 0))), -1);
        EXPECT_EQ(Errors(*cap), errors);
        EXPECT_EQ(LAPI_CLI_GetAsyncFd(0), -1);
        cap.reset();
        server_.reset();
        EXPECT_EQ(OpenFds(), fds_);
    }
    ASSERT_GT(cases.size(), 6u);
    StderrCapture cap;
    EXPECT_EQ(LAPI_RegisterClient(1), -1);  // no server
    EXPECT_EQ(Errors(cap), Texts{"LAPI_CLI_CreateSocket: Fail to connect, errno is: 2, No such "
                                 "file or directory"});
    server_ = std::make_unique<FakeServer>();
}

TEST_F(Client, EleventhRegistrationIsRefused) {
    for (int i = 0; i < LAPI_CLI_MAX_CLIENTS; ++i) {
        ASSERT_EQ(Register(), i);
    }
    StderrCapture cap;
    EXPECT_EQ(LAPI_RegisterClient(1), -1);
    EXPECT_EQ(Errors(cap), Section("socket/errors.txt", "eleventh"));
}

// ---------------------------------------------------------------------------------
// Request calls
// ---------------------------------------------------------------------------------

template <typename Req, int (*F)(int, unsigned char, Req *, void *)>
int Call4(int id, unsigned char mode, void *req, void *rsp) {
    return F(id, mode, static_cast<Req *>(req), rsp);
}

using Invoke = int (*)(int id, unsigned char mode, void *req, void *rsp);

// clang-format off
const std::map<std::string, Invoke> kCalls{
    {"LAPI_GetLocation", Call4<LAPI_GET_LOCATION_REQ_S, LAPI_GetLocation>},
    {"LAPI_AbortLocationRequest", Call4<LAPI_ABORT_LOCATION_REQ_S, LAPI_AbortLocationRequest>},
    {"LAPI_AbortAllLocationRequest", [](int id, unsigned char, void *, void *) { return LAPI_AbortAllLocationRequest(id); }},
    {"LAPI_GetLastKnownLocation", Call4<LAPI_LAST_KNOWN_LOCATION_REQ_S, LAPI_GetLastKnownLocation>},
    {"LAPI_GetStatus", Call4<LAPI_GET_STATUS_REQ_S, LAPI_GetStatus>},
    {"LAPI_GetGpsDatabaseData", Call4<LAPI_GET_GPS_DB_DATA_REQ_S, LAPI_GetGpsDatabaseData>},
    {"LAPI_SetGpsDatabaseData", Call4<LAPI_SET_GPS_DB_DATA_REQ_S, LAPI_SetGpsDatabaseData>},
    {"LAPI_LocationVerify", [](int id, unsigned char, void *req, void *) { return LAPI_LocationVerify(id, static_cast<LAPI_LOCATION_NOTIFICATION_CFM_S *>(req)); }},
    {"LAPI_CalculateDistanceAzimuth", Call4<LAPI_DISTANCE_AZIMUTH_REQ_S, LAPI_CalculateDistanceAzimuth>},
    {"LAPI_AddProximityListener", Call4<LAPI_ADD_PROXIMITY_REQ_S, LAPI_AddProximityListener>},
    {"LAPI_RemoveProximityListener", Call4<LAPI_REMOVE_PROXIMITY_REQ_S, LAPI_RemoveProximityListener>}};
// clang-format on

// A line of tests/data/socket/requests.txt.
struct Op {
    std::string func;
    Invoke call;
    unsigned service;
    std::string req, rsp, sendText, recvText;
};

std::vector<Op> Ops() {
    std::vector<Op> ops;
    for (const std::string &line : DataLines("socket/requests.txt")) {
        std::vector<std::string> f;
        for (size_t at = 0, bar; at != std::string::npos; at = bar == line.npos ? bar : bar + 3) {
            bar = line.find(" | ", at);
            f.push_back(line.substr(at, bar - at));
        }
        ops.push_back({f[0], kCalls.at(f[0]), static_cast<unsigned>(std::stoul(f[1])), f[2], f[3],
                       f[4], f[5]});
    }
    return ops;
}

const char *ServiceName(unsigned service) {
    return service == LAPI_SERVICE_MOLR   ? "LAPI_SERVICE_MOLR"
           : service == LAPI_SERVICE_MTLR ? "LAPI_SERVICE_MTLR"
                                          : "LAPI_SERVICE_STATUS";
}

int Pending(int fd) {
    int n = -1;
    ::ioctl(fd, FIONREAD, &n);
    return n;
}

// Each call on a client of all services: BLOCK and NONBLOCK exchanges with exactly the
// request's bytes on the wire, bad arguments, a
// client without the call's service, and the failures that destroy a client: an answer
// one byte over the limit, a server gone before the answer or the send (no SIGPIPE).
TEST_F(Client, EveryRequestCall) {
    const std::vector<Op> ops = Ops();
    ASSERT_EQ(ops.size(), kCalls.size());
    for (const Op &op : ops) {
        SCOPED_TRACE(op.func);
        Restart();
        const lapi::cat::Msg &cat = *lapi::cat::Find(MsgIdOf(Msg(op.req)));
        const auto wire = [&](unsigned mode) {
            return Msg(op.req + Pid() + (cat.hasMode ? " mode=" + std::to_string(mode) : ""));
        };
        Bytes req = Msg(op.req);
        req.resize(300, 0x5a);
        Bytes rsp(300, 0xee);
        const auto call = [&](int id, unsigned char mode, bool withRsp = true) {
            std::fill(req.begin(), req.begin() + (cat.hasMode ? 10 : 8), 0xee);
            return op.call(id, mode, req.data(), withRsp ? rsp.data() : nullptr);
        };
        const std::string func = op.func + ": ";
        const std::string ids = ", clientId: 0, pid is: {pid}!";
        const Texts gone{"LAPI_CLI_GetClientNodeById: Client node not exist, clientId is: 0!",
                         func + "Fail to get client node" + ids};
        StderrCapture cap;
        ASSERT_EQ(Register(), 0);
        ASSERT_EQ(Register(LAPI_SERVICE_MASK & ~op.service), 1);
        const int sync = Sync(0);
        Texts want;
        if (cat.hasMode) {
            Bytes answer = Msg(op.rsp);
            ASSERT_TRUE(Send(sync, answer));
            EXPECT_EQ(call(0, LAPI_BLOCK), 0);
            EXPECT_EQ(ReadMsg(sync), wire(LAPI_BLOCK));
            EXPECT_EQ(Bytes(req.begin(), req.begin() + cat.recordSize), wire(LAPI_BLOCK));
            answer.resize(300, 0xee);
            EXPECT_EQ(rsp, answer);
            EXPECT_EQ(call(0, 2), -1);
            EXPECT_EQ(op.call(0, LAPI_NONBLOCK, nullptr, nullptr), -1);
            EXPECT_EQ(call(0, LAPI_BLOCK, false), -1);
            const std::string bad = func + "Invalid parameter! clientId: ";
            want = {"LAPI_CLI_IsValidParameter: Invalid mode: 2!",
                    bad + "0, pid is: {pid}!",
                    "LAPI_CLI_IsValidParameter: Invalid pReq == NULL!",
                    bad + "0, pid is: {pid}!",
                    "LAPI_CLI_IsValidParameter: Invalid (mode == LAPI_BLOCK) && (pRsp == NULL)!",
                    bad + "0, pid is: {pid}!",
                    "LAPI_CLI_IsValidParameter: Invalid clientId: 10!",
                    bad + "10, pid is: {pid}!"};
        } else {
            want = {func + "Invalid clientId: 10, pid is: {pid}!"};
        }
        EXPECT_EQ(call(10, LAPI_NONBLOCK), -1);
        EXPECT_EQ(call(1, LAPI_NONBLOCK), -1);
        want.push_back(func + "Not register " + ServiceName(op.service) +
                       " service, clientId: 1, pid is: {pid}!");
        // NONBLOCK sends once and leaves a waiting message unread.
        ASSERT_TRUE(Send(sync, Msg("timeOutRsp")));
        EXPECT_EQ(call(0, LAPI_NONBLOCK, false), 0);
        EXPECT_EQ(ReadMsg(sync), wire(LAPI_NONBLOCK));
        EXPECT_EQ(Pending(sync) + Pending(Sync(1)), 0);
        EXPECT_EQ(LAPI_CLI_DestroyClientNode(1), 0);  // left idle
        int next = 0;
        if (cat.hasMode) {  // one byte over the limit; the server gone before the answer
            Bytes over = Msg(op.rsp + " msgLen=" + std::to_string(Msg(op.rsp).size() - 7));
            over.push_back(0);
            ASSERT_TRUE(Send(sync, over));
            EXPECT_EQ(call(0, LAPI_BLOCK), 0);  // the message NONBLOCK left waiting
            EXPECT_EQ(NameOf(rsp), "timeOutRsp");
            EXPECT_EQ(call(0, LAPI_BLOCK), -1);
            EXPECT_EQ(call(0, LAPI_BLOCK), -1);
            want.insert(want.end(),
                        {"LAPI_CLI_RecvMsg: bufLen : " + std::to_string(over.size() - 9) +
                             " < pMsgHeader->msgLen : " + std::to_string(over.size() - 8) + "!",
                         func + op.recvText + ids});
            want.insert(want.end(), gone.begin(), gone.end());
            ASSERT_EQ(Register(), 0);
            ::shutdown(Sync(2), SHUT_WR);
            EXPECT_EQ(call(0, LAPI_BLOCK), -1);
            EXPECT_EQ(ReadMsg(Sync(2)), wire(LAPI_BLOCK));
            want.insert(want.end(),
                        {"LAPI_CLI_RecvMsg: Socket Disconnection!", func + op.recvText + ids});
            ASSERT_EQ(Register(), 0);
            next = 3;
        }
        ::shutdown(Sync(next), SHUT_RDWR);
        EXPECT_EQ(call(0, LAPI_NONBLOCK), -1);
        EXPECT_EQ(call(0, LAPI_NONBLOCK), -1);
        want.insert(want.end(),
                    {"LAPI_CLI_SendMsg: Fail to write socket, errno is: 32, Broken pipe",
                     func + op.sendText + ids});
        want.insert(want.end(), gone.begin(), gone.end());
        EXPECT_EQ(Errors(cap), WithPid(want));
    }
}

// The checks of a call's own request run after the arguments' and before the client
// is borrowed; the first that fails is the only one reported.
TEST_F(Client, RequestChecks) {
    ASSERT_EQ(Register(), 0);
    Bytes rsp(300);
    const auto loc = [&](const std::string &fields, unsigned char mode, int id = 0) {
        Bytes req = Msg("getLocationReq " + fields);
        return LAPI_GetLocation(id, mode, reinterpret_cast<LAPI_GET_LOCATION_REQ_S *>(req.data()),
                                rsp.data());
    };
    const auto set = [&](const std::string &fields) {
        Bytes req = Msg("setGpsDbDataReq " + fields);
        return LAPI_SetGpsDatabaseData(
            0, LAPI_NONBLOCK, reinterpret_cast<LAPI_SET_GPS_DB_DATA_REQ_S *>(req.data()), nullptr);
    };
    StderrCapture cap;
    EXPECT_EQ(loc("reportCriteria=1 responseTime=-1", LAPI_BLOCK), -1);
    EXPECT_EQ(loc("responseTime=-1", LAPI_NONBLOCK), -1);
    EXPECT_EQ(loc("reportCriteria=1 responseTime=-1", LAPI_BLOCK, 10), -1);
    EXPECT_EQ(set("numFiles=0"), -1);
    EXPECT_EQ(set("dbFile=1:01,2:02 numFiles=23"), -1);
    EXPECT_EQ(set("dbFile=1:01,2:02,3:,4:04"), -1);
    EXPECT_EQ(set("dbFile=1:01,2:0102030405"), -1);
    EXPECT_EQ(LAPI_LocationVerify(0, nullptr), -1);
    EXPECT_EQ(Pending(Sync(0)), 0);
    EXPECT_EQ(loc("reportCriteria=1 responseTime=0", LAPI_NONBLOCK), 0);
    EXPECT_EQ(set("dbFile=1:01,2:, numFiles=1"), 0);  // only the first numFiles count
    EXPECT_EQ(ReadMsg(Sync(0)), Msg("getLocationReq reportCriteria=1" + Pid()));
    EXPECT_EQ(NameOf(*ReadMsg(Sync(0))), "setGpsDbDataReq");
    EXPECT_EQ(Errors(cap), Section("socket/errors.txt", "request-checks"));
    EXPECT_NE(LAPI_CLI_GetClientNodeById(0), nullptr);  // never left busy
    LAPI_CLI_PutClientNodeById(0);
}

// A BLOCK call holds its client until the answer: other calls on it are refused at once,
// calls on another client go ahead.
TEST_F(Client, BusyClientRefusesOtherCalls) {
    ASSERT_EQ(Register(), 0);
    ASSERT_EQ(Register(), 1);
    Bytes req = Msg("getStatusReq");
    Bytes rsp(300);
    auto *status = reinterpret_cast<LAPI_GET_STATUS_REQ_S *>(req.data());
    std::thread blocked([&] { EXPECT_EQ(LAPI_GetStatus(0, LAPI_BLOCK, status, rsp.data()), 0); });
    ASSERT_TRUE(ReadMsg(Sync(0)));  // sent: the client is borrowed
    StderrCapture cap;
    Bytes req2 = Msg("getStatusReq");
    auto *status2 = reinterpret_cast<LAPI_GET_STATUS_REQ_S *>(req2.data());
    EXPECT_EQ(LAPI_GetStatus(0, LAPI_NONBLOCK, status2, nullptr), -1);
    EXPECT_EQ(LAPI_GetAsyncMsg(0, rsp.data() + 100), -1);
    EXPECT_EQ(LAPI_UnregisterClient(0), -1);
    EXPECT_EQ(LAPI_GetAsyncSocketFd(0), LAPI_CLI_GetAsyncFd(0));
    EXPECT_EQ(LAPI_GetStatus(1, LAPI_NONBLOCK, status2, nullptr), 0);
    ASSERT_TRUE(Send(Sync(0), Msg("getStatusRsp")));
    blocked.join();
    EXPECT_EQ(ReadMsg(Sync(1)), Msg("getStatusReq mode=0" + Pid()));
    EXPECT_EQ(Errors(cap), Section("socket/errors.txt", "busy"));
}

// ---------------------------------------------------------------------------------
// LAPI_GetAsyncMsg
// ---------------------------------------------------------------------------------

TEST_F(Client, AsyncMessages) {
    ASSERT_EQ(Register(), 0);
    const int async = Async(0);
    const int fd = LAPI_GetAsyncSocketFd(0);
    Bytes buf(300, 0xee);
    const auto get = [&](int id = 0) { return LAPI_GetAsyncMsg(id, buf.data()); };
    const auto got = [&](Bytes m) {
        m.resize(300, 0xee);
        const bool same = buf == m;
        std::fill(buf.begin(), buf.end(), 0xee);
        return same;
    };
    StderrCapture cap;
    EXPECT_EQ(get(-1), -1);
    EXPECT_EQ(get(10), -1);
    EXPECT_EQ(LAPI_GetAsyncMsg(0, nullptr), -1);
    EXPECT_EQ(get(4), -1);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    EXPECT_EQ(get(), -1);  // nothing pending: the client stays, the descriptor blocks
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    const Bytes ind = Msg("statusChangeInd sessionId=9 hwStatus=-3");
    const Bytes hit = Msg("proximityHitInd latitude=1.25");
    ASSERT_TRUE(Send(async, ind) && Send(async, hit));
    EXPECT_EQ(get(), 0);
    EXPECT_TRUE(got(ind));
    EXPECT_EQ(get(), 0);
    EXPECT_TRUE(got(hit));
    Bytes largest = Msg("unregisterRsp pid=41 msgLen=248");
    largest.resize(256, 0x61);
    largest[4] = 77;
    ASSERT_TRUE(Send(async, Bytes{largest[0]}));
    std::thread trickle([&] {
        WaitUntil([&] { return Unread(async) == 0; });
        Trickle(async, Bytes(largest.begin() + 1, largest.end()));
    });
    EXPECT_EQ(get(), 0);  // waits for the rest once the first byte is there
    trickle.join();
    EXPECT_TRUE(got(largest));
    EXPECT_EQ(Errors(cap), Section("socket/errors.txt", "async"));
    EXPECT_EQ(Norm(cap.Lines())[0], WithPid("{4} LAPI_CLI_Api.cpp:#, LAPI_GetAsyncMsg()\tLAPI CLI "
                                            ": Enter into LAPI_GetAsyncMsg() clientId: -1, pid "
                                            "is: {pid}!"));
}

// What ends a client on its asynchronous connection, and what does not.
TEST_F(Client, AsyncFailures) {
    const std::string fail =
        "LAPI_GetAsyncMsg: Fail to receive async msg, clientId: 0, pid is: {pid}!";
    Bytes over = Msg("unregisterRsp msgLen=249");
    over.resize(8 + 249);
    struct Row {
        std::function<void(int async)> act;
        Texts errors;
        bool destroyed;
    };
    const Row rows[] = {
        {[&](int a) { Send(a, over); },
         {"LAPI_CLI_RecvMsg: bufLen : 248 < pMsgHeader->msgLen : 249!", fail},
         true},
        {[](int a) { ::shutdown(a, SHUT_WR); },
         {"LAPI_CLI_RecvMsg: Socket Disconnection!", fail},
         true},
        {[](int a) {
             Send(a, Msg("timeOutRsp"));
             ::shutdown(a, SHUT_WR);
         },
         {},
         false},
        {[](int a) {
             Bytes cut = Msg("timeOutRsp");  // the end of the stream within the body
             cut.resize(9);
             Send(a, cut);
             ::shutdown(a, SHUT_WR);
         },
         {"LAPI_CLI_RecvMsg: Socket Disconnection!", fail},
         true},
        {[](int) { LAPI_CloseFd(LAPI_GetAsyncSocketFd(0)); },
         {"LAPI_GetAsyncMsg: Fail to set block fd, errno is: 9, Bad file descriptor, clientId: 0, "
          "pid is: {pid}!",
          "LAPI_GetAsyncMsg: Fail to select, errno is: 9, Bad file descriptor"},
         false},
    };
    for (const Row &r : rows) {
        Restart();
        ASSERT_EQ(Register(), 0);
        Bytes buf(300);
        StderrCapture cap;
        r.act(Async(0));
        EXPECT_EQ(LAPI_GetAsyncMsg(0, buf.data()), r.errors.empty() ? 0 : -1);
        EXPECT_EQ(Errors(cap), WithPid(r.errors));
        EXPECT_EQ(LAPI_CLI_DestroyClientNode(0), r.destroyed ? -1 : 0);
    }
}

// Closing retries after EAGAIN only: after EINTR Linux has released the descriptor.
TEST(Descriptors, CloseFdAndSetFdBlock) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    ASSERT_EQ(::fcntl(p[1], F_SETFL, O_APPEND), 0);
    faults::InterruptNth(Call::Close, 1);
    LAPI_CloseFd(p[0]);
    LAPI_CloseFd(-1);
    EXPECT_EQ(faults::Count(Call::Close), 1);
    faults::Reset();
    EXPECT_EQ(LAPI_SetFdBlock(p[1], 0), 0);
    EXPECT_EQ(::fcntl(p[1], F_GETFL) & (O_NONBLOCK | O_APPEND), O_NONBLOCK | O_APPEND);
    EXPECT_EQ(LAPI_SetFdBlock(p[1], 2), 0);
    EXPECT_EQ(::fcntl(p[1], F_GETFL) & (O_NONBLOCK | O_APPEND), O_APPEND);
    LAPI_CloseFd(p[1]);
    EXPECT_EQ(LAPI_SetFdBlock(p[1], 1), -1);
}

// ---------------------------------------------------------------------------------
// Fault sweep
// ---------------------------------------------------------------------------------

// Every public call fails its 1st, 2nd, ... wrapped system call of each kind in turn, with
// EINTR, EAGAIN and EIO (malloc: ENOMEM), until it runs untouched. An interrupted read,
// write or poll is resumed without a line, and a failed close is not reported (the
// descriptor is released, or closed again after EAGAIN). Any other failure makes the
// call return -1 (LAPI_UnregisterClient 0; LAPI_GetAsyncMsg goes on after fcntl) and is
// reported once: one line with its cause, at most one more from the public call. After
// each, no descriptor is left open and a registration and unregistration work.
TEST_F(Client, FaultSweep) {
    Bytes req, rsp(300);
    // The call, and what the server has sent to the registered client 0 before it (no
    // setup: nobody registered).
    std::vector<std::tuple<std::string, std::function<void()>, std::function<int()>>> cases{
        {"LAPI_RegisterClient", nullptr, [] { return LAPI_RegisterClient(LAPI_SERVICE_MASK); }},
        {"LAPI_UnregisterClient", [&] { Send(Sync(0), Msg("unregisterRsp")); },
         [] { return LAPI_UnregisterClient(0); }},
        {"LAPI_GetAsyncMsg", [&] { Send(Async(0), Msg("timeOutRsp")); },
         [&] { return LAPI_GetAsyncMsg(0, rsp.data()); }},
        {"LAPI_GetAsyncSocketFd", [] {}, [] { return LAPI_GetAsyncSocketFd(0) < 0 ? -1 : 0; }}};
    for (const Op &op : Ops()) {
        for (const uint8_t mode : {uint8_t{LAPI_BLOCK}, uint8_t{LAPI_NONBLOCK}}) {
            if (mode == LAPI_NONBLOCK || op.rsp != "-") {
                cases.emplace_back(
                    op.func, [&, op] { Send(Sync(0), op.rsp == "-" ? Bytes{} : Msg(op.rsp)); },
                    [&, op, mode] {
                        req = Msg(op.req);
                        req.resize(300);
                        return op.call(0, mode, req.data(), rsp.data());
                    });
            }
        }
    }
    int injected = 0;
    for (const auto &[func, setup, call] : cases) {
        for (int kind = 0; kind <= static_cast<int>(Call::Poll); ++kind) {
            const auto k = static_cast<Call>(kind);
            for (const int err :
                 k == Call::Malloc ? std::vector{ENOMEM} : std::vector{EINTR, EAGAIN, EIO}) {
                for (int n = 1, fired = 1; fired != 0; ++n) {
                    SCOPED_TRACE(func + ": call " + std::to_string(n) + " of kind " +
                                 std::to_string(kind) + ", errno " + std::to_string(err));
                    Restart();
                    if (setup) {
                        ASSERT_EQ(Register(), 0);
                        setup();
                    }
                    std::optional<StderrCapture> cap(std::in_place);
                    faults::FailNth(k, n, err);
                    const int armed = faults::Count(k), result = call();
                    fired = faults::Count(k) - armed >= n ? 1 : 0;
                    faults::Reset();
                    const Texts lines = Errors(*cap);
                    const bool quiet =
                        !fired || k == Call::Close ||
                        (err == EINTR && (k == Call::Read || k == Call::Write || k == Call::Poll));
                    const std::string cause =
                        k == Call::Malloc
                            ? "no memory"
                            : "errno is: " + std::to_string(err) + ", " + std::strerror(err);
                    const auto causes = std::count_if(
                        lines.begin(), lines.end(),
                        [&](const std::string &l) { return l.find(cause) != l.npos; });
                    EXPECT_EQ(result, quiet || func == "LAPI_UnregisterClient" ||
                                              (k == Call::Fcntl && func == "LAPI_GetAsyncMsg")
                                          ? 0
                                          : -1);
                    EXPECT_TRUE(quiet ? lines.empty()
                                      : causes == 1 && (lines.size() == 1 ||
                                                        (lines.size() == 2 &&
                                                         lines[1].rfind(func + ": ", 0) == 0)))
                        << ::testing::PrintToString(lines);
                    injected += fired;
                    Restart();
                    cap.emplace();
                    const int id = LAPI_RegisterClient(LAPI_SERVICE_MASK);
                    Send(server_->Conn(0), Msg("unregisterRsp"));
                    EXPECT_TRUE(id >= 0 && LAPI_UnregisterClient(id) == 0 && Errors(*cap).empty());
                    cap.reset();
                    Clear();
                    ASSERT_EQ(OpenFds(), fds_) << "descriptor left open";
                }
            }
        }
    }
    std::printf("fault sweep: %d failures injected over %zu calls\n", injected, cases.size());
    EXPECT_GE(injected, 150);
}

}  // namespace
