// Batched diagnostics: lines gathered while installed reach standard error whole, in
// order, only when flushed; uninstalling returns to one write per line.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LAPI_SrvCli.h"
#include "proto/log_batch.h"
#include "stderr_capture.h"

namespace {

constexpr const char *kLapiFile = LAPI_BaseName(__FILE__);

TEST(LogBatch, GathersWholeLinesUntilFlushed) {
    lapitest::StderrCapture cap;
    lapid::LogBatch::Install();
    LAPI_ERR(LAPI_SIDE_SRV, "first %d", 1);
    LAPI_WriteTraceLineF(LAPI_SIDE_SRV, kLapiFile, __LINE__, __func__, "second");
    EXPECT_TRUE(cap.Lines().empty());
    EXPECT_GT(lapid::LogBatch::Pending(), 0u);
    lapid::LogBatch::Flush();
    EXPECT_EQ(lapid::LogBatch::Pending(), 0u);
    const auto lines = lapitest::LogLines(cap.Lines());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "first 1");
    EXPECT_EQ(lines[0].side, "SRV");
    EXPECT_EQ(lines[1].text, "second");
    EXPECT_FALSE(lines[1].isError);

    // Past the buffer's size the batch is written out first, nothing is lost.
    const std::string word(900, 'x');
    for (int i = 0; i < 200; ++i) {
        LAPI_ERR(LAPI_SIDE_SRV, "%d %s", i, word.c_str());
    }
    lapid::LogBatch::Uninstall();
    const auto texts = lapitest::ErrorTexts(cap.Lines());
    ASSERT_EQ(texts.size(), 201u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(texts[static_cast<size_t>(i) + 1], std::to_string(i) + " " + word);
    }
    // Uninstalled: written at once again.
    LAPI_ERR(LAPI_SIDE_SRV, "direct");
    EXPECT_EQ(lapitest::ErrorTexts(cap.Lines()).back(), "direct");
}

}  // namespace
