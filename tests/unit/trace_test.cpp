// The message trace: every message's line from tests/data/trace/messages.txt through
// the dispatcher and through its own procedure on both sides, the refusals of each
// procedure, the hex and header formatters, LAPI_DebugHex, the state before
// LAPI_LogApMsgInit, and lines written by several threads at once.

#include <lapi/lapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <thread>

#include "LAPI_MsgCatalogue.h"
#include "lib_lines.h"

namespace {

using namespace lapitest;
using TraceProc = int (*)(const LAPI_MSG_HEADER_S *, unsigned char);

// The trace procedures in the order of lapi::cat::kMessages.
// clang-format off
constexpr TraceProc kProcs[] = {
    LAPI_LogRegisterReq, LAPI_LogRegisterRsp, LAPI_LogGetAsyncFdReq, LAPI_LogGetAsyncFdRsp,
    LAPI_LogUnregisterReq, LAPI_LogUnregisterRsp, LAPI_LogGetLocationReq, LAPI_LogAbortLocationReq,
    LAPI_LogAbortAllLocationReq, LAPI_LogLastKnownLocationReq, LAPI_LogGetGpsDbDataReq,
    LAPI_LogSetGpsDbDataReq, LAPI_LogGetStatusReq, LAPI_LogLocationNotificationCfm,
    LAPI_LogDistanceAzimuthReq, LAPI_LogAddProximityReq, LAPI_LogRemoveProximityReq,
    LAPI_LogGetLocationRsp, LAPI_LogAbortLocationRsp, LAPI_LogTimeOutRsp, LAPI_LogInvalidRequestRsp,
    LAPI_LogGetGpsDbDataRsp, LAPI_LogSetGpsDbDataRsp, LAPI_LogGetStatusRsp, LAPI_LogStatusChangeInd,
    LAPI_LogLocationNotificationInd, LAPI_LogNotificationStatusInd, LAPI_LogDistanceAzimuthRsp,
    LAPI_LogAddProximityRsp, LAPI_LogRemoveProximityRsp, LAPI_LogProximityHitInd};
// clang-format on
static_assert(std::size(kProcs) == std::size(lapi::cat::kMessages));

struct Out {
    int result;
    std::vector<std::string> lines;
    int lastLen;  // characters of the last line written, its newline included
};

template <typename F>
Out Cap(F &&call) {
    StderrCapture cap;
    const int result = call();
    const std::vector<std::string> raw = cap.Lines();
    return {result, Norm(raw), raw.empty() ? -1 : static_cast<int>(raw.back().size() + 1)};
}

Out Dispatch(const Bytes &m, unsigned char side) {
    return Cap([&] { return LAPI_LogApMsg(m.data(), static_cast<int>(m.size()), side); });
}

const LAPI_MSG_HEADER_S *Hdr(const Bytes &m) {
    return reinterpret_cast<const LAPI_MSG_HEADER_S *>(m.data());
}

// A message described by catalogue labels; "@OFF=HEX" patches bytes, "@size=N" cuts or pads with
// 0xdd.
Bytes Build(const std::string &desc) {
    std::istringstream in(desc);
    std::string base;
    std::vector<std::string> patches;
    for (std::string w; in >> w;) {
        (w[0] == '@' ? patches.push_back(w) : void(base += w + " "));
    }
    Bytes b = Msg(base);
    for (const std::string &p : patches) {
        const std::string key = p.substr(1, p.find('=') - 1);
        const std::string value = p.substr(p.find('=') + 1);
        if (key == "size") {
            b.resize(std::stoul(value), 0xdd);
            continue;
        }
        const Bytes bytes = FromHex(value);
        const size_t at = std::stoul(key);
        b.resize(std::max(b.size(), at + bytes.size()));
        std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return b;
}

struct Case {
    std::string desc;
    std::vector<std::string> lines;
};

std::vector<Case> Cases() {
    std::vector<Case> cases;
    for (const std::string &line : DataLines("trace/messages.txt")) {
        if (line.rfind("> ", 0) == 0) {
            cases.push_back({line.substr(2), {}});
            continue;
        }
        std::string text;  // "\\t" stands for a tab
        for (size_t i = 0; i < line.size(); ++i) {
            const bool tab = line[i] == '\\' && i + 1 < line.size() && line[i + 1] == 't';
            text += tab ? '\t' : line[i];
            i += tab ? 1 : 0;
        }
        cases.back().lines.push_back(text);
    }
    return cases;
}

// The lines of side 0 as another side writes them.
std::vector<std::string> OnSide(std::vector<std::string> lines, unsigned char side) {
    for (std::string &l : lines) {
        const size_t at = l.find(" CLI ");
        if (side != 0 && at != std::string::npos) {
            l = l.substr(0, at) + " SRV " + l.substr(at + 5);
        }
    }
    return lines;
}

std::string ErrLine(const char *func, const std::string &text) {
    return std::string("{0} LAPI_SrvCli.cpp:#\tLAPI Error SRV ") + func + ": " + text;
}

// Before LAPI_LogApMsgInit every known message is refused; run before any test.
std::vector<std::string> g_beforeInit;
class BeforeInit : public testing::Environment {
    void SetUp() override {
        for (const auto &m : lapi::cat::kMessages) {
            for (const auto &l : Dispatch(Msg(std::string(m.name) + " pid=5"), 0).lines) {
                g_beforeInit.push_back(l);
            }
        }
        const Bytes unreg = Msg("unregisterReq pid=9");
        for (const Out &o : {Dispatch(Build("unregisterReq pid=3 @4=0e00"), 0),
                             Cap([&] { return LAPI_LogUnregisterReq(Hdr(unreg), 0); })}) {
            g_beforeInit.insert(g_beforeInit.end(), o.lines.begin(), o.lines.end());
        }
        LAPI_LogApMsgInit();
        LAPI_LogApMsgInit();
    }
};
[[maybe_unused]] testing::Environment *const kBeforeInit =
    testing::AddGlobalTestEnvironment(new BeforeInit);

TEST(Trace, NothingIsTracedBeforeInit) {
    std::vector<std::string> want;
    for (const auto &m : lapi::cat::kMessages) {
        want.push_back(
            "{0} LAPI_SrvCli.cpp:#\tLAPI Error CLI LAPI_LogApMsg: No log procedure for "
            "msgId: " +
            std::to_string(m.msgId) + ", pid is: 5!");
    }
    want.push_back(
        "{0} LAPI_SrvCli.cpp:#\tLAPI Error CLI LAPI_LogApMsg: Unknown msgId: 14, pid is: 3!");
    want.push_back(
        "{4} LAPI_SrvCli.cpp:#, LAPI_LogUnregisterReq()\tLAPI CLI : C->S unregisterReq "
        "pid: 9, msgId: 104, msgLen: 0, ");
    EXPECT_EQ(g_beforeInit, want);
}

TEST(Trace, EveryCaseOfTheDataFile) {
    const std::vector<Case> cases = Cases();
    ASSERT_GT(cases.size(), 50u);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.desc);
        const Bytes m = Build(c.desc);
        const Bytes copy = m;
        const lapi::cat::Msg *cat = lapi::cat::Find(MsgIdOf(m));
        const bool whole = cat != nullptr && m.size() == cat->recordSize;
        for (const int s : {0, 1, 255}) {
            const auto side = static_cast<unsigned char>(s);
            const std::vector<std::string> want = OnSide(c.lines, side);
            const Out d = Dispatch(m, side);
            EXPECT_EQ(d.lines, want);
            EXPECT_EQ(d.result, d.lastLen);
            if (whole) {
                const Out p = Cap([&] { return kProcs[cat - lapi::cat::kMessages](Hdr(m), side); });
                EXPECT_EQ(p.lines, want);
                EXPECT_EQ(p.result, d.result);
            }
        }
        EXPECT_EQ(m, copy);
    }
}

// Each procedure checks msgId and msgLen of what it is given.
TEST(Trace, ProceduresRefuseWrongHeaders) {
    for (const auto &m : lapi::cat::kMessages) {
        SCOPED_TRACE(m.name);
        const TraceProc proc = kProcs[&m - lapi::cat::kMessages];
        for (const int len : {m.msgLen + 1, m.msgLen - 1}) {
            const Bytes b = Msg(std::string(m.name) + " pid=77 msgLen=" + std::to_string(len));
            const std::vector<std::string> want{ErrLine(
                m.procName, "Wrong " + std::string(m.name) +
                                " msg length: " + std::to_string(len & 0xffff) + ", pid is: 77!")};
            EXPECT_EQ(Cap([&] { return proc(Hdr(b), 1); }).lines, want);
            EXPECT_EQ(Dispatch(b, 1).lines, want);
        }
        Bytes other = Msg(std::string(m.name) + " pid=-6");
        other[4] ^= 1;
        EXPECT_EQ(Cap([&] { return proc(Hdr(other), 1); }).lines,
                  std::vector<std::string>{
                      ErrLine(m.procName, "pMsgHeader->msgId : " + std::to_string(MsgIdOf(other)) +
                                              " is not expected, pid : -6!")});
        EXPECT_EQ(Cap([&] { return proc(nullptr, 1); }).lines,
                  std::vector<std::string>{ErrLine(m.procName, "(pMsgHeader == NULL)!")});
    }
    EXPECT_EQ(
        Cap([] { return LAPI_LogApMsg(nullptr, 12, 1); }).lines,
        std::vector<std::string>{ErrLine("LAPI_LogApMsg", "(pBuf == NULL) || (length <= 0) !")});
    const Bytes head = Msg("removeProximityReq pid=1");
    EXPECT_EQ(Cap([&] { return LAPI_LogApMsg(head.data(), 70000, 1); }).lines,
              std::vector<std::string>{
                  ErrLine("LAPI_LogApMsg", "length: 70000 > sizeof(buf): 256, msgId: 116!")});
}

TEST(Trace, HexAndHeaderFormatters) {
    unsigned char data[256];
    std::string want = "0x";
    for (int i = 0; i < 256; ++i) {
        data[i] = static_cast<unsigned char>(255 - i);
        char two[3];
        std::snprintf(two, sizeof two, "%02x", data[i]);
        want += two;
    }
    char buf[600];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(LAPI_FormatHexStr(data, 256, buf, 0), 516u);
    EXPECT_EQ(std::string(buf), want + ", ");
    EXPECT_EQ(buf[517], '#');
    const std::vector<std::string> hexErr{
        ErrLine("LAPI_FormatHexStr", "(pData == NULL) || (pBuf == NULL) || (length <= 0)!")};
    for (const auto &[p0, len0, out0] : {std::tuple{data, 0, buf}, std::tuple{data, -1, buf},
                                         std::tuple{static_cast<unsigned char *>(nullptr), 2, buf},
                                         std::tuple{data, 2, static_cast<char *>(nullptr)}}) {
        std::memset(buf, '#', sizeof buf);
        const auto *p = p0;  // clang 14 cannot capture structured bindings
        const int len = len0;
        char *out = out0;
        const Out o = Cap([&] { return static_cast<int>(LAPI_FormatHexStr(p, len, out, 1)); });
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.lines, hexErr);
        EXPECT_EQ(buf[0], '#');
    }
    Bytes odd = Build("unregisterReq pid=-1 msgLen=65535 @4=ffff");
    odd.insert(odd.begin(), 0xee);
    EXPECT_EQ(
        LAPI_LogApMsgHeader(reinterpret_cast<const LAPI_MSG_HEADER_S *>(odd.data() + 1), buf, 1),
        38u);
    EXPECT_EQ(std::string(buf), "pid: -1, msgId: 65535, msgLen: 65535, ");
    const std::vector<std::string> hdrErr{
        ErrLine("LAPI_LogApMsgHeader", "(pMsgHeader == NULL) || (pBuf == NULL)!")};
    EXPECT_EQ(Cap([&] { return static_cast<int>(LAPI_LogApMsgHeader(nullptr, buf, 1)); }).lines,
              hdrErr);
    EXPECT_EQ(
        Cap([&] { return static_cast<int>(LAPI_LogApMsgHeader(Hdr(odd), nullptr, 1)); }).lines,
        hdrErr);
}

// LAPI_DebugHex: "xx " per byte, 341 bytes a line, nothing for no bytes.
TEST(Trace, DebugHex) {
    std::vector<unsigned char> data(683);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(i * 7 + 0xa0);
    }
    const auto hex = [&](size_t from, size_t n) {
        std::string s = "{4} LAPI_SrvCli.cpp:#, LAPI_DebugHex()\tLAPI SRV : ";
        for (size_t i = from; i < from + n; ++i) {
            char three[4];
            std::snprintf(three, sizeof three, "%02x ", data[i]);
            s += three;
        }
        return s;
    };
    const auto debug = [&](const unsigned char *p, int n) {
        return Cap([&] { return LAPI_DebugHex(p, n, 1), 0; }).lines;
    };
    EXPECT_EQ(debug(data.data(), 1), std::vector<std::string>{hex(0, 1)});
    EXPECT_EQ(debug(data.data(), 341), std::vector<std::string>{hex(0, 341)});
    EXPECT_EQ(debug(data.data(), 342), (std::vector<std::string>{hex(0, 341), hex(341, 1)}));
    EXPECT_EQ(debug(data.data(), 683),
              (std::vector<std::string>{hex(0, 341), hex(341, 341), hex(682, 1)}));
    EXPECT_TRUE(debug(data.data(), 0).empty());
    EXPECT_TRUE(debug(data.data(), -341).empty());
    EXPECT_TRUE(debug(nullptr, 4).empty());
}

// Each line is one write: the lines of threads tracing at once never mix.
TEST(TraceThreads, EveryLineStaysWhole) {
    const std::vector<Case> cases = Cases();
    std::map<std::string, size_t> perRound;
    std::vector<Bytes> msgs;
    for (const Case &c : cases) {
        if (c.lines.size() > 1 || c.desc.rfind("getLocationRsp pid=400", 0) == 0) {
            msgs.push_back(Build(c.desc));
            for (const std::string &l : c.lines) {
                ++perRound[l];
            }
        }
    }
    constexpr size_t kThreads = 4;
    constexpr size_t kRounds = 100;
    StderrCapture cap;
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (size_t r = 0; r < kRounds; ++r) {
                for (const Bytes &m : msgs) {
                    LAPI_LogApMsg(m.data(), static_cast<int>(m.size()), 0);
                }
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    std::map<std::string, size_t> seen;
    for (const std::string &l : Norm(cap.Lines())) {
        ++seen[l];
    }
    for (auto &[line, n] : perRound) {
        n *= kThreads * kRounds;
    }
    EXPECT_EQ(seen, perRound);
}

}  // namespace
