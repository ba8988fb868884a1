// Start-up and shutdown of lapid around the service socket "/tmp/lapisock": a live
// server is never displaced, a stale socket is replaced, anything else at the path
// is left alone, the socket's mode is the one asked for, and SIGTERM/SIGINT end the
// server cleanly.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "itest_fixture.h"

namespace lapid_itest {
namespace {

bool Exists(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

struct stat LStat(const std::string &path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        st.st_ino = 0;
    }
    return st;
}

// Something this test put at the service path: removed at the end if it is still
// the same file.
class ServicePathGuard {
  public:
    ServicePathGuard() = default;
    ~ServicePathGuard() {
        const struct stat st = LStat(kServicePath);
        if (ino_ != 0 && st.st_ino == ino_) {
            ::unlink(kServicePath);
        }
    }
    ServicePathGuard(const ServicePathGuard &) = delete;
    ServicePathGuard &operator=(const ServicePathGuard &) = delete;

    void Adopt() { ino_ = LStat(kServicePath).st_ino; }

  private:
    ino_t ino_ = 0;
};

void WriteFile(const std::string &path, const std::string &text, bool exclusive) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | (exclusive ? O_EXCL : O_TRUNC), 0644);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
}

std::string ReadLink(const std::string &path) {
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

// A LAPI_BLOCK round trip through the library.
void ExpectServed() {
    LibClient c(LAPI_SERVICE_STATUS);
    ASSERT_TRUE(c.Ok()) << "no registration";
    LAPI_GET_STATUS_REQ_S req{};
    const auto rsp = c.Exchange(LAPI_BLOCK, LAPI_GetStatus, req);
    ASSERT_TRUE(rsp);
    EXPECT_EQ(rsp->Id(), LAPI_MSG_GET_STATUS_RSP);
}

class StartupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(WaitServicePathFree(30000)) << kServicePath << " is held by someone else";
    }
};

TEST_F(StartupTest, SecondServerExitsWithOneAndLeavesTheFirstAlone) {
    Lapid first(DefaultArgs());
    ASSERT_TRUE(first.Start()) << first.Error() << "\n" << first.Log();
    const ino_t ino = first.ServiceInode();
    ASSERT_NE(ino, 0u);

    Lapid second(DefaultArgs());
    ASSERT_TRUE(second.Spawn());
    EXPECT_EQ(second.WaitExit(10000), 1) << second.Log();
    EXPECT_NE(second.Log().find("lapid: another server is listening on /tmp/lapisock"),
              std::string::npos)
        << second.Log();
    EXPECT_FALSE(Exists(second.ControlPath())) << "the refused server left its control socket";

    EXPECT_EQ(Val(LStat(kServicePath).st_ino), ino) << "the first server's socket was replaced";
    ExpectServed();
    EXPECT_TRUE(ControlClient(first.ControlPath()).Command("counters").ok);
    EXPECT_EQ(first.Stop(), 0) << first.Log();
}

TEST_F(StartupTest, StaleSocketOfAKilledServerIsReplaced) {
    Lapid first(DefaultArgs());
    ASSERT_TRUE(first.Start()) << first.Error() << "\n" << first.Log();
    first.Kill9();
    ASSERT_EQ(ProbeServicePath(), ServicePathState::kStale) << "kill -9 left no socket file";

    Lapid second(DefaultArgs());
    ASSERT_TRUE(second.Start()) << second.Error() << "\n" << second.Log();
    EXPECT_EQ(ProbeServicePath(), ServicePathState::kLive);
    ExpectServed();
    EXPECT_EQ(second.Stop(), 0) << second.Log();
    EXPECT_EQ(ProbeServicePath(), ServicePathState::kAbsent);
}

TEST_F(StartupTest, RegularFileAtTheServicePathIsLeftAlone) {
    ServicePathGuard guard;
    WriteFile(kServicePath, "not a socket\n", true);
    if (HasFatalFailure()) {
        return;
    }
    guard.Adopt();
    const struct stat before = LStat(kServicePath);

    Lapid server(DefaultArgs());
    ASSERT_TRUE(server.Spawn());
    EXPECT_EQ(server.WaitExit(10000), 1) << server.Log();
    const struct stat after = LStat(kServicePath);
    EXPECT_TRUE(S_ISREG(after.st_mode));
    EXPECT_EQ(Val(after.st_ino), Val(before.st_ino));
    EXPECT_EQ(ReadFile(kServicePath), "not a socket\n");
}

TEST_F(StartupTest, SymlinkAtTheServicePathIsNotFollowed) {
    TempDir dir;
    const std::string target = dir.File("target");
    const std::string missing = dir.File("missing");
    WriteFile(target, "keep me\n", true);

    for (const std::string &to : {target, missing}) {
        SCOPED_TRACE("symlink to " + to);
        ServicePathGuard guard;
        ASSERT_EQ(::symlink(to.c_str(), kServicePath), 0) << std::strerror(errno);
        guard.Adopt();

        Lapid server(DefaultArgs());
        ASSERT_TRUE(server.Spawn());
        EXPECT_EQ(server.WaitExit(10000), 1) << server.Log();
        EXPECT_TRUE(S_ISLNK(LStat(kServicePath).st_mode)) << "the symlink was removed";
        EXPECT_EQ(ReadLink(kServicePath), to);
    }
    EXPECT_EQ(ReadFile(target), "keep me\n");
    EXPECT_TRUE(S_ISREG(LStat(target).st_mode));
    EXPECT_FALSE(Exists(missing)) << "something was created through the symlink";
}

class SocketModeTest : public StartupTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(SocketModeTest, ServiceSocketHasTheModeAskedFor) {
    std::vector<std::string> args = DefaultArgs();
    const std::string mode = GetParam();
    if (!mode.empty()) {
        args.push_back("--socket-mode");
        args.push_back(mode);
    }
    const auto want = static_cast<mode_t>(std::stoul(mode.empty() ? "0660" : mode, nullptr, 8));
    Lapid server(args);
    ASSERT_TRUE(server.Start()) << server.Error() << "\n" << server.Log();
    const struct stat st = LStat(kServicePath);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, want) << std::oct << (st.st_mode & 07777);
    const struct stat ctl = LStat(server.ControlPath());
    EXPECT_TRUE(S_ISSOCK(ctl.st_mode));
    EXPECT_EQ(ctl.st_mode & 07777, 0600u) << std::oct << (ctl.st_mode & 07777);
    EXPECT_EQ(server.Stop(), 0) << server.Log();
}

INSTANTIATE_TEST_SUITE_P(Modes, SocketModeTest, ::testing::Values("", "0600", "0666", "0640"),
                         [](const ::testing::TestParamInfo<const char *> &param) {
                             const std::string m = param.param;
                             return m.empty() ? std::string("Default") : "Mode" + m;
                         });

TEST_F(StartupTest, SigtermAndSigintShutDownCleanly) {
    for (const bool useSigint : {false, true}) {
        SCOPED_TRACE(useSigint ? "SIGINT" : "SIGTERM");
        Lapid server(DefaultArgs());
        ASSERT_TRUE(server.Start()) << server.Error() << "\n" << server.Log();
        // With a registered client and an open control connection.
        LibClient c(LAPI_SERVICE_MOLR | LAPI_SERVICE_STATUS);
        ASSERT_TRUE(c.Ok());
        ControlClient ctl(server.ControlPath());
        ASSERT_TRUE(ctl.Command("counters").ok);

        const int code = useSigint ? server.Interrupt() : server.Stop();
        EXPECT_EQ(code, 0) << server.Log();
        EXPECT_FALSE(Exists(kServicePath)) << "service socket left behind";
        EXPECT_FALSE(Exists(server.ControlPath())) << "control socket left behind";
    }
}

TEST_F(StartupTest, UsageErrorExitsWithTwo) {
    Lapid server({"--no-such-option"});
    ASSERT_TRUE(server.Spawn());
    EXPECT_EQ(server.WaitExit(10000), 2) << server.Log();
    EXPECT_FALSE(Exists(server.ControlPath()));
}

}  // namespace
}  // namespace lapid_itest
