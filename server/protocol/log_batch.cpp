#include "protocol/log_batch.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "LAPI_SrvCli.h"

namespace lapid {
namespace {

constexpr std::size_t kCapacity = std::size_t{64} * 1024;
char g_buf[kCapacity];
std::size_t g_used = 0;

// Nowhere is left to report a failed write of diagnostics to.
void WriteAll(const char *p, std::size_t len) {
    (void)LAPI_WriteAll(STDERR_FILENO, p, len);
}

int Gather(const char *line, std::size_t len) {
    if (g_used + len > kCapacity) {
        LogBatch::Flush();
    }
    if (len > kCapacity) {
        WriteAll(line, len);
    } else {
        std::memcpy(g_buf + g_used, line, len);
        g_used += len;
    }
    return static_cast<int>(len);
}

}  // namespace

void LogBatch::Install() {
    LAPI_SetLineSink(&Gather);
}

void LogBatch::Uninstall() {
    Flush();
    LAPI_SetLineSink(nullptr);
}

void LogBatch::Flush() {
    const int savedErrno = errno;
    WriteAll(g_buf, g_used);
    g_used = 0;
    errno = savedErrno;
}

std::size_t LogBatch::Pending() {
    return g_used;
}

}  // namespace lapid
