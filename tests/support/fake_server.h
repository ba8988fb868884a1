// A scripted location server for socket tests. It listens on the library's
// socket path inside the test process and plays one script per accepted
// connection, recording every byte it receives.
//
//     lapitest::FakeServer server;
//     server.ExpectClients(1, 42);            // registration of one client
//     int id = LAPI_RegisterClient(LAPI_SERVICE_MOLR);
//     auto msgs = server.ReceivedMsgs(0);     // what arrived on the sync connection
//
// Connections are numbered 0, 1, 2... in accept order; a client's registration
// opens two of them (sync first). Each connection has a thread of its own that
// plays the script set for its number, then keeps reading until the peer
// closes. Every wait is bounded; the destructor stops all threads, closes all
// descriptors and removes the socket file.
//
// All system calls of the server run on its own threads, never on the thread
// that calls the server's methods, so faults armed by a test thread
// (faults.h) never hit the server and never show in that thread's counts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "bytes.h"

namespace lapitest {

inline constexpr const char *kSocketPath = "/tmp/lapisock";
inline constexpr std::chrono::milliseconds kDefaultWait{5000};

// Message identifiers of the registration handshake.
inline constexpr uint16_t kRegisterReq = 100;
inline constexpr uint16_t kRegisterRsp = 101;
inline constexpr uint16_t kGetAsyncFdReq = 102;
inline constexpr uint16_t kGetAsyncFdRsp = 103;
inline constexpr uint16_t kUnregisterReq = 104;
inline constexpr uint16_t kUnregisterRsp = 105;

// One action of a connection's script; build steps with the functions below.
struct Step {
    enum class Kind { ReadMsg, Read, Write, WriteBytewise, Sleep, Close, StopListening, WaitFor };
    Kind kind = Kind::Sleep;
    Bytes bytes;                          // Write, WriteBytewise
    size_t count = 0;                     // Read
    std::optional<uint16_t> expectMsgId;  // ReadMsg
    std::chrono::milliseconds delay{0};   // Sleep; pause between bytes of WriteBytewise
    std::string name;                     // WaitFor
    bool unlinkPath = false;              // StopListening
};
using Script = std::vector<Step>;

// Reads one whole message (header, then msgLen body bytes). With expectMsgId,
// another identifier is reported by Errors() (the script goes on).
Step ReadMsg(std::optional<uint16_t> expectMsgId = std::nullopt);
// Reads exactly n bytes.
Step Read(size_t n);
// Writes the bytes in one piece.
Step Write(Bytes bytes);
// Writes one byte at a time with a pause between, so the reader sees partial reads.
Step WriteBytewise(Bytes bytes, std::chrono::milliseconds pause = std::chrono::milliseconds(2));
Step Sleep(std::chrono::milliseconds ms);
// Closes this connection after shutting it down and reading whatever was
// already queued, so the peer sees an orderly end of file (never a reset).
Step Close();
// Closes the listening socket; later connects fail with ECONNREFUSED. With
// unlinkPath the socket file goes too, and later connects fail with ENOENT.
Step StopListening(bool unlinkPath = false);
// Waits until the test calls FakeServer::Signal(name) (at most kDefaultWait;
// a timeout is reported by Errors()). Signals stay set once given.
Step WaitFor(std::string name);

// The steps of first followed by those of second.
Script Concat(Script first, const Script &second);
// "ReadMsg(100)", "Write(12 bytes)"...: used in error reports.
std::string Describe(const Step &step);

class FakeServer {
  public:
    // Removes a stale socket file, binds and listens; throws std::runtime_error
    // when that fails.
    FakeServer();
    ~FakeServer();
    FakeServer(const FakeServer &) = delete;
    FakeServer &operator=(const FakeServer &) = delete;

    // ---- scripts (set before the connection with that index is accepted) ----

    // Throws std::logic_error when connection `index` was already accepted.
    void SetScript(int index, Script script);
    // ReadMsg(registerReq) + Write(registerRsp with globalId).
    static Script RegisterSync(int32_t globalId);
    // ReadMsg(getAsyncFdReq) + Write(getAsyncFdRsp).
    static Script RegisterAsync();
    // ReadMsg(unregisterReq) + Write(unregisterRsp).
    static Script UnregisterSync();
    // Registration scripts for n clients registering one after another:
    // connections 2k and 2k+1 answer client k with globalId firstGlobalId + k.
    void ExpectClients(int n, int32_t firstGlobalId = 1);
    // Releases the WaitFor(name) steps.
    void Signal(const std::string &name);

    // ---- direct actions ----

    // Waits until connection `index` is accepted, then writes the bytes to it.
    // False (and an entry in Errors()) when that fails.
    bool Send(int index, const Bytes &bytes, std::chrono::milliseconds timeout = kDefaultWait);
    // Waits until connection `index` is accepted, ends its script and closes it
    // as Close() does. False when the connection did not exist in time.
    bool CloseConnection(int index, std::chrono::milliseconds timeout = kDefaultWait);

    // ---- observation ----

    Bytes Received(int index) const;
    std::vector<Bytes> ReceivedMsgs(int index) const;
    bool WaitReceived(int index, size_t nBytes,
                      std::chrono::milliseconds timeout = kDefaultWait) const;
    // True once the client closed its end: end of file, or a reset when the
    // client closed without reading everything. Never true for a connection
    // that the server closed first (Close(), CloseConnection()).
    bool WaitClosedByPeer(int index, std::chrono::milliseconds timeout = kDefaultWait) const;
    // True once the server's end of the connection is closed, whoever ended it.
    bool WaitClosed(int index, std::chrono::milliseconds timeout = kDefaultWait) const;
    bool WaitScriptDone(int index, std::chrono::milliseconds timeout = kDefaultWait) const;
    int Accepted() const;
    bool WaitAccepted(int n, std::chrono::milliseconds timeout = kDefaultWait) const;
    // Script failures and I/O errors, one line each, in the order they happened.
    std::vector<std::string> Errors() const;

  private:
    struct Conn;
    enum class Io { Ok, Eof, Failed, Stopped };

    void AcceptLoop();
    bool Setup();
    void AcceptPending();
    void Shutdown();
    void UnlinkOwnPath();
    void Serve(Conn &c);
    void RunScript(Conn &c);
    bool RunStep(Conn &c, size_t stepNo, const Step &step);
    Io WaitFd(const Conn &c, short events);
    Io ReadExact(Conn &c, size_t n, Bytes *out);
    Io WriteAll(Conn &c, const uint8_t *data, size_t len);
    void Drain(Conn &c);
    void DrainQueued(Conn &c);
    void CloseOwnEnd(Conn &c);
    bool Interrupted(const Conn &c) const;  // requires mu_
    const Conn *FindConn(int index) const;  // requires mu_
    void AddError(std::string text);        // requires mu_

    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::map<int, Script> scripts_;
    std::vector<std::unique_ptr<Conn>> conns_;
    std::set<std::string> signals_;
    std::vector<std::string> errors_;
    bool ready_ = false;
    std::string setupError_;
    bool stopping_ = false;
    bool stopListenRequested_ = false;
    bool unlinkOnStop_ = false;
    bool listening_ = false;

    // Created and closed by the accept thread (before it reports ready and
    // after every connection thread has ended).
    int stopFd_ = -1;    // eventfd, made readable for good by the destructor
    int ctlFd_ = -1;     // eventfd that asks the accept thread to stop listening
    int listenFd_ = -1;  // used by the accept thread only
    dev_t pathDev_ = 0;  // identity of the socket file we created
    ino_t pathIno_ = 0;
    std::thread acceptThread_;
};

}  // namespace lapitest
