#include "faults.h"

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <stdexcept>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

// The linker sends every reference to X in the wrapped objects to __wrap_X and
// every reference to __real_X to the real X. Nothing in this file may call one
// of the wrapped functions by its plain name.
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

int __wrap_socket(int domain, int type, int protocol);
int __wrap_connect(int fd, const sockaddr *addr, socklen_t len);
ssize_t __wrap_read(int fd, void *buf, size_t count);
ssize_t __wrap_write(int fd, const void *buf, size_t count);
ssize_t __wrap_recv(int fd, void *buf, size_t len, int flags);
ssize_t __wrap_send(int fd, const void *buf, size_t len, int flags);
int __wrap_close(int fd);
void *__wrap_malloc(size_t size);
int __wrap_fcntl(int fd, int cmd, ...);
}

namespace lapitest::faults {

namespace {

constexpr int kKinds = static_cast<int>(Call::Fcntl) + 1;

struct Arm {
    bool active;
    bool sticky;
    int at;  // value of the count at which the first failure happens
    int err;
};

// Trivial and zero-initialised, so reaching it needs no thread-local
// constructor: the wrappers may run at any time, malloc during start-up too.
struct ThreadState {
    int count[kKinds];
    Arm arm[kKinds];
};

thread_local ThreadState t_state{};

constexpr int Index(Call call) {
    return static_cast<int>(call);
}

// Counts the call and tells whether it must fail, and with which errno.
bool Inject(Call call, int *err) {
    ThreadState &s = t_state;
    const int n = ++s.count[Index(call)];
    Arm &a = s.arm[Index(call)];
    if (!a.active || n < a.at || (n > a.at && !a.sticky)) {
        return false;
    }
    if (!a.sticky) {
        a.active = false;
    }
    *err = a.err;
    return true;
}

bool IsSocket(int fd) {
    const int saved = errno;
    struct stat st {};
    const bool sock = fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
    errno = saved;
    return sock;
}

}  // namespace

void FailNth(Call call, int nth, int err, bool sticky) {
    if (nth < 1) {
        throw std::invalid_argument("faults::FailNth: nth counts from 1");
    }
    ThreadState &s = t_state;
    s.arm[Index(call)] = Arm{true, sticky, s.count[Index(call)] + nth, err};
}

void InterruptNth(Call call, int nth) {
    FailNth(call, nth, EINTR, false);
}

void Reset() {
    t_state = ThreadState{};
}

int Count(Call call) {
    return t_state.count[Index(call)];
}

}  // namespace lapitest::faults

namespace f = lapitest::faults;

extern "C" {

int __wrap_socket(int domain, int type, int protocol) {
    int err = 0;
    if (f::Inject(f::Call::Socket, &err)) {
        errno = err;
        return -1;
    }
    return __real_socket(domain, type, protocol);
}

int __wrap_connect(int fd, const sockaddr *addr, socklen_t len) {
    int err = 0;
    if (f::Inject(f::Call::Connect, &err)) {
        errno = err;
        return -1;
    }
    return __real_connect(fd, addr, len);
}

ssize_t __wrap_read(int fd, void *buf, size_t count) {
    int err = 0;
    if (f::IsSocket(fd) && f::Inject(f::Call::Read, &err)) {
        errno = err;
        return -1;
    }
    return __real_read(fd, buf, count);
}

ssize_t __wrap_write(int fd, const void *buf, size_t count) {
    int err = 0;
    if (f::IsSocket(fd) && f::Inject(f::Call::Write, &err)) {
        errno = err;
        return -1;
    }
    return __real_write(fd, buf, count);
}

ssize_t __wrap_recv(int fd, void *buf, size_t len, int flags) {
    int err = 0;
    if (f::IsSocket(fd) && f::Inject(f::Call::Read, &err)) {
        errno = err;
        return -1;
    }
    return __real_recv(fd, buf, len, flags);
}

ssize_t __wrap_send(int fd, const void *buf, size_t len, int flags) {
    int err = 0;
    if (f::IsSocket(fd) && f::Inject(f::Call::Write, &err)) {
        errno = err;
        return -1;
    }
    return __real_send(fd, buf, len, flags);
}

int __wrap_close(int fd) {
    int err = 0;
    if (f::Inject(f::Call::Close, &err)) {
        if (err != EINTR && err != EAGAIN && err != EBADF) {
            __real_close(fd);
        }
        errno = err;
        return -1;
    }
    return __real_close(fd);
}

void *__wrap_malloc(size_t size) {
    int err = 0;
    if (f::Inject(f::Call::Malloc, &err)) {
        errno = err;
        return nullptr;
    }
    return __real_malloc(size);
}

// The third argument is an int or a pointer depending on cmd; it is passed on
// as a pointer-sized value, as the C library itself reads it.
int __wrap_fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int err = 0;
    if (f::Inject(f::Call::Fcntl, &err)) {
        errno = err;
        return -1;
    }
    return __real_fcntl(fd, cmd, arg);
}

}  // extern "C"
