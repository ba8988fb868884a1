// Cost of the library's request path against a minimal peer in the same process.
//
//   BM_RoundTrip_Lapi    LAPI_GetLocation in LAPI_BLOCK mode: 40-byte getLocationReq out,
//                        114-byte getLocationRsp back, both traced
//   BM_RoundTrip_Bare    the same 40 and 114 bytes with send() and read() on a plain
//                        connection to the same peer: the floor of the above
//   BM_Async_Lapi        kBatch NONBLOCK LAPI_GetLocation requests, then the kBatch
//                        answers from the asynchronous connection, each awaited with
//                        poll() and read with LAPI_GetAsyncMsg (items = messages)
//   BM_Async_Bare        the same exchange with send(), poll() and read() on plain
//                        connections registered with the same peer
//   BM_Allocations       heap allocations per call (BLOCK request, NONBLOCK request,
//                        LAPI_GetAsyncMsg) after registration, counted by the malloc
//                        family defined below; a registration counts too, as a check
//                        that the counting works
//
// Standard error is /dev/null while the benchmarks run. The peer is a thread per
// connection; pin the whole process to one CPU for the round-trip figures, so that no
// cross-CPU wake-up hides the library's own work:
//
//     taskset -c 0 ./client_bench
//
// At the end the program prints the round trips, their ratio, the message rates and
// the allocations per call. It listens on the library's socket path, so no location
// server may run at the same time.

#include <lapi/lapi.h>

#include "sample_messages.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// ---------------------------------------------------------------------------------
// Allocation counting: the process's malloc family, forwarding to the C library's
// allocator. Only the thread that switched counting on is counted.
// ---------------------------------------------------------------------------------

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t n, size_t size);
void *__libc_realloc(void *p, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *p);
}

namespace {
thread_local bool t_counting = false;
thread_local uint64_t t_allocations = 0;

inline void Count() {
    if (t_counting) {
        ++t_allocations;
    }
}
}  // namespace

extern "C" {
void *malloc(size_t size) noexcept {
    Count();
    return __libc_malloc(size);
}
void *calloc(size_t n, size_t size) noexcept {
    Count();
    return __libc_calloc(n, size);
}
void *realloc(void *p, size_t size) noexcept {
    Count();
    return __libc_realloc(p, size);
}
void *memalign(size_t alignment, size_t size) noexcept {
    Count();
    return __libc_memalign(alignment, size);
}
void *aligned_alloc(size_t alignment, size_t size) noexcept {
    Count();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **out, size_t alignment, size_t size) noexcept {
    Count();
    void *p = __libc_memalign(alignment, size);
    if (p == nullptr) {
        return ENOMEM;
    }
    *out = p;
    return 0;
}
void free(void *p) noexcept {
    __libc_free(p);
}
}

namespace {

constexpr size_t kReqLen = sizeof(LAPI_GET_LOCATION_REQ_S);  // 40
constexpr size_t kRspLen = sizeof(LAPI_GET_LOCATION_RSP_S);  // 114
constexpr int kBatch = 16;

using lapibench::Get;
using lapibench::Put;

bool WriteAll(int fd, const unsigned char *p, size_t len) {
    while (len > 0) {
        const ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, unsigned char *p, size_t len) {
    while (len > 0) {
        const ssize_t n = ::read(fd, p, len);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

int Connect() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, LAPI_SOCKET_PATH, sizeof addr.sun_path - 1);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// ---------------------------------------------------------------------------------
// The peer: registration, and a getLocationRsp for every getLocationReq, on the same
// connection in BLOCK mode and on the client's asynchronous connection otherwise.
// ---------------------------------------------------------------------------------

class Peer {
  public:
    bool Start() {
        listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, LAPI_SOCKET_PATH, sizeof addr.sun_path - 1);
        ::unlink(LAPI_SOCKET_PATH);
        if (listenFd_ < 0 ||
            ::bind(listenFd_, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
            ::listen(listenFd_, 16) != 0) {
            std::perror("peer: " LAPI_SOCKET_PATH);
            return false;
        }
        acceptor_ = std::thread([this] { Accept(); });
        return true;
    }

    // Closing the clients' ends first lets the connection threads finish.
    void Stop() {
        ::shutdown(listenFd_, SHUT_RDWR);
        acceptor_.join();
        for (std::thread &t : serving_) {
            t.join();
        }
        ::close(listenFd_);
        ::unlink(LAPI_SOCKET_PATH);
    }

  private:
    void Accept() {
        for (;;) {
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            serving_.emplace_back([this, fd] { Serve(fd); });
        }
    }

    int AsyncFdOf(int32_t globalId) {
        std::lock_guard lock(mu_);
        const auto it = asyncFds_.find(globalId);
        return it == asyncFds_.end() ? -1 : it->second;
    }

    void Serve(int fd) {
        unsigned char in[8192];
        unsigned char out[8192];
        size_t have = 0;
        int32_t globalId = -1;
        int asyncFd = -1;
        for (;;) {
            const ssize_t n = ::read(fd, in + have, sizeof in - have);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                break;
            }
            have += static_cast<size_t>(n);
            // Answer every whole message; answers for one connection go out together.
            size_t pos = 0;
            size_t outLen = 0;
            size_t asyncLen = 0;
            unsigned char asyncOut[8192];
            while (have - pos >= 8) {
                const unsigned char *m = in + pos;
                const size_t len = 8 + Get<uint16_t>(m + 6);
                if (have - pos < len) {
                    break;
                }
                const uint16_t msgId = Get<uint16_t>(m + 4);
                if (msgId == LAPI_MSG_REGISTER_REQ) {
                    std::lock_guard lock(mu_);
                    globalId = nextGlobalId_++;
                    Header(out + outLen, LAPI_MSG_REGISTER_RSP, 4);
                    Put<int32_t>(out + outLen + 8, globalId);
                    outLen += 12;
                } else if (msgId == LAPI_MSG_GET_ASYNC_FD_REQ) {
                    std::lock_guard lock(mu_);
                    asyncFds_[Get<int32_t>(m + 8)] = fd;
                    Header(out + outLen, LAPI_MSG_GET_ASYNC_FD_RSP, 0);
                    outLen += 8;
                } else if (msgId == LAPI_MSG_UNREGISTER_REQ) {
                    Header(out + outLen, LAPI_MSG_UNREGISTER_RSP, 0);
                    outLen += 8;
                } else if (msgId == LAPI_MSG_GET_LOCATION_REQ) {
                    if (m[8] == LAPI_BLOCK) {
                        Fix(out + outLen, m);
                        outLen += kRspLen;
                    } else {
                        if (asyncFd < 0) {
                            asyncFd = AsyncFdOf(globalId);
                        }
                        Fix(asyncOut + asyncLen, m);
                        asyncLen += kRspLen;
                    }
                }
                pos += len;
            }
            std::memmove(in, in + pos, have - pos);
            have -= pos;
            if ((outLen > 0 && !WriteAll(fd, out, outLen)) ||
                (asyncLen > 0 && (asyncFd < 0 || !WriteAll(asyncFd, asyncOut, asyncLen)))) {
                break;
            }
        }
        ::close(fd);
    }

    static void Header(unsigned char *p, uint16_t msgId, uint16_t msgLen) {
        Put<int32_t>(p, 1);
        Put<uint16_t>(p + 4, msgId);
        Put<uint16_t>(p + 6, msgLen);
    }

    // A plausible fix: what the trace has to format matters for the figures.
    static void Fix(unsigned char *p, const unsigned char *req) {
        std::memset(p, 0, kRspLen);
        Header(p, LAPI_MSG_GET_LOCATION_RSP, kRspLen - 8);
        p[8] = req[10];
        p[9] = req[11];
        const double values[] = {13.4049540, 52.5200080, 4.75, 1796554766.826, 34.2, 1.35,
                                 271.5,      0.0,        12.5, 18.25,          271.5};
        size_t off = 10;
        for (size_t i = 0; i < 3; ++i, off += 8) {
            Put<double>(p + off, values[i]);
        }
        Put<int64_t>(p + off, 1796554766826);
        off += 8;
        for (size_t i = 4; i < 11; ++i, off += 8) {
            Put<double>(p + off, values[i]);
        }
        Put<int32_t>(p + off, 2);       // locationMethod
        Put<int32_t>(p + off + 4, 0);   // cause
        Put<double>(p + off + 8, 0.4);  // ageOfFix
    }

    int listenFd_ = -1;
    std::thread acceptor_;
    std::vector<std::thread> serving_;  // acceptor thread, then Stop()
    std::mutex mu_;
    std::map<int32_t, int> asyncFds_;
    int32_t nextGlobalId_ = 1;
};

// ---------------------------------------------------------------------------------
// Clients
// ---------------------------------------------------------------------------------

int g_client = -1;    // a LAPI client registered for MOLR
int g_bareSync = -1;  // a plain registration with the same peer
int g_bareAsync = -1;

bool RegisterBare() {
    unsigned char buf[16];
    g_bareSync = Connect();
    Put<int32_t>(buf, getpid());
    Put<uint16_t>(buf + 4, LAPI_MSG_REGISTER_REQ);
    Put<uint16_t>(buf + 6, 4);
    Put<uint32_t>(buf + 8, LAPI_SERVICE_MOLR);
    if (g_bareSync < 0 || !WriteAll(g_bareSync, buf, 12) || !ReadAll(g_bareSync, buf, 12)) {
        return false;
    }
    const int32_t globalId = Get<int32_t>(buf + 8);
    g_bareAsync = Connect();
    Put<uint16_t>(buf + 4, LAPI_MSG_GET_ASYNC_FD_REQ);
    Put<int32_t>(buf + 8, globalId);
    return g_bareAsync >= 0 && WriteAll(g_bareAsync, buf, 12) && ReadAll(g_bareAsync, buf, 8);
}

LAPI_GET_LOCATION_REQ_S Request(unsigned char mode) {
    LAPI_GET_LOCATION_REQ_S req{};
    req.mode = mode;
    req.sessionId = 1;
    req.responseTime = 30;
    req.horizontalAccuracy = 50;
    req.verticalAccuracy = 50;
    req.altitudeRequired = 1;
    return req;
}

// The bytes a LAPI client sends for Request(mode).
void BareRequest(unsigned char *buf, unsigned char mode) {
    LAPI_GET_LOCATION_REQ_S req = Request(mode);
    req.header.pid = getpid();
    req.header.msgId = LAPI_MSG_GET_LOCATION_REQ;
    req.header.msgLen = static_cast<uint16_t>(kReqLen - 8);
    std::memcpy(buf, &req, kReqLen);
}

bool WaitReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, -1) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

void BM_RoundTrip_Lapi(benchmark::State &state) {
    LAPI_GET_LOCATION_REQ_S req = Request(LAPI_BLOCK);
    unsigned char rsp[kRspLen];
    for (auto _ : state) {
        if (LAPI_GetLocation(g_client, LAPI_BLOCK, &req, rsp) != 0) {
            state.SkipWithError("LAPI_GetLocation failed");
            break;
        }
        benchmark::DoNotOptimize(rsp);
    }
}
BENCHMARK(BM_RoundTrip_Lapi);

void BM_RoundTrip_Bare(benchmark::State &state) {
    unsigned char req[kReqLen];
    unsigned char rsp[kRspLen];
    BareRequest(req, LAPI_BLOCK);
    for (auto _ : state) {
        if (!WriteAll(g_bareSync, req, kReqLen) || !ReadAll(g_bareSync, rsp, kRspLen)) {
            state.SkipWithError("bare round trip failed");
            break;
        }
        benchmark::DoNotOptimize(rsp);
    }
}
BENCHMARK(BM_RoundTrip_Bare);

void BM_Async_Lapi(benchmark::State &state) {
    LAPI_GET_LOCATION_REQ_S req = Request(LAPI_NONBLOCK);
    unsigned char msg[LAPI_ASYNC_MSG_BUF_LEN];
    const int fd = LAPI_GetAsyncSocketFd(g_client);
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            if (LAPI_GetLocation(g_client, LAPI_NONBLOCK, &req, nullptr) != 0) {
                state.SkipWithError("LAPI_GetLocation failed");
                return;
            }
        }
        for (int i = 0; i < kBatch; ++i) {
            if (!WaitReadable(fd) || LAPI_GetAsyncMsg(g_client, msg) != 0) {
                state.SkipWithError("LAPI_GetAsyncMsg failed");
                return;
            }
            benchmark::DoNotOptimize(msg);
        }
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_Async_Lapi);

void BM_Async_Bare(benchmark::State &state) {
    unsigned char req[kReqLen];
    unsigned char msg[LAPI_ASYNC_MSG_BUF_LEN];
    BareRequest(req, LAPI_NONBLOCK);
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            if (!WriteAll(g_bareSync, req, kReqLen)) {
                state.SkipWithError("send failed");
                return;
            }
        }
        for (int i = 0; i < kBatch; ++i) {
            if (!WaitReadable(g_bareAsync) || !ReadAll(g_bareAsync, msg, 8) ||
                !ReadAll(g_bareAsync, msg + 8, Get<uint16_t>(msg + 6))) {
                state.SkipWithError("read failed");
                return;
            }
            benchmark::DoNotOptimize(msg);
        }
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_Async_Bare);

uint64_t g_allocsPerRegistration = 0;

void BM_Allocations(benchmark::State &state) {
    LAPI_GET_LOCATION_REQ_S block = Request(LAPI_BLOCK);
    LAPI_GET_LOCATION_REQ_S nonblock = Request(LAPI_NONBLOCK);
    unsigned char rsp[kRspLen];
    unsigned char msg[LAPI_ASYNC_MSG_BUF_LEN];
    const int fd = LAPI_GetAsyncSocketFd(g_client);
    uint64_t calls = 0;
    t_allocations = 0;
    for (auto _ : state) {
        t_counting = true;
        const bool ok = LAPI_GetLocation(g_client, LAPI_BLOCK, &block, rsp) == 0 &&
                        LAPI_GetLocation(g_client, LAPI_NONBLOCK, &nonblock, nullptr) == 0 &&
                        WaitReadable(fd) && LAPI_GetAsyncMsg(g_client, msg) == 0;
        t_counting = false;
        if (!ok) {
            state.SkipWithError("call failed");
            return;
        }
        calls += 3;
    }
    state.counters["allocs_per_call"] =
        static_cast<double>(t_allocations) / static_cast<double>(calls);
    state.counters["allocs_per_registration"] = static_cast<double>(g_allocsPerRegistration);
}
BENCHMARK(BM_Allocations);

// Keeps every run's time per iteration and counters so that main can print the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                Result &r = results_[run.benchmark_name()];
                r.ns = run.real_accumulated_time * 1e9 / static_cast<double>(run.iterations);
                for (const auto &[name, counter] : run.counters) {
                    r.counters[name] = counter.value;
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double Ns(const std::string &name) const {
        const auto it = results_.find(name);
        return it == results_.end() ? 0 : it->second.ns;
    }
    double Counter(const std::string &name, const std::string &counter) const {
        const auto it = results_.find(name);
        if (it == results_.end()) {
            return -1;
        }
        const auto c = it->second.counters.find(counter);
        return c == it->second.counters.end() ? -1 : c->second;
    }

  private:
    struct Result {
        double ns = 0;
        std::map<std::string, double> counters;
    };
    std::map<std::string, Result> results_;
};

// Standard error goes to /dev/null for the object's lifetime.
class QuietStderr {
  public:
    QuietStderr() {
        saved_ = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
        const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(devNull, 2);
        ::close(devNull);
    }
    ~QuietStderr() {
        ::dup2(saved_, 2);
        ::close(saved_);
    }
    QuietStderr(const QuietStderr &) = delete;
    QuietStderr &operator=(const QuietStderr &) = delete;

  private:
    int saved_ = -1;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    Peer peer;
    if (!peer.Start()) {
        return 1;
    }
    SummaryReporter reporter;
    reporter.SetErrorStream(&std::cout);
    {
        QuietStderr quiet;
        t_allocations = 0;
        t_counting = true;
        g_client = LAPI_RegisterClient(LAPI_SERVICE_MOLR);
        t_counting = false;
        g_allocsPerRegistration = t_allocations;
        if (g_client < 0 || !RegisterBare()) {
            std::printf("registration with the peer failed\n");
            return 1;
        }
        benchmark::RunSpecifiedBenchmarks(&reporter);
        LAPI_UnregisterClient(g_client);
        ::close(g_bareSync);
        ::close(g_bareAsync);
    }
    peer.Stop();

    const double lapi = reporter.Ns("BM_RoundTrip_Lapi");
    const double bare = reporter.Ns("BM_RoundTrip_Bare");
    if (lapi > 0 && bare > 0) {
        std::printf(
            "round trip 40 + 114 bytes: bare %.2f us, LAPI_GetLocation %.2f us, "
            "ratio %.2f (library's own work %.2f us)\n",
            bare / 1e3, lapi / 1e3, lapi / bare, (lapi - bare) / 1e3);
    }
    const double asyncLapi = reporter.Ns("BM_Async_Lapi");
    const double asyncBare = reporter.Ns("BM_Async_Bare");
    if (asyncLapi > 0 && asyncBare > 0) {
        std::printf(
            "NONBLOCK request + asynchronous answer: bare %.0f msg/s, LAPI %.0f msg/s, "
            "ratio %.2f\n",
            kBatch * 1e9 / asyncBare, kBatch * 1e9 / asyncLapi, asyncLapi / asyncBare);
    }
    const double allocs = reporter.Counter("BM_Allocations", "allocs_per_call");
    if (allocs >= 0) {
        std::printf("heap allocations: %.3f per call after registration, %.0f per registration\n",
                    allocs, reporter.Counter("BM_Allocations", "allocs_per_registration"));
    }
    benchmark::Shutdown();
    return 0;
}
