// The socket layer of lapid on real Unix sockets in a temporary directory: safe
// creation of the listening sockets, and the event loop carrying requests, answers,
// control commands and slow readers.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "control/control.h"
#include "lapid_harness.h"
#include "net/event_loop.h"
#include "net/net_server.h"
#include "net/unix_socket.h"

namespace lapidtest {
namespace {

int ConnectTo(const std::string &path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

mode_t ModeOf(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

TEST(UnixSocket, RefusesWhatIsNotAStaleSocketAndLeavesItAlone) {
    TempDir d;
    std::string error;

    const std::string file = d.File("file");
    std::ofstream(file) << "keep me";
    EXPECT_EQ(lapid::ListenUnix(file, 0660, &error), -1);
    EXPECT_EQ(error, file + " exists and is not a socket");
    EXPECT_EQ(lapid::ProbeSocketPath(file), lapid::PathState::kNotASocket);

    // A symlink to a stale socket is not followed, and the socket stays.
    const std::string target = d.File("target");
    const int stale = lapid::ListenUnix(target, 0600, &error);
    ASSERT_GE(stale, 0) << error;
    ::close(stale);
    const std::string link = d.File("link");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(lapid::ListenUnix(link, 0660, &error), -1);
    EXPECT_EQ(lapid::ProbeSocketPath(link), lapid::PathState::kNotASocket);
    EXPECT_EQ(lapid::ProbeSocketPath(target), lapid::PathState::kStaleSocket);

    const std::string dir = d.File("dir");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    EXPECT_EQ(lapid::ListenUnix(dir, 0660, &error), -1);

    std::ifstream in(file);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "keep me");
    struct stat st {};
    EXPECT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(UnixSocket, ReplacesAStaleSocketRefusesALiveOneAndSetsTheMode) {
    TempDir d;
    std::string error;
    const std::string path = d.File("sock");
    EXPECT_EQ(lapid::ProbeSocketPath(path), lapid::PathState::kFree);

    const int first = lapid::ListenUnix(path, 0640, &error);
    ASSERT_GE(first, 0) << error;
    EXPECT_EQ(ModeOf(path), 0640u);
    EXPECT_EQ(lapid::ProbeSocketPath(path), lapid::PathState::kLiveServer);
    EXPECT_EQ(lapid::ListenUnix(path, 0660, &error), -1);
    EXPECT_EQ(error, "another server is listening on " + path);

    ::close(first);  // the file stays behind, nobody listens
    EXPECT_EQ(lapid::ProbeSocketPath(path), lapid::PathState::kStaleSocket);
    const int second = lapid::ListenUnix(path, 0600, &error);
    ASSERT_GE(second, 0) << error;
    EXPECT_EQ(ModeOf(path), 0600u);
    ::close(second);
}

// A NetServer on sockets in a temporary directory, run step by step.
class NetServerTest : public ::testing::Test {
  protected:
    NetServerTest() : net(loop, h.engine, commands) {}

    void SetUp() override {
        lapid::NetConfig config;
        config.servicePath = dir.File("lapisock");
        config.serviceMode = 0660;
        config.controlPath = dir.File("lapisock.ctl");
        std::string error;
        ASSERT_TRUE(net.Start(config, &error)) << error;
        loop.AddTimer([this] { return h.engine.NextDeadlineMs(); }, [this] { h.engine.OnTime(); });
        loop.SetBeforeSleep([this] { net.Flush(); });
    }

    // Runs the loop until fd has `want` bytes to read (or a few seconds pass).
    Bytes ReadExactly(int fd, std::size_t want) {
        Bytes got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (got.size() < want && std::chrono::steady_clock::now() < end) {
            loop.RunOnce(5);
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) == 1) {
                uint8_t buf[512];
                const ssize_t n = ::read(fd, buf, std::min(sizeof buf, want - got.size()));
                if (n <= 0) {
                    break;
                }
                got.insert(got.end(), buf, buf + n);
            }
        }
        return got;
    }
    // True once the peer sees end of stream on fd.
    bool SeesEof(int fd) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) {
            loop.RunOnce(5);
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) == 1) {
                uint8_t buf[4096];
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n <= 0) {
                    return true;
                }
            }
        }
        return false;
    }
    void Write(int fd, const Bytes &b) {
        ASSERT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
    }
    std::pair<int, int> Register(uint32_t services) {
        const int sync = ConnectTo(dir.File("lapisock"));
        LAPI_REGISTER_REQ_S reg{};
        reg.header = Header(LAPI_MSG_REGISTER_REQ, 4);
        reg.service = services;
        Write(sync, ToBytes(reg));
        const auto rsp = As<LAPI_REGISTER_RSP_S>(ReadExactly(sync, 12));
        const int async = ConnectTo(dir.File("lapisock"));
        Write(async, ToBytes(EngineHarness::AsyncReq(rsp.globalId)));
        EXPECT_EQ(ReadExactly(async, 8).size(), 8u);
        return {sync, async};
    }

    EngineHarness h;
    TempDir dir;
    lapid::EventLoop loop{h.clock};
    lapid::ControlCommands commands{h.engine, &h.sim};
    lapid::NetServer net;
};

TEST_F(NetServerTest, SocketModesAndRemovalOnStop) {
    EXPECT_EQ(ModeOf(dir.File("lapisock")), 0660u);
    EXPECT_EQ(ModeOf(dir.File("lapisock.ctl")), 0600u);
    net.Stop();
    EXPECT_EQ(lapid::ProbeSocketPath(dir.File("lapisock")), lapid::PathState::kFree);
    EXPECT_EQ(lapid::ProbeSocketPath(dir.File("lapisock.ctl")), lapid::PathState::kFree);
}

TEST_F(NetServerTest, RequestsAndAnswersOverSockets) {
    const auto [sync, async] = Register(LAPI_SERVICE_STATUS | LAPI_SERVICE_MOLR);
    Write(sync, ToBytes(Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 1)));
    EXPECT_EQ(MsgIdOf(ReadExactly(sync, 38)), LAPI_MSG_GET_STATUS_RSP);
    // Split into single bytes on the wire.
    const Bytes req = ToBytes(Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 0));
    for (uint8_t byte : req) {
        Write(sync, Bytes{byte});
        loop.RunOnce(0);
    }
    EXPECT_EQ(MsgIdOf(ReadExactly(async, 38)), LAPI_MSG_GET_STATUS_RSP);

    // The peer closing its async connection closes the sync one.
    ::close(async);
    EXPECT_TRUE(SeesEof(sync));
    ::close(sync);
    EXPECT_EQ(h.engine.ClientCount(), 0u);
}

TEST_F(NetServerTest, ControlConnectionAnswersLines) {
    const int ctl = ConnectTo(dir.File("lapisock.ctl"));
    ASSERT_GE(ctl, 0);
    const std::string cmd = "status hwStatus 2\nclients\n";
    Write(ctl, Bytes(cmd.begin(), cmd.end()));
    const Bytes got = ReadExactly(ctl, 6);
    EXPECT_EQ(std::string(got.begin(), got.end()), "OK\nOK\n");
    EXPECT_EQ(Val(h.status.Current().hwStatus), 2);
    ::close(ctl);
}

TEST_F(NetServerTest, SlowReaderIsDisconnectedWithoutBlockingOthers) {
    // The engine of this fixture has the default bound (256 KiB): the unread
    // connection's socket buffer fills first, then the queue passes the bound.
    const auto [slowSync, slowAsync] = Register(LAPI_SERVICE_STATUS);
    const auto [sync, async] = Register(LAPI_SERVICE_STATUS);
    bool disconnected = false;
    for (int i = 0; i < 40000 && !disconnected; ++i) {
        h.engine.SetStatus("emergencyStatus", i % 2);
        loop.RunOnce(0);
        // The reading client keeps up.
        uint8_t buf[4096];
        while (::recv(async, buf, sizeof buf, MSG_DONTWAIT) > 0) {
        }
        disconnected = h.engine.Count().disconnectsSlowReader == 1;
    }
    EXPECT_TRUE(disconnected);
    EXPECT_TRUE(SeesEof(slowSync));
    Write(sync, ToBytes(Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 1)));
    EXPECT_EQ(MsgIdOf(ReadExactly(sync, 38)), LAPI_MSG_GET_STATUS_RSP);
    for (int fd : {slowSync, slowAsync, sync, async}) {
        ::close(fd);
    }
}

}  // namespace
}  // namespace lapidtest
