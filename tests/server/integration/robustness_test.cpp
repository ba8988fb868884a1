// Peers that misbehave: garbage bytes, half a header and then silence, a flood of
// idle connections, a client that never reads what the server pushes, and a client
// process killed with sessions, listeners and a pending notification. In every case
// lapid keeps serving a well-behaved client.

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>

#include "itest_fixture.h"

namespace lapid_itest {
namespace {

constexpr int kWaitMs = 5000;

class RobustnessTest : public LapidTest {
  protected:
    // The well-behaved client is served: a LAPI_BLOCK and a LAPI_NONBLOCK round trip.
    void ExpectServed(LibClient &c) {
        ASSERT_TRUE(server_->Alive()) << "lapid died\n" << server_->Log();
        LAPI_GET_STATUS_REQ_S req{};
        req.transactionId = ++tid_;
        auto rsp = c.Exchange(LAPI_BLOCK, LAPI_GetStatus, req);
        ASSERT_TRUE(rsp);
        EXPECT_EQ(rsp->Id(), LAPI_MSG_GET_STATUS_RSP);
        req.transactionId = ++tid_;
        rsp = c.Exchange(LAPI_NONBLOCK, LAPI_GetStatus, req);
        ASSERT_TRUE(rsp);
        EXPECT_EQ(rsp->Id(), LAPI_MSG_GET_STATUS_RSP);
    }

    int32_t ProximityStatus(LibClient &c) {
        LAPI_GET_STATUS_REQ_S req{};
        const auto rsp = c.Exchange(LAPI_BLOCK, LAPI_GetStatus, req);
        EXPECT_TRUE(rsp && rsp->Id() == LAPI_MSG_GET_STATUS_RSP);
        return rsp ? rsp->As<LAPI_GET_STATUS_RSP_S>().proximityStatus : -1;
    }

    uint8_t tid_ = 0;
};

Bytes SeededBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (uint8_t &x : b) {
        x = static_cast<uint8_t>(gen());
    }
    return b;
}

// Random bytes whose first header claims a body longer than any message.
Bytes GarbageWithLongLength(size_t n, uint32_t seed) {
    Bytes b = SeededBytes(n, seed);
    b[6] = 0xFF;
    b[7] = static_cast<uint8_t>(b[7] | 0x80);
    return b;
}

TEST_F(RobustnessTest, GarbageBytesCloseOnlyThatConnection) {
    LibClient good(LAPI_SERVICE_MOLR | LAPI_SERVICE_STATUS);
    ASSERT_TRUE(good.Ok());
    ExpectServed(good);

    const std::string http = "GET / HTTP/1.1\r\nHost: lapid\r\n\r\n";
    struct Case {
        const char *name;
        Bytes bytes;
    };
    for (const Case &k : {Case{"an HTTP request", Bytes(http.begin(), http.end())},
                          Case{"random bytes", GarbageWithLongLength(512, 1)},
                          Case{"64 bytes 0xFF", Bytes(64, 0xFF)}}) {
        SCOPED_TRACE(k.name);
        ASSERT_GT(MsgLenOf(k.bytes), 248) << "the garbage must not frame as a message";
        Fd fd = ConnectService();
        ASSERT_TRUE(fd.Valid());
        ASSERT_TRUE(SendBytes(fd.Get(), k.bytes));
        EXPECT_TRUE(WaitClosed(fd.Get(), kWaitMs)) << "connection kept after garbage";
        ExpectServed(good);
    }

    // Garbage on a registered client's sync connection ends that client.
    RawClient victim;
    std::string why;
    ASSERT_TRUE(victim.Register(LAPI_SERVICE_MOLR, &why)) << why;
    ASSERT_TRUE(SendBytes(victim.sync.Get(), GarbageWithLongLength(300, 2)));
    EXPECT_TRUE(WaitClosed(victim.sync.Get(), kWaitMs));
    EXPECT_TRUE(WaitClosed(victim.async.Get(), kWaitMs));
    EXPECT_FALSE(FindClientById(Clients(), victim.globalId));
    ExpectServed(good);
    EXPECT_TRUE(FindClientById(Clients(), good.GlobalId()));
}

TEST_F(RobustnessTest, HalfHeaderThenSilence) {
    Launch({"--register-timeout", "1", "--ttff", "1"});
    LibClient good(LAPI_SERVICE_MOLR | LAPI_SERVICE_STATUS);
    ASSERT_TRUE(good.Ok());

    // Three bytes of a header on a fresh connection, and on a registered client's
    // sync connection.
    Fd stranger = ConnectService();
    ASSERT_TRUE(stranger.Valid());
    ASSERT_TRUE(SendBytes(stranger.Get(), Bytes{0x01, 0x00, 0x00}));
    RawClient slow;
    std::string why;
    ASSERT_TRUE(slow.Register(LAPI_SERVICE_STATUS, &why)) << why;
    LAPI_GET_STATUS_REQ_S req{};
    req.mode = LAPI_BLOCK;
    req.transactionId = 77;
    const Bytes whole = RequestBytes(req, LAPI_MSG_GET_STATUS_REQ);
    ASSERT_TRUE(SendBytes(slow.sync.Get(), whole.data(), 3));

    // The server goes on serving while both wait, past the registration timeout.
    const Stopwatch sw;
    while (sw.ElapsedMs() < 2500) {
        ExpectServed(good);
        if (HasFatalFailure()) {
            return;
        }
        SleepMs(100);
    }
    const bool strangerClosed = WaitClosed(stranger.Get(), 1000);
    RecordProperty("half_header_connection_closed", strangerClosed ? "yes" : "no");

    // The registered client's request completes where it stopped.
    ASSERT_TRUE(SendBytes(slow.sync.Get(), whole.data() + 3, whole.size() - 3));
    Bytes rsp;
    ASSERT_EQ(RecvMessage(slow.sync.Get(), &rsp, kWaitMs), RecvResult::kMessage);
    EXPECT_EQ(MsgIdOf(rsp), LAPI_MSG_GET_STATUS_RSP);
    EXPECT_EQ(rsp[9], 77);
    ExpectServed(good);
}

TEST_F(RobustnessTest, IdleFloodOfAThousandConnections) {
    constexpr int kFlood = 1000;
    ASSERT_GE(RaiseFdLimit(kFlood + 256), kFlood + 64) << "descriptor limit too low";
    Launch({"--register-timeout", "60", "--ttff", "1"});
    LibClient good(LAPI_SERVICE_MOLR | LAPI_SERVICE_STATUS);
    ASSERT_TRUE(good.Ok());
    const int64_t before = Counters()["connections"];

    std::vector<Fd> flood;
    flood.reserve(kFlood);
    const Stopwatch sw;
    while (static_cast<int>(flood.size()) < kFlood && sw.ElapsedMs() < 20000) {
        Fd fd = ConnectService(true);
        if (fd.Valid()) {
            flood.push_back(std::move(fd));
        } else {
            // A full listen queue: give the server a moment to accept.
            ASSERT_EQ(errno, EAGAIN) << std::strerror(errno);
            SleepMs(5);
        }
    }
    ASSERT_EQ(static_cast<int>(flood.size()), kFlood) << "connections refused";

    // All of them accepted, none dropped, and the registered client is served.
    int64_t seen = 0;
    for (int i = 0; i < 100 && seen < before + kFlood; ++i) {
        seen = Counters()["connections"];
        SleepMs(100);
    }
    EXPECT_GE(seen, before + kFlood) << "the server did not accept them all";
    ExpectServed(good);
    LibClient late(LAPI_SERVICE_STATUS);
    ASSERT_TRUE(late.Ok()) << "no registration while the flood is open";
    ExpectServed(late);
    int dropped = 0;
    for (const Fd &fd : flood) {
        pollfd pfd{fd.Get(), POLLIN, 0};
        dropped += ::poll(&pfd, 1, 0) > 0 ? 1 : 0;
    }
    EXPECT_EQ(dropped, 0) << "idle connections closed by the server";

    flood.clear();
    ExpectServed(good);
    EXPECT_TRUE(FindClientById(Clients(), good.GlobalId()));
}

TEST_F(RobustnessTest, ClientThatNeverReadsIsDisconnected) {
    Launch({"--max-backlog", "4096", "--ttff", "1"});
    LibClient good(LAPI_SERVICE_MOLR | LAPI_SERVICE_STATUS);
    ASSERT_TRUE(good.Ok());
    LAPI_GET_LOCATION_REQ_S periodic{};
    periodic.sessionId = 200;
    periodic.interval = 1;
    periodic.reportCriteria = LAPI_REPORT_PERIODIC;
    ASSERT_EQ(LAPI_GetLocation(good.Id(), LAPI_NONBLOCK, &periodic, nullptr), 0);
    const int64_t before = Counters()["disconnects_slow_reader"];

    // The slow client asks for periodic reports and a stream of LAPI_NONBLOCK
    // database reads (236-byte answers), and never reads its async connection.
    RawClient slow;
    std::string why;
    ASSERT_TRUE(slow.Register(LAPI_SERVICE_MOLR | LAPI_SERVICE_STATUS, &why)) << why;
    for (uint8_t sid = 1; sid <= 8; ++sid) {
        LAPI_GET_LOCATION_REQ_S req{};
        req.sessionId = sid;
        req.interval = 1;
        req.reportCriteria = LAPI_REPORT_PERIODIC;
        ASSERT_TRUE(SendBytes(slow.sync.Get(), RequestBytes(req, LAPI_MSG_GET_LOCATION_REQ)));
    }
    LAPI_GET_GPS_DB_DATA_REQ_S read{};
    read.fileId = 1;
    const Bytes one = RequestBytes(read, LAPI_MSG_GET_GPS_DB_DATA_REQ);
    Bytes batch;
    for (int i = 0; i < 200; ++i) {
        batch.insert(batch.end(), one.begin(), one.end());
    }
    bool gone = false;
    for (int i = 0; i < 40 && !gone; ++i) {
        gone = !SendBytes(slow.sync.Get(), batch, 2000);
        if (!gone) {
            gone = !FindClientById(Clients(), slow.globalId);
        }
    }
    for (int i = 0; i < 200 && !gone; ++i) {
        gone = !FindClientById(Clients(), slow.globalId);
        SleepMs(100);
    }
    EXPECT_TRUE(gone) << "the slow reader is still registered";
    EXPECT_TRUE(WaitClosed(slow.sync.Get(), kWaitMs));
    EXPECT_EQ(Counters()["disconnects_slow_reader"], before + 1);

    // The other client lost nothing: its reports keep coming and it is served.
    good.ReadAvailable();
    const auto rep = good.WaitFor(
        [](const Msg &m) { return m.Id() == LAPI_MSG_GET_LOCATION_RSP && m.SessionId() == 200; },
        kWaitMs);
    EXPECT_TRUE(rep) << "the well-behaved client's reports stopped";
    ExpectServed(good);
}

// The child's part: registers, holds two periodic sessions and two proximity
// listeners, says so on the pipe and waits to be killed. Never returns.
[[noreturn]] void HoldResourcesUntilKilled(int readyFd) {
    const int id = LAPI_RegisterClient(LAPI_SERVICE_MOLR | LAPI_SERVICE_MTLR | LAPI_SERVICE_STATUS);
    bool ok = id >= 0;
    for (uint8_t sid = 1; ok && sid <= 2; ++sid) {
        LAPI_GET_LOCATION_REQ_S req{};
        req.sessionId = sid;
        req.interval = 1;
        req.reportCriteria = LAPI_REPORT_PERIODIC;
        ok = LAPI_GetLocation(id, LAPI_NONBLOCK, &req, nullptr) == 0;
    }
    for (int i = 0; ok && i < 2; ++i) {
        LAPI_ADD_PROXIMITY_REQ_S add{};
        add.latitude = 10.0 + i;
        add.longitude = 10.0;
        add.radius = 50;
        LAPI_ADD_PROXIMITY_RSP_S rsp{};
        ok = LAPI_AddProximityListener(id, LAPI_BLOCK, &add, &rsp) == 0 &&
             rsp.header.msgId == LAPI_MSG_ADD_PROXIMITY_RSP && rsp.status == 0;
    }
    const char verdict = ok ? 'R' : 'F';
    if (::write(readyFd, &verdict, 1) != 1) {
        ::_exit(2);
    }
    for (;;) {
        ::pause();
    }
}

TEST_F(RobustnessTest, KilledClientProcessIsReleased) {
    LibClient good(LAPI_SERVICE_MOLR | LAPI_SERVICE_STATUS);
    ASSERT_TRUE(good.Ok());
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    Fd readEnd(pipeFds[0]);
    Fd writeEnd(pipeFds[1]);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        readEnd.Release();
        HoldResourcesUntilKilled(writeEnd.Get());
    }
    // From here on the child is ours to kill, whatever happens.
    struct Reaper {
        pid_t pid;
        ~Reaper() {
            if (pid > 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
    } reaper{child};
    writeEnd.Reset();

    pollfd pfd{readEnd.Get(), POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 15000), 1) << "the child did not get ready";
    char verdict = 0;
    ASSERT_EQ(::read(readEnd.Get(), &verdict, 1), 1);
    ASSERT_EQ(verdict, 'R') << "the child could not set up its sessions and listeners";

    const int64_t requestId = ParseRequestId(Ctl("mtlr 1 name=killed timeout=60"));
    ASSERT_GE(requestId, 0);
    ClientLine held;
    for (int i = 0; i < 50 && held.pending != 1; ++i) {
        held = ClientByPid(child);
        SleepMs(50);
    }
    EXPECT_EQ(Val(held.sessions), 2);
    EXPECT_EQ(Val(held.listeners), 2);
    EXPECT_EQ(Val(held.pending), 1);
    EXPECT_TRUE(Val(held.async));
    const auto countersBefore = Counters();
    EXPECT_EQ(ProximityStatus(good), 1) << "the child's listeners are active";

    ASSERT_EQ(::kill(child, SIGKILL), 0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    reaper.pid = -1;

    bool released = false;
    for (int i = 0; i < 100 && !released; ++i) {
        released = !FindClientByPid(Clients(), child);
        SleepMs(50);
    }
    EXPECT_TRUE(released) << "the killed client is still listed";
    // Everything it held is gone from the totals too (the other client holds nothing).
    auto after = Counters();
    EXPECT_EQ(after["clients"], countersBefore.at("clients") - 1);
    EXPECT_EQ(after["connections"], countersBefore.at("connections") - 2);
    EXPECT_EQ(after["clients_released"], countersBefore.at("clients_released") + 1);
    EXPECT_EQ(countersBefore.at("sessions"), 2);
    EXPECT_EQ(countersBefore.at("listeners"), 2);
    EXPECT_EQ(countersBefore.at("pending_notifications"), 1);
    EXPECT_EQ(after["sessions"], 0);
    EXPECT_EQ(after["listeners"], 0);
    EXPECT_EQ(after["pending_notifications"], 0);
    // Its notification closed with it; as the only notified client it settles the
    // request at once with the default of a verify-allow request.
    EXPECT_EQ(ProximityStatus(good), 0) << "listeners of the killed client still count";
    const auto r = ParseMtlrResult(Ctl("mtlr-result " + std::to_string(requestId)));
    ASSERT_TRUE(r);
    EXPECT_EQ(Val(r->state), "allowed-by-default");
    ExpectServed(good);
}

}  // namespace
}  // namespace lapid_itest
