// The position source that takes fixes from a gpsd daemon through libgps.
//
// Connection. gps_open() resolves the host and connects with blocking calls, so each
// attempt runs on a short-lived worker thread that hands the opened connection back and
// wakes the loop through an eventfd; the loop never waits for it. Fd() is an epoll
// descriptor of the source's own that holds the eventfd and, while connected, the gpsd
// socket: one descriptor for the whole life of the source, whatever the connection
// does, so the loop never has to re-arm its watch (nor unwatch a number that a closed
// socket gave back and someone else reused). The destructor joins an attempt that has
// finished; one still running (a host that drops packets holds connect() until the
// kernel gives up, minutes later) is left to end on its own, so that stopping lapid
// never waits for it: the worker owns everything it touches (its Attempt, with a
// descriptor of its own for the wake-up) and frees it when it ends.
//
// Back-off. A failed attempt or a lost connection is followed by a new attempt after
// kFirstRetryMs, doubling up to kMaxRetryMs; a connection that succeeds resets it. The
// waits run on the loop clock through NextDeadlineMs()/Tick(), so they follow a manual
// clock too. The first attempt is due at construction.
//
// Demand. gpsd streams reports only while SetDemand(true) holds: the source then sends
// ?WATCH with enable true (JSON), and with enable false when the demand goes, keeping
// the connection open, so that gpsd can let the receiver sleep. A connection made
// while demand holds starts watching at once. libgps sends the command with write(),
// so the process ignores SIGPIPE (lapid does) lest a gpsd gone away end it.
//
// Reading. The socket is non-blocking; OnReadable() reads complete reports with
// gps_read() until none is left, at most kMaxReportsPerWake each time; when it stops
// at that bound, NextDeadlineMs() is due at once and Tick() reads on. (gps_waiting()
// is not used: it select()s on the socket, which overruns its fd_set for a descriptor
// at FD_SETSIZE or above, and lapid may hold more descriptors than that.)
//
// Fix state. Not connected or not watching: kNoFix. Watching, no fix since the watch
// started: kAcquiring. A TPV report with mode >= 2 and a finite position: kFix, and a
// Fix. Any other TPV after a fix: kNoFix (the fix is lost) until the next fix.
//
// Fix fields (TPV): latitude, longitude; altitude altMSL, else altHAE, else 0; speed
// (else 0); course, travelDirection and pointingDirection all track (else 0);
// horizontalAccuracy and latLonAccuracy eph, else sqrt(epx^2 + epy^2), else
// kUnknownAccuracyM; verticalAccuracy epv, else kUnknownAccuracyM; timeStampMs the
// report's time (the clock's wall time when it has none); monoMs the clock's time at
// reading; locationMethod kMethodGnss. SKY reports give the satellites in view and
// used, kept for Details() (0 while not watching).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "domain/clock.h"
#include "domain/fix.h"
#include "domain/result.h"
#include "domain/sources/position_source.h"

struct gps_data_t;

namespace lapid {

struct GpsdConfig {
    std::string host = "localhost";
    uint16_t port = 2947;
};

class GpsdSource final : public PositionSource {
  public:
    static constexpr int64_t kFirstRetryMs = 500;
    static constexpr int64_t kMaxRetryMs = 8000;
    static constexpr int kMaxReportsPerWake = 64;
    static constexpr std::size_t kMaxQueuedFixes = 64;
    // The accuracy given for one that gpsd did not report (metres): large, so that a
    // request for a given accuracy is not met by a fix whose accuracy nobody knows.
    static constexpr double kUnknownAccuracyM = 1000;

    enum class Link { kDisconnected, kConnecting, kConnected };

    // A source that has not yet tried to connect, or the error when its descriptors
    // cannot be made.
    static Result<std::unique_ptr<GpsdSource>> Create(const Clock &clock, GpsdConfig config);
    ~GpsdSource() override;
    GpsdSource(const GpsdSource &) = delete;
    GpsdSource &operator=(const GpsdSource &) = delete;

    const char *Name() const override { return "gpsd"; }
    int Fd() const override { return epfd_; }
    void OnReadable() override;
    void Tick(int64_t nowMonoMs) override;
    int64_t NextDeadlineMs() const override;
    std::optional<Fix> LatestFix() const override;
    FixState State() const override { return state_; }
    std::vector<Fix> TakeNewFixes() override;
    void SetDemand(bool wanted) override;
    std::vector<SourceNotice> TakeNotices() override;
    std::vector<SourceDetail> Details() const override;

    Link Connection() const { return link_; }
    bool Watching() const { return watching_; }
    int SatellitesVisible() const { return satellitesVisible_; }
    int SatellitesUsed() const { return satellitesUsed_; }
    uint64_t Reports() const { return reports_; }
    // "HOST:PORT" ("[HOST]:PORT" for an IPv6 address).
    const std::string &Server() const { return server_; }

  private:
    struct GpsDeleter {
        void operator()(gps_data_t *data) const;
    };
    using Gps = std::unique_ptr<gps_data_t, GpsDeleter>;

    GpsdSource(const Clock &clock, GpsdConfig config, int epfd, int wakeFd);
    void StartAttempt();
    void FinishAttempt();
    void Lose(const std::string &reason);
    void Watch(bool on);
    void ReadReports();
    void OnReport(const char *line);
    void OnPosition();
    void Note(bool failure, std::string text);

    const Clock &clock_;
    GpsdConfig config_;
    std::string server_;
    int epfd_;
    int wakeFd_;

    // One connection attempt, shared by the loop and its worker: the worker may outlive
    // the source (see the destructor), so it touches nothing but this.
    struct Attempt {
        explicit Attempt(int wake) : wakeFd(wake) {}
        ~Attempt();
        Attempt(const Attempt &) = delete;
        Attempt &operator=(const Attempt &) = delete;
        Gps data;
        int wakeFd;      // a duplicate of the source's eventfd, owned by the attempt
        int status = 0;  // gps_open()'s result and errno
        int err = 0;
        std::atomic<bool> done{false};
    };

    Link link_ = Link::kDisconnected;
    Gps gps_;  // the open connection
    std::shared_ptr<Attempt> attempt_;
    std::thread worker_;
    int64_t nextAttemptMs_;
    int64_t retryMs_ = kFirstRetryMs;
    bool unreachableNoted_ = false;  // "cannot reach" logged since the last connection

    bool demand_ = false;
    bool watching_ = false;
    bool readPending_ = false;  // reports may wait in libgps's buffer
    int64_t readPendingSinceMs_ = 0;
    FixState state_ = FixState::kNoFix;
    std::optional<Fix> latest_;
    std::vector<Fix> queue_;
    std::vector<SourceNotice> notices_;
    int satellitesVisible_ = 0;
    int satellitesUsed_ = 0;
    uint64_t reports_ = 0;
    char line_[4096] = {};
};

}  // namespace lapid
