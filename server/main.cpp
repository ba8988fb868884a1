// lapid: the location server. One thread: an epoll loop over the service socket
// "/tmp/lapisock", the control socket, a signalfd and the position source's
// descriptor; the position source is ticked from the loop's timers.
#include <lapi/lapi.h>
#include <grp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "domain/clock.h"
#include "domain/geodesy.h"
#include "domain/gps_db.h"
#include "domain/location_sessions.h"
#include "domain/mtlr.h"
#include "domain/proximity.h"
#include "domain/sources/simulator.h"
#include "domain/status.h"
#include "operator/control.h"
#include "protocol/log_batch.h"
#include "receiver/gpsd_source.h"
#include "service/engine.h"
#include "service/operator.h"
#include "transport/event_loop.h"
#include "transport/net_server.h"
#include "transport/unix_socket.h"
#include "LAPI_SrvCli.h"
#include "manual.h"

#ifndef LAPID_VERSION
#define LAPID_VERSION "0.0.0"
#endif

namespace {

struct Options {
    std::string db = "/var/lib/lapid/gpsdb.sqlite";
    std::string control = "/tmp/lapisock.ctl";
    std::string socketMode = "0660";
    std::string group;  // of the service socket; empty: lapid's own
    std::string position = "52.520008,13.404954,34";
    double ttffS = 3;
    std::string source = "simulator";
    std::string gpsdHost = "localhost";
    uint16_t gpsdPort = 2947;
    std::size_t maxBacklog = 262144;
    double registerTimeoutS = 5;
    std::size_t maxQueued = std::size_t{64} << 20;
    std::size_t maxConnsPerUid = 1024;
    bool manualClock = false;
    std::string trace = "all";
};

constexpr int kExitStartup = 1;
constexpr int kExitUsage = 2;

void Fail(const std::string &text) {
    std::fprintf(stderr, "lapid: %s\n", text.c_str());
}

std::optional<mode_t> ParseMode(const std::string &s) {
    unsigned v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 8);
    if (ec != std::errc() || end != s.data() + s.size() || v > 0777) {
        return std::nullopt;
    }
    return static_cast<mode_t>(v);
}

// LAT,LON[,ALT]; without a value, *error says what is wrong with the text.
std::optional<lapid::Waypoint> ParsePosition(const std::string &s, std::string *error) {
    *error = "expected LAT,LON[,ALT]: " + s;
    lapid::Waypoint w;
    double *fields[] = {&w.latitude, &w.longitude, &w.altitude};
    const char *p = s.data();
    const char *end = s.data() + s.size();
    std::size_t n = 0;
    while (n < 3) {
        const auto [next, ec] = std::from_chars(p, end, *fields[n]);
        if (ec != std::errc()) {
            return std::nullopt;
        }
        ++n;
        p = next;
        if (p == end) {
            break;
        }
        if (*p++ != ',') {
            return std::nullopt;
        }
    }
    if (n < 2 || p != end) {
        return std::nullopt;
    }
    if (!lapid::geo::IsValidPoint(w.latitude, w.longitude) || !std::isfinite(w.altitude)) {
        *error = std::fabs(w.latitude) > 90 ? "latitude out of range (-90 to 90): " + s
                                            : "not a finite position: " + s;
        return std::nullopt;
    }
    return w;
}

// Creates the directories that hold the database file when they are missing.
bool EnsureParentDir(const std::string &path) {
    const std::filesystem::path dir = std::filesystem::path(path).parent_path();
    std::error_code ec;
    if (!dir.empty() && !std::filesystem::create_directories(dir, ec) && ec) {
        Fail("cannot create " + dir.string() + ": " + ec.message());
        return false;
    }
    return true;
}

// SIGTERM, SIGINT, SIGQUIT and SIGHUP arrive on a descriptor that the loop watches.
int BlockTermSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGTERM, SIGINT, SIGQUIT, SIGHUP}) {
        sigaddset(&set, sig);
    }
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
        return -1;
    }
    return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

lapid::TraceLevel TraceLevelOf(const std::string &name) {
    return name == "none"     ? lapid::TraceLevel::kNone
           : name == "errors" ? lapid::TraceLevel::kErrors
                              : lapid::TraceLevel::kAll;
}

// The group id of `name` (a group name or a number), or nothing when there is no such
// group.
std::optional<gid_t> GroupId(const std::string &name) {
    gid_t gid = 0;
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), gid);
    if (ec == std::errc() && end == name.data() + name.size()) {
        return gid;
    }
    group entry{};
    group *found = nullptr;
    std::vector<char> buf(16384);
    if (getgrnam_r(name.c_str(), &entry, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    return found->gr_gid;
}

int Serve(const Options &o, mode_t socketMode, gid_t socketGroup, const lapid::Waypoint &start) {
    // First, before anything else takes a descriptor or the environment is passed on:
    // the service socket a service manager may have handed over.
    const lapid::Result<int> handed = lapid::ActivatedSocket(LAPI_SOCKET_PATH);
    if (!handed) {
        Fail(handed.ErrorText());
        return kExitStartup;
    }
    ::signal(SIGPIPE, SIG_IGN);
    const long fdLimit = lapid::RaiseFdLimit();
    const int sigFd = BlockTermSignals();
    if (sigFd < 0) {
        Fail(std::string("cannot set up signal handling: ") + LAPI_ErrnoText(errno).c_str());
        return kExitStartup;
    }
    LAPI_LogApMsgInit();

    if (!EnsureParentDir(o.db)) {
        return kExitStartup;
    }
    lapid::Result<std::unique_ptr<lapid::GpsDb>> opened = lapid::GpsDb::Open(o.db);
    if (!opened) {
        Fail(opened.ErrorText());
        return kExitStartup;
    }
    std::unique_ptr<lapid::GpsDb> db = std::move(*opened);

    // A manual clock starts at monotonic 0 and moves only by the control command
    // `advance`: tests step through time instead of sleeping.
    lapid::SystemClock systemClock;
    lapid::ManualClock manualClock;
    const lapid::Clock &clock =
        o.manualClock ? static_cast<const lapid::Clock &>(manualClock) : systemClock;
    lapid::SimulatorConfig simConfig;
    simConfig.route = {start};
    simConfig.speedMps = 0;
    simConfig.loop = false;
    simConfig.timeToFirstFixMs = static_cast<int64_t>(o.ttffS * 1000.0);
    lapid::Result<lapid::Simulator> simulator = lapid::Simulator::Create(clock, simConfig);
    if (!simulator) {
        Fail(simulator.ErrorText());
        return kExitStartup;
    }
    // With --source gpsd the simulator stays idle: nothing ticks it or reads it.
    std::unique_ptr<lapid::GpsdSource> gpsd;
    if (o.source == "gpsd") {
        lapid::Result<std::unique_ptr<lapid::GpsdSource>> made =
            lapid::GpsdSource::Create(clock, lapid::GpsdConfig{o.gpsdHost, o.gpsdPort});
        if (!made) {
            Fail(made.ErrorText());
            return kExitStartup;
        }
        gpsd = std::move(*made);
    }
    lapid::PositionSource &source = gpsd ? static_cast<lapid::PositionSource &>(*gpsd) : *simulator;
    lapid::LocationSessions sessions(clock);
    lapid::StatusModel status;
    lapid::MtlrNotifications mtlr(clock);
    lapid::ProximityListeners proximity;
    lapid::EngineLimits limits;
    limits.maxBacklog = o.maxBacklog;
    limits.registerTimeoutMs = static_cast<int64_t>(o.registerTimeoutS * 1000.0);
    limits.maxTotalBacklog = o.maxQueued;
    // One user never holds more than half the descriptors.
    limits.maxConnsPerUid = fdLimit > 0
                                ? std::min(o.maxConnsPerUid, static_cast<std::size_t>(fdLimit) / 2)
                                : o.maxConnsPerUid;
    lapid::Engine engine(clock, lapid::Domain{sessions, status, mtlr, proximity, *db, source},
                         limits, static_cast<int32_t>(getpid()));
    lapid::Operator op(engine, gpsd ? nullptr : &*simulator);
    lapid::ControlCommands commands(op);

    lapid::EventLoop loop(clock);
    if (o.manualClock) {
        op.SetClockControl(
            [&](int64_t ms) { return lapid::AdvanceManualClock(loop, manualClock, ms); });
    }
    lapid::NetServer net(loop, engine, commands);
    lapid::NetConfig netConfig;
    netConfig.servicePath = LAPI_SOCKET_PATH;
    netConfig.serviceMode = socketMode;
    netConfig.serviceGroup = socketGroup;
    netConfig.serviceFd = *handed;
    netConfig.controlPath = o.control;
    netConfig.maxControlBacklog = o.maxBacklog;
    if (!loop.Ok() || (source.Fd() >= 0 && !loop.Watch(source.Fd(), EPOLLIN, [&](uint32_t) {
            engine.OnSourceReadable();
        }))) {
        Fail(std::string("epoll: ") + LAPI_ErrnoText(errno).c_str());
        close(sigFd);
        return kExitStartup;
    }
    if (const lapid::Result<> started = net.Start(netConfig); !started) {
        Fail(started.ErrorText());
        close(sigFd);
        return kExitStartup;
    }
    loop.Watch(sigFd, EPOLLIN, [&](uint32_t) {
        signalfd_siginfo si{};
        if (read(sigFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
            lapid::LogBatch::Flush();
            // lapid has no configuration file to reload and logs to standard error, which
            // it does not own: SIGHUP (also sent when a terminal closes) only says so.
            if (si.ssi_signo == SIGHUP) {
                std::fprintf(stderr, "lapid: signal %u, nothing to reload, still running\n",
                             si.ssi_signo);
                return;
            }
            std::fprintf(stderr, "lapid: signal %u, shutting down\n", si.ssi_signo);
            loop.Stop();
        }
    });
    loop.AddTimer([&] { return engine.NextDeadlineMs(); }, [&] { engine.OnTime(); });
    // Trace lines are gathered and written once per loop iteration, without blocking:
    // what standard error does not take waits until its descriptor has room.
    lapid::LogBatch::Install(TraceLevelOf(o.trace));
    bool logWaits = false;
    loop.SetBeforeSleep([&] {
        net.Flush();
        const bool drained = lapid::LogBatch::Flush();
        const int logFd = lapid::LogBatch::Fd();
        if (logFd < 0 || drained != logWaits) {
            return;
        }
        if (drained) {
            loop.Unwatch(logFd);
            logWaits = false;
        } else {
            logWaits = loop.Watch(logFd, EPOLLOUT, [](uint32_t) { lapid::LogBatch::Flush(); });
        }
    });

    std::fprintf(stderr, "lapid: descriptor limit %ld, database %s, control socket %s%s%s\n",
                 fdLimit, o.db.c_str(), o.control.c_str(), o.manualClock ? ", manual clock" : "",
                 *handed >= 0 ? ", service socket from the service manager" : "");
    std::fprintf(stderr, "lapid: ready\n");
    loop.Run();

    net.Stop();
    close(sigFd);
    db.reset();
    // Until Uninstall(), lapid's own lines cannot block on standard error either.
    lapid::LogBatch::Flush();
    std::fprintf(stderr, "lapid: stopped\n");
    lapid::LogBatch::Uninstall();
    return 0;
}

int Run(int argc, char **argv) {
    Options o;
    CLI::App app{"lapid - the location server (service socket " LAPI_SOCKET_PATH ")"};
    app.set_version_flag("--version", "lapid " LAPID_VERSION);
    lapi::manpage::AddFlag(app, lapid::ManualPage({kExitStartup, kExitUsage, o.db, o.control}));
    app.add_option("--db", o.db, "GPS database file (SQLite)")->capture_default_str();
    app.add_option("--control", o.control, "control socket")->capture_default_str();
    app.add_option("--socket-mode", o.socketMode, "mode of the service socket (octal)")
        ->capture_default_str();
    app.add_option("--group", o.group,
                   "group of the service socket (name or number), so that applications in it "
                   "can connect with the default mode 0660");
    app.add_option("--position", o.position, "simulator start position LAT,LON[,ALT]")
        ->capture_default_str();
    app.add_option("--ttff", o.ttffS, "simulator time to first fix, seconds")
        ->check(CLI::Range(0.0, 3600.0))
        ->capture_default_str();
    app.add_option("--source", o.source, "position source: the built-in simulator, or gpsd")
        ->check(CLI::IsMember({"simulator", "gpsd"}))
        ->capture_default_str();
    app.add_option("--gpsd-host", o.gpsdHost, "host of the gpsd daemon (--source gpsd)")
        ->capture_default_str();
    app.add_option("--gpsd-port", o.gpsdPort, "TCP port of the gpsd daemon (--source gpsd)")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    app.add_option("--max-backlog", o.maxBacklog,
                   "unsent bytes per connection before the client is disconnected (>= 256)")
        ->check(CLI::Range(std::size_t{256}, std::size_t{1} << 30))
        ->capture_default_str();
    app.add_option("--max-queued", o.maxQueued,
                   "unsent bytes of all connections together; past it the client holding the "
                   "most is disconnected (>= 256)")
        ->check(CLI::Range(std::size_t{256}, std::size_t{1} << 40))
        ->capture_default_str();
    app.add_option("--max-conns-per-uid", o.maxConnsPerUid,
                   "open service connections of one user (at most half the descriptor limit); more "
                   "are closed at accept")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 24))
        ->capture_default_str();
    app.add_option("--register-timeout", o.registerTimeoutS, "seconds to complete a registration")
        ->check(CLI::Range(0.001, 3600.0))
        ->capture_default_str();
    app.add_option("--trace", o.trace,
                   "lines on standard error: every message traced (all), error lines only "
                   "(errors) or none")
        ->check(CLI::IsMember({"all", "errors", "none"}))
        ->capture_default_str();
    app.add_flag("--manual-clock", o.manualClock,
                 "start on a clock that moves only by the control command 'advance MS' (tests)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kExitUsage;
    }
    const std::optional<mode_t> mode = ParseMode(o.socketMode);
    if (!mode) {
        Fail("--socket-mode: not an octal mode 0 to 0777: " + o.socketMode);
        return kExitUsage;
    }
    const std::optional<gid_t> group =
        o.group.empty() ? std::optional<gid_t>(static_cast<gid_t>(-1)) : GroupId(o.group);
    if (!group) {
        Fail("--group: no such group: " + o.group);
        return kExitUsage;
    }
    std::string positionError;
    const std::optional<lapid::Waypoint> start = ParsePosition(o.position, &positionError);
    if (!start) {
        Fail("--position: " + positionError);
        return kExitUsage;
    }
    return Serve(o, *mode, *group, *start);
}

}  // namespace

int main(int argc, char **argv) {
    // The layers report failures as values; what can still throw is the standard library
    // (out of memory) and CLI11 while it sets up the command line.
    try {
        return Run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "lapid: %s\n", e.what());
        return kExitStartup;
    }
}
