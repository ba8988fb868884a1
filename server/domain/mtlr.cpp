#include "domain/mtlr.h"

#include <algorithm>
#include <utility>

namespace lapid {

namespace {

constexpr std::size_t kIdSpace = 65536;  // every sessionId/transactionId pair

bool ExpectsAnswer(NotificationType type) {
    return type == NotificationType::kVerifyAllowIfNoResponse ||
           type == NotificationType::kVerifyDenyIfNoResponse;
}

}  // namespace

NotificationCause DefaultCause(NotificationType type) {
    switch (type) {
        case NotificationType::kNotifyOnly:
            return NotificationCause::kNotifiedOnly;
        case NotificationType::kVerifyAllowIfNoResponse:
            return NotificationCause::kAllowedByDefault;
        case NotificationType::kVerifyDenyIfNoResponse:
            return NotificationCause::kDeniedByDefault;
        case NotificationType::kLocationNotAllowed:
            break;
    }
    return NotificationCause::kNotAllowed;
}

std::optional<uint16_t> MtlrNotifications::NextFreeId() {
    for (std::size_t tries = 0; tries < kIdSpace; ++tries) {
        const uint16_t id = nextId_++;
        if (!open_.contains(id)) {
            return id;
        }
    }
    return std::nullopt;
}

InjectResult MtlrNotifications::Inject(const MtlrRequest &req,
                                       const std::vector<ClientKey> &clients) {
    InjectResult result;
    if (req.notificationType < static_cast<int32_t>(NotificationType::kNotifyOnly) ||
        req.notificationType > static_cast<int32_t>(NotificationType::kLocationNotAllowed)) {
        result.error = InjectError::kBadNotificationType;
    } else if (req.locationType < static_cast<int32_t>(MtlrLocationType::kCurrent) ||
               req.locationType > static_cast<int32_t>(MtlrLocationType::kInitial)) {
        result.error = InjectError::kBadLocationType;
    } else if (req.clientName.size() > kMaxMtlrBytes) {
        result.error = InjectError::kNameTooLong;
    } else if (req.clientExternalAddr.size() > kMaxMtlrBytes) {
        result.error = InjectError::kAddressTooLong;
    } else if (req.timeoutS < 1 || req.timeoutS > kMaxMtlrTimeoutS) {
        result.error = InjectError::kBadTimeout;
    }
    if (result.error != InjectError::kNone) {
        return result;
    }

    std::vector<ClientKey> targets;
    for (ClientKey c : clients) {
        if (std::find(targets.begin(), targets.end(), c) == targets.end()) {
            targets.push_back(c);
        }
    }
    if (pending_.size() >= kMaxPendingMtlr || open_.size() + targets.size() > kIdSpace) {
        result.error = InjectError::kTooManyPending;
        return result;
    }

    const auto type = static_cast<NotificationType>(req.notificationType);
    const int64_t now = clock_.MonoMs();
    const uint64_t requestId = nextRequestId_++;
    PendingRequest p;
    p.record.requestId = requestId;
    p.record.request = req;
    p.record.injectedMonoMs = now;
    p.record.notified = targets;
    p.deadlineMs = now + static_cast<int64_t>(req.timeoutS) * 1000;
    for (ClientKey c : targets) {
        const uint16_t id = *NextFreeId();  // capacity checked above
        open_[id] = Open{requestId, c};
        p.openIds.push_back(id);
        p.record.notificationIds.push_back(id);
        MtlrNotify n;
        n.requestId = requestId;
        n.client = c;
        n.sessionId = SessionOf(id);
        n.transactionId = TransactionOf(id);
        n.notificationType = req.notificationType;
        n.locationType = req.locationType;
        n.dataCodingSchema = req.dataCodingSchema;
        n.clientName = req.clientName;
        n.clientExternalAddr = req.clientExternalAddr;
        result.events.notify.push_back(std::move(n));
    }
    auto it = pending_.emplace(requestId, std::move(p)).first;
    if (!ExpectsAnswer(type) || targets.empty()) {
        Settle(it, DefaultCause(type), std::nullopt, result.events);
    }
    result.requestId = requestId;
    return result;
}

AnswerOutcome MtlrNotifications::Answer(ClientKey client, uint8_t sessionId, uint8_t transactionId,
                                        int32_t responseType) {
    AnswerOutcome outcome;
    const auto id = static_cast<uint16_t>(sessionId << 8 | transactionId);
    auto entry = open_.find(id);
    if (entry == open_.end()) {
        outcome.result = AnswerResult::kNotPending;
        return outcome;
    }
    if (entry->second.client != client) {
        outcome.result = AnswerResult::kNotNotified;
        return outcome;
    }
    NotificationCause cause;
    if (responseType == static_cast<int32_t>(MtlrResponseType::kAllow)) {
        cause = NotificationCause::kAllowedByUser;
    } else if (responseType == static_cast<int32_t>(MtlrResponseType::kDeny)) {
        cause = NotificationCause::kDeniedByUser;
    } else {
        outcome.result = AnswerResult::kBadResponseType;
        return outcome;
    }
    Settle(pending_.find(entry->second.requestId), cause, client, outcome.events);
    outcome.result = AnswerResult::kAccepted;
    return outcome;
}

MtlrEvents MtlrNotifications::Tick() {
    MtlrEvents out;
    const int64_t now = clock_.MonoMs();
    std::vector<std::pair<int64_t, uint64_t>> due;
    for (const auto &[requestId, p] : pending_) {
        if (p.deadlineMs <= now) {
            due.emplace_back(p.deadlineMs, requestId);
        }
    }
    std::sort(due.begin(), due.end());
    for (const auto &[deadline, requestId] : due) {
        auto it = pending_.find(requestId);
        const auto type = static_cast<NotificationType>(it->second.record.request.notificationType);
        Settle(it, DefaultCause(type), std::nullopt, out);
    }
    return out;
}

std::size_t MtlrNotifications::RemoveClient(ClientKey client) {
    std::size_t closed = 0;
    std::vector<uint64_t> touched;
    for (auto it = open_.begin(); it != open_.end();) {
        if (it->second.client != client) {
            ++it;
            continue;
        }
        auto &ids = pending_.at(it->second.requestId).openIds;
        ids.erase(std::remove(ids.begin(), ids.end(), it->first), ids.end());
        touched.push_back(it->second.requestId);
        it = open_.erase(it);
        ++closed;
    }
    MtlrEvents none;  // no open notification is left on a request settled here
    for (uint64_t requestId : touched) {
        auto it = pending_.find(requestId);
        if (it != pending_.end() && it->second.openIds.empty()) {
            const auto type =
                static_cast<NotificationType>(it->second.record.request.notificationType);
            Settle(it, DefaultCause(type), std::nullopt, none);
        }
    }
    return closed;
}

void MtlrNotifications::Settle(std::map<uint64_t, PendingRequest>::iterator it,
                               NotificationCause cause, std::optional<ClientKey> answeredBy,
                               MtlrEvents &out) {
    PendingRequest &p = it->second;
    for (uint16_t id : p.openIds) {
        auto entry = open_.find(id);
        out.status.push_back(MtlrStatus{p.record.requestId, entry->second.client, SessionOf(id),
                                        TransactionOf(id), cause});
        open_.erase(entry);
    }
    p.record.settled = true;
    p.record.cause = cause;
    p.record.settledMonoMs = clock_.MonoMs();
    p.record.answeredBy = answeredBy;
    Remember(std::move(p.record));
    pending_.erase(it);
}

void MtlrNotifications::Remember(MtlrRecord record) {
    history_.push_back(std::move(record));
    while (history_.size() > kMtlrHistorySize) {
        history_.pop_front();
    }
}

std::optional<int64_t> MtlrNotifications::NextDeadlineMs() const {
    std::optional<int64_t> next;
    for (const auto &[requestId, p] : pending_) {
        if (!next || p.deadlineMs < *next) {
            next = p.deadlineMs;
        }
    }
    return next;
}

std::size_t MtlrNotifications::OpenNotifications(ClientKey client) const {
    std::size_t n = 0;
    for (const auto &[id, open] : open_) {
        n += open.client == client ? 1 : 0;
    }
    return n;
}

std::optional<MtlrRecord> MtlrNotifications::Find(uint64_t requestId) const {
    if (auto it = pending_.find(requestId); it != pending_.end()) {
        return it->second.record;
    }
    for (const MtlrRecord &r : history_) {
        if (r.requestId == requestId) {
            return r;
        }
    }
    return std::nullopt;
}

std::vector<MtlrRecord> MtlrNotifications::Pending() const {
    std::vector<MtlrRecord> out;
    for (const auto &[requestId, p] : pending_) {
        out.push_back(p.record);
    }
    return out;
}

std::vector<MtlrRecord> MtlrNotifications::History() const {
    return {history_.begin(), history_.end()};
}

}  // namespace lapid
