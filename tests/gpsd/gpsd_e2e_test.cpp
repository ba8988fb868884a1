// lapid on a real gpsd, seen through the client library. gpsd reads a recorded walk
// (tests/data/gpsd/route.nmea from scripts/nmea_route.py; route.json gives each fix as
// printed, the proximity circle, when the fix is lost and regained) from
// scripts/nmea_feed.py at eight times its pace. The feeder holds the log at its start and
// before the fix comes back until the test sends SIGUSR1, so that what the test must do
// first is done first, however slow the machine.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <lapi/lapi.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>

#include "lapid.h"

namespace {

using namespace lapitest;

struct RouteFix {
    double lat, lon, alt, speed, course;
};

// route.json: its top-level numbers, and the fixes by timeStamp (ms).
struct Route {
    std::map<std::string, double> at;
    std::map<double, RouteFix> fixes;
    double TimeMs(const std::string &key) const {  // the time of the cycle at `key` seconds
        return fixes.begin()->first + (at.at(key) - at.at("fix_first_s")) * 1000;
    }
};

Route LoadRoute() {
    const std::string text = DataFile("gpsd/route.json");
    const std::regex number(R"re(\n  "(\w+)": ([-0-9.]+))re");
    const std::regex fix(
        R"re("time_ms": (\d+), "lat": ([-0-9.]+), "lon": ([-0-9.]+), )re"
        R"re("alt_msl": ([-0-9.]+), .*?"speed": ([-0-9.]+), "course": ([-0-9.]+))re");
    Route r;
    for (std::sregex_iterator i(text.begin(), text.end(), number), end; i != end; ++i) {
        r.at[(*i)[1]] = std::stod((*i)[2]);
    }
    for (std::sregex_iterator i(text.begin(), text.end(), fix), end; i != end; ++i) {
        r.fixes[std::stod((*i)[1])] = {std::stod((*i)[2]), std::stod((*i)[3]), std::stod((*i)[4]),
                                       std::stod((*i)[5]), std::stod((*i)[6])};
    }
    return r;
}

// A shell command run as the leader of a process group of its own; the destructor kills
// the whole group.
struct Child {
    explicit Child(const std::string &command) {
        if ((pid = ::fork()) == 0) {
            ::setpgid(0, 0);
            ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), nullptr);
            ::_exit(127);
        }
        ::setpgid(pid, pid);  // here too: a kill right away must find the group
    }
    ~Child() {
        if (pid > 0 && ::kill(-pid, SIGKILL) == 0) {
            ::waitpid(pid, nullptr, 0);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    pid_t pid = -1;
};

std::string FreeLoopbackPort() {
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::bind(s, reinterpret_cast<sockaddr *>(&a), len), 0);
    ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    ::close(s);
    return std::to_string(ntohs(a.sin_port));
}

// The next message pushed to `client`; empty when none comes within 30 s.
Bytes Next(int client) {
    pollfd pfd{LAPI_GetAsyncSocketFd(client), POLLIN, 0};
    Bytes m(LAPI_ASYNC_MSG_BUF_LEN);
    if (::poll(&pfd, 1, 30000) != 1 || LAPI_GetAsyncMsg(client, m.data()) != 0) {
        return {};
    }
    return m;
}

double FixStatusOf(const Bytes &m) {  // -1: not a statusChangeInd
    return !m.empty() && NameOf(m) == "statusChangeInd" ? Get(m, "fixStatus") : -1;
}

// Sends the request that `desc` describes (testkit's Msg) through `call`: LAPI_BLOCK
// with the answer written to `answer`, else LAPI_NONBLOCK.
template <typename Req>
int Call(int (*call)(int, unsigned char, Req *, void *), int client, const std::string &desc,
         Bytes *answer = nullptr) {
    Bytes req = Msg(desc);
    if (answer != nullptr) {
        answer->assign(LAPI_ASYNC_MSG_BUF_LEN, 0);
    }
    return call(client, answer != nullptr ? LAPI_BLOCK : LAPI_NONBLOCK,
                reinterpret_cast<Req *>(req.data()), answer != nullptr ? answer->data() : nullptr);
}

// The walk as a client sees it: the first fix as the log has it, periodic reports along
// the route, one proximity hit where it enters the circle, the loss of the fix with the
// last known position kept, the recovery; then gpsd stops and starts again.
TEST(GpsdReplay, ReplayedWalk) {
    const Route route = LoadRoute();
    const TempDir dir;
    const std::string feed = dir.File("feeder.out");
    Child feeder("'" LAPITEST_PYTHON "' '" LAPITEST_SCRIPTS
                 "/nmea_feed.py' --rate 8 --loop --max-seconds 300 --hold-at 0," +
                 std::to_string(route.at.at("fix_regained_s")) + " '" + LAPITEST_ROUTE "' >" +
                 feed + " 2>&1");
    std::string feedPort;
    ASSERT_TRUE(WaitUntil([&] { return std::getline(std::ifstream(feed), feedPort).good(); }));
    const std::string port = FreeLoopbackPort();
    const std::string gpsdCommand = LAPITEST_GPSD " -N -n -b -S " + port +
                                    " tcp://127.0.0.1:" + feedPort + " >>" + dir.File("gpsd.log") +
                                    " 2>&1";
    std::optional<Child> gpsd(std::in_place, gpsdCommand);
    Lapid lapid({"--source", "gpsd", "--gpsd-host", "127.0.0.1", "--gpsd-port", port}, false);
    ASSERT_TRUE(lapid.Start()) << lapid.Log();
    // Waits until lapid's answer to the control command `source` matches `re`.
    auto sourceShows = [&](const std::string &re) {
        std::string answer;
        const bool ok = WaitUntil(
            [&] { return std::regex_search(answer = lapid.Control("source"), std::regex(re)); },
            30s);
        EXPECT_TRUE(ok) << re << " not in:\n" << answer;
        return ok;
    };
    // `m` (getLocationRsp, proximityHitInd) carries the route's fix of its timeStamp.
    auto expectOnRoute = [&](const Bytes &m) {
        const auto f = route.fixes.find(Get(m, "timeStamp"));
        ASSERT_NE(f, route.fixes.end()) << "no fix of the route at " << Get(m, "timeStamp");
        EXPECT_NEAR(Get(m, "latitude"), f->second.lat, 1e-6);
        EXPECT_NEAR(Get(m, "longitude"), f->second.lon, 1e-6);
        EXPECT_NEAR(Get(m, "altitude"), f->second.alt, 0.1);
        EXPECT_NEAR(Get(m, "speed"), f->second.speed, 1e-3);
        EXPECT_NEAR(Get(m, "course"), f->second.course, 1e-3);
        EXPECT_EQ(Get(m, "locationMethod"), 1);  // GNSS
    };
    ASSERT_TRUE(sourceShows("connection connected\nwatching no\n"));

    // lapid watches gpsd only while fixes are needed: here for a location session.
    const int a = LAPI_RegisterClient(LAPI_SERVICE_MOLR);
    EXPECT_TRUE(sourceShows("watching no\n"));
    ASSERT_EQ(Call(LAPI_GetLocation, a, "getLocationReq sessionId=1 reportCriteria=1 interval=1"),
              0);
    EXPECT_TRUE(sourceShows("watching yes\n"));
    ASSERT_EQ(Call(LAPI_AbortLocationRequest, a, "abortLocationReq sessionId=1"), 0);
    EXPECT_TRUE(sourceShows("watching no\n"));
    EXPECT_EQ(LAPI_UnregisterClient(a), 0);

    const int c = LAPI_RegisterClient(LAPI_SERVICE_MOLR | LAPI_SERVICE_STATUS);
    ASSERT_GE(c, 0);
    ASSERT_EQ(Call(LAPI_AddProximityListener, c,
                   "addProximityReq sessionId=5 transactionId=6 latitude=" +
                       std::to_string(route.at.at("circle_lat")) +
                       " longitude=" + std::to_string(route.at.at("circle_lon")) +
                       " radius=" + std::to_string(route.at.at("circle_radius_m"))),
              0);
    ASSERT_EQ(Call(LAPI_GetLocation, c, "getLocationReq sessionId=2 reportCriteria=1 interval=1"),
              0);
    ASSERT_EQ(Call(LAPI_GetLocation, c, "getLocationReq sessionId=3 responseTime=60"), 0);
    ASSERT_TRUE(sourceShows("watching yes\n"));
    ::kill(feeder.pid, SIGUSR1);  // the log begins

    // Everything pushed until the fix is lost: the feeder holds the log before it is back.
    std::vector<Bytes> got;
    for (bool fixed = false; !fixed || FixStatusOf(got.back()) != 0;) {
        got.push_back(Next(c));
        ASSERT_FALSE(got.back().empty()) << "nothing pushed; lapid's log:\n" << lapid.Log();
        fixed = fixed || FixStatusOf(got.back()) == 2;
    }
    EXPECT_EQ(Get(got.back(), "fixResultStatus.status"), 2);  // failure ...
    EXPECT_EQ(Get(got.back(), "fixResultStatus.cause"), 3);   // ... no signal
    std::map<std::string, std::vector<double>> seen;          // timeStamps of the fixes pushed
    double firstAccuracy = 0;
    double bestAccuracy = 1e9;
    for (const Bytes &m : got) {
        const std::string name = NameOf(m);
        if (name == "proximityHitInd") {
            seen["hit"].push_back(Get(m, "timeStamp"));
            EXPECT_EQ(Get(m, "sessionId") * 256 + Get(m, "transactionId"), 5 * 256 + 6);
        } else if (name != "getLocationRsp" || Get(m, "cause") != 0) {
            continue;
        } else if (Get(m, "sessionId") == 3) {
            seen["first"].push_back(Get(m, "timeStamp"));
            firstAccuracy = Get(m, "horizontalAccuracy") + Get(m, "verticalAccuracy");
        } else {
            std::vector<double> &reports = seen["report"];
            EXPECT_TRUE(reports.empty() || Get(m, "timeStamp") >= reports.back());
            reports.push_back(Get(m, "timeStamp"));
            bestAccuracy =
                std::min(bestAccuracy, Get(m, "horizontalAccuracy") + Get(m, "verticalAccuracy"));
        }
        expectOnRoute(m);
    }
    EXPECT_EQ(seen["first"], std::vector<double>{route.fixes.begin()->first});
    EXPECT_EQ(seen["hit"], std::vector<double>{route.TimeMs("circle_entered_s")});
    EXPECT_GE(std::set<double>(seen["report"].begin(), seen["report"].end()).size(), 3U);
    // gpsd's error estimates follow the dilution of precision: 2.4 at the first fix, 0.9 later.
    EXPECT_GT(firstAccuracy, bestAccuracy);

    Bytes last;
    ASSERT_EQ(Call(LAPI_GetLastKnownLocation, c, "lastKnownLocationReq", &last), 0);
    EXPECT_EQ(Get(last, "timeStamp"), route.TimeMs("fix_lost_s") - 1000);
    expectOnRoute(last);
    EXPECT_TRUE(sourceShows("satellites_visible 12\n[\\s\\S]*fix_state no-fix\n"));

    ::kill(feeder.pid, SIGUSR1);  // the fix comes back
    for (Bytes m; FixStatusOf(m) != 2;) {
        m = Next(c);
        ASSERT_FALSE(m.empty()) << lapid.Log();
    }
    ASSERT_EQ(Call(LAPI_GetLastKnownLocation, c, "lastKnownLocationReq", &last), 0);
    EXPECT_GE(Get(last, "timeStamp"), route.TimeMs("fix_regained_s"));

    // gpsd goes away: lapid goes on without a fix, and takes fixes again once gpsd is back.
    gpsd.reset();
    EXPECT_TRUE(sourceShows("connection (disconnected|connecting)\n[\\s\\S]*fix_state no-fix\n"));
    EXPECT_EQ(Call(LAPI_GetLastKnownLocation, c, "lastKnownLocationReq", &last), 0);
    gpsd.emplace(gpsdCommand);
    EXPECT_TRUE(sourceShows("connection connected\n[\\s\\S]*fix_state fix\n"));
    EXPECT_EQ(LAPI_UnregisterClient(c), 0);
    EXPECT_TRUE(sourceShows("watching no\n"));
    EXPECT_EQ(lapid.Stop(), 0);
}

}  // namespace
