// The subcommands of lapictl. Each returns the process exit code: kExitOk, or
// kExitFailure after one line on standard error saying what went wrong (kExitUsage for
// a wrong use, StoppedStatus() when Ctrl-C stopped it).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "format.h"
#include "parse.h"
#include "session.h"

namespace lapictl {

struct GlobalOptions {
    bool json = false;
    double maxWait = 0;  // seconds; 0: wait for pushed messages as long as it takes
};

struct LocateOptions {
    int timeout = 30;  // responseTime, seconds
    int accuracy = 0;  // horizontalAccuracy, metres; 0 accepts any
    bool nonblock = false;
};

struct WatchOptions {
    int interval = 1;  // seconds
    int count = 0;     // reports; 0: until Ctrl-C
    int accuracy = 0;
    std::string gpxPath;      // the fixes as a GPX 1.1 track, when not empty
    std::string geoJsonPath;  // the fixes as a GeoJSON LineString Feature, when not empty
    bool background = false;  // the shell: report in the background until `abort`
};

struct StatusOptions {
    bool follow = false;
    int count = 0;  // status changes with --follow; 0: until Ctrl-C
};

struct DistanceOptions {
    double latitude1 = 0;
    double longitude1 = 0;
    double latitude2 = 0;
    double longitude2 = 0;
    bool distanceOnly = false;
};

struct ProximityAddOptions {
    double latitude = 0;
    double longitude = 0;
    double radius = 0;
    double altitude = 0;
    bool wait = false;
    int count = 0;  // hits with --wait; 0: until Ctrl-C
};

struct MtlrOptions {
    std::string answer;  // "accept", "deny" or empty
    int count = 0;       // settled requests; 0: until Ctrl-C
};

struct AdminOptions {
    std::string controlPath = "/tmp/lapisock.ctl";
    std::vector<std::string> words;  // the command line, first word the command
};

// An MT-LR notification that waits for the shell's answer.
struct Notification {
    uint8_t sessionId = 0;
    uint8_t transactionId = 0;
};

// What the commands run on. One-shot (client null): each command registers a client of
// its own for the services it needs and unregisters it when it ends. `lapictl shell`
// gives its client (registered for every service) and keeps here what outlives one
// command; the messages pushed to it that the running command does not take are shown
// as they arrive (ShowPushed).
struct Link {
    const Client *client = nullptr;
    GlobalOptions global;                // the shell's own: each command's defaults, and the
                                         // form (--json or not) of the pushed messages
    uint8_t transactionId = 0;           // the last one a request carried
    int32_t listeners = 0;               // proximity listeners added so far (numbered 1 up)
    std::vector<uint8_t> periodic;       // sessionIds of the periodic sessions in the background
    std::deque<Notification> asked;      // MT-LR notifications that wait for an answer
    std::optional<StatusValues> status;  // the last status values seen
    std::map<uint16_t, int> shown;       // pushed messages shown since the last `wait`, by msgId
    bool lost = false;                   // the connection to the location server is gone
};

int RunLocate(const GlobalOptions &global, Link &link, const LocateOptions &opts);
int RunLast(const GlobalOptions &global, Link &link);
int RunWatch(const GlobalOptions &global, Link &link, const WatchOptions &opts);
int RunStatus(const GlobalOptions &global, Link &link, const StatusOptions &opts);
int RunDbGet(const GlobalOptions &global, Link &link, uint32_t fileId);
int RunDbSet(const GlobalOptions &global, Link &link, const std::vector<DbEntry> &entries);
int RunDistance(const GlobalOptions &global, Link &link, const DistanceOptions &opts);
int RunProximityAdd(const GlobalOptions &global, Link &link, const ProximityAddOptions &opts);
int RunProximityRemove(const GlobalOptions &global, Link &link, int32_t removeType);
int RunMtlr(const GlobalOptions &global, Link &link, const MtlrOptions &opts);
// The shell: answers every MT-LR notification that waits for an answer.
int RunMtlrAnswer(const GlobalOptions &global, Link &link, bool allow);
int RunAdmin(const GlobalOptions &global, const AdminOptions &opts);

// The shell's view of a message pushed to its client that no command takes: shows it
// (true), or leaves it unseen when it is only a late answer to an ended command.
bool ShowPushed(Link &link, Bytes msg);
// Keeps what the shell learns from a message: the status values, the notifications that
// ask for an answer, the periodic sessions refused.
void NotePushed(Link &link, Bytes msg);

// "gave up after S s waiting for <what>" on standard error; kExitFailure.
int GaveUp(double seconds, std::string_view what);

}  // namespace lapictl
