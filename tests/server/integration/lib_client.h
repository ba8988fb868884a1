// The client library as an application uses it: a registered client, its
// asynchronous descriptor watched with poll(), pushed messages read with
// LAPI_GetAsyncMsg, and one request answered in either mode.
//
//     lapid_itest::LibClient c(LAPI_SERVICE_MOLR);
//     ASSERT_TRUE(c.Ok());
//     LAPI_GET_STATUS_REQ_S req{};
//     std::optional<Msg> rsp = c.Exchange(LAPI_BLOCK, LAPI_GetStatus, req);
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include <lapi/lapi.h>

#include "wire_client.h"

namespace lapid_itest {

// One whole message as received.
struct Msg {
    Bytes bytes;

    uint16_t Id() const { return MsgIdOf(bytes); }
    uint16_t Len() const { return MsgLenOf(bytes); }
    uint8_t SessionId() const { return bytes.size() > 8 ? bytes[8] : 0; }
    uint8_t TransactionId() const { return bytes.size() > 9 ? bytes[9] : 0; }
    template <typename T>
    T As() const {
        return FromBytes<T>(bytes);
    }
};

// True for the messages that the server sends unasked (status changes, MT-LR
// notifications and outcomes, proximity hits).
bool IsIndication(uint16_t msgId);

class LibClient {
  public:
    // Registers with LAPI_RegisterClient; Ok() tells whether it worked.
    explicit LibClient(unsigned services);
    ~LibClient();
    LibClient(const LibClient &) = delete;
    LibClient &operator=(const LibClient &) = delete;

    bool Ok() const { return id_ >= 0; }
    int Id() const { return id_; }
    // The server's identifier of this client, read from the registry.
    int32_t GlobalId() const;
    // LAPI_UnregisterClient; the result of the call.
    int Unregister();

    // The next message pushed on the asynchronous connection within timeoutMs
    // (messages put aside by WaitFor come first).
    std::optional<Msg> Next(int timeoutMs);
    // The first message that satisfies pred within timeoutMs; the others read on the
    // way are put aside, in order, for later calls.
    std::optional<Msg> WaitFor(const std::function<bool(const Msg &)> &pred, int timeoutMs);
    std::optional<Msg> WaitForId(uint16_t msgId, int timeoutMs);
    // Every message that arrives within windowMs (and those put aside before).
    std::vector<Msg> Collect(int windowMs);
    // The messages put aside and those readable right now, without waiting.
    std::vector<Msg> ReadAvailable();
    // Drops the messages put aside (they arrived before the last one WaitFor returned).
    void ForgetAside() { aside_.clear(); }

    // One request in the given mode. LAPI_BLOCK: the message the call placed in the
    // response buffer. LAPI_NONBLOCK: the first pushed message that is no indication
    // and carries the request's sessionId and transactionId. nullopt when the call
    // fails or nothing comes within timeoutMs; *callResult gets the call's result.
    template <typename Req>
    std::optional<Msg> Exchange(uint8_t mode, int (*call)(int, unsigned char, Req *, void *),
                                Req &req, int timeoutMs = 5000, int *callResult = nullptr) {
        Bytes buf(LAPI_ASYNC_MSG_BUF_LEN, 0);
        const uint8_t sessionId = req.sessionId;
        const uint8_t transactionId = req.transactionId;
        const int r = call(id_, mode, &req, mode == LAPI_BLOCK ? buf.data() : nullptr);
        if (callResult != nullptr) {
            *callResult = r;
        }
        if (r != 0) {
            return std::nullopt;
        }
        if (mode == LAPI_BLOCK) {
            return Trimmed(std::move(buf));
        }
        return WaitFor(
            [&](const Msg &m) {
                return !IsIndication(m.Id()) && m.SessionId() == sessionId &&
                       m.TransactionId() == transactionId;
            },
            timeoutMs);
    }

  private:
    static Msg Trimmed(Bytes buf);
    std::optional<Msg> ReadOne(int timeoutMs);

    int id_ = -1;
    std::deque<Msg> aside_;
};

}  // namespace lapid_itest
