#include "lib_client.h"

#include <poll.h>

#include <cerrno>
#include <chrono>

namespace lapid_itest {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

bool IsIndication(uint16_t msgId) {
    return msgId == LAPI_MSG_STATUS_CHANGE_IND || msgId == LAPI_MSG_LOCATION_NOTIFICATION_IND ||
           msgId == LAPI_MSG_NOTIFICATION_STATUS_IND || msgId == LAPI_MSG_PROXIMITY_HIT_IND;
}

LibClient::LibClient(unsigned services) : id_(LAPI_RegisterClient(services)) {}

LibClient::~LibClient() {
    if (id_ >= 0) {
        Unregister();
    }
}

int LibClient::Unregister() {
    const int r = LAPI_UnregisterClient(id_);
    id_ = -1;
    return r;
}

int32_t LibClient::GlobalId() const {
    LAPI_CLIENT_NODE_S *node = LAPI_CLI_GetClientNodeById(id_);
    if (node == nullptr) {
        return -1;
    }
    const int32_t id = node->globalId;
    LAPI_CLI_PutClientNodeById(id_);
    return id;
}

Msg LibClient::Trimmed(Bytes buf) {
    Msg m{std::move(buf)};
    const size_t total = sizeof(LAPI_MSG_HEADER_S) + m.Len();
    if (total <= m.bytes.size()) {
        m.bytes.resize(total);
    }
    return m;
}

std::optional<Msg> LibClient::ReadOne(int timeoutMs) {
    const int fd = id_ >= 0 ? LAPI_GetAsyncSocketFd(id_) : -1;
    if (fd < 0) {
        id_ = -1;
        return std::nullopt;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        const int r = ::poll(&pfd, 1, RemainingMs(deadline));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return std::nullopt;
        }
        Bytes buf(LAPI_ASYNC_MSG_BUF_LEN, 0);
        if (LAPI_GetAsyncMsg(id_, buf.data()) != 0) {
            // The library destroys a client whose asynchronous connection failed.
            if (LAPI_GetAsyncSocketFd(id_) < 0) {
                id_ = -1;
            }
            return std::nullopt;
        }
        return Trimmed(std::move(buf));
    }
}

std::optional<Msg> LibClient::Next(int timeoutMs) {
    if (!aside_.empty()) {
        Msg m = std::move(aside_.front());
        aside_.pop_front();
        return m;
    }
    return ReadOne(timeoutMs);
}

std::optional<Msg> LibClient::WaitFor(const std::function<bool(const Msg &)> &pred, int timeoutMs) {
    for (auto it = aside_.begin(); it != aside_.end(); ++it) {
        if (pred(*it)) {
            Msg m = std::move(*it);
            aside_.erase(it);
            return m;
        }
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::optional<Msg> m = ReadOne(RemainingMs(deadline));
        if (!m) {
            return std::nullopt;
        }
        if (pred(*m)) {
            return m;
        }
        aside_.push_back(std::move(*m));
    }
}

std::optional<Msg> LibClient::WaitForId(uint16_t msgId, int timeoutMs) {
    return WaitFor([msgId](const Msg &m) { return m.Id() == msgId; }, timeoutMs);
}

std::vector<Msg> LibClient::Collect(int windowMs) {
    std::vector<Msg> out(std::make_move_iterator(aside_.begin()),
                         std::make_move_iterator(aside_.end()));
    aside_.clear();
    const auto deadline = Clock::now() + std::chrono::milliseconds(windowMs);
    while (Clock::now() < deadline) {
        std::optional<Msg> m = ReadOne(RemainingMs(deadline));
        if (!m) {
            if (id_ < 0) {
                break;
            }
            continue;
        }
        out.push_back(std::move(*m));
    }
    return out;
}

std::vector<Msg> LibClient::ReadAvailable() {
    std::vector<Msg> out(std::make_move_iterator(aside_.begin()),
                         std::make_move_iterator(aside_.end()));
    aside_.clear();
    while (std::optional<Msg> m = ReadOne(0)) {
        out.push_back(std::move(*m));
    }
    return out;
}

}  // namespace lapid_itest
