// lapictl: a command-line client of the location server, one subcommand per
// capability of the client library, plus `admin` for lapid's control socket.

#include <CLI/CLI.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codes.h"
#include "commands.h"
#include "manual.h"
#include "parse.h"
#include "session.h"
#include "shell.h"

#ifndef LAPICTL_VERSION
#define LAPICTL_VERSION "unknown"
#endif

namespace {

using lapictl::kExitUsage;

constexpr int64_t kMaxCount = 1000000000;  // --count: reports, changes, hits or requests

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

// A number from lo to hi ("from 1 up" without an upper bound), whole unless `whole` is
// false; the help and the error say so in those words.
CLI::Validator Between(int64_t lo, int64_t hi, bool whole = true) {
    const std::string range = std::to_string(lo) + (hi == std::numeric_limits<int64_t>::max()
                                                        ? std::string(" up")
                                                        : " to " + std::to_string(hi));
    return CLI::Validator(
        [lo, hi, whole, range](std::string &text) {
            const std::size_t first = text.rfind('-', 0) == 0 ? 1 : 0;
            const bool digits = text.size() > first &&
                                text.find_first_not_of("0123456789", first) == std::string::npos;
            const std::optional<double> v = lapictl::ParseNumber(text);
            return v && (digits || !whole) && *v >= static_cast<double>(lo) &&
                           *v <= static_cast<double>(hi)
                       ? std::string()
                       : std::string(whole ? "expected a whole number from "
                                           : "expected a number from ") +
                             range + ": " + text;
        },
        range);
}

// Where CLI11 shows a positional that takes 1 to 22 values as "ENTRY(1x)", this says
// "ENTRY (1 to 22 values)".
class CountingFormatter : public CLI::Formatter {
  public:
    std::string make_option_usage(const CLI::Option *opt) const override {
        if (!TakesRange(opt)) {
            return CLI::Formatter::make_option_usage(opt);
        }
        const std::string usage = opt->get_name(true, false) + " (" + Count(opt) + ")";
        return opt->get_required() ? usage : "[" + usage + "]";
    }
    std::string make_option_opts(const CLI::Option *opt) const override {
        if (!TakesRange(opt)) {
            return CLI::Formatter::make_option_opts(opt);
        }
        const std::string opts = " " + get_label(opt->get_type_name()) + " (" + Count(opt) + ")";
        return opt->get_required() ? opts + " " + get_label("REQUIRED") : opts;
    }

  private:
    static bool TakesRange(const CLI::Option *opt) {
        return opt->get_expected_min() != opt->get_expected_max() &&
               opt->get_expected_max() < CLI::detail::expected_max_vector_size;
    }
    static std::string Count(const CLI::Option *opt) {
        return std::to_string(opt->get_expected_min()) + " to " +
               std::to_string(opt->get_expected_max()) + " values";
    }
};

// The examples at the end of each subcommand's help (instead of the top level's).
constexpr std::pair<const char *, const char *> kExamples[] = {
    {"locate", "lapictl locate --timeout 10 --accuracy 20\n  lapictl --json locate --nonblock"},
    {"last", "lapictl last\n  lapictl --json last"},
    {"watch",
     "lapictl watch --interval 5 --count 10\n"
     "  lapictl watch --gpx walk.gpx --geojson walk.geojson"},
    {"status", "lapictl status\n  lapictl status --follow --count 3"},
    {"db", "lapictl db get 7\n  lapictl db set 7=cafe 0x10=01020304"},
    {"db get", "lapictl db get 7\n  lapictl --json db get 0x10"},
    {"db set", "lapictl db set 7=cafe\n  lapictl db set 7=cafe 0x10=01020304"},
    {"distance",
     "lapictl distance 40.6 -73.8 51.6 -0.5\n"
     "  lapictl distance --distance-only 40.6 -73.8 51.6 -0.5"},
    {"proximity",
     "lapictl proximity add 52.5163 13.3777 150 --wait\n"
     "  printf 'proximity add 52.5 13.4 150\\nwait\\nproximity remove\\n' | lapictl shell"},
    {"proximity add",
     "lapictl proximity add 52.5163 13.3777 150 --wait --count 1\n"
     "  lapictl shell, then: proximity add 52.5163 13.3777 150"},
    {"proximity remove", "lapictl shell, then: proximity remove 2"},
    {"mtlr",
     "lapictl mtlr\n  lapictl mtlr --answer deny --count 1\n  echo y | lapictl mtlr --count 1"},
    {"admin",
     "lapictl admin position 52.52 13.405\n  lapictl admin --control /run/lapid/ctl clients"},
    {"admin position",
     "lapictl admin position 52.52 13.405\n  lapictl admin position 52.52 13.405 34 5"},
    {"admin route", "lapictl admin route 10 52.52,13.40 52.53,13.41,40 once"},
    {"admin fix", "lapictl admin fix off"},
    {"admin status", "lapictl admin status emergencyStatus 1"},
    {"admin mtlr",
     "lapictl admin mtlr 1 name=Alice addr=tel:+4930123\n  lapictl admin mtlr 2 timeout=10"},
    {"admin mtlr-result", "lapictl admin mtlr-result 1"},
    {"admin clients", "lapictl admin clients\n  lapictl --json admin clients"},
    {"admin counters", "lapictl admin counters"},
    {"admin source", "lapictl admin source\n  lapictl --json admin source"},
    {"admin help", "lapictl admin help"},
};

// The help texts of every subcommand: the formatter above, and their own examples.
void FinishHelp(CLI::App &app) {
    const auto formatter = std::make_shared<CountingFormatter>();
    std::vector<CLI::App *> apps{&app};
    for (std::size_t i = 0; i < apps.size(); ++i) {
        apps[i]->formatter(formatter);
        for (CLI::App *sub : apps[i]->get_subcommands([](CLI::App *) { return true; })) {
            sub->footer("");  // not the top level's examples: its own below, or none
            apps.push_back(sub);
        }
    }
    for (const auto &[path, text] : kExamples) {
        CLI::App *cmd = &app;
        for (std::string_view rest = path; !rest.empty();) {
            const std::size_t blank = std::min(rest.find(' '), rest.size());
            cmd = cmd->get_subcommand(std::string(rest.substr(0, blank)));
            rest.remove_prefix(std::min(blank + 1, rest.size()));
        }
        cmd->footer(std::string("Examples:\n  ") + text);
    }
}

// "unknown command 'db foo' (known: get, set)" when the word where a subcommand belongs
// names none; empty otherwise.
std::string UnknownCommand(CLI::App &app) {
    const std::vector<std::string> extras = app.remaining();
    CLI::App *at = &app;
    std::string path;
    while (!at->get_subcommands().empty()) {
        at = at->get_subcommands().front();
        path += at->get_name() + ' ';
    }
    if (extras.empty() || extras.front().rfind('-', 0) == 0 ||
        at->get_require_subcommand_min() == 0) {
        return {};
    }
    std::string known;
    for (const CLI::App *sub : at->get_subcommands([](CLI::App *) { return true; })) {
        known += (known.empty() ? "" : ", ") + sub->get_name();
    }
    return "unknown command '" + path + extras.front() + "' (known: " + known + ")";
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

// Defines lapictl's command line (the one place for each command's options), parses one
// with `parse` and runs its command: the process's arguments in one-shot mode (shell
// null), or a line of `lapictl shell`, whose session gives the client and the defaults
// of --json and --max-wait (there the shell's own commands join the others and `shell`
// leaves).
int RunCommandLine(const std::function<void(CLI::App &)> &parse, lapictl::Link *shell) {
    CLI::App app{"lapictl: talk to the location server (lapid) through the client library."};
    app.set_version_flag("--version", "lapictl " LAPICTL_VERSION);
    lapi::manpage::AddFlag(app, lapictl::ManualPage());
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(
        "Human output by default; --json prints one JSON object per message.\n"
        "Exit codes: 0 success, 1 failure (including a refusal or timeout from the server), "
        "2 usage, 130 stopped by Ctrl-C.\n"
        "Examples:\n"
        "  lapictl locate --timeout 10\n"
        "  lapictl distance 40.6 -73.8 51.6 -0.5\n"
        "  lapictl admin position 52.52 13.405");

    lapictl::GlobalOptions global = shell != nullptr ? shell->global : lapictl::GlobalOptions();
    bool trace = false;
    std::string logPath;
    app.add_flag("--json", global.json, "One JSON object per line instead of text");
    app.add_flag("--trace", trace, "Show the library's message trace on stderr");
    app.add_option("--log", logPath, "Append the library's message trace to FILE")
        ->type_name("FILE");
    app.add_option("--max-wait", global.maxWait,
                   "Give up (exit 1) when the awaited messages have not arrived after SECONDS")
        ->type_name("SECONDS")
        ->check(Between(0, 86400, false));

    // locate
    lapictl::LocateOptions locate;
    auto *locateCmd = app.add_subcommand("locate", "Get a single position fix");
    locateCmd->add_option("--timeout", locate.timeout, "Response time in seconds")
        ->capture_default_str()
        ->check(Between(0, 86400));
    locateCmd
        ->add_option("--accuracy", locate.accuracy, "Wanted horizontal accuracy in metres (0: any)")
        ->capture_default_str()
        ->check(Between(0, 1000000));
    locateCmd->add_flag("--nonblock", locate.nonblock,
                        "Send the request without blocking and wait on the async descriptor");

    // last
    auto *lastCmd = app.add_subcommand("last", "Get the last known position");

    // watch
    lapictl::WatchOptions watch;
    auto *watchCmd = app.add_subcommand("watch", "Periodic position reports (Ctrl-C stops)");
    watchCmd->add_option("--interval", watch.interval, "Seconds between reports")
        ->capture_default_str()
        ->check(Between(1, 86400));
    watchCmd->add_option("--count", watch.count, "Stop after N reports (0: until Ctrl-C)")
        ->check(Between(0, kMaxCount));
    watchCmd
        ->add_option("--accuracy", watch.accuracy, "Wanted horizontal accuracy in metres (0: any)")
        ->check(Between(0, 1000000));
    watchCmd
        ->add_option("--gpx", watch.gpxPath,
                     "Also write the fixes to FILE as a GPX 1.1 track (complete after Ctrl-C)")
        ->type_name("FILE");
    watchCmd
        ->add_option("--geojson", watch.geoJsonPath,
                     "Also write the fixes to FILE as a GeoJSON LineString (rewritten whole "
                     "after each fix)")
        ->type_name("FILE");

    // status
    lapictl::StatusOptions status;
    auto *statusCmd = app.add_subcommand("status", "Show the location server's status");
    statusCmd->add_flag("--follow", status.follow, "Then print each status change");
    statusCmd->add_option("--count", status.count, "With --follow: stop after N changes")
        ->check(Between(0, kMaxCount));

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
        ->check(Between(0, kMaxCount));
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
        ->check(Between(0, kMaxCount));

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
            ->check(Between(1, std::numeric_limits<int64_t>::max()));
    }
    addAdmin("clients", "List the registered clients");
    addAdmin("counters", "Show the server's counters");
    addAdmin("source", "Show the position source: gpsd's connection, watch and satellites");
    addAdmin("help", "List the control commands");

    // The commands of one mode only.
    CLI::App *shellCmd = nullptr;
    CLI::App *waitCmd = nullptr;
    CLI::App *abortCmd = nullptr;
    CLI::App *helpCmd = nullptr;
    CLI::App *quitCmd = nullptr;
    lapictl::WaitOptions wait;
    std::string mtlrAnswer;
    if (shell == nullptr) {
        shellCmd = app.add_subcommand(
            "shell", "Run lapictl commands on one client, typed or read from standard input");
    } else {
        watchCmd
            ->add_flag("--background", watch.background,
                       "Report in the background (abort ends it) and return at once")
            ->excludes(watchCmd->get_option("--count"))
            ->excludes(watchCmd->get_option("--gpx"))
            ->excludes(watchCmd->get_option("--geojson"));
        mtlrCmd
            ->add_option("ANSWER", mtlrAnswer,
                         "accept or deny: answer every notification that waits for one")
            ->check(CLI::IsMember({"accept", "deny"}))
            ->excludes(mtlrCmd->get_option("--answer"))
            ->excludes(mtlrCmd->get_option("--count"));
        std::vector<std::string> pushedNames;
        for (const uint16_t msgId :
             {LAPI_MSG_GET_LOCATION_RSP, LAPI_MSG_PROXIMITY_HIT_IND, LAPI_MSG_STATUS_CHANGE_IND,
              LAPI_MSG_LOCATION_NOTIFICATION_IND, LAPI_MSG_NOTIFICATION_STATUS_IND}) {
            pushedNames.emplace_back(lapictl::MessageName(msgId));
        }
        waitCmd = app.add_subcommand(
            "wait", "Show pushed messages until N have come since the last wait (Ctrl-C stops)");
        waitCmd->add_option("MESSAGE", wait.message, "Count only the messages of this name")
            ->check(CLI::IsMember(pushedNames));
        waitCmd->add_option("--count", wait.count, "How many")
            ->capture_default_str()
            ->check(Between(0, kMaxCount));
        waitCmd->add_option("--timeout", wait.timeout, "Give up (exit 1) after SECONDS")
            ->type_name("SECONDS")
            ->check(Between(0, 86400, false));
        abortCmd = app.add_subcommand("abort", "End the periodic sessions in the background");
        helpCmd = app.add_subcommand("help", "List the commands");
        quitCmd = app.add_subcommand("quit", "End the session (so do exit and Ctrl-D)");
        quitCmd->alias("exit");
    }

    FinishHelp(app);
    try {
        parse(app);
    } catch (const CLI::ParseError &e) {
        if (const std::string unknown = UnknownCommand(app); !unknown.empty()) {
            lapictl::Complain(unknown);
            lapictl::Tell("Run with --help for more information.\n");
            return kExitUsage;
        }
        std::ostringstream err;  // in the shell, descriptor 2 is the library's
        const int rc = app.exit(e, std::cout, err);
        lapictl::Tell(err.str());
        return rc == 0 ? lapictl::kExitOk : kExitUsage;
    }

    lapictl::Link oneShot;
    lapictl::Link &link = shell != nullptr ? *shell : oneShot;
    if (shell != nullptr) {
        if (trace || !logPath.empty()) {
            lapictl::Complain("--trace and --log go before 'shell': they hold for the session");
            return kExitUsage;
        }
        if (*waitCmd) {
            return lapictl::RunWait(link, wait);
        }
        if (*abortCmd) {
            return lapictl::RunAbort(global, link);
        }
        if (*quitCmd) {
            return lapictl::kEndShell;
        }
        if (*helpCmd) {
            for (const CLI::App *sub : app.get_subcommands([](CLI::App *) { return true; })) {
                std::string name = sub->get_name();
                name.resize(std::max<std::size_t>(name.size() + 2, 12), ' ');
                lapictl::PrintLine(name + sub->get_description());
            }
            lapictl::PrintLine("COMMAND --help shows the options of a command.");
            return lapictl::kExitOk;
        }
        if (*mtlrCmd && !mtlrAnswer.empty()) {
            return lapictl::RunMtlrAnswer(global, link, mtlrAnswer == "accept");
        }
    } else if (!lapictl::SetUpDiagnostics(trace, logPath)) {
        // From here on descriptor 2 belongs to the library's trace.
        return lapictl::kExitFailure;
    } else if (*shellCmd) {
        return lapictl::RunShell(global, [](const std::string &line, lapictl::Link &session) {
            return RunCommandLine([&](CLI::App &lineApp) { lineApp.parse(line, false); }, &session);
        });
    }

    if (*locateCmd) {
        return lapictl::RunLocate(global, link, locate);
    }
    if (*lastCmd) {
        return lapictl::RunLast(global, link);
    }
    if (*watchCmd) {
        return lapictl::RunWatch(global, link, watch);
    }
    if (*statusCmd) {
        if (status.count > 0 && !status.follow) {
            lapictl::Complain("--count needs --follow");
            return kExitUsage;
        }
        return lapictl::RunStatus(global, link, status);
    }
    if (*dbGetCmd) {
        return lapictl::RunDbGet(global, link, *lapictl::ParseFileId(dbFileId));
    }
    if (*dbSetCmd) {
        std::vector<lapictl::DbEntry> entries;
        for (const std::string &text : dbEntries) {
            std::string error;
            entries.push_back(*lapictl::ParseDbEntry(text, &error));
        }
        return lapictl::RunDbSet(global, link, entries);
    }
    if (*distanceCmd) {
        return lapictl::RunDistance(global, link, distance);
    }
    if (*proxAddCmd) {
        if (proximity.count > 0 && !proximity.wait) {
            lapictl::Complain("--count needs --wait");
            return kExitUsage;
        }
        return lapictl::RunProximityAdd(global, link, proximity);
    }
    if (*proxRemoveCmd) {
        return lapictl::RunProximityRemove(global, link, removeType);
    }
    if (*mtlrCmd) {
        return lapictl::RunMtlr(global, link, mtlr);
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

}  // namespace

int main(int argc, char **argv) {
    return RunCommandLine([&](CLI::App &app) { app.parse(argc, argv); }, nullptr);
}
