// The trace engine: the dispatcher and its tables, the hex formatters, the header
// text, the format of the lines, and tracing from several threads at once.
//
// The first suite needs a process in which LAPI_LogApMsgInit has not run yet. CTest
// runs every case of this program in a process of its own; run as a whole, the
// program runs that suite first.

#include <lapi/lapi.h>

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bytes.h"
#include "stderr_capture.h"

namespace {

using lapitest::Bytes;
using lapitest::LogLine;
using lapitest::StderrCapture;

bool g_initDone = false;

void InitTrace() {
    LAPI_LogApMsgInit();
    g_initDone = true;
}

struct Traced {
    int result = 0;
    std::string text;              // everything written
    std::vector<std::string> raw;  // the lines as written
    std::vector<LogLine> lines;    // the same, parsed
};

template <typename F>
Traced Capture(F &&call) {
    Traced r;
    {
        StderrCapture cap;
        r.result = call();
        r.text = cap.Text();
        r.raw = cap.Lines();
    }
    r.lines = lapitest::LogLines(r.raw);
    return r;
}

Traced Dispatch(const void *p, int length, unsigned char side = 0) {
    return Capture([&] { return LAPI_LogApMsg(p, length, side); });
}

Traced Dispatch(const Bytes &m, unsigned char side = 0) {
    return Dispatch(m.data(), static_cast<int>(m.size()), side);
}

// The single error line of r, written by func with the side tag; "" otherwise.
std::string OnlyError(const Traced &r, const std::string &func, const std::string &side = "CLI") {
    EXPECT_EQ(r.raw.size(), 1u) << testing::PrintToString(r.raw);
    if (r.raw.size() != 1 || r.lines.size() != 1) {
        ADD_FAILURE() << "not one log line: " << testing::PrintToString(r.raw);
        return "";
    }
    const LogLine &l = r.lines[0];
    EXPECT_TRUE(l.isError);
    EXPECT_EQ(l.level, 0);
    EXPECT_EQ(l.file, "LAPI_SrvCli.cpp");
    EXPECT_EQ(l.func, func);
    EXPECT_EQ(l.side, side);
    return l.text;
}

// The single trace line of r, written by func with the side tag; "" otherwise.
std::string OnlyTrace(const Traced &r, const std::string &func, const std::string &side = "CLI") {
    if (r.raw.size() != 1 || r.lines.size() != 1) {
        ADD_FAILURE() << "not one log line: " << testing::PrintToString(r.raw);
        return "";
    }
    const LogLine &l = r.lines[0];
    EXPECT_FALSE(l.isError) << l.text;
    EXPECT_EQ(l.level, 4);
    EXPECT_EQ(l.file, "LAPI_SrvCli.cpp");
    EXPECT_EQ(l.func, func);
    EXPECT_EQ(l.side, side);
    return l.text;
}

// A message whose body is `bodyLen` zero bytes.
Bytes ZeroMsg(uint16_t msgId, size_t bodyLen, int32_t pid) {
    return lapitest::Msg(msgId, Bytes(bodyLen, 0), pid);
}

// Bytes at the very end of a read-only page that is followed by an inaccessible
// one: writing to them, or reading a single byte past them, faults.
class GuardedBytes {
  public:
    explicit GuardedBytes(const Bytes &b) : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
        void *map =
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED || b.size() > page_) {
            ADD_FAILURE() << "mmap failed";
            return;
        }
        base_ = static_cast<uint8_t *>(map);
        data_ = base_ + page_ - b.size();
        if (!b.empty()) {
            std::memcpy(data_, b.data(), b.size());
        }
        EXPECT_EQ(mprotect(base_ + page_, page_, PROT_NONE), 0);
        EXPECT_EQ(mprotect(base_, page_, PROT_READ), 0);
    }
    ~GuardedBytes() {
        if (base_ != nullptr) {
            munmap(base_, 2 * page_);
        }
    }
    GuardedBytes(const GuardedBytes &) = delete;
    GuardedBytes &operator=(const GuardedBytes &) = delete;

    const uint8_t *data() const { return data_; }

  private:
    size_t page_;
    uint8_t *base_ = nullptr;
    uint8_t *data_ = nullptr;
};

// ---------------------------------------------------------------------------------
// Before LAPI_LogApMsgInit
// ---------------------------------------------------------------------------------

TEST(TraceBeforeInit, EveryMessageWaitsForTheTables) {
    if (g_initDone) {
        GTEST_SKIP() << "the trace tables are already filled in this process; run this case "
                        "alone (--gtest_filter=TraceBeforeInit.*)";
    }
    std::vector<uint16_t> ids;
    for (uint16_t id = 0; id <= 13; ++id) {
        ids.push_back(id);
    }
    for (uint16_t id = 100; id <= 116; ++id) {
        ids.push_back(id);
    }
    for (const uint16_t id : ids) {
        SCOPED_TRACE(id);
        const Bytes m = lapitest::Msg(id, {}, -id - 1);
        EXPECT_EQ(OnlyError(Dispatch(m), "LAPI_LogApMsg"),
                  "No log procedure for msgId: " + std::to_string(id) +
                      ", pid is: " + std::to_string(-id - 1) + "!");
    }
    // An identifier outside both ranges is unknown whether or not the tables are
    // filled.
    EXPECT_EQ(OnlyError(Dispatch(lapitest::Msg(14, {}, 3)), "LAPI_LogApMsg"),
              "Unknown msgId: 14, pid is: 3!");
    // The procedures themselves do not depend on the tables.
    const Bytes reg = lapitest::Msg(104, {}, 9);
    EXPECT_EQ(OnlyTrace(Capture([&] {
                            return LAPI_LogUnregisterReq(
                                reinterpret_cast<const LAPI_MSG_HEADER_S *>(reg.data()), 0);
                        }),
                        "LAPI_LogUnregisterReq"),
              "C->S unregisterReq pid: 9, msgId: 104, msgLen: 0, ");

    const Bytes rsp = lapitest::Msg(5, {1, 2, 0x10, 0, 0, 0}, 12);
    const char *want =
        "S->C setGpsDbDataRsp pid: 12, msgId: 5, msgLen: 6, sessionId: 1, "
        "transactionId: 2, result: 16, 0x10000000, ";
    InitTrace();
    EXPECT_EQ(OnlyTrace(Dispatch(rsp), "LAPI_LogSetGpsDbDataRsp"), want);
    // Filling the tables again changes nothing.
    InitTrace();
    EXPECT_EQ(OnlyTrace(Dispatch(rsp), "LAPI_LogSetGpsDbDataRsp"), want);
}

// ---------------------------------------------------------------------------------
// The dispatcher
// ---------------------------------------------------------------------------------

class Dispatcher : public testing::Test {
  protected:
    static void SetUpTestSuite() { InitTrace(); }
};

TEST_F(Dispatcher, RefusesNoMessageAndLengthsBelowAHeader) {
    const char *want = "(pBuf == NULL) || (length <= 0) !";
    EXPECT_EQ(OnlyError(Dispatch(nullptr, 12), "LAPI_LogApMsg"), want);
    EXPECT_EQ(OnlyError(Dispatch(nullptr, 0, 1), "LAPI_LogApMsg", "SRV"), want);
    const Bytes m = lapitest::Msg(104, {}, 1);
    for (const int length : {0, -1, -2147483647 - 1, 1, 7}) {
        SCOPED_TRACE(length);
        // Only `length` bytes are readable: the header must not be read from beyond.
        const Bytes head(m.begin(), m.begin() + std::max(0, length));
        GuardedBytes g(head);
        EXPECT_EQ(OnlyError(Dispatch(g.data(), length), "LAPI_LogApMsg"), want);
    }
}

TEST_F(Dispatcher, TracesHeaderOnlyMessageOfEightBytes) {
    GuardedBytes g(lapitest::Msg(105, {}, -77));
    EXPECT_EQ(OnlyTrace(Dispatch(g.data(), 8), "LAPI_LogUnregisterRsp"),
              "S->C unregisterRsp pid: -77, msgId: 105, msgLen: 0, ");
}

// A correct header on fewer bytes than the message needs: reported by the
// message's procedure, and nothing past the given length is read.
TEST_F(Dispatcher, ReportsMessagesShorterThanTheirLayout) {
    const Bytes rsp = ZeroMsg(0, 106, -9);
    for (const int length : {8, 9, 113}) {
        SCOPED_TRACE(length);
        GuardedBytes g(Bytes(rsp.begin(), rsp.begin() + length));
        EXPECT_EQ(OnlyError(Dispatch(g.data(), length), "LAPI_LogGetLocationRsp"),
                  "Incomplete getLocationRsp msg: " + std::to_string(length) +
                      " of 114 bytes, pid is: -9!");
    }
    const Bytes reg = lapitest::Msg(100, {5, 0, 0, 0}, 3);
    GuardedBytes g(Bytes(reg.begin(), reg.begin() + 11));
    EXPECT_EQ(OnlyError(Dispatch(g.data(), 11), "LAPI_LogRegisterReq"),
              "Incomplete registerReq msg: 11 of 12 bytes, pid is: 3!");
}

// The procedure checks msgLen before anything else of the body.
TEST_F(Dispatcher, WrongMsgLenBeatsShortLength) {
    Bytes m = ZeroMsg(0, 2, 44);
    EXPECT_EQ(OnlyError(Dispatch(m), "LAPI_LogGetLocationRsp"),
              "Wrong getLocationRsp msg length: 2, pid is: 44!");
}

TEST_F(Dispatcher, BytesAfterTheMessageAreIgnored) {
    Bytes m = lapitest::Msg(112, {1, 0, 7, 8}, 5);
    const std::string want =
        "C->S getStatusReq pid: 5, msgId: 112, msgLen: 4, mode: 1, sessionId: 7, transactionId: "
        "8, ";
    EXPECT_EQ(OnlyTrace(Dispatch(m), "LAPI_LogGetStatusReq"), want);
    m.resize(40, 0xee);
    EXPECT_EQ(OnlyTrace(Dispatch(m), "LAPI_LogGetStatusReq"), want);
}

Bytes DbDataRspPadded(size_t total) {
    Bytes body{0x81, 0x82, 1, 0};
    lapitest::PutU32(body, 99);
    lapitest::PutU16(body, 3);
    body.insert(body.end(), {0xc1, 0xc2, 0xc3, 0xc4});
    body.resize(4 + 220, 0x33);
    lapitest::PutI32(body, 0);
    Bytes m = lapitest::Msg(4, body, 6);
    m.resize(total, 0xdd);
    return m;
}

TEST_F(Dispatcher, TracesUpTo256BytesAndRefusesMore) {
    const Bytes m256 = DbDataRspPadded(256);
    EXPECT_EQ(OnlyTrace(Dispatch(m256), "LAPI_LogGetGpsDbDataRsp"),
              "S->C getGpsDbDataRsp pid: 6, msgId: 4, msgLen: 228, sessionId: 129, "
              "transactionId: 130, numFiles: 1, 0x0100, dbFile[0]: fileId: 99, 0x63000000, "
              "length: 3, 0x0300, data: 0xc1c2c3, result: 0, 0x00000000, ");

    const Bytes m257 = DbDataRspPadded(257);
    EXPECT_EQ(OnlyError(Dispatch(m257), "LAPI_LogApMsg"),
              "length: 257 > sizeof(buf): 256, msgId: 4!");
    EXPECT_EQ(OnlyError(Dispatch(m257, 1), "LAPI_LogApMsg", "SRV"),
              "length: 257 > sizeof(buf): 256, msgId: 4!");
    // The refusal reads the header only.
    GuardedBytes header(lapitest::Msg(116, {}, 1));
    EXPECT_EQ(OnlyError(Dispatch(header.data(), 70000), "LAPI_LogApMsg"),
              "length: 70000 > sizeof(buf): 256, msgId: 116!");
}

TEST_F(Dispatcher, UnknownIdentifiers) {
    for (const uint16_t id : std::array<uint16_t, 5>{14, 99, 117, 1000, 65535}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(OnlyError(Dispatch(lapitest::Msg(id, {1, 2, 3, 4}, -42)), "LAPI_LogApMsg"),
                  "Unknown msgId: " + std::to_string(id) + ", pid is: -42!");
    }
}

// The first and last slot of both tables reach their procedures.
TEST_F(Dispatcher, TableEdgesReachTheirProcedures) {
    struct Case {
        uint16_t msgId;
        size_t bodyLen;
        const char *func;
        const char *start;
    };
    const Case cases[] = {
        {0, 106, "LAPI_LogGetLocationRsp", "S->C getLocationRsp pid: 7, msgId: 0, msgLen: 106, "},
        {13, 102, "LAPI_LogProximityHitInd",
         "S->C proximityHitInd pid: 7, msgId: 13, msgLen: 102, "},
        {100, 4, "LAPI_LogRegisterReq", "C->S registerReq pid: 7, msgId: 100, msgLen: 4, "},
        {116, 8, "LAPI_LogRemoveProximityReq",
         "C->S removeProximityReq pid: 7, msgId: 116, msgLen: 8, "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.func);
        const std::string text = OnlyTrace(Dispatch(ZeroMsg(c.msgId, c.bodyLen, 7)), c.func);
        EXPECT_EQ(text.rfind(c.start, 0), 0u) << text;
    }
}

// The message is only read: from a read-only page any write would fault, and the
// bytes are compared besides. The messages include lengths that make the
// procedures clamp, refuse a dump, and continue on further lines.
TEST_F(Dispatcher, LeavesTheCallersMessageUntouched) {
    std::vector<Bytes> msgs;
    msgs.push_back(DbDataRspPadded(236));
    Bytes many = DbDataRspPadded(236);
    many[10] = 0xff;  // numFiles 65535
    many[11] = 0xff;
    msgs.push_back(many);
    Bytes zeroLen = DbDataRspPadded(236);
    zeroLen[16] = 0;  // element 0 of length 0
    msgs.push_back(zeroLen);
    Bytes notify = lapitest::MsgWithLen(8, 213, {}, 3);
    notify.resize(8 + 213, 0xfa);  // name and address lengths of 250
    msgs.push_back(notify);
    Bytes set(8 + 226, 0x04);
    const Bytes setHeader = lapitest::MsgWithLen(111, 226, {}, 3);
    std::copy(setHeader.begin(), setHeader.end(), set.begin());
    set[12] = 22;
    set[13] = 0;
    msgs.push_back(set);

    for (const Bytes &m : msgs) {
        SCOPED_TRACE(lapitest::MsgId(m));
        GuardedBytes g(m);
        const Bytes heap = m;
        const Traced r = Dispatch(g.data(), static_cast<int>(m.size()));
        ASSERT_FALSE(r.lines.empty());
        EXPECT_EQ(std::memcmp(g.data(), m.data(), m.size()), 0);
        const Traced again = Dispatch(heap);
        EXPECT_EQ(heap, m);
        EXPECT_EQ(again.raw, r.raw);
    }
}

// ---------------------------------------------------------------------------------
// Hex formatting and the header text
// ---------------------------------------------------------------------------------

using HexFormat = Dispatcher;

TEST_F(HexFormat, TwoBytes) {
    const uint8_t data[] = {0x01, 0xab};
    char buf[32];
    std::memset(buf, '#', sizeof buf);
    const Traced r = Capture([&] { return static_cast<int>(LAPI_FormatHexStr(data, 2, buf, 0)); });
    EXPECT_EQ(r.result, 8);
    EXPECT_STREQ(buf, "0x01ab, ");
    EXPECT_EQ(buf[9], '#');
    EXPECT_TRUE(r.raw.empty());
}

TEST_F(HexFormat, EveryByteValueInMemoryOrder) {
    std::array<uint8_t, 256> data{};
    std::string want = "0x";
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(255 - i);
        char two[3];
        std::snprintf(two, sizeof two, "%02x", static_cast<unsigned>(data[i]));
        want += two;
    }
    want += ", ";
    std::vector<char> buf(600, '#');
    EXPECT_EQ(LAPI_FormatHexStr(data.data(), 256, buf.data(), 1), 516u);
    EXPECT_EQ(std::string(buf.data()), want);
    EXPECT_EQ(buf[517], '#');
}

TEST_F(HexFormat, RefusesNoDataOrNoLength) {
    const uint8_t data[] = {0x01, 0xab};
    char buf[16];
    struct Case {
        const uint8_t *data;
        int length;
        char *buf;
        unsigned char side;
    };
    for (const Case &c : {Case{data, 0, buf, 0}, Case{data, -1, buf, 0}, Case{nullptr, 2, buf, 0},
                          Case{data, 2, nullptr, 0}, Case{data, 0, buf, 1}}) {
        std::memset(buf, '#', sizeof buf);
        const Traced r = Capture(
            [&] { return static_cast<int>(LAPI_FormatHexStr(c.data, c.length, c.buf, c.side)); });
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(OnlyError(r, "LAPI_FormatHexStr", c.side == 0 ? "CLI" : "SRV"),
                  "(pData == NULL) || (pBuf == NULL) || (length <= 0)!");
        EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '#'));
    }
}

TEST_F(HexFormat, HeaderText) {
    const Bytes m = lapitest::MsgWithLen(65535, 65535, {}, -1);
    char buf[64];
    std::memset(buf, '#', sizeof buf);
    const auto *h = reinterpret_cast<const LAPI_MSG_HEADER_S *>(m.data());
    EXPECT_EQ(LAPI_LogApMsgHeader(h, buf, 0), 38u);
    EXPECT_STREQ(buf, "pid: -1, msgId: 65535, msgLen: 65535, ");
    EXPECT_EQ(buf[39], '#');

    // A header at an odd address.
    Bytes odd{0xee};
    const Bytes m2 = lapitest::MsgWithLen(3, 258, {}, 2147483647);
    odd.insert(odd.end(), m2.begin(), m2.end());
    const auto *h2 = reinterpret_cast<const LAPI_MSG_HEADER_S *>(odd.data() + 1);
    EXPECT_EQ(LAPI_LogApMsgHeader(h2, buf, 1), 40u);
    EXPECT_STREQ(buf, "pid: 2147483647, msgId: 3, msgLen: 258, ");
}

TEST_F(HexFormat, HeaderTextRefusesNullPointers) {
    const Bytes m = lapitest::Msg(104, {}, 1);
    const auto *h = reinterpret_cast<const LAPI_MSG_HEADER_S *>(m.data());
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    for (const bool noHeader : {true, false}) {
        const Traced r = Capture([&] {
            return static_cast<int>(
                LAPI_LogApMsgHeader(noHeader ? nullptr : h, noHeader ? buf : nullptr, 1));
        });
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(OnlyError(r, "LAPI_LogApMsgHeader", "SRV"),
                  "(pMsgHeader == NULL) || (pBuf == NULL)!");
    }
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '#'));
}

// ---------------------------------------------------------------------------------
// LAPI_DebugHex
// ---------------------------------------------------------------------------------

using DebugHex = Dispatcher;

std::string HexBlanks(const std::vector<uint8_t> &data, size_t from, size_t count) {
    std::string s;
    char three[4];
    for (size_t i = from; i < from + count; ++i) {
        std::snprintf(three, sizeof three, "%02x ", static_cast<unsigned>(data[i]));
        s += three;
    }
    return s;
}

TEST_F(DebugHex, LinesOf341Bytes) {
    struct Case {
        int length;
        std::vector<size_t> perLine;
    };
    for (const Case &c :
         {Case{1, {1}}, Case{341, {341}}, Case{342, {341, 1}}, Case{683, {341, 341, 1}}}) {
        SCOPED_TRACE(c.length);
        std::vector<uint8_t> data(static_cast<size_t>(c.length));
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<uint8_t>(i * 7 + 0xa0);
        }
        for (const unsigned char side : std::array<unsigned char, 2>{0, 1}) {
            const Traced r = Capture([&] {
                LAPI_DebugHex(data.data(), c.length, side);
                return 0;
            });
            ASSERT_EQ(r.lines.size(), c.perLine.size()) << testing::PrintToString(r.raw);
            ASSERT_EQ(r.raw.size(), r.lines.size());
            size_t at = 0;
            for (size_t i = 0; i < r.lines.size(); ++i) {
                const LogLine &l = r.lines[i];
                EXPECT_FALSE(l.isError);
                EXPECT_EQ(l.level, 4);
                EXPECT_EQ(l.func, "LAPI_DebugHex");
                EXPECT_EQ(l.side, side == 0 ? "CLI" : "SRV");
                EXPECT_EQ(l.text, HexBlanks(data, at, c.perLine[i]));
                EXPECT_EQ(l.text.size(), 3 * c.perLine[i]);
                at += c.perLine[i];
            }
        }
    }
}

TEST_F(DebugHex, NothingForNoBytes) {
    const uint8_t data[] = {1, 2};
    for (const int length : {0, -1, -341}) {
        const Traced r = Capture([&] {
            LAPI_DebugHex(data, length, 0);
            return 0;
        });
        EXPECT_EQ(r.text, "");
    }
    const Traced r = Capture([&] {
        LAPI_DebugHex(nullptr, 4, 0);
        return 0;
    });
    EXPECT_EQ(r.text, "");
}

// ---------------------------------------------------------------------------------
// The lines as written
// ---------------------------------------------------------------------------------

using LineFormat = Dispatcher;

TEST_F(LineFormat, ErrorLine) {
    for (const unsigned char side : std::array<unsigned char, 2>{0, 7}) {
        const Traced r = Dispatch(nullptr, 0, side);
        const std::string tag = side == 0 ? "CLI" : "SRV";
        ASSERT_EQ(r.raw.size(), 1u);
        EXPECT_TRUE(std::regex_match(
            r.raw[0], std::regex("\\{0\\} LAPI_SrvCli\\.cpp:[1-9][0-9]*\\tLAPI Error " + tag +
                                 " LAPI_LogApMsg: \\(pBuf == NULL\\) \\|\\| \\(length <= 0\\) !")))
            << r.raw[0];
        EXPECT_EQ(r.text, r.raw[0] + "\n");
        EXPECT_EQ(r.result, static_cast<int>(r.text.size()));
    }
}

TEST_F(LineFormat, TraceLine) {
    for (const unsigned char side : std::array<unsigned char, 2>{0, 1}) {
        const Traced r = Dispatch(lapitest::Msg(104, {}, 1), side);
        const std::string tag = side == 0 ? "CLI" : "SRV";
        ASSERT_EQ(r.raw.size(), 1u);
        EXPECT_TRUE(std::regex_match(
            r.raw[0],
            std::regex("\\{4\\} LAPI_SrvCli\\.cpp:[1-9][0-9]*, LAPI_LogUnregisterReq\\(\\)"
                       "\\tLAPI " +
                       tag + " : C->S unregisterReq pid: 1, msgId: 104, msgLen: 0, ")))
            << r.raw[0];
        EXPECT_EQ(r.text, r.raw[0] + "\n");
        EXPECT_EQ(r.result, static_cast<int>(r.text.size()));
    }
}

// ---------------------------------------------------------------------------------
// Several threads at once
// ---------------------------------------------------------------------------------

using TraceThreads = Dispatcher;

// Each line is one write: lines of threads tracing at the same time never mix.
TEST_F(TraceThreads, EveryLineStaysWhole) {
    std::vector<Bytes> msgs;
    msgs.push_back(lapitest::Msg(100, {7, 0, 0, 0}, 1));
    Bytes rsp = ZeroMsg(0, 106, 2);
    std::fill(rsp.begin() + 10, rsp.begin() + 98, 0xc3);  // eleven long doubles
    msgs.push_back(rsp);
    Bytes set(8 + 226, 0x04);  // 22 files: continues over several lines
    const Bytes setHeader = lapitest::MsgWithLen(111, 226, {}, 3);
    std::copy(setHeader.begin(), setHeader.end(), set.begin());
    set[12] = 22;
    set[13] = 0;
    msgs.push_back(set);
    Bytes notify(8 + 213, 0x64);  // name and address of 100 bytes
    const Bytes notifyHeader = lapitest::MsgWithLen(8, 213, {}, 4);
    std::copy(notifyHeader.begin(), notifyHeader.end(), notify.begin());
    msgs.push_back(notify);

    // What one round writes, traced alone.
    std::map<std::string, size_t> perRound;
    size_t linesPerRound = 0;
    for (const Bytes &m : msgs) {
        for (const std::string &line : Dispatch(m).raw) {
            ++perRound[line];
            ++linesPerRound;
        }
    }
    ASSERT_GE(linesPerRound, 5u);

    constexpr size_t kThreads = 4;
    constexpr size_t kRounds = 250;
    const Traced r = Capture([&] {
        std::vector<std::thread> threads;
        for (size_t t = 0; t < kThreads; ++t) {
            threads.emplace_back([&msgs, t] {
                for (size_t i = 0; i < kRounds; ++i) {
                    for (size_t k = 0; k < msgs.size(); ++k) {
                        const Bytes &m = msgs[(k + t) % msgs.size()];
                        LAPI_LogApMsg(m.data(), static_cast<int>(m.size()), 0);
                    }
                }
            });
        }
        for (std::thread &th : threads) {
            th.join();
        }
        return 0;
    });
    ASSERT_EQ(r.raw.size(), kThreads * kRounds * linesPerRound);
    EXPECT_EQ(r.text.back(), '\n');
    std::map<std::string, size_t> seen;
    for (const std::string &line : r.raw) {
        ++seen[line];
    }
    for (const auto &[line, count] : seen) {
        const auto it = perRound.find(line);
        ASSERT_NE(it, perRound.end()) << "mixed or unknown line: " << line;
        EXPECT_EQ(count, it->second * kThreads * kRounds) << line;
    }
}

}  // namespace
