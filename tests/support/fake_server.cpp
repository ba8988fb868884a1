#include "fake_server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace lapitest {

namespace {

std::string ErrnoText(int err) {
    return std::to_string(err) + " (" + std::generic_category().message(err) + ")";
}

bool Retryable(int err) {
    return err == EINTR || err == EAGAIN || err == EWOULDBLOCK;
}

// sendto/recvfrom rather than send/recv, which fault injection wraps: the
// server's I/O must never count or fail as a test thread's call, and Send()
// runs on the test thread.
ssize_t SendSome(int fd, const uint8_t *data, size_t len) {
    return sendto(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT, nullptr, 0);
}

ssize_t RecvSome(int fd, uint8_t *buf, size_t len) {
    return recvfrom(fd, buf, len, MSG_DONTWAIT, nullptr, nullptr);
}

}  // namespace

// ---------------------------------------------------------------- steps

Step ReadMsg(std::optional<uint16_t> expectMsgId) {
    Step s;
    s.kind = Step::Kind::ReadMsg;
    s.expectMsgId = expectMsgId;
    return s;
}

Step Read(size_t n) {
    Step s;
    s.kind = Step::Kind::Read;
    s.count = n;
    return s;
}

Step Write(Bytes bytes) {
    Step s;
    s.kind = Step::Kind::Write;
    s.bytes = std::move(bytes);
    return s;
}

Step WriteBytewise(Bytes bytes, std::chrono::milliseconds pause) {
    Step s;
    s.kind = Step::Kind::WriteBytewise;
    s.bytes = std::move(bytes);
    s.delay = pause;
    return s;
}

Step Sleep(std::chrono::milliseconds ms) {
    Step s;
    s.kind = Step::Kind::Sleep;
    s.delay = ms;
    return s;
}

Step Close() {
    Step s;
    s.kind = Step::Kind::Close;
    return s;
}

Step StopListening(bool unlinkPath) {
    Step s;
    s.kind = Step::Kind::StopListening;
    s.unlinkPath = unlinkPath;
    return s;
}

Step WaitFor(std::string name) {
    Step s;
    s.kind = Step::Kind::WaitFor;
    s.name = std::move(name);
    return s;
}

Script Concat(Script first, const Script &second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::string Describe(const Step &step) {
    switch (step.kind) {
        case Step::Kind::ReadMsg:
            return "ReadMsg(" + (step.expectMsgId ? std::to_string(*step.expectMsgId) : "") + ")";
        case Step::Kind::Read:
            return "Read(" + std::to_string(step.count) + ")";
        case Step::Kind::Write:
            return "Write(" + std::to_string(step.bytes.size()) + " bytes)";
        case Step::Kind::WriteBytewise:
            return "WriteBytewise(" + std::to_string(step.bytes.size()) + " bytes)";
        case Step::Kind::Sleep:
            return "Sleep(" + std::to_string(step.delay.count()) + " ms)";
        case Step::Kind::Close:
            return "Close()";
        case Step::Kind::StopListening:
            return step.unlinkPath ? "StopListening(unlink)" : "StopListening()";
        case Step::Kind::WaitFor:
            return "WaitFor(\"" + step.name + "\")";
    }
    return "?";
}

// ---------------------------------------------------------------- connection

struct FakeServer::Conn {
    int index = 0;
    // Written only by the connection's own thread, under mu_; other threads
    // use it only while holding mu_.
    int fd = -1;
    Script script;  // the connection thread's own once it runs
    Bytes received;
    bool peerClosed = false;
    bool scriptDone = false;
    bool closed = false;
    bool closeRequested = false;
    int lastErrno = 0;  // connection thread only
    std::thread thread;
};

// ---------------------------------------------------------------- lifetime

FakeServer::FakeServer() {
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    std::unique_lock lock(mu_);
    cv_.wait(lock, [this] { return ready_; });
    if (!setupError_.empty()) {
        const std::string error = setupError_;
        lock.unlock();
        acceptThread_.join();
        throw std::runtime_error("FakeServer: " + error);
    }
}

FakeServer::~FakeServer() {
    {
        // Written under the lock: the accept thread takes it before closing
        // the eventfd, which orders the close after this write.
        std::lock_guard lock(mu_);
        stopping_ = true;
        // Never read back: the event stays pending, so every poll returns at once.
        eventfd_write(stopFd_, 1);
    }
    cv_.notify_all();
    acceptThread_.join();
}

// Runs on the accept thread: creates every descriptor the server listens with.
bool FakeServer::Setup() {
    std::string error;
    int lfd = -1;
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ctlFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0 || ctlFd_ < 0) {
        error = "eventfd: " + ErrnoText(errno);
    } else if ((lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) < 0) {
        error = "socket: " + ErrnoText(errno);
    } else {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, kSocketPath, std::strlen(kSocketPath));
        struct stat st {};
        if (unlink(kSocketPath) != 0 && errno != ENOENT) {
            error = std::string("unlink ") + kSocketPath + ": " + ErrnoText(errno);
        } else if (bind(lfd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
            error = std::string("bind ") + kSocketPath + ": " + ErrnoText(errno);
        } else if (listen(lfd, 64) != 0) {
            error = "listen: " + ErrnoText(errno);
        } else if (stat(kSocketPath, &st) != 0) {
            error = std::string("stat ") + kSocketPath + ": " + ErrnoText(errno);
        } else {
            pathDev_ = st.st_dev;
            pathIno_ = st.st_ino;
        }
    }
    if (!error.empty()) {
        for (int fd : {lfd, ctlFd_, stopFd_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    std::lock_guard lock(mu_);
    if (error.empty()) {
        listenFd_ = lfd;
        listening_ = true;
    } else {
        setupError_ = error;
    }
    ready_ = true;
    cv_.notify_all();
    return error.empty();
}

void FakeServer::AcceptLoop() {
    if (!Setup()) {
        return;
    }
    for (;;) {
        pollfd p[3] = {{stopFd_, POLLIN, 0}, {ctlFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
        if (poll(p, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::lock_guard lock(mu_);
            AddError("accept thread: poll: " + ErrnoText(errno));
            break;
        }
        if (p[0].revents != 0) {
            break;
        }
        if (p[1].revents != 0) {
            eventfd_t ignored = 0;
            eventfd_read(ctlFd_, &ignored);
            std::lock_guard lock(mu_);
            if (stopListenRequested_ && listenFd_ >= 0) {
                close(listenFd_);
                listenFd_ = -1;
                listening_ = false;
                if (unlinkOnStop_) {
                    UnlinkOwnPath();
                }
            }
            cv_.notify_all();
        }
        if (p[2].revents != 0) {
            AcceptPending();
        }
    }
    Shutdown();
}

void FakeServer::AcceptPending() {
    for (;;) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            if (err == EINTR || err == ECONNABORTED) {
                continue;
            }
            if (err == EAGAIN || err == EWOULDBLOCK) {
                return;
            }
            // Out of descriptors or similar: report it and back off instead
            // of spinning on a listening socket that stays readable.
            std::unique_lock lock(mu_);
            AddError("accept: " + ErrnoText(err));
            cv_.wait_for(lock, std::chrono::milliseconds(10), [this] { return stopping_; });
            return;
        }
        std::lock_guard lock(mu_);
        auto conn = std::make_unique<Conn>();
        conn->index = static_cast<int>(conns_.size());
        conn->fd = fd;
        if (auto it = scripts_.find(conn->index); it != scripts_.end()) {
            conn->script = std::move(it->second);
            scripts_.erase(it);
        }
        Conn &c = *conn;
        conns_.push_back(std::move(conn));
        c.thread = std::thread([this, &c] { Serve(c); });
        cv_.notify_all();
    }
}

// End of the accept thread: every connection thread has been told to stop.
void FakeServer::Shutdown() {
    for (size_t i = 0;; ++i) {
        Conn *c = nullptr;
        {
            std::lock_guard lock(mu_);
            if (i >= conns_.size()) {
                break;
            }
            c = conns_[i].get();
        }
        if (c->thread.joinable()) {
            c->thread.join();
        }
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
    }
    UnlinkOwnPath();
    close(ctlFd_);
    close(stopFd_);
}

// Removes the socket file only while it is still the one this server bound,
// never a file that somebody else created since.
void FakeServer::UnlinkOwnPath() {
    struct stat st {};
    if (pathIno_ != 0 && stat(kSocketPath, &st) == 0 && st.st_dev == pathDev_ &&
        st.st_ino == pathIno_) {
        unlink(kSocketPath);
    }
    pathIno_ = 0;
}

// ---------------------------------------------------------------- connection thread

void FakeServer::Serve(Conn &c) {
    RunScript(c);
    bool drain = false;
    {
        std::lock_guard lock(mu_);
        c.scriptDone = true;
        drain = !c.closed && !Interrupted(c);
        cv_.notify_all();
    }
    if (drain) {
        Drain(c);
    }
    CloseOwnEnd(c);
}

void FakeServer::RunScript(Conn &c) {
    for (size_t i = 0; i < c.script.size(); ++i) {
        {
            std::lock_guard lock(mu_);
            if (Interrupted(c)) {
                return;
            }
        }
        if (!RunStep(c, i + 1, c.script[i])) {
            if (c.script[i].kind == Step::Kind::Close && i + 1 < c.script.size()) {
                std::lock_guard lock(mu_);
                AddError("connection " + std::to_string(c.index) + ": " +
                         std::to_string(c.script.size() - i - 1) +
                         " step(s) after Close() not run");
            }
            return;
        }
    }
}

// Runs one step; false ends the script.
bool FakeServer::RunStep(Conn &c, size_t stepNo, const Step &step) {
    const auto fail = [&](const std::string &what) {
        std::lock_guard lock(mu_);
        if (!Interrupted(c)) {
            AddError("connection " + std::to_string(c.index) + ", step " + std::to_string(stepNo) +
                     " " + Describe(step) + ": " + what);
        }
        return false;
    };
    const auto ioFailure = [&](Io r, size_t got, size_t want) {
        if (r == Io::Eof) {
            return fail("end of file after " + std::to_string(got) + " of " + std::to_string(want) +
                        " bytes");
        }
        if (r == Io::Failed) {
            return fail(ErrnoText(c.lastErrno));
        }
        return false;
    };

    switch (step.kind) {
        case Step::Kind::ReadMsg: {
            Bytes header;
            Io r = ReadExact(c, kHeaderSize, &header);
            if (r != Io::Ok) {
                return ioFailure(r, header.size(), kHeaderSize);
            }
            Bytes body;
            r = ReadExact(c, MsgLen(header), &body);
            if (r != Io::Ok) {
                return ioFailure(r, body.size(), MsgLen(header));
            }
            if (step.expectMsgId && MsgId(header) != *step.expectMsgId) {
                fail("received msgId " + std::to_string(MsgId(header)));
            }
            return true;
        }
        case Step::Kind::Read: {
            Bytes got;
            const Io r = ReadExact(c, step.count, &got);
            return r == Io::Ok || ioFailure(r, got.size(), step.count);
        }
        case Step::Kind::Write: {
            const Io r = WriteAll(c, step.bytes.data(), step.bytes.size());
            return r == Io::Ok || ioFailure(r, 0, step.bytes.size());
        }
        case Step::Kind::WriteBytewise:
            for (size_t i = 0; i < step.bytes.size(); ++i) {
                if (i != 0) {
                    std::unique_lock lock(mu_);
                    if (cv_.wait_for(lock, step.delay, [&] { return Interrupted(c); })) {
                        return false;
                    }
                }
                const Io r = WriteAll(c, &step.bytes[i], 1);
                if (r != Io::Ok) {
                    return ioFailure(r, i, step.bytes.size());
                }
            }
            return true;
        case Step::Kind::Sleep: {
            std::unique_lock lock(mu_);
            return !cv_.wait_for(lock, step.delay, [&] { return Interrupted(c); });
        }
        case Step::Kind::Close:
            CloseOwnEnd(c);
            return false;
        case Step::Kind::StopListening: {
            {
                std::lock_guard lock(mu_);
                stopListenRequested_ = true;
                unlinkOnStop_ = step.unlinkPath;
            }
            eventfd_write(ctlFd_, 1);
            std::unique_lock lock(mu_);
            if (!cv_.wait_for(lock, kDefaultWait, [this] { return !listening_ || stopping_; })) {
                lock.unlock();
                return fail("listening socket still open");
            }
            return !stopping_;
        }
        case Step::Kind::WaitFor: {
            std::unique_lock lock(mu_);
            const bool ended = cv_.wait_for(lock, kDefaultWait, [&] {
                return signals_.count(step.name) != 0 || Interrupted(c);
            });
            if (!ended) {
                lock.unlock();
                return fail("no Signal(\"" + step.name + "\") within " +
                            std::to_string(kDefaultWait.count()) + " ms");
            }
            return !Interrupted(c);
        }
    }
    return false;
}

FakeServer::Io FakeServer::WaitFd(const Conn &c, short events) {
    pollfd p[2] = {{c.fd, events, 0}, {stopFd_, POLLIN, 0}};
    for (;;) {
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Io::Failed;
        }
        if (p[1].revents != 0) {
            return Io::Stopped;
        }
        if (p[0].revents != 0) {
            return Io::Ok;
        }
    }
}

// Reads exactly n bytes (appended to *out and to the connection's record).
FakeServer::Io FakeServer::ReadExact(Conn &c, size_t n, Bytes *out) {
    uint8_t buf[4096];
    while (out->size() < n) {
        const Io w = WaitFd(c, POLLIN);
        if (w != Io::Ok) {
            c.lastErrno = errno;
            return w;
        }
        const ssize_t r = RecvSome(c.fd, buf, std::min(n - out->size(), sizeof buf));
        if (r < 0) {
            if (Retryable(errno)) {
                continue;
            }
            c.lastErrno = errno;
            if (c.lastErrno == ECONNRESET) {
                // The client closed with bytes of ours still unread.
                std::lock_guard lock(mu_);
                c.peerClosed = !c.closeRequested;
                cv_.notify_all();
            }
            return Io::Failed;
        }
        std::lock_guard lock(mu_);
        if (r == 0) {
            c.peerClosed = !c.closeRequested;
            cv_.notify_all();
            return Io::Eof;
        }
        const size_t got = static_cast<size_t>(r);
        out->insert(out->end(), buf, buf + got);
        c.received.insert(c.received.end(), buf, buf + got);
        cv_.notify_all();
    }
    return Io::Ok;
}

FakeServer::Io FakeServer::WriteAll(Conn &c, const uint8_t *data, size_t len) {
    size_t done = 0;
    while (done < len) {
        const Io w = WaitFd(c, POLLOUT);
        if (w != Io::Ok) {
            c.lastErrno = errno;
            return w;
        }
        ssize_t r = 0;
        int err = 0;
        {
            // Under the lock so that Send() from a test never splits a chunk.
            std::lock_guard lock(mu_);
            r = SendSome(c.fd, data + done, len - done);
            err = errno;
        }
        if (r < 0) {
            if (Retryable(err)) {
                continue;
            }
            c.lastErrno = err;
            return Io::Failed;
        }
        done += static_cast<size_t>(r);
    }
    return Io::Ok;
}

// Records everything until the client closes its end.
void FakeServer::Drain(Conn &c) {
    uint8_t buf[4096];
    for (;;) {
        if (WaitFd(c, POLLIN) != Io::Ok) {
            return;
        }
        const ssize_t r = RecvSome(c.fd, buf, sizeof buf);
        const int err = errno;
        std::lock_guard lock(mu_);
        if (r == 0) {
            c.peerClosed = !c.closeRequested;
            cv_.notify_all();
            return;
        }
        if (r < 0) {
            if (Retryable(err)) {
                continue;
            }
            if (err == ECONNRESET) {
                // The client closed without reading all that it was sent:
                // an end of the connection like any other.
                c.peerClosed = !c.closeRequested;
                cv_.notify_all();
            } else if (!Interrupted(c)) {
                AddError("connection " + std::to_string(c.index) + ": recv: " + ErrnoText(err));
            }
            return;
        }
        c.received.insert(c.received.end(), buf, buf + r);
        cv_.notify_all();
    }
}

// Closing a Unix stream socket that still holds unread bytes makes the peer's
// next read fail with ECONNRESET. Shut down first (the peer can send no more),
// record what was queued, then close, so the client always sees end of file.
void FakeServer::CloseOwnEnd(Conn &c) {
    std::lock_guard lock(mu_);
    if (c.fd >= 0) {
        ::shutdown(c.fd, SHUT_RDWR);
        uint8_t buf[4096];
        ssize_t r = 0;
        while ((r = RecvSome(c.fd, buf, sizeof buf)) > 0) {
            c.received.insert(c.received.end(), buf, buf + r);
        }
        close(c.fd);
        c.fd = -1;
    }
    c.closed = true;
    cv_.notify_all();
}

bool FakeServer::Interrupted(const Conn &c) const {
    return stopping_ || c.closeRequested;
}

const FakeServer::Conn *FakeServer::FindConn(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= conns_.size()) {
        return nullptr;
    }
    return conns_[static_cast<size_t>(index)].get();
}

void FakeServer::AddError(std::string text) {
    errors_.push_back(std::move(text));
}

// ---------------------------------------------------------------- test side

void FakeServer::SetScript(int index, Script script) {
    std::lock_guard lock(mu_);
    if (index < 0) {
        throw std::invalid_argument("FakeServer::SetScript: negative connection index");
    }
    if (static_cast<size_t>(index) < conns_.size()) {
        throw std::logic_error("FakeServer::SetScript: connection " + std::to_string(index) +
                               " was already accepted");
    }
    scripts_[index] = std::move(script);
}

Script FakeServer::RegisterSync(int32_t globalId) {
    Bytes body;
    PutI32(body, globalId);
    return {ReadMsg(kRegisterReq), Write(Msg(kRegisterRsp, body))};
}

Script FakeServer::RegisterAsync() {
    return {ReadMsg(kGetAsyncFdReq), Write(Msg(kGetAsyncFdRsp))};
}

Script FakeServer::UnregisterSync() {
    return {ReadMsg(kUnregisterReq), Write(Msg(kUnregisterRsp))};
}

void FakeServer::ExpectClients(int n, int32_t firstGlobalId) {
    for (int k = 0; k < n; ++k) {
        SetScript(2 * k, RegisterSync(firstGlobalId + k));
        SetScript(2 * k + 1, RegisterAsync());
    }
}

void FakeServer::Signal(const std::string &name) {
    {
        std::lock_guard lock(mu_);
        signals_.insert(name);
    }
    cv_.notify_all();
}

bool FakeServer::Send(int index, const Bytes &bytes, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string what = "Send(" + std::to_string(index) + "): ";
    std::unique_lock lock(mu_);
    if (!cv_.wait_until(lock, deadline, [&] { return FindConn(index) != nullptr; })) {
        AddError(what + "connection not accepted in time");
        return false;
    }
    const Conn &c = *FindConn(index);
    size_t done = 0;
    while (done < bytes.size()) {
        if (c.fd < 0 || c.closeRequested) {
            AddError(what + "connection already closed");
            return false;
        }
        const ssize_t r = SendSome(c.fd, bytes.data() + done, bytes.size() - done);
        if (r >= 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        const int err = errno;
        if (err == EINTR) {
            continue;
        }
        if (err != EAGAIN && err != EWOULDBLOCK) {
            AddError(what + ErrnoText(err));
            return false;
        }
        // The client's receive buffer is full: give it time to read.
        if (std::chrono::steady_clock::now() >= deadline) {
            AddError(what + "client did not read in time");
            return false;
        }
        cv_.wait_for(lock, std::chrono::milliseconds(2));
    }
    return true;
}

bool FakeServer::CloseConnection(int index, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mu_);
    if (!cv_.wait_until(lock, deadline, [&] { return FindConn(index) != nullptr; })) {
        return false;
    }
    Conn &c = *conns_[static_cast<size_t>(index)];
    if (!c.closed) {
        c.closeRequested = true;
        // Wakes the connection thread out of poll; it then closes the socket.
        ::shutdown(c.fd, SHUT_RDWR);
        cv_.notify_all();
    }
    return cv_.wait_until(lock, deadline, [&] { return c.closed; });
}

Bytes FakeServer::Received(int index) const {
    std::lock_guard lock(mu_);
    const Conn *c = FindConn(index);
    return c != nullptr ? c->received : Bytes{};
}

std::vector<Bytes> FakeServer::ReceivedMsgs(int index) const {
    return SplitMsgs(Received(index));
}

bool FakeServer::WaitReceived(int index, size_t nBytes, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] {
        const Conn *c = FindConn(index);
        return c != nullptr && c->received.size() >= nBytes;
    });
}

bool FakeServer::WaitClosedByPeer(int index, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] {
        const Conn *c = FindConn(index);
        return c != nullptr && c->peerClosed;
    });
}

bool FakeServer::WaitClosed(int index, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] {
        const Conn *c = FindConn(index);
        return c != nullptr && c->closed;
    });
}

bool FakeServer::WaitScriptDone(int index, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] {
        const Conn *c = FindConn(index);
        return c != nullptr && c->scriptDone;
    });
}

int FakeServer::Accepted() const {
    std::lock_guard lock(mu_);
    return static_cast<int>(conns_.size());
}

bool FakeServer::WaitAccepted(int n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout,
                        [&] { return conns_.size() >= static_cast<size_t>(std::max(n, 0)); });
}

std::vector<std::string> FakeServer::Errors() const {
    std::lock_guard lock(mu_);
    return errors_;
}

}  // namespace lapitest
