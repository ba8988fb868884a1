// lapictl(1): exit status, files, examples and references, from lapictl's own constants.
#include "manual.h"

#include <lapi/lapi.h>
#include <signal.h>

#include <string>

#include "commands.h"
#include "session.h"

#ifndef LAPICTL_VERSION
#define LAPICTL_VERSION "unknown"
#endif

namespace lapictl {

lapi::manpage::Page ManualPage() {
    // A command stopped by a signal ends with 128 + its number (StoppedStatus()).
    constexpr int kExitCtrlC = 128 + SIGINT;
    constexpr int kExitTerm = 128 + SIGTERM;
    lapi::manpage::Page page;
    page.section = 1;
    page.source = "lapi " LAPICTL_VERSION;
    page.sections = {
        {"EXIT STATUS",
         {{std::to_string(kExitOk), "Success."},
          {std::to_string(kExitFailure),
           "Failure, with one line on standard error that says why: the server cannot be "
           "reached, refused the request, answered with a timeout or an invalid request, or "
           "the awaited messages did not arrive within --max-wait."},
          {std::to_string(kExitUsage), "The command line is wrong."},
          {std::to_string(kExitCtrlC),
           "A command that waits (watch, status --follow, proximity add --wait, mtlr) was "
           "stopped by Ctrl-C (SIGINT); " +
               std::to_string(kExitTerm) + " when SIGTERM stopped it."}}},
        {"SHELL",
         {{"",
           "lapictl shell registers one client for every service and runs each line typed "
           "(or read from standard input) as a lapictl command on it, so that listeners, "
           "periodic sessions and MT-LR notifications last from one command to the next. "
           "Messages pushed to the client are shown as they arrive, above the line being "
           "typed. Ctrl-C stops the running command; Ctrl-D, the end of the input, quit "
           "and exit end the session and unregister the client."},
          {"watch --background", "Periodic reports in the background until abort."},
          {"mtlr accept|deny", "Answers every MT-LR notification that waits for one."},
          {"wait [MESSAGE] [--count N] [--timeout S]",
           "Shows pushed messages until N (of that name) have come since the last wait."},
          {"abort", "Ends the periodic sessions in the background."},
          {"help", "Lists the commands."},
          {"~/.lapictl_history", "The shell's line history, kept when HOME is set."}}},
        {"FILES",
         {{LAPI_SOCKET_PATH,
           "The location server's service socket, reached through the client "
           "library."},
          {AdminOptions{}.controlPath,
           "lapid's control socket, used by the admin commands (admin --control)."},
          {"~/.lapictl_history", "The shell's line history, kept when HOME is set."}}},
        {"EXAMPLES",
         {{"lapictl locate --timeout 10 --accuracy 20",
           "One position fix, at most 10 seconds away, 20 metres or better."},
          {"lapictl --json watch --interval 1 --count 5",
           "Five periodic reports, one JSON object per line."},
          {"lapictl proximity add 52.5163 13.3777 150 --wait --count 1",
           "Waits until the position comes within 150 metres of the point."},
          {"lapictl admin position 52.52 13.405",
           "Moves lapid's simulated position (control socket)."}}},
    };
    page.seeAlso = {"lapid(8)"};
    return page;
}

}  // namespace lapictl
