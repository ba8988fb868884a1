#include "session.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "lapi/lapi.h"
#include "LAPI_SrvCli.h"

namespace lapictl {
namespace {

int g_diagFd = STDERR_FILENO;
bool g_diagIsTerminal = false;

std::atomic<int> g_stopSignals{0};
std::atomic<int> g_stopSignal{0};        // the last one caught
std::atomic<bool> g_keepRunning{false};  // the shell: Ctrl-C never ends the process
int g_stopPipe[2] = {-1, -1};

void WriteAll(int fd, std::string_view text) {
    (void)LAPI_WriteAll(fd, text.data(), text.size());
}

extern "C" void OnStopSignal(int sig) {
    const int savedErrno = errno;
    g_stopSignal.store(sig);
    if (g_stopSignals.fetch_add(1) > 0 && !g_keepRunning.load()) {
        // Second Ctrl-C: the user does not want to wait for a clean stop.
        std::signal(sig, SIG_DFL);
        std::raise(sig);
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_stopPipe[1], &byte, 1);
    errno = savedErrno;
}

// Whether something accepts connections on the service socket (to tell "no server"
// from "the server refused us" after a failed registration).
bool ServiceSocketAnswers() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, LAPI_SOCKET_PATH, sizeof addr.sun_path - 1);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

// ---- Diagnostics -----------------------------------------------------------------

bool SetUpDiagnostics(bool trace, const std::string &logPath) {
    const int saved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved < 0) {
        // No usable descriptor 2 at all: nothing to protect, nothing to report to.
        return true;
    }
    g_diagFd = saved;
    g_diagIsTerminal = ::isatty(saved) == 1;
    if (trace) {
        return true;
    }
    const char *target = logPath.empty() ? "/dev/null" : logPath.c_str();
    const int flags = logPath.empty() ? O_WRONLY : O_WRONLY | O_CREAT | O_APPEND;
    const int fd = ::open(target, flags | O_CLOEXEC, 0644);
    if (fd < 0) {
        Complain("cannot open the log file " + logPath + ": " + LAPI_ErrnoText(errno).c_str());
        return false;
    }
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    return true;
}

void Complain(std::string_view text) {
    std::string line = "lapictl: ";
    line += text;
    line += '\n';
    WriteAll(g_diagFd, line);
}

void Tell(std::string_view text) {
    WriteAll(g_diagFd, text);
}

bool ReadStdin(std::string &input) {
    char chunk[4096];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n > 0) {
        input.append(chunk, static_cast<std::size_t>(n));
    }
    return n > 0 || (n < 0 && errno == EINTR);
}

void PrintLine(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// ---- Wait notice -----------------------------------------------------------------

WaitNotice::WaitNotice(std::string text) : text_(std::move(text)) {
    if (!g_diagIsTerminal || text_.empty()) {
        stopped_ = true;
        return;
    }
    thread_ = std::thread([this] { Run(); });
}

void WaitNotice::Run() {
    std::unique_lock lock(mutex_);
    if (cv_.wait_for(lock, std::chrono::seconds(1), [this] { return stopped_; })) {
        return;
    }
    WriteAll(g_diagFd, "\r" + text_);
    shown_ = true;
    cv_.wait(lock, [this] { return stopped_; });
}

void WaitNotice::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    if (shown_) {
        WriteAll(g_diagFd, "\r\033[K");  // back to the start of the line and clear it
        shown_ = false;
    }
}

// ---- Ctrl-C ----------------------------------------------------------------------

void CatchStopSignals(bool keepRunning) {
    if (keepRunning) {
        g_keepRunning.store(true);
    }
    if (g_stopPipe[0] < 0 && ::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        Complain(std::string("cannot create a pipe: ") + LAPI_ErrnoText(errno).c_str());
        return;
    }
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

bool StopRequested() {
    return g_stopSignals.load() > 0;
}

int StoppedStatus() {
    const int sig = g_stopSignal.load();
    return 128 + (sig != 0 ? sig : SIGINT);
}

int StopFd() {
    return g_stopPipe[0];
}

void ClearStop() {
    char drain[16];
    while (g_stopPipe[0] >= 0 && ::read(g_stopPipe[0], drain, sizeof drain) > 0) {
    }
    g_stopSignals.store(0);
}

// ---- Client ----------------------------------------------------------------------

std::unique_ptr<Client> Client::Register(unsigned services) {
    const int id = LAPI_RegisterClient(services);
    if (id < 0) {
        if (ServiceSocketAnswers()) {
            Complain("the location server at " LAPI_SOCKET_PATH
                     " refused the registration (too many clients?)");
        } else {
            Complain("cannot reach the location server at " LAPI_SOCKET_PATH ": is lapid running?");
        }
        return nullptr;
    }
    return std::unique_ptr<Client>(new Client(id, LAPI_GetAsyncSocketFd(id)));
}

Client::~Client() {
    // Fails harmlessly when the library already dropped the client after a lost
    // connection.
    LAPI_UnregisterClient(id_);
}

bool ReadPushed(const Client &client, std::vector<uint8_t> *msg) {
    msg->assign(LAPI_ASYNC_MSG_BUF_LEN, 0);
    if (LAPI_GetAsyncMsg(client.id(), msg->data()) != 0) {
        Complain("lost the connection to the location server");
        return false;
    }
    LAPI_MSG_HEADER_S header;
    std::memcpy(&header, msg->data(), sizeof header);
    msg->resize(sizeof header + header.msgLen);
    return true;
}

WaitResult NextMessage(const Client &client, std::vector<uint8_t> *msg, const Deadline &deadline,
                       std::string_view what, int inputFd) {
    // While the user is asked a question (inputFd), the notice would cover it.
    WaitNotice notice(inputFd < 0 ? "waiting for " + std::string(what) + "..." : std::string());
    for (;;) {
        if (StopRequested()) {
            return WaitResult::kStopped;
        }
        int timeoutMs = -1;
        if (deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0) {
                return WaitResult::kTimedOut;
            }
            timeoutMs = static_cast<int>(left.count() < 60000 ? left.count() + 1 : 60000);
        }
        pollfd fds[3] = {
            {client.asyncFd(), POLLIN, 0}, {g_stopPipe[0], POLLIN, 0}, {inputFd, POLLIN, 0}};
        const int ready = ::poll(fds, 3, timeoutMs);  // negative descriptors are skipped
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            Complain(std::string("poll failed: ") + LAPI_ErrnoText(errno).c_str());
            return WaitResult::kFailed;
        }
        if (ready == 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            char drain[16];
            while (::read(g_stopPipe[0], drain, sizeof drain) > 0) {
            }
            return WaitResult::kStopped;
        }
        if (fds[0].revents != 0) {
            notice.Stop();
            return ReadPushed(client, msg) ? WaitResult::kMessage : WaitResult::kFailed;
        }
        if (fds[2].revents != 0) {
            return WaitResult::kInput;
        }
    }
}

}  // namespace lapictl
