#include "transport/unix_socket.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <utility>

#include "LAPI_SrvCli.h"

namespace lapid {

namespace {

bool MakeAddress(const std::string &path, sockaddr_un &addr, socklen_t &len) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        return false;
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

Error SysError(const std::string &what) {
    return Error{what + ": " + LAPI_ErrnoText(errno).c_str()};
}

// What stands at `path`, and for anything but a free path or a stale socket, why a
// server cannot bind there.
struct Probe {
    PathState state;
    Error why;
};

Probe Examine(const std::string &path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return {PathState::kFree, {}};
        }
        return {PathState::kUnknown, SysError("cannot examine " + path)};
    }
    if (!S_ISSOCK(st.st_mode)) {
        return {PathState::kNotASocket, Error{path + " exists and is not a socket"}};
    }
    sockaddr_un addr;
    socklen_t len = 0;
    if (!MakeAddress(path, addr, len)) {
        return {PathState::kUnknown, Error{path + ": path too long for a socket"}};
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return {PathState::kUnknown, SysError("socket")};
    }
    const int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), len);
    const int err = errno;
    ::close(fd);
    if (rc == 0) {
        return {PathState::kLiveServer, Error{"another server is listening on " + path}};
    }
    if (err == ECONNREFUSED) {
        return {PathState::kStaleSocket, {}};
    }
    errno = err;
    return {PathState::kUnknown, SysError("cannot tell whether a server listens on " + path)};
}

}  // namespace

PathState ProbeSocketPath(const std::string &path) {
    return Examine(path).state;
}

Result<int> ListenUnix(const std::string &path, mode_t mode) {
    sockaddr_un addr;
    socklen_t len = 0;
    if (!MakeAddress(path, addr, len)) {
        return Error{path + ": not a usable socket path"};
    }
    Probe probe = Examine(path);
    switch (probe.state) {
        case PathState::kFree:
            break;
        case PathState::kStaleSocket:
            if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
                return SysError("cannot remove the stale socket " + path);
            }
            break;
        case PathState::kLiveServer:
        case PathState::kNotASocket:
        case PathState::kUnknown:
            return std::move(probe.why);
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return SysError("socket");
    }
    const mode_t old = ::umask(static_cast<mode_t>(~mode & 0777));
    const int rc = ::bind(fd, reinterpret_cast<const sockaddr *>(&addr), len);
    const int bindErr = errno;
    ::umask(old);
    if (rc != 0) {
        errno = bindErr;
        Error error = SysError("cannot bind " + path);
        ::close(fd);
        return error;
    }
    if (::chmod(path.c_str(), mode) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        Error error = SysError("cannot listen on " + path);
        ::close(fd);
        ::unlink(path.c_str());
        return error;
    }
    return fd;
}

long RaiseFdLimit() {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        return -1;
    }
    if (rl.rlim_cur < rl.rlim_max) {
        rlimit raised = rl;
        raised.rlim_cur = rl.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            rl = raised;
        }
    }
    return rl.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(rl.rlim_cur);
}

namespace {

// The decimal value of environment variable `name`, or -1 when it is unset or not a
// plain non-negative number.
long EnvNumber(const char *name) {
    const char *text = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): start-up, one thread
    if (text == nullptr) {
        return -1;
    }
    long v = -1;
    const char *end = text + std::strlen(text);
    const auto [ptr, ec] = std::from_chars(text, end, v);
    return ec == std::errc() && ptr == end && v >= 0 ? v : -1;
}

}  // namespace

Result<int> ActivatedSocket(const std::string &path) {
    constexpr int kFirstFd = 3;  // the service manager's first handed descriptor
    const long pid = EnvNumber("LISTEN_PID");
    const long count = EnvNumber("LISTEN_FDS");
    // Called at start-up, before lapid has any other thread.
    ::unsetenv("LISTEN_PID");      // NOLINT(concurrency-mt-unsafe)
    ::unsetenv("LISTEN_FDS");      // NOLINT(concurrency-mt-unsafe)
    ::unsetenv("LISTEN_FDNAMES");  // NOLINT(concurrency-mt-unsafe)
    if (pid != static_cast<long>(::getpid()) || count <= 0) {
        return -1;
    }
    if (count != 1) {
        return Error{"the service manager handed over " + std::to_string(count) +
                     " sockets; expected one, for " + path};
    }
    const int fd = kFirstFd;
    const auto option = [](int name) {
        int value = 0;
        socklen_t len = sizeof value;
        return ::getsockopt(kFirstFd, SOL_SOCKET, name, &value, &len) == 0 ? value : -1;
    };
    sockaddr_un addr{};
    socklen_t addrLen = sizeof addr;
    const bool isStream = option(SO_TYPE) == SOCK_STREAM && option(SO_ACCEPTCONN) == 1;
    const bool named = ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &addrLen) == 0 &&
                       addr.sun_family == AF_UNIX && addrLen > offsetof(sockaddr_un, sun_path) &&
                       strnlen(addr.sun_path, sizeof addr.sun_path) == path.size() &&
                       std::memcmp(addr.sun_path, path.data(), path.size()) == 0;
    if (!isStream || !named) {
        return Error{
            "the socket handed over by the service manager is not a listening "
            "stream socket at " +
            path};
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
        ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        return SysError("cannot set up the socket handed over for " + path);
    }
    return fd;
}

Result<> SetSocketGroup(const std::string &path, gid_t gid) {
    if (::lchown(path.c_str(), static_cast<uid_t>(-1), gid) != 0) {
        return SysError("cannot give " + path + " to group " + std::to_string(gid));
    }
    return {};
}

}  // namespace lapid
