// The library's diagnostic lines as the library tests compare them.
#pragma once

#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "testkit.h"

namespace lapitest {

// The captured lines with the source line number after "FILE:" replaced by '#'.
inline std::vector<std::string> Norm(const std::vector<std::string> &lines) {
    static const std::regex kNumber(R"(^(\{[04]\} [A-Za-z_.]+:)[0-9]+)");
    std::vector<std::string> out;
    for (const std::string &l : lines) {
        out.push_back(
            std::regex_replace(l, kNumber, "$1#", std::regex_constants::format_first_only));
    }
    return out;
}

// "FUNC: TEXT" of every error line, "{pid}" in `want` texts standing for getpid().
inline std::vector<std::string> Errors(const StderrCapture &cap) {
    std::vector<std::string> out;
    for (const std::string &l : cap.Lines()) {
        const size_t at = l.find("\tLAPI Error CLI ");
        if (l.rfind("{0} ", 0) == 0 && at != std::string::npos) {
            out.push_back(l.substr(at + 16));
        }
    }
    return out;
}

inline std::string WithPid(std::string s) {
    for (size_t at; (at = s.find("{pid}")) != std::string::npos;) {
        s.replace(at, 5, std::to_string(getpid()));
    }
    return s;
}

inline std::vector<std::string> WithPid(std::vector<std::string> v) {
    for (std::string &s : v) {
        s = WithPid(s);
    }
    return v;
}

// The lines of [section] in a data file, "{pid}" replaced.
inline std::vector<std::string> Section(std::string_view file, const std::string &section) {
    std::vector<std::string> out;
    bool in = false;
    for (const std::string &l : DataLines(file)) {
        in = l[0] == '[' ? l == "[" + section + "]" : in;
        if (in && l[0] != '[') {
            out.push_back(WithPid(l));
        }
    }
    return out;
}

}  // namespace lapitest
