// A client of lapid's control socket: one command line out, data lines and a final
// "OK" or "ERR <reason>" back. Every wait is bounded.
//
//     lapid_itest::ControlClient ctl(server.ControlPath());
//     ControlReply r = ctl.Command("status hwStatus 2");
//     EXPECT_TRUE(r.ok) << r.error;
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lapid_itest {

struct ControlReply {
    bool ok = false;                 // final line "OK"
    bool answered = false;           // a final line arrived at all
    std::vector<std::string> lines;  // data lines before the final line
    std::string error;               // the reason of "ERR <reason>", or what went wrong
};

class ControlClient {
  public:
    explicit ControlClient(std::string path);
    ~ControlClient();
    ControlClient(const ControlClient &) = delete;
    ControlClient &operator=(const ControlClient &) = delete;

    // Sends one command (without the "\n") and reads the reply; connects on first
    // use and again after a failure.
    ControlReply Command(const std::string &line, int timeoutMs = 5000);

  private:
    bool Connect(std::string *why);
    void Close();
    // Next line from the socket without its "\n"; nullopt on timeout or end of stream.
    std::optional<std::string> ReadLine(int timeoutMs, std::string *why);

    std::string path_;
    int fd_ = -1;
    std::string pending_;  // bytes read past the last line
};

// One line of the `clients` command.
struct ClientLine {
    int64_t globalId = -1;
    int64_t pid = -1;
    int64_t services = -1;
    int64_t sessions = -1;
    int64_t listeners = -1;
    int64_t pending = -1;
    bool async = false;
};
std::vector<ClientLine> ParseClients(const ControlReply &reply);
// The line of the client with this globalId, or of the first client of this pid.
std::optional<ClientLine> FindClientById(const std::vector<ClientLine> &all, int64_t globalId);
std::optional<ClientLine> FindClientByPid(const std::vector<ClientLine> &all, pid_t pid);

// The `counters` lines as name -> value.
std::map<std::string, int64_t> ParseCounters(const ControlReply &reply);

// The `mtlr` reply's request number; -1 when absent.
int64_t ParseRequestId(const ControlReply &reply);

// The word after "state=" and the number after "client=" of an `mtlr-result` reply.
struct MtlrResult {
    std::string state;
    int64_t client = -1;
};
std::optional<MtlrResult> ParseMtlrResult(const ControlReply &reply);

}  // namespace lapid_itest
