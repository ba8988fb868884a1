// Formatting of the location server's messages for people (one line, units, readable
// times and names) and for scripts (one JSON object per line, keyed by the message's
// field names). Everything here works on bytes: no sockets, no library calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "lapi/lapi.h"

namespace lapictl {

using Bytes = std::span<const uint8_t>;

// ---- Text helpers ----------------------------------------------------------------

std::string HexString(const uint8_t *data, std::size_t length);  // "0a1b", lower case
std::string JsonNumber(double value);          // shortest round-trip text; null if not finite
std::string JsonQuote(std::string_view text);  // quoted and escaped JSON string
// True when the bytes are valid UTF-8 without control characters.
bool IsPrintableText(const uint8_t *data, std::size_t length);
// "\"Alice\"" when the bytes are printable text, otherwise "0x416c" (empty: "\"\"").
std::string BytesForPeople(const uint8_t *data, std::size_t length);

// Milliseconds since the Unix epoch as UTC ISO 8601: "2026-12-06T08:00:00Z", with
// ".250" before the Z when the milliseconds are not zero.
std::string FormatTime(int64_t epochMs);
std::string FormatLatitude(double degrees);   // "52.520008 N", "33.918861 S"
std::string FormatLongitude(double degrees);  // "13.404954 E", "73.800000 W"
std::string FormatMetres(double metres);      // "5", "12.5", "6.25" (centimetres at most)

// Builds one JSON object field by field, in the order of the calls.
class JsonObject {
  public:
    JsonObject &Raw(std::string_view key, std::string_view json);
    JsonObject &Str(std::string_view key, std::string_view text);
    JsonObject &Int(std::string_view key, int64_t value);
    JsonObject &Num(std::string_view key, double value);
    std::string Done() const { return body_ + '}'; }

  private:
    std::string body_ = "{";
};

// ---- Messages --------------------------------------------------------------------

// The catalogue's name of a message the server sends ("getLocationRsp" for msgId 0);
// empty for any other msgId.
std::string_view MessageName(uint16_t msgId);

LAPI_MSG_HEADER_S HeaderOf(Bytes msg);  // msg holds at least the 8 header bytes

// A copy of the packed record when msg is exactly one such message.
template <class Record>
std::optional<Record> Decode(Bytes msg) {
    if (msg.size() != sizeof(Record)) {
        return std::nullopt;
    }
    Record record;
    std::memcpy(&record, msg.data(), sizeof record);
    if (record.header.msgLen != sizeof(Record) - sizeof(LAPI_MSG_HEADER_S)) {
        return std::nullopt;
    }
    return record;
}

// One JSON object for a whole message (header included): "msg" (its name), the header
// fields ("serverPid" for its pid, which lapid sets to its own), then the body fields of
// the catalogue under their labels (a dotted label "a.b" as "b" of an object "a"). A
// message of unknown msgId, of the wrong length, or one of the registration answers that
// only the library reads, is given as {"msg": name or "unknown", header..., "malformed":
// true, "body": "hex"}.
std::string MessageJson(Bytes msg);
// A whole message that lapictl sends itself, without the header that the library
// fills in: {"msg": name, then the body fields as MessageJson gives them}.
std::string SentJson(Bytes msg);

// ---- Lines for people ------------------------------------------------------------

// "52.520008 N 13.404954 E  ±5 m  2026-12-06T08:00:00Z", followed by
// "  10.0 m/s course 45.0°" while moving.
std::string FixLine(const LAPI_GET_LOCATION_RSP_S &rsp);
std::string FixLine(const LAPI_PROXIMITY_HIT_IND_S &ind);

// "5551759.400 m  azimuth 51.198883°" (the distance alone when distanceOnly).
std::string DistanceLine(const LAPI_DISTANCE_AZIMUTH_RSP_S &rsp, bool distanceOnly);

using StatusValues = std::array<int32_t, 7>;  // in the order of StatusField
StatusValues StatusOf(const LAPI_GET_STATUS_RSP_S &rsp);
// One line per value: "fixStatus               2 (fix)".
std::string StatusTable(const StatusValues &values);
// "fixStatus 1 (acquiring) -> 2 (fix), fixResultStatus.status 0 (none) -> 1 (success)":
// the values that differ; every value when none does.
std::string StatusChangeLine(const StatusValues &before, const StatusValues &after);

// One line per entry: "file 7: abcd (2 bytes)".
std::string DbEntriesText(const LAPI_GET_GPS_DB_DATA_RSP_S &rsp);

// The client name of an MT-LR request as BytesForPeople gives it.
std::string ClientName(const LAPI_LOCATION_NOTIFICATION_IND_S &ind);
// "MT-LR notification 3/7 from "Alice" (tel:+4912345): verify, allowed without an answer;
// current location", 3/7 being the notification's sessionId/transactionId.
std::string NotificationLine(const LAPI_LOCATION_NOTIFICATION_IND_S &ind);
// "MT-LR notification 3/7 settled: allowed by the user (cause 0)".
std::string NotificationStatusLine(const LAPI_NOTIFICATION_STATUS_IND_S &ind);

// ---- Control socket --------------------------------------------------------------

// One data line of the control socket as JSON: {"msg": command, "line": the line,
// "name": first bare word, "value": second bare word, "args": [further bare words],
// and every key=value word under its key}. Numbers become JSON numbers.
std::string ControlLineJson(std::string_view command, std::string_view line);

}  // namespace lapictl
