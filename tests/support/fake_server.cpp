#include "fake_server.h"

#include <lapi/lapi.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "LAPI_SrvCli.h"

namespace lapitest {

FakeServer::FakeServer() {
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, LAPI_SOCKET_PATH);
    ::unlink(LAPI_SOCKET_PATH);
    if (::bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 32) != 0) {
        throw std::runtime_error("fake server: cannot listen on " LAPI_SOCKET_PATH);
    }
    thread_ = std::thread([this] { Loop(); });
}

FakeServer::~FakeServer() {
    stop_ = true;
    ::shutdown(listenFd_, SHUT_RDWR);  // wakes the listener's poll at once
    thread_.join();
    for (const int fd : conns_) {
        ::close_range(static_cast<unsigned>(fd), static_cast<unsigned>(fd), 0);
    }
    ::close_range(static_cast<unsigned>(listenFd_), static_cast<unsigned>(listenFd_), 0);
    ::unlink(LAPI_SOCKET_PATH);
}

void FakeServer::Loop() {
    while (!stop_) {
        pollfd pfd{listenFd_, POLLIN, 0};
        if (::poll(&pfd, 1, 20) <= 0) {
            continue;
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::unique_lock lock(mutex_);
        const int index = static_cast<int>(conns_.size());
        auto it = handlers_.find(index);
        const Handler handler = it != handlers_.end() ? it->second : nullptr;
        lock.unlock();
        handler ? handler(fd, index) : Handshake(fd, index);
        lock.lock();
        conns_.push_back(fd);
    }
}

void FakeServer::Handshake(int fd, int index) {
    const std::optional<Bytes> req = ReadMsg(fd, 5s);
    if (!req) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        first_[index] = *req;
    }
    const std::string pid = " pid=" + std::to_string(getpid());
    if (NameOf(*req) == "registerReq") {
        Send(fd, Msg("registerRsp globalId=" + std::to_string(100 + index) + pid));
    } else if (NameOf(*req) == "getAsyncFdReq") {
        Send(fd, Msg("getAsyncFdRsp" + pid));
    }
}

void FakeServer::On(int index, Handler handler) {
    std::lock_guard lock(mutex_);
    handlers_[index] = std::move(handler);
}

int FakeServer::Conn(int index) {
    int fd = -1;
    WaitUntil([&] {
        std::lock_guard lock(mutex_);
        fd = index < static_cast<int>(conns_.size()) ? conns_[static_cast<size_t>(index)] : -1;
        return fd >= 0;
    });
    return fd;
}

Bytes FakeServer::First(int index) {
    std::lock_guard lock(mutex_);
    return first_[index];
}

bool Send(int fd, const Bytes &bytes) {
    return LAPI_WriteAll(fd, bytes.data(), bytes.size(), LAPI_TO_SOCKET) == 0;
}

int Unread(int fd) {
    int n = -1;
    ::ioctl(fd, SIOCOUTQ, &n);
    return n;
}

bool Trickle(int fd, const Bytes &bytes) {
    for (const uint8_t b : bytes) {
        if (!Send(fd, Bytes{b}) || !WaitUntil([&] { return Unread(fd) == 0; })) {
            return false;
        }
    }
    return true;
}

}  // namespace lapitest
