// lapictl: a command-line client of the location server, one subcommand per
// capability of the client library, plus `admin` for lapid's control socket.

#include <CLI/CLI.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "codes.h"
#include "commands.h"
#include "parse.h"
#include "session.h"

#ifndef LAPICTL_VERSION
#define LAPICTL_VERSION "unknown"
#endif

namespace {

using lapictl::kExitUsage;

CLI::Validator FileIdCheck() {
    return CLI::Validator(
        [](std::string &text) {
            return lapictl::ParseFileId(text) ? std::string()
                                              : "file id must be a number from 0 to 4294967295 "
                                                "(decimal or 0x hex): " +
                                                    text;
        },
        "FILEID");
}

CLI::Validator DbEntryCheck() {
    return CLI::Validator(
        [](std::string &text) {
            std::string error;
            return lapictl::ParseDbEntry(text, &error) ? std::string() : text + ": " + error;
        },
        "FILEID=HEX");
}

CLI::Validator NumberCheck() {
    return CLI::Validator(
        [](std::string &text) {
            return lapictl::ParseNumber(text) ? std::string() : "not a number: " + text;
        },
        "NUMBER");
}

// LAT,LON[,ALT] of a route, or the word "once" (checked for its place afterwards).
CLI::Validator WaypointCheck() {
    return CLI::Validator(
        [](std::string &text) {
            return text == "once" || lapictl::IsWaypoint(text)
                       ? std::string()
                       : "a waypoint is LAT,LON[,ALT]: " + text;
        },
        "LAT,LON[,ALT]");
}

CLI::Validator MtlrOptionCheck() {
    return CLI::Validator(
        [](std::string &text) {
            static const char *const kKeys[] = {
                "locationType=", "dcs=", "name=", "addr=", "timeout="};
            for (const char *key : kKeys) {
                if (text.rfind(key, 0) == 0) {
                    return std::string();
                }
            }
            return "expected locationType=N, dcs=N, name=TEXT, addr=TEXT or timeout=SECONDS: " +
                   text;
        },
        "KEY=VALUE");
}

// One `admin` subcommand. The command line sent is its name, then the leading
// single-word arguments (`fixed`), then the remaining ones (`args`).
struct AdminCommand {
    CLI::App *app = nullptr;
    std::string name;
    std::array<std::string, 2> fixed;
    std::size_t fixedCount = 0;
    std::vector<std::string> args;

    std::vector<std::string> Words() const {
        std::vector<std::string> words{name};
        words.insert(words.end(), fixed.begin(),
                     fixed.begin() + static_cast<std::ptrdiff_t>(fixedCount));
        words.insert(words.end(), args.begin(), args.end());
        return words;
    }
};

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"lapictl: talk to the location server (lapid) through the client library."};
    app.set_version_flag("--version", "lapictl " LAPICTL_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(
        "Human output by default; --json prints one JSON object per message.\n"
        "Exit codes: 0 success, 1 failure (including a refusal or timeout from the server), "
        "2 usage.\n"
        "Examples:\n"
        "  lapictl locate --timeout 10\n"
        "  lapictl distance 40.6 -73.8 51.6 -0.5\n"
        "  lapictl admin position 52.52 13.405");

    lapictl::GlobalOptions global;
    bool trace = false;
    std::string logPath;
    app.add_flag("--json", global.json, "One JSON object per line instead of text");
    app.add_flag("--trace", trace, "Show the library's message trace on stderr");
    app.add_option("--log", logPath, "Append the library's message trace to FILE")
        ->type_name("FILE");
    app.add_option("--max-wait", global.maxWait,
                   "Give up (exit 1) when the awaited messages have not arrived after SECONDS")
        ->type_name("SECONDS")
        ->check(CLI::NonNegativeNumber);

    // locate
    lapictl::LocateOptions locate;
    auto *locateCmd = app.add_subcommand("locate", "Get a single position fix");
    locateCmd->add_option("--timeout", locate.timeout, "Response time in seconds")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    locateCmd
        ->add_option("--accuracy", locate.accuracy, "Wanted horizontal accuracy in metres (0: any)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    locateCmd->add_flag("--nonblock", locate.nonblock,
                        "Send the request without blocking and wait on the async descriptor");

    // last
    auto *lastCmd = app.add_subcommand("last", "Get the last known position");

    // watch
    lapictl::WatchOptions watch;
    auto *watchCmd = app.add_subcommand("watch", "Periodic position reports (Ctrl-C stops)");
    watchCmd->add_option("--interval", watch.interval, "Seconds between reports")
        ->capture_default_str()
        ->check(CLI::Range(1, 86400));
    watchCmd->add_option("--count", watch.count, "Stop after N reports (0: until Ctrl-C)")
        ->check(CLI::NonNegativeNumber);
    watchCmd
        ->add_option("--accuracy", watch.accuracy, "Wanted horizontal accuracy in metres (0: any)")
        ->check(CLI::NonNegativeNumber);

    // status
    lapictl::StatusOptions status;
    auto *statusCmd = app.add_subcommand("status", "Show the location server's status");
    statusCmd->add_flag("--follow", status.follow, "Then print each status change");
    statusCmd->add_option("--count", status.count, "With --follow: stop after N changes")
        ->check(CLI::NonNegativeNumber);

    // db get / db set
    auto *dbCmd = app.add_subcommand("db", "Read or write GPS database entries");
    dbCmd->require_subcommand(1);
    std::string dbFileId;
    auto *dbGetCmd = dbCmd->add_subcommand("get", "Read one GPS database file");
    dbGetCmd->add_option("FILEID", dbFileId, "File id (decimal or 0x hex)")
        ->required()
        ->check(FileIdCheck());
    std::vector<std::string> dbEntries;
    auto *dbSetCmd = dbCmd->add_subcommand("set", "Write 1 to 22 GPS database entries");
    dbSetCmd->add_option("ENTRY", dbEntries, "FILEID=HEX, 1 to 4 data bytes each")
        ->required()
        ->expected(1, 22)
        ->check(DbEntryCheck());

    // distance
    lapictl::DistanceOptions distance;
    auto *distanceCmd =
        app.add_subcommand("distance", "Distance and azimuth from point 1 to point 2");
    distanceCmd->add_option("LAT1", distance.latitude1, "Degrees")->required();
    distanceCmd->add_option("LON1", distance.longitude1, "Degrees")->required();
    distanceCmd->add_option("LAT2", distance.latitude2, "Degrees")->required();
    distanceCmd->add_option("LON2", distance.longitude2, "Degrees")->required();
    distanceCmd->add_flag("--distance-only", distance.distanceOnly, "Ask for the distance only");

    // proximity add / remove
    auto *proximityCmd = app.add_subcommand("proximity", "Proximity listeners");
    proximityCmd->require_subcommand(1);
    lapictl::ProximityAddOptions proximity;
    auto *proxAddCmd = proximityCmd->add_subcommand("add", "Add a listener (a circle)");
    proxAddCmd->add_option("LAT", proximity.latitude, "Degrees")->required();
    proxAddCmd->add_option("LON", proximity.longitude, "Degrees")->required();
    proxAddCmd->add_option("RADIUS", proximity.radius, "Metres")->required();
    proxAddCmd->add_option("--altitude", proximity.altitude, "Metres");
    proxAddCmd->add_flag("--wait", proximity.wait, "Then print each hit (Ctrl-C stops)");
    proxAddCmd->add_option("--count", proximity.count, "With --wait: stop after N hits")
        ->check(CLI::NonNegativeNumber);
    int32_t removeType = 0;
    auto *proxRemoveCmd = proximityCmd->add_subcommand("remove", "Remove listeners");
    proxRemoveCmd
        ->add_option("REMOVETYPE", removeType, "0: every listener; k > 0: the k-th one added")
        ->capture_default_str();

    // mtlr
    lapictl::MtlrOptions mtlr;
    auto *mtlrCmd = app.add_subcommand(
        "mtlr", "Listen for network-initiated location requests and answer them");
    mtlrCmd
        ->add_option("--answer", mtlr.answer,
                     "Answer every request that asks; without it lapictl asks on the "
                     "terminal")
        ->check(CLI::IsMember({"accept", "deny"}));
    mtlrCmd->add_option("--count", mtlr.count, "Stop after N settled requests")
        ->check(CLI::NonNegativeNumber);

    // admin
    lapictl::AdminOptions admin;
    auto *adminCmd = app.add_subcommand("admin", "Commands for lapid's control socket");
    adminCmd->require_subcommand(1);
    adminCmd->fallthrough();
    adminCmd->add_option("--control", admin.controlPath, "Control socket")
        ->capture_default_str()
        ->type_name("PATH");

    std::deque<AdminCommand> adminCommands;  // a deque keeps the bound members in place
    auto addAdmin = [&](const std::string &name, const std::string &help) -> AdminCommand & {
        AdminCommand &cmd = adminCommands.emplace_back();
        cmd.name = name;
        cmd.app = adminCmd->add_subcommand(name, help);
        return cmd;
    };
    {
        auto &cmd = addAdmin("position", "Fixed simulated position: LAT LON [ALT [ACCURACY]]");
        cmd.app->add_option("LAT LON [ALT [ACCURACY]]", cmd.args)
            ->required()
            ->expected(2, 4)
            ->check(NumberCheck());
    }
    {
        auto &cmd = addAdmin("route", "Follow waypoints: SPEED LAT,LON[,ALT]... [once]");
        cmd.fixedCount = 1;
        cmd.app->add_option("SPEED", cmd.fixed[0], "Metres per second")
            ->required()
            ->check(NumberCheck());
        cmd.app->add_option("WAYPOINT", cmd.args, "LAT,LON[,ALT], then optionally 'once'")
            ->required()
            ->check(WaypointCheck());
    }
    {
        auto &cmd = addAdmin("fix", "Force fixes on or off");
        cmd.app->add_option("on|off", cmd.args)
            ->required()
            ->expected(1)
            ->check(CLI::IsMember({"on", "off"}));
    }
    {
        std::vector<std::string> statusNames;  // the fields of getStatusRsp
        statusNames.reserve(lapictl::kStatusFieldCount);
        for (int i = 0; i < lapictl::kStatusFieldCount; ++i) {
            statusNames.emplace_back(
                lapictl::StatusFieldName(static_cast<lapictl::StatusField>(i)));
        }
        auto &cmd = addAdmin("status", "Set a status value: NAME VALUE");
        cmd.fixedCount = 2;
        cmd.app->add_option("NAME", cmd.fixed[0], "Status field")
            ->required()
            ->check(CLI::IsMember(statusNames));
        cmd.app->add_option("VALUE", cmd.fixed[1], "New value")->required()->check(NumberCheck());
    }
    {
        auto &cmd = addAdmin("mtlr", "Inject an MT-LR request: TYPE [key=value...]");
        cmd.fixedCount = 1;
        cmd.app->add_option("TYPE", cmd.fixed[0], "Notification type (0 to 3)")
            ->required()
            ->check(NumberCheck());
        cmd.app
            ->add_option("OPTION", cmd.args,
                         "locationType=N dcs=N name=TEXT addr=TEXT timeout=SECONDS")
            ->check(MtlrOptionCheck());
    }
    {
        auto &cmd = addAdmin("mtlr-result", "Outcome of an injected MT-LR request: ID");
        cmd.app->add_option("ID", cmd.args, "Request number")
            ->required()
            ->expected(1)
            ->check(CLI::NonNegativeNumber);
    }
    addAdmin("clients", "List the registered clients");
    addAdmin("counters", "Show the server's counters");
    addAdmin("help", "List the control commands");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? lapictl::kExitOk : kExitUsage;
    }

    // From here on descriptor 2 belongs to the library's trace.
    if (!lapictl::SetUpDiagnostics(trace, logPath)) {
        return lapictl::kExitFailure;
    }

    if (*locateCmd) {
        return lapictl::RunLocate(global, locate);
    }
    if (*lastCmd) {
        return lapictl::RunLast(global);
    }
    if (*watchCmd) {
        return lapictl::RunWatch(global, watch);
    }
    if (*statusCmd) {
        if (status.count > 0 && !status.follow) {
            lapictl::Complain("--count needs --follow");
            return kExitUsage;
        }
        return lapictl::RunStatus(global, status);
    }
    if (*dbGetCmd) {
        return lapictl::RunDbGet(global, *lapictl::ParseFileId(dbFileId));
    }
    if (*dbSetCmd) {
        std::vector<lapictl::DbEntry> entries;
        for (const std::string &text : dbEntries) {
            std::string error;
            entries.push_back(*lapictl::ParseDbEntry(text, &error));
        }
        return lapictl::RunDbSet(global, entries);
    }
    if (*distanceCmd) {
        return lapictl::RunDistance(global, distance);
    }
    if (*proxAddCmd) {
        if (proximity.count > 0 && !proximity.wait) {
            lapictl::Complain("--count needs --wait");
            return kExitUsage;
        }
        return lapictl::RunProximityAdd(global, proximity);
    }
    if (*proxRemoveCmd) {
        return lapictl::RunProximityRemove(global, removeType);
    }
    if (*mtlrCmd) {
        return lapictl::RunMtlr(global, mtlr);
    }
    for (const AdminCommand &cmd : adminCommands) {
        if (*cmd.app) {
            admin.words = cmd.Words();
            if (admin.words.front() == "route") {
                // "once" may only end the route.
                for (std::size_t i = 2; i + 1 < admin.words.size(); ++i) {
                    if (admin.words[i] == "once") {
                        lapictl::Complain("'once' must come after the last waypoint");
                        return kExitUsage;
                    }
                }
                if (admin.words.back() == "once" && admin.words.size() < 4) {
                    lapictl::Complain("a route needs at least one waypoint");
                    return kExitUsage;
                }
            }
            return lapictl::RunAdmin(global, admin);
        }
    }
    return kExitUsage;
}
