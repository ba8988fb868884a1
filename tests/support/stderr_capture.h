// Capture of file descriptor 2, and parsing of the library's log lines.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lapitest {

// Redirects descriptor 2 into an anonymous temporary file for its lifetime
// and restores the original on destruction. It works below stdio, so it sees
// every write(2, ...) as it happens; nothing is buffered or flushed. Captures
// nest: an inner capture takes the output until it ends.
class StderrCapture {
  public:
    StderrCapture();  // throws std::system_error when the redirection fails
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // Everything written so far.
    std::string Text() const;
    // The same split at '\n', without the '\n'; an unfinished last line is
    // included as it stands.
    std::vector<std::string> Lines() const;

  private:
    int savedFd_ = -1;  // the descriptor 2 from before the capture
    int fileFd_ = -1;   // the temporary file
};

// One parsed log line. Error lines:
//   "{0} LAPI_CLI_Api.cpp:123\tLAPI Error CLI LAPI_RegisterClient: <text>"
// trace lines:
//   "{4} LAPI_SrvCli.cpp:45, LAPI_LogRegisterReq()\tLAPI CLI : <text>"
// with SRV in place of CLI on the server side.
struct LogLine {
    int level = 0;
    std::string file;
    int line = 0;
    std::string func;
    std::string side;
    bool isError = false;
    std::string text;
};

// Parses one line (a final '\n' is ignored); nullopt when it has neither form.
std::optional<LogLine> ParseLogLine(std::string_view line);

// True when some line contains needle.
bool Contains(const std::vector<std::string> &lines, std::string_view needle);

// The texts of the error lines among lines, prefix removed, in order; other
// lines are skipped.
std::vector<std::string> ErrorTexts(const std::vector<std::string> &lines);

// The parsed log lines among lines, in order; other lines are skipped.
std::vector<LogLine> LogLines(const std::vector<std::string> &lines);

}  // namespace lapitest
