// lapid(8): signals, exit status, environment, files, examples and references.
#include "manual.h"

#include <lapi/lapi.h>

#ifndef LAPID_VERSION
#define LAPID_VERSION "0.0.0"
#endif

namespace lapid {

lapi::manpage::Page ManualPage(const ManualFacts &facts) {
    lapi::manpage::Page page;
    page.section = 8;
    page.source = "lapi " LAPID_VERSION;
    page.preface = {
        "lapid serves the applications of the client library liblapi on the Unix-domain "
        "socket " LAPI_SOCKET_PATH
        ", and operators and tests on its control socket. It runs in the foreground on one "
        "thread and logs on standard error: every message sent or received as a trace line, "
        "and one line for each failure.",
        "SIGTERM, SIGINT and SIGQUIT stop it cleanly, socket files removed; SIGHUP is logged "
        "and changes nothing.",
    };
    page.sections = {
        {"EXIT STATUS",
         {{"0", "Stopped by a signal after a clean shutdown, or --help or --version."},
          {std::to_string(facts.exitStartup),
           "Could not start: the database, a socket or the signal handling could not be set "
           "up (a line on standard error says which)."},
          {std::to_string(facts.exitUsage), "The command line is wrong."}}},
        {"ENVIRONMENT",
         {{"LISTEN_PID, LISTEN_FDS",
           "Socket activation: when LISTEN_PID is lapid's process id and LISTEN_FDS is 1, "
           "descriptor 3 is the service socket, a listening stream socket bound "
           "to " LAPI_SOCKET_PATH
           ". lapid removes both, and LISTEN_FDNAMES, from its environment."}}},
        {"FILES",
         {{LAPI_SOCKET_PATH,
           "The service socket: made at start (--socket-mode, --group) unless a service "
           "manager hands it over, removed at exit."},
          {facts.db, "The GPS database (SQLite), --db; missing directories are made."},
          {facts.control, "The control socket, --control."}}},
        {"EXAMPLES",
         {{"lapid --db /tmp/gpsdb.sqlite --trace errors",
           "A scratch database, and error lines only on standard error."},
          {"lapid --group lapi",
           "The members of group lapi may connect (service socket mode 0660)."}}},
    };
    page.seeAlso = {"lapictl(1)", "systemd.socket(5)", "systemd-sysusers(8)"};
    return page;
}

}  // namespace lapid
