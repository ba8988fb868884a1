#include "receiver/gpsd_source.h"

#include <fcntl.h>
#include <gps.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "domain/geodesy.h"

namespace lapid {

namespace {

double Or(double value, double fallback) {
    return std::isfinite(value) ? value : fallback;
}

std::string ErrnoText(int err) {
    return std::system_category().message(err);
}

const char *LinkName(GpsdSource::Link link) {
    switch (link) {
        case GpsdSource::Link::kConnecting:
            return "connecting";
        case GpsdSource::Link::kConnected:
            return "connected";
        case GpsdSource::Link::kDisconnected:
            break;
    }
    return "disconnected";
}

bool AddToEpoll(int epfd, int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return ::epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

}  // namespace

void GpsdSource::GpsDeleter::operator()(gps_data_t *data) const {
    if (data->privdata != nullptr) {  // opened
        gps_close(data);
    }
    delete data;
}

Result<std::unique_ptr<GpsdSource>> GpsdSource::Create(const Clock &clock, GpsdConfig config) {
    const int epfd = ::epoll_create1(EPOLL_CLOEXEC);
    const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epfd < 0 || wakeFd < 0 || !AddToEpoll(epfd, wakeFd)) {
        const int err = errno;
        for (const int fd : {epfd, wakeFd}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        return Error{"gpsd source: " + ErrnoText(err)};
    }
    return std::unique_ptr<GpsdSource>(new GpsdSource(clock, std::move(config), epfd, wakeFd));
}

GpsdSource::GpsdSource(const Clock &clock, GpsdConfig config, int epfd, int wakeFd)
    : clock_(clock),
      config_(std::move(config)),
      server_(
          (config_.host.find(':') != std::string::npos ? "[" + config_.host + "]" : config_.host) +
          ":" + std::to_string(config_.port)),
      epfd_(epfd),
      wakeFd_(wakeFd),
      nextAttemptMs_(clock.MonoMs()) {}

GpsdSource::~GpsdSource() {
    if (worker_.joinable()) {
        if (attempt_ && !attempt_->done.load(std::memory_order_acquire)) {
            worker_.detach();  // it holds its Attempt and frees it when connect() ends
        } else {
            worker_.join();
        }
    }
    gps_.reset();
    attempt_.reset();
    ::close(epfd_);
    ::close(wakeFd_);
}

GpsdSource::Attempt::~Attempt() {
    if (wakeFd >= 0) {
        ::close(wakeFd);
    }
}

// ---------------------------------------------------------------------------------
// Connection
// ---------------------------------------------------------------------------------

void GpsdSource::StartAttempt() {
    link_ = Link::kConnecting;
    const int wake = ::fcntl(wakeFd_, F_DUPFD_CLOEXEC, 0);
    const int dupErr = errno;
    attempt_ = std::make_shared<Attempt>(wake);
    attempt_->data.reset(new gps_data_t{});
    const auto finish = [](Attempt &a, int fd) {
        a.done.store(true, std::memory_order_release);
        const uint64_t one = 1;
        if (::write(fd, &one, sizeof one) < 0) {
            // Only a counter at its maximum refuses, and then the loop is awake anyway.
        }
    };
    if (wake < 0) {  // no descriptor to spare: a failed attempt, told on the source's own
        attempt_->status = -1;
        attempt_->err = dupErr;
        finish(*attempt_, wakeFd_);
        return;
    }
    try {
        worker_ = std::thread(
            [a = attempt_, host = config_.host, port = std::to_string(config_.port), finish] {
                a->status = gps_open(host.c_str(), port.c_str(), a->data.get());
                a->err = errno;
                finish(*a, a->wakeFd);
            });
    } catch (const std::system_error &e) {
        attempt_->status = -1;
        attempt_->err = e.code().value();
        finish(*attempt_, wakeFd_);
    }
}

// The worker has woken the loop: its connection, or why there is none.
void GpsdSource::FinishAttempt() {
    if (worker_.joinable()) {
        worker_.join();
    }
    const std::shared_ptr<Attempt> attempt = std::move(attempt_);
    Gps opened;
    std::string reason;
    if (attempt->status != 0) {
        // libgps reports its own failures as negative codes, the system's as errno.
        reason = attempt->err < 0 ? gps_errstr(attempt->err) : ErrnoText(attempt->err);
    } else {
        opened = std::move(attempt->data);
        const int fd = opened->gps_fd;
        if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0 ||
            !AddToEpoll(epfd_, fd)) {
            reason = ErrnoText(errno);
        }
    }
    if (!reason.empty()) {
        link_ = Link::kDisconnected;
        if (!unreachableNoted_) {
            unreachableNoted_ = true;
            Note(true, "gpsd: cannot reach " + server_ + ": " + reason + ", retrying");
        }
        nextAttemptMs_ = clock_.MonoMs() + retryMs_;
        retryMs_ = std::min(retryMs_ * 2, kMaxRetryMs);
        return;
    }
    gps_ = std::move(opened);
    link_ = Link::kConnected;
    retryMs_ = kFirstRetryMs;
    unreachableNoted_ = false;
    Note(false, "gpsd: connected to " + server_);
    if (demand_) {
        Watch(true);
    }
}

void GpsdSource::Lose(const std::string &reason) {
    ::epoll_ctl(epfd_, EPOLL_CTL_DEL, gps_->gps_fd, nullptr);
    gps_.reset();
    link_ = Link::kDisconnected;
    watching_ = false;
    readPending_ = false;
    state_ = FixState::kNoFix;
    latest_.reset();
    satellitesVisible_ = satellitesUsed_ = 0;
    Note(true, "gpsd: connection to " + server_ + " lost: " + reason);
    nextAttemptMs_ = clock_.MonoMs() + retryMs_;
    retryMs_ = std::min(retryMs_ * 2, kMaxRetryMs);
}

void GpsdSource::Watch(bool on) {
    errno = 0;
    if (gps_stream(gps_.get(), on ? WATCH_ENABLE | WATCH_JSON : WATCH_DISABLE, nullptr) != 0) {
        Lose("cannot send ?WATCH: " + (errno != 0 ? ErrnoText(errno) : "short write"));
        return;
    }
    watching_ = on;
    state_ = on ? FixState::kAcquiring : FixState::kNoFix;
    latest_.reset();
    satellitesVisible_ = satellitesUsed_ = 0;
    Note(false, (on ? "gpsd: watching " : "gpsd: stopped watching ") + server_);
}

// ---------------------------------------------------------------------------------
// Reports
// ---------------------------------------------------------------------------------

void GpsdSource::ReadReports() {
    readPending_ = false;
    for (int n = 0; n < kMaxReportsPerWake; ++n) {
        errno = 0;
        const int got = gps_read(gps_.get(), line_, static_cast<int>(sizeof line_));
        if (got == 0) {  // no complete report left (the socket said EAGAIN)
            return;
        }
        if (got < 0) {
            Lose(errno != 0 ? ErrnoText(errno) : "gpsd closed the connection");
            return;
        }
        ++reports_;
        OnReport(line_);
    }
    readPending_ = true;
    readPendingSinceMs_ = clock_.MonoMs();
}

void GpsdSource::OnReport(const char *line) {
    static constexpr char kClass[] = "\"class\":\"";
    const char *found = std::strstr(line, kClass);
    if (!watching_ || found == nullptr) {
        return;  // not a report, or one still on its way when the watch ended
    }
    const char *cls = found + sizeof kClass - 1;
    if (std::strncmp(cls, "TPV\"", 4) == 0) {
        OnPosition();
    } else if (std::strncmp(cls, "SKY\"", 4) == 0 &&
               std::strstr(cls, "\"satellites\":") != nullptr) {
        // A SKY report without the satellites (dilutions only) leaves the counts alone.
        satellitesVisible_ = gps_->satellites_visible;
        satellitesUsed_ = gps_->satellites_used;
    }
}

void GpsdSource::OnPosition() {
    const gps_fix_t &f = gps_->fix;
    if (f.mode < MODE_2D || !geo::IsValidPoint(f.latitude, f.longitude)) {
        if (state_ == FixState::kFix) {
            state_ = FixState::kNoFix;
            latest_.reset();
        }
        return;
    }
    Fix fix;
    fix.latitude = f.latitude;
    fix.longitude = f.longitude;
    fix.altitude = Or(f.altMSL, Or(f.altHAE, 0));
    fix.speed = Or(f.speed, 0);
    fix.course = fix.travelDirection = fix.pointingDirection = Or(f.track, 0);
    fix.horizontalAccuracy =
        Or(f.eph, std::isfinite(f.epx) && std::isfinite(f.epy) ? std::hypot(f.epx, f.epy)
                                                               : kUnknownAccuracyM);
    fix.latLonAccuracy = fix.horizontalAccuracy;
    fix.verticalAccuracy = Or(f.epv, kUnknownAccuracyM);
    fix.timeStampMs = f.time.tv_sec != 0 ? static_cast<int64_t>(f.time.tv_sec) * 1000 +
                                               static_cast<int64_t>(f.time.tv_nsec) / 1'000'000
                                         : clock_.WallMs();
    fix.monoMs = clock_.MonoMs();
    fix.locationMethod = kMethodGnss;
    state_ = FixState::kFix;
    latest_ = fix;
    if (queue_.size() == kMaxQueuedFixes) {
        queue_.erase(queue_.begin());
    }
    queue_.push_back(fix);
}

// ---------------------------------------------------------------------------------
// The loop's calls
// ---------------------------------------------------------------------------------

void GpsdSource::OnReadable() {
    uint64_t count = 0;
    if (link_ == Link::kConnecting &&
        ::read(wakeFd_, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
        FinishAttempt();
    }
    if (link_ == Link::kConnected) {
        ReadReports();
    }
}

void GpsdSource::Tick(int64_t nowMonoMs) {
    if (readPending_ && link_ == Link::kConnected) {
        ReadReports();
    }
    if (link_ == Link::kDisconnected && nowMonoMs >= nextAttemptMs_) {
        StartAttempt();
    }
}

int64_t GpsdSource::NextDeadlineMs() const {
    if (readPending_) {
        return readPendingSinceMs_;
    }
    return link_ == Link::kDisconnected ? nextAttemptMs_ : std::numeric_limits<int64_t>::max();
}

std::optional<Fix> GpsdSource::LatestFix() const {
    return state_ == FixState::kFix ? latest_ : std::nullopt;
}

std::vector<Fix> GpsdSource::TakeNewFixes() {
    std::vector<Fix> out;
    out.swap(queue_);
    return out;
}

void GpsdSource::SetDemand(bool wanted) {
    demand_ = wanted;
    if (link_ == Link::kConnected && watching_ != wanted) {
        Watch(wanted);
    }
}

std::vector<SourceNotice> GpsdSource::TakeNotices() {
    std::vector<SourceNotice> out;
    out.swap(notices_);
    return out;
}

void GpsdSource::Note(bool failure, std::string text) {
    notices_.push_back(SourceNotice{failure, std::move(text)});
}

std::vector<SourceDetail> GpsdSource::Details() const {
    return {
        {"server", server_},
        {"connection", LinkName(link_)},
        {"watching", watching_ ? "yes" : "no"},
        {"satellites_visible", std::to_string(satellitesVisible_)},
        {"satellites_used", std::to_string(satellitesUsed_)},
        {"gpsd_reports", std::to_string(reports_)},
    };
}

}  // namespace lapid
