// Framing of input, the output queue, the checks of requests against the catalogue,
// and the layout of the messages lapid builds.
#include <gtest/gtest.h>

#include <cstring>

#include "lapid_harness.h"
#include "proto/framer.h"
#include "proto/messages.h"
#include "proto/output_queue.h"

namespace lapidtest {
namespace {

using lapid::MessageFramer;

Bytes Msg(uint16_t msgId, std::size_t bodyLen, uint8_t fill) {
    Bytes b = ToBytes(Header(msgId, static_cast<uint16_t>(bodyLen)));
    b.insert(b.end(), bodyLen, fill);
    return b;
}

std::vector<Bytes> Drain(MessageFramer &f) {
    std::vector<Bytes> out;
    std::span<const uint8_t> m;
    while (f.Next(m) == MessageFramer::Status::kMessage) {
        out.emplace_back(m.begin(), m.end());
    }
    return out;
}

TEST(Framer, WholeMessagesFromEverySplitPoint) {
    Bytes stream = Msg(112, 4, 0x11);
    const Bytes second = Msg(104, 0, 0);
    const Bytes third = Msg(111, 226, 0x33);
    stream.insert(stream.end(), second.begin(), second.end());
    stream.insert(stream.end(), third.begin(), third.end());
    for (std::size_t a = 0; a <= stream.size(); ++a) {
        for (std::size_t b = a; b <= stream.size(); b += 7) {
            MessageFramer f;
            std::vector<Bytes> got;
            const std::size_t cuts[] = {0, a, b, stream.size()};
            for (int i = 0; i < 3; ++i) {
                f.Append(stream.data() + cuts[i], cuts[i + 1] - cuts[i]);
                for (Bytes &m : Drain(f)) {
                    got.push_back(std::move(m));
                }
            }
            ASSERT_EQ(got.size(), 3u) << "cuts at " << a << " and " << b;
            EXPECT_EQ(got[0], Msg(112, 4, 0x11));
            EXPECT_EQ(got[1], second);
            EXPECT_EQ(got[2], third);
            EXPECT_EQ(f.Buffered(), 0u);
        }
    }
}

TEST(Framer, BodyAbove248IsAnErrorThatStays) {
    MessageFramer f;
    const Bytes ok = Msg(117, 248, 1);
    f.Append(ok.data(), ok.size());
    std::span<const uint8_t> m;
    ASSERT_EQ(f.Next(m), MessageFramer::Status::kMessage);
    EXPECT_EQ(m.size(), 256u);

    const Bytes bad = ToBytes(Header(112, 249));
    f.Append(bad.data(), 7);
    EXPECT_EQ(f.Next(m), MessageFramer::Status::kNeedMore);
    f.Append(bad.data() + 7, 1);
    EXPECT_EQ(f.Next(m), MessageFramer::Status::kTooLong);
    EXPECT_EQ(f.BadLength(), 249);
    const Bytes after = Msg(112, 4, 0);
    f.Append(after.data(), after.size());
    EXPECT_EQ(f.Next(m), MessageFramer::Status::kTooLong);
}

TEST(OutputQueue, PartialWritesKeepOrder) {
    lapid::OutputQueue q;
    Bytes all;
    for (uint8_t i = 0; i < 50; ++i) {
        const Bytes m = Msg(i, i, i);
        q.Append(m);
        all.insert(all.end(), m.begin(), m.end());
        // Take a few bytes off now and then, as a socket would.
        if (i % 3 == 0) {
            const auto d = q.Data();
            const std::size_t n = std::min<std::size_t>(d.size(), 11);
            EXPECT_TRUE(
                std::equal(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(n), all.begin()));
            q.Consume(n);
            all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n));
        }
    }
    EXPECT_EQ(q.Size(), all.size());
    EXPECT_TRUE(std::equal(q.Data().begin(), q.Data().end(), all.begin()));
    q.Consume(q.Size() + 100);
    EXPECT_TRUE(q.Empty());
}

struct CheckCase {
    const char *name;
    Bytes bytes;
    lapid::RequestProblem problem;
    int blocking;  // -1: mode not readable
};

TEST(CheckRequest, AgainstTheCatalogue) {
    Bytes status1 = ToBytes(Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 1));
    Bytes status0 = ToBytes(Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 0));
    Bytes status3 = ToBytes(Request<LAPI_GET_STATUS_REQ_S>(LAPI_MSG_GET_STATUS_REQ, 3));
    Bytes statusHigh = status1;
    statusHigh[9] = 1;  // mode 0x0101
    Bytes shortLoc = ToBytes(LocationReq(1, 0));
    shortLoc[6] = 31;
    shortLoc.pop_back();
    LAPI_LOCATION_NOTIFICATION_CFM_S cfm{};
    cfm.header = Header(LAPI_MSG_LOCATION_NOTIFICATION_CFM, 6);
    using P = lapid::RequestProblem;
    const CheckCase cases[] = {
        {"getStatusReq BLOCK", status1, P::kNone, 1},
        {"getStatusReq NONBLOCK", status0, P::kNone, 0},
        {"mode 3", status3, P::kBadMode, -1},
        {"mode with a high byte", statusHigh, P::kBadMode, -1},
        {"msgLen 31, mode still readable", shortLoc, P::kBadLength, 1},
        {"locationNotificationCfm has no mode", ToBytes(cfm), P::kNone, -1},
        {"unknown msgId 117, mode 1", Msg(117, 4, 1), P::kUnknownMsgId, -1},
        {"server-range msgId", Msg(3, 2, 0), P::kUnknownMsgId, 0},
    };
    for (const CheckCase &c : cases) {
        SCOPED_TRACE(c.name);
        const lapid::RequestCheck r = lapid::CheckRequest(c.bytes);
        EXPECT_EQ(Val(r.problem), Val(c.problem));
        EXPECT_EQ(r.blocking.has_value() ? (*r.blocking ? 1 : 0) : -1, Val(c.blocking));
    }
}

TEST(Builders, LengthsComeFromTheCatalogueAndFieldsSitAtTheirOffsets) {
    lapid::LocationAnswer a;
    a.sessionId = 3;
    a.transactionId = 4;
    a.cause = lapid::LocationCause::kAccuracyNotMet;
    lapid::Fix f;
    f.latitude = 1.5;
    f.longitude = -2.25;
    f.timeStampMs = 1000;
    f.locationMethod = lapid::kMethodSimulated;
    a.fix = f;
    a.ageOfFix = 0.5;
    const lapid::WireMsg m = lapid::msg::Location(99, a);
    ASSERT_EQ(Val(m.size), 114);
    const Bytes b(m.bytes.begin(), m.bytes.begin() + m.size);
    const auto rsp = As<LAPI_GET_LOCATION_RSP_S>(b);
    EXPECT_EQ(Val(rsp.header.pid), 99);
    EXPECT_EQ(Val(rsp.header.msgLen), 106);
    EXPECT_EQ(Val(rsp.sessionId), 3);
    EXPECT_EQ(Val(rsp.latitude), 1.5);
    EXPECT_EQ(Val(rsp.longitude), -2.25);
    EXPECT_EQ(Val(rsp.timeStamp), 1000);
    EXPECT_EQ(Val(rsp.cause), 2);
    EXPECT_EQ(Val(rsp.ageOfFix), 0.5);
    // The wire double 1.5 at offset 18, least significant byte first.
    const uint8_t onePointFive[] = {0, 0, 0, 0, 0, 0, 0xF8, 0x3F};
    EXPECT_EQ(std::memcmp(b.data() + 18, onePointFive, 8), 0);

    a.fix.reset();
    a.cause = lapid::LocationCause::kNoFix;
    const lapid::WireMsg empty = lapid::msg::Location(99, a);
    const auto noFix = As<LAPI_GET_LOCATION_RSP_S>(Bytes(empty.View().begin(), empty.View().end()));
    EXPECT_EQ(Val(noFix.latitude), 0.0);
    EXPECT_EQ(Val(noFix.ageOfFix), -1.0);

    lapid::MtlrNotify n;
    n.clientName = std::string(150, 'x');  // longer than the field: cut to 100
    const lapid::WireMsg ind = lapid::msg::LocationNotificationInd(1, n);
    EXPECT_EQ(Val(ind.size), 221);
    EXPECT_EQ(ind.bytes[19], 100);
    EXPECT_EQ(ind.bytes[120], 0);
}

}  // namespace
}  // namespace lapidtest
