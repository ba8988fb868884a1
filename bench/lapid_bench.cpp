// lapid_bench: LAPI_BLOCK round trips per second against a running lapid.
//
// Each client is registered with the library and driven by a thread of its own that
// repeats one LAPI_BLOCK call (LAPI_GetStatus by default, or
// LAPI_CalculateDistanceAzimuth), which lapid answers at once. The library holds at
// most LAPI_CLI_MAX_CLIENTS clients per process, so the clients are spread over as
// many worker processes as needed. All workers count the calls that complete inside
// one common window (CLOCK_MONOTONIC is shared by all processes) after a warm-up.
//
//     lapid_bench [--clients 10,50] [--seconds 5] [--call status|distance|raw-status]
//                 [--wait-server SECONDS]
//
// The library traces every message on standard error: send it to /dev/null when
// measuring (scripts/bench_lapid_vs_redis.sh does). Results go to standard output,
// one line per client count, ending with "rate=<round trips per second>".

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <lapi/lapi.h>

namespace {

// kRawStatus registers through the library, then drives the clients' synchronous
// sockets itself from one poll() loop (see DriveRawClients).
enum class Call { kStatus, kDistance, kRawStatus };

struct Options {
    std::vector<int> clients{10, 50};
    double seconds = 5.0;
    Call call = Call::kStatus;
    double waitServer = 10.0;
};

// Sent from the parent to every worker: the measuring window.
struct Window {
    int64_t startNs;
    int64_t endNs;
};

// Sent back by every worker.
struct Tally {
    uint64_t roundTrips;
    uint64_t errors;
    uint64_t clients;  // clients that registered
};

int64_t NowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

const char *CallName(Call call) {
    switch (call) {
        case Call::kStatus:
            return "LAPI_GetStatus";
        case Call::kDistance:
            return "LAPI_CalculateDistanceAzimuth";
        case Call::kRawStatus:
            return "raw getStatusReq";
    }
    return "?";
}

bool ReadAll(int fd, void *buf, size_t len) {
    auto *p = static_cast<unsigned char *>(buf);
    size_t done = 0;
    while (done < len) {
        const ssize_t n = ::read(fd, p + done, len - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const void *buf, size_t len) {
    const auto *p = static_cast<const unsigned char *>(buf);
    size_t done = 0;
    while (done < len) {
        const ssize_t n = ::write(fd, p + done, len - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Waits until something accepts connections on the service socket.
bool WaitForServer(double seconds) {
    const int64_t deadline = NowNs() + static_cast<int64_t>(seconds * 1e9);
    do {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return false;
        }
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, LAPI_SOCKET_PATH, sizeof addr.sun_path - 1);
        const bool up = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (up) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (NowNs() < deadline);
    return false;
}

// The raw client: one thread drives all of a worker's registered clients over their
// synchronous sockets with poll(), one getStatusReq (LAPI_BLOCK) outstanding on each,
// the next one sent as soon as the answer is in -- the way redis-benchmark drives its
// connections. No library call and no client-side trace in the timed loop.
void DriveRawClients(const std::vector<int> &ids, Window w, std::atomic<uint64_t> &roundTrips,
                     std::atomic<uint64_t> &errors) {
    LAPI_GET_STATUS_REQ_S req{};
    req.header.pid = static_cast<int32_t>(::getpid());
    req.header.msgId = LAPI_MSG_GET_STATUS_REQ;
    req.header.msgLen = sizeof req - sizeof(LAPI_MSG_HEADER_S);
    req.mode = LAPI_BLOCK;
    struct Conn {
        int fd;
        std::vector<unsigned char> in;
    };
    std::vector<Conn> conns;
    std::vector<pollfd> pfds;
    for (const int id : ids) {
        // Only this thread uses the client from here until it unregisters.
        LAPI_CLIENT_NODE_S *node = LAPI_CLI_GetClientNodeById(id);
        if (node == nullptr) {
            ++errors;
            continue;
        }
        conns.push_back(Conn{node->syncFd, {}});
        pfds.push_back(pollfd{node->syncFd, POLLIN, 0});
        LAPI_CLI_PutClientNodeById(id);
    }
    for (const Conn &c : conns) {
        if (!WriteAll(c.fd, &req, sizeof req)) {
            ++errors;
            return;
        }
    }
    uint64_t mine = 0;
    unsigned char buf[4096];
    while (NowNs() < w.endNs) {
        if (::poll(pfds.data(), pfds.size(), 100) < 0 && errno != EINTR) {
            ++errors;
            break;
        }
        for (size_t i = 0; i < pfds.size(); ++i) {
            if ((pfds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            const ssize_t n = ::read(pfds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                ++errors;
                return;
            }
            std::vector<unsigned char> &in = conns[i].in;
            in.insert(in.end(), buf, buf + n);
            while (in.size() >= sizeof(LAPI_MSG_HEADER_S)) {
                LAPI_MSG_HEADER_S h;
                std::memcpy(&h, in.data(), sizeof h);
                const size_t total = sizeof h + h.msgLen;
                if (in.size() < total) {
                    break;
                }
                in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(total));
                const int64_t now = NowNs();
                if (h.msgId != LAPI_MSG_GET_STATUS_RSP) {
                    ++errors;
                } else if (now >= w.startNs && now < w.endNs) {
                    ++mine;
                }
                if (!WriteAll(pfds[i].fd, &req, sizeof req)) {
                    ++errors;
                    return;
                }
            }
        }
    }
    // Let the last answers arrive so that unregistration finds the sockets in step.
    for (size_t i = 0; i < pfds.size(); ++i) {
        std::vector<unsigned char> &in = conns[i].in;
        LAPI_MSG_HEADER_S h{};
        while (in.size() < sizeof h ||
               (std::memcpy(&h, in.data(), sizeof h), in.size() < sizeof h + h.msgLen)) {
            const ssize_t n = ::read(pfds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            in.insert(in.end(), buf, buf + n);
        }
    }
    roundTrips += mine;
}

// One client's loop: LAPI_BLOCK calls until the window closes; counts those that
// complete inside it.
void DriveClient(int clientId, Call call, Window w, std::atomic<uint64_t> &roundTrips,
                 std::atomic<uint64_t> &errors) {
    uint64_t mine = 0;
    uint64_t bad = 0;
    LAPI_GET_STATUS_REQ_S status{};
    LAPI_DISTANCE_AZIMUTH_REQ_S distance{};
    distance.latitude1 = 40.6;
    distance.longitude1 = -73.8;
    distance.latitude2 = 51.6;
    distance.longitude2 = -0.5;
    unsigned char rsp[LAPI_ASYNC_MSG_BUF_LEN];
    const uint16_t expected =
        call == Call::kStatus ? LAPI_MSG_GET_STATUS_RSP : LAPI_MSG_DISTANCE_AZIMUTH_RSP;
    for (;;) {
        const int r = call == Call::kStatus
                          ? LAPI_GetStatus(clientId, LAPI_BLOCK, &status, rsp)
                          : LAPI_CalculateDistanceAzimuth(clientId, LAPI_BLOCK, &distance, rsp);
        const int64_t now = NowNs();
        uint16_t msgId = 0;
        std::memcpy(&msgId, rsp + offsetof(LAPI_MSG_HEADER_S, msgId), sizeof msgId);
        if (r != 0 || msgId != expected) {
            ++bad;
            if (r != 0) {
                break;  // the library has dropped the client
            }
        } else if (now >= w.startNs && now < w.endNs) {
            ++mine;
        }
        if (now >= w.endNs) {
            break;
        }
    }
    roundTrips += mine;
    errors += bad;
}

// A worker process: registers its clients, reports ready, waits for the window,
// drives one thread per client, sends its tally. Returns the exit code.
int Worker(int clients, Call call, int readyFd, int goFd, int resultFd) {
    std::vector<int> ids;
    for (int i = 0; i < clients; ++i) {
        const int id = LAPI_RegisterClient(LAPI_SERVICE_MOLR | LAPI_SERVICE_STATUS);
        if (id >= 0) {
            ids.push_back(id);
        }
    }
    const char ready = 'R';
    Window w{};
    if (!WriteAll(readyFd, &ready, 1) || !ReadAll(goFd, &w, sizeof w)) {
        return 1;
    }
    std::atomic<uint64_t> roundTrips{0};
    std::atomic<uint64_t> errors{0};
    if (call == Call::kRawStatus) {
        DriveRawClients(ids, w, roundTrips, errors);
    } else {
        std::vector<std::thread> threads;
        threads.reserve(ids.size());
        for (const int id : ids) {
            threads.emplace_back(DriveClient, id, call, w, std::ref(roundTrips), std::ref(errors));
        }
        for (std::thread &t : threads) {
            t.join();
        }
    }
    for (const int id : ids) {
        LAPI_UnregisterClient(id);
    }
    const Tally tally{roundTrips.load(), errors.load(), ids.size()};
    return WriteAll(resultFd, &tally, sizeof tally) ? 0 : 1;
}

// Runs one measurement with n clients; prints its line. False on failure.
bool Measure(int n, const Options &opt) {
    const int perProcess = LAPI_CLI_MAX_CLIENTS;
    const int processes = (n + perProcess - 1) / perProcess;
    int ready[2];
    int go[2];
    int result[2];
    if (::pipe(ready) != 0 || ::pipe(go) != 0 || ::pipe(result) != 0) {
        std::printf("lapid_bench: error: pipe: %s\n", std::strerror(errno));
        return false;
    }
    std::vector<pid_t> workers;
    for (int p = 0; p < processes; ++p) {
        const int clients = std::min(perProcess, n - p * perProcess);
        std::fflush(stdout);
        const pid_t pid = ::fork();
        if (pid < 0) {
            std::printf("lapid_bench: error: fork: %s\n", std::strerror(errno));
            break;
        }
        if (pid == 0) {
            ::close(ready[0]);
            ::close(go[1]);
            ::close(result[0]);
            ::_exit(Worker(clients, opt.call, ready[1], go[0], result[1]));
        }
        workers.push_back(pid);
    }
    ::close(ready[1]);
    ::close(go[0]);
    ::close(result[1]);

    bool ok = static_cast<int>(workers.size()) == processes;
    for (size_t i = 0; ok && i < workers.size(); ++i) {
        char c = 0;
        pollfd pfd{ready[0], POLLIN, 0};
        ok = ::poll(&pfd, 1, 30000) == 1 && ReadAll(ready[0], &c, 1);
    }
    // Half a second of warm-up, then the window.
    const int64_t start = NowNs() + 500000000;
    const Window w{start, start + static_cast<int64_t>(opt.seconds * 1e9)};
    for (size_t i = 0; i < workers.size(); ++i) {
        ok = WriteAll(go[1], &w, sizeof w) && ok;
    }
    ::close(go[1]);

    Tally total{0, 0, 0};
    for (size_t i = 0; i < workers.size(); ++i) {
        Tally t{};
        if (!ReadAll(result[0], &t, sizeof t)) {
            ok = false;
            break;
        }
        total.roundTrips += t.roundTrips;
        total.errors += t.errors;
        total.clients += t.clients;
    }
    ::close(ready[0]);
    ::close(result[0]);
    for (const pid_t pid : workers) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    if (total.clients != static_cast<uint64_t>(n)) {
        std::printf("lapid_bench: error: only %llu of %d clients registered\n",
                    static_cast<unsigned long long>(total.clients), n);
        ok = false;
    }
    const double rate = static_cast<double>(total.roundTrips) / opt.seconds;
    std::printf(
        "lapid_bench: call=%s clients=%d processes=%d seconds=%.2f round_trips=%llu "
        "errors=%llu rate=%.1f\n",
        CallName(opt.call), n, processes, opt.seconds,
        static_cast<unsigned long long>(total.roundTrips),
        static_cast<unsigned long long>(total.errors), rate);
    std::fflush(stdout);
    return ok && total.errors == 0;
}

bool ParseClients(const char *text, std::vector<int> *out) {
    out->clear();
    std::string s(text);
    size_t pos = 0;
    while (pos <= s.size()) {
        const size_t comma = s.find(',', pos);
        const std::string item = s.substr(pos, comma == std::string::npos ? comma : comma - pos);
        char *end = nullptr;
        const long v = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || v < 1 || v > 1000) {
            return false;
        }
        out->push_back(static_cast<int>(v));
        if (comma == std::string::npos) {
            break;
        }
        pos = comma + 1;
    }
    return !out->empty();
}

int Usage() {
    std::printf(
        "usage: lapid_bench [--clients N[,N...]] [--seconds S] [--call "
        "status|distance|raw-status]\n"
        "                   [--wait-server SECONDS]\n"
        "Measures LAPI_BLOCK round trips per second against the lapid listening on %s\n"
        "(defaults: --clients 10,50 --seconds 5 --call status --wait-server 10).\n"
        "Send standard error to /dev/null: the library traces every message there.\n",
        LAPI_SOCKET_PATH);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        }
        if (value == nullptr) {
            return Usage();
        }
        ++i;
        if (arg == "--clients") {
            if (!ParseClients(value, &opt.clients)) {
                return Usage();
            }
        } else if (arg == "--seconds") {
            opt.seconds = std::atof(value);
            if (!(opt.seconds > 0 && opt.seconds <= 3600)) {
                return Usage();
            }
        } else if (arg == "--call") {
            const std::string c = value;
            if (c == "status") {
                opt.call = Call::kStatus;
            } else if (c == "distance") {
                opt.call = Call::kDistance;
            } else if (c == "raw-status") {
                opt.call = Call::kRawStatus;
            } else {
                return Usage();
            }
        } else if (arg == "--wait-server") {
            opt.waitServer = std::atof(value);
        } else {
            return Usage();
        }
    }
    if (!WaitForServer(opt.waitServer)) {
        std::printf("lapid_bench: error: no server accepts connections on %s\n", LAPI_SOCKET_PATH);
        return 1;
    }
    bool ok = true;
    for (const int n : opt.clients) {
        ok = Measure(n, opt) && ok;
    }
    return ok ? 0 : 1;
}
