#include "parse.h"

#include <charconv>
#include <cmath>

#include "LAPI_NumFormat.h"

namespace lapictl {
namespace {

bool HasHexPrefix(std::string_view text) {
    return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

}  // namespace

std::optional<uint32_t> ParseFileId(std::string_view text) {
    int base = 10;
    if (HasHexPrefix(text)) {
        text.remove_prefix(2);
        base = 16;
    }
    // from_chars would accept a leading '-' for signed types only, but check anyway:
    // the text must be digits of the base and nothing else.
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        return std::nullopt;
    }
    uint32_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::vector<uint8_t>> ParseHexData(std::string_view text) {
    if (HasHexPrefix(text)) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() % 2 != 0 || text.size() > 8) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int byte = lapi::numfmt::ParseHexByte(&text[i]);
        if (byte < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<uint8_t>(byte));
    }
    return bytes;
}

std::optional<DbEntry> ParseDbEntry(std::string_view text, std::string *error) {
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos) {
        *error = "expected FILEID=HEX";
        return std::nullopt;
    }
    const auto fileId = ParseFileId(text.substr(0, eq));
    if (!fileId) {
        *error = "file id must be a number from 0 to 4294967295 (decimal or 0x hex)";
        return std::nullopt;
    }
    auto data = ParseHexData(text.substr(eq + 1));
    if (!data) {
        *error = "data must be 1 to 4 bytes of hex (2 to 8 hex digits)";
        return std::nullopt;
    }
    return DbEntry{*fileId, std::move(*data)};
}

std::optional<double> ParseNumber(std::string_view text) {
    if (text.empty() || text[0] == '+') {
        return std::nullopt;
    }
    for (const char c : text) {
        // Only plain decimal notation: no "inf", "nan" or hexadecimal floats.
        if (!((c >= '0' && c <= '9') || c == '-' || c == '.' || c == 'e' || c == 'E' || c == '+')) {
            return std::nullopt;
        }
    }
    double value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

bool IsWaypoint(std::string_view text) {
    std::size_t parts = 0;
    for (;;) {
        const std::size_t comma = text.find(',');
        if (!ParseNumber(text.substr(0, comma))) {
            return false;
        }
        ++parts;
        if (comma == std::string_view::npos) {
            break;
        }
        text.remove_prefix(comma + 1);
    }
    return parts == 2 || parts == 3;
}

std::string CheckControlWords(const std::vector<std::string> &words) {
    for (const std::string &word : words) {
        if (word.empty()) {
            return "an empty word cannot be sent to the control socket";
        }
        for (const char c : word) {
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\0') {
                return "'" + word +
                       "' holds a blank or a line break; the control socket takes words "
                       "without them";
            }
        }
    }
    return {};
}

std::string JoinWords(const std::vector<std::string> &words) {
    std::string line;
    for (const std::string &word : words) {
        if (!line.empty()) {
            line += ' ';
        }
        line += word;
    }
    return line;
}

}  // namespace lapictl
