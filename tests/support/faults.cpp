#include "faults.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <stdexcept>

namespace lapitest::faults {
namespace {

constexpr int kKinds = static_cast<int>(Call::Poll) + 1;

struct Arm {
    bool active, sticky;
    int at;  // the count at which the first failure happens
    int err;
};

struct ThreadState {
    int count[kKinds];
    Arm arm[kKinds];
};

thread_local ThreadState t_state{};

// Counts a call of that kind; true (errno set) when it is to fail.
bool Inject(Call call) {
    const auto i = static_cast<size_t>(call);
    const int n = ++t_state.count[i];
    Arm &a = t_state.arm[i];
    if (!a.active || n < a.at || (n > a.at && !a.sticky)) {
        return false;
    }
    a.active = a.sticky;
    errno = a.err;
    return true;
}

// Read and Write count only socket descriptors.
bool InjectSocket(Call call, int fd) {
    const int saved = errno;
    struct stat st {};
    const bool sock = fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
    errno = saved;
    return sock && Inject(call);
}

}  // namespace

void FailNth(Call call, int nth, int err, bool sticky) {
    if (nth < 1) {
        throw std::invalid_argument("faults::FailNth: nth counts from 1");
    }
    const auto i = static_cast<size_t>(call);
    t_state.arm[i] = Arm{true, sticky, t_state.count[i] + nth, err};
}

void InterruptNth(Call call, int nth) {
    FailNth(call, nth, EINTR, false);
}

void Reset() {
    t_state = ThreadState{};
}

int Count(Call call) {
    return t_state.count[static_cast<size_t>(call)];
}

}  // namespace lapitest::faults

using lapitest::faults::Call;
using lapitest::faults::Inject;
using lapitest::faults::InjectSocket;

extern "C" {
int __real_socket(int domain, int type, int protocol);
int __real_connect(int fd, const sockaddr *addr, socklen_t len);
ssize_t __real_read(int fd, void *buf, size_t count);
ssize_t __real_write(int fd, const void *buf, size_t count);
ssize_t __real_recv(int fd, void *buf, size_t len, int flags);
ssize_t __real_send(int fd, const void *buf, size_t len, int flags);
int __real_close(int fd);
void *__real_malloc(size_t size);
int __real_fcntl(int fd, int cmd, ...);
int __real_poll(pollfd *fds, nfds_t n, int timeout);

int __wrap_socket(int domain, int type, int protocol);
int __wrap_connect(int fd, const sockaddr *addr, socklen_t len);
ssize_t __wrap_read(int fd, void *buf, size_t count);
ssize_t __wrap_write(int fd, const void *buf, size_t count);
ssize_t __wrap_recv(int fd, void *buf, size_t len, int flags);
ssize_t __wrap_send(int fd, const void *buf, size_t len, int flags);
int __wrap_close(int fd);
void *__wrap_malloc(size_t size);
int __wrap_fcntl(int fd, int cmd, ...);
int __wrap_poll(pollfd *fds, nfds_t n, int timeout);

int __wrap_socket(int domain, int type, int protocol) {
    return Inject(Call::Socket) ? -1 : __real_socket(domain, type, protocol);
}
int __wrap_connect(int fd, const sockaddr *addr, socklen_t len) {
    return Inject(Call::Connect) ? -1 : __real_connect(fd, addr, len);
}
ssize_t __wrap_read(int fd, void *buf, size_t count) {
    return InjectSocket(Call::Read, fd) ? -1 : __real_read(fd, buf, count);
}
ssize_t __wrap_write(int fd, const void *buf, size_t count) {
    return InjectSocket(Call::Write, fd) ? -1 : __real_write(fd, buf, count);
}
ssize_t __wrap_recv(int fd, void *buf, size_t len, int flags) {
    return InjectSocket(Call::Read, fd) ? -1 : __real_recv(fd, buf, len, flags);
}
ssize_t __wrap_send(int fd, const void *buf, size_t len, int flags) {
    return InjectSocket(Call::Write, fd) ? -1 : __real_send(fd, buf, len, flags);
}
// Like Linux, a close that fails other than with EAGAIN or EBADF still releases the
// descriptor.
int __wrap_close(int fd) {
    if (!Inject(Call::Close)) {
        return __real_close(fd);
    }
    const int err = errno;
    if (err != EAGAIN && err != EBADF) {
        __real_close(fd);
        errno = err;
    }
    return -1;
}
void *__wrap_malloc(size_t size) {
    return Inject(Call::Malloc) ? nullptr : __real_malloc(size);
}
int __wrap_fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return Inject(Call::Fcntl) ? -1 : __real_fcntl(fd, cmd, arg);
}
int __wrap_poll(pollfd *fds, nfds_t n, int timeout) {
    return Inject(Call::Poll) ? -1 : __real_poll(fds, n, timeout);
}

}  // extern "C"
