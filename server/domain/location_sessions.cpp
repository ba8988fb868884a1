#include "domain/location_sessions.h"

#include <algorithm>

namespace lapid {

namespace {

constexpr int64_t kMsPerS = 1000;

bool MeetsAccuracy(const Fix &fix, int32_t requested) {
    return requested <= 0 || fix.horizontalAccuracy <= static_cast<double>(requested);
}

double AgeSeconds(const Fix &fix, int64_t nowMs) {
    return static_cast<double>(std::max<int64_t>(0, nowMs - fix.monoMs)) / 1000.0;
}

}  // namespace

LocationAnswer LocationSessions::Answer(const LocationRequest &req, LocationAnswer::Kind kind) {
    LocationAnswer a;
    a.client = req.client;
    a.sessionId = req.sessionId;
    a.transactionId = req.transactionId;
    a.blocking = req.blocking;
    a.periodic = req.reportCriteria == kReportPeriodic;
    a.kind = kind;
    return a;
}

LocationAnswer LocationSessions::FixAnswer(const LocationRequest &req, const Fix &fix,
                                           LocationCause cause, int64_t nowMs) {
    LocationAnswer a = Answer(req, LocationAnswer::Kind::kLocation);
    a.cause = cause;
    a.fix = fix;
    a.ageOfFix = AgeSeconds(fix, nowMs);
    return a;
}

LocationAnswer LocationSessions::PeriodicReport(const Session &s, int64_t nowMs) const {
    if (!current_) {
        LocationAnswer a = Answer(s.req, LocationAnswer::Kind::kLocation);
        a.cause = LocationCause::kNoFix;
        return a;
    }
    const LocationCause cause = MeetsAccuracy(*current_, s.req.horizontalAccuracy)
                                    ? LocationCause::kOk
                                    : LocationCause::kAccuracyNotMet;
    return FixAnswer(s.req, *current_, cause, nowMs);
}

std::optional<LocationAnswer> LocationSessions::Request(const LocationRequest &req) {
    const bool periodic = req.reportCriteria == kReportPeriodic;
    InvalidReason invalid = InvalidReason::kNone;
    if (periodic && req.blocking) {
        invalid = InvalidReason::kPeriodicBlocking;
    } else if (periodic && req.interval < kMinIntervalS) {
        invalid = InvalidReason::kIntervalTooShort;
    } else if (!periodic && req.responseTime < 0) {
        invalid = InvalidReason::kNegativeResponseTime;
    }
    if (invalid != InvalidReason::kNone) {
        LocationAnswer a = Answer(req, LocationAnswer::Kind::kInvalidRequest);
        a.invalidReason = invalid;
        return a;
    }

    const Key key{req.client, req.sessionId};
    if (sessions_.contains(key)) {
        LocationAnswer a = Answer(req, LocationAnswer::Kind::kLocation);
        a.cause = LocationCause::kSessionIdInUse;
        return a;
    }
    if (SessionCount(req.client) >= kMaxSessionsPerClient) {
        LocationAnswer a = Answer(req, LocationAnswer::Kind::kLocation);
        a.cause = LocationCause::kTooManySessions;
        return a;
    }

    const int64_t now = clock_.MonoMs();
    if (!periodic && req.responseTime == 0) {
        if (current_ && MeetsAccuracy(*current_, req.horizontalAccuracy)) {
            return FixAnswer(req, *current_, LocationCause::kOk, now);
        }
        return Answer(req, LocationAnswer::Kind::kTimeout);
    }

    Session s;
    s.req = req;
    s.startMs = now;
    s.deadlineMs = now + static_cast<int64_t>(periodic ? req.interval : req.responseTime) * kMsPerS;
    deadlines_.emplace(s.deadlineMs, key);
    sessions_.emplace(key, s);
    return std::nullopt;
}

void LocationSessions::Erase(std::map<Key, Session>::iterator it) {
    deadlines_.erase({it->second.deadlineMs, it->first});
    sessions_.erase(it);
}

std::size_t LocationSessions::EraseClient(ClientKey client) {
    std::size_t n = 0;
    auto it = sessions_.lower_bound(Key{client, 0});
    while (it != sessions_.end() && it->first.first == client) {
        auto next = std::next(it);
        Erase(it);
        it = next;
        ++n;
    }
    return n;
}

AbortResult LocationSessions::Abort(ClientKey client, uint8_t sessionId) {
    auto it = sessions_.find(Key{client, sessionId});
    if (it == sessions_.end()) {
        return AbortResult::kNotFound;
    }
    Erase(it);
    return AbortResult::kAborted;
}

std::size_t LocationSessions::AbortAll(ClientKey client) {
    return EraseClient(client);
}

std::size_t LocationSessions::RemoveClient(ClientKey client) {
    return EraseClient(client);
}

std::size_t LocationSessions::SessionCount(ClientKey client) const {
    std::size_t n = 0;
    for (auto it = sessions_.lower_bound(Key{client, 0});
         it != sessions_.end() && it->first.first == client; ++it) {
        ++n;
    }
    return n;
}

LocationAnswer LocationSessions::LastKnown(ClientKey client, uint8_t sessionId,
                                           uint8_t transactionId, bool blocking) const {
    LocationRequest req;
    req.client = client;
    req.sessionId = sessionId;
    req.transactionId = transactionId;
    req.blocking = blocking;
    if (!last_) {
        LocationAnswer a = Answer(req, LocationAnswer::Kind::kLocation);
        a.cause = LocationCause::kNoFix;
        return a;
    }
    return FixAnswer(req, *last_, LocationCause::kOk, clock_.MonoMs());
}

std::vector<LocationAnswer> LocationSessions::Tick() {
    return SettleUpTo(clock_.MonoMs());
}

std::vector<LocationAnswer> LocationSessions::SettleUpTo(int64_t upToMs) {
    std::vector<LocationAnswer> out;
    const int64_t now = clock_.MonoMs();
    while (!deadlines_.empty() && deadlines_.begin()->first <= upToMs) {
        const Key key = deadlines_.begin()->second;
        deadlines_.erase(deadlines_.begin());
        auto it = sessions_.find(key);
        Session &s = it->second;
        if (!IsPeriodic(s)) {
            out.push_back(Answer(s.req, LocationAnswer::Kind::kTimeout));
            sessions_.erase(it);
            continue;
        }
        out.push_back(PeriodicReport(s, now));
        // Next grid point after now, start + k * period: a late loop skips missed points.
        const int64_t period = static_cast<int64_t>(s.req.interval) * kMsPerS;
        const int64_t k = (now - s.startMs) / period + 1;
        s.deadlineMs = s.startMs + k * period;
        deadlines_.emplace(s.deadlineMs, key);
    }
    return out;
}

std::vector<LocationAnswer> LocationSessions::OnFix(const Fix &fix) {
    // Only what fell due up to the fix's own time goes first: a fix produced before a
    // report's deadline but handed over after it (a late loop) still counts for it.
    const int64_t now = clock_.MonoMs();
    std::vector<LocationAnswer> out = SettleUpTo(std::min(fix.monoMs, now));
    current_ = fix;
    last_ = fix;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        auto next = std::next(it);
        const Session &s = it->second;
        if (!IsPeriodic(s) && MeetsAccuracy(fix, s.req.horizontalAccuracy)) {
            out.push_back(FixAnswer(s.req, fix, LocationCause::kOk, now));
            Erase(it);
        }
        it = next;
    }
    return out;
}

std::optional<int64_t> LocationSessions::NextDeadlineMs() const {
    if (deadlines_.empty()) {
        return std::nullopt;
    }
    return deadlines_.begin()->first;
}

}  // namespace lapid
