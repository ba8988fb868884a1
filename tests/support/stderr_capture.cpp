#include "stderr_capture.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <system_error>

#include <unistd.h>

namespace lapitest {

namespace {

// Test executables may link the close() wrapper of the fault injection; the
// capture's own descriptors go through close_range() so that an armed close
// fault never hits them and they never show in the close() count.
void CloseUncounted(int fd) {
    if (fd >= 0) {
        close_range(static_cast<unsigned>(fd), static_cast<unsigned>(fd), 0);
    }
}

// Reads an unsigned decimal number at the front of s and removes it.
std::optional<int> TakeNumber(std::string_view &s) {
    int value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end == s.data() || s.front() == '-') {
        return std::nullopt;
    }
    s.remove_prefix(static_cast<size_t>(end - s.data()));
    return value;
}

bool TakePrefix(std::string_view &s, std::string_view prefix) {
    if (s.substr(0, prefix.size()) != prefix) {
        return false;
    }
    s.remove_prefix(prefix.size());
    return true;
}

// Takes the text up to the first occurrence of stop (which is removed too).
std::optional<std::string> TakeUntil(std::string_view &s, std::string_view stop) {
    const size_t pos = s.find(stop);
    if (pos == std::string_view::npos || pos == 0) {
        return std::nullopt;
    }
    std::string taken(s.substr(0, pos));
    s.remove_prefix(pos + stop.size());
    return taken;
}

bool IsSideTag(std::string_view side) {
    return side == "CLI" || side == "SRV";
}

}  // namespace

StderrCapture::StderrCapture() {
    std::FILE *tmp = std::tmpfile();
    if (tmp == nullptr) {
        throw std::system_error(errno, std::generic_category(), "StderrCapture: tmpfile");
    }
    fileFd_ = dup(fileno(tmp));
    const int err = errno;
    std::fclose(tmp);
    if (fileFd_ < 0) {
        throw std::system_error(err, std::generic_category(), "StderrCapture: dup");
    }
    savedFd_ = dup(2);
    if (savedFd_ < 0 || dup2(fileFd_, 2) < 0) {
        const int dupErr = errno;
        CloseUncounted(savedFd_);
        CloseUncounted(fileFd_);
        throw std::system_error(dupErr, std::generic_category(), "StderrCapture: dup2");
    }
}

StderrCapture::~StderrCapture() {
    dup2(savedFd_, 2);
    CloseUncounted(savedFd_);
    CloseUncounted(fileFd_);
}

std::string StderrCapture::Text() const {
    std::string text;
    char buf[4096];
    off_t off = 0;
    for (;;) {
        const ssize_t n = pread(fileFd_, buf, sizeof buf, off);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        text.append(buf, static_cast<size_t>(n));
        off += n;
    }
    return text;
}

std::vector<std::string> StderrCapture::Lines() const {
    const std::string text = Text();
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::optional<LogLine> ParseLogLine(std::string_view s) {
    if (!s.empty() && s.back() == '\n') {
        s.remove_suffix(1);
    }
    LogLine l;
    std::optional<int> n;
    if (!TakePrefix(s, "{") || !(n = TakeNumber(s)) || !TakePrefix(s, "} ")) {
        return std::nullopt;
    }
    l.level = *n;
    // The file's base name holds no ':'; the line number follows the colon.
    auto file = TakeUntil(s, ":");
    if (!file || file->find_first_of(" \t") != std::string::npos || !(n = TakeNumber(s))) {
        return std::nullopt;
    }
    l.file = std::move(*file);
    l.line = *n;

    std::optional<std::string> side;
    std::optional<std::string> func;
    if (TakePrefix(s, "\tLAPI Error ")) {
        // "{0} file:line\tLAPI Error CLI func: text"
        l.isError = true;
        if (!(side = TakeUntil(s, " ")) || !(func = TakeUntil(s, ": "))) {
            return std::nullopt;
        }
    } else if (TakePrefix(s, ", ")) {
        // "{4} file:line, func()\tLAPI CLI : text"
        if (!(func = TakeUntil(s, "()\tLAPI ")) || !(side = TakeUntil(s, " : "))) {
            return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    if (!IsSideTag(*side) || func->find_first_of(" \t") != std::string::npos) {
        return std::nullopt;
    }
    l.side = std::move(*side);
    l.func = std::move(*func);
    l.text = std::string(s);
    return l;
}

bool Contains(const std::vector<std::string> &lines, std::string_view needle) {
    for (const auto &line : lines) {
        if (line.find(needle) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> ErrorTexts(const std::vector<std::string> &lines) {
    std::vector<std::string> texts;
    for (const auto &line : lines) {
        if (auto l = ParseLogLine(line); l && l->isError) {
            texts.push_back(std::move(l->text));
        }
    }
    return texts;
}

std::vector<LogLine> LogLines(const std::vector<std::string> &lines) {
    std::vector<LogLine> parsed;
    for (const auto &line : lines) {
        if (auto l = ParseLogLine(line)) {
            parsed.push_back(std::move(*l));
        }
    }
    return parsed;
}

}  // namespace lapitest
