#include "control.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "LAPI_SrvCli.h"

namespace lapictl {
namespace {

// A data line longer than this means the peer is not speaking the control protocol.
constexpr std::size_t kMaxLine = std::size_t{64} * 1024;

std::string ErrnoText(int err) {
    return LAPI_ErrnoText(err).c_str();
}

}  // namespace

ControlClient::~ControlClient() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int ControlClient::Connect(const std::string &path, std::string *error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        *error = "path too long";
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = ErrnoText(errno);
        return -1;
    }
    int rc = 0;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        *error = ErrnoText(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

bool ControlClient::Transact(std::string_view command, ControlReply *reply, std::string *error) {
    *reply = ControlReply{};
    std::string out(command);
    out += '\n';
    if (LAPI_WriteAll(fd_, out.data(), out.size(), LAPI_TO_SOCKET) != 0) {
        *error = "cannot send the command: " + ErrnoText(errno);
        return false;
    }
    std::string line;
    while (ReadLine(&line, error)) {
        if (line == "OK") {
            reply->ok = true;
            return true;
        }
        if (line == "ERR" || line.rfind("ERR ", 0) == 0) {
            reply->reason = line.size() > 4 ? line.substr(4) : std::string("(no reason given)");
            return true;
        }
        reply->lines.push_back(line);
    }
    return false;
}

bool ControlClient::ReadLine(std::string *line, std::string *error) {
    for (;;) {
        const std::size_t nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            *line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            if (!line->empty() && line->back() == '\r') {
                line->pop_back();
            }
            return true;
        }
        if (buffer_.size() > kMaxLine) {
            *error = "the server sent a line longer than 64 KiB";
            return false;
        }
        pollfd pfd{fd_, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, timeoutMs_);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            *error = "poll failed: " + ErrnoText(errno);
            return false;
        }
        if (ready == 0) {
            *error = "no answer within " + std::to_string(timeoutMs_ / 1000) + " s";
            return false;
        }
        char chunk[4096];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            *error = "read failed: " + ErrnoText(errno);
            return false;
        }
        if (n == 0) {
            *error = "the server closed the connection before the end of its answer";
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

}  // namespace lapictl
