#include "lapid.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#ifndef LAPITEST_LAPID
#error "LAPITEST_LAPID must name the lapid binary"
#endif

namespace lapitest {

Lapid::Lapid(std::vector<std::string> args, bool manualClock) {
    args_ = {LAPITEST_LAPID, "--db", DbPath(), "--control", ControlPath()};
    if (manualClock) {
        args_.emplace_back("--manual-clock");
    }
    args_.insert(args_.end(), args.begin(), args.end());
}

Lapid::~Lapid() {
    if (pid_ > 0) {
        Stop(SIGKILL);
    }
    if (logPipe_ >= 0) {
        ::close(logPipe_);
    }
}

void Lapid::Spawn() {
    const std::string log = dir_.File("lapid.log");
    std::vector<char *> argv;
    for (std::string &a : args_) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    // A restart must not find the previous run's "lapid: ready" in the log.
    ::unlink(log.c_str());
    int ends[2] = {-1, -1};
    if (pipeLog_) {
        ::close(logPipe_);
        ::pipe2(ends, O_CLOEXEC);
        piped_.clear();
    }
    // The environment is built before the fork; the child only writes its pid into it.
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    if (handed_ >= 0) {
        env.emplace_back("LISTEN_FDS=1");
        env.emplace_back("LISTEN_PID=0000000000");
    }
    std::vector<char *> envp;
    for (std::string &e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        const int fd = pipeLog_ ? ends[1] : ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        if (handed_ >= 0) {
            // dup2 clears close-on-exec on the copy, but does nothing when fd is already 3.
            handed_ == 3 ? ::fcntl(3, F_SETFD, 0) : ::dup2(handed_, 3);
            char *digits = env.back().data() + env.back().size();
            for (pid_t p = ::getpid(); p > 0; p /= 10) {
                *--digits = static_cast<char>('0' + p % 10);
            }
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (pipeLog_) {
        ::close(ends[1]);
        logPipe_ = ends[0];
        ::fcntl(logPipe_, F_SETFL, O_NONBLOCK);
    }
}

bool Lapid::Start() {
    Spawn();
    const bool ready = WaitUntil([&] {
        return Log().find("lapid: ready") != std::string::npos ||
               ::waitpid(pid_, nullptr, WNOHANG) != 0;
    });
    if (!ready || Log().find("lapid: ready") == std::string::npos) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return false;
    }
    return true;
}

int Lapid::WaitExit(std::chrono::milliseconds timeout) {
    int status = 0;
    if (pid_ <= 0 ||
        !WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout)) {
        return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Lapid::Stop(int sig, std::chrono::milliseconds timeout) {
    if (pid_ <= 0) {
        return -1;
    }
    ::kill(pid_, sig);
    const int rc = WaitExit(timeout);
    if (rc < 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    return rc;
}

std::string Lapid::Control(std::string_view line) const {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, ControlPath().c_str(), sizeof addr.sun_path - 1);
    std::string answer;
    const std::string cmd = std::string(line) + "\n";
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        WriteAll(fd, Bytes(cmd.begin(), cmd.end()))) {
        // The answer ends with its "OK" or "ERR ..." line.
        auto done = [&] {
            if (answer.empty() || answer.back() != '\n') {
                return false;
            }
            const std::size_t prev = answer.rfind('\n', answer.size() - 2);
            const std::string_view last =
                std::string_view(answer).substr(prev == std::string::npos ? 0 : prev + 1);
            return last == "OK\n" || last.substr(0, 3) == "ERR";
        };
        pollfd pfd{fd, POLLIN, 0};
        char buf[4096];
        while (!done()) {
            const ssize_t n = ::poll(&pfd, 1, 10000) == 1 ? ::recv(fd, buf, sizeof buf, 0) : -1;
            if (n <= 0) {
                answer.clear();
                break;
            }
            answer.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return answer;
}

int64_t Lapid::Advance(int64_t ms) const {
    const std::string a = Control("advance " + std::to_string(ms));
    return a.rfind("clock ", 0) == 0 ? std::stoll(a.substr(6)) : -1;
}

std::string Lapid::Log() const {
    if (pipeLog_) {
        char buf[65536];
        for (ssize_t n; (n = ::read(logPipe_, buf, sizeof buf)) > 0;) {
            piped_.append(buf, static_cast<std::size_t>(n));
        }
        return piped_;
    }
    const std::string path = dir_.File("lapid.log");
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char buf[65536];
    for (ssize_t n; fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0;) {
        text.append(buf, static_cast<std::size_t>(n));
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return text;
}

bool Lapid::WaitLog(std::string_view needle, std::chrono::milliseconds timeout) const {
    return WaitUntil([&] { return Log().find(needle) != std::string::npos; }, timeout);
}

}  // namespace lapitest
