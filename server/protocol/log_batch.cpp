#include "protocol/log_batch.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "protocol/log.h"

namespace lapid {
namespace {

constexpr const char *kLapiFile = LAPI_BaseName(__FILE__);
constexpr std::size_t kCapacity = std::size_t{64} * 1024;
constexpr std::size_t kNoticeRoom = 256;  // for the line that reports dropped lines

// How the batch reaches standard error without blocking. O_NONBLOCK on descriptor 2
// itself would change the open file description that lapid shares with the processes
// around it (a terminal, a shell pipeline), which would then see EAGAIN. So:
//   - a pipe or a terminal is opened anew through /proc/self/fd/2, non-blocking: an
//     open file description of lapid's own, which then takes lapid's descriptor 2 (the
//     one shared is kept to put back), so that lapid's other writes to standard error
//     (its "lapid: ..." lines) cannot block either (kWrite);
//   - a socket is sent to with MSG_DONTWAIT (kSend);
//   - a regular file is written as it is (kWrite): it never waits for a reader;
//   - when reopening fails (no /proc, a FIFO without a reader), descriptor 2 is written
//     only after poll() finds room, PIPE_BUF bytes at most (kPollFirst).
enum class Way { kWrite, kSend, kPollFirst };

char g_buf[kCapacity];
std::size_t g_used = 0;
TraceLevel g_level = TraceLevel::kAll;
int g_shared = -1;  // descriptor 2 as lapid was given it, while replaced
Way g_way = Way::kWrite;
uint64_t g_dropped = 0;     // since start
uint64_t g_unreported = 0;  // since the last line that reported drops

void CloseOutput() {
    if (g_shared >= 0) {
        ::dup2(g_shared, STDERR_FILENO);
        ::close(g_shared);
        g_shared = -1;
    }
    g_way = Way::kWrite;
}

void OpenOutput() {
    CloseOutput();
    struct stat st {};
    if (::fstat(STDERR_FILENO, &st) != 0 || S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
        return;
    }
    if (S_ISSOCK(st.st_mode)) {
        g_way = Way::kSend;
        return;
    }
    const int fd = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        g_shared = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        if (g_shared < 0 || ::dup2(fd, STDERR_FILENO) < 0) {
            CloseOutput();
            g_way = Way::kPollFirst;
        }
        ::close(fd);
        return;
    }
    g_way = Way::kPollFirst;
}

ssize_t WriteSome(const char *p, std::size_t len) {
    switch (g_way) {
        case Way::kSend:
            return ::send(STDERR_FILENO, p, len, MSG_DONTWAIT | MSG_NOSIGNAL);
        case Way::kPollFirst: {
            pollfd pfd{STDERR_FILENO, POLLOUT, 0};
            if (::poll(&pfd, 1, 0) != 1) {
                errno = EAGAIN;
                return -1;
            }
            return ::write(STDERR_FILENO, p, std::min<std::size_t>(len, PIPE_BUF));
        }
        case Way::kWrite:
            break;
    }
    return ::write(STDERR_FILENO, p, len);
}

// Writes from the front of the buffer what standard error takes now.
void WriteOut() {
    std::size_t done = 0;
    while (done < g_used) {
        const ssize_t n = WriteSome(g_buf + done, g_used - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else {
            // Standard error is gone (EPIPE, EBADF, ENOSPC, ...): nowhere is left to
            // report that to; the lines are lost, and counted.
            g_dropped += static_cast<uint64_t>(std::count(g_buf + done, g_buf + g_used, '\n'));
            done = g_used;
        }
    }
    std::memmove(g_buf, g_buf + done, g_used - done);
    g_used -= done;
}

bool Wanted(const char *line, std::size_t len) {
    switch (g_level) {
        case TraceLevel::kErrors:
            return len >= 3 && std::memcmp(line, "{0}", 3) == 0;
        case TraceLevel::kNone:
            return false;
        case TraceLevel::kAll:
            break;
    }
    return true;
}

// Appends a whole line, writing out what is gathered first when it does not fit.
bool Append(const char *line, std::size_t len) {
    if (g_used + len > kCapacity) {
        WriteOut();
    }
    if (g_used + len > kCapacity) {
        return false;
    }
    std::memcpy(g_buf + g_used, line, len);
    g_used += len;
    return true;
}

// Reports the lines dropped since the last report, once the buffer has room for it;
// false while it has not.
bool ReportDrops() {
    if (g_unreported == 0) {
        return true;
    }
    if (g_used + kNoticeRoom > kCapacity) {
        return false;
    }
    const uint64_t n = g_unreported;
    g_unreported = 0;
    LAPID_ERR("%llu log lines dropped: standard error did not take them!",
              static_cast<unsigned long long>(n));
    return true;
}

int Gather(const char *line, std::size_t len) {
    if (!Wanted(line, len)) {
        return static_cast<int>(len);
    }
    if (g_unreported > 0 && g_used + kNoticeRoom > kCapacity) {
        WriteOut();
    }
    if (!ReportDrops() || !Append(line, len)) {
        ++g_dropped;
        ++g_unreported;
        return -1;
    }
    return static_cast<int>(len);
}

}  // namespace

void LogBatch::Install(TraceLevel level) {
    g_level = level;
    OpenOutput();
    LAPI_SetLineSink(&Gather);
}

// What standard error does not take now is lost: waiting for it could hold up the
// server's exit for ever.
void LogBatch::Uninstall() {
    Flush();
    LAPI_SetLineSink(nullptr);
    g_dropped += static_cast<uint64_t>(std::count(g_buf, g_buf + g_used, '\n'));
    g_used = 0;
    CloseOutput();
}

bool LogBatch::Flush() {
    const int savedErrno = errno;
    WriteOut();
    if (g_unreported > 0 && ReportDrops()) {
        WriteOut();
    }
    errno = savedErrno;
    return g_used == 0;
}

std::size_t LogBatch::Pending() {
    return g_used;
}

int LogBatch::Fd() {
    return g_way == Way::kWrite && g_shared < 0 ? -1 : STDERR_FILENO;
}

uint64_t LogBatch::Dropped() {
    return g_dropped;
}

}  // namespace lapid
