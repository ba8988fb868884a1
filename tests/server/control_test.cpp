// The control protocol on an engine with a ManualClock: each command's answer lines,
// its effect, and its refusals.
#include <gtest/gtest.h>

#include "control/control.h"
#include "lapid_harness.h"

namespace lapidtest {
namespace {

class ControlTest : public ::testing::Test {
  protected:
    std::string Run(std::string_view line) {
        std::string out = commands.Execute(line);
        h.Pump();
        return out;
    }
    EngineHarness h;
    lapid::ControlCommands commands{h.engine, &h.sim};
};

TEST_F(ControlTest, EveryAnswerEndsWithOkOrErr) {
    const std::string help = Run("help");
    EXPECT_EQ(help.substr(0, 5), "help\n");
    EXPECT_NE(help.find("\nmtlr-result ID\n"), std::string::npos);
    EXPECT_EQ(help.substr(help.size() - 3), "OK\n");
    EXPECT_EQ(Run(""), "ERR empty command\n");
    EXPECT_EQ(Run("jump"), "ERR unknown command jump (try help)\n");
}

TEST_F(ControlTest, PositionAndRouteMoveTheSimulator) {
    h.UntilFix();
    EXPECT_EQ(Run("position 48.5 -2.25 100 7.5"), "OK\n");
    h.Advance(1000);
    ASSERT_TRUE(h.sim.LatestFix().has_value());
    EXPECT_DOUBLE_EQ(Val(h.sim.LatestFix()->latitude), 48.5);
    EXPECT_DOUBLE_EQ(Val(h.sim.LatestFix()->longitude), -2.25);
    EXPECT_DOUBLE_EQ(Val(h.sim.LatestFix()->altitude), 100);
    EXPECT_DOUBLE_EQ(Val(h.sim.LatestFix()->horizontalAccuracy), 7.5);

    EXPECT_EQ(Run("route 10 10,20 10.01,20,5 once"), "OK\n");
    h.Advance(1000);
    EXPECT_DOUBLE_EQ(Val(h.sim.LatestFix()->latitude), 10);
    h.Advance(1000);
    EXPECT_DOUBLE_EQ(Val(h.sim.LatestFix()->speed), 10);

    EXPECT_EQ(Run("position 91 0"), "ERR invalid position\n");
    EXPECT_EQ(Run("position 1"), "ERR usage: position LAT LON [ALT [ACCURACY]]\n");
    EXPECT_EQ(Run("position 1 x"), "ERR not a number: x\n");
    EXPECT_EQ(Run("route 10 1,2,3,4 5,6"), "ERR not a waypoint LAT,LON[,ALT]: 1,2,3,4\n");
    EXPECT_EQ(Run("route -1 1,2 3,4"), "ERR invalid speed\n");
    EXPECT_EQ(Run("route 5"), "ERR usage: route SPEED LAT,LON[,ALT] LAT,LON[,ALT] [...] [once]\n");
}

TEST_F(ControlTest, FixOffTellsStatusClients) {
    const TestClient c = h.Register(LAPI_SERVICE_STATUS);
    h.UntilFix();
    h.Take(c.async);
    EXPECT_EQ(Run("fix off"), "OK\n");
    EXPECT_EQ(Val(As<LAPI_STATUS_CHANGE_IND_S>(h.TakeOne(c.async)).fixStatus), 0);
    EXPECT_EQ(Run("fix on"), "OK\n");
    EXPECT_EQ(Val(As<LAPI_STATUS_CHANGE_IND_S>(h.TakeOne(c.async)).fixStatus), 1);
    EXPECT_EQ(Run("fix maybe"), "ERR usage: fix on|off\n");
}

TEST_F(ControlTest, StatusSetsAValue) {
    const TestClient c = h.Register(LAPI_SERVICE_STATUS);
    EXPECT_EQ(Run("status fixResultStatus.cause 4"), "OK\n");
    EXPECT_EQ(Val(As<LAPI_STATUS_CHANGE_IND_S>(h.TakeOne(c.async)).fixResultStatus.cause), 4);
    EXPECT_EQ(Run("status hwStatus 3"), "ERR value out of range for hwStatus\n");
    EXPECT_EQ(Run("status speed 1"), "ERR unknown status name speed\n");
    EXPECT_EQ(Run("status hwStatus one"), "ERR not an integer: one\n");
    EXPECT_TRUE(h.Take(c.async).empty());
}

TEST_F(ControlTest, MtlrInjectionAndResult) {
    const TestClient c = h.Register(LAPI_SERVICE_MTLR);
    EXPECT_EQ(Run("mtlr 1 locationType=2 dcs=15 name=Road%20Assist addr=+4930 timeout=2"),
              "request 1\nOK\n");
    const auto ind = As<LAPI_LOCATION_NOTIFICATION_IND_S>(h.TakeOne(c.async));
    EXPECT_EQ(Val(ind.locationType), 2);
    EXPECT_EQ(Val(ind.dataCodingSchema), 15);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(ind.clientName), ind.nameLength),
              "Road Assist");
    EXPECT_EQ(Run("mtlr-result 1"), "request 1 state=pending\nOK\n");

    LAPI_LOCATION_NOTIFICATION_CFM_S cfm{};
    cfm.header = Header(LAPI_MSG_LOCATION_NOTIFICATION_CFM, 6);
    cfm.sessionId = ind.sessionId;
    cfm.transactionId = ind.transactionId;
    cfm.responseType = 0;
    h.SendRec(c.sync, cfm);
    EXPECT_EQ(Run("mtlr-result 1"),
              "request 1 state=allowed-by-user client=" + std::to_string(c.globalId) + "\nOK\n");

    EXPECT_EQ(Run("mtlr 0"), "request 2\nOK\n");
    EXPECT_EQ(Run("mtlr-result 2"), "request 2 state=notified-only\nOK\n");
    EXPECT_EQ(Run("mtlr 2 timeout=1"), "request 3\nOK\n");
    h.Advance(1000);
    EXPECT_EQ(Run("mtlr-result 3"), "request 3 state=denied-by-default\nOK\n");

    EXPECT_EQ(Run("mtlr 7"), "ERR TYPE must be 0 to 3\n");
    EXPECT_EQ(Run("mtlr 1 colour=red"), "ERR bad argument colour=red\n");
    EXPECT_EQ(Run("mtlr 1 name=%2"), "ERR bad argument name=%2\n");
    EXPECT_EQ(Run("mtlr 1 timeout=0"), "ERR timeout must be 1 to 3600 seconds\n");
    EXPECT_EQ(Run("mtlr-result 99"), "ERR no request 99\n");
}

TEST_F(ControlTest, ClientsAndCounters) {
    const TestClient a = h.Register(LAPI_SERVICE_MOLR | LAPI_SERVICE_STATUS, 321);
    h.SendRec(a.sync, LocationReq(0, 0, 0, LAPI_REPORT_PERIODIC, 5));
    const ConnId half = h.Connect();
    LAPI_REGISTER_REQ_S reg{};
    reg.header = Header(LAPI_MSG_REGISTER_REQ, 4, 654);
    reg.service = LAPI_SERVICE_MTLR;
    h.SendRec(half, reg);
    const int32_t halfId = As<LAPI_REGISTER_RSP_S>(h.TakeOne(half)).globalId;

    EXPECT_EQ(Run("clients"),
              "client globalId=" + std::to_string(a.globalId) +
                  " pid=321 services=5 sessions=1 listeners=0 pending=0 async=yes\n"
                  "client globalId=" +
                  std::to_string(halfId) +
                  " pid=654 services=2 sessions=0 listeners=0 pending=0 async=no\nOK\n");

    h.Send(a.sync, Bytes{1, 0, 0, 0, 0x75, 0, 0, 0});  // msgId 117
    const std::string counters = Run("counters");
    for (const char *line :
         {"\nconnections 3\n", "\nclients 2\n", "\ninvalid_requests 1\n", "\nmessages_in 5\n",
          "\nsessions 1\n", "\ndisconnects_slow_reader 0\n", "\nregistration_timeouts 0\n"}) {
        EXPECT_NE(("\n" + counters).find(line), std::string::npos) << line << counters;
    }
}

TEST(ControlSession, LinesAcrossPiecesAndOverlongLines) {
    EngineHarness h;
    lapid::ControlCommands commands(h.engine, &h.sim);
    lapid::ControlSession s(commands);
    EXPECT_EQ(s.Feed("fix o", 5), "");
    EXPECT_EQ(s.Feed("ff\nfix on\r\nfi", 13), "OK\nOK\n");
    EXPECT_FALSE(s.Ended());
    const std::string longLine(lapid::ControlSession::kMaxLine + 1, 'a');
    EXPECT_EQ(s.Feed(longLine.data(), longLine.size()), "ERR line too long\n");
    EXPECT_TRUE(s.Ended());
    EXPECT_EQ(s.Feed("help\n", 5), "");
}

TEST(ControlWithoutSimulator, PositionCommandsAreRefused) {
    EngineHarness h;
    lapid::ControlCommands commands(h.engine, nullptr);
    EXPECT_EQ(commands.Execute("position 1 2"), "ERR the position source is not the simulator\n");
    EXPECT_EQ(commands.Execute("fix on"), "ERR the position source is not the simulator\n");
}

}  // namespace
}  // namespace lapidtest
