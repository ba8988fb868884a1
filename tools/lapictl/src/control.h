// Client side of lapid's control socket: one command line out, then data lines up to
// a final "OK" or "ERR <reason>".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lapictl {

struct ControlReply {
    bool ok = false;                 // the final line was "OK"
    std::string reason;              // the text after "ERR " otherwise
    std::vector<std::string> lines;  // the data lines before the final one
};

class ControlClient {
  public:
    // Takes ownership of a connected stream socket. Each wait for the server is bounded
    // by timeoutMs.
    explicit ControlClient(int fd, int timeoutMs = 10000) : fd_(fd), timeoutMs_(timeoutMs) {}
    ~ControlClient();
    ControlClient(const ControlClient &) = delete;
    ControlClient &operator=(const ControlClient &) = delete;

    // Connects to the Unix stream socket at path: the descriptor, or -1 with *error set
    // ("No such file or directory", ...).
    static int Connect(const std::string &path, std::string *error);

    // Sends the command (a newline is added) and reads the reply. False when the
    // connection fails, closes or stays silent before the final line; *error says why.
    bool Transact(std::string_view command, ControlReply *reply, std::string *error);

  private:
    bool ReadLine(std::string *line, std::string *error);

    int fd_;
    int timeoutMs_;
    std::string buffer_;  // bytes received after the last complete line
};

}  // namespace lapictl
