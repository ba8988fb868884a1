#include "transport/net_server.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "transport/unix_socket.h"
#include "protocol/log.h"

namespace lapid {

namespace {

constexpr const char *kLapiFile = LAPI_BaseName(__FILE__);
constexpr std::size_t kReadChunk = 16384;
constexpr int kReadsPerEvent = 4;  // then other descriptors get their turn
constexpr uint32_t kInput = EPOLLIN | EPOLLRDHUP;
constexpr std::size_t kControlReserve = 4;  // descriptors kept for operator connections

int OpenSpare() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace

NetServer::NetServer(EventLoop &loop, Engine &engine, ControlCommands &commands)
    : loop_(loop), engine_(engine), commands_(commands) {}

NetServer::~NetServer() {
    Stop();
}

Result<> NetServer::Listen(Listener &l, const std::string &path, mode_t mode) {
    const Result<int> fd = ListenUnix(path, mode);
    if (!fd) {
        return Error{fd.ErrorText()};
    }
    l.fd = *fd;
    struct stat st {};
    ::lstat(path.c_str(), &st);
    l.path = path;
    l.dev = st.st_dev;
    l.ino = st.st_ino;
    return {};
}

// Takes back the spare and reserved descriptors given up while out of descriptors.
void NetServer::Replenish() {
    if (spareFd_ < 0) {
        spareFd_ = OpenSpare();
    }
    for (int fd; reserve_.size() < kControlReserve && (fd = OpenSpare()) >= 0;) {
        reserve_.push_back(fd);
    }
}

Result<> NetServer::Start(const NetConfig &config) {
    config_ = config;
    Replenish();
    Result<> listening{};
    if (config.serviceFd >= 0) {
        service_.fd = config.serviceFd;  // no path: the file is not ours to remove
    } else {
        listening = Listen(service_, config.servicePath, config.serviceMode);
        if (listening && config.serviceGroup != static_cast<gid_t>(-1)) {
            listening = SetSocketGroup(config.servicePath, config.serviceGroup);
        }
    }
    if (listening) {
        listening = Listen(control_, config.controlPath, 0600);
    }
    if (!listening) {
        Stop();
        return listening;
    }
    const bool watched = loop_.Watch(service_.fd, EPOLLIN, [this](uint32_t) { AcceptService(); }) &&
                         loop_.Watch(control_.fd, EPOLLIN, [this](uint32_t) { AcceptControl(); });
    if (!watched) {
        Error error{std::string("cannot watch the listening sockets: ") +
                    LAPI_ErrnoText(errno).c_str()};
        Stop();
        return error;
    }
    return {};
}

void NetServer::CloseListener(Listener &l) {
    if (l.fd < 0) {
        return;
    }
    loop_.Unwatch(l.fd);
    ::close(l.fd);
    l.fd = -1;
    // Remove the file only while it is still the socket this server made.
    struct stat st {};
    if (::lstat(l.path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == l.dev &&
        st.st_ino == l.ino) {
        ::unlink(l.path.c_str());
    }
}

void NetServer::Stop() {
    while (!svc_.empty()) {
        CloseService(svc_.begin()->first);
    }
    while (!ctl_.empty()) {
        CloseControl(ctl_.begin()->first);
    }
    CloseListener(service_);
    CloseListener(control_);
    if (spareFd_ >= 0) {
        ::close(spareFd_);
        spareFd_ = -1;
    }
    for (int fd : reserve_) {
        ::close(fd);
    }
    reserve_.clear();
}

// Accepts one connection; -1 when none is waiting. Out of descriptors, an operator
// connection gets one of the reserved descriptors; otherwise the spare descriptor is
// given up to accept and close the first waiting connection, so the listening socket
// does not stay readable forever.
int NetServer::AcceptOne(int listenFd) {
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            return fd;
        }
        if (errno == EINTR || errno == ECONNABORTED) {
            continue;
        }
        if ((errno == EMFILE || errno == ENFILE) && listenFd == control_.fd && !reserve_.empty()) {
            ::close(reserve_.back());
            reserve_.pop_back();
            continue;
        }
        if ((errno == EMFILE || errno == ENFILE) && spareFd_ >= 0) {
            LAPID_ERR("Fail to accept, errno is: %d, %s: shedding a connection!", errno,
                      LAPI_ErrnoText(errno).c_str());
            ::close(spareFd_);
            const int shed = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (shed >= 0) {
                ::close(shed);
            }
            spareFd_ = OpenSpare();
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            LAPID_ERR("Fail to accept, errno is: %d, %s", errno, LAPI_ErrnoText(errno).c_str());
        }
        return -1;
    }
}

void NetServer::AcceptService() {
    for (int fd; (fd = AcceptOne(service_.fd)) >= 0;) {
        ucred cred{};
        socklen_t len = sizeof cred;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
            LAPID_ERR("Fail to read the peer of a connection, errno is: %d, %s", errno,
                      LAPI_ErrnoText(errno).c_str());
            ::close(fd);
            continue;
        }
        const ConnId id = engine_.Open(PeerCred{cred.pid, cred.uid});
        svc_[id] = ServiceConn{fd, false};
        if (engine_.WantsClose(id)) {  // refused: its uid holds too many connections
            CloseService(id);
            continue;
        }
        if (!loop_.Watch(fd, kInput, [this, id](uint32_t ev) { OnService(id, ev); })) {
            LAPID_ERR("Fail to watch connection, errno is: %d, %s", errno,
                      LAPI_ErrnoText(errno).c_str());
            CloseService(id);
        }
    }
}

void NetServer::OnService(ConnId id, uint32_t events) {
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
        ReadService(id);
    }
    if ((events & EPOLLOUT) != 0 && svc_.contains(id)) {
        FlushService(id);
    }
}

void NetServer::ReadService(ConnId id) {
    uint8_t buf[kReadChunk];
    for (int i = 0; i < kReadsPerEvent; ++i) {
        auto it = svc_.find(id);
        if (it == svc_.end()) {
            return;
        }
        const ssize_t n = ::read(it->second.fd, buf, sizeof buf);
        if (n > 0) {
            engine_.Receive(id, buf, static_cast<std::size_t>(n));
            if (static_cast<std::size_t>(n) < sizeof buf) {
                return;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        CloseService(id);  // end of stream or a read error: the peer is gone
        return;
    }
}

void NetServer::Flush() {
    for (std::vector<ConnId> ids; !(ids = engine_.TakeTouched()).empty();) {
        for (ConnId id : ids) {
            FlushService(id);
        }
    }
}

void NetServer::FlushService(ConnId id) {
    auto it = svc_.find(id);
    if (it == svc_.end()) {
        return;
    }
    ServiceConn &c = it->second;
    for (std::span<const uint8_t> data; !(data = engine_.Pending(id)).empty();) {
        const ssize_t n = ::send(c.fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            engine_.Consume(id, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            SetWantWrite(c.fd, c.wantWrite, true);
            return;
        }
        CloseService(id);  // EPIPE, ECONNRESET, ...
        return;
    }
    if (engine_.WantsClose(id)) {
        CloseService(id);
        return;
    }
    SetWantWrite(c.fd, c.wantWrite, false);
}

void NetServer::SetWantWrite(int fd, bool &flag, bool want) {
    if (flag != want && loop_.Modify(fd, want ? (kInput | EPOLLOUT) : kInput)) {
        flag = want;
    }
}

void NetServer::CloseService(ConnId id) {
    auto it = svc_.find(id);
    if (it == svc_.end()) {
        return;
    }
    const int fd = it->second.fd;
    svc_.erase(it);
    loop_.Unwatch(fd);
    ::close(fd);
    engine_.Closed(id);
    Replenish();
}

// ---------------------------------------------------------------------------------
// Control connections
// ---------------------------------------------------------------------------------

void NetServer::AcceptControl() {
    for (int fd; (fd = AcceptOne(control_.fd)) >= 0;) {
        ControlConn &c = ctl_[fd];
        c.session = std::make_unique<ControlSession>(commands_);
        if (!loop_.Watch(fd, kInput, [this, fd](uint32_t ev) { OnControl(fd, ev); })) {
            CloseControl(fd);
        }
    }
}

void NetServer::OnControl(int fd, uint32_t events) {
    auto it = ctl_.find(fd);
    if (it == ctl_.end()) {
        return;
    }
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            CloseControl(fd);
            return;
        }
        if (n > 0) {
            it->second.out += it->second.session->Feed(buf, static_cast<std::size_t>(n));
        }
    }
    FlushControl(fd);
    // Commands may have changed what service connections have to write.
    Flush();
}

void NetServer::FlushControl(int fd) {
    ControlConn &c = ctl_.at(fd);
    while (!c.out.empty()) {
        const ssize_t n = ::send(fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.out.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            CloseControl(fd);
            return;
        }
    }
    if (c.session->Ended() && c.out.empty()) {
        CloseControl(fd);
        return;
    }
    if (c.out.size() > config_.maxControlBacklog) {
        LAPID_ERR("Control connection does not read its answers, closing it!");
        CloseControl(fd);
        return;
    }
    SetWantWrite(fd, c.wantWrite, !c.out.empty());
}

void NetServer::CloseControl(int fd) {
    if (ctl_.erase(fd) == 0) {
        return;
    }
    loop_.Unwatch(fd);
    ::close(fd);
    Replenish();
}

}  // namespace lapid
