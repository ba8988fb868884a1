// A fake location server on LAPI_SOCKET_PATH for the library's socket tests.
//
// A listener thread accepts connections and numbers them 0, 1, ... in accept order.
// Each is first given to the handler set for its number (by default Handshake), on the
// listener thread, one after another; handlers must end within a bounded time. After
// that the test drives the connection itself through Conn(i). Everything is closed and
// the socket file removed when the server goes.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "testkit.h"

namespace lapitest {

class FakeServer {
  public:
    using Handler = std::function<void(int fd, int index)>;
    FakeServer();
    ~FakeServer();
    FakeServer(const FakeServer &) = delete;
    FakeServer &operator=(const FakeServer &) = delete;

    // Replaces the handler of connection `index` (set it before the client connects).
    void On(int index, Handler handler);
    // Connection `index` once its handler is done; -1 if it does not come in time.
    int Conn(int index);
    // The first message Handshake read on connection `index`.
    Bytes First(int index);

    // Answers a registerReq with registerRsp (globalId 100 + index), a getAsyncFdReq
    // with getAsyncFdRsp.
    void Handshake(int fd, int index);

  private:
    void Loop();

    int listenFd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::map<int, Handler> handlers_;
    std::map<int, Bytes> first_;
    std::vector<int> conns_;
    std::thread thread_;
};

// Writes all of bytes; a peer that has gone makes it fail (EPIPE), never raise SIGPIPE.
bool Send(int fd, const Bytes &bytes);
// Bytes written to fd that its peer has not read yet (SIOCOUTQ).
int Unread(int fd);
// Writes bytes one at a time, each once the peer has read the one before.
bool Trickle(int fd, const Bytes &bytes);

}  // namespace lapitest
