// GPS database writes acknowledged by lapid survive kill -9 of the server: each
// round writes entries in LAPI_BLOCK mode, kills the server as soon as the success
// answer is in, restarts it on the same database file and reads everything back.

#include <string>

#include "itest_fixture.h"

namespace lapid_itest {
namespace {

// Deterministic contents of entry i of round r.
LAPI_GPS_DB_FILE_S Entry(int round, int i) {
    LAPI_GPS_DB_FILE_S f{};
    f.fileId = static_cast<uint32_t>(1000 * (round + 1) + i);
    f.length = static_cast<uint16_t>(1 + (i % LAPI_GPS_DB_MAX_DATA_LEN));
    for (int b = 0; b < f.length; ++b) {
        f.data[b] = static_cast<uint8_t>(round * 31 + i * 7 + b + 1);
    }
    return f;
}

int EntriesIn(int round) {
    return round == 0 ? LAPI_GPS_DB_MAX_FILES : 3 + round;
}

class DurabilityTest : public LapidTest {};

TEST_F(DurabilityTest, AcknowledgedWritesSurviveKill9) {
    constexpr int kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        {
            LibClient c(LAPI_SERVICE_STATUS);
            ASSERT_TRUE(c.Ok());
            LAPI_SET_GPS_DB_DATA_REQ_S req{};
            req.transactionId = static_cast<uint8_t>(round);
            req.numFiles = static_cast<uint16_t>(EntriesIn(round));
            for (int i = 0; i < EntriesIn(round); ++i) {
                req.dbFile[i] = Entry(round, i);
            }
            const auto rsp = c.Exchange(LAPI_BLOCK, LAPI_SetGpsDatabaseData, req);
            ASSERT_TRUE(rsp);
            ASSERT_EQ(rsp->Id(), LAPI_MSG_SET_GPS_DB_DATA_RSP);
            ASSERT_EQ(Val(rsp->As<LAPI_SET_GPS_DB_DATA_RSP_S>().result), 0);
            // Right after the acknowledgement, before anything else can happen.
            server_->Kill9();
        }
        ASSERT_TRUE(server_->Start()) << server_->Error() << "\n" << server_->Log();

        // Everything written so far, this round and the ones before, is there.
        LibClient c(LAPI_SERVICE_STATUS);
        ASSERT_TRUE(c.Ok());
        for (int r = 0; r <= round; ++r) {
            for (int i = 0; i < EntriesIn(r); ++i) {
                const LAPI_GPS_DB_FILE_S want = Entry(r, i);
                LAPI_GET_GPS_DB_DATA_REQ_S get{};
                get.fileId = want.fileId;
                const auto rsp = c.Exchange(LAPI_BLOCK, LAPI_GetGpsDatabaseData, get);
                ASSERT_TRUE(rsp);
                ASSERT_EQ(rsp->Id(), LAPI_MSG_GET_GPS_DB_DATA_RSP);
                const auto got = rsp->As<LAPI_GET_GPS_DB_DATA_RSP_S>();
                ASSERT_EQ(Val(got.result), 0) << "fileId " << want.fileId << " lost";
                EXPECT_EQ(Val(got.dbFile[0].fileId), Val(want.fileId));
                ASSERT_EQ(Val(got.dbFile[0].length), Val(want.length));
                for (int b = 0; b < want.length; ++b) {
                    EXPECT_EQ(Val(got.dbFile[0].data[b]), Val(want.data[b]))
                        << "fileId " << want.fileId << " byte " << b;
                }
            }
        }
    }
}

TEST_F(DurabilityTest, RefusedWriteLeavesTheStoreUnchangedAcrossRestart) {
    {
        LibClient c(LAPI_SERVICE_STATUS);
        ASSERT_TRUE(c.Ok());
        LAPI_SET_GPS_DB_DATA_REQ_S req{};
        req.numFiles = 1;
        req.dbFile[0] = Entry(0, 0);
        auto rsp = c.Exchange(LAPI_BLOCK, LAPI_SetGpsDatabaseData, req);
        ASSERT_TRUE(rsp);
        ASSERT_EQ(Val(rsp->As<LAPI_SET_GPS_DB_DATA_RSP_S>().result), 0);
    }
    // The same fileId with new contents, in a request whose second element the server
    // refuses (sent by hand: the library would not send it).
    {
        RawClient raw;
        std::string why;
        ASSERT_TRUE(raw.Register(LAPI_SERVICE_STATUS, &why)) << why;
        LAPI_SET_GPS_DB_DATA_REQ_S req{};
        req.mode = LAPI_BLOCK;
        req.numFiles = 2;
        req.dbFile[0] = Entry(1, 0);
        req.dbFile[0].fileId = Entry(0, 0).fileId;
        req.dbFile[1] = Entry(1, 1);
        req.dbFile[1].length = 0;
        Bytes rsp;
        ASSERT_EQ(raw.Call(RequestBytes(req, LAPI_MSG_SET_GPS_DB_DATA_REQ), &rsp),
                  RecvResult::kMessage);
        ASSERT_EQ(MsgIdOf(rsp), LAPI_MSG_SET_GPS_DB_DATA_RSP);
        EXPECT_NE(Val(FromBytes<LAPI_SET_GPS_DB_DATA_RSP_S>(rsp).result), 0);
    }
    server_->Kill9();
    ASSERT_TRUE(server_->Start()) << server_->Error() << "\n" << server_->Log();
    LibClient c(LAPI_SERVICE_STATUS);
    ASSERT_TRUE(c.Ok());
    LAPI_GET_GPS_DB_DATA_REQ_S get{};
    get.fileId = Entry(0, 0).fileId;
    const auto rsp = c.Exchange(LAPI_BLOCK, LAPI_GetGpsDatabaseData, get);
    ASSERT_TRUE(rsp);
    const auto got = rsp->As<LAPI_GET_GPS_DB_DATA_RSP_S>();
    ASSERT_EQ(Val(got.result), 0);
    EXPECT_EQ(Val(got.dbFile[0].data[0]), Val(Entry(0, 0).data[0])) << "refused write applied";
}

}  // namespace
}  // namespace lapid_itest
