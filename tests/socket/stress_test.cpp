// Many threads on ten clients for a few seconds against a peer that answers every
// request. Each thread works mostly on its home client, which two other threads share,
// and now and then on any other client; it mixes BLOCK requests, NONBLOCK requests and
// LAPI_GetAsyncMsg. Every request carries a tag (sessionId, transactionId and, where
// there is room, a 32-bit sequence) that the peer copies into its answer, so each
// thread can tell that a BLOCK answer is the one to its own request, and each NONBLOCK
// answer is matched to a request sent on that same client.
//
// Checked at the end: the only refusals are those of a busy client, every NONBLOCK
// request was answered exactly once, all clients unregister, and no descriptor is
// left open. Built with ThreadSanitizer, the run must also produce no race report.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <lapi/lapi.h>

#include "bytes.h"
#include "fds.h"
#include "stderr_capture.h"

namespace {

using lapitest::Bytes;
using lapitest::GetI32;
using lapitest::GetU16;
using lapitest::Msg;
using lapitest::PutI32;

constexpr const char *kPath = LAPI_SOCKET_PATH;
constexpr int kClients = LAPI_CLI_MAX_CLIENTS;
constexpr int kThreadsPerClient = 3;
constexpr int kThreads = kClients * kThreadsPerClient;
constexpr auto kRunTime = std::chrono::seconds(3);
constexpr int kMaxDonePerThread = 3000;  // calls that went through: bounds a fast run
constexpr size_t kMaxOutstanding = 32;   // NONBLOCK answers not yet read, per client

// ---------------------------------------------------------------------------------
// The peer: one thread, one poll loop, answers as the location server would.
// ---------------------------------------------------------------------------------

class EchoPeer {
  public:
    EchoPeer() {
        stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, kPath, sizeof addr.sun_path - 1);
        unlink(kPath);
        struct stat st {};
        if (stopFd_ < 0 || listenFd_ < 0 ||
            bind(listenFd_, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
            listen(listenFd_, 64) != 0 || stat(kPath, &st) != 0) {
            const int err = errno;
            CloseOwn();
            throw std::runtime_error(std::string("peer set-up failed: ") + std::strerror(err));
        }
        ino_ = st.st_ino;
        thread_ = std::thread([this] { Run(); });
    }

    ~EchoPeer() {
        eventfd_write(stopFd_, 1);
        thread_.join();
        CloseOwn();
    }

    EchoPeer(const EchoPeer &) = delete;
    EchoPeer &operator=(const EchoPeer &) = delete;

    std::vector<std::string> Errors() const {
        std::lock_guard lock(mu_);
        return errors_;
    }
    uint64_t Requests() const { return requests_.load(); }

  private:
    struct Conn {
        int fd = -1;
        int32_t globalId = -1;
        Bytes in;
    };

    void CloseOwn() {
        struct stat st {};
        if (ino_ != 0 && stat(kPath, &st) == 0 && st.st_ino == ino_) {
            unlink(kPath);
        }
        for (int fd : {listenFd_, stopFd_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        listenFd_ = stopFd_ = -1;
    }

    void Error(const std::string &text) {
        std::lock_guard lock(mu_);
        if (errors_.size() < 20) {
            errors_.push_back(text);
        }
    }

    void Run() {
        for (;;) {
            std::vector<pollfd> p = {{stopFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
            for (const auto &c : conns_) {
                p.push_back({c->fd, POLLIN, 0});
            }
            if (poll(p.data(), p.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                Error(std::string("poll: ") + std::strerror(errno));
                break;
            }
            if (p[0].revents != 0) {
                break;
            }
            if (p[1].revents != 0) {
                int fd;
                while ((fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
                    conns_.push_back(std::make_unique<Conn>());
                    conns_.back()->fd = fd;
                }
            }
            for (size_t i = 2; i < p.size(); ++i) {
                if (p[i].revents != 0) {
                    Serve(*conns_[i - 2]);
                }
            }
            std::erase_if(conns_, [](const auto &c) { return c->fd < 0; });
        }
        for (const auto &c : conns_) {
            close(c->fd);
        }
        conns_.clear();
    }

    void Drop(Conn &c) {
        for (auto it = asyncFdOf_.begin(); it != asyncFdOf_.end();) {
            it = it->second == c.fd ? asyncFdOf_.erase(it) : std::next(it);
        }
        close(c.fd);
        c.fd = -1;
    }

    void Serve(Conn &c) {
        uint8_t buf[4096];
        const ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        if (n <= 0) {
            Drop(c);
            return;
        }
        c.in.insert(c.in.end(), buf, buf + n);
        while (c.in.size() >= 8) {
            const size_t len = 8 + GetU16(c.in, 6);
            if (c.in.size() < len) {
                break;
            }
            const Bytes msg(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(len));
            c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(len));
            Handle(c, msg);
            if (c.fd < 0) {
                return;
            }
        }
    }

    void Reply(int fd, const Bytes &msg) {
        size_t done = 0;
        while (done < msg.size()) {
            const ssize_t n = send(fd, msg.data() + done, msg.size() - done, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                Error(std::string("send: ") + std::strerror(errno));
                return;
            }
            done += static_cast<size_t>(n);
        }
    }

    // The answer to a request with a mode field: sessionId and transactionId copied,
    // plus the request's sequence where the answer has room for it.
    static Bytes Answer(const Bytes &req) {
        Bytes body;
        body.push_back(req[10]);
        body.push_back(req[11]);
        switch (GetU16(req, 4)) {
            case LAPI_MSG_GET_LOCATION_REQ: {
                body.resize(106);
                std::memcpy(&body[98 - 8], &req[12], 4);  // locationMethod = responseTime
                return Msg(LAPI_MSG_GET_LOCATION_RSP, body, 1);
            }
            case LAPI_MSG_GET_STATUS_REQ:
                body.resize(30);
                return Msg(LAPI_MSG_GET_STATUS_RSP, body, 1);
            case LAPI_MSG_DISTANCE_AZIMUTH_REQ:
                body.insert(body.end(), req.begin() + 12, req.begin() + 20);  // latitude1
                body.resize(18);
                return Msg(LAPI_MSG_DISTANCE_AZIMUTH_RSP, body, 1);
            default:
                return Msg(LAPI_MSG_INVALID_REQUEST_RSP, body, 1);
        }
    }

    void Handle(Conn &c, const Bytes &msg) {
        const uint16_t id = GetU16(msg, 4);
        Bytes body;
        switch (id) {
            case LAPI_MSG_REGISTER_REQ:
                c.globalId = nextGlobalId_++;
                PutI32(body, c.globalId);
                Reply(c.fd, Msg(LAPI_MSG_REGISTER_RSP, body, 1));
                return;
            case LAPI_MSG_GET_ASYNC_FD_REQ:
                c.globalId = GetI32(msg, 8);
                asyncFdOf_[c.globalId] = c.fd;
                Reply(c.fd, Msg(LAPI_MSG_GET_ASYNC_FD_RSP, {}, 1));
                return;
            case LAPI_MSG_UNREGISTER_REQ:
                Reply(c.fd, Msg(LAPI_MSG_UNREGISTER_RSP, {}, 1));
                return;
            case LAPI_MSG_ABORT_ALL_LOCATION_REQ:
            case LAPI_MSG_LOCATION_NOTIFICATION_CFM:
                requests_.fetch_add(1);
                return;
            case LAPI_MSG_GET_LOCATION_REQ:
            case LAPI_MSG_GET_STATUS_REQ:
            case LAPI_MSG_DISTANCE_AZIMUTH_REQ: {
                requests_.fetch_add(1);
                if (msg[8] == LAPI_BLOCK) {
                    Reply(c.fd, Answer(msg));
                    return;
                }
                const auto it = asyncFdOf_.find(c.globalId);
                if (it == asyncFdOf_.end()) {
                    Error("NONBLOCK request from a client without an async connection");
                    return;
                }
                Reply(it->second, Answer(msg));
                return;
            }
            default:
                Error("unexpected msgId " + std::to_string(id));
        }
    }

    int listenFd_ = -1;
    int stopFd_ = -1;
    ino_t ino_ = 0;
    std::thread thread_;
    // Peer thread only.
    std::vector<std::unique_ptr<Conn>> conns_;
    std::map<int32_t, int> asyncFdOf_;
    int32_t nextGlobalId_ = 1;

    mutable std::mutex mu_;
    std::vector<std::string> errors_;
    std::atomic<uint64_t> requests_{0};
};

// ---------------------------------------------------------------------------------
// Standard error through a pipe: the library's error lines are kept, its trace lines
// counted and dropped, anything else (a sanitizer's report) passed on and kept.
// ---------------------------------------------------------------------------------

class StderrFilter {
  public:
    StderrFilter() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        // Only the reading end is non-blocking: writers wait while the pipe is full.
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        saved_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
        dup2(fds[1], 2);
        close(fds[1]);
        readFd_ = fds[0];
        stopFd_ = eventfd(0, EFD_CLOEXEC);
        reader_ = std::thread([this] { Read(); });
    }
    ~StderrFilter() { Stop(); }
    StderrFilter(const StderrFilter &) = delete;
    StderrFilter &operator=(const StderrFilter &) = delete;

    // Puts the original standard error back and collects what is left in the pipe.
    // The reader is told to stop rather than left to wait for the end of the pipe: a
    // process started meanwhile (a sanitizer's symbolizer) may hold its write end.
    void Stop() {
        if (saved_ < 0) {
            return;
        }
        dup2(saved_, 2);
        eventfd_write(stopFd_, 1);
        reader_.join();
        close(readFd_);
        close(stopFd_);
        close(saved_);
        saved_ = -1;
    }

    std::vector<std::string> errors;   // error lines, read after Stop()
    std::vector<std::string> foreign;  // lines that are not the library's
    size_t traces = 0;

  private:
    void Read() {
        std::string pending;
        char buf[65536];
        for (;;) {
            pollfd p[2] = {{readFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            if (poll(p, 2, -1) < 0 && errno != EINTR) {
                break;
            }
            const bool stopping = p[1].revents != 0;
            ssize_t n;
            while ((n = read(readFd_, buf, sizeof buf)) > 0) {
                pending.append(buf, static_cast<size_t>(n));
                size_t start = 0;
                for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos;
                     start = nl + 1) {
                    Line(pending.substr(start, nl - start));
                }
                pending.erase(0, start);
            }
            if (stopping || n == 0) {
                break;
            }
        }
        if (!pending.empty()) {
            Line(pending);
        }
    }

    void Line(const std::string &line) {
        const auto parsed = lapitest::ParseLogLine(line);
        if (!parsed) {
            foreign.push_back(line);
            if (write(saved_, (line + "\n").data(), line.size() + 1) < 0) {
                // nowhere left to report it
            }
        } else if (parsed->isError) {
            errors.push_back(parsed->text);
        } else {
            ++traces;
        }
    }

    int saved_ = -1;
    int readFd_ = -1;
    int stopFd_ = -1;
    std::thread reader_;
};

// ---------------------------------------------------------------------------------
// The clients' side
// ---------------------------------------------------------------------------------

// NONBLOCK requests of one client whose answers have not been read yet, by tag.
struct Outstanding {
    std::mutex mu;
    std::multiset<uint32_t> tags;
};

uint32_t Tag(uint16_t answerId, uint8_t sessionId, uint8_t transactionId) {
    return (uint32_t{answerId} << 16) | (uint32_t{sessionId} << 8) | transactionId;
}

struct Totals {
    std::atomic<uint64_t> blockOk{0}, nonblockOk{0}, asyncRead{0}, sendOnly{0}, refused{0};
};

class Worker {
  public:
    Worker(int index, Outstanding *outstanding, Totals *totals)
        : index_(index),
          rng_(static_cast<unsigned>(index) * 7919u + 17u),
          outstanding_(outstanding),
          totals_(totals) {}

    void Run(std::chrono::steady_clock::time_point deadline) {
        const int home = index_ / kThreadsPerClient;
        int done = 0;
        while (done < kMaxDonePerThread && std::chrono::steady_clock::now() < deadline) {
            const int client = Pick(4) == 0 ? Pick(kClients) : home;
            const int what = Pick(20);
            bool through;
            if (what < 9) {
                through = Block(client, what % 3);
            } else if (what < 14) {
                through = Nonblock(client, what % 3);
            } else if (what < 19) {
                through = ReadAsync(client);
            } else {
                through = SendOnly(client);
            }
            if (through) {
                ++done;
            } else {
                std::this_thread::yield();  // let the holder of the client finish
            }
        }
    }

    std::vector<std::string> failures;

  private:
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    void Fail(const std::string &text) {
        if (failures.size() < 10) {
            failures.push_back("thread " + std::to_string(index_) + ": " + text);
        }
    }

    // Builds request kind (0 location, 1 status, 2 distance) with the next tag.
    uint16_t Build(int kind, unsigned char *req, size_t size) {
        std::memset(req, 0, size);
        ++seq_;
        req[10] = static_cast<uint8_t>(index_);
        req[11] = static_cast<uint8_t>(seq_);
        const int32_t tag = index_ * 1000000 + seq_;
        if (kind == 0) {
            std::memcpy(req + 12, &tag, 4);  // responseTime
            return LAPI_MSG_GET_LOCATION_RSP;
        }
        if (kind == 2) {
            const double lat = tag;
            std::memcpy(req + 12, &lat, 8);  // latitude1
            return LAPI_MSG_DISTANCE_AZIMUTH_RSP;
        }
        return LAPI_MSG_GET_STATUS_RSP;
    }

    static int Call(int kind, int client, unsigned char mode, unsigned char *req, void *rsp) {
        switch (kind) {
            case 0:
                return LAPI_GetLocation(client, mode,
                                        reinterpret_cast<LAPI_GET_LOCATION_REQ_S *>(req), rsp);
            case 1:
                return LAPI_GetStatus(client, mode, reinterpret_cast<LAPI_GET_STATUS_REQ_S *>(req),
                                      rsp);
            default:
                return LAPI_CalculateDistanceAzimuth(
                    client, mode, reinterpret_cast<LAPI_DISTANCE_AZIMUTH_REQ_S *>(req), rsp);
        }
    }

    bool Block(int client, int kind) {
        unsigned char req[64];
        unsigned char rsp[128];
        std::memset(rsp, 0xEE, sizeof rsp);
        const uint16_t want = Build(kind, req, sizeof req);
        if (Call(kind, client, LAPI_BLOCK, req, rsp) != 0) {
            totals_->refused.fetch_add(1);
            return false;
        }
        totals_->blockOk.fetch_add(1);
        uint16_t msgId;
        std::memcpy(&msgId, rsp + 4, 2);
        bool mine = msgId == want && rsp[8] == req[10] && rsp[9] == req[11];
        if (kind == 0) {
            mine = mine && std::memcmp(rsp + 98, req + 12, 4) == 0;
        } else if (kind == 2) {
            mine = mine && std::memcmp(rsp + 10, req + 12, 8) == 0;
        }
        if (!mine) {
            Fail("BLOCK answer on client " + std::to_string(client) +
                 " is not the one to its request");
        }
        return true;
    }

    bool Nonblock(int client, int kind) {
        unsigned char req[64];
        const uint16_t want = Build(kind, req, sizeof req);
        const uint32_t tag = Tag(want, req[10], req[11]);
        Outstanding &o = outstanding_[static_cast<size_t>(client)];
        {
            std::lock_guard lock(o.mu);
            if (o.tags.size() >= kMaxOutstanding) {
                return false;
            }
            // Recorded before the send: another thread may read the answer at once.
            o.tags.insert(tag);
        }
        if (Call(kind, client, LAPI_NONBLOCK, req, nullptr) == 0) {
            totals_->nonblockOk.fetch_add(1);
            return true;
        }
        totals_->refused.fetch_add(1);
        std::lock_guard lock(o.mu);
        o.tags.erase(o.tags.find(tag));
        return false;
    }

    bool ReadAsync(int client) {
        unsigned char msg[LAPI_ASYNC_MSG_BUF_LEN];
        if (LAPI_GetAsyncMsg(client, msg) != 0) {
            return false;
        }
        totals_->asyncRead.fetch_add(1);
        Match(outstanding_, client, msg, this);
        return true;
    }

    bool SendOnly(int client) {
        int result;
        if (Pick(2) == 0) {
            result = LAPI_AbortAllLocationRequest(client);
        } else {
            LAPI_LOCATION_NOTIFICATION_CFM_S cfm{};
            cfm.sessionId = static_cast<uint8_t>(index_);
            result = LAPI_LocationVerify(client, &cfm);
        }
        if (result == 0) {
            totals_->sendOnly.fetch_add(1);
            return true;
        }
        totals_->refused.fetch_add(1);
        return false;
    }

  public:
    // Matches an answer read from client's asynchronous connection to a NONBLOCK
    // request sent on that client.
    static void Match(Outstanding *outstanding, int client, const unsigned char *msg,
                      Worker *reporter) {
        uint16_t msgId;
        std::memcpy(&msgId, msg + 4, 2);
        Outstanding &o = outstanding[static_cast<size_t>(client)];
        std::lock_guard lock(o.mu);
        const auto it = o.tags.find(Tag(msgId, msg[8], msg[9]));
        if (it == o.tags.end()) {
            reporter->Fail("async message " + std::to_string(msgId) + " on client " +
                           std::to_string(client) + " answers no request sent there");
            return;
        }
        o.tags.erase(it);
    }

  private:
    int index_;
    int32_t seq_ = 0;
    std::mt19937 rng_;
    Outstanding *outstanding_;
    Totals *totals_;
};

TEST(StressTest, ManyThreadsOnTenClients) {
    const int fdsBefore = lapitest::OpenFdCount();
    std::vector<Worker> workers;
    Totals totals;
    std::vector<std::string> peerErrors;
    uint64_t peerRequests = 0;
    StderrFilter filter;
    {
        EchoPeer peer;
        for (int i = 0; i < kClients; ++i) {
            ASSERT_EQ(LAPI_RegisterClient(LAPI_SERVICE_MASK), i);
        }
        auto outstanding = std::make_unique<Outstanding[]>(kClients);
        workers.reserve(kThreads);
        for (int t = 0; t < kThreads; ++t) {
            workers.emplace_back(t, outstanding.get(), &totals);
        }
        const auto deadline = std::chrono::steady_clock::now() + kRunTime;
        std::vector<std::thread> threads;
        for (Worker &w : workers) {
            threads.emplace_back([&w, deadline] { w.Run(deadline); });
        }
        for (std::thread &t : threads) {
            t.join();
        }

        // Collect the answers still on their way.
        Worker collector(kThreads, outstanding.get(), &totals);
        for (int c = 0; c < kClients; ++c) {
            const int fd = LAPI_GetAsyncSocketFd(c);
            Outstanding &o = outstanding[static_cast<size_t>(c)];
            for (;;) {
                {
                    std::lock_guard lock(o.mu);
                    if (o.tags.empty()) {
                        break;
                    }
                }
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 5000) != 1) {
                    collector.failures.push_back("client " + std::to_string(c) +
                                                 ": NONBLOCK answers missing");
                    break;
                }
                unsigned char msg[LAPI_ASYNC_MSG_BUF_LEN];
                if (LAPI_GetAsyncMsg(c, msg) != 0) {
                    collector.failures.push_back("client " + std::to_string(c) +
                                                 ": reading a pending answer failed");
                    break;
                }
                totals.asyncRead.fetch_add(1);
                Worker::Match(outstanding.get(), c, msg, &collector);
            }
            // Nothing beyond the answers: every request was answered exactly once.
            pollfd p{fd, POLLIN, 0};
            EXPECT_EQ(poll(&p, 1, 50), 0) << "client " << c << ": unexpected async message";
        }
        workers.push_back(std::move(collector));

        // Unregister all clients at once from as many threads.
        std::vector<int> results(kClients, -2);
        threads.clear();
        for (int c = 0; c < kClients; ++c) {
            threads.emplace_back(
                [c, &results] { results[static_cast<size_t>(c)] = LAPI_UnregisterClient(c); });
        }
        for (std::thread &t : threads) {
            t.join();
        }
        EXPECT_EQ(results, std::vector<int>(kClients, 0));
        peerRequests = peer.Requests();
        peerErrors = peer.Errors();
    }
    filter.Stop();

    for (const Worker &w : workers) {
        for (const std::string &f : w.failures) {
            ADD_FAILURE() << f;
        }
    }
    EXPECT_EQ(peerErrors, std::vector<std::string>{});
    // The registry is empty: every slot reports no client.
    {
        lapitest::StderrCapture quiet;
        for (int c = 0; c < kClients; ++c) {
            EXPECT_EQ(LAPI_CLI_GetAsyncFd(c), -1) << c;
        }
    }
    EXPECT_EQ(lapitest::OpenFdCount(), fdsBefore) << "descriptor left open";

    // Refusals of a busy client, and empty polls, are the only errors written.
    const std::regex allowed(
        "Client node is being used, clientId is: \\d!|"
        "Fail to get client node, clientId: \\d, pid is: \\d+!|"
        "Async fd is unreadable, clientId: \\d, pid is: \\d+!");
    size_t busy = 0;
    size_t unexpected = 0;
    for (const std::string &e : filter.errors) {
        if (!std::regex_match(e, allowed)) {
            if (++unexpected <= 10) {
                ADD_FAILURE() << "unexpected error line: " << e;
            }
        } else if (e.rfind("Fail to get client node", 0) == 0) {
            ++busy;
        }
    }
    EXPECT_EQ(unexpected, 0u);
    EXPECT_EQ(filter.foreign, std::vector<std::string>{}) << "a sanitizer reported something";

    const uint64_t sent = totals.blockOk + totals.nonblockOk + totals.sendOnly;
    EXPECT_EQ(peerRequests, sent);
    EXPECT_EQ(totals.asyncRead.load(), totals.nonblockOk.load());
    // Requests refused for a busy client each wrote "Fail to get client node", as did
    // refused reads; a read that found nothing wrote "Async fd is unreadable".
    EXPECT_GE(busy, totals.refused.load());
    EXPECT_GT(totals.blockOk.load(), 0u);
    EXPECT_GT(totals.nonblockOk.load(), 0u);
    EXPECT_GT(totals.refused.load(), 0u) << "the clients were never contended";
    std::printf(
        "BLOCK answered %llu, NONBLOCK sent %llu, async read %llu, send-only %llu, "
        "refused %llu, trace lines %zu\n",
        static_cast<unsigned long long>(totals.blockOk.load()),
        static_cast<unsigned long long>(totals.nonblockOk.load()),
        static_cast<unsigned long long>(totals.asyncRead.load()),
        static_cast<unsigned long long>(totals.sendOnly.load()),
        static_cast<unsigned long long>(totals.refused.load()), filter.traces);
}

}  // namespace
