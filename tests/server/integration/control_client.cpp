#include "control_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>

namespace lapid_itest {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// "key=value" words of a line, values as integers where they are numbers.
std::map<std::string, std::string> KeyValues(const std::string &line) {
    std::map<std::string, std::string> kv;
    std::istringstream words(line);
    std::string w;
    while (words >> w) {
        const auto eq = w.find('=');
        if (eq != std::string::npos) {
            kv[w.substr(0, eq)] = w.substr(eq + 1);
        }
    }
    return kv;
}

int64_t ToInt(const std::map<std::string, std::string> &kv, const std::string &key) {
    const auto it = kv.find(key);
    if (it == kv.end()) {
        return -1;
    }
    try {
        return std::stoll(it->second);
    } catch (...) {
        return -1;
    }
}

}  // namespace

ControlClient::ControlClient(std::string path) : path_(std::move(path)) {}

ControlClient::~ControlClient() {
    Close();
}

void ControlClient::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    pending_.clear();
}

bool ControlClient::Connect(std::string *why) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        *why = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path) {
        *why = "control path too long: " + path_;
        Close();
        return false;
    }
    std::memcpy(addr.sun_path, path_.data(), path_.size());
    if (::connect(fd_, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        *why = "connect " + path_ + ": " + std::strerror(errno);
        Close();
        return false;
    }
    return true;
}

std::optional<std::string> ControlClient::ReadLine(int timeoutMs, std::string *why) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        pollfd pfd{fd_, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            *why = ready == 0 ? "no reply in time" : std::string("poll: ") + std::strerror(errno);
            return std::nullopt;
        }
        char buf[4096];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *why =
                n == 0 ? "control connection closed" : std::string("read: ") + std::strerror(errno);
            return std::nullopt;
        }
        pending_.append(buf, static_cast<size_t>(n));
    }
}

ControlReply ControlClient::Command(const std::string &line, int timeoutMs) {
    ControlReply reply;
    if (fd_ < 0 && !Connect(&reply.error)) {
        return reply;
    }
    const std::string out = line + "\n";
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::send(fd_, out.data() + done, out.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            reply.error = std::string("send: ") + std::strerror(errno);
            Close();
            return reply;
        }
        done += static_cast<size_t>(n);
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::optional<std::string> got = ReadLine(RemainingMs(deadline), &reply.error);
        if (!got) {
            Close();
            return reply;
        }
        if (*got == "OK") {
            reply.ok = true;
            reply.answered = true;
            return reply;
        }
        if (got->rfind("ERR", 0) == 0) {
            reply.answered = true;
            reply.error = got->size() > 4 ? got->substr(4) : std::string();
            return reply;
        }
        reply.lines.push_back(*got);
    }
}

// ---------------------------------------------------------------------------------

std::vector<ClientLine> ParseClients(const ControlReply &reply) {
    std::vector<ClientLine> out;
    for (const std::string &line : reply.lines) {
        if (line.rfind("client ", 0) != 0) {
            continue;
        }
        const auto kv = KeyValues(line);
        ClientLine c;
        c.globalId = ToInt(kv, "globalId");
        c.pid = ToInt(kv, "pid");
        c.services = ToInt(kv, "services");
        c.sessions = ToInt(kv, "sessions");
        c.listeners = ToInt(kv, "listeners");
        c.pending = ToInt(kv, "pending");
        const auto it = kv.find("async");
        c.async = it != kv.end() && it->second == "yes";
        out.push_back(c);
    }
    return out;
}

std::optional<ClientLine> FindClientById(const std::vector<ClientLine> &all, int64_t globalId) {
    for (const ClientLine &c : all) {
        if (c.globalId == globalId) {
            return c;
        }
    }
    return std::nullopt;
}

std::optional<ClientLine> FindClientByPid(const std::vector<ClientLine> &all, pid_t pid) {
    for (const ClientLine &c : all) {
        if (c.pid == pid) {
            return c;
        }
    }
    return std::nullopt;
}

std::map<std::string, int64_t> ParseCounters(const ControlReply &reply) {
    std::map<std::string, int64_t> out;
    for (const std::string &line : reply.lines) {
        std::istringstream words(line);
        std::string name;
        int64_t value = 0;
        if (words >> name >> value) {
            out[name] = value;
        }
    }
    return out;
}

int64_t ParseRequestId(const ControlReply &reply) {
    for (const std::string &line : reply.lines) {
        std::istringstream words(line);
        std::string tag;
        int64_t id = -1;
        if (words >> tag >> id && tag == "request") {
            return id;
        }
    }
    return -1;
}

std::optional<MtlrResult> ParseMtlrResult(const ControlReply &reply) {
    for (const std::string &line : reply.lines) {
        if (line.rfind("request ", 0) != 0) {
            continue;
        }
        const auto kv = KeyValues(line);
        const auto st = kv.find("state");
        if (st == kv.end()) {
            continue;
        }
        MtlrResult r;
        r.state = st->second;
        r.client = ToInt(kv, "client");
        return r;
    }
    return std::nullopt;
}

}  // namespace lapid_itest
