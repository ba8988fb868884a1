// The gpsd position source against a fake gpsd on a loopback TCP port, on a ManualClock:
// reports to fixes and states, and the watch following the demand (the table in
// tests/data/server/gpsd_reports.txt); back-off, one log line for a gpsd that is not
// there, reconnection after a lost connection. Every wait is a bounded poll.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "receiver/gpsd_source.h"
#include "testkit.h"

namespace {

using namespace lapid;
using Link = GpsdSource::Link;
using testing::Test;

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 10000) == 1;
}

// A TCP socket on 127.0.0.1 that refuses connections until it listens, then plays gpsd
// for the one connection it accepts: a VERSION line, then the lines the test sends.
class FakeGpsd {
  public:
    FakeGpsd() {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr *>(&a), len), 0);
        EXPECT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len), 0);
        port = ntohs(a.sin_port);
    }
    ~FakeGpsd() {
        Close();
        ::close(listener_);
    }
    void Listen() { EXPECT_EQ(::listen(listener_, 4), 0); }
    void Accept() {
        ASSERT_TRUE(Readable(listener_));
        peer_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        Send(
            R"({"class":"VERSION","release":"3.22","rev":"3.22","proto_major":3,"proto_minor":14})");
    }
    void Send(const std::string &line) {
        const std::string l = line + "\n";
        ASSERT_EQ(::write(peer_, l.data(), l.size()), static_cast<ssize_t>(l.size()));
    }
    // What the source sent (one command comes in one piece); empty when nothing comes.
    std::string Received() {
        char buf[512];
        const ssize_t n = Readable(peer_) ? ::read(peer_, buf, sizeof buf) : 0;
        return std::string(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    void Close() { ::close(std::exchange(peer_, -1)); }
    int Listener() const { return listener_; }
    uint16_t port = 0;

  private:
    int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int peer_ = -1;
};

struct Rig {
    // Until the source leaves `link` (or reads one more report): it handles what its
    // descriptor reports, once it reports something.
    void WakeWhile(Link link, uint64_t reports = UINT64_MAX) {
        while ((src->Connection() == link || src->Reports() == reports) &&
               !Test::HasFatalFailure()) {
            ASSERT_TRUE(Readable(src->Fd()));
            src->OnReadable();
            for (const SourceNotice &n : src->TakeNotices()) {
                log.push_back((n.failure ? "! " : "") + n.text);
            }
        }
    }
    // A connection attempt due now, up to its outcome.
    void Attempt() {
        src->Tick(clock.MonoMs());
        WakeWhile(Link::kConnecting);
    }
    void Connect() {
        Attempt();
        ASSERT_EQ(src->Connection(), Link::kConnected);
        gpsd.Accept();
        WakeWhile(Link::kConnecting, src->Reports());  // the VERSION line
    }
    void Report(const std::string &line) {
        gpsd.Send(line);
        WakeWhile(Link::kConnecting, src->Reports());
    }

    ManualClock clock;
    FakeGpsd gpsd;
    std::unique_ptr<GpsdSource> src = *GpsdSource::Create(clock, {"127.0.0.1", gpsd.port});
    std::vector<std::string> log;  // notices, "! " before failures
};

double FixField(const Fix &f, const std::string &key) {
    const std::map<std::string, double> fields = {
        {"latitude", f.latitude},
        {"longitude", f.longitude},
        {"altitude", f.altitude},
        {"speed", f.speed},
        {"course", f.course},
        {"travelDirection", f.travelDirection},
        {"pointingDirection", f.pointingDirection},
        {"horizontalAccuracy", f.horizontalAccuracy},
        {"latLonAccuracy", f.latLonAccuracy},
        {"verticalAccuracy", f.verticalAccuracy},
        {"timeStampMs", static_cast<double>(f.timeStampMs)},
        {"locationMethod", f.locationMethod}};
    return fields.at(key);
}

TEST(GpsdSource, ReportsBecomeFixesAndTheWatchFollowsDemand) {
    Rig r;
    r.gpsd.Listen();
    r.Connect();
    const char *states[] = {"no-fix", "acquiring", "fix"};
    for (const std::string &line : lapitest::DataLines("server/gpsd_reports.txt")) {
        SCOPED_TRACE(line);
        const std::size_t arrow = line.find(" => ");
        const std::string what = line.substr(0, arrow);
        const bool demand = what.starts_with("demand ");
        demand ? r.src->SetDemand(what == "demand on") : r.Report(what);
        std::istringstream want(line.substr(arrow + 4));
        std::string state;
        want >> state;
        EXPECT_EQ(states[static_cast<int>(r.src->State())], state);
        EXPECT_EQ(r.src->LatestFix().has_value(), state == "fix");
        const std::vector<Fix> fixes = r.src->TakeNewFixes();
        ASSERT_EQ(fixes.size(), !demand && state == "fix" ? 1U : 0U);
        const std::vector<SourceDetail> shown = r.src->Details();
        const std::map<std::string, std::string> details(shown.begin(), shown.end());
        for (std::string w; want >> w;) {
            const std::string key = w.substr(0, w.find('=')), value = w.substr(w.find('=') + 1);
            if (key == "sent") {
                EXPECT_NE(r.gpsd.Received().find(value), std::string::npos) << value;
            } else if (details.count(key) != 0) {
                EXPECT_EQ(details.at(key), value) << key;
            } else {
                EXPECT_DOUBLE_EQ(FixField(fixes.at(0), key), std::stod(value)) << key;
            }
        }
    }
}

// gpsd not there: one log line for all the attempts, which wait 0.5 s doubling to 8 s.
// Then there: a connection; lost, a new one 0.5 s later, which watches again.
TEST(GpsdSource, BacksOffLogsOnceAndReconnects) {
    Rig r;
    const std::string at = "127.0.0.1:" + std::to_string(r.gpsd.port);
    for (const int64_t wait : {500, 1000, 2000, 4000, 8000, 8000}) {
        r.Attempt();
        EXPECT_EQ(r.src->NextDeadlineMs(), r.clock.MonoMs() + wait);
        r.clock.Advance(wait);
    }
    r.gpsd.Listen();
    r.Connect();
    r.src->SetDemand(true);
    EXPECT_NE(r.gpsd.Received().find(R"("enable":true)"), std::string::npos);
    r.Report(R"({"class":"TPV","mode":2,"lat":1,"lon":2})");
    EXPECT_EQ(r.src->State(), FixState::kFix);
    r.gpsd.Close();
    r.WakeWhile(Link::kConnected);
    EXPECT_EQ(r.src->State(), FixState::kNoFix);
    EXPECT_EQ(r.src->NextDeadlineMs(), r.clock.MonoMs() + 500);
    r.clock.Advance(500);
    r.Connect();
    EXPECT_NE(r.gpsd.Received().find(R"("enable":true)"), std::string::npos);
    EXPECT_EQ(r.src->State(), FixState::kAcquiring);
    EXPECT_EQ(r.log,
              (std::vector<std::string>{
                  "! gpsd: cannot reach " + at + ": can't connect to host/port pair, retrying",
                  "gpsd: connected to " + at, "gpsd: watching " + at,
                  "! gpsd: connection to " + at + " lost: gpsd closed the connection",
                  "gpsd: connected to " + at, "gpsd: watching " + at}));
}

// A listener whose accept queue is full drops new connections' SYNs, so connect() hangs
// for minutes: stopping the source must not wait for it (ctest's timeout is the bound).
TEST(GpsdSource, StopsAtOnceWhileAConnectHangs) {
    FakeGpsd full;
    ASSERT_EQ(::listen(full.Listener(), 0), 0);
    int queued[3];
    for (int &fd : queued) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{AF_INET, htons(full.port), {htonl(INADDR_LOOPBACK)}, {}};
        ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    }
    ManualClock clock;
    auto src = *GpsdSource::Create(clock, {"127.0.0.1", full.port});
    src->Tick(clock.MonoMs());
    EXPECT_EQ(src->Connection(), Link::kConnecting);
    src.reset();
    for (const int fd : queued) {
        ::close(fd);
    }
}

}  // namespace
