// Runs lapid scenarios: the files under tests/data/lapid/ named on the command line, each
// one test. Their lines drive a real lapid on its manual clock, clients of the real
// library and raw connections to LAPI_SOCKET_PATH. NAME is a client or a raw connection of
// the scenario; what follows "=>" is the expected outcome.
//
//   lapid ARGS | new ARGS       a lapid in a folder of its own, started | not yet started
//   piped ARGS                  lapid started with standard error on a pipe that is read
//                               only by `log` steps
//   start [=> RC TEXT]          start it again (same database); with RC it must end so
//   stop SIG => RC              signal it and wait for its exit code (128 + signal if killed)
//   kill SIG                    signal it, without waiting
//   run ARGS => RC TEXT         a second lapid that must end with RC and log TEXT
//   path PATH socket|file|absent, touch PATH TEXT, rm PATH   (relative: in lapid's folder)
//   client NAME SERVICES        LAPI_RegisterClient;  unregister NAME: LAPI_UnregisterClient
//   call NAME MSG FIELDS        the library call sending MSG (mode=1: it blocks, in a thread)
//   connect NAME, close NAME    a raw connection
//   send NAME [xN] MSG FIELDS   MSG (N times) on a raw connection;  hex NAME BYTES: raw bytes
//   expect NAME MSG CHECKS      the next message: the blocking call's answer when one is
//                               due, else the next one on the async (or raw) connection.
//                               CHECKS: label=value[~tolerance], @offset=hexbytes. A later
//                               field written label=$ takes its value from that message.
//                               A word ending in $NAME: the globalId of library client NAME.
//   attack N => FAILURES        a thread guesses globalIds and asks to bind them while N
//                               library clients register one after another
//   quiet NAME                  nothing more has arrived on the async (or raw) connection
//   closed NAME                 lapid has closed the raw connection
//   ctl CMD [=> TEXT]           one control command; its answer ends in OK or holds TEXT
//   poll CMD => TEXT            repeats a read-only control command until TEXT shows
//                               (`=~ REGEX` instead of `=> TEXT`: until REGEX matches)
//   log [xN] TEXT               lapid's log shows TEXT (exactly N times, once written)
//
// Before `ctl`, `poll` and `quiet`, the runner waits until lapid has read every message
// sent so far (counter messages_in), so that a clock step never overtakes a request.
#include <grp.h>
#include <gtest/gtest.h>
#include <lapi/lapi.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <atomic>
#include <cstdio>
#include <thread>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "lapid.h"

namespace {

using namespace lapitest;
using Words = std::vector<std::string>;
using Call = int (*)(int, uint8_t, void *, void *);

#define LAPID_CALL(name, F, R)                                                                   \
    {                                                                                            \
        name, [](int c, uint8_t m, void *q, void *r) { return F(c, m, static_cast<R *>(q), r); } \
    }
const std::map<std::string, Call> kCalls = {
    LAPID_CALL("getLocationReq", LAPI_GetLocation, LAPI_GET_LOCATION_REQ_S),
    LAPID_CALL("abortLocationReq", LAPI_AbortLocationRequest, LAPI_ABORT_LOCATION_REQ_S),
    LAPID_CALL("lastKnownLocationReq", LAPI_GetLastKnownLocation, LAPI_ABORT_LOCATION_REQ_S),
    LAPID_CALL("getStatusReq", LAPI_GetStatus, LAPI_GET_STATUS_REQ_S),
    LAPID_CALL("getGpsDbDataReq", LAPI_GetGpsDatabaseData, LAPI_GET_GPS_DB_DATA_REQ_S),
    LAPID_CALL("setGpsDbDataReq", LAPI_SetGpsDatabaseData, LAPI_SET_GPS_DB_DATA_REQ_S),
    LAPID_CALL("distanceAzimuthReq", LAPI_CalculateDistanceAzimuth, LAPI_DISTANCE_AZIMUTH_REQ_S),
    LAPID_CALL("addProximityReq", LAPI_AddProximityListener, LAPI_ADD_PROXIMITY_REQ_S),
    LAPID_CALL("removeProximityReq", LAPI_RemoveProximityListener, LAPI_REMOVE_PROXIMITY_REQ_S),
    {"abortAllLocationReq",
     [](int c, uint8_t, void *, void *) { return LAPI_AbortAllLocationRequest(c); }},
    {"locationNotificationCfm",
     [](int c, uint8_t, void *q, void *) {
         return LAPI_LocationVerify(c, static_cast<LAPI_LOCATION_NOTIFICATION_CFM_S *>(q));
     }},
};
#undef LAPID_CALL

std::string Join(const Words &w, std::size_t from) {
    std::string s;
    for (std::size_t i = from; i < w.size(); ++i) {
        s += (i == from ? "" : " ") + w[i];
    }
    return s;
}

// A whole message from a buffer that starts with one.
Bytes Whole(Bytes b) {
    b.resize(8u + static_cast<std::size_t>(b.at(6) | b.at(7) << 8));
    return b;
}

struct Peer {
    int client = -1;  // the library's clientId; -1 for a raw connection
    int fd = -1;      // the raw connection
    std::future<std::pair<int, Bytes>> blocked;
};

class Scenario {
  public:
    explicit Scenario(std::string file) : file_(std::move(file)) {}
    Scenario(const Scenario &) = delete;
    Scenario &operator=(const Scenario &) = delete;

    // Killing lapid first ends the blocking calls still waiting for it.
    ~Scenario() {
        lapid_.reset();
        ::close(held_);
        for (auto &[name, p] : peers_) {
            if (p.blocked.valid()) {
                p.blocked.wait();
            }
            p.client >= 0 ? static_cast<void>(LAPI_CLI_DestroyClientNode(p.client))
                          : static_cast<void>(::close(p.fd));
        }
    }

    void Run() {
        for (const std::string &line : DataLines("lapid/" + file_)) {
            SCOPED_TRACE(line);
            try {
                Step(line);
            } catch (const std::exception &e) {
                ADD_FAILURE() << e.what();
            }
            if (::testing::Test::HasFailure()) {  // later steps build on this one
                return;
            }
        }
    }

  private:
    void Step(const std::string &line) {
        Words w;
        std::istringstream in(line);
        for (std::string word; in >> word;) {
            w.push_back(word.ends_with("=$") ? Substitute(word) : GlobalIdOf(word));
        }
        std::string want;
        bool regex = false;
        auto arrow =
            std::find_if(w.begin(), w.end(), [](auto &s) { return s == "=>" || s == "=~"; });
        if (arrow != w.end()) {
            regex = *arrow == "=~";
            want = Join(Words(arrow + 1, w.end()), 0);
            w.erase(arrow, w.end());
        }
        const std::string &op = w.at(0);
        if (op == "lapid" || op == "new" || op == "piped" || op == "activated") {
            lapid_.reset();
            lapid_ = std::make_unique<Lapid>(Words(w.begin() + 1, w.end()));
            if (op == "piped") {
                lapid_->PipeLog();
            }
            if (op == "activated") {
                lapid_->HandSocket(held_);
            }
            if (op != "new") {
                Start(want);
            }
        } else if (op == "listen") {  // a listening socket the test holds, at an absolute path
            ::close(held_);
            held_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", w.at(1).c_str());
            ASSERT_EQ(::bind(held_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
            ASSERT_EQ(::listen(held_, 16), 0);
        } else if (op == "group") {
            struct stat st {};
            const group *g = ::getgrnam(w.at(2).c_str());
            ASSERT_TRUE(g != nullptr && ::lstat(PathOf(w.at(1)).c_str(), &st) == 0);
            EXPECT_EQ(st.st_gid, g->gr_gid);
        } else if (op == "start") {
            Start(want);
        } else if (op == "stop") {
            EXPECT_EQ(lapid_->Stop(std::stoi(w.at(1))), std::stoi(want)) << lapid_->Log();
        } else if (op == "kill") {
            ASSERT_EQ(::kill(lapid_->Pid(), std::stoi(w.at(1))), 0);
        } else if (op == "attack") {
            Attack(std::stoi(w.at(1)), std::stoi(want));
        } else if (op == "run") {
            Lapid other(Words(w.begin() + 1, w.end()));
            other.Spawn();
            ExpectExit(other, want);
        } else if (op == "path") {
            struct stat st {};
            const bool there = ::lstat(PathOf(w.at(1)).c_str(), &st) == 0;
            EXPECT_EQ(!there                 ? "absent"
                      : S_ISSOCK(st.st_mode) ? "socket"
                      : S_ISREG(st.st_mode)  ? "file"
                                             : "other",
                      w.at(2));
        } else if (op == "touch") {
            std::ofstream(PathOf(w.at(1))) << Join(w, 2);
        } else if (op == "rm") {
            EXPECT_EQ(::unlink(PathOf(w.at(1)).c_str()), 0);
        } else if (op == "client") {
            const int id = LAPI_RegisterClient(static_cast<unsigned>(std::stoi(w.at(2))));
            ASSERT_GE(id, 0);
            peers_[w.at(1)].client = id;
            sent_ += 2;
        } else if (op == "unregister") {
            EXPECT_EQ(LAPI_UnregisterClient(peers_.at(w.at(1)).client), 0);
            peers_.erase(w.at(1));
            sent_ += 1;
        } else if (op == "call") {
            CallLibrary(peers_.at(w.at(1)), w.at(2), Msg(Join(w, 2)));
        } else if (op == "connect") {
            peers_[w.at(1)].fd = Dial();
            ASSERT_GE(peers_[w.at(1)].fd, 0);
        } else if (op == "close") {
            ::close(peers_.at(w.at(1)).fd);
            peers_.erase(w.at(1));
        } else if (op == "send" || op == "hex") {
            SendRaw(peers_.at(w.at(1)).fd, op == "hex", w);
        } else if (op == "expect") {
            Check(Next(peers_.at(w.at(1))), Words(w.begin() + 2, w.end()));
        } else if (op == "quiet") {
            Barrier();
            lapid_->Control("counters");  // answered after what came before was written
            const Peer &p = peers_.at(w.at(1));
            pollfd pfd{p.client >= 0 ? LAPI_GetAsyncSocketFd(p.client) : p.fd, POLLIN, 0};
            EXPECT_EQ(::poll(&pfd, 1, 0), 0) << "a message arrived";
        } else if (op == "closed") {
            char buf[4096];
            const int fd = peers_.at(w.at(1)).fd;
            EXPECT_TRUE(WaitUntil([&] {
                pollfd pfd{fd, POLLIN, 0};
                return ::poll(&pfd, 1, 100) == 1 && ::recv(fd, buf, sizeof buf, 0) <= 0;
            }));
        } else if (op == "log" && std::regex_match(w.at(1), std::regex("x[0-9]+"))) {
            Barrier();
            lapid_->Control("counters");  // answered after the lines before it were written
            const std::string log = lapid_->Log();
            std::size_t n = 0;
            for (std::size_t at = 0; (at = log.find(Join(w, 2), at)) != npos; ++at) {
                ++n;
            }
            EXPECT_EQ(n, std::stoul(w[1].substr(1))) << Join(w, 2) << " in:\n" << log;
        } else if (op == "log") {
            Barrier();
            EXPECT_TRUE(lapid_->WaitLog(Join(w, 1))) << Join(w, 1) << " not in:\n" << lapid_->Log();
        } else if (op == "ctl" || op == "poll") {
            Barrier();
            const std::string cmd = Join(w, 1);
            std::string answer;
            auto ok = [&] {
                answer = lapid_->Control(cmd);
                return want.empty() ? answer.ends_with("OK\n")
                       : regex      ? std::regex_search(answer, std::regex(want))
                                    : answer.find(want) != npos;
            };
            EXPECT_TRUE(op == "poll" ? WaitUntil(ok) : ok()) << cmd << " answered:\n" << answer;
        } else {
            throw std::invalid_argument("unknown step " + op);
        }
    }

    void Start(const std::string &want) {
        sent_ = 0;
        if (want.empty()) {
            ASSERT_TRUE(lapid_->Start()) << lapid_->Log();
        } else {
            lapid_->Spawn();
            ExpectExit(*lapid_, want);
        }
    }

    static void ExpectExit(Lapid &l, const std::string &want) {
        const std::size_t blank = want.find(' ');
        EXPECT_EQ(l.WaitExit(), std::stoi(want.substr(0, blank))) << l.Log();
        if (blank != npos) {
            EXPECT_NE(l.Log().find(want.substr(blank + 1)), npos) << l.Log();
        }
    }

    std::string PathOf(const std::string &p) const {
        return p[0] == '/' ? p : lapid_->Dir().File(p);
    }

    std::string Substitute(const std::string &word) const {
        const std::string label = word.substr(0, word.size() - 2);
        std::ostringstream s;
        s.precision(17);
        s << label << '=' << Get(last_, label);
        return s.str();
    }

    std::string GlobalIdOf(const std::string &word) const {
        const std::size_t at = word.find('$');
        const auto p = at == npos ? peers_.end() : peers_.find(word.substr(at + 1));
        const LAPI_CLIENT_NODE_S *node =
            p == peers_.end() ? nullptr : LAPI_CLI_GetClientNodeById(p->second.client);
        if (node == nullptr) {
            return word;
        }
        const int32_t gid = node->globalId;
        LAPI_CLI_PutClientNodeById(p->second.client);
        return word.substr(0, at) + std::to_string(gid);
    }

    // The attacker registers to learn the latest globalId and asks to bind each of the
    // four after it, over and over, until the honest registrations are done.
    void Attack(int honest, int wantFailures) {
        std::atomic<bool> done{false};
        std::atomic<uint64_t> tries{0}, bound{0};
        std::thread attacker([&] {
            while (!done) {
                const int s = Dial();
                WriteAll(s, Msg("registerReq service=1"));
                const std::optional<Bytes> rsp = ReadMsg(s);
                ::close(s);
                const auto gid = rsp ? static_cast<int64_t>(Get(*rsp, "globalId")) : 0;
                for (int64_t k = 1; k <= 4; ++k, ++tries) {
                    const int a = Dial();
                    WriteAll(a, Msg("getAsyncFdReq globalId=" +
                                    std::to_string(static_cast<int32_t>(gid + k))));
                    bound += ReadMsg(a).has_value() ? 1U : 0U;
                    ::close(a);
                }
            }
        });
        EXPECT_TRUE(WaitUntil([&] { return tries > 0; }));
        int failures = 0;
        for (int i = 0; i < honest; ++i) {
            const int id = LAPI_RegisterClient(1);
            failures += id < 0 || LAPI_UnregisterClient(id) != 0 ? 1 : 0;
        }
        done = true;
        attacker.join();
        std::printf("attack: %d registrations, %d failed; %llu guesses, %llu bound\n", honest,
                    failures, static_cast<unsigned long long>(tries.load()),
                    static_cast<unsigned long long>(bound.load()));
        EXPECT_EQ(failures, wantFailures);
        EXPECT_EQ(bound, 0U);
    }

    static int Dial() {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", LAPI_SOCKET_PATH);
        return ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 ? fd : -1;
    }

    void CallLibrary(Peer &p, const std::string &name, Bytes req) {
        const Call call = kCalls.at(name);
        sent_ += 1;
        if (req.size() > 9 && req[8] == LAPI_BLOCK && name != "locationNotificationCfm") {
            p.blocked = std::async(std::launch::async, [call, req, id = p.client]() mutable {
                Bytes rsp(LAPI_ASYNC_MSG_BUF_LEN);
                return std::make_pair(call(id, LAPI_BLOCK, req.data(), rsp.data()), rsp);
            });
        } else {
            EXPECT_EQ(call(p.client, LAPI_NONBLOCK, req.data(), nullptr), 0);
        }
    }

    // Counts only single whole messages of the catalogue length: lapid may stop reading
    // a flood, and refuses a message that announces another length.
    void SendRaw(int fd, bool hex, const Words &w) {
        const bool repeat = w.at(2)[0] == 'x';
        const std::size_t from = repeat ? 3 : 2;
        const Bytes one = hex ? FromHex(Join(w, from)) : Msg(Join(w, from));
        Bytes all;
        for (std::size_t n = repeat ? std::stoul(w[2].substr(1)) : 1; n > 0; --n) {
            all.insert(all.end(), one.begin(), one.end());
        }
        const bool whole = !hex && !repeat && Join(w, from).find("msgLen=") == npos;
        const ssize_t n = ::send(fd, all.data(), all.size(), MSG_NOSIGNAL);
        if (whole) {
            EXPECT_EQ(n, static_cast<ssize_t>(all.size()));
            sent_ += 1;
        }
    }

    Bytes Next(Peer &p) {
        if (p.blocked.valid()) {
            if (p.blocked.wait_for(10s) != std::future_status::ready) {
                throw std::runtime_error("no answer to the blocking call");
            }
            auto [rc, rsp] = p.blocked.get();
            return rc == 0 ? Whole(rsp) : throw std::runtime_error("the blocking call failed");
        }
        if (p.client < 0) {
            auto m = ReadMsg(p.fd);
            return m ? *m : throw std::runtime_error("no message on the raw connection");
        }
        pollfd pfd{LAPI_GetAsyncSocketFd(p.client), POLLIN, 0};
        Bytes msg(LAPI_ASYNC_MSG_BUF_LEN);
        if (::poll(&pfd, 1, 10000) != 1 || LAPI_GetAsyncMsg(p.client, msg.data()) != 0) {
            throw std::runtime_error("no message on the async connection");
        }
        return Whole(msg);
    }

    void Check(const Bytes &m, const Words &checks) {
        last_ = m;
        ASSERT_EQ(NameOf(m), checks.at(0)) << Hex(m);
        for (std::size_t i = 1; i < checks.size(); ++i) {
            const std::string &c = checks[i];
            const std::size_t eq = c.find('=');
            const std::string label = c.substr(0, eq);
            if (label[0] == '@') {
                const Bytes bytes = FromHex(c.substr(eq + 1));
                const std::size_t at = std::stoul(label.substr(1));
                ASSERT_LE(at + bytes.size(), m.size()) << c;
                EXPECT_EQ(Hex(Bytes(m.data() + at, m.data() + at + bytes.size())), Hex(bytes)) << c;
                continue;
            }
            const std::size_t tilde = c.find('~');
            const double value = std::stod(c.substr(eq + 1, tilde - eq - 1));
            const double tolerance = tilde == npos ? 1e-6 : std::stod(c.substr(tilde + 1));
            EXPECT_NEAR(Get(m, label), value, tolerance) << label;
        }
    }

    void Barrier() {
        std::string counters;
        EXPECT_TRUE(WaitUntil([&] {
            counters = lapid_->Control("counters");
            const std::size_t at = counters.find("messages_in ");
            return at != npos && std::stoull(counters.substr(at + 12)) >= sent_;
        })) << sent_
            << " messages sent, lapid counts:\n"
            << counters;
    }

    static constexpr std::size_t npos = std::string::npos;
    std::string file_;
    std::unique_ptr<Lapid> lapid_;
    int held_ = -1;  // the test's listening socket (step listen)
    std::map<std::string, Peer> peers_;
    Bytes last_;
    uint64_t sent_ = 0;  // messages sent to the running lapid
};

class ScenarioTest : public ::testing::Test {
  public:
    explicit ScenarioTest(std::string file) : file_(std::move(file)) {}
    void TestBody() override { Scenario(file_).Run(); }

  private:
    std::string file_;
};

}  // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SCENARIO.txt...\n", argv[0]);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string file = argv[i];
        ::testing::RegisterTest("lapid", file.substr(0, file.find('.')).c_str(), nullptr, nullptr,
                                __FILE__, __LINE__,
                                [file]() -> ::testing::Test * { return new ScenarioTest(file); });
    }
    return RUN_ALL_TESTS();
}
