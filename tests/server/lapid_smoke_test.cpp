// Smoke test of the lapid binary with the real client library: start, register, a few
// requests in both modes, unregister, SIGTERM. The broad integration suite lives in
// tests/server/integration.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lapi/lapi.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "lapid_harness.h"

namespace lapidtest {
namespace {

std::string ReadFile(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class LapidProcess {
  public:
    explicit LapidProcess(const TempDir &dir) : log_(dir.File("lapid.log")) {
        const std::string db = dir.File("gpsdb.sqlite");
        ctl_ = dir.File("lapid.ctl");
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            ::dup2(fd, 2);
            ::execl(LAPID_BINARY, "lapid", "--db", db.c_str(), "--control", ctl_.c_str(), "--ttff",
                    "1", static_cast<char *>(nullptr));
            ::_exit(127);
        }
    }
    ~LapidProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    // Waits for "lapid: ready" or the end of the process; true when ready.
    bool WaitReady() {
        for (int i = 0; i < 500; ++i) {
            if (ReadFile(log_).find("lapid: ready\n") != std::string::npos) {
                return true;
            }
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                status_ = status;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // SIGTERM and the exit status (-1 if it did not end within 5 s).
    int Terminate() {
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 250; ++i) {
            if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
    std::string Log() const { return ReadFile(log_); }
    const std::string &Control() const { return ctl_; }
    bool Exited() const { return exited_; }

  private:
    std::string log_;
    std::string ctl_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
};

bool Exists(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

TEST(LapidSmoke, LibraryTalksToTheRealServer) {
    TempDir dir;
    LapidProcess lapid(dir);
    if (!lapid.WaitReady()) {
        if (lapid.Log().find("another server is listening on /tmp/lapisock") != std::string::npos) {
            GTEST_SKIP() << "another location server is running on /tmp/lapisock";
        }
        FAIL() << "lapid did not start:\n" << lapid.Log();
    }

    const int id = LAPI_RegisterClient(LAPI_SERVICE_MOLR | LAPI_SERVICE_STATUS);
    ASSERT_GE(id, 0);

    LAPI_GET_STATUS_REQ_S status{};
    uint8_t rsp[256] = {};
    ASSERT_EQ(LAPI_GetStatus(id, LAPI_BLOCK, &status, rsp), 0);
    EXPECT_EQ(MsgIdOf(Bytes(rsp, rsp + 38)), LAPI_MSG_GET_STATUS_RSP);

    // A blocking single fix waits for the first fix (1 s after start).
    LAPI_GET_LOCATION_REQ_S loc{};
    loc.responseTime = 10;
    ASSERT_EQ(LAPI_GetLocation(id, LAPI_BLOCK, &loc, rsp), 0);
    const auto fix = As<LAPI_GET_LOCATION_RSP_S>(Bytes(rsp, rsp + 114));
    EXPECT_EQ(Val(fix.header.msgId), LAPI_MSG_GET_LOCATION_RSP);
    EXPECT_NEAR(Val(fix.latitude), 52.520008, 1e-9);
    EXPECT_NEAR(Val(fix.longitude), 13.404954, 1e-9);

    LAPI_DISTANCE_AZIMUTH_REQ_S dist{};
    dist.latitude1 = 40.6;
    dist.longitude1 = -73.8;
    dist.latitude2 = 51.6;
    dist.longitude2 = -0.5;
    ASSERT_EQ(LAPI_CalculateDistanceAzimuth(id, LAPI_NONBLOCK, &dist, nullptr), 0);
    // Status indications (the fix being acquired) may come first.
    uint8_t async[LAPI_ASYNC_MSG_BUF_LEN] = {};
    for (int i = 0; i < 5 && MsgIdOf(Bytes(async, async + 8)) != LAPI_MSG_DISTANCE_AZIMUTH_RSP;
         ++i) {
        pollfd p{LAPI_GetAsyncSocketFd(id), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1);
        ASSERT_EQ(LAPI_GetAsyncMsg(id, async), 0);
    }
    const auto da = As<LAPI_DISTANCE_AZIMUTH_RSP_S>(Bytes(async, async + 26));
    EXPECT_EQ(Val(da.header.msgId), LAPI_MSG_DISTANCE_AZIMUTH_RSP);
    EXPECT_NEAR(Val(da.distance), 5551759.400, 1e-3);

    EXPECT_EQ(LAPI_UnregisterClient(id), 0);
    EXPECT_EQ(lapid.Terminate(), 0);
    EXPECT_FALSE(Exists("/tmp/lapisock"));
    EXPECT_FALSE(Exists(lapid.Control()));
    EXPECT_NE(lapid.Log().find("lapid: stopped"), std::string::npos);
    // Both sides traced: the server's lines carry the SRV tag.
    EXPECT_NE(lapid.Log().find("LAPI SRV : C->S registerReq"), std::string::npos);
    EXPECT_NE(lapid.Log().find("LAPI SRV : S->C getLocationRsp"), std::string::npos);
}

}  // namespace
}  // namespace lapidtest
