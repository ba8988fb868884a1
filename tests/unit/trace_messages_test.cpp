// The trace line of every message, field by field.
//
// One row per message: the message built field by field, and the exact text of
// its trace line written out in full. The values are chosen so that a field read
// at the wrong offset, a signed/unsigned mix-up or a missing hex dump changes the
// text: every field of a message holds a different value, i32 fields are often
// negative, u8 fields above 127, u32 fields printed with %u above 2^31, doubles
// carry many digits (and include subnormals, huge values and -0.0), and timeStamp
// is negative. Each row is also traced with the server side tag, through the
// dispatcher, with msgLen off by one, and with a foreign msgId.
//
// The edge cases after the table cover the clamped counts (numFiles, element
// length, name and address lengths), zero lengths, the continuation of long lines,
// and messages given as raw bytes.

#include <lapi/lapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "bytes.h"
#include "stderr_capture.h"

namespace {

using lapitest::Bytes;
using lapitest::LogLine;
using lapitest::StderrCapture;

using TraceProc = int (*)(const LAPI_MSG_HEADER_S *, unsigned char);

constexpr char kTraceFile[] = "LAPI_SrvCli.cpp";
constexpr size_t kMaxText = 1023;

// ---------------------------------------------------------------------------------
// Building messages
// ---------------------------------------------------------------------------------

// A message body written field by field, little-endian.
class Body {
  public:
    Body &U8(uint8_t v) {
        lapitest::PutU8(b_, v);
        return *this;
    }
    Body &U16(uint16_t v) {
        lapitest::PutU16(b_, v);
        return *this;
    }
    Body &I32(int32_t v) {
        lapitest::PutI32(b_, v);
        return *this;
    }
    Body &U32(uint32_t v) {
        lapitest::PutU32(b_, v);
        return *this;
    }
    Body &I64(int64_t v) {
        lapitest::PutI64(b_, v);
        return *this;
    }
    Body &F64(double v) {
        lapitest::PutF64(b_, v);
        return *this;
    }
    Body &Raw(std::initializer_list<uint8_t> bytes) {
        b_.insert(b_.end(), bytes);
        return *this;
    }
    Body &Fill(size_t n, uint8_t byte) {
        b_.insert(b_.end(), n, byte);
        return *this;
    }
    // One GPS database element: fileId, length, then 4 data bytes.
    Body &File(uint32_t fileId, uint16_t length, std::array<uint8_t, 4> data) {
        U32(fileId).U16(length);
        b_.insert(b_.end(), data.begin(), data.end());
        return *this;
    }
    // n elements whose every byte is `byte`: what lies past numFiles.
    Body &Filler(size_t n, uint8_t byte) { return Fill(10 * n, byte); }
    Body &Name(const std::string &s, size_t field) {
        b_.insert(b_.end(), s.begin(), s.end());
        return Fill(field - s.size(), 0xee);
    }

    // The whole message: header (msgLen = body size) and body.
    Bytes Msg(uint16_t msgId, int32_t pid) const { return lapitest::Msg(msgId, b_, pid); }

  private:
    Bytes b_;
};

void SetMsgLen(Bytes &m, uint16_t msgLen) {
    m[6] = static_cast<uint8_t>(msgLen);
    m[7] = static_cast<uint8_t>(msgLen >> 8);
}

void SetMsgId(Bytes &m, uint16_t msgId) {
    m[4] = static_cast<uint8_t>(msgId);
    m[5] = static_cast<uint8_t>(msgId >> 8);
}

const LAPI_MSG_HEADER_S *Hdr(const Bytes &m) {
    return reinterpret_cast<const LAPI_MSG_HEADER_S *>(m.data());
}

// ---------------------------------------------------------------------------------
// Running a trace and reading what it wrote
// ---------------------------------------------------------------------------------

struct Traced {
    int result = 0;
    std::vector<std::string> raw;  // the lines as written
    std::vector<LogLine> lines;    // the same, parsed
};

template <typename F>
Traced Capture(F &&call) {
    Traced r;
    {
        StderrCapture cap;
        r.result = call();
        r.raw = cap.Lines();
    }
    r.lines = lapitest::LogLines(r.raw);
    return r;
}

Traced Trace(TraceProc proc, const Bytes &m, unsigned char side = 0) {
    return Capture([&] { return proc(Hdr(m), side); });
}

Traced Dispatch(const Bytes &m, unsigned char side = 0) {
    return Capture([&] { return LAPI_LogApMsg(m.data(), static_cast<int>(m.size()), side); });
}

// Checks that r holds exactly one trace line, written by func with the given side
// tag, and returns its text ("" after a failure).
std::string OneTraceLine(const Traced &r, const std::string &func,
                         const std::string &side = "CLI") {
    EXPECT_EQ(r.raw.size(), 1u) << testing::PrintToString(r.raw);
    EXPECT_EQ(r.lines.size(), r.raw.size()) << "unparsable line: " << testing::PrintToString(r.raw);
    if (r.raw.size() != 1 || r.lines.size() != 1) {
        return "";
    }
    const LogLine &l = r.lines[0];
    EXPECT_FALSE(l.isError);
    EXPECT_EQ(l.level, 4);
    EXPECT_EQ(l.file, kTraceFile);
    EXPECT_EQ(l.func, func);
    EXPECT_EQ(l.side, side);
    // The result is the number of characters written, newline included.
    EXPECT_EQ(r.result, static_cast<int>(r.raw[0].size() + 1));
    return l.text;
}

// Checks that r holds exactly one error line, written by func, and returns its text.
std::string OneErrorLine(const Traced &r, const std::string &func,
                         const std::string &side = "CLI") {
    EXPECT_EQ(r.raw.size(), 1u) << testing::PrintToString(r.raw);
    EXPECT_EQ(r.lines.size(), r.raw.size()) << "unparsable line: " << testing::PrintToString(r.raw);
    if (r.raw.size() != 1 || r.lines.size() != 1) {
        return "";
    }
    const LogLine &l = r.lines[0];
    EXPECT_TRUE(l.isError);
    EXPECT_EQ(l.level, 0);
    EXPECT_EQ(l.file, kTraceFile);
    EXPECT_EQ(l.func, func);
    EXPECT_EQ(l.side, side);
    return l.text;
}

class TraceTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { LAPI_LogApMsgInit(); }
};

// ---------------------------------------------------------------------------------
// One row per message
// ---------------------------------------------------------------------------------

struct MessageCase {
    const char *name;  // message name
    TraceProc proc;
    const char *procName;
    size_t total;  // whole message length, header included
    Bytes msg;
    const char *text;  // the trace text expected for msg
};

void PrintTo(const MessageCase &c, std::ostream *os) {
    *os << c.name;
}

std::vector<MessageCase> MessageCases() {
    const std::array<uint8_t, 4> junk{0x5a, 0x5a, 0x5a, 0x5a};
    return {
        {"registerReq", LAPI_LogRegisterReq, "LAPI_LogRegisterReq", 12,
         Body().U32(0x80000005u).Msg(100, 300),
         "C->S registerReq pid: 300, msgId: 100, msgLen: 4, service: 2147483653, "
         "0x05000080, "},
        {"registerRsp", LAPI_LogRegisterRsp, "LAPI_LogRegisterRsp", 12,
         Body().I32(-2147483647).Msg(101, 301),
         "S->C registerRsp pid: 301, msgId: 101, msgLen: 4, globalId: -2147483647, "},
        {"getAsyncFdReq", LAPI_LogGetAsyncFdReq, "LAPI_LogGetAsyncFdReq", 12,
         Body().I32(987654321).Msg(102, -302),
         "C->S getAsyncFdReq pid: -302, msgId: 102, msgLen: 4, globalId: 987654321, "},
        {"getAsyncFdRsp", LAPI_LogGetAsyncFdRsp, "LAPI_LogGetAsyncFdRsp", 8,
         Body().Msg(103, 2147483647),
         "S->C getAsyncFdRsp pid: 2147483647, msgId: 103, msgLen: 0, "},
        {"unregisterReq", LAPI_LogUnregisterReq, "LAPI_LogUnregisterReq", 8,
         Body().Msg(104, std::numeric_limits<int32_t>::min()),
         "C->S unregisterReq pid: -2147483648, msgId: 104, msgLen: 0, "},
        {"unregisterRsp", LAPI_LogUnregisterRsp, "LAPI_LogUnregisterRsp", 8, Body().Msg(105, 305),
         "S->C unregisterRsp pid: 305, msgId: 105, msgLen: 0, "},
        {"getLocationReq", LAPI_LogGetLocationReq, "LAPI_LogGetLocationReq", 40,
         Body()
             .U16(1)
             .U8(200)
             .U8(201)
             .I32(30000)
             .I32(-50)
             .I32(305419896)
             .I32(std::numeric_limits<int32_t>::min())
             .I32(86400)
             .I32(1)
             .U8(255)
             .U8(128)
             .U8(0)
             .U8(7)
             .Msg(106, 306),
         "C->S getLocationReq pid: 306, msgId: 106, msgLen: 32, mode: 1, sessionId: 200, "
         "transactionId: 201, responseTime: 30000, 0x30750000, horizontalAccuracy: -50, "
         "0xceffffff, verticalAccuracy: 305419896, 0x78563412, "
         "preferredPowerConsumption: -2147483648, 0x00000080, interval: 86400, 0x80510100, "
         "reportCriteria: 1, 0x01000000, costAllowed: 255, 0xff, addressInfoRequired: 128, "
         "0x80, speedAndCourseRequired: 0, 0x00, altitudeRequired: 7, 0x07, "},
        {"abortLocationReq", LAPI_LogAbortLocationReq, "LAPI_LogAbortLocationReq", 12,
         Body().U16(0).U8(129).U8(254).Msg(107, 307),
         "C->S abortLocationReq pid: 307, msgId: 107, msgLen: 4, mode: 0, sessionId: 129, "
         "transactionId: 254, "},
        {"abortAllLocationReq", LAPI_LogAbortAllLocationReq, "LAPI_LogAbortAllLocationReq", 8,
         Body().Msg(108, 308), "C->S abortAllLocationReq pid: 308, msgId: 108, msgLen: 0, "},
        // mode is a u16: 65534 must not print as -2.
        {"lastKnownLocationReq", LAPI_LogLastKnownLocationReq, "LAPI_LogLastKnownLocationReq", 12,
         Body().U16(65534).U8(17).U8(171).Msg(109, 309),
         "C->S lastKnownLocationReq pid: 309, msgId: 109, msgLen: 4, mode: 65534, "
         "sessionId: 17, transactionId: 171, "},
        {"getGpsDbDataReq", LAPI_LogGetGpsDbDataReq, "LAPI_LogGetGpsDbDataReq", 16,
         Body().U16(1).U8(3).U8(250).U32(3000000000u).Msg(110, 310),
         "C->S getGpsDbDataReq pid: 310, msgId: 110, msgLen: 8, mode: 1, sessionId: 3, "
         "transactionId: 250, fileId: 3000000000, 0x005ed0b2, "},
        {"setGpsDbDataReq", LAPI_LogSetGpsDbDataReq, "LAPI_LogSetGpsDbDataReq", 234,
         Body()
             .U16(0)
             .U8(140)
             .U8(141)
             .U16(3)
             .File(0xffffffffu, 4, {0xde, 0xad, 0xbe, 0xef})
             .File(0x01020304u, 1, {0x9a, 0xff, 0xff, 0xff})
             .File(0x80000000u, 3, {0x00, 0x7f, 0x80, 0xff})
             .Filler(19, 0x5a)
             .Msg(111, 311),
         "C->S setGpsDbDataReq pid: 311, msgId: 111, msgLen: 226, mode: 0, sessionId: 140, "
         "transactionId: 141, numFiles: 3, 0x0300, dbFile[0]: fileId: -1, 0xffffffff, "
         "length: 4, 0x0400, data: 0xdeadbeef, dbFile[1]: fileId: 16909060, 0x04030201, "
         "length: 1, 0x0100, data: 0x9a, dbFile[2]: fileId: -2147483648, 0x00000080, "
         "length: 3, 0x0300, data: 0x007f80, "},
        {"getStatusReq", LAPI_LogGetStatusReq, "LAPI_LogGetStatusReq", 12,
         Body().U16(1).U8(255).U8(0).Msg(112, 312),
         "C->S getStatusReq pid: 312, msgId: 112, msgLen: 4, mode: 1, sessionId: 255, "
         "transactionId: 0, "},
        {"locationNotificationCfm", LAPI_LogLocationNotificationCfm,
         "LAPI_LogLocationNotificationCfm", 14, Body().U8(222).U8(111).I32(-3).Msg(113, 313),
         "C->S locationNotificationCfm pid: 313, msgId: 113, msgLen: 6, sessionId: 222, "
         "transactionId: 111, responseType: -3, 0xfdffffff, "},
        {"distanceAzimuthReq", LAPI_LogDistanceAzimuthReq, "LAPI_LogDistanceAzimuthReq", 45,
         Body()
             .U16(1)
             .U8(1)
             .U8(2)
             .F64(48.858370123456789)
             .F64(-2.2944813)
             .F64(-33.856784)
             .F64(151.215297)
             .U8(200)
             .Msg(114, 314),
         "C->S distanceAzimuthReq pid: 314, msgId: 114, msgLen: 37, mode: 1, sessionId: 1, "
         "transactionId: 2, latitude1: 4.885837012345678687097461079247e+01, "
         "longitude1: -2.294481300000000167926827998599e+00, "
         "latitude2: -3.385678399999999754754753666930e+01, "
         "longitude2: 1.512152969999999925221345620230e+02, distanceOnly: 200, 0xc8, "},
        {"addProximityReq", LAPI_LogAddProximityReq, "LAPI_LogAddProximityReq", 44,
         Body()
             .U16(0)
             .U8(90)
             .U8(91)
             .F64(1.0 / 3.0)
             .F64(-179.99999999999997)
             .F64(1e-5)
             .F64(1.5)
             .Msg(115, 315),
         "C->S addProximityReq pid: 315, msgId: 115, msgLen: 36, mode: 0, sessionId: 90, "
         "transactionId: 91, latitude: 3.333333333333333148296162562474e-01, "
         "longitude: -1.799999999999999715782905695960e+02, "
         "altitude: 1.000000000000000081803053914031e-05, "
         "radius: 1.500000000000000000000000000000e+00, "},
        {"removeProximityReq", LAPI_LogRemoveProximityReq, "LAPI_LogRemoveProximityReq", 16,
         Body().U16(1).U8(210).U8(211).I32(-65536).Msg(116, 316),
         "C->S removeProximityReq pid: 316, msgId: 116, msgLen: 8, mode: 1, sessionId: 210, "
         "transactionId: 211, removeType: -65536, 0x0000ffff, "},
        {"getLocationRsp", LAPI_LogGetLocationRsp, "LAPI_LogGetLocationRsp", 114,
         Body()
             .U8(131)
             .U8(132)
             .F64(2.2944813)
             .F64(48.8583701)
             .F64(12.345678901234567)
             .I64(-1717000000123)
             .F64(-86.5)
             .F64(0.1)
             .F64(359.99999999999994)
             .F64(1e300)
             .F64(5e-324)
             .F64(-0.0)
             .F64(123456.789)
             .I32(-1)
             .I32(65536)
             .F64(0.000244140625)
             .Msg(0, 400),
         "S->C getLocationRsp pid: 400, msgId: 0, msgLen: 106, sessionId: 131, "
         "transactionId: 132, longitude: 2.294481300000000167926827998599e+00, "
         "latitude: 4.885837010000000191212166100740e+01, "
         "latLonAccuracy: 1.234567890123456734841056459118e+01, "
         "timeStamp: -1.717000000123000000000000000000e+12, 0x852dd33a70feffff, "
         "altitude: -8.650000000000000000000000000000e+01, "
         "speed: 1.000000000000000055511151231258e-01, "
         "travelDirection: 3.599999999999999431565811391920e+02, "
         "pointingDirection: 1.000000000000000052504760255204e+300, "
         "horizontalAccuracy: 4.940656458412465441765687928682e-324, "
         "verticalAccuracy: -0.000000000000000000000000000000e+00, "
         "course: 1.234567890000000043073669075966e+05, locationMethod: -1, 0xffffffff, "
         "cause: 65536, 0x00000100, ageOfFix: 2.441406250000000000000000000000e-04, "
         "0x000000000000303f, "},
        {"abortLocationRsp", LAPI_LogAbortLocationRsp, "LAPI_LogAbortLocationRsp", 14,
         Body().U8(133).U8(134).I32(-1000).Msg(1, 401),
         "S->C abortLocationRsp pid: 401, msgId: 1, msgLen: 6, sessionId: 133, "
         "transactionId: 134, result: -1000, 0x18fcffff, "},
        {"timeOutRsp", LAPI_LogTimeOutRsp, "LAPI_LogTimeOutRsp", 10,
         Body().U8(135).U8(136).Msg(2, 402),
         "S->C timeOutRsp pid: 402, msgId: 2, msgLen: 2, sessionId: 135, "
         "transactionId: 136, "},
        {"invalidRequestRsp", LAPI_LogInvalidRequestRsp, "LAPI_LogInvalidRequestRsp", 10,
         Body().U8(137).U8(138).Msg(3, 403),
         "S->C invalidRequestRsp pid: 403, msgId: 3, msgLen: 2, sessionId: 137, "
         "transactionId: 138, "},
        {"getGpsDbDataRsp", LAPI_LogGetGpsDbDataRsp, "LAPI_LogGetGpsDbDataRsp", 236,
         Body()
             .U8(139)
             .U8(142)
             .U16(2)
             .File(7, 2, {0xab, 0xcd, 0xee, 0xff})
             .File(4294967294u, 4, {0x01, 0x02, 0x03, 0x04})
             .File(0x5a5a5a5au, 4, junk)
             .Filler(19, 0xa5)
             .I32(-77)
             .Msg(4, 404),
         "S->C getGpsDbDataRsp pid: 404, msgId: 4, msgLen: 228, sessionId: 139, "
         "transactionId: 142, numFiles: 2, 0x0200, dbFile[0]: fileId: 7, 0x07000000, "
         "length: 2, 0x0200, data: 0xabcd, dbFile[1]: fileId: -2, 0xfeffffff, length: 4, "
         "0x0400, data: 0x01020304, result: -77, 0xb3ffffff, "},
        {"setGpsDbDataRsp", LAPI_LogSetGpsDbDataRsp, "LAPI_LogSetGpsDbDataRsp", 14,
         Body().U8(143).U8(144).I32(2147483647).Msg(5, 405),
         "S->C setGpsDbDataRsp pid: 405, msgId: 5, msgLen: 6, sessionId: 143, "
         "transactionId: 144, result: 2147483647, 0xffffff7f, "},
        {"getStatusRsp", LAPI_LogGetStatusRsp, "LAPI_LogGetStatusRsp", 38,
         Body().U8(145).U8(146).I32(1).I32(-2).I32(16777216).I32(-4).I32(5).I32(-6).I32(65280).Msg(
             6, 406),
         "S->C getStatusRsp pid: 406, msgId: 6, msgLen: 30, sessionId: 145, "
         "transactionId: 146, userStatus: 1, 0x01000000, hwStatus: -2, 0xfeffffff, "
         "fixStatus: 16777216, 0x00000001, emergencyStatus: -4, 0xfcffffff, "
         "fixResultStatus.status: 5, 0x05000000, fixResultStatus.cause: -6, 0xfaffffff, "
         "proximityStatus: 65280, 0x00ff0000, "},
        {"statusChangeInd", LAPI_LogStatusChangeInd, "LAPI_LogStatusChangeInd", 38,
         Body()
             .U8(160)
             .U8(161)
             .I32(11)
             .I32(-12)
             .I32(13)
             .I32(-14)
             .I32(-2147483647)
             .I32(16)
             .I32(17)
             .Msg(7, 407),
         "S->C statusChangeInd pid: 407, msgId: 7, msgLen: 30, sessionId: 160, "
         "transactionId: 161, userStatus: 11, 0x0b000000, hwStatus: -12, 0xf4ffffff, "
         "fixStatus: 13, 0x0d000000, emergencyStatus: -14, 0xf2ffffff, "
         "fixResultStatus.status: -2147483647, 0x01000080, fixResultStatus.cause: 16, "
         "0x10000000, proximityStatus: 17, 0x11000000, "},
        {"locationNotificationInd", LAPI_LogLocationNotificationInd,
         "LAPI_LogLocationNotificationInd", 221,
         Body()
             .U8(147)
             .U8(148)
             .I32(-9)
             .I32(10)
             .U8(240)
             .U8(3)
             .Name("ABC", 100)
             .U8(5)
             .Name("+3312", 100)
             .Msg(8, 408),
         "S->C locationNotificationInd pid: 408, msgId: 8, msgLen: 213, sessionId: 147, "
         "transactionId: 148, notificationType: -9, 0xf7ffffff, locationType: 10, "
         "0x0a000000, dataCodingSchema: 240, 0xf0, nameLength: 3, clientName: 0x414243, "
         "addrLength: 5, clientExternalAddr: 0x2b33333132, "},
        {"notificationStatusInd", LAPI_LogNotificationStatusInd, "LAPI_LogNotificationStatusInd",
         14, Body().U8(149).U8(150).I32(-11).Msg(9, 409),
         "S->C notificationStatusInd pid: 409, msgId: 9, msgLen: 6, sessionId: 149, "
         "transactionId: 150, cause: -11, 0xf5ffffff, "},
        {"distanceAzimuthRsp", LAPI_LogDistanceAzimuthRsp, "LAPI_LogDistanceAzimuthRsp", 26,
         Body().U8(151).U8(152).F64(5837241.123456789).F64(359.9999999).Msg(10, 410),
         "S->C distanceAzimuthRsp pid: 410, msgId: 10, msgLen: 18, sessionId: 151, "
         "transactionId: 152, distance: 5.837241123456789180636405944824e+06, "
         "azimuth: 3.599999998999999775151081848890e+02, "},
        {"addProximityRsp", LAPI_LogAddProximityRsp, "LAPI_LogAddProximityRsp", 14,
         Body().U8(153).U8(154).I32(-1).Msg(11, 411),
         "S->C addProximityRsp pid: 411, msgId: 11, msgLen: 6, sessionId: 153, "
         "transactionId: 154, status: -1, 0xffffffff, "},
        {"removeProximityRsp", LAPI_LogRemoveProximityRsp, "LAPI_LogRemoveProximityRsp", 14,
         Body().U8(155).U8(156).I32(256).Msg(12, 412),
         "S->C removeProximityRsp pid: 412, msgId: 12, msgLen: 6, sessionId: 155, "
         "transactionId: 156, status: 256, 0x00010000, "},
        {"proximityHitInd", LAPI_LogProximityHitInd, "LAPI_LogProximityHitInd", 110,
         Body()
             .U8(157)
             .U8(158)
             .F64(-73.98565547)
             .F64(40.74844205)
             .F64(3.0000000000000004)
             .I64(1717171717171)
             .F64(443.2)
             .F64(1.25e-7)
             .F64(90.0)
             .F64(-45.5)
             .F64(7.77)
             .F64(8.88)
             .F64(270.25)
             .I32(3)
             .F64(0.5)
             .Msg(13, 413),
         "S->C proximityHitInd pid: 413, msgId: 13, msgLen: 102, sessionId: 157, "
         "transactionId: 158, longitude: -7.398565546999999753552401671186e+01, "
         "latitude: 4.074844205000000130212356452830e+01, "
         "latLonAccuracy: 3.000000000000000444089209850063e+00, "
         "timeStamp: 1.717171717171000000000000000000e+12, 0x330469cf8f010000, "
         "altitude: 4.431999999999999886313162278384e+02, "
         "speed: 1.249999999999999943435139782358e-07, "
         "travelDirection: 9.000000000000000000000000000000e+01, "
         "pointingDirection: -4.550000000000000000000000000000e+01, "
         "horizontalAccuracy: 7.769999999999999573674358543940e+00, "
         "verticalAccuracy: 8.880000000000000781597009336110e+00, "
         "course: 2.702500000000000000000000000000e+02, locationMethod: 3, 0x03000000, "
         "ageOfFix: 5.000000000000000000000000000000e-01, 0x000000000000e03f, "},
    };
}

class TraceMessage : public TraceTest, public testing::WithParamInterface<MessageCase> {};

TEST_P(TraceMessage, TracesEveryFieldOnOneLine) {
    const MessageCase &c = GetParam();
    ASSERT_EQ(c.msg.size(), c.total) << "test data: message built with the wrong size";
    EXPECT_EQ(OneTraceLine(Trace(c.proc, c.msg), c.procName), c.text);
}

// The side flag changes the tag and nothing else: the direction prefix belongs to
// the message.
TEST_P(TraceMessage, ServerSideChangesOnlyTheTag) {
    const MessageCase &c = GetParam();
    EXPECT_EQ(OneTraceLine(Trace(c.proc, c.msg, 1), c.procName, "SRV"), c.text);
    EXPECT_EQ(OneTraceLine(Trace(c.proc, c.msg, 255), c.procName, "SRV"), c.text);
}

TEST_P(TraceMessage, DispatcherReachesTheProcedure) {
    const MessageCase &c = GetParam();
    EXPECT_EQ(OneTraceLine(Dispatch(c.msg), c.procName), c.text);
    EXPECT_EQ(OneTraceLine(Dispatch(c.msg, 1), c.procName, "SRV"), c.text);
}

// msgLen one above and one below the message's own: a single error line, no field.
TEST_P(TraceMessage, WrongMsgLenGivesOnlyTheLengthError) {
    const MessageCase &c = GetParam();
    const uint16_t good = lapitest::MsgLen(c.msg);
    const int32_t pid = lapitest::MsgPid(c.msg);
    for (const int delta : {1, -1}) {
        if (good == 0 && delta < 0) {
            continue;
        }
        Bytes m = c.msg;
        const auto wrong = static_cast<uint16_t>(good + delta);
        SetMsgLen(m, wrong);
        const std::string want = std::string("Wrong ") + c.name +
                                 " msg length: " + std::to_string(wrong) +
                                 ", pid is: " + std::to_string(pid) + "!";
        SCOPED_TRACE("msgLen " + std::to_string(wrong));
        EXPECT_EQ(OneErrorLine(Trace(c.proc, m), c.procName), want);
        EXPECT_EQ(OneErrorLine(Trace(c.proc, m, 1), c.procName, "SRV"), want);
        EXPECT_EQ(OneErrorLine(Dispatch(m), c.procName), want);
    }
}

// A procedure called directly with another message's identifier refuses it.
TEST_P(TraceMessage, ForeignMsgIdIsNotExpected) {
    const MessageCase &c = GetParam();
    Bytes m = c.msg;
    const auto other = static_cast<uint16_t>(lapitest::MsgId(c.msg) ^ 1u);
    SetMsgId(m, other);
    const std::string want = "pMsgHeader->msgId : " + std::to_string(other) +
                             " is not expected, pid : " + std::to_string(lapitest::MsgPid(c.msg)) +
                             "!";
    EXPECT_EQ(OneErrorLine(Trace(c.proc, m), c.procName), want);
}

// A procedure called directly without a message writes an error line of its own.
TEST_P(TraceMessage, NoMessageIsAnErrorLine) {
    const MessageCase &c = GetParam();
    const Traced r = Capture([&] { return c.proc(nullptr, 1); });
    EXPECT_FALSE(OneErrorLine(r, c.procName, "SRV").empty());
}

INSTANTIATE_TEST_SUITE_P(AllMessages, TraceMessage, testing::ValuesIn(MessageCases()),
                         [](const testing::TestParamInfo<MessageCase> &param) {
                             return std::string(param.param.name);
                         });

// ---------------------------------------------------------------------------------
// Messages given as raw bytes, and single fields
// ---------------------------------------------------------------------------------

using TraceFields = TraceTest;

TEST_F(TraceFields, RegisterReqFromRawBytes) {
    const Bytes m{0x2c, 0x01, 0x00, 0x00, 0x64, 0x00, 0x04, 0x00, 0x05, 0x00, 0x00, 0x00};
    EXPECT_EQ(OneTraceLine(Trace(LAPI_LogRegisterReq, m), "LAPI_LogRegisterReq"),
              "C->S registerReq pid: 300, msgId: 100, msgLen: 4, service: 5, 0x05000000, ");
}

TEST_F(TraceFields, RemoveProximityReqFromRawBytes) {
    const Bytes m{0x34, 0x12, 0x00, 0x00, 0x74, 0x00, 0x08, 0x00,
                  0x01, 0x00, 0x05, 0x07, 0x02, 0x00, 0x00, 0x00};
    EXPECT_EQ(m, Body().U16(1).U8(5).U8(7).I32(2).Msg(116, 4660));
    EXPECT_EQ(OneTraceLine(Trace(LAPI_LogRemoveProximityReq, m), "LAPI_LogRemoveProximityReq"),
              "C->S removeProximityReq pid: 4660, msgId: 116, msgLen: 8, mode: 1, sessionId: 5, "
              "transactionId: 7, removeType: 2, 0x02000000, ");
}

// A longitude of 1.0 written as bytes at offsets 10 to 17 of a getLocationRsp.
TEST_F(TraceFields, LongitudeBytesAtOffsetTen) {
    Bytes m = Body().Fill(106, 0).Msg(0, 1);
    const Bytes one{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf0, 0x3f};
    std::copy(one.begin(), one.end(), m.begin() + 10);
    const std::string text =
        OneTraceLine(Trace(LAPI_LogGetLocationRsp, m), "LAPI_LogGetLocationRsp");
    EXPECT_NE(text.find("transactionId: 0, longitude: 1.000000000000000000000000000000e+00, "
                        "latitude: 0.000000000000000000000000000000e+00, "),
              std::string::npos)
        << text;
}

// timeStamp is a signed 64-bit integer printed as the nearest double, then its
// eight bytes; the same field in getLocationRsp and proximityHitInd.
TEST_F(TraceFields, TimeStampAsDoubleThenBytes) {
    struct Case {
        int64_t ts;
        const char *text;
    };
    const Case cases[] = {
        {1000, "timeStamp: 1.000000000000000000000000000000e+03, 0xe803000000000000, "},
        {1, "timeStamp: 1.000000000000000000000000000000e+00, 0x0100000000000000, "},
        {-1, "timeStamp: -1.000000000000000000000000000000e+00, 0xffffffffffffffff, "},
        // 2^53 + 1 has no double; the nearest (ties to even) is 2^53.
        {9007199254740993, "timeStamp: 9.007199254740992000000000000000e+15, 0x0100000000002000, "},
        {std::numeric_limits<int64_t>::min(),
         "timeStamp: -9.223372036854775808000000000000e+18, 0x0000000000000080, "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ts);
        const std::string around =
            std::string("latLonAccuracy: 2.500000000000000000000000000000e-01, ") + c.text +
            "altitude: ";
        const Bytes rsp =
            Body().U8(0).U8(0).F64(0).F64(0).F64(0.25).I64(c.ts).Fill(72, 0).Msg(0, 9);
        const Bytes hit =
            Body().U8(0).U8(0).F64(0).F64(0).F64(0.25).I64(c.ts).Fill(68, 0).Msg(13, 9);
        const std::string rspText =
            OneTraceLine(Trace(LAPI_LogGetLocationRsp, rsp), "LAPI_LogGetLocationRsp");
        const std::string hitText =
            OneTraceLine(Trace(LAPI_LogProximityHitInd, hit), "LAPI_LogProximityHitInd");
        EXPECT_NE(rspText.find(around), std::string::npos) << rspText;
        EXPECT_NE(hitText.find(around), std::string::npos) << hitText;
    }
}

TEST_F(TraceFields, RadiusOnePointFive) {
    const Bytes m = Body().U16(1).U8(0).U8(0).F64(0).F64(0).F64(0).F64(1.5).Msg(115, 2);
    const Bytes radiusBytes(m.begin() + 36, m.begin() + 44);
    EXPECT_EQ(radiusBytes, (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf8, 0x3f}));
    const std::string text =
        OneTraceLine(Trace(LAPI_LogAddProximityReq, m), "LAPI_LogAddProximityReq");
    const std::string tail =
        "altitude: 0.000000000000000000000000000000e+00, "
        "radius: 1.500000000000000000000000000000e+00, ";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

// fileId 4294967295 is "%u" in getGpsDbDataReq and "%d" inside a dbFile element.
TEST_F(TraceFields, FileIdAllOnesInBothFormats) {
    const Bytes req = Body().U16(0).U8(1).U8(2).U32(4294967295u).Msg(110, 5);
    EXPECT_EQ(OneTraceLine(Trace(LAPI_LogGetGpsDbDataReq, req), "LAPI_LogGetGpsDbDataReq"),
              "C->S getGpsDbDataReq pid: 5, msgId: 110, msgLen: 8, mode: 0, sessionId: 1, "
              "transactionId: 2, fileId: 4294967295, 0xffffffff, ");
    const Bytes set = Body()
                          .U16(0)
                          .U8(1)
                          .U8(2)
                          .U16(1)
                          .File(4294967295u, 1, {0x42, 0, 0, 0})
                          .Filler(21, 0)
                          .Msg(111, 5);
    EXPECT_EQ(OneTraceLine(Trace(LAPI_LogSetGpsDbDataReq, set), "LAPI_LogSetGpsDbDataReq"),
              "C->S setGpsDbDataReq pid: 5, msgId: 111, msgLen: 226, mode: 0, sessionId: 1, "
              "transactionId: 2, numFiles: 1, 0x0100, dbFile[0]: fileId: -1, 0xffffffff, "
              "length: 1, 0x0100, data: 0x42, ");
}

// The request of process 123 with one file (7, AB CD): whatever the other 21
// elements hold, one group is printed.
TEST_F(TraceFields, SetGpsDbDataReqWithOneFile) {
    const char *want =
        "C->S setGpsDbDataReq pid: 123, msgId: 111, msgLen: 226, mode: 1, sessionId: 3, "
        "transactionId: 4, numFiles: 1, 0x0100, dbFile[0]: fileId: 7, 0x07000000, length: 2, "
        "0x0200, data: 0xabcd, ";
    for (const uint8_t fill : std::array<uint8_t, 3>{0x00, 0x11, 0xff}) {
        const Bytes m = Body()
                            .U16(1)
                            .U8(3)
                            .U8(4)
                            .U16(1)
                            .File(7, 2, {0xab, 0xcd, fill, fill})
                            .Filler(21, fill)
                            .Msg(111, 123);
        EXPECT_EQ(OneTraceLine(Trace(LAPI_LogSetGpsDbDataReq, m), "LAPI_LogSetGpsDbDataReq"), want);
    }
}

TEST_F(TraceFields, DistanceOnlyOne) {
    const Bytes m = Body().U16(0).U8(0).U8(0).F64(0).F64(0).F64(0).F64(0).U8(1).Msg(114, 3);
    const std::string text =
        OneTraceLine(Trace(LAPI_LogDistanceAzimuthReq, m), "LAPI_LogDistanceAzimuthReq");
    const std::string tail = "e+00, distanceOnly: 1, 0x01, ";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

// A status response and an indication with the same body differ only in the
// prefix, the msgId and the procedure.
TEST_F(TraceFields, StatusResponseAndIndicationShareTheirBody) {
    Body body;
    body.U8(130).U8(3).I32(-1).I32(2).I32(-3).I32(4).I32(-5).I32(6).I32(-7);
    const Traced rsp = Trace(LAPI_LogGetStatusRsp, body.Msg(6, 77));
    const Traced ind = Trace(LAPI_LogStatusChangeInd, body.Msg(7, 77));
    const std::string fields =
        "msgLen: 30, sessionId: 130, transactionId: 3, userStatus: -1, 0xffffffff, "
        "hwStatus: 2, 0x02000000, fixStatus: -3, 0xfdffffff, emergencyStatus: 4, 0x04000000, "
        "fixResultStatus.status: -5, 0xfbffffff, fixResultStatus.cause: 6, 0x06000000, "
        "proximityStatus: -7, 0xf9ffffff, ";
    EXPECT_EQ(OneTraceLine(rsp, "LAPI_LogGetStatusRsp"),
              "S->C getStatusRsp pid: 77, msgId: 6, " + fields);
    EXPECT_EQ(OneTraceLine(ind, "LAPI_LogStatusChangeInd"),
              "S->C statusChangeInd pid: 77, msgId: 7, " + fields);
}

// ---------------------------------------------------------------------------------
// Lengths taken from the message
// ---------------------------------------------------------------------------------

using TraceLengths = TraceTest;

Bytes Notification(uint8_t nameLength, uint8_t addrLength) {
    Body b;
    b.U8(1).U8(2).I32(3).I32(4).U8(5).U8(nameLength);
    for (int i = 0; i < 100; ++i) {
        b.U8(static_cast<uint8_t>(i));
    }
    b.U8(addrLength);
    for (int i = 0; i < 100; ++i) {
        b.U8(static_cast<uint8_t>(0x80 + i));
    }
    return b.Msg(8, 21);
}

std::string HexRun(int first, int count) {
    std::string s = "0x";
    char two[3];
    for (int i = 0; i < count; ++i) {
        std::snprintf(two, sizeof two, "%02x", (first + i) & 0xff);
        s += two;
    }
    return s + ", ";
}

constexpr char kNotificationStart[] =
    "S->C locationNotificationInd pid: 21, msgId: 8, msgLen: 213, sessionId: 1, "
    "transactionId: 2, notificationType: 3, 0x03000000, locationType: 4, 0x04000000, "
    "dataCodingSchema: 5, 0x05, ";
constexpr char kHexError[] = "(pData == NULL) || (pBuf == NULL) || (length <= 0)!";

// A zero length leaves the dump out: the hex formatter's error line comes first,
// then the trace line with nothing after the label.
TEST_F(TraceLengths, ZeroNameLength) {
    const Traced r = Trace(LAPI_LogLocationNotificationInd, Notification(0, 2));
    ASSERT_EQ(r.lines.size(), 2u) << testing::PrintToString(r.raw);
    EXPECT_TRUE(r.lines[0].isError);
    EXPECT_EQ(r.lines[0].level, 0);
    EXPECT_EQ(r.lines[0].func, "LAPI_FormatHexStr");
    EXPECT_EQ(r.lines[0].text, kHexError);
    EXPECT_FALSE(r.lines[1].isError);
    EXPECT_EQ(r.lines[1].func, "LAPI_LogLocationNotificationInd");
    EXPECT_EQ(r.lines[1].text, std::string(kNotificationStart) +
                                   "nameLength: 0, clientName: addrLength: 2, "
                                   "clientExternalAddr: 0x8081, ");
}

TEST_F(TraceLengths, ZeroNameAndAddressLengths) {
    const Traced r = Trace(LAPI_LogLocationNotificationInd, Notification(0, 0), 1);
    ASSERT_EQ(r.lines.size(), 3u) << testing::PrintToString(r.raw);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(r.lines[i].isError);
        EXPECT_EQ(r.lines[i].side, "SRV");
        EXPECT_EQ(r.lines[i].func, "LAPI_FormatHexStr");
        EXPECT_EQ(r.lines[i].text, kHexError);
    }
    EXPECT_EQ(r.lines[2].side, "SRV");
    EXPECT_EQ(r.lines[2].text, std::string(kNotificationStart) +
                                   "nameLength: 0, clientName: addrLength: 0, "
                                   "clientExternalAddr: ");
}

// Exactly nameLength bytes are dumped, and a length above the 100-byte field
// prints its true value but dumps the field only.
TEST_F(TraceLengths, NameAndAddressDumps) {
    struct Case {
        uint8_t name, addr;
        int nameDump, addrDump;
    };
    for (const Case c : {Case{3, 1, 3, 1}, Case{100, 100, 100, 100}, Case{150, 101, 100, 100},
                         Case{255, 255, 100, 100}, Case{99, 0xc8, 99, 100}}) {
        SCOPED_TRACE(std::to_string(c.name) + "/" + std::to_string(c.addr));
        const std::string want =
            std::string(kNotificationStart) + "nameLength: " + std::to_string(c.name) +
            ", clientName: " + HexRun(0, c.nameDump) + "addrLength: " + std::to_string(c.addr) +
            ", clientExternalAddr: " + HexRun(0x80, c.addrDump);
        EXPECT_EQ(OneTraceLine(Trace(LAPI_LogLocationNotificationInd, Notification(c.name, c.addr)),
                               "LAPI_LogLocationNotificationInd"),
                  want);
    }
}

Bytes DbDataRsp(uint16_t numFiles, const std::vector<std::pair<uint32_t, uint16_t>> &files,
                int32_t result) {
    Body b;
    b.U8(9).U8(8).U16(numFiles);
    for (size_t i = 0; i < 22; ++i) {
        const auto [id, len] = i < files.size() ? files[i] : std::pair<uint32_t, uint16_t>{0, 0};
        const auto k = static_cast<uint8_t>(0x10 * i);
        b.File(id, len,
               {k, static_cast<uint8_t>(k + 1), static_cast<uint8_t>(k + 2),
                static_cast<uint8_t>(k + 3)});
    }
    return b.I32(result).Msg(4, 31);
}

// An element of length 0: the hex error, then "data: " runs straight into what
// follows.
TEST_F(TraceLengths, ZeroElementLength) {
    const Traced r = Trace(LAPI_LogGetGpsDbDataRsp, DbDataRsp(2, {{1, 0}, {2, 0}}, 5));
    ASSERT_EQ(r.lines.size(), 3u) << testing::PrintToString(r.raw);
    EXPECT_EQ(r.lines[0].func, "LAPI_FormatHexStr");
    EXPECT_EQ(r.lines[0].text, kHexError);
    EXPECT_EQ(r.lines[1].func, "LAPI_FormatHexStr");
    EXPECT_EQ(r.lines[1].text, kHexError);
    EXPECT_EQ(r.lines[2].func, "LAPI_LogGetGpsDbDataRsp");
    EXPECT_EQ(
        r.lines[2].text,
        "S->C getGpsDbDataRsp pid: 31, msgId: 4, msgLen: 228, sessionId: 9, transactionId: 8, "
        "numFiles: 2, 0x0200, dbFile[0]: fileId: 1, 0x01000000, length: 0, 0x0000, data: "
        "dbFile[1]: fileId: 2, 0x02000000, length: 0, 0x0000, data: result: 5, 0x05000000, ");
}

// An element length above 4 prints its true value and dumps the 4 data bytes.
TEST_F(TraceLengths, ElementLengthAboveFour) {
    EXPECT_EQ(
        OneTraceLine(Trace(LAPI_LogGetGpsDbDataRsp, DbDataRsp(2, {{1, 5}, {2, 65535}}, -1)),
                     "LAPI_LogGetGpsDbDataRsp"),
        "S->C getGpsDbDataRsp pid: 31, msgId: 4, msgLen: 228, sessionId: 9, transactionId: 8, "
        "numFiles: 2, 0x0200, dbFile[0]: fileId: 1, 0x01000000, length: 5, 0x0500, "
        "data: 0x00010203, dbFile[1]: fileId: 2, 0x02000000, length: 65535, 0xffff, "
        "data: 0x10111213, result: -1, 0xffffffff, ");
}

// ---------------------------------------------------------------------------------
// Long lines: 22 files continue on further trace lines
// ---------------------------------------------------------------------------------

std::string Hex4(uint32_t v) {
    char s[16];
    std::snprintf(s, sizeof s, "0x%02x%02x%02x%02x, ", v & 0xff, (v >> 8) & 0xff, (v >> 16) & 0xff,
                  v >> 24);
    return s;
}

// The group of element i as the tests below fill it.
std::string Group(size_t i, uint32_t fileId, uint16_t length, const std::string &data) {
    char s[128];
    const unsigned len = length;
    std::snprintf(s, sizeof s, "dbFile[%zu]: fileId: %d, %slength: %u, 0x%02x%02x, data: %s", i,
                  static_cast<int32_t>(fileId), Hex4(fileId).c_str(), len, len & 0xffu, len >> 8,
                  data.c_str());
    return s;
}

uint32_t LongFileId(size_t i) {
    return 0x80000000u + 0x01234567u * static_cast<uint32_t>(i);
}

// Splits the lines of a long trace into its pieces and checks each line: one
// trace line per piece from func, each text within 1023 characters, the first
// starting with `prefix`, the others with `prefix` + "(continued) ", and every
// piece after the first starting at a whole group. Returns the pieces, prefixes
// removed from all but the first.
std::vector<std::string> Pieces(const Traced &r, const std::string &func,
                                const std::string &prefix) {
    std::vector<std::string> pieces;
    EXPECT_EQ(r.lines.size(), r.raw.size());
    const std::string cont = prefix + "(continued) ";
    for (size_t i = 0; i < r.lines.size(); ++i) {
        const LogLine &l = r.lines[i];
        EXPECT_FALSE(l.isError) << l.text;
        EXPECT_EQ(l.level, 4);
        EXPECT_EQ(l.func, func);
        EXPECT_LE(l.text.size(), kMaxText);
        const std::string &start = i == 0 ? prefix : cont;
        EXPECT_EQ(l.text.compare(0, start.size(), start), 0) << l.text;
        if (i == 0) {
            pieces.push_back(l.text);
            continue;
        }
        std::string rest = l.text.substr(std::min(start.size(), l.text.size()));
        EXPECT_TRUE(rest.rfind("dbFile[", 0) == 0 || rest.rfind("result: ", 0) == 0) << rest;
        pieces.push_back(std::move(rest));
    }
    return pieces;
}

// Every line but the last is full: the first group of the next line would not
// have fitted (no line is cut short early).
void ExpectLinesFull(const Traced &r, const std::vector<std::string> &pieces) {
    for (size_t i = 0; i + 1 < pieces.size(); ++i) {
        const std::string &next = pieces[i + 1];
        size_t end = next.find("dbFile[", 1);
        if (end == std::string::npos) {
            end = next.find("result: ", 1);
        }
        const size_t firstGroup = end == std::string::npos ? next.size() : end;
        EXPECT_GT(r.lines[i].text.size() + firstGroup, kMaxText) << "line " << i << " ended early";
    }
}

TEST_F(TraceLengths, TwentyTwoFilesContinueOnFurtherLines) {
    Body b;
    b.U16(1).U8(201).U8(202).U16(22);
    std::string want =
        "C->S setGpsDbDataReq pid: -123, msgId: 111, msgLen: 226, mode: 1, sessionId: 201, "
        "transactionId: 202, numFiles: 22, 0x1600, ";
    for (size_t i = 0; i < 22; ++i) {
        const auto k = static_cast<uint8_t>(i);
        b.File(LongFileId(i), 4, {0xf0, k, 0x0f, static_cast<uint8_t>(0xff - k)});
        char data[32];
        std::snprintf(data, sizeof data, "0xf0%02x0f%02x, ", static_cast<unsigned>(i),
                      0xffu - static_cast<unsigned>(i));
        want += Group(i, LongFileId(i), 4, data);
    }
    const Bytes m = b.Msg(111, -123);
    ASSERT_GT(want.size(), 1500u);

    for (const unsigned char side : std::array<unsigned char, 2>{0, 1}) {
        SCOPED_TRACE(side);
        for (const bool dispatched : {false, true}) {
            const Traced r =
                dispatched ? Dispatch(m, side) : Trace(LAPI_LogSetGpsDbDataReq, m, side);
            ASSERT_GE(r.lines.size(), 2u) << testing::PrintToString(r.raw);
            const std::vector<std::string> pieces =
                Pieces(r, "LAPI_LogSetGpsDbDataReq", "C->S setGpsDbDataReq ");
            std::string joined;
            for (const std::string &p : pieces) {
                joined += p;
            }
            EXPECT_EQ(joined, want);
            ExpectLinesFull(r, pieces);
            for (const LogLine &l : r.lines) {
                EXPECT_EQ(l.side, side == 0 ? "CLI" : "SRV");
            }
        }
    }
}

// numFiles above 22 prints its true value but only the 22 elements the record
// holds; the result follows the last of them.
TEST_F(TraceLengths, NumFilesAboveTwentyTwo) {
    for (const uint16_t numFiles : {uint16_t{23}, uint16_t{65535}}) {
        SCOPED_TRACE(numFiles);
        std::vector<std::pair<uint32_t, uint16_t>> files;
        for (size_t i = 0; i < 22; ++i) {
            files.emplace_back(LongFileId(i), static_cast<uint16_t>(1 + i % 4));
        }
        const Bytes m = DbDataRsp(numFiles, files, -2147483647);
        char head[160];
        std::snprintf(head, sizeof head,
                      "S->C getGpsDbDataRsp pid: 31, msgId: 4, msgLen: 228, sessionId: 9, "
                      "transactionId: 8, numFiles: %u, 0x%02x%02x, ",
                      unsigned{numFiles}, numFiles & 0xffu, unsigned{numFiles} >> 8);
        std::string want = head;
        for (size_t i = 0; i < 22; ++i) {
            const auto k = static_cast<int>(0x10 * i);
            want += Group(i, files[i].first, files[i].second, HexRun(k, files[i].second));
        }
        want += "result: -2147483647, 0x01000080, ";

        const Traced r = Dispatch(m);
        const std::vector<std::string> pieces =
            Pieces(r, "LAPI_LogGetGpsDbDataRsp", "S->C getGpsDbDataRsp ");
        std::string joined;
        for (const std::string &p : pieces) {
            joined += p;
        }
        EXPECT_EQ(joined, want);
        ExpectLinesFull(r, pieces);
    }
}

// The longest fixed-layout lines stay on one line.
TEST_F(TraceLengths, LongestProximityHitLineFitsOneLine) {
    constexpr double kSub = -5e-324;
    Body b;
    b.U8(255).U8(255).F64(kSub).F64(kSub).F64(kSub).I64(std::numeric_limits<int64_t>::min());
    for (int i = 0; i < 7; ++i) {
        b.F64(kSub);
    }
    b.I32(std::numeric_limits<int32_t>::min()).F64(kSub);
    const std::string text =
        OneTraceLine(Trace(LAPI_LogProximityHitInd, b.Msg(13, std::numeric_limits<int32_t>::min())),
                     "LAPI_LogProximityHitInd");
    EXPECT_EQ(text,
              "S->C proximityHitInd pid: -2147483648, msgId: 13, msgLen: 102, sessionId: 255, "
              "transactionId: 255, longitude: -4.940656458412465441765687928682e-324, "
              "latitude: -4.940656458412465441765687928682e-324, "
              "latLonAccuracy: -4.940656458412465441765687928682e-324, "
              "timeStamp: -9.223372036854775808000000000000e+18, 0x0000000000000080, "
              "altitude: -4.940656458412465441765687928682e-324, "
              "speed: -4.940656458412465441765687928682e-324, "
              "travelDirection: -4.940656458412465441765687928682e-324, "
              "pointingDirection: -4.940656458412465441765687928682e-324, "
              "horizontalAccuracy: -4.940656458412465441765687928682e-324, "
              "verticalAccuracy: -4.940656458412465441765687928682e-324, "
              "course: -4.940656458412465441765687928682e-324, locationMethod: -2147483648, "
              "0x00000080, ageOfFix: -4.940656458412465441765687928682e-324, "
              "0x0100000000000080, ");
    EXPECT_LE(text.size(), 817u);
}

// ---------------------------------------------------------------------------------
// Identifier and length errors named for single messages
// ---------------------------------------------------------------------------------

using TraceErrors = TraceTest;

TEST_F(TraceErrors, LengthErrorsShowMsgLenAndPid) {
    struct Case {
        TraceProc proc;
        const char *func;
        Bytes msg;
        const char *text;
    };
    const Case cases[] = {
        {LAPI_LogRegisterRsp, "LAPI_LogRegisterRsp", Body().Msg(101, 17),
         "Wrong registerRsp msg length: 0, pid is: 17!"},
        {LAPI_LogGetLocationRsp, "LAPI_LogGetLocationRsp", Body().Fill(105, 0).Msg(0, -4),
         "Wrong getLocationRsp msg length: 105, pid is: -4!"},
        {LAPI_LogAbortAllLocationReq, "LAPI_LogAbortAllLocationReq", Body().Fill(3, 0).Msg(108, 6),
         "Wrong abortAllLocationReq msg length: 3, pid is: 6!"},
        {LAPI_LogLocationNotificationInd, "LAPI_LogLocationNotificationInd",
         Body().Fill(212, 0).Msg(8, 7),
         "Wrong locationNotificationInd msg length: 212, pid is: 7!"},
        {LAPI_LogGetStatusReq, "LAPI_LogGetStatusReq", Body().Fill(5, 0).Msg(112, 8),
         "Wrong getStatusReq msg length: 5, pid is: 8!"},
        {LAPI_LogDistanceAzimuthReq, "LAPI_LogDistanceAzimuthReq",
         Body().Fill(36, 0).Msg(114, 1234),
         "Wrong distanceAzimuthReq msg length: 36, pid is: 1234!"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(OneErrorLine(Trace(c.proc, c.msg), c.func), c.text);
    }
}

TEST_F(TraceErrors, ProcedureRefusesAnotherMessage) {
    // A registerReq handed to the registerRsp procedure.
    EXPECT_EQ(
        OneErrorLine(Trace(LAPI_LogRegisterRsp, Body().U32(1).Msg(100, 55)), "LAPI_LogRegisterRsp"),
        "pMsgHeader->msgId : 100 is not expected, pid : 55!");
    // removeProximityRsp has the layout of addProximityRsp, but not its identifier.
    EXPECT_EQ(OneErrorLine(Trace(LAPI_LogAddProximityRsp, Body().U8(0).U8(0).I32(0).Msg(12, 1234)),
                           "LAPI_LogAddProximityRsp"),
              "pMsgHeader->msgId : 12 is not expected, pid : 1234!");
}

}  // namespace
