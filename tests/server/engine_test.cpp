// The engine with its whole domain on a ManualClock, driven by the scenario files in
// tests/data/server/. Each line is one step; every message the engine writes must be
// claimed by a step before the scenario ends.
//
//   scenario NAME [ttff=MS] [backlog=N] [maxinput=N] [regtimeout=MS] [total=N] [peruid=N]
//                 [sleepy=1]
//                           a fresh engine; its random numbers 2^31 + 0, 1, 2, ... give the
//                           globalIds 1, 2, 3, ... (the low 31 bits, 0 skipped); sleepy: the
//                           simulator behind a receiver that sleeps without demand
//   open c1 c2@PID:UID      new connections (peer pid and uid 0 unless told)
//   c1 > MSG [| MSG]      messages (testkit Msg) in one Receive(); `>1` byte by byte
//   c1 >hex HEX             raw bytes
//   c1 < NAME label=V ...   the next message written on c1 and chosen fields (V~TOL)
//   c1 <= MSG              the next message, byte for byte
//   c1 closed | alive       the engine closed c1 / did not
//   c1 stall | read | bye   stop reading, read again, the peer goes away
//   ctl CMD / ctl? CMD      a control command that must answer OK / any answer
//   = LINE                  a line of the last control answer
//   advance MS              the control command `advance`: timers fire on the way
//   late MS                 the clock moves MS, then one late OnTime()
//   readable MS             the clock moves MS, then the source's descriptor is readable
//                           (the sleepy source then reads what its receiver has)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "operator/control.h"
#include "transport/event_loop.h"
#include "service/engine.h"
#include "testkit.h"

namespace {

using namespace lapid;
using lapitest::Bytes;
constexpr int32_t kServerPid = 4242;

std::map<std::string, int64_t> Options(std::istringstream &in) {
    std::map<std::string, int64_t> o;
    for (std::string w; in >> w;) {
        o[w.substr(0, w.find('='))] = std::stoll(w.substr(w.find('=') + 1));
    }
    return o;
}

SimulatorConfig SimConfig(const std::map<std::string, int64_t> &o) {
    SimulatorConfig c;  // the first fix 3000 ms after the start unless told otherwise
    c.timeToFirstFixMs = o.count("ttff") ? o.at("ttff") : c.timeToFirstFixMs;
    return c;
}

EngineLimits Limits(const std::map<std::string, int64_t> &o) {
    EngineLimits l;
    auto get = [&](const char *k, auto dflt) { return o.count(k) ? o.at(k) : dflt; };
    l.maxBacklog = static_cast<std::size_t>(get("backlog", int64_t{262144}));
    l.maxInputBytes = static_cast<std::size_t>(get("maxinput", int64_t{65536}));
    l.registerTimeoutMs = get("regtimeout", int64_t{5000});
    l.maxTotalBacklog = static_cast<std::size_t>(get("total", int64_t{64} << 20));
    l.maxConnsPerUid = static_cast<std::size_t>(get("peruid", int64_t{1024}));
    return l;
}

// A receiver that sleeps while nobody needs fixes, as gpsd's does: no fix while asleep,
// acquiring after it wakes until the simulator's next fix.
class SleepySource final : public PositionSource {
  public:
    SleepySource(Simulator &sim, const Clock &clock) : sim_(sim), clock_(clock) {}
    const char *Name() const override { return "sleepy"; }
    void OnReadable() override { sim_.Tick(clock_.MonoMs()); }
    void SetDemand(bool wanted) override {
        awake_ = wanted;
        fixed_ = false;
    }
    void Tick(int64_t nowMonoMs) override { sim_.Tick(nowMonoMs); }
    int64_t NextDeadlineMs() const override { return sim_.NextDeadlineMs(); }
    std::optional<Fix> LatestFix() const override {
        return fixed_ ? sim_.LatestFix() : std::nullopt;
    }
    FixState State() const override {
        return !awake_ ? FixState::kNoFix : fixed_ ? sim_.State() : FixState::kAcquiring;
    }
    std::vector<Fix> TakeNewFixes() override {
        std::vector<Fix> f = sim_.TakeNewFixes();
        fixed_ = awake_ && (fixed_ || !f.empty());
        return awake_ ? f : std::vector<Fix>{};
    }

  private:
    Simulator &sim_;
    const Clock &clock_;
    bool awake_ = false, fixed_ = false;
};

struct Harness {
    explicit Harness(const std::map<std::string, int64_t> &o)
        : sim(*Simulator::Create(clock, SimConfig(o))),
          db(*GpsDb::Open(dir.File("gps.db"))),
          engine(clock,
                 Domain{sessions, status, mtlr, proximity, *db,
                        o.count("sleepy") ? static_cast<PositionSource &>(sleepy) : sim},
                 Limits(o), kServerPid) {
        engine.SetIdSource([n = 0U]() mutable { return 0x80000000U + n++; });
        loop.AddTimer([this] { return engine.NextDeadlineMs(); }, [this] { engine.OnTime(); });
        op.SetClockControl([this](int64_t ms) { return AdvanceManualClock(loop, clock, ms); });
    }
    // The transport: takes what the engine wrote and closes what it wants closed.
    void Pump() {
        for (std::vector<ConnId> t; !(t = engine.TakeTouched()).empty();) {
            for (ConnId id : t) {
                if (!stalled.count(id)) {
                    Take(id);
                }
                if (engine.WantsClose(id)) {
                    closed.insert(id);
                    engine.Closed(id);
                }
            }
        }
    }
    void Take(ConnId id) {
        const auto p = engine.Pending(id);
        in[id].insert(in[id].end(), p.begin(), p.end());
        engine.Consume(id, p.size());
    }
    std::optional<Bytes> Next(ConnId id) {
        Bytes &b = in[id];
        if (b.size() < 8) {
            return std::nullopt;
        }
        const std::size_t n = 8u + static_cast<std::size_t>(b[6] | b[7] << 8);
        Bytes m(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(n, b.size())));
        b.erase(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(m.size()));
        return m;
    }

    ManualClock clock;
    Simulator sim;
    SleepySource sleepy{sim, clock};
    LocationSessions sessions{clock};
    StatusModel status;
    MtlrNotifications mtlr{clock};
    ProximityListeners proximity;
    lapitest::TempDir dir;
    std::unique_ptr<GpsDb> db;
    Engine engine;
    Operator op{engine, &sim};
    ControlCommands commands{op};
    EventLoop loop{clock};
    std::map<std::string, ConnId> conn;
    std::map<ConnId, Bytes> in;
    std::set<ConnId> stalled, closed;
};

Bytes Messages(const std::string &text) {
    Bytes all;
    std::istringstream in(text);
    for (std::string desc; std::getline(in, desc, '|');) {
        const Bytes m = lapitest::Msg(desc);
        all.insert(all.end(), m.begin(), m.end());
    }
    return all;
}

void ExpectMessage(const Bytes &m, std::istringstream &in) {
    std::string name;
    in >> name;
    ASSERT_EQ(lapitest::NameOf(m), name) << lapitest::Hex(m);
    EXPECT_EQ(m.size(), lapitest::Msg(name).size());
    EXPECT_EQ(m[0] | m[1] << 8 | m[2] << 16 | m[3] << 24, kServerPid);
    for (std::string w; in >> w;) {
        const std::size_t eq = w.find('='), tilde = w.find('~');
        const double want = std::stod(w.substr(eq + 1));
        const double tol = tilde == std::string::npos ? 0 : std::stod(w.substr(tilde + 1));
        EXPECT_NEAR(lapitest::Get(m, w.substr(0, eq)), want, tol) << w;
    }
}

void Step(std::unique_ptr<Harness> &h, std::string &ctlAnswer, const std::string &line) {
    std::istringstream in(line);
    std::string a, b;
    in >> a;
    if (a == "scenario") {
        in >> b;
        h = std::make_unique<Harness>(Options(in));
        return;
    }
    ASSERT_TRUE(h) << "no scenario";
    std::string rest;
    if (a == "open") {
        while (in >> b) {
            const std::size_t at = b.find('@');
            PeerCred peer;
            std::sscanf(b.c_str() + std::min(at, b.size()), "@%d:%u", &peer.pid, &peer.uid);
            h->conn[b.substr(0, at)] = h->engine.Open(peer);
        }
    } else if (a == "ctl" || a == "ctl?") {
        std::getline(in, rest);
        ctlAnswer = h->commands.Execute(rest);
        if (a == "ctl") {
            EXPECT_TRUE(ctlAnswer.ends_with("OK\n")) << ctlAnswer;
        }
    } else if (a == "=") {
        std::getline(in >> std::ws, rest);
        EXPECT_NE(("\n" + ctlAnswer).find("\n" + rest + "\n"), std::string::npos) << ctlAnswer;
    } else if (a == "advance") {
        in >> b;
        const int64_t want = h->clock.MonoMs() + std::stoll(b);
        EXPECT_EQ(h->commands.Execute("advance " + b), "clock " + std::to_string(want) + "\nOK\n");
    } else if (a == "readable") {
        in >> b;
        h->clock.Advance(std::stoll(b));
        h->engine.OnSourceReadable();
    } else if (a == "late") {
        in >> b;
        h->clock.Advance(std::stoll(b));
        h->engine.OnTime();
    } else {
        ASSERT_TRUE(h->conn.count(a)) << "unknown connection " << a;
        const ConnId id = h->conn[a];
        in >> b;
        std::getline(in >> std::ws, rest);
        if (b == ">" || b == ">1" || b == ">hex") {
            const Bytes bytes = b == ">hex" ? lapitest::FromHex(rest) : Messages(rest);
            for (std::size_t i = 0, step = b == ">1" ? 1 : bytes.size(); i < bytes.size();
                 i += step) {
                h->engine.Receive(id, bytes.data() + i, step);
            }
        } else if (b == "<" || b == "<=") {
            const std::optional<Bytes> m = h->Next(id);
            ASSERT_TRUE(m) << "nothing written on " << a;
            std::istringstream want(rest);
            if (b == "<") {
                ExpectMessage(*m, want);
            } else {
                EXPECT_EQ(lapitest::Hex(*m), lapitest::Hex(lapitest::Msg(rest + " pid=4242")));
            }
        } else if (b == "closed" || b == "alive") {
            EXPECT_EQ(h->closed.count(id), b == "closed" ? 1u : 0u);
        } else if (b == "stall") {
            h->stalled.insert(id);
        } else if (b == "read") {
            h->stalled.erase(id);
            h->Take(id);
        } else if (b == "bye") {
            h->engine.Closed(id);
        } else {
            FAIL() << "unknown step";
        }
    }
    h->Pump();
}

void ExpectAllRead(const Harness *h) {
    for (const auto &[name, id] : h ? h->conn : std::map<std::string, ConnId>{}) {
        const auto it = h->in.find(id);
        EXPECT_TRUE(it == h->in.end() || it->second.empty()) << "unread on " << name;
    }
}

class Scenario : public testing::TestWithParam<const char *> {};

TEST_P(Scenario, Runs) {
    std::unique_ptr<Harness> h;
    std::string ctlAnswer, name;
    for (const std::string &line :
         lapitest::DataLines(std::string("server/") + GetParam() + ".txt")) {
        SCOPED_TRACE(name + ": " + line);
        if (line.starts_with("scenario ")) {
            ExpectAllRead(h.get());
            name = line;
        }
        Step(h, ctlAnswer, line);
        if (HasFatalFailure()) {
            return;
        }
    }
    ExpectAllRead(h.get());
}

// A control line of kMaxLine bytes (its newline not counted) runs; one byte more is
// refused and ends the session, whether it comes in one piece or many.
TEST(ControlSession, LineLimitHoweverTheBytesArrive) {
    Harness h({});
    constexpr std::size_t kMax = ControlSession::kMaxLine;
    const std::pair<std::size_t, std::size_t> cases[] = {
        // line length, bytes per piece
        {kMax, 1},        {kMax, kMax},     {kMax, 9000}, {kMax + 1, 1},
        {kMax + 1, kMax}, {kMax + 1, 9000}, {8000, kMax}, {8000, 9000}};
    for (const auto &[length, piece] : cases) {
        ControlSession session(h.commands);
        std::string text = "clients";
        text.resize(length, ' ');
        text += "\nclients\n";
        std::string answer;
        for (std::size_t i = 0; i < text.size(); i += piece) {
            answer += session.Feed(text.data() + i, std::min(piece, text.size() - i));
        }
        const bool fits = length <= kMax;
        EXPECT_EQ(answer, fits ? "OK\nOK\n" : "ERR line too long\n") << length << "/" << piece;
        EXPECT_EQ(session.Ended(), !fits) << length << "/" << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(Lapid, Scenario,
                         testing::Values("registration", "requests", "sessions", "mtlr",
                                         "proximity", "status", "gpsdb", "control"));

}  // namespace
