// lapictl's own arguments: GPS database entries, numbers, control-socket words.
#include <gtest/gtest.h>

#include "parse.h"

namespace lapictl {
namespace {

TEST(ParseFileId, DecimalOrHexWithinU32) {
    EXPECT_EQ(ParseFileId("7"), 7u);
    EXPECT_EQ(ParseFileId("0x1F"), 31u);
    EXPECT_EQ(ParseFileId("0X10"), 16u);
    EXPECT_EQ(ParseFileId("4294967295"), 4294967295u);
    EXPECT_EQ(ParseFileId("010"), 10u);  // decimal, not octal
    for (const char *bad : {"4294967296", "-1", "+1", "", "0x", "12a", " 7", "7 ", "0x1g"}) {
        EXPECT_FALSE(ParseFileId(bad)) << bad;
    }
}

TEST(ParseHexData, OneToFourBytes) {
    EXPECT_EQ(ParseHexData("ab"), (std::vector<uint8_t>{0xab}));
    EXPECT_EQ(ParseHexData("0xABcd"), (std::vector<uint8_t>{0xab, 0xcd}));
    EXPECT_EQ(ParseHexData("00ff1002"), (std::vector<uint8_t>{0x00, 0xff, 0x10, 0x02}));
    for (const char *bad : {"", "0x", "a", "abc", "abcdef0102", "zz", "ab cd", "-1"}) {
        EXPECT_FALSE(ParseHexData(bad)) << bad;
    }
}

TEST(ParseDbEntry, FileIdEqualsHex) {
    std::string error;
    const auto entry = ParseDbEntry("0x10=0a0B", &error);
    ASSERT_TRUE(entry) << error;
    EXPECT_EQ(entry->fileId, 16u);
    EXPECT_EQ(entry->data, (std::vector<uint8_t>{0x0a, 0x0b}));

    struct Case {
        const char *text;
        const char *errorStart;
    };
    for (const Case &c :
         {Case{"7", "expected FILEID=HEX"}, Case{"x=ab", "file id"}, Case{"=ab", "file id"},
          Case{"7=", "data"}, Case{"7=abcdef0102", "data"}, Case{"7=ab=cd", "data"}}) {
        error.clear();
        EXPECT_FALSE(ParseDbEntry(c.text, &error)) << c.text;
        EXPECT_EQ(error.rfind(c.errorStart, 0), 0u) << c.text << ": " << error;
    }
}

TEST(ParseNumber, PlainDecimalOnly) {
    EXPECT_EQ(ParseNumber("-0.5"), -0.5);
    EXPECT_EQ(ParseNumber("1e3"), 1000.0);
    EXPECT_EQ(ParseNumber("52.520008"), 52.520008);
    for (const char *bad : {"", "nan", "inf", "-inf", "0x10", "+1", "1.5x", "1e999", "1,5"}) {
        EXPECT_FALSE(ParseNumber(bad)) << bad;
    }
}

TEST(IsWaypoint, TwoOrThreeNumbers) {
    EXPECT_TRUE(IsWaypoint("52.52,13.405"));
    EXPECT_TRUE(IsWaypoint("-33.9,18.4,12.5"));
    for (const char *bad : {"", "52.52", "52.52,", ",13.4", "1,2,3,4", "1;2", "a,b", "1,,2"}) {
        EXPECT_FALSE(IsWaypoint(bad)) << bad;
    }
}

TEST(ControlWords, BlanksAndLineBreaksCannotHideInAWord) {
    EXPECT_EQ(CheckControlWords({"mtlr", "1", "name=Alice", "addr=tel:+4930"}), "");
    const std::string spaced = CheckControlWords({"mtlr", "1", "name=Alice Smith"});
    EXPECT_NE(spaced.find("'name=Alice Smith'"), std::string::npos) << spaced;
    EXPECT_NE(CheckControlWords({"position", "1\nfix", "off"}), "");
    EXPECT_NE(CheckControlWords({"position", "1\t2"}), "");
    EXPECT_NE(CheckControlWords({"status", ""}), "");
    EXPECT_EQ(JoinWords({"position", "52.52", "13.405"}), "position 52.52 13.405");
    EXPECT_EQ(JoinWords({"clients"}), "clients");
}

}  // namespace
}  // namespace lapictl
