// The fixture shared by the lapid test programs: one lapid per test, a control
// client for it, and small helpers for records and time.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <lapi/lapi.h>

#include "control_client.h"
#include "lapid_process.h"
#include "lib_client.h"
#include "wire_client.h"

namespace lapid_itest {

// Where the simulator starts in most tests (New York), with a short time to first fix.
inline constexpr double kStartLat = 40.6;
inline constexpr double kStartLon = -73.8;
inline constexpr double kStartAlt = 10.0;
inline std::vector<std::string> DefaultArgs() {
    return {"--ttff", "1", "--position", "40.6,-73.8,10"};
}

// A packed field as a plain value (gtest's comparisons take references, which a
// packed field cannot bind to).
template <typename T>
T Val(T v) {
    return v;
}

inline int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

inline void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class Stopwatch {
  public:
    int64_t ElapsedMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

class LapidTest : public ::testing::Test {
  protected:
    void SetUp() override { Launch(DefaultArgs()); }

    void TearDown() override {
        if (server_ && server_->Running()) {
            const int code = server_->Stop();
            EXPECT_EQ(code, 0) << "lapid did not shut down cleanly\n" << server_->Log();
        }
        ctl_.reset();
        server_.reset();
    }

    // Starts a new lapid (stopping the current one) with these arguments.
    void Launch(const std::vector<std::string> &args) {
        ctl_.reset();
        server_.reset();
        server_ = std::make_unique<Lapid>(args);
        ASSERT_TRUE(server_->Start()) << server_->Error() << "\n" << server_->Log();
        ctl_ = std::make_unique<ControlClient>(server_->ControlPath());
    }

    ControlReply Ctl(const std::string &command) { return ctl_->Command(command); }

    // A command that must succeed; its data lines.
    std::vector<std::string> CtlOk(const std::string &command) {
        const ControlReply r = ctl_->Command(command);
        EXPECT_TRUE(r.ok) << "'" << command << "' failed: " << r.error;
        return r.lines;
    }

    std::vector<ClientLine> Clients() { return ParseClients(ctl_->Command("clients")); }
    // The `clients` line of one client (all fields -1 and a failure when not listed).
    ClientLine ClientById(int64_t globalId) {
        const auto c = FindClientById(Clients(), globalId);
        EXPECT_TRUE(c) << "globalId " << globalId << " not listed";
        return c.value_or(ClientLine{});
    }
    ClientLine ClientByPid(pid_t pid) {
        const auto c = FindClientByPid(Clients(), pid);
        EXPECT_TRUE(c) << "no client of pid " << pid << " listed";
        return c.value_or(ClientLine{});
    }
    std::map<std::string, int64_t> Counters() { return ParseCounters(ctl_->Command("counters")); }

    std::unique_ptr<Lapid> server_;
    std::unique_ptr<ControlClient> ctl_;
};

}  // namespace lapid_itest
