// Self-tests of the byte helpers, the stderr capture, the log line parser and
// the descriptor listing.
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "bytes.h"
#include "fds.h"
#include "stderr_capture.h"

namespace lapitest {
namespace {

TEST(Bytes, RegisterRequestLayout) {
    Bytes body;
    PutU32(body, 5);
    const Bytes m = Msg(100, body, 300);
    EXPECT_EQ(Hex(m), "2c 01 00 00 64 00 04 00 05 00 00 00");
    EXPECT_EQ(MsgPid(m), 300);
    EXPECT_EQ(MsgId(m), 100);
    EXPECT_EQ(MsgLen(m), 4);
    EXPECT_EQ(Hex(Msg(104)), "00 00 00 00 68 00 00 00");
    EXPECT_EQ(Hex(Bytes{}), "");
}

TEST(Bytes, FieldsRoundTripAtOddOffsets) {
    Bytes b{0xaa};
    PutU16(b, 0xbeef);
    PutI32(b, -2);
    PutI64(b, std::numeric_limits<int64_t>::min() + 5);
    PutF64(b, -1.5);
    PutU8(b, 0x7f);
    PutI16(b, -300);
    PutU32(b, 0xdeadbeef);
    ASSERT_EQ(b.size(), 1u + 2 + 4 + 8 + 8 + 1 + 2 + 4);
    EXPECT_EQ(GetU16(b, 1), 0xbeef);
    EXPECT_EQ(GetI32(b, 3), -2);
    EXPECT_EQ(GetI64(b, 7), std::numeric_limits<int64_t>::min() + 5);
    EXPECT_EQ(GetF64(b, 15), -1.5);
    EXPECT_EQ(GetU8(b, 23), 0x7f);
    EXPECT_EQ(GetI16(b, 24), -300);
    EXPECT_EQ(GetU32(b, 26), 0xdeadbeefu);
    // Least significant byte first, doubles as IEEE 754 bits.
    EXPECT_EQ(Hex(Bytes(b.begin() + 1, b.begin() + 7)), "ef be fe ff ff ff");
    Bytes one;
    PutF64(one, 1.0);
    EXPECT_EQ(Hex(one), "00 00 00 00 00 00 f0 3f");
}

TEST(Bytes, ReadsOutsideTheBufferThrow) {
    const Bytes b{1, 2, 3, 4};
    EXPECT_EQ(GetU32(b, 0), 0x04030201u);
    EXPECT_THROW(GetU32(b, 1), std::out_of_range);
    EXPECT_THROW(GetU8(b, 4), std::out_of_range);
    EXPECT_THROW(GetU16(b, std::numeric_limits<size_t>::max()), std::out_of_range);
    EXPECT_THROW(Msg(1, Bytes(70000)), std::length_error);
}

TEST(Bytes, SplitFollowsHeadersIncludingLyingOnes) {
    const Bytes a = Msg(101, {1, 2, 3, 4});
    const Bytes b = Msg(103);
    const Bytes lying = MsgWithLen(0, 3, {9, 9, 9, 9, 9});  // claims 3, carries 5
    EXPECT_EQ(MsgLen(lying), 3);
    EXPECT_EQ(lying.size(), 13u);

    Bytes stream = a;
    stream.insert(stream.end(), b.begin(), b.end());
    stream.insert(stream.end(), lying.begin(), lying.end());
    size_t rest = 99;
    const auto msgs = SplitMsgs(stream, &rest);
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[0], a);
    EXPECT_EQ(msgs[1], b);
    EXPECT_EQ(msgs[2], Bytes(lying.begin(), lying.begin() + 11));
    EXPECT_EQ(rest, 2u);  // the two surplus bytes do not make a header
}

TEST(StderrCapture, CapturesRawWritesAndRestoresDescriptor2) {
    struct stat before {};
    ASSERT_EQ(fstat(2, &before), 0);
    {
        StderrCapture cap;
        struct stat during {};
        ASSERT_EQ(fstat(2, &during), 0);
        EXPECT_FALSE(during.st_dev == before.st_dev && during.st_ino == before.st_ino);

        ASSERT_EQ(write(2, "first line\nsecond", 17), 17);
        EXPECT_EQ(cap.Lines(), (std::vector<std::string>{"first line", "second"}));
        ASSERT_EQ(write(2, " half\n\n", 7), 7);
        EXPECT_EQ(cap.Lines(), (std::vector<std::string>{"first line", "second half", ""}));
        EXPECT_EQ(cap.Text(), "first line\nsecond half\n\n");
        {
            StderrCapture inner;
            ASSERT_EQ(write(2, "inner\n", 6), 6);
            EXPECT_EQ(inner.Lines(), std::vector<std::string>{"inner"});
        }
        ASSERT_EQ(write(2, "outer again\n", 12), 12);
        EXPECT_EQ(cap.Lines().back(), "outer again");
        EXPECT_EQ(cap.Lines().size(), 4u);
    }
    struct stat after {};
    ASSERT_EQ(fstat(2, &after), 0);
    EXPECT_EQ(after.st_dev, before.st_dev);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

TEST(StderrCapture, LeavesNoDescriptorBehind) {
    const auto before = OpenFds();
    {
        StderrCapture cap;
        EXPECT_EQ(OpenFdCount(), static_cast<int>(before.size()) + 2);
    }
    EXPECT_EQ(OpenFds(), before);
}

struct LogCase {
    const char *line;
    int level;
    const char *file;
    int lineNo;
    const char *func;
    const char *side;
    bool isError;
    const char *text;
};

TEST(ParseLogLine, ParsesBothKindsOnBothSides) {
    const LogCase cases[] = {
        {"{0} LAPI_CLI_Api.cpp:123\tLAPI Error CLI LAPI_RegisterClient: Invalid parameter "
         "service: 8!",
         0, "LAPI_CLI_Api.cpp", 123, "LAPI_RegisterClient", "CLI", true,
         "Invalid parameter service: 8!"},
        {"{0} LAPI_SrvCli.cpp:7\tLAPI Error SRV LAPI_LogApMsg: bad: msgId 14\n", 0,
         "LAPI_SrvCli.cpp", 7, "LAPI_LogApMsg", "SRV", true, "bad: msgId 14"},
        {"{4} LAPI_SrvCli.cpp:45, LAPI_LogRegisterReq()\tLAPI CLI : C->S registerReq pid: 300, ", 4,
         "LAPI_SrvCli.cpp", 45, "LAPI_LogRegisterReq", "CLI", false, "C->S registerReq pid: 300, "},
        {"{4} LAPI_SrvCli.cpp:9, LAPI_LogApMsg()\tLAPI SRV : a\ttab () : colon", 4,
         "LAPI_SrvCli.cpp", 9, "LAPI_LogApMsg", "SRV", false, "a\ttab () : colon"},
        {"{0} LAPI_CLI_Global.cpp:88\tLAPI Error CLI LAPI_CLI_AddClientNode: ", 0,
         "LAPI_CLI_Global.cpp", 88, "LAPI_CLI_AddClientNode", "CLI", true, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        const auto l = ParseLogLine(c.line);
        ASSERT_TRUE(l.has_value());
        EXPECT_EQ(l->level, c.level);
        EXPECT_EQ(l->file, c.file);
        EXPECT_EQ(l->line, c.lineNo);
        EXPECT_EQ(l->func, c.func);
        EXPECT_EQ(l->side, c.side);
        EXPECT_EQ(l->isError, c.isError);
        EXPECT_EQ(l->text, c.text);
    }
}

TEST(ParseLogLine, RejectsOtherLines) {
    const char *bad[] = {
        "",
        "plain text",
        "{0 LAPI_CLI_Api.cpp:1\tLAPI Error CLI f: x",
        "{-1} LAPI_CLI_Api.cpp:1\tLAPI Error CLI f: x",
        "{0} LAPI_CLI_Api.cpp\tLAPI Error CLI f: x",
        "{0} LAPI_CLI_Api.cpp:\tLAPI Error CLI f: x",
        "{0} LAPI_CLI_Api.cpp:12 LAPI Error CLI f: x",
        "{0} LAPI_CLI_Api.cpp:12\tLAPI Error XYZ f: x",
        "{0} LAPI_CLI_Api.cpp:12\tLAPI Error CLI f x",
        "{0} LAPI_CLI_Api.cpp:12\tLAPI Error CLI : x",
        "{4} LAPI_SrvCli.cpp:45, LAPI_LogX\tLAPI CLI : x",
        "{4} LAPI_SrvCli.cpp:45, LAPI_LogX()\tLAPI CLI: x",
        "{4} LAPI_SrvCli.cpp:45, ()\tLAPI CLI : x",
    };
    for (const char *line : bad) {
        EXPECT_FALSE(ParseLogLine(line).has_value()) << line;
    }
}

TEST(ParseLogLine, ErrorTextsAndContainsSelectLines) {
    const std::vector<std::string> lines = {
        "{4} LAPI_SrvCli.cpp:45, LAPI_LogRegisterReq()\tLAPI CLI : C->S registerReq ",
        "{0} LAPI_CLI_Api.cpp:10\tLAPI Error CLI LAPI_CLI_RecvMsg: Socket Disconnection!",
        "noise",
        "{0} LAPI_CLI_Api.cpp:20\tLAPI Error CLI LAPI_UnregisterClient: Fail to receive",
    };
    EXPECT_EQ(ErrorTexts(lines),
              (std::vector<std::string>{"Socket Disconnection!", "Fail to receive"}));
    const auto parsed = LogLines(lines);
    ASSERT_EQ(parsed.size(), 3u);
    EXPECT_EQ(parsed[1].func, "LAPI_CLI_RecvMsg");
    EXPECT_TRUE(Contains(lines, "registerReq"));
    EXPECT_FALSE(Contains(lines, "unregisterReq"));
    EXPECT_FALSE(Contains({}, ""));
}

TEST(Fds, ListsDescriptorsAsTheyOpenAndClose) {
    const auto before = OpenFds();
    EXPECT_TRUE(before.count(0) + before.count(1) + before.count(2) > 0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const auto during = OpenFds();
    EXPECT_EQ(during.size(), before.size() + 2);
    EXPECT_EQ(during.count(p[0]), 1u);
    EXPECT_EQ(during.count(p[1]), 1u);
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(OpenFds(), before);
    EXPECT_EQ(OpenFdCount(), static_cast<int>(before.size()));
}

}  // namespace
}  // namespace lapitest
