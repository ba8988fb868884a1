#include "lapid_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef LAPID_ITEST_BINARY
#error "LAPID_ITEST_BINARY must name the lapid binary"
#endif

namespace lapid_itest {

namespace {

using Clock = std::chrono::steady_clock;

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Tries to connect to the Unix socket at path; the errno of the failure, 0 on success.
int ConnectErrno(const char *path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return errno;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    int err = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        err = errno;
        // A full listen queue still means someone listens.
        if (err == EAGAIN) {
            err = 0;
        }
    }
    ::close(fd);
    return err;
}

// Reaps pid if it has ended; the decoded status, or -1 while it still runs.
int TryReap(pid_t pid) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == 0) {
        return -1;
    }
    if (r < 0) {
        return 255;  // not our child any more: treat as gone
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return 255;
}

}  // namespace

// ---------------------------------------------------------------------------------
// TempDir

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lapid-itest-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

// ---------------------------------------------------------------------------------
// The service path

ServicePathState ProbeServicePath() {
    struct stat st {};
    if (::lstat(kServicePath, &st) != 0) {
        return ServicePathState::kAbsent;
    }
    if (!S_ISSOCK(st.st_mode)) {
        return ServicePathState::kOther;
    }
    return ConnectErrno(kServicePath) == 0 ? ServicePathState::kLive : ServicePathState::kStale;
}

bool WaitServicePathFree(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const ServicePathState s = ProbeServicePath();
        if (s == ServicePathState::kAbsent || s == ServicePathState::kStale) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        SleepMs(100);
    }
}

// ---------------------------------------------------------------------------------
// Lapid

Lapid::Lapid(std::vector<std::string> extraArgs)
    : db_(dir_.File("gpsdb.sqlite")),
      control_(dir_.File("lapid.ctl")),
      extraArgs_(std::move(extraArgs)) {}

Lapid::~Lapid() {
    if (pid_ > 0) {
        if (Stop(5000) < 0) {
            Kill9();
        }
    }
    RemoveOwnStaleSocket();
}

bool Lapid::Spawn() {
    if (pid_ > 0) {
        error_ = "already running";
        return false;
    }
    ++starts_;
    logPath_ = dir_.File("lapid-" + std::to_string(starts_) + ".log");
    serviceInode_ = 0;

    std::vector<std::string> args{LAPID_ITEST_BINARY, "--db", db_, "--control", control_};
    args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    const int logFd = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (logFd < 0) {
        error_ = "cannot create " + logPath_ + ": " + std::strerror(errno);
        return false;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        ::close(logFd);
        return false;
    }
    if (pid == 0) {
        // Child: only async-signal-safe calls until exec. The server dies with the
        // test process, so a crashed test leaves no server behind.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0) {
            ::dup2(devNull, 0);
        }
        ::dup2(logFd, 1);
        ::dup2(logFd, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(logFd);
    pid_ = pid;
    return true;
}

bool Lapid::Start() {
    if (!WaitServicePathFree(30000)) {
        error_ = std::string("the service path ") + kServicePath + " stays busy";
        return false;
    }
    if (!Spawn()) {
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    for (;;) {
        if (ReadFile(logPath_).find("lapid: ready") != std::string::npos) {
            break;
        }
        const int code = TryReap(pid_);
        if (code >= 0) {
            pid_ = -1;
            error_ = "lapid exited with " + std::to_string(code) + " before it was ready";
            return false;
        }
        if (Clock::now() >= deadline) {
            Kill9();
            error_ = "lapid not ready within 15 s";
            return false;
        }
        SleepMs(10);
    }
    struct stat st {};
    if (::lstat(kServicePath, &st) == 0 && S_ISSOCK(st.st_mode)) {
        serviceInode_ = st.st_ino;
    }
    return true;
}

int Lapid::Signal(int sig, int timeoutMs) {
    if (pid_ <= 0) {
        return -1;
    }
    ::kill(pid_, sig);
    return WaitExit(timeoutMs);
}

int Lapid::Stop(int timeoutMs) {
    return Signal(SIGTERM, timeoutMs);
}

int Lapid::Interrupt(int timeoutMs) {
    return Signal(SIGINT, timeoutMs);
}

int Lapid::WaitExit(int timeoutMs) {
    if (pid_ <= 0) {
        return -1;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int code = TryReap(pid_);
        if (code >= 0) {
            pid_ = -1;
            return code;
        }
        if (Clock::now() >= deadline) {
            Kill9();
            return -1;
        }
        SleepMs(10);
    }
}

bool Lapid::Alive() {
    if (pid_ <= 0) {
        return false;
    }
    if (TryReap(pid_) >= 0) {
        pid_ = -1;
        return false;
    }
    return true;
}

void Lapid::Kill9() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

void Lapid::RemoveOwnStaleSocket() {
    // Only the socket file that this server created, and only when nobody listens
    // on it any more (a killed server leaves it behind).
    struct stat st {};
    if (serviceInode_ == 0 || ::lstat(kServicePath, &st) != 0) {
        return;
    }
    if (S_ISSOCK(st.st_mode) && st.st_ino == serviceInode_ &&
        ConnectErrno(kServicePath) == ECONNREFUSED) {
        ::unlink(kServicePath);
    }
}

std::string Lapid::Log(size_t maxBytes) const {
    std::string text = ReadFile(logPath_);
    if (text.size() > maxBytes) {
        text = "...\n" + text.substr(text.size() - maxBytes);
    }
    return text;
}

// ---------------------------------------------------------------------------------

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

long RaiseFdLimit(long n) {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        return -1;
    }
    const auto want = static_cast<rlim_t>(n);
    if (rl.rlim_cur < want) {
        rl.rlim_cur = rl.rlim_max == RLIM_INFINITY || rl.rlim_max >= want ? want : rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
        ::getrlimit(RLIMIT_NOFILE, &rl);
    }
    return static_cast<long>(rl.rlim_cur);
}

}  // namespace lapid_itest
