// Formatting of server messages: JSON lines for scripts and text for people. Messages
// are built here byte by byte at their wire offsets, not through the records that the
// formatter reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "codes.h"
#include "format.h"

namespace lapictl {
namespace {

// A message under construction: header, then fields put at their offsets.
class Wire {
  public:
    Wire(uint16_t msgId, uint16_t msgLen, int32_t pid = 4242) : bytes_(8u + msgLen, 0) {
        Put(0, pid);
        Put(4, msgId);
        Put(6, msgLen);
    }
    template <class T>
    Wire &Put(std::size_t offset, T value) {
        std::memcpy(bytes_.data() + offset, &value, sizeof value);  // the host is little-endian
        return *this;
    }
    Wire &U8(std::size_t offset, uint8_t value) { return Put(offset, value); }
    Wire &Text(std::size_t offset, const char *text) {
        std::memcpy(bytes_.data() + offset, text, std::strlen(text));
        return *this;
    }
    Bytes bytes() const { return Bytes(bytes_.data(), bytes_.size()); }

  private:
    std::vector<uint8_t> bytes_;
};

// The keys of the top-level object, in order.
std::vector<std::string> TopKeys(const std::string &json) {
    std::vector<std::string> keys;
    int depth = 0;
    bool expectKey = false;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (c == '"') {
            std::size_t j = i + 1;
            std::string text;
            while (json[j] != '"') {
                if (json[j] == '\\') {
                    ++j;
                }
                text += json[j++];
            }
            if (depth == 1 && expectKey) {
                keys.push_back(text);
                expectKey = false;
            }
            i = j;
        } else if (c == '{' || c == '[') {
            ++depth;
            expectKey = depth == 1 && c == '{';
        } else if (c == '}' || c == ']') {
            --depth;
        } else if (c == ',' && depth == 1) {
            expectKey = true;
        }
    }
    return keys;
}

// The raw text of a top-level scalar value ("52.5", "\"abc\"", "null").
std::string Value(const std::string &json, const std::string &key) {
    const std::string tag = "\"" + key + "\":";
    const std::size_t at = json.find(tag);
    if (at == std::string::npos) {
        return "<missing>";
    }
    std::size_t end = at + tag.size();
    if (json[end] == '"') {
        end = json.find('"', end + 1) + 1;
    } else {
        while (end < json.size() && json[end] != ',' && json[end] != '}') {
            ++end;
        }
    }
    return json.substr(at + tag.size(), end - at - tag.size());
}

double Number(const std::string &json, const std::string &key) {
    const std::string text = Value(json, key);
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    EXPECT_EQ(*end, '\0') << key << " is not a number: " << text;
    return value;
}

const std::vector<std::string> kFixKeys = {
    "longitude", "latitude",        "latLonAccuracy",    "timeStamp",          "altitude",
    "speed",     "travelDirection", "pointingDirection", "horizontalAccuracy", "verticalAccuracy",
    "course",    "locationMethod"};

std::vector<std::string> Keys(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto &part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// ---- JSON lines ------------------------------------------------------------------

TEST(MessageJson, GetLocationRspHasEveryFieldInOrderAndExactValues) {
    const double latitude = 52.520008;
    const double longitude = -0.1 - 0.2;  // not representable in few digits
    Wire w(0, 106);
    w.U8(8, 200).U8(9, 7);
    w.Put(10, longitude).Put(18, latitude).Put(26, 5.0).Put(34, int64_t{1796544000123});
    w.Put(42, 34.5).Put(50, 10.0).Put(58, 45.0).Put(66, 46.0).Put(74, 6.25).Put(82, 9.375);
    w.Put(90, 47.0).Put(98, int32_t{2}).Put(102, int32_t{1}).Put(106, 0.75);

    const std::string json = MessageJson(w.bytes());
    EXPECT_EQ(TopKeys(json), Keys({{"msg", "pid", "msgId", "msgLen", "sessionId", "transactionId"},
                                   kFixKeys,
                                   {"cause", "ageOfFix"}}));
    EXPECT_EQ(Value(json, "msg"), "\"getLocationRsp\"");
    EXPECT_EQ(Value(json, "pid"), "4242");
    EXPECT_EQ(Value(json, "sessionId"), "200");  // unsigned byte
    EXPECT_EQ(Number(json, "latitude"), latitude);
    EXPECT_EQ(Number(json, "longitude"), longitude);
    EXPECT_EQ(Value(json, "timeStamp"), "1796544000123");
    EXPECT_EQ(Number(json, "verticalAccuracy"), 9.375);
    EXPECT_EQ(Value(json, "locationMethod"), "2");
    EXPECT_EQ(Value(json, "cause"), "1");
    EXPECT_EQ(Number(json, "ageOfFix"), 0.75);
}

TEST(MessageJson, ProximityHitIndHasNoCauseAndAgeAfterMethod) {
    Wire w(13, 102);
    w.Put(10, 13.404954).Put(18, 52.520008).Put(98, int32_t{2}).Put(102, -1.0);
    const std::string json = MessageJson(w.bytes());
    EXPECT_EQ(TopKeys(json), Keys({{"msg", "pid", "msgId", "msgLen", "sessionId", "transactionId"},
                                   kFixKeys,
                                   {"ageOfFix"}}));
    EXPECT_EQ(Value(json, "msg"), "\"proximityHitInd\"");
    EXPECT_EQ(Number(json, "latitude"), 52.520008);
    EXPECT_EQ(Number(json, "ageOfFix"), -1.0);
}

TEST(MessageJson, DistanceKeepsMillimetresAndMicrodegrees) {
    const double distance = 5551759.4003;
    const double azimuth = 51.19888312345;
    Wire w(10, 18);
    w.Put(10, distance).Put(18, azimuth);
    const std::string json = MessageJson(w.bytes());
    EXPECT_EQ(TopKeys(json), (std::vector<std::string>{"msg", "pid", "msgId", "msgLen", "sessionId",
                                                       "transactionId", "distance", "azimuth"}));
    EXPECT_EQ(Number(json, "distance"), distance);
    EXPECT_EQ(Number(json, "azimuth"), azimuth);
}

TEST(MessageJson, NonFiniteDoublesBecomeNull) {
    Wire w(10, 18);
    w.Put(10, std::numeric_limits<double>::quiet_NaN());
    w.Put(18, std::numeric_limits<double>::infinity());
    const std::string json = MessageJson(w.bytes());
    EXPECT_EQ(Value(json, "distance"), "null");
    EXPECT_EQ(Value(json, "azimuth"), "null");
}

TEST(MessageJson, GpsDbDataRspListsTheMeaningfulBytesOfEachFile) {
    Wire w(4, 228);
    w.Put(10, uint16_t{2});
    w.Put(12, uint32_t{7}).Put(16, uint16_t{2}).U8(18, 0xab).U8(19, 0xcd).U8(20, 0xee);
    w.Put(22, uint32_t{4294967295u}).Put(26, uint16_t{4});
    w.U8(28, 0x01).U8(29, 0x02).U8(30, 0x03).U8(31, 0x04);
    w.Put(232, int32_t{0});
    const std::string json = MessageJson(w.bytes());
    EXPECT_EQ(TopKeys(json),
              (std::vector<std::string>{"msg", "pid", "msgId", "msgLen", "sessionId",
                                        "transactionId", "numFiles", "dbFile", "result"}));
    EXPECT_NE(json.find("\"dbFile\":[{\"fileId\":7,\"length\":2,\"data\":\"abcd\"},"
                        "{\"fileId\":4294967295,\"length\":4,\"data\":\"01020304\"}]"),
              std::string::npos)
        << json;
    EXPECT_EQ(Value(json, "result"), "0");
}

TEST(MessageJson, GpsDbDataRspWithOutOfRangeCountsStaysInsideTheRecord) {
    Wire w(4, 228);
    w.Put(10, uint16_t{500});  // more files than the record holds
    w.Put(12, uint32_t{1}).Put(16, uint16_t{9}).U8(18, 0x11).U8(21, 0x44).U8(22, 0x99);
    w.Put(232, int32_t{-1});
    const std::string json = MessageJson(w.bytes());
    EXPECT_EQ(Value(json, "numFiles"), "500");
    // The length is reported as sent, the data stops at the 4 bytes an entry holds.
    EXPECT_NE(json.find("{\"fileId\":1,\"length\":9,\"data\":\"11000044\"}"), std::string::npos);
    std::size_t entries = 0;
    for (std::size_t at = json.find("\"fileId\""); at != std::string::npos;
         at = json.find("\"fileId\"", at + 1)) {
        ++entries;
    }
    EXPECT_EQ(entries, 22u);
    EXPECT_EQ(Value(json, "result"), "-1");
}

TEST(MessageJson, StatusMessagesNestTheFixResult) {
    for (const uint16_t msgId : {uint16_t{6}, uint16_t{7}}) {
        Wire w(msgId, 30);
        w.Put(10, int32_t{1}).Put(14, int32_t{2}).Put(18, int32_t{2}).Put(22, int32_t{0});
        w.Put(26, int32_t{2}).Put(30, int32_t{3}).Put(34, int32_t{1});
        const std::string json = MessageJson(w.bytes());
        EXPECT_EQ(Value(json, "msg"), msgId == 6 ? "\"getStatusRsp\"" : "\"statusChangeInd\"");
        EXPECT_EQ(TopKeys(json), (std::vector<std::string>{
                                     "msg", "pid", "msgId", "msgLen", "sessionId", "transactionId",
                                     "userStatus", "hwStatus", "fixStatus", "emergencyStatus",
                                     "fixResultStatus", "proximityStatus"}));
        EXPECT_NE(json.find("\"fixResultStatus\":{\"status\":2,\"cause\":3}"), std::string::npos);
        EXPECT_EQ(Value(json, "hwStatus"), "2");
    }
}

TEST(MessageJson, NotificationGivesNamesAsHexAndAsTextWhenPrintable) {
    Wire w(8, 213);
    w.U8(8, 3).U8(9, 9).Put(10, int32_t{1}).Put(14, int32_t{2}).U8(18, 15);
    w.U8(19, 5);
    w.Text(20, "Al\"ce");
    w.U8(120, 3).U8(121, 0x00).U8(122, 0xff).U8(123, 0x41);
    const std::string json = MessageJson(w.bytes());
    EXPECT_EQ(TopKeys(json),
              (std::vector<std::string>{"msg", "pid", "msgId", "msgLen", "sessionId",
                                        "transactionId", "notificationType", "locationType",
                                        "dataCodingSchema", "nameLength", "clientName",
                                        "clientNameText", "addrLength", "clientExternalAddr"}));
    EXPECT_EQ(Value(json, "clientName"), "\"416c226365\"");
    EXPECT_NE(json.find("\"clientNameText\":\"Al\\\"ce\""), std::string::npos) << json;
    EXPECT_EQ(Value(json, "clientExternalAddr"), "\"00ff41\"");
    EXPECT_EQ(Value(json, "dataCodingSchema"), "15");
}

TEST(MessageJson, NotificationLengthsBeyondTheFieldAreClamped) {
    Wire w(8, 213);
    w.U8(19, 250).U8(120, 0);
    const std::string json = MessageJson(w.bytes());
    EXPECT_EQ(Value(json, "nameLength"), "250");
    EXPECT_EQ(Value(json, "clientName").size(), 2u + 200u);  // 100 bytes in hex, quoted
    EXPECT_EQ(Value(json, "clientExternalAddr"), "\"\"");
}

TEST(MessageJson, SmallAnswersCarryTheirResultField) {
    struct Case {
        uint16_t msgId;
        uint16_t msgLen;
        const char *name;
        const char *field;  // nullptr: ids only
    };
    const Case cases[] = {
        {1, 6, "abortLocationRsp", "result"},     {2, 2, "timeOutRsp", nullptr},
        {3, 2, "invalidRequestRsp", nullptr},     {5, 6, "setGpsDbDataRsp", "result"},
        {9, 6, "notificationStatusInd", "cause"}, {11, 6, "addProximityRsp", "status"},
        {12, 6, "removeProximityRsp", "status"},
    };
    for (const Case &c : cases) {
        Wire w(c.msgId, c.msgLen);
        w.U8(8, 5).U8(9, 6);
        if (c.field != nullptr) {
            w.Put(10, int32_t{-3});
        }
        const std::string json = MessageJson(w.bytes());
        EXPECT_EQ(Value(json, "msg"), std::string("\"") + c.name + "\"");
        EXPECT_EQ(Value(json, "transactionId"), "6") << c.name;
        std::vector<std::string> expected{"msg",    "pid",       "msgId",
                                          "msgLen", "sessionId", "transactionId"};
        if (c.field != nullptr) {
            expected.emplace_back(c.field);
            EXPECT_EQ(Value(json, c.field), "-3") << c.name;
        }
        EXPECT_EQ(TopKeys(json), expected) << c.name;
    }
}

TEST(MessageJson, WrongLengthAndUnknownIdsAreMarkedMalformed) {
    Wire shortFix(0, 20);
    shortFix.U8(10, 0xab);
    const std::string a = MessageJson(shortFix.bytes());
    EXPECT_EQ(Value(a, "msg"), "\"getLocationRsp\"");
    EXPECT_EQ(Value(a, "malformed"), "true");
    EXPECT_EQ(Value(a, "body").substr(0, 7), "\"0000ab");
    EXPECT_EQ(Value(a, "latitude"), "<missing>");

    Wire unknown(77, 2);
    const std::string b = MessageJson(unknown.bytes());
    EXPECT_EQ(Value(b, "msg"), "\"unknown\"");
    EXPECT_EQ(Value(b, "msgId"), "77");
    EXPECT_EQ(Value(b, "body"), "\"0000\"");
}

// ---- Text helpers ----------------------------------------------------------------

TEST(Text, CoordinatesCarryTheirHemisphere) {
    EXPECT_EQ(FormatLatitude(52.520008), "52.520008 N");
    EXPECT_EQ(FormatLatitude(-33.9188611), "33.918861 S");
    EXPECT_EQ(FormatLongitude(13.404954), "13.404954 E");
    EXPECT_EQ(FormatLongitude(-73.8), "73.800000 W");
    EXPECT_EQ(FormatLatitude(-0.0), "0.000000 N");
    EXPECT_EQ(FormatLongitude(-1e-9), "0.000000 E");  // rounds to zero: no "0.000000 W"
    EXPECT_EQ(FormatLatitude(std::nan("")), "?");
}

TEST(Text, TimesAreUtcIso8601) {
    EXPECT_EQ(FormatTime(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(FormatTime(1796544000000), "2026-12-06T08:00:00Z");
    EXPECT_EQ(FormatTime(1796544000250), "2026-12-06T08:00:00.250Z");
    EXPECT_EQ(FormatTime(-1), "1969-12-31T23:59:59.999Z");
}

TEST(Text, MetresShowCentimetresAtMost) {
    EXPECT_EQ(FormatMetres(5), "5");
    EXPECT_EQ(FormatMetres(12.5), "12.5");
    EXPECT_EQ(FormatMetres(6.25), "6.25");
    EXPECT_EQ(FormatMetres(50.004), "50");
    EXPECT_EQ(FormatMetres(100), "100");  // trailing zeros of the integer part stay
    EXPECT_EQ(FormatMetres(-0.001), "0");
}

TEST(Text, PrintableTextIsValidUtf8WithoutControls) {
    const auto check = [](const char *s, std::size_t n) {
        return IsPrintableText(reinterpret_cast<const uint8_t *>(s), n);
    };
    EXPECT_TRUE(check("Alice +49 30", 12));
    EXPECT_TRUE(check("Zo\xc3\xab", 4));     // Zoë
    EXPECT_TRUE(check("\xe2\x82\xac", 3));   // €
    EXPECT_FALSE(check("Zo\xc3", 3));        // truncated sequence
    EXPECT_FALSE(check("\xc3\x28", 2));      // bad continuation
    EXPECT_FALSE(check("\xc0\x80", 2));      // overlong NUL
    EXPECT_FALSE(check("\xed\xa0\x80", 3));  // surrogate
    EXPECT_FALSE(check("a\nb", 3));
    EXPECT_FALSE(check("a\0b", 3));
    const uint8_t bin[] = {0x01, 0xff};
    EXPECT_EQ(BytesForPeople(bin, 2), "0x01ff");
    EXPECT_EQ(BytesForPeople(reinterpret_cast<const uint8_t *>("Bob"), 3), "\"Bob\"");
}

TEST(Text, JsonStringsAreEscaped) {
    EXPECT_EQ(JsonQuote("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonQuote(std::string("\n\t\x01", 3)), "\"\\n\\t\\u0001\"");
    EXPECT_EQ(JsonQuote("Zo\xc3\xab"), "\"Zo\xc3\xab\"");
}

// ---- Lines for people ------------------------------------------------------------

LAPI_GET_LOCATION_RSP_S FixRsp(double lat, double lon, double acc, int64_t ms, double speed) {
    Wire w(0, 106);
    w.Put(10, lon).Put(18, lat).Put(26, acc).Put(34, ms).Put(50, speed).Put(74, acc);
    w.Put(90, 270.0);
    return *Decode<LAPI_GET_LOCATION_RSP_S>(w.bytes());
}

TEST(HumanLines, FixLineShowsPositionAccuracyAndTime) {
    EXPECT_EQ(FixLine(FixOf(FixRsp(52.520008, 13.404954, 5, 1796544000000, 0))),
              "52.520008 N 13.404954 E  \u00b15 m  2026-12-06T08:00:00Z");
    EXPECT_EQ(FixLine(FixOf(FixRsp(-33.9, -18.4, 12.5, 1796544000000, 10))),
              "33.900000 S 18.400000 W  \u00b112.5 m  2026-12-06T08:00:00Z  10.0 m/s course "
              "270.0\u00b0");
}

TEST(HumanLines, ProximityHitUsesItsOwnOffsets) {
    Wire w(13, 102);
    w.Put(10, 2.0).Put(18, 1.0).Put(34, int64_t{0}).Put(74, 7.0);
    const auto hit = Decode<LAPI_PROXIMITY_HIT_IND_S>(w.bytes());
    ASSERT_TRUE(hit);
    EXPECT_EQ(FixLine(FixOf(*hit)), "1.000000 N 2.000000 E  \u00b17 m  1970-01-01T00:00:00Z");
}

TEST(HumanLines, DistanceWithAndWithoutAzimuth) {
    Wire w(10, 18);
    w.Put(10, 5551759.4).Put(18, 51.198883);
    const auto rsp = Decode<LAPI_DISTANCE_AZIMUTH_RSP_S>(w.bytes());
    ASSERT_TRUE(rsp);
    EXPECT_EQ(DistanceLine(*rsp, false), "5551759.400 m  azimuth 51.198883\u00b0");
    EXPECT_EQ(DistanceLine(*rsp, true), "5551759.400 m");
}

TEST(HumanLines, StatusShowsNamesAndOnlyWhatChanged) {
    const StatusValues before{1, 1, 1, 0, 0, 0, 0};
    const StatusValues after{1, 1, 2, 0, 1, 0, 0};
    EXPECT_EQ(StatusChangeLine(before, after),
              "fixStatus 1 (acquiring) -> 2 (fix), fixResultStatus.status 0 (none) -> 1 "
              "(success)");
    const std::string same = StatusChangeLine(after, after);
    EXPECT_EQ(same.rfind("userStatus 1 (enabled), hwStatus 1 (on), fixStatus 2 (fix)", 0), 0u);
    EXPECT_NE(same.find("proximityStatus 0 (inactive)"), std::string::npos);

    const std::string table = StatusTable({0, 2, 0, 1, 2, 9, 1});
    EXPECT_NE(table.find("userStatus              0 (disabled)\n"), std::string::npos) << table;
    EXPECT_NE(table.find("hwStatus                2 (error)\n"), std::string::npos);
    EXPECT_NE(table.find("fixResultStatus.cause   9\n"), std::string::npos);  // no name for 9
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 7);
}

TEST(HumanLines, DbEntries) {
    Wire w(4, 228);
    w.Put(10, uint16_t{2});
    w.Put(12, uint32_t{7}).Put(16, uint16_t{1}).U8(18, 0x0a);
    w.Put(22, uint32_t{8}).Put(26, uint16_t{3}).U8(28, 0xab).U8(29, 0xcd).U8(30, 0xef);
    const auto rsp = Decode<LAPI_GET_GPS_DB_DATA_RSP_S>(w.bytes());
    ASSERT_TRUE(rsp);
    EXPECT_EQ(DbEntriesText(*rsp), "file 7: 0a (1 byte)\nfile 8: abcdef (3 bytes)\n");
}

TEST(HumanLines, MtlrNotificationAndOutcome) {
    Wire w(8, 213);
    w.U8(8, 3).U8(9, 7).Put(10, int32_t{1}).Put(14, int32_t{0}).U8(19, 5);
    w.Text(20, "Alice");
    w.U8(120, 2).U8(121, 0x01).U8(122, 0x02);
    auto ind = Decode<LAPI_LOCATION_NOTIFICATION_IND_S>(w.bytes());
    ASSERT_TRUE(ind);
    EXPECT_EQ(NotificationLine(*ind),
              "MT-LR request 3/7 from \"Alice\" (0x0102): verify, allowed without an answer; "
              "current location");
    ind->notificationType = 9;
    ind->locationType = -1;
    ind->addrLength = 0;
    EXPECT_EQ(NotificationLine(*ind),
              "MT-LR request 3/7 from \"Alice\": notification type 9; location type -1");

    Wire s(9, 6);
    s.U8(8, 3).U8(9, 7).Put(10, int32_t{1});
    EXPECT_EQ(NotificationStatusLine(*Decode<LAPI_NOTIFICATION_STATUS_IND_S>(s.bytes())),
              "MT-LR request 3/7 settled: denied by the user (cause 1)");
}

TEST(Codes, NamedAndUnnamedValues) {
    EXPECT_EQ(WithName(3, LocationCauseName(3)), "3 (too many sessions)");
    EXPECT_EQ(WithName(-3, ProximityResultName(-3)), "-3 (nothing to remove)");
    EXPECT_EQ(WithName(-1, GpsDbResultName(-1)), "-1 (no such entry)");
    EXPECT_EQ(WithName(42, LocationCauseName(42)), "42");
    EXPECT_EQ(NotificationCauseName(5), "location not allowed");
    EXPECT_EQ(StatusValueName(StatusField::kFixResultCause, 4), "hardware error");
    EXPECT_EQ(StatusValueName(StatusField::kUser, 2), "");
}

// ---- Control socket lines --------------------------------------------------------

TEST(ControlLineJson, KeyValueWordsAndBareWords) {
    const std::string client =
        ControlLineJson("clients",
                        "client globalId=3 pid=42 services=7 sessions=0 listeners=1 pending=0 "
                        "async=yes");
    EXPECT_EQ(TopKeys(client),
              (std::vector<std::string>{"msg", "line", "globalId", "pid", "services", "sessions",
                                        "listeners", "pending", "async", "name"}));
    EXPECT_EQ(Value(client, "sessions"), "0");
    EXPECT_EQ(Value(client, "async"), "\"yes\"");
    EXPECT_EQ(Value(client, "name"), "\"client\"");

    const std::string result =
        ControlLineJson("mtlr-result", "request 18446744073709551615 state=allowed-by-user");
    EXPECT_EQ(Value(result, "value"), "18446744073709551615");  // u64 kept exact
    EXPECT_EQ(Value(result, "state"), "\"allowed-by-user\"");

    const std::string counter = ControlLineJson("counters", "messages_in 12 extra -2.5 1e3");
    EXPECT_EQ(Value(counter, "name"), "\"messages_in\"");
    EXPECT_EQ(Value(counter, "value"), "12");
    EXPECT_NE(counter.find("\"args\":[\"extra\",-2.5,1000]"), std::string::npos) << counter;
}

}  // namespace
}  // namespace lapictl
