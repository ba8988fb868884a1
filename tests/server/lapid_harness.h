// A lapid engine with its whole domain layer on a ManualClock, driven without sockets:
// tests feed bytes into connections and read back the whole messages the engine wrote
// on each one, and which connections it closed.
#pragma once

#include <lapi/lapi.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/location_sessions.h"
#include "core/mtlr.h"
#include "core/proximity.h"
#include "core/status.h"
#include "proto/engine.h"
#include "sources/simulator.h"
#include "store/gps_db.h"

namespace lapidtest {

using Bytes = std::vector<uint8_t>;
using lapid::ConnId;

inline constexpr double kStartLat = 52.520008;
inline constexpr double kStartLon = 13.404954;

// A packed field as a plain value: gtest's comparisons take references, which must
// not bind to a field of a packed record.
template <typename T>
T Val(T v) {
    return v;
}

// A packed record as bytes, and back.
template <typename T>
Bytes ToBytes(const T &rec) {
    Bytes b(sizeof rec);
    std::memcpy(b.data(), &rec, sizeof rec);
    return b;
}

template <typename T>
T As(const Bytes &b) {
    T rec{};
    EXPECT_EQ(b.size(), sizeof rec) << "message of an unexpected length";
    std::memcpy(&rec, b.data(), std::min(b.size(), sizeof rec));
    return rec;
}

inline uint16_t MsgIdOf(const Bytes &b) {
    uint16_t id = 0;
    std::memcpy(&id, b.data() + 4, 2);
    return id;
}

inline LAPI_MSG_HEADER_S Header(uint16_t msgId, uint16_t msgLen, int32_t pid = 4242) {
    LAPI_MSG_HEADER_S h{};
    h.pid = pid;
    h.msgId = msgId;
    h.msgLen = msgLen;
    return h;
}

// A request record with its header (catalogue length) and mode filled in.
template <typename T>
T Request(uint16_t msgId, uint8_t mode, uint8_t sessionId = 7, uint8_t transactionId = 9) {
    T r{};
    r.header = Header(msgId, static_cast<uint16_t>(sizeof(T) - 8));
    r.mode = mode;
    r.sessionId = sessionId;
    r.transactionId = transactionId;
    return r;
}

inline LAPI_GET_LOCATION_REQ_S LocationReq(uint8_t mode, int32_t responseTime, int32_t accuracy = 0,
                                           int32_t periodic = 0, int32_t interval = 0,
                                           uint8_t sessionId = 7) {
    auto r = Request<LAPI_GET_LOCATION_REQ_S>(LAPI_MSG_GET_LOCATION_REQ, mode, sessionId);
    r.responseTime = responseTime;
    r.horizontalAccuracy = accuracy;
    r.reportCriteria = periodic;
    r.interval = interval;
    return r;
}

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "lapid-test-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string File(const std::string &name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

struct TestClient {
    ConnId sync = 0;
    ConnId async = 0;
    int32_t globalId = 0;
};

class EngineHarness {
  public:
    explicit EngineHarness(lapid::EngineLimits limits = {}, int64_t ttffMs = 1000)
        : sim(clock, SimConfig(ttffMs)),
          sessions(clock),
          mtlr(clock),
          db(OpenDb(dir)),
          engine(clock, lapid::Domain{sessions, status, mtlr, proximity, *db, sim}, limits,
                 kServerPid) {}

    static constexpr int32_t kServerPid = 777;

    ConnId Connect() {
        const ConnId id = engine.Open();
        Pump();
        return id;
    }

    void Send(ConnId id, const Bytes &bytes) {
        engine.Receive(id, bytes.data(), bytes.size());
        Pump();
    }
    template <typename T>
    void SendRec(ConnId id, const T &rec) {
        Send(id, ToBytes(rec));
    }

    // Operator actions, followed by a pump like every other call.
    lapid::StatusSetResult SetStatus(std::string_view name, int32_t value) {
        lapid::StatusSetResult r = engine.SetStatus(name, value);
        Pump();
        return r;
    }
    lapid::InjectResult Inject(const lapid::MtlrRequest &req) {
        lapid::InjectResult r = engine.InjectMtlr(req);
        Pump();
        return r;
    }
    void PollSource() {
        engine.PollSource();
        Pump();
    }

    // The peer closes its end.
    void Hangup(ConnId id) {
        closed.insert(id);
        engine.Closed(id);
        Pump();
    }

    void Advance(int64_t ms) {
        // Step in small increments so every deadline on the way fires in order, as
        // the event loop would.
        for (int64_t left = ms; left > 0;) {
            const int64_t step = std::min<int64_t>(left, 100);
            clock.Advance(step);
            left -= step;
            engine.OnTime();
            Pump();
        }
    }

    // Moves everything the engine queued into the inboxes, except for connections in
    // `notReading`, and closes what the engine wants closed.
    void Pump() {
        for (std::vector<ConnId> ids; !(ids = engine.TakeTouched()).empty();) {
            for (ConnId id : ids) {
                if (notReading.count(id) == 0) {
                    auto data = engine.Pending(id);
                    raw[id].insert(raw[id].end(), data.begin(), data.end());
                    engine.Consume(id, data.size());
                    Split(id);
                }
                if (engine.WantsClose(id) && closed.count(id) == 0) {
                    closed.insert(id);
                    engine.Closed(id);
                }
            }
        }
    }

    // The whole messages written on `id` since the last call.
    std::vector<Bytes> Take(ConnId id) {
        std::vector<Bytes> out;
        out.swap(inbox[id]);
        return out;
    }
    // Exactly one message on `id`, nothing else.
    Bytes TakeOne(ConnId id) {
        std::vector<Bytes> got = Take(id);
        EXPECT_EQ(got.size(), 1u) << "messages on connection " << id;
        return got.empty() ? Bytes{} : got.front();
    }
    bool IsClosed(ConnId id) const { return closed.count(id) != 0; }

    TestClient Register(uint32_t services, int32_t pid = 4242) {
        TestClient c;
        c.sync = Connect();
        LAPI_REGISTER_REQ_S reg{};
        reg.header = Header(LAPI_MSG_REGISTER_REQ, 4, pid);
        reg.service = services;
        SendRec(c.sync, reg);
        const Bytes rsp = TakeOne(c.sync);
        EXPECT_EQ(MsgIdOf(rsp), LAPI_MSG_REGISTER_RSP);
        c.globalId = As<LAPI_REGISTER_RSP_S>(rsp).globalId;
        c.async = Connect();
        SendRec(c.async, AsyncReq(c.globalId, pid));
        EXPECT_EQ(MsgIdOf(TakeOne(c.async)), LAPI_MSG_GET_ASYNC_FD_RSP);
        return c;
    }

    static LAPI_GET_ASYNC_FD_REQ_S AsyncReq(int32_t globalId, int32_t pid = 4242) {
        LAPI_GET_ASYNC_FD_REQ_S r{};
        r.header = Header(LAPI_MSG_GET_ASYNC_FD_REQ, 4, pid);
        r.globalId = globalId;
        return r;
    }

    // Runs the clock until the simulator has its first fix.
    void UntilFix() {
        while (sim.State() != lapid::FixState::kFix) {
            Advance(100);
        }
    }

    lapid::ManualClock clock;
    TempDir dir;
    lapid::Simulator sim;
    lapid::LocationSessions sessions;
    lapid::StatusModel status;
    lapid::MtlrNotifications mtlr;
    lapid::ProximityListeners proximity;
    std::unique_ptr<lapid::GpsDb> db;
    lapid::Engine engine;
    std::set<ConnId> notReading;
    std::set<ConnId> closed;
    std::map<ConnId, std::vector<Bytes>> inbox;

  private:
    static lapid::SimulatorConfig SimConfig(int64_t ttffMs) {
        lapid::SimulatorConfig c;
        c.route = {lapid::Waypoint{kStartLat, kStartLon, 34.0}};
        c.speedMps = 0;
        c.loop = false;
        c.timeToFirstFixMs = ttffMs;
        return c;
    }
    static std::unique_ptr<lapid::GpsDb> OpenDb(const TempDir &d) {
        std::string error;
        auto db = lapid::GpsDb::Open(d.File("gpsdb.sqlite"), &error);
        if (!db) {
            throw std::runtime_error(error);
        }
        return db;
    }
    void Split(ConnId id) {
        Bytes &b = raw[id];
        std::size_t at = 0;
        while (b.size() - at >= 8) {
            uint16_t len = 0;
            std::memcpy(&len, b.data() + at + 6, 2);
            if (b.size() - at < 8u + len) {
                break;
            }
            const auto first = b.begin() + static_cast<std::ptrdiff_t>(at);
            inbox[id].emplace_back(first, first + 8 + len);
            at += 8u + len;
        }
        b.erase(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(at));
    }

    std::map<ConnId, Bytes> raw;
};

}  // namespace lapidtest
