// Parsing of lapictl's own arguments: GPS database entries, file identifiers, plain
// numbers, and the words of a control-socket command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lapictl {

// A decimal number, or hexadecimal after "0x"; nothing else (no sign, no blanks).
std::optional<uint32_t> ParseFileId(std::string_view text);

// 1 to 4 bytes written as 2 to 8 hex digits, optionally after "0x": "ab", "0xABCD01".
std::optional<std::vector<uint8_t>> ParseHexData(std::string_view text);

struct DbEntry {
    uint32_t fileId = 0;
    std::vector<uint8_t> data;  // 1..4 bytes
};

// "FILEID=HEX" (for example "7=abcd"). Returns the entry, or sets *error to a short
// reason and returns nothing.
std::optional<DbEntry> ParseDbEntry(std::string_view text, std::string *error);

// A finite decimal number, the whole text ("52.52", "-0.5", "1e3").
std::optional<double> ParseNumber(std::string_view text);

// A route waypoint "LAT,LON" or "LAT,LON,ALT", each a number as ParseNumber takes it.
bool IsWaypoint(std::string_view text);

// The control socket splits a command on blanks and ends it at a newline: a word that
// is empty or holds a blank or a line break would change the command. Returns an
// error text naming the first such word, or an empty string.
std::string CheckControlWords(const std::vector<std::string> &words);

// The words joined by single spaces (no newline).
std::string JoinWords(const std::vector<std::string> &words);

}  // namespace lapictl
