// Raw connections to lapid's service socket: hand-made messages, registration by
// hand, and bounded reads. For what the client library would never send (wrong
// lengths, bad modes, garbage) and for peers that misbehave (never read, half a
// header, a flood of idle connections).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include <lapi/lapi.h>

namespace lapid_itest {

using Bytes = std::vector<uint8_t>;

// An owned descriptor, closed on destruction.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd &&other) noexcept : fd_(other.Release()) {}
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1);

  private:
    int fd_ = -1;
};

// A new connection to the service socket ("/tmp/lapisock"); invalid on failure.
// nonBlocking: the connect does not wait when the listen queue is full (EAGAIN).
Fd ConnectService(bool nonBlocking = false);

// Writes all bytes within timeoutMs (waits while the socket is full).
bool SendBytes(int fd, const Bytes &bytes, int timeoutMs = 5000);
bool SendBytes(int fd, const void *data, size_t len, int timeoutMs = 5000);

enum class RecvResult { kMessage, kTimeout, kClosed, kError };
// Reads one whole message (header and msgLen body bytes) within timeoutMs.
RecvResult RecvMessage(int fd, Bytes *msg, int timeoutMs);
// True when the peer closes the connection within timeoutMs; whatever arrives before
// is read and dropped.
bool WaitClosed(int fd, int timeoutMs);

// Header fields of a received message.
uint16_t MsgIdOf(const Bytes &msg);
uint16_t MsgLenOf(const Bytes &msg);

// A packed record as bytes, and back (missing bytes read as 0).
template <typename T>
Bytes ToBytes(const T &rec) {
    static_assert(std::is_trivially_copyable_v<T>);
    Bytes b(sizeof(T));
    std::memcpy(b.data(), &rec, sizeof(T));
    return b;
}
template <typename T>
T FromBytes(const Bytes &bytes) {
    static_assert(std::is_trivially_copyable_v<T>);
    T rec;
    std::memset(&rec, 0, sizeof rec);
    std::memcpy(&rec, bytes.data(), bytes.size() < sizeof(T) ? bytes.size() : sizeof(T));
    return rec;
}

// The header of a message from this process: pid, msgId, msgLen.
LAPI_MSG_HEADER_S MakeHeader(uint16_t msgId, uint16_t msgLen);
// A request record with its header filled in (msgLen = record size - 8) and, for the
// records that carry one, the mode field set by the caller.
template <typename T>
Bytes RequestBytes(T rec, uint16_t msgId) {
    rec.header = MakeHeader(msgId, static_cast<uint16_t>(sizeof(T) - sizeof(LAPI_MSG_HEADER_S)));
    return ToBytes(rec);
}
// 8 header bytes followed by body (msgLen = body size unless given).
Bytes RawMessage(uint16_t msgId, const Bytes &body);
Bytes RawMessage(uint16_t msgId, uint16_t msgLen, const Bytes &body);

// A client registered by hand: registerReq/registerRsp on the first connection,
// getAsyncFdReq/getAsyncFdRsp on the second.
struct RawClient {
    Fd sync;
    Fd async;
    int32_t globalId = -1;

    // False with the reason in *why when a step fails.
    bool Register(uint32_t services, std::string *why);
    // Sends req on the sync connection and reads the next message there.
    RecvResult Call(const Bytes &req, Bytes *rsp, int timeoutMs = 5000);
};

}  // namespace lapid_itest
