// Network-initiated location requests: notification of the clients, answers, timeouts,
// defaults of each type, client removal and the bounded history.
#include "core/mtlr.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace lapid {
namespace {

class MtlrTest : public ::testing::Test {
  protected:
    static MtlrRequest Request(NotificationType type, int32_t timeoutS = kDefaultMtlrTimeoutS) {
        MtlrRequest r;
        r.notificationType = static_cast<int32_t>(type);
        r.locationType = static_cast<int32_t>(MtlrLocationType::kCurrentOrLastKnown);
        r.dataCodingSchema = 0x0F;
        r.clientName = std::string("Road\0side", 9);  // bytes, not text
        r.clientExternalAddr = "+4930123456";
        r.timeoutS = timeoutS;
        return r;
    }
    // Injects and checks that it was accepted.
    InjectResult MustInject(const MtlrRequest &req, const std::vector<ClientKey> &clients) {
        InjectResult r = mtlr.Inject(req, clients);
        EXPECT_EQ(r.error, InjectError::kNone);
        return r;
    }
    static std::vector<ClientKey> StatusClients(const MtlrEvents &e) {
        std::vector<ClientKey> out;
        for (const MtlrStatus &s : e.status) {
            out.push_back(s.client);
        }
        return out;
    }

    ManualClock clock;
    MtlrNotifications mtlr{clock};
};

TEST_F(MtlrTest, EveryClientIsNotifiedWithItsOwnIds) {
    const MtlrRequest req = Request(NotificationType::kVerifyAllowIfNoResponse);
    InjectResult r = MustInject(req, {4, 7, 4, 9});
    ASSERT_EQ(r.events.notify.size(), 3u) << "client 4 is listed twice, notified once";
    EXPECT_TRUE(r.events.status.empty());
    std::set<std::pair<int, int>> ids;
    std::vector<ClientKey> clients;
    for (const MtlrNotify &n : r.events.notify) {
        clients.push_back(n.client);
        ids.emplace(n.sessionId, n.transactionId);
        EXPECT_EQ(n.requestId, r.requestId);
        EXPECT_EQ(n.notificationType, req.notificationType);
        EXPECT_EQ(n.locationType, req.locationType);
        EXPECT_EQ(n.dataCodingSchema, 0x0F);
        EXPECT_EQ(n.clientName, req.clientName);
        EXPECT_EQ(n.clientName.size(), 9u);
        EXPECT_EQ(n.clientExternalAddr, req.clientExternalAddr);
    }
    EXPECT_EQ(clients, (std::vector<ClientKey>{4, 7, 9}));
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_EQ(mtlr.OpenNotifications(), 3u);
    EXPECT_EQ(mtlr.NextDeadlineMs(), 30000);
}

TEST_F(MtlrTest, IdsStayUniqueAmongPendingNotifications) {
    std::set<std::pair<int, int>> ids;
    std::vector<ClientKey> clients;
    for (ClientKey c = 0; c < 300; ++c) {
        clients.push_back(c);
    }
    for (int i = 0; i < 5; ++i) {
        InjectResult r = MustInject(Request(NotificationType::kVerifyDenyIfNoResponse), clients);
        for (const MtlrNotify &n : r.events.notify) {
            EXPECT_TRUE(ids.emplace(n.sessionId, n.transactionId).second)
                << "pair " << int{n.sessionId} << "/" << int{n.transactionId} << " reused";
        }
    }
    EXPECT_EQ(ids.size(), 1500u);
    EXPECT_EQ(mtlr.OpenNotifications(), 1500u);
}

TEST_F(MtlrTest, IdsSkipPairsStillOpenAfterWrapAround) {
    InjectResult held = MustInject(Request(NotificationType::kVerifyAllowIfNoResponse), {1});
    ASSERT_EQ(held.events.notify.size(), 1u);
    const MtlrNotify &first = held.events.notify[0];

    // Every other pair is used once by a request that settles at once, so the next
    // allocation comes back round to the pair that is still open.
    std::vector<ClientKey> many;
    for (ClientKey c = 100; c < 100 + 65535; ++c) {
        many.push_back(c);
    }
    InjectResult all = MustInject(Request(NotificationType::kNotifyOnly), many);
    ASSERT_EQ(all.events.notify.size(), 65535u);
    many.push_back(100 + 65535);
    EXPECT_EQ(mtlr.Inject(Request(NotificationType::kNotifyOnly), many).error,
              InjectError::kTooManyPending)
        << "65536 pairs are not free while one is open";

    InjectResult next = MustInject(Request(NotificationType::kVerifyAllowIfNoResponse), {2});
    ASSERT_EQ(next.events.notify.size(), 1u);
    const MtlrNotify &second = next.events.notify[0];
    EXPECT_FALSE(second.sessionId == first.sessionId &&
                 second.transactionId == first.transactionId);
    // Both still answer to their own client.
    EXPECT_EQ(mtlr.Answer(2, second.sessionId, second.transactionId, 0).result,
              AnswerResult::kAccepted);
    EXPECT_EQ(mtlr.Answer(1, first.sessionId, first.transactionId, 0).result,
              AnswerResult::kAccepted);
}

// Outcome of each type when a notified client answers allow or deny, and when nobody
// answers before the timeout.
TEST_F(MtlrTest, OutcomeOfEachTypeForEachAnswer) {
    using T = NotificationType;
    using C = NotificationCause;
    const struct {
        T type;
        std::optional<MtlrResponseType> answer;  // none: let the timeout pass
        C cause;
    } cases[] = {
        {T::kVerifyAllowIfNoResponse, MtlrResponseType::kAllow, C::kAllowedByUser},
        {T::kVerifyAllowIfNoResponse, MtlrResponseType::kDeny, C::kDeniedByUser},
        {T::kVerifyAllowIfNoResponse, std::nullopt, C::kAllowedByDefault},
        {T::kVerifyDenyIfNoResponse, MtlrResponseType::kAllow, C::kAllowedByUser},
        {T::kVerifyDenyIfNoResponse, MtlrResponseType::kDeny, C::kDeniedByUser},
        {T::kVerifyDenyIfNoResponse, std::nullopt, C::kDeniedByDefault},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.type));
        ManualClock clk;
        MtlrNotifications m(clk);
        InjectResult r = m.Inject(Request(c.type, 20), {1, 2});
        ASSERT_EQ(r.error, InjectError::kNone);
        ASSERT_EQ(r.events.notify.size(), 2u);
        MtlrEvents settled;
        if (c.answer) {
            clk.Advance(19999);
            const MtlrNotify &n = r.events.notify[1];
            AnswerOutcome a =
                m.Answer(2, n.sessionId, n.transactionId, static_cast<int32_t>(*c.answer));
            ASSERT_EQ(a.result, AnswerResult::kAccepted);
            settled = a.events;
        } else {
            clk.Advance(19999);
            ASSERT_TRUE(m.Tick().status.empty()) << "1 ms before the timeout";
            clk.Advance(1);
            settled = m.Tick();
        }
        // Both notified clients are told, each under its own ids.
        ASSERT_EQ(settled.status.size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(settled.status[i].client, r.events.notify[i].client);
            EXPECT_EQ(settled.status[i].sessionId, r.events.notify[i].sessionId);
            EXPECT_EQ(settled.status[i].transactionId, r.events.notify[i].transactionId);
            EXPECT_EQ(settled.status[i].cause, c.cause);
            EXPECT_EQ(settled.status[i].requestId, r.requestId);
        }
        EXPECT_EQ(m.OpenNotifications(), 0u);
        EXPECT_FALSE(m.NextDeadlineMs().has_value());
        auto rec = m.Find(r.requestId);
        ASSERT_TRUE(rec.has_value());
        EXPECT_TRUE(rec->settled);
        EXPECT_EQ(rec->cause, c.cause);
        EXPECT_EQ(rec->settledMonoMs, c.answer ? 19999 : 20000);
        EXPECT_EQ(rec->answeredBy, c.answer ? std::optional<ClientKey>(2) : std::nullopt);
        EXPECT_EQ(rec->notified, (std::vector<ClientKey>{1, 2}));
    }
}

TEST_F(MtlrTest, TypesWithoutAnswerSettleAtOnce) {
    const std::pair<NotificationType, NotificationCause> cases[] = {
        {NotificationType::kNotifyOnly, NotificationCause::kNotifiedOnly},
        {NotificationType::kLocationNotAllowed, NotificationCause::kNotAllowed},
    };
    for (const auto &[type, cause] : cases) {
        InjectResult r = MustInject(Request(type), {5, 6});
        ASSERT_EQ(r.events.notify.size(), 2u);
        ASSERT_EQ(r.events.status.size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(r.events.status[i].client, r.events.notify[i].client);
            EXPECT_EQ(r.events.status[i].sessionId, r.events.notify[i].sessionId);
            EXPECT_EQ(r.events.status[i].transactionId, r.events.notify[i].transactionId);
            EXPECT_EQ(r.events.status[i].cause, cause);
        }
        EXPECT_EQ(mtlr.OpenNotifications(), 0u);
        EXPECT_FALSE(mtlr.NextDeadlineMs().has_value());
        // Nothing to answer.
        const MtlrNotify &n = r.events.notify[0];
        EXPECT_EQ(mtlr.Answer(5, n.sessionId, n.transactionId, 0).result,
                  AnswerResult::kNotPending);
        ASSERT_TRUE(mtlr.Find(r.requestId).has_value());
        EXPECT_EQ(mtlr.Find(r.requestId)->cause, cause);
    }
}

TEST_F(MtlrTest, NoClientToNotifyAppliesTheDefaultAtOnce) {
    InjectResult r = MustInject(Request(NotificationType::kVerifyDenyIfNoResponse), {});
    EXPECT_TRUE(r.events.notify.empty());
    EXPECT_TRUE(r.events.status.empty());
    auto rec = mtlr.Find(r.requestId);
    ASSERT_TRUE(rec.has_value());
    EXPECT_TRUE(rec->settled);
    EXPECT_EQ(rec->cause, NotificationCause::kDeniedByDefault);
    EXPECT_TRUE(rec->notified.empty());
    EXPECT_FALSE(mtlr.NextDeadlineMs().has_value());
}

TEST_F(MtlrTest, OnlyTheNotifiedClientCanAnswerAndOnlyOnce) {
    InjectResult r = MustInject(Request(NotificationType::kVerifyDenyIfNoResponse), {1, 2});
    const MtlrNotify &toOne = r.events.notify[0];
    ASSERT_EQ(toOne.client, 1);

    EXPECT_EQ(mtlr.Answer(3, toOne.sessionId, toOne.transactionId, 0).result,
              AnswerResult::kNotNotified)
        << "client 3 was never notified";
    EXPECT_EQ(mtlr.Answer(2, toOne.sessionId, toOne.transactionId, 0).result,
              AnswerResult::kNotNotified)
        << "client 2 has its own ids";
    const auto unused = static_cast<uint8_t>(toOne.sessionId + 100);  // no notification has it
    EXPECT_EQ(mtlr.Answer(1, unused, toOne.transactionId, 0).result, AnswerResult::kNotPending);
    AnswerOutcome bad = mtlr.Answer(1, toOne.sessionId, toOne.transactionId, 2);
    EXPECT_EQ(bad.result, AnswerResult::kBadResponseType);
    EXPECT_TRUE(bad.events.status.empty());
    EXPECT_EQ(mtlr.OpenNotifications(), 2u) << "refused answers change nothing";

    AnswerOutcome ok = mtlr.Answer(1, toOne.sessionId, toOne.transactionId, 1);
    EXPECT_EQ(ok.result, AnswerResult::kAccepted);
    EXPECT_EQ(StatusClients(ok.events), (std::vector<ClientKey>{1, 2}));

    AnswerOutcome again = mtlr.Answer(1, toOne.sessionId, toOne.transactionId, 0);
    EXPECT_EQ(again.result, AnswerResult::kNotPending);
    EXPECT_TRUE(again.events.status.empty());
    const MtlrNotify &toTwo = r.events.notify[1];
    EXPECT_EQ(mtlr.Answer(2, toTwo.sessionId, toTwo.transactionId, 0).result,
              AnswerResult::kNotPending)
        << "the request is already settled";
    EXPECT_EQ(mtlr.Find(r.requestId)->cause, NotificationCause::kDeniedByUser);
    EXPECT_EQ(mtlr.Find(r.requestId)->answeredBy, std::optional<ClientKey>(1));

    // The timeout of a settled request does nothing.
    clock.Advance(60000);
    EXPECT_TRUE(mtlr.Tick().status.empty());
}

TEST_F(MtlrTest, AnswerAfterTimeoutIsRefused) {
    InjectResult r = MustInject(Request(NotificationType::kVerifyAllowIfNoResponse, 1), {1});
    clock.Advance(1000);
    ASSERT_EQ(mtlr.Tick().status.size(), 1u);
    const MtlrNotify &n = r.events.notify[0];
    EXPECT_EQ(mtlr.Answer(1, n.sessionId, n.transactionId, 1).result, AnswerResult::kNotPending);
    EXPECT_EQ(mtlr.Find(r.requestId)->cause, NotificationCause::kAllowedByDefault);
}

TEST_F(MtlrTest, DisappearingClientCountsAsNoResponse) {
    // The only notified client goes away: settled at once with the default.
    InjectResult alone = MustInject(Request(NotificationType::kVerifyDenyIfNoResponse), {8});
    clock.Advance(500);
    EXPECT_EQ(mtlr.RemoveClient(8), 1u);
    auto rec = mtlr.Find(alone.requestId);
    ASSERT_TRUE(rec.has_value());
    EXPECT_TRUE(rec->settled);
    EXPECT_EQ(rec->cause, NotificationCause::kDeniedByDefault);
    EXPECT_EQ(rec->settledMonoMs, 500);
    EXPECT_FALSE(mtlr.NextDeadlineMs().has_value());

    // With two notified clients, the one left can still answer; only it is told.
    InjectResult both = MustInject(Request(NotificationType::kVerifyAllowIfNoResponse), {8, 9});
    EXPECT_EQ(mtlr.RemoveClient(8), 1u);
    EXPECT_FALSE(mtlr.Find(both.requestId)->settled);
    EXPECT_EQ(mtlr.RemoveClient(8), 0u);
    const MtlrNotify &toEight = both.events.notify[0];
    EXPECT_EQ(mtlr.Answer(8, toEight.sessionId, toEight.transactionId, 0).result,
              AnswerResult::kNotPending);
    const MtlrNotify &toNine = both.events.notify[1];
    AnswerOutcome a = mtlr.Answer(9, toNine.sessionId, toNine.transactionId, 1);
    ASSERT_EQ(a.result, AnswerResult::kAccepted);
    EXPECT_EQ(StatusClients(a.events), (std::vector<ClientKey>{9}));
    EXPECT_EQ(mtlr.Find(both.requestId)->cause, NotificationCause::kDeniedByUser);

    // Removing a client that was never notified touches nothing.
    InjectResult other = MustInject(Request(NotificationType::kVerifyAllowIfNoResponse), {1});
    EXPECT_EQ(mtlr.RemoveClient(2), 0u);
    EXPECT_FALSE(mtlr.Find(other.requestId)->settled);
}

TEST_F(MtlrTest, InjectionChecksItsFields) {
    const auto withName = [](std::size_t n) {
        MtlrRequest r = Request(NotificationType::kNotifyOnly);
        r.clientName.assign(n, 'x');
        return r;
    };
    const auto withAddr = [](std::size_t n) {
        MtlrRequest r = Request(NotificationType::kNotifyOnly);
        r.clientExternalAddr.assign(n, '1');
        return r;
    };
    const auto withType = [](int32_t type, int32_t locationType) {
        MtlrRequest r = Request(NotificationType::kNotifyOnly);
        r.notificationType = type;
        r.locationType = locationType;
        return r;
    };
    const std::pair<MtlrRequest, InjectError> cases[] = {
        {withName(100), InjectError::kNone},
        {withName(101), InjectError::kNameTooLong},
        {withAddr(100), InjectError::kNone},
        {withAddr(101), InjectError::kAddressTooLong},
        {withType(4, 0), InjectError::kBadNotificationType},
        {withType(-1, 0), InjectError::kBadNotificationType},
        {withType(3, 3), InjectError::kBadLocationType},
        {withType(3, 2), InjectError::kNone},
        {Request(NotificationType::kVerifyDenyIfNoResponse, 0), InjectError::kBadTimeout},
        {Request(NotificationType::kVerifyDenyIfNoResponse, kMaxMtlrTimeoutS + 1),
         InjectError::kBadTimeout},
        {Request(NotificationType::kVerifyDenyIfNoResponse, kMaxMtlrTimeoutS), InjectError::kNone},
    };
    for (const auto &[req, error] : cases) {
        InjectResult r = mtlr.Inject(req, {1});
        EXPECT_EQ(r.error, error);
        EXPECT_EQ(r.events.notify.size(), error == InjectError::kNone ? 1u : 0u);
    }
}

TEST_F(MtlrTest, PendingRequestsAreBounded) {
    for (std::size_t i = 0; i < kMaxPendingMtlr; ++i) {
        MustInject(Request(NotificationType::kVerifyAllowIfNoResponse, 10), {1});
    }
    InjectResult over = mtlr.Inject(Request(NotificationType::kVerifyAllowIfNoResponse), {1});
    EXPECT_EQ(over.error, InjectError::kTooManyPending);
    EXPECT_TRUE(over.events.notify.empty());
    EXPECT_EQ(mtlr.Pending().size(), kMaxPendingMtlr);
    clock.Advance(10000);
    EXPECT_EQ(mtlr.Tick().status.size(), kMaxPendingMtlr);
    EXPECT_TRUE(mtlr.Pending().empty());
    MustInject(Request(NotificationType::kVerifyAllowIfNoResponse), {1});
}

TEST_F(MtlrTest, HistoryKeepsTheLatestOutcomes) {
    std::vector<uint64_t> ids;
    for (std::size_t i = 0; i < kMtlrHistorySize + 5; ++i) {
        ids.push_back(MustInject(Request(NotificationType::kNotifyOnly), {1}).requestId);
    }
    InjectResult open = MustInject(Request(NotificationType::kVerifyAllowIfNoResponse), {1});

    EXPECT_EQ(mtlr.History().size(), kMtlrHistorySize);
    EXPECT_EQ(mtlr.History().front().requestId, ids[5]);
    EXPECT_EQ(mtlr.History().back().requestId, ids.back());
    EXPECT_FALSE(mtlr.Find(ids[4]).has_value()) << "forgotten";
    EXPECT_TRUE(mtlr.Find(ids[5]).has_value());
    EXPECT_FALSE(mtlr.Find(ids.back() + 100).has_value());

    auto pending = mtlr.Find(open.requestId);
    ASSERT_TRUE(pending.has_value());
    EXPECT_FALSE(pending->settled);
    EXPECT_EQ(pending->request.clientExternalAddr, "+4930123456");
    ASSERT_EQ(mtlr.Pending().size(), 1u);
    EXPECT_EQ(mtlr.Pending()[0].requestId, open.requestId);
}

TEST_F(MtlrTest, TimeoutsSettleInDeadlineOrder) {
    InjectResult late = MustInject(Request(NotificationType::kVerifyDenyIfNoResponse, 9), {1});
    InjectResult early = MustInject(Request(NotificationType::kVerifyAllowIfNoResponse, 3), {2});
    EXPECT_EQ(mtlr.NextDeadlineMs(), 3000);
    clock.Advance(10000);
    MtlrEvents out = mtlr.Tick();
    ASSERT_EQ(out.status.size(), 2u);
    EXPECT_EQ(out.status[0].requestId, early.requestId);
    EXPECT_EQ(out.status[0].cause, NotificationCause::kAllowedByDefault);
    EXPECT_EQ(out.status[1].requestId, late.requestId);
    EXPECT_EQ(out.status[1].cause, NotificationCause::kDeniedByDefault);
}

}  // namespace
}  // namespace lapid
