#include "format.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#include "LAPI_MsgCatalogue.h"
#include "LAPI_SrvCli.h"
#include "codes.h"

namespace lapictl {

// ---- Text helpers ----------------------------------------------------------------

std::string HexString(const uint8_t *data, std::size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0x0f];
    }
    return out;
}

std::string JsonNumber(double value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    // The shortest text that reads back as the same double: 52.520008, not
    // 52.520007999999997.
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    return ec == std::errc() ? std::string(buf, end) : "null";
}

std::string JsonQuote(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (u < 0x20 || u == 0x7f) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(u));
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

bool IsPrintableText(const uint8_t *data, std::size_t length) {
    std::size_t i = 0;
    while (i < length) {
        const uint8_t b = data[i];
        if (b < 0x80) {
            if (b < 0x20 || b == 0x7f) {
                return false;
            }
            ++i;
            continue;
        }
        // Multi-byte sequence: lead byte, then continuation bytes 10xxxxxx. Overlong
        // forms, surrogates and code points above U+10FFFF are not text.
        std::size_t extra = 0;
        uint32_t cp = 0;
        if ((b & 0xe0) == 0xc0) {
            extra = 1;
            cp = b & 0x1fu;
        } else if ((b & 0xf0) == 0xe0) {
            extra = 2;
            cp = b & 0x0fu;
        } else if ((b & 0xf8) == 0xf0) {
            extra = 3;
            cp = b & 0x07u;
        } else {
            return false;
        }
        if (extra >= length - i) {
            return false;  // the sequence runs past the end
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const uint8_t c = data[i + k];
            if ((c & 0xc0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (c & 0x3fu);
        }
        static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff) ||
            (cp >= 0x80 && cp < 0xa0)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

std::string BytesForPeople(const uint8_t *data, std::size_t length) {
    if (IsPrintableText(data, length)) {
        return '"' + std::string(reinterpret_cast<const char *>(data), length) + '"';
    }
    return "0x" + HexString(data, length);
}

std::string FormatTime(int64_t epochMs) {
    // Floor division, so that times before 1970 keep a positive millisecond part.
    int64_t seconds = epochMs / 1000;
    int64_t millis = epochMs % 1000;
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    char buf[64];
    if (gmtime_r(&t, &tm) == nullptr ||
        std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm) == 0) {
        std::snprintf(buf, sizeof buf, "@%" PRId64 " ms", epochMs);
        return buf;
    }
    std::string out = buf;
    if (millis != 0) {
        std::snprintf(buf, sizeof buf, ".%03d", static_cast<int>(millis));
        out += buf;
    }
    out += 'Z';
    return out;
}

namespace {

std::string Hemisphere(double degrees, char positive, char negative) {
    if (!std::isfinite(degrees)) {
        return "?";
    }
    char buf[48];
    // -0.0 and values that round to zero are shown without a minus sign on the positive
    // side; the sign picks the letter.
    const bool south = degrees < 0 && std::fabs(degrees) >= 5e-7;
    std::snprintf(buf, sizeof buf, "%.6f %c", std::fabs(degrees), south ? negative : positive);
    return buf;
}

}  // namespace

std::string FormatLatitude(double degrees) {
    return Hemisphere(degrees, 'N', 'S');
}
std::string FormatLongitude(double degrees) {
    return Hemisphere(degrees, 'E', 'W');
}

std::string FormatMetres(double metres) {
    if (!std::isfinite(metres)) {
        return "?";
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.2f", metres);
    std::string out = buf;
    // Centimetres at most, without trailing zeros: "5", "12.5", "6.25".
    while (out.back() == '0') {
        out.pop_back();
    }
    if (out.back() == '.') {
        out.pop_back();
    }
    if (out == "-0") {
        out = "0";
    }
    return out;
}

JsonObject &JsonObject::Raw(std::string_view key, std::string_view json) {
    if (body_.size() > 1) {
        body_ += ',';
    }
    body_ += JsonQuote(key);
    body_ += ':';
    body_ += json;
    return *this;
}

JsonObject &JsonObject::Str(std::string_view key, std::string_view text) {
    return Raw(key, JsonQuote(text));
}

JsonObject &JsonObject::Int(std::string_view key, int64_t value) {
    return Raw(key, std::to_string(value));
}

JsonObject &JsonObject::Num(std::string_view key, double value) {
    return Raw(key, JsonNumber(value));
}

// ---- Messages --------------------------------------------------------------------

namespace {

namespace cat = lapi::cat;
using lapi::wire::Load;

// The bytes of a record, to read it through the catalogue's offsets.
template <class Record>
const uint8_t *BytesOf(const Record &record) {
    return reinterpret_cast<const uint8_t *>(&record);
}

// An integer field: 1- and 2-byte fields unsigned, 4-byte fields signed unless Udec.
int64_t IntAt(const uint8_t *msg, const cat::Field &f) {
    const uint8_t *at = msg + f.offset;
    switch (f.width) {
        case 1:
            return *at;
        case 2:
            return Load<uint16_t>(at);
        default:
            return f.kind == cat::Kind::Udec ? int64_t{Load<uint32_t>(at)} : Load<int32_t>(at);
    }
}

// The field of m labelled label (it is there: the labels are known at the call).
const cat::Field &FieldOf(const cat::Msg &m, std::string_view label) {
    const std::span<const cat::Field> fields(m.fields, m.fieldCount);
    for (const cat::Field &f : fields) {
        if (label == f.label) {
            return f;
        }
    }
    return fields.back();
}

// Calls each(entry, its data as hex) for the entries of a file list: no more than the
// record holds whatever the count says, no more data than an entry holds whatever its
// length says.
template <class Each>
void ForEachFile(const uint8_t *msg, const cat::Field &list, Each each) {
    const unsigned count = std::min<unsigned>(Load<uint16_t>(msg + list.offset), list.capacity);
    for (unsigned i = 0; i < count; ++i) {
        const auto file =
            Load<LAPI_GPS_DB_FILE_S>(msg + list.offset2 + i * sizeof(LAPI_GPS_DB_FILE_S));
        const std::size_t shown = std::min<std::size_t>(file.length, sizeof file.data);
        each(file, HexString(file.data, shown));
    }
}

// One field under key: counted bytes as their count, then the meaningful bytes in hex
// and, when they are printable, as text under label2 + "Text"; a file list as an array.
void AddField(JsonObject &obj, const uint8_t *msg, const cat::Field &f, std::string_view key) {
    const uint8_t *at = msg + f.offset;
    switch (f.kind) {
        case cat::Kind::Dec:
        case cat::Kind::Udec:
            obj.Int(key, IntAt(msg, f));
            break;
        case cat::Kind::Double:
            obj.Num(key, Load<double>(at));
            break;
        case cat::Kind::I64Double:  // the exact integer, where the trace shows a double
            obj.Int(key, Load<int64_t>(at));
            break;
        case cat::Kind::CountedBytes: {
            const uint8_t *data = msg + f.offset2;
            const std::size_t n = std::min<std::size_t>(*at, f.capacity);
            obj.Int(key, *at).Str(f.label2, HexString(data, n));
            if (IsPrintableText(data, n)) {
                obj.Str(std::string(f.label2) + "Text",
                        std::string_view(reinterpret_cast<const char *>(data), n));
            }
            break;
        }
        case cat::Kind::FileList: {
            std::string files = "[";
            ForEachFile(msg, f, [&](const LAPI_GPS_DB_FILE_S &file, const std::string &hex) {
                files += files.size() > 1 ? "," : "";
                files += JsonObject()
                             .Int("fileId", file.fileId)
                             .Int("length", file.length)
                             .Str("data", hex)
                             .Done();
            });
            obj.Raw(key, files + ']');
            break;
        }
    }
}

// "fixResultStatus" for "fixResultStatus.status"; empty for a label without a dot.
std::string_view GroupOf(std::string_view label) {
    const std::size_t dot = label.find('.');
    return dot == std::string_view::npos ? std::string_view() : label.substr(0, dot);
}

// The body fields of m in catalogue order; fields in a row that share a group are one
// nested object.
void AddFields(JsonObject &obj, const cat::Msg &m, const uint8_t *msg) {
    const std::span<const cat::Field> fields(m.fields, m.fieldCount);
    for (std::size_t i = 0; i < fields.size();) {
        const std::string_view group = GroupOf(fields[i].label);
        if (group.empty()) {
            AddField(obj, msg, fields[i], fields[i].label);
            ++i;
            continue;
        }
        JsonObject inner;
        for (; i < fields.size() && GroupOf(fields[i].label) == group; ++i) {
            AddField(inner, msg, fields[i],
                     std::string_view(fields[i].label).substr(group.size() + 1));
        }
        obj.Raw(group, inner.Done());
    }
}

}  // namespace

std::string_view MessageName(uint16_t msgId) {
    const cat::Msg *m = cat::Find(msgId);
    return m != nullptr && m->fromServer ? m->name : std::string_view();
}

LAPI_MSG_HEADER_S HeaderOf(Bytes msg) {
    LAPI_MSG_HEADER_S header{};
    std::memcpy(&header, msg.data(), std::min(msg.size(), sizeof header));
    return header;
}

std::string MessageJson(Bytes msg) {
    if (msg.size() < sizeof(LAPI_MSG_HEADER_S)) {
        return JsonObject()
            .Str("msg", "unknown")
            .Raw("malformed", "true")
            .Str("body", HexString(msg.data(), msg.size()))
            .Done();
    }
    const LAPI_MSG_HEADER_S header = HeaderOf(msg);
    const std::string_view name = MessageName(header.msgId);
    JsonObject obj;
    obj.Str("msg", name.empty() ? std::string_view("unknown") : name)
        .Int("serverPid", header.pid)  // lapid fills in its own pid
        .Int("msgId", header.msgId)
        .Int("msgLen", header.msgLen);
    const cat::Msg *m = cat::Find(header.msgId);
    if (header.msgId <= LAPI_MSG_SERVER_RANGE_LAST && msg.size() == m->recordSize &&
        header.msgLen == m->msgLen) {
        AddFields(obj, *m, msg.data());
    } else {
        obj.Raw("malformed", "true")
            .Str("body", HexString(msg.data() + sizeof header, msg.size() - sizeof header));
    }
    return obj.Done();
}

std::string SentJson(Bytes msg) {
    const cat::Msg &m = *cat::Find(HeaderOf(msg).msgId);
    JsonObject obj;
    obj.Str("msg", m.name);
    AddFields(obj, m, msg.data());
    return obj.Done();
}

// ---- Lines for people ------------------------------------------------------------

namespace {

template <class Record>
std::string FixText(const Record &r) {
    const double speed = r.speed;
    std::string out = FormatLatitude(r.latitude) + ' ' + FormatLongitude(r.longitude);
    out += "  \u00b1" + FormatMetres(r.horizontalAccuracy) + " m";
    out += "  " + FormatTime(r.timeStamp);
    if (std::isfinite(speed) && speed > 0) {
        char buf[80];
        std::snprintf(buf, sizeof buf, "  %.1f m/s course %.1f\u00b0", speed, r.course);
        out += buf;
    }
    return out;
}

std::string Ids(uint8_t sessionId, uint8_t transactionId) {
    return std::to_string(sessionId) + '/' + std::to_string(transactionId);
}

// The meaningful bytes of a counted field for people: count of them, at most the field.
template <std::size_t N>
std::string CountedForPeople(const uint8_t (&data)[N], uint8_t count) {
    return BytesForPeople(data, std::min<std::size_t>(count, N));
}

std::string StatusValueText(int index, int32_t value) {
    const auto field = static_cast<StatusField>(index);
    return WithName(value, StatusValueName(field, value));
}

}  // namespace

std::string FixLine(const LAPI_GET_LOCATION_RSP_S &rsp) {
    return FixText(rsp);
}
std::string FixLine(const LAPI_PROXIMITY_HIT_IND_S &ind) {
    return FixText(ind);
}

std::string DistanceLine(const LAPI_DISTANCE_AZIMUTH_RSP_S &rsp, bool distanceOnly) {
    char buf[96];
    const double distance = rsp.distance;
    const double azimuth = rsp.azimuth;
    if (distanceOnly) {
        std::snprintf(buf, sizeof buf, "%.3f m", distance);
    } else {
        std::snprintf(buf, sizeof buf, "%.3f m  azimuth %.6f\u00b0", distance, azimuth);
    }
    return buf;
}

StatusValues StatusOf(const LAPI_GET_STATUS_RSP_S &rsp) {
    StatusValues values{};
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] =
            static_cast<int32_t>(IntAt(BytesOf(rsp), StatusFieldOf(static_cast<StatusField>(i))));
    }
    return values;
}

std::string StatusTable(const StatusValues &values) {
    std::string out;
    for (int i = 0; i < kStatusFieldCount; ++i) {
        const std::string_view name = StatusFieldName(static_cast<StatusField>(i));
        out += name;
        out.append(name.size() < 24 ? 24 - name.size() : 1, ' ');
        out += StatusValueText(i, values[static_cast<std::size_t>(i)]);
        out += '\n';
    }
    return out;
}

std::string StatusChangeLine(const StatusValues &before, const StatusValues &after) {
    std::string out;
    const bool any = before != after;
    for (int i = 0; i < kStatusFieldCount; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (any && before[k] == after[k]) {
            continue;
        }
        if (!out.empty()) {
            out += ", ";
        }
        out += StatusFieldName(static_cast<StatusField>(i));
        out += ' ';
        if (any) {
            out += StatusValueText(i, before[k]) + " -> ";
        }
        out += StatusValueText(i, after[k]);
    }
    return out;
}

std::string DbEntriesText(const LAPI_GET_GPS_DB_DATA_RSP_S &rsp) {
    std::string out;
    const cat::Field &list = FieldOf(cat::Of(LAPI_MSG_GET_GPS_DB_DATA_RSP), "dbFile");
    ForEachFile(BytesOf(rsp), list, [&](const LAPI_GPS_DB_FILE_S &file, const std::string &hex) {
        const uint16_t length = file.length;
        out += "file " + std::to_string(file.fileId) + ": " + hex + " (" + std::to_string(length) +
               (length == 1 ? " byte)\n" : " bytes)\n");
    });
    return out;
}

std::string ClientName(const LAPI_LOCATION_NOTIFICATION_IND_S &ind) {
    return CountedForPeople(ind.clientName, ind.nameLength);
}

std::string NotificationLine(const LAPI_LOCATION_NOTIFICATION_IND_S &ind) {
    std::string out =
        "MT-LR notification " + Ids(ind.sessionId, ind.transactionId) + " from " + ClientName(ind);
    if (ind.addrLength > 0) {
        out += " (" + CountedForPeople(ind.clientExternalAddr, ind.addrLength) + ")";
    }
    const int32_t type = ind.notificationType;
    const int32_t locationType = ind.locationType;
    const std::string_view typeName = NotificationTypeName(type);
    const std::string_view locationName = MtlrLocationTypeName(locationType);
    out += ": ";
    out += typeName.empty() ? "notification type " + std::to_string(type) : std::string(typeName);
    out += "; ";
    out += locationName.empty() ? "location type " + std::to_string(locationType)
                                : std::string(locationName);
    return out;
}

std::string NotificationStatusLine(const LAPI_NOTIFICATION_STATUS_IND_S &ind) {
    const int32_t cause = ind.cause;
    const std::string_view name = NotificationCauseName(cause);
    std::string out = "MT-LR notification " + Ids(ind.sessionId, ind.transactionId) + " settled: ";
    out += name.empty() ? std::string("unknown outcome") : std::string(name);
    out += " (cause " + std::to_string(cause) + ")";
    return out;
}

// ---- Control socket --------------------------------------------------------------

namespace {

std::vector<std::string_view> SplitWords(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            ++i;
        }
        if (i > start) {
            words.push_back(line.substr(start, i - start));
        }
    }
    return words;
}

// A JSON number for a word that is a plain decimal number ("12", "-3", "2.5", "1e3"),
// otherwise the word as a JSON string.
std::string WordJson(std::string_view word) {
    const char *first = word.data();
    const char *last = word.data() + word.size();
    bool plain = !word.empty();
    for (const char c : word) {
        if (!((c >= '0' && c <= '9') || c == '-' || c == '.' || c == 'e' || c == 'E' || c == '+')) {
            plain = false;
        }
    }
    if (plain && (word[0] == '-' || (word[0] >= '0' && word[0] <= '9'))) {
        int64_t i = 0;
        auto [pi, ei] = std::from_chars(first, last, i);
        if (ei == std::errc() && pi == last) {
            return std::to_string(i);
        }
        uint64_t u = 0;
        auto [pu, eu] = std::from_chars(first, last, u);
        if (eu == std::errc() && pu == last) {
            return std::to_string(u);
        }
        double d = 0;
        auto [pd, ed] = std::from_chars(first, last, d);
        if (ed == std::errc() && pd == last && std::isfinite(d)) {
            return JsonNumber(d);
        }
    }
    return JsonQuote(word);
}

}  // namespace

std::string ControlLineJson(std::string_view command, std::string_view line) {
    JsonObject obj;
    obj.Str("msg", command);
    obj.Str("line", line);
    std::vector<std::string_view> bare;
    for (const std::string_view word : SplitWords(line)) {
        const std::size_t eq = word.find('=');
        if (eq != std::string_view::npos && eq > 0) {
            obj.Raw(word.substr(0, eq), WordJson(word.substr(eq + 1)));
        } else {
            bare.push_back(word);
        }
    }
    if (!bare.empty()) {
        obj.Raw("name", WordJson(bare[0]));
    }
    if (bare.size() > 1) {
        obj.Raw("value", WordJson(bare[1]));
    }
    if (bare.size() > 2) {
        std::string args = "[";
        for (std::size_t i = 2; i < bare.size(); ++i) {
            if (i > 2) {
                args += ',';
            }
            args += WordJson(bare[i]);
        }
        args += ']';
        obj.Raw("args", args);
    }
    return obj.Done();
}

}  // namespace lapictl
