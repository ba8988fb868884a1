// libFuzzer target: the library's receive side. Registration, the LAPI_BLOCK answers
// of the request calls, unregistration and LAPI_GetAsyncMsg read whatever a server
// might send.
//
// The peer. The target is linked with --wrap=connect: each connection the library
// opens becomes one end of a socketpair instead, and the other end, the server, has
// already written its whole script and shut down its sending side. The library reads
// the script, then end of stream; it never waits, there are no threads and nothing
// touches the file system, so a run is deterministic and fast.
//
// Input: pieces separated by "|S|". The first piece is the program, one byte a call
// (calls past the 32nd are ignored: runs stay short, and what the library sends always
// fits the socket buffer unread); piece i is the script of the i-th connection the
// library opens (a connection without a script is refused with ECONNREFUSED).
//   kind = byte % 16, arg = byte / 16
//   0, 15   LAPI_RegisterClient(arg)
//   1..11   the request call kind - 1 (LAPI_GetLocation ... LAPI_RemoveProximityListener)
//           on clientId arg % 4, LAPI_BLOCK when arg & 4
//   12      LAPI_GetAsyncMsg(arg % 4)
//   13      LAPI_GetAsyncSocketFd(arg % 4)
//   14      LAPI_UnregisterClient(arg % 4)
// Request and response buffers are heap blocks of exactly the documented sizes, so
// AddressSanitizer sees any access past them. Every call that returns -1 must have
// written an error line; at the end every client is destroyed and every descriptor
// the library opened must be closed.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "LAPI_SrvCli.h"

extern "C" int __wrap_connect(int fd, const sockaddr *addr, socklen_t len);

namespace {

constexpr std::string_view kSeparator = "|S|";
constexpr size_t kMaxCalls = 32;

[[noreturn]] void Fail(const char *what, int a = 0) {
    std::fprintf(stderr, "client_receive_fuzz: %s (%d)\n", what, a);
    std::abort();
}

struct State {
    std::vector<std::string_view> scripts;  // by connection, in connect order
    size_t nextScript = 0;
    std::vector<int> peers;    // the server ends
    std::vector<int> library;  // the descriptors the library connected
    int errorLines = 0;
};

State g_state;

// Counts the library's error lines ("{0} ..."); nothing is written.
int Count(const char *line, size_t len) {
    if (len > 3 && std::memcmp(line, "{0} ", 4) == 0) {
        ++g_state.errorLines;
    }
    return static_cast<int>(len);
}

struct Call {
    int (*fn)(int clientId, unsigned char mode, unsigned char *req, void *rsp);
    size_t reqSize;
    size_t rspSize;  // 0: the call reads nothing
};

template <typename Req, int (*F)(int, unsigned char, Req *, void *)>
int Invoke(int id, unsigned char mode, unsigned char *req, void *rsp) {
    return F(id, mode, reinterpret_cast<Req *>(req), rsp);
}

const Call kCalls[] = {
    {Invoke<LAPI_GET_LOCATION_REQ_S, LAPI_GetLocation>, sizeof(LAPI_GET_LOCATION_REQ_S),
     sizeof(LAPI_GET_LOCATION_RSP_S)},
    {Invoke<LAPI_ABORT_LOCATION_REQ_S, LAPI_AbortLocationRequest>,
     sizeof(LAPI_ABORT_LOCATION_REQ_S), sizeof(LAPI_ABORT_LOCATION_RSP_S)},
    {[](int id, unsigned char, unsigned char *, void *) {
         return LAPI_AbortAllLocationRequest(id);
     },
     1, 0},
    {Invoke<LAPI_LAST_KNOWN_LOCATION_REQ_S, LAPI_GetLastKnownLocation>,
     sizeof(LAPI_LAST_KNOWN_LOCATION_REQ_S), sizeof(LAPI_GET_LOCATION_RSP_S)},
    {Invoke<LAPI_GET_STATUS_REQ_S, LAPI_GetStatus>, sizeof(LAPI_GET_STATUS_REQ_S),
     sizeof(LAPI_GET_STATUS_RSP_S)},
    {Invoke<LAPI_GET_GPS_DB_DATA_REQ_S, LAPI_GetGpsDatabaseData>,
     sizeof(LAPI_GET_GPS_DB_DATA_REQ_S), sizeof(LAPI_GET_GPS_DB_DATA_RSP_S)},
    {Invoke<LAPI_SET_GPS_DB_DATA_REQ_S, LAPI_SetGpsDatabaseData>,
     sizeof(LAPI_SET_GPS_DB_DATA_REQ_S), sizeof(LAPI_SET_GPS_DB_DATA_RSP_S)},
    {[](int id, unsigned char, unsigned char *req, void *) {
         return LAPI_LocationVerify(id, reinterpret_cast<LAPI_LOCATION_NOTIFICATION_CFM_S *>(req));
     },
     sizeof(LAPI_LOCATION_NOTIFICATION_CFM_S), 0},
    {Invoke<LAPI_DISTANCE_AZIMUTH_REQ_S, LAPI_CalculateDistanceAzimuth>,
     sizeof(LAPI_DISTANCE_AZIMUTH_REQ_S), sizeof(LAPI_DISTANCE_AZIMUTH_RSP_S)},
    {Invoke<LAPI_ADD_PROXIMITY_REQ_S, LAPI_AddProximityListener>, sizeof(LAPI_ADD_PROXIMITY_REQ_S),
     sizeof(LAPI_ADD_PROXIMITY_RSP_S)},
    {Invoke<LAPI_REMOVE_PROXIMITY_REQ_S, LAPI_RemoveProximityListener>,
     sizeof(LAPI_REMOVE_PROXIMITY_REQ_S), sizeof(LAPI_REMOVE_PROXIMITY_RSP_S)},
};

// One call of the program; its result.
int Run(uint8_t op) {
    const int kind = op % 16;
    const int arg = op / 16;
    const int id = arg % 4;
    if (kind == 0 || kind == 15) {
        return LAPI_RegisterClient(static_cast<unsigned>(arg));
    }
    if (kind == 12) {
        const std::unique_ptr<unsigned char[]> msg(new unsigned char[LAPI_ASYNC_MSG_BUF_LEN]);
        return LAPI_GetAsyncMsg(id, msg.get());
    }
    if (kind == 13) {
        const int fd = LAPI_GetAsyncSocketFd(id);
        if (fd >= 0 && ::fcntl(fd, F_GETFD) < 0) {
            Fail("LAPI_GetAsyncSocketFd gave a closed descriptor", fd);
        }
        return fd < 0 ? -1 : 0;
    }
    if (kind == 14) {
        return LAPI_UnregisterClient(id);
    }
    const Call &c = kCalls[kind - 1];
    const std::unique_ptr<unsigned char[]> req(new unsigned char[c.reqSize]());
    if (c.reqSize == sizeof(LAPI_SET_GPS_DB_DATA_REQ_S)) {  // one entry of one byte
        req[offsetof(LAPI_SET_GPS_DB_DATA_REQ_S, numFiles)] = 1;
        req[offsetof(LAPI_SET_GPS_DB_DATA_REQ_S, dbFile) + offsetof(LAPI_GPS_DB_FILE_S, length)] =
            1;
    }
    const bool block = (arg & 4) != 0 && c.rspSize != 0;
    const std::unique_ptr<unsigned char[]> rsp(block ? new unsigned char[c.rspSize] : nullptr);
    return c.fn(id, block ? LAPI_BLOCK : LAPI_NONBLOCK, req.get(), rsp.get());
}

}  // namespace

extern "C" int __wrap_connect(int fd, const sockaddr * /*addr*/, socklen_t /*len*/) {
    g_state.library.push_back(fd);
    if (g_state.nextScript >= g_state.scripts.size()) {
        errno = ECONNREFUSED;
        return -1;
    }
    const std::string_view script = g_state.scripts[g_state.nextScript++];
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0 ||
        ::dup3(sv[0], fd, O_CLOEXEC) < 0) {
        Fail("socketpair", errno);
    }
    ::close(sv[0]);
    if (!script.empty() && ::send(sv[1], script.data(), script.size(), MSG_DONTWAIT) !=
                               static_cast<ssize_t>(script.size())) {
        Fail("the script does not fit the socket buffer", static_cast<int>(script.size()));
    }
    ::shutdown(sv[1], SHUT_WR);
    g_state.peers.push_back(sv[1]);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = [] {
        LAPI_SetLineSink(&Count);
        return true;
    }();
    (void)ready;
    g_state = State{};
    const std::string_view all(reinterpret_cast<const char *>(data), size);
    std::vector<std::string_view> pieces;
    for (size_t at = 0;;) {
        const size_t sep = all.find(kSeparator, at);
        pieces.push_back(all.substr(at, sep == all.npos ? all.npos : sep - at));
        if (sep == all.npos) {
            break;
        }
        at = sep + kSeparator.size();
    }
    g_state.scripts.assign(pieces.begin() + 1, pieces.end());
    for (const char op : pieces[0].substr(0, kMaxCalls)) {
        const int before = g_state.errorLines;
        const int result = Run(static_cast<uint8_t>(op));
        if (result < 0 && g_state.errorLines == before) {
            Fail("a call failed without an error line", static_cast<uint8_t>(op));
        }
    }
    for (int id = 0; id < LAPI_CLI_MAX_CLIENTS; ++id) {
        LAPI_CLI_DestroyClientNode(id);
    }
    for (const int p : g_state.peers) {
        ::close(p);
    }
    for (const int fd : g_state.library) {
        if (::fcntl(fd, F_GETFD) >= 0) {
            Fail("descriptor left open", fd);
        }
    }
    return 0;
}
