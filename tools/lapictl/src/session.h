// What lapictl needs around the library: its own diagnostics apart from the library's
// trace, a notice while a wait drags on, Ctrl-C handling, and a registered client with
// a wait for the messages pushed on its asynchronous connection.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace lapictl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// ---- Diagnostics -----------------------------------------------------------------

// The library writes a trace line for every message, and its error lines, on
// descriptor 2. This keeps a duplicate of the original descriptor 2 for lapictl's own
// lines, then points descriptor 2 at logPath (appending), or at /dev/null, unless
// trace is set. False (after a line on the original stderr) when the log cannot be
// opened.
bool SetUpDiagnostics(bool trace, const std::string &logPath);

// "lapictl: <text>" on the original standard error.
void Complain(std::string_view text);
// The text as it is on the original standard error (a prompt).
void Tell(std::string_view text);

// One line on standard output, flushed at once (scripts read lines as they come).
void PrintLine(std::string_view line);

// Appends what standard input holds now to `input` (one read); false at its end or on
// an error other than EINTR.
bool ReadStdin(std::string &input);

// ---- Wait notice -----------------------------------------------------------------

// Shows "<text>" on the terminal when a wait lasts longer than a second; Stop (or the
// destructor) clears it. Does nothing when standard error is not a terminal, or the text
// is empty.
class WaitNotice {
  public:
    explicit WaitNotice(std::string text);
    ~WaitNotice() { Stop(); }
    WaitNotice(const WaitNotice &) = delete;
    WaitNotice &operator=(const WaitNotice &) = delete;
    void Stop();

  private:
    void Run();

    std::string text_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopped_ = false;
    bool shown_ = false;
    std::thread thread_;
};

// ---- Ctrl-C ----------------------------------------------------------------------

// From now on SIGINT and SIGTERM ask the running command to stop: StopRequested()
// turns true and the waits below return kStopped. A second signal ends the process at
// once, unless keepRunning was given once (the shell, where Ctrl-C stops a command).
void CatchStopSignals(bool keepRunning = false);
bool StopRequested();
// The exit status of a command that a signal stopped: 128 + its number (130 for Ctrl-C).
int StoppedStatus();
// Readable after a stop signal (for a poll of the caller's own).
int StopFd();
// Forgets the signals caught so far (the shell, after a command that one stopped).
void ClearStop();

// ---- Client ----------------------------------------------------------------------

class Client {
  public:
    // Registers for the LAPI_SERVICE_* bits; on failure writes the reason and returns
    // null.
    static std::unique_ptr<Client> Register(unsigned services);
    ~Client();  // unregisters
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    int id() const { return id_; }
    int asyncFd() const { return asyncFd_; }

  private:
    Client(int id, int asyncFd) : id_(id), asyncFd_(asyncFd) {}
    int id_;
    int asyncFd_;
};

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

enum class WaitResult {
    kMessage,   // *msg holds one whole message
    kInput,     // inputFd is readable
    kStopped,   // Ctrl-C
    kTimedOut,  // the deadline passed
    kFailed,    // the connection to the server is gone (already reported)
};

// Reads one message pushed to the client (its descriptor is readable) into *msg, whole;
// false after a complaint when the connection is lost.
bool ReadPushed(const Client &client, std::vector<uint8_t> *msg);

// Waits for the next message pushed on the client's asynchronous connection (or for
// inputFd, when it is not -1, to become readable), showing "waiting for <what>..." on
// a terminal after a second unless it waits for inputFd (the answer to a question).
WaitResult NextMessage(const Client &client, std::vector<uint8_t> *msg, const Deadline &deadline,
                       std::string_view what, int inputFd = -1);

}  // namespace lapictl
