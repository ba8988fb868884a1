// Internal declarations shared by the library's sources and the location server:
// the diagnostic line writers and the side tags. Everything here has hidden
// visibility; only the functions declared in <lapi/lapi.h> are exported.
#pragma once

#include <lapi/lapi.h>

#include <cstddef>
#include <cstring>

// Side flag of every diagnostic: 0 tags lines "CLI", any other value "SRV".
inline constexpr unsigned char LAPI_SIDE_CLI = 0;
inline constexpr unsigned char LAPI_SIDE_SRV = 1;

// Level of error lines and of trace lines.
inline constexpr int LAPI_LEVEL_ERROR = 0;
inline constexpr int LAPI_LEVEL_TRACE = 4;

// The text after the last '/' of a path (the whole path when there is none).
constexpr const char *LAPI_BaseName(const char *path) {
    const char *base = path;
    for (const char *p = path; *p != '\0'; ++p) {
        if (*p == '/') {
            base = p + 1;
        }
    }
    return base;
}

// Writes one error line "{0} FILE:LINE\tLAPI Error CLI FUNC: TEXT\n" (SRV for a
// nonzero side) with a single write to standard error. errno is preserved, so a
// caller may format strerror(errno) and keep using errno afterwards. Returns the
// number of characters written, or -1.
int LAPI_WriteErrLine(unsigned char side, const char *file, int line, const char *func,
                      const char *fmt, ...) __attribute__((format(printf, 5, 6)));

// Writes one trace line "{4} FILE:LINE, FUNC()\tLAPI CLI : TEXT\n" with a single write.
int LAPI_WriteTraceLine(unsigned char side, const char *file, int line, const char *func,
                        const char *text, size_t textLen);

// Where diagnostic lines go. By default each line is written to standard error with
// one write, which keeps lines of different threads whole. A single-threaded program
// (the server) may install a sink that gathers whole lines and writes them in batches;
// it must flush them itself. nullptr restores the default. The sink returns the
// number of characters taken, or -1.
using LAPI_LineSink = int (*)(const char *line, size_t len);
void LAPI_SetLineSink(LAPI_LineSink sink);

// printf-formatted trace line (for the few trace lines that are not message traces).
int LAPI_WriteTraceLineF(unsigned char side, const char *file, int line, const char *func,
                         const char *fmt, ...) __attribute__((format(printf, 5, 6)));

// Error line from the current function; each source file defines
// `static constexpr const char *kLapiFile = LAPI_BaseName(__FILE__);`.
#define LAPI_ERR(side, ...) LAPI_WriteErrLine((side), kLapiFile, __LINE__, __func__, __VA_ARGS__)
// Error line on behalf of a named function (shared code that reports for its caller).
#define LAPI_ERR_AS(side, func, ...) \
    LAPI_WriteErrLine((side), kLapiFile, __LINE__, (func), __VA_ARGS__)

// The text of an error number, for "errno is: %d, %s" lines; unlike strerror it is
// safe to use from several threads at once.
class LAPI_ErrnoText {
  public:
    explicit LAPI_ErrnoText(int err) noexcept : text_(strerror_r(err, buf_, sizeof buf_)) {}
    const char *c_str() const noexcept { return text_; }

  private:
    char buf_[128];
    const char *text_;
};

// Whole transfers on a blocking descriptor. Both carry on after an interruption
// (EINTR) and after a partial transfer, and stop at the first error with errno set.
//
// LAPI_WriteAll writes all len bytes and returns 0, or -1. LAPI_TO_SOCKET sends with
// MSG_NOSIGNAL, so a peer that went away is an EPIPE error instead of SIGPIPE.
enum LAPI_WriteTarget : unsigned char { LAPI_TO_FILE, LAPI_TO_SOCKET };
int LAPI_WriteAll(int fd, const void *buf, size_t len, LAPI_WriteTarget target = LAPI_TO_FILE);
// LAPI_ReadExact reads exactly len bytes and returns 1; 0 when the stream ends first
// (bytes read until then are in buf), -1 on an error.
int LAPI_ReadExact(int fd, void *buf, size_t len);

// Little-endian access to wire fields at any offset.
namespace lapi::wire {

template <typename T>
inline T Load(const void *p) noexcept {
    T v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
inline void Store(void *p, T v) noexcept {
    __builtin_memcpy(p, &v, sizeof v);
}

inline LAPI_MSG_HEADER_S LoadHeader(const void *p) noexcept {
    return Load<LAPI_MSG_HEADER_S>(p);
}

inline void StoreHeader(void *p, int pid, unsigned msgId, unsigned msgLen) noexcept {
    LAPI_MSG_HEADER_S h;
    h.pid = pid;
    h.msgId = static_cast<uint16_t>(msgId);
    h.msgLen = static_cast<uint16_t>(msgLen);
    Store(p, h);
}

}  // namespace lapi::wire
