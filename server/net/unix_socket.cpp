#include "net/unix_socket.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

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

std::string SysError(const std::string &what) {
    return what + ": " + LAPI_ErrnoText(errno).c_str();
}

void Set(std::string *out, const std::string &text) {
    if (out != nullptr) {
        *out = text;
    }
}

}  // namespace

PathState ProbeSocketPath(const std::string &path, std::string *detail) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return PathState::kFree;
        }
        Set(detail, SysError("cannot examine " + path));
        return PathState::kUnknown;
    }
    if (!S_ISSOCK(st.st_mode)) {
        Set(detail, path + " exists and is not a socket");
        return PathState::kNotASocket;
    }
    sockaddr_un addr;
    socklen_t len = 0;
    if (!MakeAddress(path, addr, len)) {
        Set(detail, path + ": path too long for a socket");
        return PathState::kUnknown;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Set(detail, SysError("socket"));
        return PathState::kUnknown;
    }
    const int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), len);
    const int err = errno;
    ::close(fd);
    if (rc == 0) {
        Set(detail, "another server is listening on " + path);
        return PathState::kLiveServer;
    }
    if (err == ECONNREFUSED) {
        return PathState::kStaleSocket;
    }
    errno = err;
    Set(detail, SysError("cannot tell whether a server listens on " + path));
    return PathState::kUnknown;
}

int ListenUnix(const std::string &path, mode_t mode, std::string *error) {
    sockaddr_un addr;
    socklen_t len = 0;
    if (!MakeAddress(path, addr, len)) {
        Set(error, path + ": not a usable socket path");
        return -1;
    }
    std::string detail;
    switch (ProbeSocketPath(path, &detail)) {
        case PathState::kFree:
            break;
        case PathState::kStaleSocket:
            if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
                Set(error, SysError("cannot remove the stale socket " + path));
                return -1;
            }
            break;
        default:
            Set(error, detail);
            return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Set(error, SysError("socket"));
        return -1;
    }
    const mode_t old = ::umask(static_cast<mode_t>(~mode & 0777));
    const int rc = ::bind(fd, reinterpret_cast<const sockaddr *>(&addr), len);
    const int bindErr = errno;
    ::umask(old);
    if (rc != 0) {
        errno = bindErr;
        Set(error, SysError("cannot bind " + path));
        ::close(fd);
        return -1;
    }
    if (::chmod(path.c_str(), mode) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        Set(error, SysError("cannot listen on " + path));
        ::close(fd);
        ::unlink(path.c_str());
        return -1;
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

}  // namespace lapid
