// Where lines end up: lapictl's own lines on the original standard error, the
// library's lines (anything written to descriptor 2) in the log, in nothing, or on
// standard error with --trace. Each case runs in a child whose standard error is a
// pipe, since it rewires descriptor 2.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "session.h"

namespace lapictl {
namespace {

struct ChildRun {
    std::string stderrText;
    int exitCode = -1;
};

ChildRun InChild(const std::function<int()> &body) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDERR_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        ::_exit(body());
    }
    ::close(fds[1]);
    ChildRun run;
    char buf[512];
    ssize_t n = 0;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) {
        run.stderrText.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

void LibraryWrites(const char *text) {
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text, std::strlen(text));
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Diagnostics : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/lapictl-diag-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        dir_ = dir;
        log_ = dir_ + "/trace.log";
    }
    void TearDown() override {
        ::unlink(log_.c_str());
        ::rmdir(dir_.c_str());
    }
    std::string dir_;
    std::string log_;
};

TEST_F(Diagnostics, ByDefaultOnlyLapictlsOwnLinesAreShown) {
    const ChildRun run = InChild([] {
        if (!SetUpDiagnostics(false, "")) {
            return 3;
        }
        LibraryWrites("{4} trace line\n");
        Complain("request timed out");
        return DiagnosticIsTerminal() ? 4 : 0;  // a pipe is no terminal
    });
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.stderrText, "lapictl: request timed out\n");
}

TEST_F(Diagnostics, LogCollectsTheLibraryLinesAcrossRuns) {
    const std::string log = log_;
    for (int i = 0; i < 2; ++i) {
        const ChildRun run = InChild([&log] {
            if (!SetUpDiagnostics(false, log)) {
                return 3;
            }
            LibraryWrites("{4} trace line\n");
            Complain("own line");
            return 0;
        });
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.stderrText, "lapictl: own line\n");
    }
    EXPECT_EQ(ReadFile(log_), "{4} trace line\n{4} trace line\n");
}

TEST_F(Diagnostics, TraceShowsBothInOrder) {
    const ChildRun run = InChild([] {
        if (!SetUpDiagnostics(true, "")) {
            return 3;
        }
        LibraryWrites("{4} trace line\n");
        Complain("own line");
        return 0;
    });
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.stderrText, "{4} trace line\nlapictl: own line\n");
}

TEST_F(Diagnostics, AnUnopenableLogIsReportedOnStderr) {
    const std::string bad = dir_ + "/missing/trace.log";
    const ChildRun run = InChild([&bad] { return SetUpDiagnostics(false, bad) ? 0 : 1; });
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.stderrText.rfind("lapictl: cannot open the log file " + bad + ": ", 0), 0u)
        << run.stderrText;
}

}  // namespace
}  // namespace lapictl
