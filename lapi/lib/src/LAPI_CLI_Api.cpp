// The client's connections to the location server, the transport of whole messages
// on them, registration, and every public request call.
//
// All request calls run one operation frame (RunOperation); each call is a row of
// data (an Operation) that names its message, service bit, response limit, texts and
// its own checks of the request body.

#include "LAPI_CLI_Global.h"
#include "LAPI_MsgCatalogue.h"
#include "LAPI_SrvCli.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kLapiFile = LAPI_BaseName(__FILE__);

// Registration and unregistration build and receive their messages in a buffer
// that holds any message; LAPI_GetAsyncMsg offers the same to the receive.
constexpr unsigned kOwnBufLen = lapi::cat::kMaxMessageLen;
constexpr size_t kHeaderLen = lapi::cat::kHeaderLen;

using lapi::wire::Load;
using lapi::wire::LoadHeader;
using lapi::wire::Store;
using lapi::wire::StoreHeader;

// ---------------------------------------------------------------------------------
// Transport
// ---------------------------------------------------------------------------------

// A blocking stream connection to the location server, closed on exec.
int LAPI_CLI_CreateSocket() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Fail to create socket, errno is: %d, %s", errno,
                 LAPI_ErrnoText(errno).c_str());
        return -1;
    }
    if (LAPI_SetFdBlock(fd, 1) < 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Fail to set block fd, errno is: %d, %s", errno,
                 LAPI_ErrnoText(errno).c_str());
        LAPI_CloseFd(fd);
        return -1;
    }
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    constexpr size_t kPathLen = sizeof(LAPI_SOCKET_PATH) - 1;
    static_assert(kPathLen < sizeof addr.sun_path);
    std::memcpy(addr.sun_path, LAPI_SOCKET_PATH, kPathLen);
    const auto addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + kPathLen);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), addrLen) != 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Fail to connect, errno is: %d, %s", errno,
                 LAPI_ErrnoText(errno).c_str());
        LAPI_CloseFd(fd);
        return -1;
    }
    return fd;
}

// Traces the message, then writes all of it.
int LAPI_CLI_SendMsg(int fd, const void *msg, int len) {
    LAPI_LogApMsg(msg, len, LAPI_SIDE_CLI);
    if (LAPI_WriteAll(fd, msg, static_cast<size_t>(len), LAPI_TO_SOCKET) != 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Fail to write socket, errno is: %d, %s", errno,
                 LAPI_ErrnoText(errno).c_str());
        return -1;
    }
    return 0;
}

// Reads exactly len bytes; errors are reported on behalf of LAPI_CLI_RecvMsg.
int ReadExact(int fd, unsigned char *p, size_t len) {
    const int r = LAPI_ReadExact(fd, p, len);
    if (r == 0) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, "LAPI_CLI_RecvMsg", "Socket Disconnection!");
    } else if (r < 0) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, "LAPI_CLI_RecvMsg", "Fail to read socket, errno is: %d, %s",
                    errno, LAPI_ErrnoText(errno).c_str());
    }
    return r > 0 ? 0 : -1;
}

// Receives one whole message into buf. A message whose body does not fit is refused
// after its header, leaving the connection in mid-message: callers then close it.
int LAPI_CLI_RecvMsg(int fd, void *buf, unsigned bufLen) {
    if (bufLen < kHeaderLen) {
        LAPI_ERR(LAPI_SIDE_CLI, "bufLen < sizeof(LAPI_MSG_HEADER_S)!");
        return -1;
    }
    auto *p = static_cast<unsigned char *>(buf);
    if (ReadExact(fd, p, kHeaderLen) != 0) {
        return -1;
    }
    const LAPI_MSG_HEADER_S h = LoadHeader(p);
    const unsigned space = bufLen - static_cast<unsigned>(kHeaderLen);
    if (space < h.msgLen) {
        LAPI_ERR(LAPI_SIDE_CLI, "bufLen : %d < pMsgHeader->msgLen : %d!", static_cast<int>(space),
                 h.msgLen);
        return -1;
    }
    if (ReadExact(fd, p + kHeaderLen, h.msgLen) != 0) {
        return -1;
    }
    LAPI_LogApMsg(p, h.msgLen + static_cast<int>(kHeaderLen), LAPI_SIDE_CLI);
    return 0;
}

// A header-only message (no body) from this process, built at buf.
unsigned char *BuildHeaderOnly(unsigned char *buf, int pid, unsigned msgId) {
    StoreHeader(buf, pid, msgId, 0);
    return buf;
}

// ---------------------------------------------------------------------------------
// The operation frame
// ---------------------------------------------------------------------------------

// A client node borrowed from the registry for the length of one call. It is given
// back when the call ends; a call that found the client's connection out of step
// marks it broken, and it is then given back and destroyed in one registry step, so
// no other thread can borrow it in between.
class BorrowedNode {
  public:
    BorrowedNode(int clientId, const char *func, int pid)
        : clientId_(clientId), node_(LAPI_CLI_GetClientNodeById(clientId)) {
        if (node_ == nullptr) {
            LAPI_ERR_AS(LAPI_SIDE_CLI, func, "Fail to get client node, clientId: %d, pid is: %d!",
                        clientId, pid);
        }
    }
    ~BorrowedNode() {
        if (node_ == nullptr) {
            return;
        }
        if (broken_) {
            LAPI_CLI_PutAndDestroyClientNode(clientId_);
        } else {
            LAPI_CLI_PutClientNodeById(clientId_);
        }
    }
    BorrowedNode(const BorrowedNode &) = delete;
    BorrowedNode &operator=(const BorrowedNode &) = delete;

    LAPI_CLIENT_NODE_S *operator->() const { return node_; }
    explicit operator bool() const { return node_ != nullptr; }
    void MarkBroken() { broken_ = true; }

  private:
    int clientId_;
    LAPI_CLIENT_NODE_S *node_;
    bool broken_ = false;
};

enum class ArgCheck : unsigned char {
    Full,        // clientId, mode, request and (in LAPI_BLOCK mode) response buffer
    ClientOnly,  // clientId alone: calls without a mode argument
};

// A check of the request body, run before the client is borrowed. Writes its own
// line (on behalf of func) and returns false to stop the call.
using OwnCheck = bool (*)(const unsigned char *req, unsigned char mode, int clientId, int pid,
                          const char *func);

struct Operation {
    const char *func;           // the public call's name, on every line it writes
    const lapi::cat::Msg *msg;  // the request: its length, mode and service
    unsigned rspLimit;          // bytes a LAPI_BLOCK answer may fill; 0: nothing is read
    const char *sendText;       // "Fail to send ..." (without ", clientId: ...")
    const char *recvText;       // "Fail to receive ..."
    ArgCheck args = ArgCheck::Full;
    OwnCheck check = nullptr;
};

int RunOperation(const Operation &op, int clientId, unsigned char mode, void *pReq, void *pRsp) {
    const int pid = getpid();
    if (op.args == ArgCheck::Full) {
        if (LAPI_CLI_IsValidParameter(clientId, mode, pReq, pRsp) == 0) {
            LAPI_ERR_AS(LAPI_SIDE_CLI, op.func, "Invalid parameter! clientId: %d, pid is: %d!",
                        clientId, pid);
            return -1;
        }
    } else if (LAPI_CLI_IsValidClientId(clientId) == 0) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, op.func, "Invalid clientId: %d, pid is: %d!", clientId, pid);
        return -1;
    }
    auto *req = static_cast<unsigned char *>(pReq);
    if (op.check != nullptr && !op.check(req, mode, clientId, pid, op.func)) {
        return -1;
    }
    BorrowedNode node(clientId, op.func, pid);
    if (!node) {
        return -1;
    }
    const lapi::cat::Msg &msg = *op.msg;
    if ((node->service & msg.service) == 0) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, op.func, "Not register %s service, clientId: %d, pid is: %d!",
                    lapi::cat::ServiceName(msg.service), clientId, pid);
        return -1;
    }
    StoreHeader(req, pid, msg.msgId, msg.msgLen);
    if (msg.hasMode) {
        Store<uint16_t>(req + kHeaderLen, mode);
    }
    if (LAPI_CLI_SendMsg(node->syncFd, req, msg.recordSize) != 0) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, op.func, "%s, clientId: %d, pid is: %d!", op.sendText, clientId,
                    pid);
        node.MarkBroken();
        return -1;
    }
    if (mode == LAPI_BLOCK && op.rspLimit != 0 &&
        LAPI_CLI_RecvMsg(node->syncFd, pRsp, op.rspLimit) != 0) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, op.func, "%s, clientId: %d, pid is: %d!", op.recvText, clientId,
                    pid);
        node.MarkBroken();
        return -1;
    }
    return 0;  // sent, and in LAPI_BLOCK mode answered
}

bool CheckGetLocation(const unsigned char *req, unsigned char mode, int clientId, int pid,
                      const char *func) {
    if (Load<int32_t>(req + offsetof(LAPI_GET_LOCATION_REQ_S, reportCriteria)) ==
            LAPI_REPORT_PERIODIC &&
        mode == LAPI_BLOCK) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, func, "LAPI_BLOCK enabled in periodic response mode!");
        return false;
    }
    const int32_t responseTime =
        Load<int32_t>(req + offsetof(LAPI_GET_LOCATION_REQ_S, responseTime));
    if (responseTime < 0) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, func, "Invalid responseTime: %d! clientId: %d, pid is: %d!",
                    responseTime, clientId, pid);
        return false;
    }
    return true;
}

bool CheckSetGpsDbData(const unsigned char *req, unsigned char /*mode*/, int /*clientId*/, int pid,
                       const char *func) {
    const unsigned numFiles = Load<uint16_t>(req + offsetof(LAPI_SET_GPS_DB_DATA_REQ_S, numFiles));
    if (numFiles == 0 || numFiles > LAPI_GPS_DB_MAX_FILES) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, func, "Invalid pReq->numFiles: %d, pid is: %d!",
                    static_cast<int>(numFiles), pid);
        return false;
    }
    for (unsigned i = 0; i < numFiles; ++i) {
        const unsigned length =
            Load<uint16_t>(req + offsetof(LAPI_SET_GPS_DB_DATA_REQ_S, dbFile) +
                           i * sizeof(LAPI_GPS_DB_FILE_S) + offsetof(LAPI_GPS_DB_FILE_S, length));
        if (length == 0 || length > LAPI_GPS_DB_MAX_DATA_LEN) {
            LAPI_ERR_AS(LAPI_SIDE_CLI, func, "Invalid pReq->dbFile[%d].length: %d, pid is: %d!",
                        static_cast<int>(i), static_cast<int>(length), pid);
            return false;
        }
    }
    return true;
}

bool CheckCfm(const unsigned char *req, unsigned char /*mode*/, int clientId, int pid,
              const char *func) {
    if (req == nullptr) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, func, "Invalid pCfm == NULL clientId: %d, pid is: %d!", clientId,
                    pid);
        return false;
    }
    return true;
}

constexpr Operation kGetLocation{"LAPI_GetLocation",
                                 &lapi::cat::Of(LAPI_MSG_GET_LOCATION_REQ),
                                 sizeof(LAPI_GET_LOCATION_RSP_S),
                                 "Fail to send get location request",
                                 "Fail to receive get location response",
                                 ArgCheck::Full,
                                 CheckGetLocation};
constexpr Operation kAbortLocation{
    "LAPI_AbortLocationRequest", &lapi::cat::Of(LAPI_MSG_ABORT_LOCATION_REQ),
    sizeof(LAPI_ABORT_LOCATION_RSP_S), "Fail to send abort location request",
    "Fail to receive abort location response"};
constexpr Operation kAbortAllLocation{"LAPI_AbortAllLocationRequest",
                                      &lapi::cat::Of(LAPI_MSG_ABORT_ALL_LOCATION_REQ),
                                      0,
                                      "Fail to send abort all location request",
                                      nullptr,
                                      ArgCheck::ClientOnly};
constexpr Operation kLastKnownLocation{
    "LAPI_GetLastKnownLocation", &lapi::cat::Of(LAPI_MSG_LAST_KNOWN_LOCATION_REQ),
    sizeof(LAPI_GET_LOCATION_RSP_S), "Fail to send get last known location request",
    "Fail to receive get last known location response"};
constexpr Operation kGetStatus{"LAPI_GetStatus", &lapi::cat::Of(LAPI_MSG_GET_STATUS_REQ),
                               sizeof(LAPI_GET_STATUS_RSP_S), "Fail to send get status request",
                               "Fail to receive get status response"};
constexpr Operation kGetGpsDbData{
    "LAPI_GetGpsDatabaseData", &lapi::cat::Of(LAPI_MSG_GET_GPS_DB_DATA_REQ),
    sizeof(LAPI_GET_GPS_DB_DATA_RSP_S), "Fail to send get location state request",
    "Fail to receive get location state response"};
constexpr Operation kSetGpsDbData{"LAPI_SetGpsDatabaseData",
                                  &lapi::cat::Of(LAPI_MSG_SET_GPS_DB_DATA_REQ),
                                  sizeof(LAPI_SET_GPS_DB_DATA_RSP_S),
                                  "Fail to send set location state request",
                                  "Fail to receive set location state response",
                                  ArgCheck::Full,
                                  CheckSetGpsDbData};
constexpr Operation kLocationVerify{"LAPI_LocationVerify",
                                    &lapi::cat::Of(LAPI_MSG_LOCATION_NOTIFICATION_CFM),
                                    0,
                                    "Fail to send MT-LR location verification confirmation",
                                    nullptr,
                                    ArgCheck::ClientOnly,
                                    CheckCfm};
constexpr Operation kDistanceAzimuth{
    "LAPI_CalculateDistanceAzimuth", &lapi::cat::Of(LAPI_MSG_DISTANCE_AZIMUTH_REQ),
    sizeof(LAPI_DISTANCE_AZIMUTH_RSP_S), "Fail to send distance and azimuth request",
    "Fail to receive distance and azimuth response"};
constexpr Operation kAddProximity{
    "LAPI_AddProximityListener", &lapi::cat::Of(LAPI_MSG_ADD_PROXIMITY_REQ),
    sizeof(LAPI_ADD_PROXIMITY_RSP_S), "Fail to send add proximity request",
    "Fail to receive add proximity response"};
constexpr Operation kRemoveProximity{
    "LAPI_RemoveProximityListener", &lapi::cat::Of(LAPI_MSG_REMOVE_PROXIMITY_REQ),
    sizeof(LAPI_REMOVE_PROXIMITY_RSP_S), "Fail to send remove proximity request",
    "Fail to receive remove proximity response"};

// One step of the registration handshake on fd: the request reqId with its 4-byte
// body, then its answer (the next message identifier) into buf. A failed step writes
// its line, naming the step ("register": "Fail to send register request, ..."), and
// returns false.
bool Handshake(int fd, int pid, unsigned reqId, uint32_t body, const char *step,
               unsigned char (&buf)[kOwnBufLen]) {
    constexpr const char *kFunc = "LAPI_RegisterClient";
    const lapi::cat::Msg &req = *lapi::cat::Find(reqId);
    StoreHeader(buf, pid, reqId, req.msgLen);
    Store<uint32_t>(buf + kHeaderLen, body);
    if (LAPI_CLI_SendMsg(fd, buf, req.recordSize) != 0) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, kFunc, "Fail to send %s request, pid is: %d!", step, pid);
        return false;
    }
    // An answer shorter than its record must not hand back request bytes.
    std::memset(buf, 0, sizeof buf);
    if (LAPI_CLI_RecvMsg(fd, buf, sizeof buf) != 0) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, kFunc, "Fail to receive %s response, pid is: %d!", step, pid);
        return false;
    }
    if (LoadHeader(buf).msgId != reqId + 1) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, kFunc, "Received is not expected %s response, pid is: %d!", step,
                    pid);
        return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------
// Registration
// ---------------------------------------------------------------------------------

extern "C" int LAPI_RegisterClient(unsigned int service) {
    LAPI_CLI_GlobalInit();
    const int pid = getpid();
    const unsigned reduced = service & LAPI_SERVICE_MASK;
    if (reduced == 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Invalid parameter service: %u!", service);
        return -1;
    }

    const int syncFd = LAPI_CLI_CreateSocket();
    if (syncFd < 0) {
        return -1;
    }
    unsigned char buf[kOwnBufLen];
    if (!Handshake(syncFd, pid, LAPI_MSG_REGISTER_REQ, reduced, "register", buf)) {
        LAPI_CloseFd(syncFd);
        return -1;
    }
    const int32_t globalId = Load<int32_t>(buf + offsetof(LAPI_REGISTER_RSP_S, globalId));

    const int asyncFd = LAPI_CLI_CreateSocket();
    if (asyncFd < 0) {
        LAPI_CloseFd(syncFd);
        return -1;
    }
    const auto closeBoth = [&] {
        LAPI_CloseFd(asyncFd);
        LAPI_CloseFd(syncFd);
    };
    if (!Handshake(asyncFd, pid, LAPI_MSG_GET_ASYNC_FD_REQ, static_cast<uint32_t>(globalId),
                   "get async fd", buf)) {
        closeBoth();
        return -1;
    }

    auto *node = static_cast<LAPI_CLIENT_NODE_S *>(std::malloc(sizeof(LAPI_CLIENT_NODE_S)));
    if (node == nullptr) {
        LAPI_ERR(LAPI_SIDE_CLI, "Fail to malloc client node, no memory, pid is: %d!", pid);
        closeBoth();
        return -1;
    }
    node->globalId = globalId;
    node->syncFd = syncFd;
    node->asyncFd = asyncFd;
    node->service = reduced;
    const int clientId = LAPI_CLI_AddClientNode(node);
    if (clientId < 0) {
        std::free(node);
        closeBoth();
        return -1;
    }
    return clientId;
}

extern "C" int LAPI_UnregisterClient(int clientId) {
    const int pid = getpid();
    if (LAPI_CLI_IsValidClientId(clientId) == 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Invalid clientId: %d, pid is: %d!", clientId, pid);
        return -1;
    }
    LAPI_CLIENT_NODE_S *node = LAPI_CLI_RemoveClientNode(clientId);
    if (node == nullptr) {
        LAPI_ERR(LAPI_SIDE_CLI, "Fail to remove client node, clientId: %d, pid is: %d!", clientId,
                 pid);
        return -1;
    }
    // The node has left the registry: whatever the server says, the client ends here.
    unsigned char buf[kOwnBufLen];
    if (LAPI_CLI_SendMsg(node->syncFd, BuildHeaderOnly(buf, pid, LAPI_MSG_UNREGISTER_REQ),
                         sizeof(LAPI_UNREGISTER_REQ_S)) != 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Fail to send unregister request, clientId: %d, pid is: %d!",
                 clientId, pid);
    } else if (LAPI_CLI_RecvMsg(node->syncFd, buf, sizeof buf) != 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Fail to receive unregister response, clientId: %d, pid is: %d!",
                 clientId, pid);
    } else if (LoadHeader(buf).msgId != LAPI_MSG_UNREGISTER_RSP) {
        LAPI_ERR(LAPI_SIDE_CLI,
                 "Received is not expected unregister response, clientId: %d, pid is: %d!",
                 clientId, pid);
    }
    LAPI_CloseFd(node->syncFd);
    LAPI_CloseFd(node->asyncFd);
    std::free(node);
    return 0;
}

extern "C" int LAPI_GetAsyncSocketFd(int clientId) {
    return LAPI_CLI_GetAsyncFd(clientId);
}

// ---------------------------------------------------------------------------------
// Request calls
// ---------------------------------------------------------------------------------

extern "C" int LAPI_GetLocation(int clientId, unsigned char mode, LAPI_GET_LOCATION_REQ_S *pReq,
                                void *pRsp) {
    return RunOperation(kGetLocation, clientId, mode, pReq, pRsp);
}

extern "C" int LAPI_AbortLocationRequest(int clientId, unsigned char mode,
                                         LAPI_ABORT_LOCATION_REQ_S *pReq, void *pRsp) {
    return RunOperation(kAbortLocation, clientId, mode, pReq, pRsp);
}

extern "C" int LAPI_AbortAllLocationRequest(int clientId) {
    LAPI_ABORT_ALL_LOCATION_REQ_S req;
    return RunOperation(kAbortAllLocation, clientId, LAPI_NONBLOCK, &req, nullptr);
}

extern "C" int LAPI_GetLastKnownLocation(int clientId, unsigned char mode,
                                         LAPI_LAST_KNOWN_LOCATION_REQ_S *pReq, void *pRsp) {
    return RunOperation(kLastKnownLocation, clientId, mode, pReq, pRsp);
}

extern "C" int LAPI_GetStatus(int clientId, unsigned char mode, LAPI_GET_STATUS_REQ_S *pReq,
                              void *pRsp) {
    return RunOperation(kGetStatus, clientId, mode, pReq, pRsp);
}

extern "C" int LAPI_GetGpsDatabaseData(int clientId, unsigned char mode,
                                       LAPI_GET_GPS_DB_DATA_REQ_S *pReq, void *pRsp) {
    return RunOperation(kGetGpsDbData, clientId, mode, pReq, pRsp);
}

extern "C" int LAPI_SetGpsDatabaseData(int clientId, unsigned char mode,
                                       LAPI_SET_GPS_DB_DATA_REQ_S *pReq, void *pRsp) {
    return RunOperation(kSetGpsDbData, clientId, mode, pReq, pRsp);
}

extern "C" int LAPI_LocationVerify(int clientId, LAPI_LOCATION_NOTIFICATION_CFM_S *pCfm) {
    return RunOperation(kLocationVerify, clientId, LAPI_NONBLOCK, pCfm, nullptr);
}

extern "C" int LAPI_CalculateDistanceAzimuth(int clientId, unsigned char mode,
                                             LAPI_DISTANCE_AZIMUTH_REQ_S *pReq, void *pRsp) {
    return RunOperation(kDistanceAzimuth, clientId, mode, pReq, pRsp);
}

extern "C" int LAPI_AddProximityListener(int clientId, unsigned char mode,
                                         LAPI_ADD_PROXIMITY_REQ_S *pReq, void *pRsp) {
    return RunOperation(kAddProximity, clientId, mode, pReq, pRsp);
}

extern "C" int LAPI_RemoveProximityListener(int clientId, unsigned char mode,
                                            LAPI_REMOVE_PROXIMITY_REQ_S *pReq, void *pRsp) {
    return RunOperation(kRemoveProximity, clientId, mode, pReq, pRsp);
}

// ---------------------------------------------------------------------------------
// Asynchronous retrieval
// ---------------------------------------------------------------------------------

extern "C" int LAPI_GetAsyncMsg(int clientId, void *pMsg) {
    const int pid = getpid();
    LAPI_WriteTraceLineF(LAPI_SIDE_CLI, kLapiFile, __LINE__, __func__,
                         "Enter into LAPI_GetAsyncMsg() clientId: %d, pid is: %d!", clientId, pid);
    if (LAPI_CLI_IsValidClientId(clientId) == 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Invalid clientId: %d, pid is: %d!", clientId, pid);
        return -1;
    }
    if (pMsg == nullptr) {
        LAPI_ERR(LAPI_SIDE_CLI, "Invalid pMsg == NULL clientId: %d, pid is: %d!", clientId, pid);
        return -1;
    }
    BorrowedNode node(clientId, __func__, pid);
    if (!node) {
        return -1;
    }
    const int fd = node->asyncFd;
    if (LAPI_SetFdBlock(fd, 1) < 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Fail to set block fd, errno is: %d, %s, clientId: %d, pid is: %d!",
                 errno, LAPI_ErrnoText(errno).c_str(), clientId, pid);
    }

    // One look at the descriptor without waiting. poll() has no FD_SETSIZE limit; end
    // of stream and errors count as readable, so the receive reports them.
    pollfd pfd{fd, POLLIN, 0};
    int ready;
    while ((ready = ::poll(&pfd, 1, 0)) < 0 && errno == EINTR) {
    }
    if (ready > 0 && (pfd.revents & POLLNVAL) != 0) {
        errno = EBADF;
        ready = -1;
    }
    if (ready < 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Fail to select, errno is: %d, %s", errno,
                 LAPI_ErrnoText(errno).c_str());
        return -1;
    }
    if (ready == 0 || (pfd.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Async fd is unreadable, clientId: %d, pid is: %d!", clientId, pid);
        return -1;
    }
    if (LAPI_CLI_RecvMsg(fd, pMsg, kOwnBufLen) != 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Fail to receive async msg, clientId: %d, pid is: %d!", clientId,
                 pid);
        node.MarkBroken();
        return -1;
    }
    return 0;
}
