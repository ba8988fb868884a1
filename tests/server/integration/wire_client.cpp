#include "wire_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "lapid_process.h"

namespace lapid_itest {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for events on fd until the deadline; false on timeout.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd pfd{fd, events, 0};
        const int r = ::poll(&pfd, 1, RemainingMs(deadline));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return r > 0;
    }
}

// Reads exactly len bytes before the deadline.
RecvResult ReadExact(int fd, uint8_t *p, size_t len, Clock::time_point deadline) {
    size_t done = 0;
    while (done < len) {
        if (!WaitFor(fd, POLLIN, deadline)) {
            return RecvResult::kTimeout;
        }
        const ssize_t n = ::recv(fd, p + done, len - done, MSG_DONTWAIT);
        if (n == 0) {
            return RecvResult::kClosed;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return errno == ECONNRESET ? RecvResult::kClosed : RecvResult::kError;
        }
        done += static_cast<size_t>(n);
    }
    return RecvResult::kMessage;
}

uint16_t U16At(const Bytes &b, size_t off) {
    if (b.size() < off + 2) {
        return 0;
    }
    return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

}  // namespace

void Fd::Reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

Fd ConnectService(bool nonBlocking) {
    const int flags = SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0);
    Fd fd(::socket(AF_UNIX, flags, 0));
    if (!fd.Valid()) {
        return fd;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, kServicePath, sizeof addr.sun_path - 1);
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        const int err = errno;
        fd.Reset();
        errno = err;
    }
    return fd;
}

bool SendBytes(int fd, const void *data, size_t len, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto *p = static_cast<const uint8_t *>(data);
    size_t done = 0;
    while (done < len) {
        const ssize_t n = ::send(fd, p + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN && WaitFor(fd, POLLOUT, deadline)) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool SendBytes(int fd, const Bytes &bytes, int timeoutMs) {
    return SendBytes(fd, bytes.data(), bytes.size(), timeoutMs);
}

RecvResult RecvMessage(int fd, Bytes *msg, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    msg->assign(sizeof(LAPI_MSG_HEADER_S), 0);
    RecvResult r = ReadExact(fd, msg->data(), msg->size(), deadline);
    if (r != RecvResult::kMessage) {
        return r;
    }
    const uint16_t len = MsgLenOf(*msg);
    msg->resize(sizeof(LAPI_MSG_HEADER_S) + len);
    // Once the header is in, the body is waited for a little longer than the rest.
    return ReadExact(fd, msg->data() + sizeof(LAPI_MSG_HEADER_S), len,
                     std::max(deadline, Clock::now() + std::chrono::seconds(1)));
}

bool WaitClosed(int fd, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t buf[4096];
    for (;;) {
        if (!WaitFor(fd, POLLIN, deadline)) {
            return false;
        }
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) {
            return true;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return errno == ECONNRESET;
        }
    }
}

uint16_t MsgIdOf(const Bytes &msg) {
    return U16At(msg, 4);
}
uint16_t MsgLenOf(const Bytes &msg) {
    return U16At(msg, 6);
}

LAPI_MSG_HEADER_S MakeHeader(uint16_t msgId, uint16_t msgLen) {
    LAPI_MSG_HEADER_S h;
    h.pid = static_cast<int32_t>(::getpid());
    h.msgId = msgId;
    h.msgLen = msgLen;
    return h;
}

Bytes RawMessage(uint16_t msgId, uint16_t msgLen, const Bytes &body) {
    const LAPI_MSG_HEADER_S header = MakeHeader(msgId, msgLen);
    const auto *h = reinterpret_cast<const uint8_t *>(&header);
    Bytes out(h, h + sizeof header);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes RawMessage(uint16_t msgId, const Bytes &body) {
    return RawMessage(msgId, static_cast<uint16_t>(body.size()), body);
}

bool RawClient::Register(uint32_t services, std::string *why) {
    sync = ConnectService();
    if (!sync.Valid()) {
        *why = std::string("connect sync: ") + std::strerror(errno);
        return false;
    }
    LAPI_REGISTER_REQ_S reg{};
    reg.service = services;
    Bytes rsp;
    if (Call(RequestBytes(reg, LAPI_MSG_REGISTER_REQ), &rsp) != RecvResult::kMessage ||
        MsgIdOf(rsp) != LAPI_MSG_REGISTER_RSP) {
        *why = "no registerRsp";
        return false;
    }
    globalId = FromBytes<LAPI_REGISTER_RSP_S>(rsp).globalId;

    async = ConnectService();
    if (!async.Valid()) {
        *why = std::string("connect async: ") + std::strerror(errno);
        return false;
    }
    LAPI_GET_ASYNC_FD_REQ_S bind{};
    bind.globalId = globalId;
    if (!SendBytes(async.Get(), RequestBytes(bind, LAPI_MSG_GET_ASYNC_FD_REQ)) ||
        RecvMessage(async.Get(), &rsp, 5000) != RecvResult::kMessage ||
        MsgIdOf(rsp) != LAPI_MSG_GET_ASYNC_FD_RSP) {
        *why = "no getAsyncFdRsp";
        return false;
    }
    return true;
}

RecvResult RawClient::Call(const Bytes &req, Bytes *rsp, int timeoutMs) {
    if (!SendBytes(sync.Get(), req, timeoutMs)) {
        return RecvResult::kError;
    }
    return RecvMessage(sync.Get(), rsp, timeoutMs);
}

}  // namespace lapid_itest
