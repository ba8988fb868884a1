// `lapictl shell`: one client, registered for every service, for a whole session of
// commands. Each line is a lapictl command (the same words as on the command line,
// without "lapictl"), run against the session's client, so that listeners, periodic
// sessions and MT-LR notifications live from one command to the next. The messages
// pushed to the client that no command takes are shown as they arrive.
//
// On a terminal the line is edited with libedit (history in ~/.lapictl_history when
// HOME is set) and a pushed message is shown above the line being typed. Otherwise the
// lines of standard input run one after the other, with nothing echoed; blank lines and
// lines starting with # are skipped. Ctrl-C stops the running command (whose status is
// then 130) and at the prompt clears the line; between the commands of a script it ends
// the session, and so does SIGTERM at any time. Ctrl-D, the end of the input, `quit` and
// `exit` end the session: the periodic sessions are aborted, the listeners removed and
// the client unregistered. The exit status is that of the last command that failed (0
// when none did), or 1 when the connection to the location server was lost.
#pragma once

#include <functional>
#include <string>

#include "commands.h"

namespace lapictl {

// What a line runner returns for `quit` and `exit`.
inline constexpr int kEndShell = -1;

// Runs one command line against the session's link: its exit status, or kEndShell.
using LineRunner = std::function<int(const std::string &line, Link &link)>;

int RunShell(const GlobalOptions &global, const LineRunner &run);

// `wait [MESSAGE] [--count N] [--timeout S]`: shows the pushed messages until N of them
// (of that name, "proximityHitInd" for instance) have been shown since the last `wait`,
// counting those shown before it began. A timeout with N unreached fails; with N 0 it
// only ends the wait.
struct WaitOptions {
    std::string message;  // a message name; empty: any
    int count = 1;
    double timeout = 0;  // seconds; 0: none
};
int RunWait(Link &link, const WaitOptions &opts);

// `abort`: ends every location session of the shell's client (the background watches).
int RunAbort(const GlobalOptions &global, Link &link);

}  // namespace lapictl
