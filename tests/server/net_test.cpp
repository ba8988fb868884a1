// The event loop, listening sockets and NetServer over real sockets in a temporary folder.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "transport/event_loop.h"
#include "transport/net_server.h"
#include "transport/unix_socket.h"
#include "protocol/log_batch.h"
#include "testkit.h"

namespace {

using namespace lapid;
using lapitest::Msg;

TEST(EventLoop, HandlersUnwatchAndTimersStepThroughEveryDeadline) {
    ManualClock clock;
    EventLoop loop(clock);
    int a[2], b[2];
    ASSERT_EQ(::pipe(a), 0);
    ASSERT_EQ(::pipe(b), 0);
    int calls = 0;
    // Both are readable in one wait; the first handler to run unwatches the other.
    loop.Watch(a[0], EPOLLIN, [&](uint32_t) { ++calls, loop.Unwatch(b[0]), loop.Unwatch(a[0]); });
    loop.Watch(b[0], EPOLLIN, [&](uint32_t) { ++calls, loop.Unwatch(a[0]), loop.Unwatch(b[0]); });
    ASSERT_EQ(::write(a[1], "x", 1), 1);
    ASSERT_EQ(::write(b[1], "x", 1), 1);
    EXPECT_EQ(loop.RunOnce(1000), 2);
    EXPECT_EQ(calls, 1);
    // Descriptor 0 is a descriptor like any other (a server started with stdin closed).
    const int savedStdin = ::dup(0);
    ::dup2(a[1], 0);
    EXPECT_TRUE(loop.Watch(0, EPOLLOUT, [](uint32_t) {}));
    EXPECT_TRUE(loop.Modify(0, EPOLLOUT | EPOLLIN));
    loop.Unwatch(0);
    ::dup2(savedStdin, 0);
    for (int fd : {a[0], a[1], b[0], b[1], savedStdin}) {
        ::close(fd);
    }

    std::vector<int64_t> fired;
    int64_t next = 300;
    loop.AddTimer([&]() -> std::optional<int64_t> { return next; },
                  [&] { fired.push_back(clock.MonoMs()), next += 300; });
    loop.AddTimer([] { return std::optional<int64_t>(); }, [&] { ADD_FAILURE(); });
    EXPECT_EQ(loop.NextTimerDeadline(), 300);
    EXPECT_EQ(AdvanceManualClock(loop, clock, 1000), 1000);
    EXPECT_EQ(fired, (std::vector<int64_t>{300, 600, 900}));
    // A deadline that has come fires without waiting, even on a manual clock.
    next = 1000;
    EXPECT_EQ(loop.RunOnce(-1), 0);
    EXPECT_EQ(fired.back(), 1000);
    // A timer that stays due does not hold the clock.
    loop.AddTimer([] { return std::optional<int64_t>(0); }, [] {});
    EXPECT_EQ(AdvanceManualClock(loop, clock, 500), 1500);
    EXPECT_EQ(fired.back(), 1500);
}

int Connect(const std::string &path, int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

mode_t ModeOf(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(UnixSocket, StaleSocketsAreReplacedAnythingElseIsLeftAlone) {
    lapitest::TempDir dir;
    const std::string sock = dir.File("s"), file = dir.File("f");
    std::ofstream(file) << "keep";
    EXPECT_EQ(ListenUnix(file, 0600).ErrorText(), file + " exists and is not a socket");
    EXPECT_EQ(ProbeSocketPath(file), PathState::kNotASocket);
    EXPECT_EQ(ProbeSocketPath(dir.File("none")), PathState::kFree);
    const Result<int> live = ListenUnix(sock, 0640);
    ASSERT_TRUE(live) << live.ErrorText();
    EXPECT_EQ(ModeOf(sock), 0640u);
    EXPECT_EQ(ProbeSocketPath(sock), PathState::kLiveServer);
    EXPECT_EQ(ListenUnix(sock, 0600).ErrorText(), "another server is listening on " + sock);
    ::close(*live);
    EXPECT_EQ(ProbeSocketPath(sock), PathState::kStaleSocket);
    const Result<int> again = ListenUnix(sock, 0600);
    ASSERT_TRUE(again) << again.ErrorText();
    EXPECT_EQ(ModeOf(sock), 0600u);
    ::close(*again);
    std::string kept;
    std::ifstream(file) >> kept;
    EXPECT_EQ(kept, "keep");
}

// On the system clock the loop sleeps until the next deadline and no longer. The bound
// is generous: the check is that the wait ends at all, not how fast.
TEST(EventLoop, WakesForTheNextDeadlineOnTheSystemClock) {
    SystemClock clock;
    EventLoop loop(clock);
    int wake[2];
    ASSERT_EQ(::pipe(wake), 0);
    loop.Watch(wake[0], EPOLLIN, [](uint32_t) {});
    const int64_t due = clock.MonoMs() + 20;
    std::atomic<bool> fired{false};
    loop.AddTimer([&] { return fired ? std::nullopt : std::optional<int64_t>(due); },
                  [&] { fired = true; });
    std::thread runner([&] {
        while (!fired) {
            loop.RunOnce(-1);
        }
    });
    const bool woke = lapitest::WaitUntil([&] { return fired.load(); });
    if (!woke) {
        EXPECT_EQ(::write(wake[1], "x", 1), 1);  // lets the stuck loop end
    }
    runner.join();
    EXPECT_TRUE(woke);
    ::close(wake[0]);
    ::close(wake[1]);
}

struct Server {
    Server() {
        cfg.servicePath = dir.File("svc");
        cfg.controlPath = dir.File("ctl");
        engine.SetIdSource([n = 0U]() mutable { return ++n; });
        loop.SetBeforeSleep([this] { net.Flush(); });
        const Result<> start = net.Start(cfg);
        started = start.Ok();
        EXPECT_TRUE(started) << start.ErrorText();
    }
    // Runs the loop until `fd` has something to read (at most about ten seconds).
    bool Await(int fd) {
        for (int i = 0; i < 1000; ++i) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) == 1) {
                return true;
            }
            loop.RunOnce(10);
        }
        return false;
    }
    std::optional<lapitest::Bytes> Read(int fd) {
        return Await(fd) ? lapitest::ReadMsg(fd) : std::nullopt;
    }

    lapitest::TempDir dir;
    ManualClock clock;
    Simulator sim = *Simulator::Create(clock);
    LocationSessions sessions{clock};
    StatusModel status;
    MtlrNotifications mtlr{clock};
    ProximityListeners proximity;
    std::unique_ptr<GpsDb> db = *GpsDb::Open(dir.File("gps.db"));
    Engine engine{clock, Domain{sessions, status, mtlr, proximity, *db, sim}, EngineLimits{}, 1};
    Operator op{engine, &sim};
    ControlCommands commands{op};
    EventLoop loop{clock};
    NetServer net{loop, engine, commands};
    NetConfig cfg;
    bool started = false;
};

TEST(NetServer, ServiceAndControlOverSocketsInOrderThenStop) {
    Server s;
    ASSERT_TRUE(s.started);
    EXPECT_EQ(ModeOf(s.cfg.servicePath), 0660u);
    EXPECT_EQ(ModeOf(s.cfg.controlPath), 0600u);
    const int sync = Connect(s.cfg.servicePath), async = Connect(s.cfg.servicePath);
    ASSERT_TRUE(lapitest::WriteAll(sync, Msg("registerReq service=4")));
    const auto rsp = s.Read(sync);
    ASSERT_TRUE(rsp);
    EXPECT_EQ(lapitest::NameOf(*rsp), "registerRsp");
    ASSERT_TRUE(lapitest::WriteAll(async, Msg("getAsyncFdReq globalId=1")));
    ASSERT_TRUE(s.Read(async));

    // More answers than the socket takes at once, while the client does not read.
    constexpr int kRequests = 6000;
    for (int i = 0; i < kRequests; s.loop.RunOnce(0)) {
        lapitest::Bytes batch;  // one write for 100 requests: small writes fill a socket early
        for (const int end = i + 100; i < end; ++i) {
            const auto req = Msg("getStatusReq mode=1 sessionId=" + std::to_string(i % 256));
            batch.insert(batch.end(), req.begin(), req.end());
        }
        ASSERT_TRUE(lapitest::WriteAll(sync, batch));
    }
    for (int i = 0; i < kRequests; ++i) {
        const auto m = s.Read(sync);
        ASSERT_TRUE(m) << i;
        ASSERT_EQ(lapitest::Get(*m, "sessionId"), i % 256) << i;
    }

    const int ctl = Connect(s.cfg.controlPath);
    ASSERT_TRUE(lapitest::WriteAll(ctl, lapitest::Bytes{'c', 'l', 'i'}));
    ASSERT_TRUE(lapitest::WriteAll(ctl, lapitest::Bytes{'e', 'n', 't', 's', '\n'}));
    std::string answer;
    ASSERT_TRUE(lapitest::WaitUntil([&] {
        char buf[256];
        if (s.Await(ctl)) {
            const ssize_t n = ::read(ctl, buf, sizeof buf);
            answer.append(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
        return answer.ends_with("OK\n");
    }));
    EXPECT_EQ(
        answer,
        "client globalId=1 pid=0 services=4 sessions=0 listeners=0 pending=0 async=yes\nOK\n");
    EXPECT_EQ(s.net.ControlConnections(), 1u);

    // The peer going away releases the client.
    ::close(async);
    ASSERT_TRUE(
        lapitest::WaitUntil([&] { return s.loop.RunOnce(10), s.engine.ClientCount() == 0; }));
    s.net.Stop();
    EXPECT_EQ(ModeOf(s.cfg.servicePath), 0u);
    EXPECT_EQ(ModeOf(s.cfg.controlPath), 0u);
    char c;
    EXPECT_EQ(::read(ctl, &c, 1), 0);
    for (int fd : {sync, ctl}) {
        ::close(fd);
    }
}

TEST(NetServer, ShedsAConnectionWhenOutOfDescriptorsButServesTheOperator) {
    Server s;
    ASSERT_TRUE(s.started);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int ctl = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const std::vector<int> open = lapitest::OpenFds();
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = old;  // below the lowest free descriptor: no new one can be opened
    low.rlim_cur = 0;
    while (std::find(open.begin(), open.end(), static_cast<int>(low.rlim_cur)) != open.end()) {
        ++low.rlim_cur;
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    ASSERT_EQ(Connect(s.cfg.servicePath, fd), fd);
    // lapid cannot accept it; it closes it instead of spinning on a readable listener.
    const bool shed = lapitest::WaitUntil([&] {
        s.loop.RunOnce(10);
        char c;
        return ::recv(fd, &c, 1, MSG_DONTWAIT) == 0;
    });
    // The control socket answers all the same, on a descriptor held in reserve.
    ASSERT_EQ(Connect(s.cfg.controlPath, ctl), ctl);
    ASSERT_TRUE(lapitest::WriteAll(ctl, lapitest::Bytes{'c', 'l', 'i', 'e', 'n', 't', 's', '\n'}));
    char answer[8] = {};
    const bool served = lapitest::WaitUntil([&] {
        s.loop.RunOnce(10);
        return ::recv(ctl, answer, sizeof answer, MSG_DONTWAIT) == 3;
    });
    ::setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_TRUE(shed);
    EXPECT_TRUE(served);
    EXPECT_STREQ(answer, "OK\n");
    ::close(fd);
    ::close(ctl);
}

TEST(LogBatch, GathersWholeLinesUntilFlushed) {
    Server s;
    lapitest::StderrCapture capture;
    LogBatch::Install();
    const ConnId id = s.engine.Open();
    const auto bad = Msg("getStatusReq mode=1");
    s.engine.Receive(id, bad.data(), bad.size());
    s.engine.Receive(s.engine.Open(), bad.data(), bad.size());
    const std::size_t gathered = LogBatch::Pending();
    EXPECT_GT(gathered, 0u);
    EXPECT_EQ(capture.Text(), "");
    LogBatch::Flush();
    EXPECT_EQ(LogBatch::Pending(), 0u);
    EXPECT_EQ(capture.Text().size(), gathered);
    ASSERT_EQ(capture.Lines().size(), 4u);  // a trace line and an error line each
    EXPECT_NE(capture.Lines().at(3).find("Refused connection 2"), std::string::npos);
    LogBatch::Uninstall();
    s.engine.Receive(s.engine.Open(), bad.data(), bad.size());
    EXPECT_EQ(capture.Lines().size(), 6u);
}

}  // namespace
