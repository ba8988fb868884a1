// lapid as a child process of a test: started in a fresh temporary directory
// (database, control socket and log inside it), stopped by pid when the test ends.
//
//     lapid_itest::Lapid server({"--ttff", "1"});
//     ASSERT_TRUE(server.Start()) << server.Log();
//     ... LAPI_RegisterClient(...) talks to it on "/tmp/lapisock" ...
//     EXPECT_EQ(server.Stop(), 0);
//
// Only the process that this object started is ever signalled. The destructor stops
// it if it still runs (SIGTERM, then SIGKILL after a bounded wait), removes a service
// socket file that this server left behind and nobody listens on, and deletes the
// temporary directory. lapid's standard error goes to a file in that directory
// (lapid traces every message, so a pipe would have to be drained all the time).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace lapid_itest {

inline constexpr const char *kServicePath = "/tmp/lapisock";

// A directory under the system's temporary directory, removed with all its contents
// on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &Path() const { return path_; }
    std::string File(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Where the service socket path stands.
enum class ServicePathState {
    kAbsent,  // nothing there
    kLive,    // a socket that accepts connections
    kStale,   // a socket that nobody listens on
    kOther,   // a regular file, a symlink, a directory...
};
ServicePathState ProbeServicePath();

// Waits until no live server and nothing but a stale socket stands at the service
// path (another test run on this machine may hold it for a while). False on timeout.
bool WaitServicePathFree(int timeoutMs);

class Lapid {
  public:
    // extraArgs follow --db and --control on the command line.
    explicit Lapid(std::vector<std::string> extraArgs = {});
    ~Lapid();
    Lapid(const Lapid &) = delete;
    Lapid &operator=(const Lapid &) = delete;

    // Starts the server and waits until it reports "lapid: ready". Before starting,
    // waits for the service path to be free. False (with the reason in Error()) when
    // it is not ready in time or exits; a server that failed to get ready is killed.
    // May be called again after Stop() or Kill9(): same database and control path.
    bool Start();
    // Starts the server without waiting for anything (for servers expected to fail).
    bool Spawn();

    // SIGTERM, then waits up to timeoutMs; returns the exit code, 128 + signal when
    // killed by a signal, or -1 when it did not end in time (it is then killed).
    int Stop(int timeoutMs = 10000);
    // SIGINT instead of SIGTERM, same results as Stop.
    int Interrupt(int timeoutMs = 10000);
    // kill -9 and reap.
    void Kill9();
    // Waits for the process to end by itself; result as Stop.
    int WaitExit(int timeoutMs);

    bool Running() const { return pid_ > 0; }
    // True while the process exists (reaps it when it has ended).
    bool Alive();
    pid_t Pid() const { return pid_; }
    const std::string &ControlPath() const { return control_; }
    const std::string &DbPath() const { return db_; }
    const TempDir &Dir() const { return dir_; }
    const std::string &Error() const { return error_; }
    // lapid's standard error of the latest start (the tail when long).
    std::string Log(size_t maxBytes = 4000) const;
    // Inode of the service socket that this server created (0 if none seen).
    ino_t ServiceInode() const { return serviceInode_; }

  private:
    int Signal(int sig, int timeoutMs);
    void RemoveOwnStaleSocket();

    TempDir dir_;
    std::string db_;
    std::string control_;
    std::string logPath_;
    std::vector<std::string> extraArgs_;
    pid_t pid_ = -1;
    int starts_ = 0;
    ino_t serviceInode_ = 0;
    std::string error_;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string &path);

// Raises this process's soft limit of open descriptors to at least n (bounded by the
// hard limit). Returns the soft limit now in force.
long RaiseFdLimit(long n);

}  // namespace lapid_itest
