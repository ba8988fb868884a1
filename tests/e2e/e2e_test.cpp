// The whole stack as a user meets it: a real lapid (simulator, temporary database)
// driven through every lapictl subcommand, checking lapictl's JSON output, its exit
// codes, and what the server saw through its control socket.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "control_client.h"
#include "lapid_process.h"

extern char **environ;

namespace {

using lapid_itest::ControlClient;
using lapid_itest::Lapid;
using lapid_itest::TempDir;
using namespace std::chrono_literals;

// ---------------------------------------------------------------------------------
// lapictl as a child process
// ---------------------------------------------------------------------------------

struct Outcome {
    int exitCode = -1;               // 128 + signal when killed
    std::vector<std::string> lines;  // standard output
    std::string err;                 // standard error
};

std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string Slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A lapictl started in the background, its output in files of a temporary directory.
class Lapictl {
  public:
    explicit Lapictl(std::vector<std::string> args) {
        std::vector<std::string> argv{LAPICTL_BINARY, "--max-wait", "30"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char *> cargv;
        for (std::string &a : argv) {
            cargv.push_back(a.data());
        }
        cargv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        if (posix_spawn(&pid_, cargv[0], &fa, nullptr, cargv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Lapictl() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Lapictl(const Lapictl &) = delete;
    Lapictl &operator=(const Lapictl &) = delete;

    void Signal(int sig) const {
        if (pid_ > 0) {
            kill(pid_, sig);
        }
    }

    // Waits (bounded) for the exit; a process still running then is killed.
    Outcome Wait(std::chrono::milliseconds timeout = 30s) {
        Outcome o;
        const auto until = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        while (pid_ > 0) {
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() > until) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        o.lines = SplitLines(Slurp(out_));
        o.err = Slurp(err_);
        return o;
    }

  private:
    TempDir dir_;
    std::string out_ = dir_.File("stdout");
    std::string err_ = dir_.File("stderr");
    pid_t pid_ = -1;
};

Outcome RunLapictl(std::vector<std::string> args) {
    return Lapictl(std::move(args)).Wait();
}

// ---------------------------------------------------------------------------------
// Reading lapictl's JSON lines (flat objects; nested ones are searched by key)
// ---------------------------------------------------------------------------------

// The raw value of "key": in a JSON line (a number, a quoted string with its quotes
// removed, true/false/null), or nullopt.
std::optional<std::string> Field(const std::string &line, const std::string &key) {
    const std::string needle = "\"" + key + "\":";
    size_t at = line.find(needle);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    at += needle.size();
    while (at < line.size() && line[at] == ' ') {
        ++at;
    }
    if (at < line.size() && line[at] == '"') {
        const size_t end = line.find('"', at + 1);
        return line.substr(at + 1, end - at - 1);
    }
    const size_t end = line.find_first_of(",}]", at);
    return line.substr(at, end - at);
}

double Number(const std::string &line, const std::string &key) {
    const auto v = Field(line, key);
    EXPECT_TRUE(v.has_value()) << key << " missing in " << line;
    return v ? std::strtod(v->c_str(), nullptr) : std::nan("");
}

// The first line whose "msg" is msgName.
std::optional<std::string> Message(const Outcome &o, const std::string &msgName) {
    for (const std::string &line : o.lines) {
        if (Field(line, "msg") == msgName) {
            return line;
        }
    }
    return std::nullopt;
}

std::string Describe(const Outcome &o) {
    std::string s = "exit " + std::to_string(o.exitCode) + "\nstdout:\n";
    for (const std::string &l : o.lines) {
        s += l + "\n";
    }
    return s + "stderr:\n" + o.err;
}

// ---------------------------------------------------------------------------------
// The fixture: one lapid per test
// ---------------------------------------------------------------------------------

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Start()) << server_.Error() << "\n" << server_.Log();
    }
    void TearDown() override { EXPECT_EQ(server_.Stop(), 0) << server_.Log(); }

    Outcome Json(std::vector<std::string> args) {
        args.insert(args.begin(), "--json");
        return RunLapictl(std::move(args));
    }
    Outcome Admin(std::vector<std::string> words) {
        words.insert(words.begin(), {"admin", "--control", server_.ControlPath()});
        return RunLapictl(std::move(words));
    }
    lapid_itest::ControlReply Control(const std::string &line) { return control_.Command(line); }

    // Waits until the server lists a client whose line satisfies pred.
    template <typename Pred>
    bool WaitForClient(Pred pred, std::chrono::milliseconds timeout = 10s) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < until) {
            for (const auto &c : lapid_itest::ParseClients(Control("clients"))) {
                if (pred(c)) {
                    return true;
                }
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    size_t ClientCount() { return lapid_itest::ParseClients(Control("clients")).size(); }

    Lapid server_{{"--ttff", "1"}};
    ControlClient control_{server_.ControlPath()};
};

TEST_F(EndToEnd, DistanceAndAzimuthFromNewYorkToLondon) {
    const Outcome o = Json({"distance", "40.6", "-73.8", "51.6", "-0.5"});
    ASSERT_EQ(o.exitCode, 0) << Describe(o);
    const auto rsp = Message(o, "distanceAzimuthRsp");
    ASSERT_TRUE(rsp) << Describe(o);
    EXPECT_NEAR(Number(*rsp, "distance"), 5551759.400, 0.001);
    EXPECT_NEAR(Number(*rsp, "azimuth"), 51.198883, 1e-6);

    const Outcome only = Json({"distance", "--distance-only", "40.6", "-73.8", "51.6", "-0.5"});
    ASSERT_EQ(only.exitCode, 0) << Describe(only);
    const auto rsp2 = Message(only, "distanceAzimuthRsp");
    ASSERT_TRUE(rsp2);
    EXPECT_NEAR(Number(*rsp2, "distance"), 5551759.400, 0.001);
    EXPECT_EQ(Number(*rsp2, "azimuth"), 0.0);

    // Human output carries the units.
    const Outcome human = RunLapictl({"distance", "40.6", "-73.8", "51.6", "-0.5"});
    ASSERT_EQ(human.exitCode, 0);
    ASSERT_FALSE(human.lines.empty());
    EXPECT_NE(human.lines[0].find("5551759.400 m"), std::string::npos) << human.lines[0];
}

TEST_F(EndToEnd, FixLastKnownAndPeriodicReports) {
    Outcome fix = Json({"locate", "--timeout", "10"});
    ASSERT_EQ(fix.exitCode, 0) << Describe(fix);
    const auto rsp = Message(fix, "getLocationRsp");
    ASSERT_TRUE(rsp) << Describe(fix);
    EXPECT_NEAR(Number(*rsp, "latitude"), 52.520008, 1e-6);
    EXPECT_NEAR(Number(*rsp, "longitude"), 13.404954, 1e-6);
    EXPECT_EQ(Number(*rsp, "cause"), 0);
    EXPECT_GT(Number(*rsp, "timeStamp"), 1.7e12);

    const Outcome last = Json({"last"});
    ASSERT_EQ(last.exitCode, 0) << Describe(last);
    const auto lastRsp = Message(last, "getLocationRsp");
    ASSERT_TRUE(lastRsp);
    EXPECT_GE(Number(*lastRsp, "ageOfFix"), 0.0);

    const Outcome watch = Json({"watch", "--interval", "1", "--count", "2"});
    ASSERT_EQ(watch.exitCode, 0) << Describe(watch);
    int reports = 0;
    for (const std::string &line : watch.lines) {
        reports += Field(line, "msg") == "getLocationRsp" ? 1 : 0;
    }
    EXPECT_EQ(reports, 2) << Describe(watch);
    // The watch ended with abort-all and unregistration: nothing is left behind.
    EXPECT_EQ(ClientCount(), 0u);

    // Without a fix a single fix times out, and lapictl says so with exit 1.
    ASSERT_TRUE(Control("fix off").ok);
    const Outcome none = Json({"locate", "--timeout", "1"});
    EXPECT_EQ(none.exitCode, 1) << Describe(none);
}

TEST_F(EndToEnd, CtrlCOnWatchLeavesNoSessionBehind) {
    Lapictl watch({"--json", "watch", "--interval", "1"});
    ASSERT_TRUE(WaitForClient([](const auto &c) { return c.sessions == 1; }));
    watch.Signal(SIGINT);
    const Outcome o = watch.Wait();
    EXPECT_EQ(o.exitCode, 0) << Describe(o);
    EXPECT_EQ(ClientCount(), 0u);
    const auto counters = lapid_itest::ParseCounters(Control("counters"));
    EXPECT_EQ(counters.at("sessions"), 0);
}

TEST_F(EndToEnd, StatusAndItsChanges) {
    const Outcome status = Json({"status"});
    ASSERT_EQ(status.exitCode, 0) << Describe(status);
    const auto rsp = Message(status, "getStatusRsp");
    ASSERT_TRUE(rsp) << Describe(status);
    EXPECT_EQ(Number(*rsp, "hwStatus"), 1);

    Lapictl follow({"--json", "status", "--follow", "--count", "1"});
    ASSERT_TRUE(WaitForClient([](const auto &c) { return (c.services & 4) != 0; }));
    const Outcome set = Admin({"status", "emergencyStatus", "1"});
    ASSERT_EQ(set.exitCode, 0) << Describe(set);
    const Outcome o = follow.Wait();
    ASSERT_EQ(o.exitCode, 0) << Describe(o);
    const auto ind = Message(o, "statusChangeInd");
    ASSERT_TRUE(ind) << Describe(o);
    EXPECT_EQ(Number(*ind, "emergencyStatus"), 1);

    // A value outside the documented set is refused: ERR from the server, exit 1.
    EXPECT_EQ(Admin({"status", "hwStatus", "99"}).exitCode, 1);
}

TEST_F(EndToEnd, DatabaseEntriesSurviveARestart) {
    const Outcome set = Json({"db", "set", "7=cafe", "0x10=01020304"});
    ASSERT_EQ(set.exitCode, 0) << Describe(set);
    const auto setRsp = Message(set, "setGpsDbDataRsp");
    ASSERT_TRUE(setRsp) << Describe(set);
    EXPECT_EQ(Number(*setRsp, "result"), 0);

    ASSERT_EQ(server_.Stop(), 0) << server_.Log();
    ASSERT_TRUE(server_.Start()) << server_.Error();

    const Outcome get = Json({"db", "get", "7"});
    ASSERT_EQ(get.exitCode, 0) << Describe(get);
    const auto rsp = Message(get, "getGpsDbDataRsp");
    ASSERT_TRUE(rsp) << Describe(get);
    EXPECT_EQ(Number(*rsp, "numFiles"), 1);
    EXPECT_EQ(Number(*rsp, "fileId"), 7);
    EXPECT_EQ(Field(*rsp, "data"), "cafe");
    EXPECT_EQ(Number(*rsp, "result"), 0);

    // An entry that was never written is a failure for lapictl.
    EXPECT_EQ(Json({"db", "get", "8"}).exitCode, 1);
    // A malformed entry is a usage error and sends nothing.
    EXPECT_EQ(RunLapictl({"db", "set", "7=0102030405"}).exitCode, 2);
}

TEST_F(EndToEnd, ProximityHitWhenThePositionMovesInside) {
    ASSERT_EQ(Admin({"position", "52.5200", "13.3700"}).exitCode, 0);
    Lapictl wait(
        {"--json", "proximity", "add", "52.5163", "13.3777", "150", "--wait", "--count", "1"});
    ASSERT_TRUE(WaitForClient([](const auto &c) { return c.listeners == 1; }));
    ASSERT_EQ(Admin({"position", "52.5163", "13.3777"}).exitCode, 0);
    const Outcome o = wait.Wait();
    ASSERT_EQ(o.exitCode, 0) << Describe(o);
    const auto added = Message(o, "addProximityRsp");
    ASSERT_TRUE(added) << Describe(o);
    EXPECT_EQ(Number(*added, "status"), 0);
    const auto hit = Message(o, "proximityHitInd");
    ASSERT_TRUE(hit) << Describe(o);
    EXPECT_NEAR(Number(*hit, "latitude"), 52.5163, 1e-6);
    EXPECT_NEAR(Number(*hit, "longitude"), 13.3777, 1e-6);
    // The listener went with its client.
    EXPECT_EQ(ClientCount(), 0u);

    // A fresh client has nothing to remove.
    const Outcome removed = Json({"proximity", "remove"});
    EXPECT_EQ(removed.exitCode, 1) << Describe(removed);
    EXPECT_TRUE(Message(removed, "removeProximityRsp")) << Describe(removed);
}

TEST_F(EndToEnd, NetworkInitiatedRequestIsAnsweredByTheListeningClient) {
    Lapictl listener({"--json", "mtlr", "--answer", "accept", "--count", "1"});
    ASSERT_TRUE(WaitForClient([](const auto &c) { return (c.services & 2) != 0; }));
    const Outcome inject = Admin({"mtlr", "1", "name=Alice", "addr=tel:+49301234567"});
    ASSERT_EQ(inject.exitCode, 0) << Describe(inject);
    ASSERT_EQ(inject.lines.size(), 1u);
    const std::string id = inject.lines[0].substr(inject.lines[0].find(' ') + 1);

    const Outcome o = listener.Wait();
    ASSERT_EQ(o.exitCode, 0) << Describe(o);
    const auto ind = Message(o, "locationNotificationInd");
    ASSERT_TRUE(ind) << Describe(o);
    EXPECT_EQ(Number(*ind, "notificationType"), 1);
    EXPECT_EQ(Field(*ind, "clientNameText"), "Alice");
    ASSERT_TRUE(Message(o, "notificationStatusInd")) << Describe(o);

    const Outcome result = Admin({"mtlr-result", id});
    ASSERT_EQ(result.exitCode, 0) << Describe(result);
    ASSERT_EQ(result.lines.size(), 1u);
    EXPECT_NE(result.lines[0].find("state=allowed-by-user"), std::string::npos) << result.lines[0];
}

TEST_F(EndToEnd, AdminCommandsAndUsageErrors) {
    for (const std::vector<std::string> &cmd :
         {std::vector<std::string>{"route", "15", "52.52,13.40", "52.53,13.41", "once"},
          {"fix", "on"},
          {"counters"},
          {"clients"}}) {
        const Outcome o = Admin(cmd);
        EXPECT_EQ(o.exitCode, 0) << Describe(o);
    }
    const Outcome counters = Admin({"counters"});
    bool sawConnections = false;
    for (const std::string &line : counters.lines) {
        sawConnections |= line.rfind("connections ", 0) == 0;
    }
    EXPECT_TRUE(sawConnections) << Describe(counters);
    EXPECT_EQ(Admin({"mtlr-result", "99999"}).exitCode, 1);   // ERR from the server
    EXPECT_EQ(Admin({"fix", "sideways"}).exitCode, 2);        // refused by lapictl
    EXPECT_EQ(RunLapictl({"distance", "40.6"}).exitCode, 2);  // usage
    EXPECT_EQ(RunLapictl({"no-such-command"}).exitCode, 2);
}

// Without a server lapictl says so in one line and fails.
TEST(EndToEndNoServer, ClearErrorWhenNoServerListens) {
    ASSERT_TRUE(lapid_itest::WaitServicePathFree(10000));
    const Outcome o = RunLapictl({"status"});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_NE(o.err.find("cannot reach the location server at /tmp/lapisock: is lapid running?"),
              std::string::npos)
        << o.err;
    EXPECT_EQ(SplitLines(o.err).size(), 1u) << o.err;
}

}  // namespace
