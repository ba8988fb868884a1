// Code shared by the client library and the location server: descriptor helpers,
// the diagnostic line writers, hex formatting and the message trace.
//
// Every message sent or received is traced on one line: the trace dispatcher finds
// the message's description in the catalogue (LAPI_MsgCatalogue.h) and one composer
// prints every field of every message from that description.

#include "LAPI_SrvCli.h"

#include "LAPI_MsgCatalogue.h"
#include "LAPI_NumFormat.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char *kLapiFile = LAPI_BaseName(__FILE__);

// The trace copies at most this many bytes of a message.
constexpr int kTraceCopyLen = lapi::cat::kMaxMessageLen;
// A trace text is composed in a line buffer of this many bytes, its NUL included.
constexpr size_t kLineBufLen = 1024;
constexpr size_t kTextCap = kLineBufLen - 1;
// The longest piece of text one field can print (a 100-byte dump with its labels).
constexpr size_t kMaxUnit = 256;
// Room for "{4} FILE:LINE, FUNC()\tLAPI CLI : " with file and function names clamped.
constexpr size_t kNameCap = 64;
constexpr size_t kPrefixCap = 48 + 2 * kNameCap;
// LAPI_DebugHex prints this many bytes per line ("%02x " each: 1023 characters).
constexpr int kDebugHexPerLine = 341;

// Set once the trace tables are in force (LAPI_LogApMsgInit). The tables themselves
// are the constant catalogue; until this flag is set every message is refused with
// "No log procedure".
std::atomic<bool> g_traceReady{false};

const char *SideTag(unsigned char side) {
    return side == LAPI_SIDE_CLI ? "CLI" : "SRV";
}

char *Put(char *p, const char *s, size_t n) {
    std::memcpy(p, s, n);
    return p + n;
}

template <size_t N>
char *Put(char *p, const char (&lit)[N]) {
    return Put(p, lit, N - 1);
}

char *PutStr(char *p, const char *s) {
    return Put(p, s, std::strlen(s));
}

char *PutClamped(char *p, const char *s) {
    return Put(p, s, strnlen(s, kNameCap));
}

std::atomic<LAPI_LineSink> g_lineSink{nullptr};

// One whole diagnostic line, to the installed sink or to standard error.
int WriteStderr(const char *p, size_t len) {
    const LAPI_LineSink sink = g_lineSink.load(std::memory_order_relaxed);
    if (sink != nullptr) {
        return sink(p, len);
    }
    return LAPI_WriteAll(STDERR_FILENO, p, len) == 0 ? static_cast<int>(len) : -1;
}

char *PutTracePrefix(char *p, unsigned char side, const char *file, int line, const char *func) {
    p = Put(p, "{4} ");
    p = PutClamped(p, file);
    *p++ = ':';
    p = lapi::numfmt::AppendI32(p, line);
    p = Put(p, ", ");
    p = PutClamped(p, func);
    p = Put(p, "()\tLAPI ");
    p = Put(p, SideTag(side), 3);
    return Put(p, " : ");
}

using lapi::cat::Field;
using lapi::cat::Kind;
using lapi::wire::Load;

// Composes the trace text of one message field by field. Each field's text is kept
// whole on one line; a text that would pass the line buffer continues on a further
// trace line that starts with the message's name and "(continued)".
class TraceComposer {
  public:
    TraceComposer(const lapi::cat::Msg &m, const unsigned char *msg, unsigned char side)
        : m_(m), msg_(msg), side_(side) {
        StartLine(false);
    }

    void Header() {
        Unit([&](char *p) {
            return p +
                   LAPI_LogApMsgHeader(reinterpret_cast<const LAPI_MSG_HEADER_S *>(msg_), p, side_);
        });
    }

    void Fields() {
        for (unsigned i = 0; i < m_.fieldCount; ++i) {
            const Field &f = m_.fields[i];
            if (f.kind == Kind::FileList) {
                FileList(f);
            } else {
                Unit([&](char *p) { return PutField(p, f); });
            }
        }
    }

    int Flush() {
        text_[len_] = '\0';
        return LAPI_WriteTraceLine(side_, kLapiFile, __LINE__, m_.procName, text_, len_);
    }

  private:
    void StartLine(bool continued) {
        char *p = text_;
        p = Put(p, m_.fromServer ? "S->C " : "C->S ");
        p = PutStr(p, m_.name);
        *p++ = ' ';
        if (continued) {
            p = Put(p, "(continued) ");
        }
        len_ = static_cast<size_t>(p - text_);
    }

    // Appends the text that emit writes. emit gets a position with at least kMaxUnit
    // bytes of room and returns the end of what it wrote.
    template <typename Emit>
    void Unit(Emit &&emit) {
        if (kTextCap - len_ >= kMaxUnit) {
            len_ = static_cast<size_t>(emit(text_ + len_) - text_);
            return;
        }
        char scratch[kMaxUnit + 1];
        const size_t n = static_cast<size_t>(emit(scratch) - scratch);
        if (n > kTextCap - len_) {
            Flush();
            StartLine(true);
        }
        std::memcpy(text_ + len_, scratch, n);
        len_ += n;
    }

    char *Hex(char *p, const unsigned char *bytes, int n) const {
        return p + LAPI_FormatHexStr(bytes, n, p, side_);
    }

    char *PutField(char *p, const Field &f) const {
        const unsigned char *at = msg_ + f.offset;
        p = PutStr(p, f.label);
        p = Put(p, ": ");
        switch (f.kind) {
            case Kind::Dec:
                p = lapi::numfmt::AppendI32(p, f.width == 4   ? Load<int32_t>(at)
                                               : f.width == 2 ? Load<uint16_t>(at)
                                                              : *at);
                break;
            case Kind::Udec:
                p = lapi::numfmt::AppendU32(p, f.width == 4   ? Load<uint32_t>(at)
                                               : f.width == 2 ? Load<uint16_t>(at)
                                                              : *at);
                break;
            case Kind::Double:
                p = lapi::numfmt::AppendE30(p, Load<double>(at));
                break;
            case Kind::I64Double:
                p = lapi::numfmt::AppendE30(p, static_cast<double>(Load<int64_t>(at)));
                break;
            case Kind::CountedBytes: {
                // A count beyond the field is clamped to the field: the dump never
                // leaves the record, and the count printed shows the true value.
                p = lapi::numfmt::AppendI32(p, *at);
                p = Put(p, ", ");
                p = PutStr(p, f.label2);
                p = Put(p, ": ");
                return Hex(p, msg_ + f.offset2, std::min<int>(*at, f.capacity));
            }
            case Kind::FileList:
                break;
        }
        p = Put(p, ", ");
        return f.hex != 0 ? Hex(p, at, f.hex) : p;
    }

    // One group per element, at most the record's capacity whatever the count says.
    void FileList(const Field &f) {
        const unsigned count = std::min<unsigned>(Load<uint16_t>(msg_ + f.offset), f.capacity);
        for (unsigned i = 0; i < count; ++i) {
            const unsigned char *e = msg_ + f.offset2 + i * sizeof(LAPI_GPS_DB_FILE_S);
            Unit([&](char *p) {
                p = Put(p, "dbFile[");
                p = lapi::numfmt::AppendU32(p, i);
                p = Put(p, "]: fileId: ");
                p = lapi::numfmt::AppendI32(
                    p,
                    static_cast<int32_t>(Load<uint32_t>(e + offsetof(LAPI_GPS_DB_FILE_S, fileId))));
                p = Put(p, ", ");
                p = Hex(p, e + offsetof(LAPI_GPS_DB_FILE_S, fileId), 4);
                const unsigned length = Load<uint16_t>(e + offsetof(LAPI_GPS_DB_FILE_S, length));
                p = Put(p, "length: ");
                p = lapi::numfmt::AppendU32(p, length);
                p = Put(p, ", ");
                p = Hex(p, e + offsetof(LAPI_GPS_DB_FILE_S, length), 2);
                p = Put(p, "data: ");
                return Hex(p, e + offsetof(LAPI_GPS_DB_FILE_S, data),
                           static_cast<int>(std::min<unsigned>(length, LAPI_GPS_DB_MAX_DATA_LEN)));
            });
        }
    }

    const lapi::cat::Msg &m_;
    const unsigned char *msg_;
    unsigned char side_;
    size_t len_ = 0;
    char text_[kLineBufLen];
};

// The trace procedure of message m applied to the avail bytes at msg.
int TraceMessage(const lapi::cat::Msg &m, const unsigned char *msg, size_t avail,
                 unsigned char side) {
    const LAPI_MSG_HEADER_S h = lapi::wire::LoadHeader(msg);
    if (h.msgId != m.msgId) {
        return LAPI_ERR_AS(side, m.procName, "pMsgHeader->msgId : %d is not expected, pid : %d!",
                           h.msgId, h.pid);
    }
    if (h.msgLen != m.msgLen) {
        return LAPI_ERR_AS(side, m.procName, "Wrong %s msg length: %d, pid is: %d!", m.name,
                           h.msgLen, h.pid);
    }
    if (avail < m.recordSize) {
        return LAPI_ERR_AS(side, m.procName, "Incomplete %s msg: %d of %d bytes, pid is: %d!",
                           m.name, static_cast<int>(avail), m.recordSize, h.pid);
    }
    TraceComposer c(m, msg, side);
    c.Header();
    c.Fields();
    return c.Flush();
}

int TraceDirect(unsigned msgId, const LAPI_MSG_HEADER_S *pMsgHeader, unsigned char side) {
    const lapi::cat::Msg &m = *lapi::cat::Find(msgId);
    if (pMsgHeader == nullptr) {
        return LAPI_ERR_AS(side, m.procName, "(pMsgHeader == NULL)!");
    }
    return TraceMessage(m, reinterpret_cast<const unsigned char *>(pMsgHeader), m.recordSize, side);
}

}  // namespace

// ---------------------------------------------------------------------------------
// Line writers
// ---------------------------------------------------------------------------------

void LAPI_SetLineSink(LAPI_LineSink sink) {
    g_lineSink.store(sink, std::memory_order_relaxed);
}

int LAPI_WriteErrLine(unsigned char side, const char *file, int line, const char *func,
                      const char *fmt, ...) {
    const int savedErrno = errno;
    char buf[kPrefixCap + kLineBufLen + 1];
    char *p = buf;
    p = Put(p, "{0} ");
    p = PutClamped(p, file);
    *p++ = ':';
    p = lapi::numfmt::AppendI32(p, line);
    p = Put(p, "\tLAPI Error ");
    p = Put(p, SideTag(side), 3);
    *p++ = ' ';
    p = PutClamped(p, func);
    p = Put(p, ": ");
    // Room for the text and its NUL, keeping one byte for the newline.
    const size_t room = sizeof buf - static_cast<size_t>(p - buf) - 1;
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(p, room, fmt, ap);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    if (n > 0) {
        p += std::min(static_cast<size_t>(n), room - 1);
    }
    *p++ = '\n';
    const int written = WriteStderr(buf, static_cast<size_t>(p - buf));
    errno = savedErrno;
    return written;
}

int LAPI_WriteTraceLine(unsigned char side, const char *file, int line, const char *func,
                        const char *text, size_t textLen) {
    const int savedErrno = errno;
    char buf[kPrefixCap + kLineBufLen + 1];
    char *p = PutTracePrefix(buf, side, file, line, func);
    p = Put(p, text, std::min(textLen, kTextCap));
    *p++ = '\n';
    const int written = WriteStderr(buf, static_cast<size_t>(p - buf));
    errno = savedErrno;
    return written;
}

int LAPI_WriteTraceLineF(unsigned char side, const char *file, int line, const char *func,
                         const char *fmt, ...) {
    char text[kLineBufLen];
    va_list ap;
    va_start(ap, fmt);
    const int n =
        std::vsnprintf(text, sizeof text, fmt, ap);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    if (n < 0) {
        return n;
    }
    return LAPI_WriteTraceLine(side, file, line, func, text,
                               std::min(static_cast<size_t>(n), kTextCap));
}

// ---------------------------------------------------------------------------------
// Descriptor helpers
// ---------------------------------------------------------------------------------

extern "C" void LAPI_CloseFd(int fd) {
    if (fd < 0) {
        return;
    }
    // After EINTR Linux has already released the descriptor, and closing it again
    // could close one that another thread has just been given; only EAGAIN retries.
    while (::close(fd) != 0 && errno == EAGAIN) {
    }
}

extern "C" int LAPI_SetFdBlock(int fd, unsigned char block) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        return flags;
    }
    const int wanted = block != 0 ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, wanted);
}

int LAPI_WriteAll(int fd, const void *buf, size_t len, LAPI_WriteTarget target) {
    const auto *p = static_cast<const unsigned char *>(buf);
    size_t done = 0;
    while (done < len) {
        const ssize_t n = target == LAPI_TO_SOCKET ? ::send(fd, p + done, len - done, MSG_NOSIGNAL)
                                                   : ::write(fd, p + done, len - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

int LAPI_ReadExact(int fd, void *buf, size_t len) {
    auto *p = static_cast<unsigned char *>(buf);
    size_t done = 0;
    while (done < len) {
        const ssize_t n = ::read(fd, p + done, len - done);
        if (n == 0) {
            return 0;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return 1;
}

// ---------------------------------------------------------------------------------
// Hex formatting
// ---------------------------------------------------------------------------------

extern "C" unsigned int LAPI_FormatHexStr(const unsigned char *pData, int length, char *pBuf,
                                          unsigned char side) {
    if (pData == nullptr || pBuf == nullptr || length <= 0) {
        LAPI_ERR(side, "(pData == NULL) || (pBuf == NULL) || (length <= 0)!");
        return 0;
    }
    char *p = Put(pBuf, "0x");
    p = lapi::numfmt::AppendHexBytes(p, pData, static_cast<size_t>(length));
    p = Put(p, ", ");
    *p = '\0';
    return static_cast<unsigned int>(p - pBuf);
}

extern "C" void LAPI_DebugHex(const unsigned char *pData, int length, unsigned char side) {
    if (pData == nullptr || length <= 0) {
        return;
    }
    char text[kLineBufLen];
    for (int at = 0; at < length; at += kDebugHexPerLine) {
        const int n = std::min(kDebugHexPerLine, length - at);
        char *p = text;
        for (int i = 0; i < n; ++i) {
            p = lapi::numfmt::AppendHexBytes(p, pData + at + i, 1);
            *p++ = ' ';
        }
        LAPI_WriteTraceLine(side, kLapiFile, __LINE__, __func__, text,
                            static_cast<size_t>(p - text));
    }
}

// ---------------------------------------------------------------------------------
// Message trace
// ---------------------------------------------------------------------------------

extern "C" void LAPI_LogApMsgInit(void) {
    g_traceReady.store(true, std::memory_order_release);
}

extern "C" unsigned int LAPI_LogApMsgHeader(const LAPI_MSG_HEADER_S *pMsgHeader, char *pBuf,
                                            unsigned char side) {
    if (pMsgHeader == nullptr || pBuf == nullptr) {
        LAPI_ERR(side, "(pMsgHeader == NULL) || (pBuf == NULL)!");
        return 0;
    }
    const LAPI_MSG_HEADER_S h = lapi::wire::LoadHeader(pMsgHeader);
    char *p = Put(pBuf, "pid: ");
    p = lapi::numfmt::AppendI32(p, h.pid);
    p = Put(p, ", msgId: ");
    p = lapi::numfmt::AppendU32(p, h.msgId);
    p = Put(p, ", msgLen: ");
    p = lapi::numfmt::AppendU32(p, h.msgLen);
    p = Put(p, ", ");
    *p = '\0';
    return static_cast<unsigned int>(p - pBuf);
}

extern "C" int LAPI_LogApMsg(const void *pBuf, int length, unsigned char side) {
    // The header is read from the copy, so anything shorter than a header is refused.
    if (pBuf == nullptr || length < static_cast<int>(sizeof(LAPI_MSG_HEADER_S))) {
        return LAPI_ERR(side, "(pBuf == NULL) || (length <= 0) !");
    }
    if (length > kTraceCopyLen) {
        const LAPI_MSG_HEADER_S h = lapi::wire::LoadHeader(pBuf);
        return LAPI_ERR(side, "length: %d > sizeof(buf): %d, msgId: %d!", length, kTraceCopyLen,
                        h.msgId);
    }
    unsigned char copy[kTraceCopyLen];
    std::memcpy(copy, pBuf, static_cast<size_t>(length));
    const LAPI_MSG_HEADER_S h = lapi::wire::LoadHeader(copy);
    const lapi::cat::Msg *m = lapi::cat::Find(h.msgId);
    if (m == nullptr) {
        return LAPI_ERR(side, "Unknown msgId: %d, pid is: %d!", h.msgId, h.pid);
    }
    if (!g_traceReady.load(std::memory_order_acquire)) {
        return LAPI_ERR(side, "No log procedure for msgId: %d, pid is: %d!", h.msgId, h.pid);
    }
    return TraceMessage(*m, copy, static_cast<size_t>(length), side);
}

#define LAPI_TRACE_PROCEDURE(Name, msgId)                                                    \
    extern "C" int LAPI_Log##Name(const LAPI_MSG_HEADER_S *pMsgHeader, unsigned char side) { \
        return TraceDirect(msgId, pMsgHeader, side);                                         \
    }

LAPI_TRACE_PROCEDURE(RegisterReq, LAPI_MSG_REGISTER_REQ)
LAPI_TRACE_PROCEDURE(RegisterRsp, LAPI_MSG_REGISTER_RSP)
LAPI_TRACE_PROCEDURE(GetAsyncFdReq, LAPI_MSG_GET_ASYNC_FD_REQ)
LAPI_TRACE_PROCEDURE(GetAsyncFdRsp, LAPI_MSG_GET_ASYNC_FD_RSP)
LAPI_TRACE_PROCEDURE(UnregisterReq, LAPI_MSG_UNREGISTER_REQ)
LAPI_TRACE_PROCEDURE(UnregisterRsp, LAPI_MSG_UNREGISTER_RSP)
LAPI_TRACE_PROCEDURE(GetLocationReq, LAPI_MSG_GET_LOCATION_REQ)
LAPI_TRACE_PROCEDURE(AbortLocationReq, LAPI_MSG_ABORT_LOCATION_REQ)
LAPI_TRACE_PROCEDURE(AbortAllLocationReq, LAPI_MSG_ABORT_ALL_LOCATION_REQ)
LAPI_TRACE_PROCEDURE(LastKnownLocationReq, LAPI_MSG_LAST_KNOWN_LOCATION_REQ)
LAPI_TRACE_PROCEDURE(GetGpsDbDataReq, LAPI_MSG_GET_GPS_DB_DATA_REQ)
LAPI_TRACE_PROCEDURE(SetGpsDbDataReq, LAPI_MSG_SET_GPS_DB_DATA_REQ)
LAPI_TRACE_PROCEDURE(GetStatusReq, LAPI_MSG_GET_STATUS_REQ)
LAPI_TRACE_PROCEDURE(LocationNotificationCfm, LAPI_MSG_LOCATION_NOTIFICATION_CFM)
LAPI_TRACE_PROCEDURE(DistanceAzimuthReq, LAPI_MSG_DISTANCE_AZIMUTH_REQ)
LAPI_TRACE_PROCEDURE(AddProximityReq, LAPI_MSG_ADD_PROXIMITY_REQ)
LAPI_TRACE_PROCEDURE(RemoveProximityReq, LAPI_MSG_REMOVE_PROXIMITY_REQ)
LAPI_TRACE_PROCEDURE(GetLocationRsp, LAPI_MSG_GET_LOCATION_RSP)
LAPI_TRACE_PROCEDURE(AbortLocationRsp, LAPI_MSG_ABORT_LOCATION_RSP)
LAPI_TRACE_PROCEDURE(TimeOutRsp, LAPI_MSG_TIME_OUT_RSP)
LAPI_TRACE_PROCEDURE(InvalidRequestRsp, LAPI_MSG_INVALID_REQUEST_RSP)
LAPI_TRACE_PROCEDURE(GetGpsDbDataRsp, LAPI_MSG_GET_GPS_DB_DATA_RSP)
LAPI_TRACE_PROCEDURE(SetGpsDbDataRsp, LAPI_MSG_SET_GPS_DB_DATA_RSP)
LAPI_TRACE_PROCEDURE(GetStatusRsp, LAPI_MSG_GET_STATUS_RSP)
LAPI_TRACE_PROCEDURE(StatusChangeInd, LAPI_MSG_STATUS_CHANGE_IND)
LAPI_TRACE_PROCEDURE(LocationNotificationInd, LAPI_MSG_LOCATION_NOTIFICATION_IND)
LAPI_TRACE_PROCEDURE(NotificationStatusInd, LAPI_MSG_NOTIFICATION_STATUS_IND)
LAPI_TRACE_PROCEDURE(DistanceAzimuthRsp, LAPI_MSG_DISTANCE_AZIMUTH_RSP)
LAPI_TRACE_PROCEDURE(AddProximityRsp, LAPI_MSG_ADD_PROXIMITY_RSP)
LAPI_TRACE_PROCEDURE(RemoveProximityRsp, LAPI_MSG_REMOVE_PROXIMITY_RSP)
LAPI_TRACE_PROCEDURE(ProximityHitInd, LAPI_MSG_PROXIMITY_HIT_IND)
