// The page of a command line whose texts hold what roff would misread: hyphens,
// backslashes, lines that begin with '.' or '\'', a hidden option and subcommand.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "cli_manpage.h"

namespace {

TEST(ManPage, EscapesTextAndKeepsHiddenPartsOut) {
    CLI::App app{"demo - a test of C:\\path and -x.\n.not a request\n'neither", "demo"};
    std::string value = "a-b";
    app.add_option("--opt-one", value, "first line\n.second line")->capture_default_str();
    bool hidden = false;
    app.add_flag("--hidden", hidden, "never shown")->group("");
    app.add_subcommand("run", "runs\n'quoted");
    app.add_subcommand("secret", "never shown")->group("");
    lapi::manpage::Page page;
    page.sections = {{"Exit status", {{"0", "fine - really"}}}};
    page.seeAlso = {"lapid(8)", "lapictl(1)"};
    lapi::manpage::AddFlag(app, page);
    std::ostringstream out;
    lapi::manpage::Write(out, app, page);
    const std::string roff = out.str();

    const std::set<std::string> macros = {".TH", ".SH", ".SS", ".PP", ".TP", ".RS",
                                          ".RE", ".nf", ".fi", ".B",  ".BR"};
    std::istringstream lines(roff);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(".")) {
            EXPECT_TRUE(macros.contains(line.substr(0, line.find(' ')))) << line;
            continue;
        }
        EXPECT_FALSE(line.starts_with("'")) << line;
        for (std::size_t at = line.find('-'); at != std::string::npos;
             at = line.find('-', at + 1)) {
            EXPECT_TRUE(at > 0 && line[at - 1] == '\\') << line;
        }
    }
    for (const char *expected :
         {".SH NAME\ndemo \\- a test of C:\\epath and \\-x\n", "\\&.not a request\n",
          "\\&'neither\n", "\\fB\\-\\-opt\\-one\\fR \\fITEXT\\fR\nfirst line\n",
          "\\&.second line. Default: \\fIa\\-b\\fR.\n", "\\fBrun\\fR\nruns\n\\&'quoted\n",
          ".SH \"EXIT STATUS\"\n", ".BR lapid (8),\n.BR lapictl (1)\n"}) {
        EXPECT_NE(roff.find(expected), std::string::npos) << expected << "\nin:\n" << roff;
    }
    EXPECT_EQ(roff.find("never shown"), std::string::npos);
    EXPECT_EQ(roff.find("manpage"), std::string::npos);
}

}  // namespace
