// The subcommands of lapictl. Each returns the process exit code: kExitOk, or
// kExitFailure after one line on standard error saying what went wrong.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "parse.h"

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

int RunLocate(const GlobalOptions &global, const LocateOptions &opts);
int RunLast(const GlobalOptions &global);
int RunWatch(const GlobalOptions &global, const WatchOptions &opts);
int RunStatus(const GlobalOptions &global, const StatusOptions &opts);
int RunDbGet(const GlobalOptions &global, uint32_t fileId);
int RunDbSet(const GlobalOptions &global, const std::vector<DbEntry> &entries);
int RunDistance(const GlobalOptions &global, const DistanceOptions &opts);
int RunProximityAdd(const GlobalOptions &global, const ProximityAddOptions &opts);
int RunProximityRemove(const GlobalOptions &global, int32_t removeType);
int RunMtlr(const GlobalOptions &global, const MtlrOptions &opts);
int RunAdmin(const GlobalOptions &global, const AdminOptions &opts);

}  // namespace lapictl
