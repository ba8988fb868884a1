// Raw client sockets for the self-tests of the fixtures.
#pragma once

#include <cerrno>
#include <algorithm>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "bytes.h"
#include "fake_server.h"

namespace lapitest::selftest {

// Owns one descriptor.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    void Reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_;
};

// A connected client socket, or -1 with errno from the failing call.
inline int ConnectClient() {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, kSocketPath, std::strlen(kSocketPath));
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

inline bool SendAll(int fd, const Bytes &b) {
    size_t done = 0;
    while (done < b.size()) {
        const ssize_t n = send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

inline bool Readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

// Up to n bytes, fewer on end of file or when nothing comes for 5 s.
inline Bytes RecvUpTo(int fd, size_t n, int *reads = nullptr) {
    Bytes b;
    uint8_t buf[256];
    while (b.size() < n && Readable(fd, 5000)) {
        const ssize_t r = recv(fd, buf, std::min(sizeof buf, n - b.size()), 0);
        if (r <= 0) {
            break;
        }
        b.insert(b.end(), buf, buf + r);
        if (reads != nullptr) {
            ++*reads;
        }
    }
    return b;
}

// The result of the next recv once the socket is readable (0 = end of file),
// or -2 when nothing happens for 5 s.
inline ssize_t NextRecv(int fd, int *err) {
    if (!Readable(fd, 5000)) {
        return -2;
    }
    uint8_t buf[64];
    const ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    *err = errno;
    return r;
}

}  // namespace lapitest::selftest
