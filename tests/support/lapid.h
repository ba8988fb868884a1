// lapid as a child process of a test: started in a temporary folder of its own
// (database, control socket and log inside it), by default on a manual clock that
// moves only when the test says so, and stopped by pid when the test ends.
//
//     lapitest::Lapid server;
//     ASSERT_TRUE(server.Start()) << server.Log();
//     server.Advance(3000);           // past the simulator's time to first fix
//     ... LAPI_RegisterClient(...) talks to it on "/tmp/lapisock" ...
//     EXPECT_EQ(server.Stop(), 0);
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "testkit.h"

namespace lapitest {

class Lapid {
  public:
    // `args` follow --db, --control and (with manualClock) --manual-clock.
    explicit Lapid(std::vector<std::string> args = {}, bool manualClock = true);
    ~Lapid();
    Lapid(const Lapid &) = delete;
    Lapid &operator=(const Lapid &) = delete;

    // Starts lapid and waits until it says "lapid: ready"; false when it ends first or
    // takes too long (it is then killed). May be called again after it has ended.
    bool Start();
    // Starts lapid without waiting for anything.
    void Spawn();
    // Sends `sig` and waits for the end; the exit code, 128 + signal number when a
    // signal ended it, -1 when it did not end in time (it is then killed).
    int Stop(int sig = SIGTERM, std::chrono::milliseconds timeout = 10s);
    int WaitExit(std::chrono::milliseconds timeout = 10s);

    // One control command; its whole answer (data lines, then "OK" or "ERR ..."), or
    // "" when the control socket failed.
    std::string Control(std::string_view line) const;
    // Moves the manual clock by `ms`; its new time, -1 on failure.
    int64_t Advance(int64_t ms) const;

    // Sends standard error to a pipe that only Log() reads (call before Start()): lapid
    // writes into it until it is full.
    void PipeLog() { pipeLog_ = true; }
    // Starts lapid as a service manager does with socket activation: `fd` (a listening
    // socket) becomes its descriptor 3, announced by LISTEN_FDS=1 and LISTEN_PID.
    void HandSocket(int fd) { handed_ = fd; }
    std::string Log() const;
    bool WaitLog(std::string_view needle, std::chrono::milliseconds timeout = 10s) const;
    pid_t Pid() const { return pid_; }
    const TempDir &Dir() const { return dir_; }
    std::string DbPath() const { return dir_.File("gpsdb.sqlite"); }
    std::string ControlPath() const { return dir_.File("ctl"); }

  private:
    TempDir dir_;
    std::vector<std::string> args_;
    pid_t pid_ = -1;
    bool pipeLog_ = false;
    int handed_ = -1;
    int logPipe_ = -1;           // the read end, with PipeLog()
    mutable std::string piped_;  // what Log() has read from it
};

}  // namespace lapitest
