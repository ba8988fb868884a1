#include "shell.h"

#include <editline/readline.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "LAPI_SrvCli.h"
#include "lapi/lapi.h"

namespace lapictl {
namespace {

constexpr const char *kPrompt = "lapictl> ";

struct Session {
    const LineRunner &run;
    Link link;
    int status = kExitOk;  // of the last command that failed
    bool end = false;
    bool stopped = false;  // Ctrl-C stopped the last command
};

// Blank lines and # comments do nothing; any other line is a command.
void RunLine(Session &s, std::string_view line) {
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos || line[first] == '#') {
        return;
    }
    const int rc = s.run(std::string(line), s.link);
    s.stopped = StopRequested();
    const bool terminated = s.stopped && StoppedStatus() != 128 + SIGINT;
    ClearStop();  // Ctrl-C stops the command, not the session (SIGTERM ends both)
    if (rc == kEndShell) {
        s.end = true;
    } else if (rc != kExitOk) {
        s.status = rc;
    }
    if (s.link.lost) {
        s.status = kExitFailure;
        s.end = true;
    } else if (terminated) {
        s.status = StoppedStatus();
        s.end = true;
    }
}

// Shows the message that the client's descriptor has for us.
void TakePushed(Session &s) {
    std::vector<uint8_t> msg;
    if (!ReadPushed(*s.link.client, &msg)) {
        s.link.lost = true;
        s.status = kExitFailure;
        s.end = true;
        return;
    }
    ShowPushed(s.link, msg);
    NotePushed(s.link, msg);
}

// Waits for the next thing to do: which of stdin, the client's descriptor and Ctrl-C
// are ready (poll's revents, in that order), waiting at most timeoutMs (-1: no limit).
std::optional<std::array<short, 3>> Ready(const Session &s, int timeoutMs) {
    for (;;) {
        pollfd fds[3] = {{STDIN_FILENO, POLLIN, 0},
                         {s.link.client->asyncFd(), POLLIN, 0},
                         {StopFd(), POLLIN, 0}};
        if (::poll(fds, 3, timeoutMs) >= 0) {
            return std::array<short, 3>{fds[0].revents, fds[1].revents, fds[2].revents};
        }
        if (errno != EINTR) {
            Complain(std::string("poll failed: ") + LAPI_ErrnoText(errno).c_str());
            return std::nullopt;
        }
    }
}

// Commands from a file or a pipe, one a line; the pushed messages that arrived in the
// meantime are shown before each one.
void RunScript(Session &s) {
    std::string input;
    bool endOfInput = false;
    while (!s.end) {
        const std::size_t nl = input.find('\n');
        if (nl != std::string::npos || (endOfInput && !input.empty())) {
            const std::string line = input.substr(0, nl);
            input.erase(0, nl == std::string::npos ? input.size() : nl + 1);
            for (auto ready = Ready(s, 0); !s.end && ready && (*ready)[1] != 0;
                 ready = Ready(s, 0)) {
                TakePushed(s);
            }
            if (!s.end) {
                RunLine(s, line);
            }
            continue;
        }
        if (endOfInput) {
            return;
        }
        const auto ready = Ready(s, -1);
        if (!ready) {
            s.status = kExitFailure;
            return;
        }
        if ((*ready)[2] != 0) {
            s.status = StoppedStatus();  // a signal between two commands ends the script
            return;
        }
        if ((*ready)[1] != 0) {
            TakePushed(s);
        }
        if ((*ready)[0] != 0) {
            endOfInput = !ReadStdin(input) || endOfInput;
        }
    }
}

// ---- On a terminal ---------------------------------------------------------------

// What libedit's line handler (a C callback) hands over.
std::optional<std::string> g_line;
bool g_endOfInput = false;

extern "C" void OnLine(char *line) {
    if (line == nullptr) {
        g_endOfInput = true;
        return;
    }
    g_line = line;
    std::free(line);  // libedit allocates it with malloc
}

void Write(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// Clears the prompt and the line being typed, all the rows it wraps over up to the
// cursor, and leaves the cursor at the start of the prompt's row.
void ClearTypedLine() {
    winsize ws{};
    const std::size_t cols =
        ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
    const std::size_t rowsUp =
        (std::strlen(kPrompt) + static_cast<std::size_t>(std::max(rl_point, 0))) / cols;
    Write((rowsUp > 0 ? "\033[" + std::to_string(rowsUp) + "A" : std::string()) + "\r\033[J");
}

std::string HistoryPath() {
    const char *home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe): one thread here
    return home != nullptr && *home != '\0' ? std::string(home) + "/.lapictl_history"
                                            : std::string();
}

// libedit in its callback mode: a line is read a character at a time while the same
// poll watches the client's descriptor and Ctrl-C. Each line runs with the terminal in
// its normal mode; the prompt is installed afresh after it.
void RunTerminal(Session &s) {
    rl_catch_signals = 0;  // Ctrl-C is the session's (CatchStopSignals)
    rl_readline_name = "lapictl";
    const std::string history = HistoryPath();
    using_history();
    stifle_history(1000);
    if (!history.empty()) {
        read_history(history.c_str());
    }
    rl_callback_handler_install(kPrompt, OnLine);
    while (!s.end) {
        const auto ready = Ready(s, -1);
        if (!ready) {
            s.status = kExitFailure;
            break;
        }
        if ((*ready)[2] != 0 && StoppedStatus() != 128 + SIGINT) {
            s.status = StoppedStatus();  // SIGTERM ends the session
            break;
        }
        if ((*ready)[2] != 0) {  // Ctrl-C at the prompt: a new, empty line
            ClearStop();
            rl_callback_handler_remove();
            Write("\n");
            rl_callback_handler_install(kPrompt, OnLine);
        }
        if ((*ready)[1] != 0) {  // above the line being typed, which is then shown again
            ClearTypedLine();
            TakePushed(s);
            rl_forced_update_display();
        }
        if ((*ready)[0] != 0) {
            rl_callback_read_char();
            if (g_endOfInput) {
                Write("\n");
                break;
            }
            if (g_line) {
                const std::string line = std::move(*g_line);
                g_line.reset();
                rl_callback_handler_remove();
                if (line.find_first_not_of(" \t") != std::string::npos) {
                    add_history(line.c_str());
                }
                RunLine(s, line);
                if (s.stopped) {
                    Write("\n");  // after the ^C that the terminal shows
                }
                if (!s.end) {
                    rl_callback_handler_install(kPrompt, OnLine);
                }
            }
        }
    }
    rl_callback_handler_remove();
    if (!history.empty()) {
        write_history(history.c_str());
    }
}

}  // namespace

int RunShell(const GlobalOptions &global, const LineRunner &run) {
    const auto client = Client::Register(LAPI_SERVICE_MASK);
    if (!client) {
        return kExitFailure;
    }
    Session s{run, {}};
    s.link.client = client.get();
    s.link.global = global;
    // The status values that the status changes shown are told against.
    LAPI_GET_STATUS_REQ_S req{};
    std::array<uint8_t, LAPI_ASYNC_MSG_BUF_LEN> rsp{};
    if (LAPI_GetStatus(client->id(), LAPI_BLOCK, &req, rsp.data()) == 0) {
        NotePushed(s.link, Bytes(rsp.data(), sizeof(LAPI_MSG_HEADER_S) + HeaderOf(rsp).msgLen));
    }
    // After the blocking calls above, which a signal cannot interrupt.
    CatchStopSignals(true);
    if (::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1) {
        RunTerminal(s);
    } else {
        RunScript(s);
    }
    // Unregistering releases the client's sessions and listeners as well; ending them
    // first is what a well-behaved client does.
    if (!s.link.lost && !s.link.periodic.empty()) {
        LAPI_AbortAllLocationRequest(client->id());
    }
    if (!s.link.lost && s.link.listeners > 0) {
        LAPI_REMOVE_PROXIMITY_REQ_S remove{};  // removeType 0: every listener
        LAPI_RemoveProximityListener(client->id(), LAPI_NONBLOCK, &remove, nullptr);
    }
    return s.status;
}

int RunWait(Link &link, const WaitOptions &opts) {
    const auto shown = [&] {
        int n = 0;
        for (const auto &[msgId, count] : link.shown) {
            n += opts.message.empty() || MessageName(msgId) == opts.message ? count : 0;
        }
        return n;
    };
    const Deadline deadline =
        opts.timeout > 0
            ? Deadline(Clock::now() +
                       std::chrono::milliseconds(static_cast<int64_t>(opts.timeout * 1000)))
            : std::nullopt;
    const std::string what = opts.message.empty() ? "pushed messages" : opts.message;
    std::vector<uint8_t> msg;
    int rc = kExitOk;
    while (opts.count == 0 || shown() < opts.count) {
        const WaitResult wait = NextMessage(*link.client, &msg, deadline, what);
        if (wait == WaitResult::kStopped) {
            rc = StoppedStatus();
            break;
        }
        if (wait == WaitResult::kTimedOut) {
            rc = opts.count > 0 ? GaveUp(opts.timeout, what) : kExitOk;
            break;
        }
        if (wait == WaitResult::kFailed) {
            link.lost = true;
            rc = kExitFailure;
            break;
        }
        ShowPushed(link, msg);
        NotePushed(link, msg);
    }
    link.shown.clear();
    return rc;
}

int RunAbort(const GlobalOptions &global, Link &link) {
    if (LAPI_AbortAllLocationRequest(link.client->id()) != 0) {
        Complain("the abort failed: the connection to the location server was lost");
        return kExitFailure;
    }
    link.periodic.clear();
    PrintLine(global.json ? JsonObject().Str("msg", "abortAllLocationReq").Done()
                          : "location sessions aborted");
    return kExitOk;
}

}  // namespace lapictl
