// Network-initiated location requests (MT-LR): notification of the clients, their
// answers, timeouts and the outcome of each request.
//
// No sockets and no messages here: Inject(), Answer(), Tick() and RemoveClient() return
// plain events. A Notify event becomes a locationNotificationInd and a Status event a
// notificationStatusInd, both on the client's asynchronous connection. Time comes from
// the Clock given at construction; NextDeadlineMs() says when Tick() is next due.
//
// Rules (the numbers are the enums below):
// - An injected request notifies every client in the list the caller passes (the clients
//   registered for MT-LR). Each gets its own notification with a fresh
//   sessionId/transactionId pair, unique among all pending notifications.
// - kNotifyOnly and kLocationNotAllowed expect no answer: the request is settled at once
//   (cause kNotifiedOnly or kNotAllowed) and each notified client gets its Status right
//   after its Notify.
// - kVerifyAllowIfNoResponse and kVerifyDenyIfNoResponse wait for an answer. The first
//   valid answer from any notified client settles the whole request (kAllowedByUser or
//   kDeniedByUser); with no answer before the timeout the default of the type applies
//   (kAllowedByDefault or kDeniedByDefault).
// - When a request is settled, every notified client whose notification was still open
//   gets a Status with its own sessionId/transactionId and the request's cause, the
//   answering client included, so every user interface can close its prompt.
// - An answer counts only from the client it was sent to, while the notification is open,
//   with responseType kAllow or kDeny. A second answer finds nothing open.
// - A notified client that goes away leaves the request as if it had not answered: its
//   notification is closed at once, and when no notified client is left the request is
//   settled at once with the default of its type. Other notified clients can still answer.
// - A request with no client to notify is settled at once with the default of its type.
// - The outcome of the last kHistorySize settled requests stays available by request id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "domain/client_key.h"
#include "domain/clock.h"

namespace lapid {

// Values of locationNotificationInd.notificationType.
enum class NotificationType : int32_t {
    kNotifyOnly = 0,               // location allowed, the user is only told
    kVerifyAllowIfNoResponse = 1,  // the user is asked; no answer means allowed
    kVerifyDenyIfNoResponse = 2,   // the user is asked; no answer means denied
    kLocationNotAllowed = 3,       // location not allowed, the user is only told
};

// Values of locationNotificationInd.locationType.
enum class MtlrLocationType : int32_t {
    kCurrent = 0,             // current location
    kCurrentOrLastKnown = 1,  // current or last known location
    kInitial = 2,             // initial location
};

// Values of locationNotificationCfm.responseType.
enum class MtlrResponseType : int32_t {
    kAllow = 0,
    kDeny = 1,
};

// Values of notificationStatusInd.cause.
enum class NotificationCause : int32_t {
    kAllowedByUser = 0,
    kDeniedByUser = 1,
    kAllowedByDefault = 2,  // verify-allow request with no answer before the timeout
    kDeniedByDefault = 3,   // verify-deny request with no answer before the timeout
    kNotifiedOnly = 4,      // notify-only request: location allowed, no answer expected
    kNotAllowed = 5,        // location-not-allowed request: no answer expected
};

inline constexpr std::size_t kMaxMtlrBytes = 100;  // clientName, clientExternalAddr
inline constexpr int32_t kDefaultMtlrTimeoutS = 30;
inline constexpr int32_t kMaxMtlrTimeoutS = 3600;
inline constexpr std::size_t kMaxPendingMtlr = 64;   // open requests at once
inline constexpr std::size_t kMtlrHistorySize = 64;  // settled requests remembered

struct MtlrRequest {
    int32_t notificationType = 0;             // NotificationType
    int32_t locationType = 0;                 // MtlrLocationType
    uint8_t dataCodingSchema = 0;             // coding of clientName, passed through
    std::string clientName;                   // bytes, at most kMaxMtlrBytes
    std::string clientExternalAddr;           // bytes, at most kMaxMtlrBytes
    int32_t timeoutS = kDefaultMtlrTimeoutS;  // seconds, 1..kMaxMtlrTimeoutS
};

// locationNotificationInd for one client.
struct MtlrNotify {
    uint64_t requestId = 0;
    ClientKey client = 0;
    uint8_t sessionId = 0;
    uint8_t transactionId = 0;
    int32_t notificationType = 0;
    int32_t locationType = 0;
    uint8_t dataCodingSchema = 0;
    std::string clientName;
    std::string clientExternalAddr;
};

// notificationStatusInd for one client.
struct MtlrStatus {
    uint64_t requestId = 0;
    ClientKey client = 0;
    uint8_t sessionId = 0;
    uint8_t transactionId = 0;
    NotificationCause cause = NotificationCause::kNotifiedOnly;
};

// What to send, in this order: all notifications, then all statuses.
struct MtlrEvents {
    std::vector<MtlrNotify> notify;
    std::vector<MtlrStatus> status;
};

enum class InjectError {
    kNone = 0,
    kBadNotificationType,
    kBadLocationType,
    kNameTooLong,
    kAddressTooLong,
    kBadTimeout,
    kTooManyPending,  // kMaxPendingMtlr open requests, or no free sessionId/transactionId
};

struct InjectResult {
    InjectError error = InjectError::kNone;
    uint64_t requestId = 0;  // valid when error is kNone
    MtlrEvents events;
};

enum class AnswerResult {
    kAccepted = 0,         // the answer settled the request
    kNotPending = 1,       // no open notification with this sessionId/transactionId
    kNotNotified = 2,      // the notification was sent to another client
    kBadResponseType = 3,  // responseType is neither kAllow nor kDeny
};

struct AnswerOutcome {
    AnswerResult result = AnswerResult::kNotPending;
    MtlrEvents events;
};

// What happened to one request (for the control socket).
struct MtlrRecord {
    uint64_t requestId = 0;
    MtlrRequest request;
    int64_t injectedMonoMs = 0;
    bool settled = false;
    NotificationCause cause = NotificationCause::kNotifiedOnly;  // when settled
    int64_t settledMonoMs = 0;                                   // when settled
    std::optional<ClientKey> answeredBy;  // the client whose answer settled it
    std::vector<ClientKey> notified;      // the clients that got a notification
    // The sessionId << 8 | transactionId of each of their notifications, in that order.
    std::vector<uint16_t> notificationIds;
};

class MtlrNotifications {
  public:
    explicit MtlrNotifications(const Clock &clock) : clock_(clock) {}

    // An operator's request, to be sent to `clients` (duplicates are notified once).
    InjectResult Inject(const MtlrRequest &req, const std::vector<ClientKey> &clients);
    // locationNotificationCfm from `client`.
    AnswerOutcome Answer(ClientKey client, uint8_t sessionId, uint8_t transactionId,
                         int32_t responseType);
    // Requests whose timeout has come, settled with the default of their type.
    MtlrEvents Tick();
    // The client is gone: its open notifications close as unanswered. Nothing is sent: a
    // request is settled by this only when no notified client is left to tell. Returns
    // how many notifications were closed.
    std::size_t RemoveClient(ClientKey client);

    std::optional<int64_t> NextDeadlineMs() const;

    // The request, pending or among the last kMtlrHistorySize settled ones.
    std::optional<MtlrRecord> Find(uint64_t requestId) const;
    std::vector<MtlrRecord> Pending() const;
    std::vector<MtlrRecord> History() const;  // oldest first
    std::size_t OpenNotifications() const { return open_.size(); }
    // Open notifications sent to `client`.
    std::size_t OpenNotifications(ClientKey client) const;

  private:
    struct PendingRequest {
        MtlrRecord record;
        int64_t deadlineMs = 0;
        std::vector<uint16_t> openIds;  // ids of its still open notifications
    };
    struct Open {
        uint64_t requestId = 0;
        ClientKey client = 0;
    };

    static uint8_t SessionOf(uint16_t id) { return static_cast<uint8_t>(id >> 8); }
    static uint8_t TransactionOf(uint16_t id) { return static_cast<uint8_t>(id & 0xFF); }
    std::optional<uint16_t> NextFreeId();
    // Settles a request: statuses to its open notifications, record moved to history.
    void Settle(std::map<uint64_t, PendingRequest>::iterator it, NotificationCause cause,
                std::optional<ClientKey> answeredBy, MtlrEvents &out);
    void Remember(MtlrRecord record);

    const Clock &clock_;
    uint64_t nextRequestId_ = 1;
    uint16_t nextId_ = 0;
    std::map<uint64_t, PendingRequest> pending_;  // by request id
    std::map<uint16_t, Open> open_;  // open notifications by sessionId << 8 | transactionId
    std::deque<MtlrRecord> history_;
};

// The cause a request of this type gets when nobody answers.
NotificationCause DefaultCause(NotificationType type);

}  // namespace lapid
