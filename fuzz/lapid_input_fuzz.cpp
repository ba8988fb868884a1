// libFuzzer target: lapid's input. The engine runs in this process on a ManualClock
// with its real domain objects (simulator source, GPS database in a temporary file);
// the fuzz input is a little program that drives it as the transport would.
//
// Program: one byte an operation, `op % 8` the kind and `(op / 8) % 4` the slot of
// the connection it acts on; some kinds take operand bytes after it.
//   0 open     a new connection in the slot (the one there before is closed)
//   1 feed N   the next N bytes (N = next byte) to the slot's connection in one piece
//   2 trickle N  the same, a byte at a time
//   3 close    the peer of the slot's connection goes away
//   4 advance  the clock by (next byte) * 50 ms, stopping at every deadline on the way
//   5 stall    the slot stops taking its output, or takes it again
//   6 status   the operator sets status field (next byte % 7) to the next byte - 128
//   7 mt-lr    the operator injects an MT-LR request (type and timeout from the next byte)
// After every call the harness acts as the transport: it takes what the engine wrote
// (checking that it is whole, known server messages) and closes what the engine wants
// closed. At the end every connection goes away, and the engine must hold nothing.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>

#include "LAPI_MsgCatalogue.h"
#include "LAPI_SrvCli.h"
#include "domain/gps_db.h"
#include "domain/sources/simulator.h"
#include "service/engine.h"

namespace {

using namespace lapid;

[[noreturn]] void Fail(const char *what, unsigned long long a = 0, unsigned long long b = 0) {
    std::fprintf(stderr, "lapid_input_fuzz: %s (%llu, %llu)\n", what, a, b);
    std::abort();
}

// Diagnostic lines are counted, never written: the fuzzer runs at full speed.
int Swallow(const char * /*line*/, size_t len) {
    return static_cast<int>(len);
}

// One GPS database for the whole run, emptied before every input so that each input
// starts from the same state. It lives in shared memory where there is one, so that
// its synchronous writes cost no disk flush.
struct Store {
    Store() {
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::string tmpl = (base / "lapid-fuzz-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            Fail("mkdtemp");
        }
        dir = tmpl;
        auto opened = GpsDb::Open(dir + "/gps.db");
        if (!opened) {
            Fail("GpsDb::Open");
        }
        db = std::move(*opened);
        if (sqlite3_open(std::string(dir + "/gps.db").c_str(), &raw) != SQLITE_OK) {
            Fail("sqlite3_open");
        }
    }
    ~Store() {
        sqlite3_close(raw);
        db.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;
    static Store &Get() {
        static Store s;
        return s;
    }
    void Empty() {
        if (sqlite3_exec(raw, "DELETE FROM gps_db_entry", nullptr, nullptr, nullptr) != SQLITE_OK) {
            Fail("emptying the GPS database");
        }
    }
    std::string dir;
    std::unique_ptr<GpsDb> db;
    sqlite3 *raw = nullptr;
};

class Reader {
  public:
    Reader(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
    bool More() const { return p_ < end_; }
    uint8_t Byte() { return p_ < end_ ? *p_++ : 0; }
    const uint8_t *Take(size_t &n) {
        n = std::min(n, static_cast<size_t>(end_ - p_));
        const uint8_t *at = p_;
        p_ += n;
        return at;
    }

  private:
    const uint8_t *p_;
    const uint8_t *end_;
};

constexpr int kSlots = 4;

class Run {
  public:
    Run()
        : sim_(*Simulator::Create(clock_, SimulatorConfig{})),
          engine_(clock_, Domain{sessions_, status_, mtlr_, proximity_, *Store::Get().db, sim_},
                  Limits(), 4242) {
        // globalIds 1, 2, ... instead of random ones: the same input, the same run.
        engine_.SetIdSource([n = uint32_t{0}]() mutable { return ++n; });
    }

    void Step(Reader &in) {
        const uint8_t op = in.Byte();
        const int slot = (op / 8) % kSlots;
        std::optional<ConnId> &conn = slots_[static_cast<size_t>(slot)];
        switch (op % 8) {
            case 0:
                if (conn) {
                    Close(*conn);
                }
                conn = engine_.Open();
                break;
            case 1:
            case 2: {
                size_t n = in.Byte();
                const uint8_t *bytes = in.Take(n);
                if (!conn) {
                    break;
                }
                if (op % 8 == 1) {
                    engine_.Receive(*conn, bytes, n);
                }
                for (size_t i = 0; op % 8 == 2 && i < n && open_.count(*conn) != 0; ++i) {
                    engine_.Receive(*conn, bytes + i, 1);
                    Pump();
                }
                break;
            }
            case 3:
                if (conn) {
                    Close(*conn);
                }
                break;
            case 4:
                Advance(int64_t{in.Byte()} * 50);
                break;
            case 5:
                if (conn && stalled_.erase(*conn) == 0) {
                    stalled_.insert(*conn);
                }
                break;
            case 6: {
                const uint8_t field = in.Byte();
                engine_.SetStatus(kStatusFields[field % std::size(kStatusFields)],
                                  int32_t{in.Byte()} - 128);
                break;
            }
            default: {
                const uint8_t b = in.Byte();
                MtlrRequest r;
                r.notificationType = b % 5;
                r.locationType = (b / 5) % 4;
                r.clientName = "fuzz";
                r.timeoutS = 1 + b % 40;
                engine_.InjectMtlr(r);
                break;
            }
        }
        Pump();
    }

    // Every connection goes away; the engine must then hold nothing at all.
    void Finish() {
        for (auto &conn : slots_) {
            if (conn) {
                Close(*conn);
            }
        }
        const Holdings h = engine_.Held();
        if (h.connections != 0 || h.clients != 0 || h.sessions != 0 || h.listeners != 0 ||
            h.pendingNotifications != 0 || engine_.ClientCount() != 0) {
            Fail("held after every connection closed", h.connections, h.clients);
        }
    }

  private:
    static EngineLimits Limits() {
        EngineLimits l;
        l.maxBacklog = 2048;  // small, so that a stalled reader is reached
        l.maxInputBytes = 1024;
        return l;
    }

    void Close(ConnId id) {
        if (open_.erase(id) != 0) {
            engine_.Closed(id);
        }
        for (auto &conn : slots_) {
            if (conn == id) {
                conn.reset();
            }
        }
        Pump();
    }

    // The transport's part: write what is pending, close what is to be closed.
    void Pump() {
        for (std::vector<ConnId> t; !(t = engine_.TakeTouched()).empty();) {
            for (const ConnId id : t) {
                if (stalled_.count(id) == 0) {
                    const auto p = engine_.Pending(id);
                    Check(id, p.data(), p.size());
                    engine_.Consume(id, p.size());
                }
                if (engine_.WantsClose(id)) {
                    open_.erase(id);
                    engine_.Closed(id);
                    for (auto &conn : slots_) {
                        if (conn == id) {
                            conn.reset();
                        }
                    }
                }
            }
        }
        for (const auto &conn : slots_) {
            if (conn) {
                open_.insert(*conn);
            }
        }
    }

    // What the engine writes is a stream of whole server messages, each exactly as long
    // as the catalogue says.
    void Check(ConnId id, const uint8_t *p, size_t n) {
        std::string &part = partial_[id];
        part.append(reinterpret_cast<const char *>(p), n);
        while (part.size() >= lapi::cat::kHeaderLen) {
            const LAPI_MSG_HEADER_S h = lapi::wire::LoadHeader(part.data());
            const lapi::cat::Msg *m = lapi::cat::Find(h.msgId);
            if (m == nullptr || !m->fromServer || h.msgLen != m->msgLen || h.pid != 4242) {
                Fail("the engine wrote a malformed message", h.msgId, h.msgLen);
            }
            if (part.size() < lapi::cat::kHeaderLen + h.msgLen) {
                break;
            }
            part.erase(0, lapi::cat::kHeaderLen + h.msgLen);
        }
    }

    // As the event loop does on a manual clock: fire every deadline on the way.
    void Advance(int64_t ms) {
        const int64_t target = clock_.MonoMs() + ms;
        std::optional<int64_t> firedAt;
        for (std::optional<int64_t> d;
             (d = engine_.NextDeadlineMs()) && *d <= target && !(firedAt && *d <= *firedAt);) {
            clock_.Advance(std::max<int64_t>(0, *d - clock_.MonoMs()));
            firedAt = clock_.MonoMs();
            engine_.OnTime();
            Pump();
        }
        clock_.Advance(target - clock_.MonoMs());
        engine_.OnTime();
    }

    ManualClock clock_;
    Simulator sim_;
    LocationSessions sessions_{clock_};
    StatusModel status_;
    MtlrNotifications mtlr_{clock_};
    ProximityListeners proximity_;
    Engine engine_;
    std::array<std::optional<ConnId>, kSlots> slots_;
    std::set<ConnId> open_, stalled_;
    std::map<ConnId, std::string> partial_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = [] {
        LAPI_LogApMsgInit();
        LAPI_SetLineSink(&Swallow);
        return true;
    }();
    (void)ready;
    Store::Get().Empty();
    Reader in(data, size);
    Run run;
    while (in.More()) {
        run.Step(in);
    }
    run.Finish();
    return 0;
}
