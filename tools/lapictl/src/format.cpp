#include "format.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

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
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", value);
    return buf;
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

struct MessageInfo {
    uint16_t msgId;
    std::string_view name;
    std::size_t size;
};

constexpr MessageInfo kMessages[] = {
    {LAPI_MSG_GET_LOCATION_RSP, "getLocationRsp", sizeof(LAPI_GET_LOCATION_RSP_S)},
    {LAPI_MSG_ABORT_LOCATION_RSP, "abortLocationRsp", sizeof(LAPI_ABORT_LOCATION_RSP_S)},
    {LAPI_MSG_TIME_OUT_RSP, "timeOutRsp", sizeof(LAPI_TIME_OUT_RSP_S)},
    {LAPI_MSG_INVALID_REQUEST_RSP, "invalidRequestRsp", sizeof(LAPI_INVALID_REQUEST_RSP_S)},
    {LAPI_MSG_GET_GPS_DB_DATA_RSP, "getGpsDbDataRsp", sizeof(LAPI_GET_GPS_DB_DATA_RSP_S)},
    {LAPI_MSG_SET_GPS_DB_DATA_RSP, "setGpsDbDataRsp", sizeof(LAPI_SET_GPS_DB_DATA_RSP_S)},
    {LAPI_MSG_GET_STATUS_RSP, "getStatusRsp", sizeof(LAPI_GET_STATUS_RSP_S)},
    {LAPI_MSG_STATUS_CHANGE_IND, "statusChangeInd", sizeof(LAPI_STATUS_CHANGE_IND_S)},
    {LAPI_MSG_LOCATION_NOTIFICATION_IND, "locationNotificationInd",
     sizeof(LAPI_LOCATION_NOTIFICATION_IND_S)},
    {LAPI_MSG_NOTIFICATION_STATUS_IND, "notificationStatusInd",
     sizeof(LAPI_NOTIFICATION_STATUS_IND_S)},
    {LAPI_MSG_DISTANCE_AZIMUTH_RSP, "distanceAzimuthRsp", sizeof(LAPI_DISTANCE_AZIMUTH_RSP_S)},
    {LAPI_MSG_ADD_PROXIMITY_RSP, "addProximityRsp", sizeof(LAPI_ADD_PROXIMITY_RSP_S)},
    {LAPI_MSG_REMOVE_PROXIMITY_RSP, "removeProximityRsp", sizeof(LAPI_REMOVE_PROXIMITY_RSP_S)},
    {LAPI_MSG_PROXIMITY_HIT_IND, "proximityHitInd", sizeof(LAPI_PROXIMITY_HIT_IND_S)},
    {LAPI_MSG_REGISTER_RSP, "registerRsp", sizeof(LAPI_REGISTER_RSP_S)},
    {LAPI_MSG_GET_ASYNC_FD_RSP, "getAsyncFdRsp", sizeof(LAPI_GET_ASYNC_FD_RSP_S)},
    {LAPI_MSG_UNREGISTER_RSP, "unregisterRsp", sizeof(LAPI_UNREGISTER_RSP_S)},
};

const MessageInfo *FindMessage(uint16_t msgId) {
    for (const auto &info : kMessages) {
        if (info.msgId == msgId) {
            return &info;
        }
    }
    return nullptr;
}

// Starts the object with "msg" and the header fields.
JsonObject Begin(std::string_view name, const LAPI_MSG_HEADER_S &header) {
    JsonObject obj;
    obj.Str("msg", name);
    obj.Int("pid", header.pid);
    obj.Int("msgId", header.msgId);
    obj.Int("msgLen", header.msgLen);
    return obj;
}

void AddIds(JsonObject &obj, uint8_t sessionId, uint8_t transactionId) {
    obj.Int("sessionId", sessionId);
    obj.Int("transactionId", transactionId);
}

void AddFix(JsonObject &obj, const FixFields &f, const int32_t *cause) {
    obj.Num("longitude", f.longitude);
    obj.Num("latitude", f.latitude);
    obj.Num("latLonAccuracy", f.latLonAccuracy);
    obj.Int("timeStamp", f.timeStamp);
    obj.Num("altitude", f.altitude);
    obj.Num("speed", f.speed);
    obj.Num("travelDirection", f.travelDirection);
    obj.Num("pointingDirection", f.pointingDirection);
    obj.Num("horizontalAccuracy", f.horizontalAccuracy);
    obj.Num("verticalAccuracy", f.verticalAccuracy);
    obj.Num("course", f.course);
    obj.Int("locationMethod", f.locationMethod);
    if (cause != nullptr) {
        obj.Int("cause", *cause);
    }
    obj.Num("ageOfFix", f.ageOfFix);
}

void AddStatus(JsonObject &obj, const LAPI_GET_STATUS_RSP_S &s) {
    obj.Int("userStatus", s.userStatus);
    obj.Int("hwStatus", s.hwStatus);
    obj.Int("fixStatus", s.fixStatus);
    obj.Int("emergencyStatus", s.emergencyStatus);
    obj.Raw("fixResultStatus", JsonObject()
                                   .Int("status", s.fixResultStatus.status)
                                   .Int("cause", s.fixResultStatus.cause)
                                   .Done());
    obj.Int("proximityStatus", s.proximityStatus);
}

// A byte-string field of locationNotificationInd: the meaningful bytes in hex under
// the field's name, and as text under name + "Text" when they are printable.
void AddByteString(JsonObject &obj, std::string_view name, const uint8_t *data, uint8_t length,
                   std::size_t capacity) {
    const std::size_t n = length < capacity ? length : capacity;
    obj.Str(name, HexString(data, n));
    if (IsPrintableText(data, n)) {
        obj.Str(std::string(name) + "Text",
                std::string_view(reinterpret_cast<const char *>(data), n));
    }
}

std::string DbFilesJson(const LAPI_GPS_DB_FILE_S *files, uint16_t numFiles) {
    std::string out = "[";
    const uint16_t n = numFiles < LAPI_GPS_DB_MAX_FILES ? numFiles : LAPI_GPS_DB_MAX_FILES;
    for (uint16_t i = 0; i < n; ++i) {
        const LAPI_GPS_DB_FILE_S &file = files[i];
        const uint16_t length = file.length;
        const std::size_t shown =
            length < LAPI_GPS_DB_MAX_DATA_LEN ? length : LAPI_GPS_DB_MAX_DATA_LEN;
        if (i > 0) {
            out += ',';
        }
        out += JsonObject()
                   .Int("fileId", file.fileId)
                   .Int("length", length)
                   .Str("data", HexString(file.data, shown))
                   .Done();
    }
    out += ']';
    return out;
}

std::string MalformedJson(Bytes msg) {
    const LAPI_MSG_HEADER_S header = HeaderOf(msg);
    const std::string_view name = MessageName(header.msgId);
    JsonObject obj = Begin(name.empty() ? std::string_view("unknown") : name, header);
    obj.Raw("malformed", "true");
    obj.Str("body", HexString(msg.data() + sizeof header, msg.size() - sizeof header));
    return obj.Done();
}

template <class Record, class Fill>
std::string RecordJson(Bytes msg, Fill fill) {
    const auto rec = Decode<Record>(msg);
    if (!rec) {
        return MalformedJson(msg);
    }
    JsonObject obj = Begin(MessageName(rec->header.msgId), rec->header);
    fill(obj, *rec);
    return obj.Done();
}

}  // namespace

std::string_view MessageName(uint16_t msgId) {
    const MessageInfo *info = FindMessage(msgId);
    return info != nullptr ? info->name : std::string_view();
}

std::size_t MessageSize(uint16_t msgId) {
    const MessageInfo *info = FindMessage(msgId);
    return info != nullptr ? info->size : 0;
}

LAPI_MSG_HEADER_S HeaderOf(Bytes msg) {
    LAPI_MSG_HEADER_S header{};
    std::memcpy(&header, msg.data(), msg.size() < sizeof header ? msg.size() : sizeof header);
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
    switch (HeaderOf(msg).msgId) {
        case LAPI_MSG_GET_LOCATION_RSP:
            return RecordJson<LAPI_GET_LOCATION_RSP_S>(msg, [](JsonObject &o, const auto &r) {
                AddIds(o, r.sessionId, r.transactionId);
                const int32_t cause = r.cause;
                AddFix(o, FixOf(r), &cause);
            });
        case LAPI_MSG_ABORT_LOCATION_RSP:
            return RecordJson<LAPI_ABORT_LOCATION_RSP_S>(msg, [](JsonObject &o, const auto &r) {
                AddIds(o, r.sessionId, r.transactionId);
                o.Int("result", r.result);
            });
        case LAPI_MSG_TIME_OUT_RSP:
        case LAPI_MSG_INVALID_REQUEST_RSP:
            return RecordJson<LAPI_TIME_OUT_RSP_S>(
                msg, [](JsonObject &o, const auto &r) { AddIds(o, r.sessionId, r.transactionId); });
        case LAPI_MSG_GET_GPS_DB_DATA_RSP:
            return RecordJson<LAPI_GET_GPS_DB_DATA_RSP_S>(msg, [](JsonObject &o, const auto &r) {
                AddIds(o, r.sessionId, r.transactionId);
                o.Int("numFiles", r.numFiles);
                o.Raw("dbFile", DbFilesJson(r.dbFile, r.numFiles));
                o.Int("result", r.result);
            });
        case LAPI_MSG_SET_GPS_DB_DATA_RSP:
            return RecordJson<LAPI_SET_GPS_DB_DATA_RSP_S>(msg, [](JsonObject &o, const auto &r) {
                AddIds(o, r.sessionId, r.transactionId);
                o.Int("result", r.result);
            });
        case LAPI_MSG_GET_STATUS_RSP:
        case LAPI_MSG_STATUS_CHANGE_IND:
            return RecordJson<LAPI_GET_STATUS_RSP_S>(msg, [](JsonObject &o, const auto &r) {
                AddIds(o, r.sessionId, r.transactionId);
                AddStatus(o, r);
            });
        case LAPI_MSG_LOCATION_NOTIFICATION_IND:
            return RecordJson<LAPI_LOCATION_NOTIFICATION_IND_S>(msg, [](JsonObject &o,
                                                                        const auto &r) {
                AddIds(o, r.sessionId, r.transactionId);
                o.Int("notificationType", r.notificationType);
                o.Int("locationType", r.locationType);
                o.Int("dataCodingSchema", r.dataCodingSchema);
                o.Int("nameLength", r.nameLength);
                AddByteString(o, "clientName", r.clientName, r.nameLength, LAPI_MTLR_MAX_NAME_LEN);
                o.Int("addrLength", r.addrLength);
                AddByteString(o, "clientExternalAddr", r.clientExternalAddr, r.addrLength,
                              LAPI_MTLR_MAX_ADDR_LEN);
            });
        case LAPI_MSG_NOTIFICATION_STATUS_IND:
            return RecordJson<LAPI_NOTIFICATION_STATUS_IND_S>(
                msg, [](JsonObject &o, const auto &r) {
                    AddIds(o, r.sessionId, r.transactionId);
                    o.Int("cause", r.cause);
                });
        case LAPI_MSG_DISTANCE_AZIMUTH_RSP:
            return RecordJson<LAPI_DISTANCE_AZIMUTH_RSP_S>(msg, [](JsonObject &o, const auto &r) {
                AddIds(o, r.sessionId, r.transactionId);
                o.Num("distance", r.distance);
                o.Num("azimuth", r.azimuth);
            });
        case LAPI_MSG_ADD_PROXIMITY_RSP:
        case LAPI_MSG_REMOVE_PROXIMITY_RSP:
            return RecordJson<LAPI_ADD_PROXIMITY_RSP_S>(msg, [](JsonObject &o, const auto &r) {
                AddIds(o, r.sessionId, r.transactionId);
                o.Int("status", r.status);
            });
        case LAPI_MSG_PROXIMITY_HIT_IND:
            return RecordJson<LAPI_PROXIMITY_HIT_IND_S>(msg, [](JsonObject &o, const auto &r) {
                AddIds(o, r.sessionId, r.transactionId);
                AddFix(o, FixOf(r), nullptr);
            });
        default:
            return MalformedJson(msg);
    }
}

// ---- Lines for people ------------------------------------------------------------

namespace {

template <class Record>
FixFields CopyFix(const Record &r) {
    FixFields f;
    f.latitude = r.latitude;
    f.longitude = r.longitude;
    f.latLonAccuracy = r.latLonAccuracy;
    f.timeStamp = r.timeStamp;
    f.altitude = r.altitude;
    f.speed = r.speed;
    f.travelDirection = r.travelDirection;
    f.pointingDirection = r.pointingDirection;
    f.horizontalAccuracy = r.horizontalAccuracy;
    f.verticalAccuracy = r.verticalAccuracy;
    f.course = r.course;
    f.locationMethod = r.locationMethod;
    f.ageOfFix = r.ageOfFix;
    return f;
}

std::string Ids(uint8_t sessionId, uint8_t transactionId) {
    return std::to_string(sessionId) + '/' + std::to_string(transactionId);
}

}  // namespace

FixFields FixOf(const LAPI_GET_LOCATION_RSP_S &rsp) {
    return CopyFix(rsp);
}
FixFields FixOf(const LAPI_PROXIMITY_HIT_IND_S &ind) {
    return CopyFix(ind);
}

std::string FixLine(const FixFields &fix) {
    std::string out = FormatLatitude(fix.latitude) + ' ' + FormatLongitude(fix.longitude);
    out += "  \u00b1" + FormatMetres(fix.horizontalAccuracy) + " m";
    out += "  " + FormatTime(fix.timeStamp);
    if (std::isfinite(fix.speed) && fix.speed > 0) {
        char buf[80];
        std::snprintf(buf, sizeof buf, "  %.1f m/s course %.1f\u00b0", fix.speed, fix.course);
        out += buf;
    }
    return out;
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
    return {rsp.userStatus,
            rsp.hwStatus,
            rsp.fixStatus,
            rsp.emergencyStatus,
            rsp.fixResultStatus.status,
            rsp.fixResultStatus.cause,
            rsp.proximityStatus};
}

namespace {

std::string StatusValueText(int index, int32_t value) {
    const auto field = static_cast<StatusField>(index);
    return WithName(value, StatusValueName(field, value));
}

}  // namespace

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
    const uint16_t numFiles = rsp.numFiles;
    const uint16_t n = numFiles < LAPI_GPS_DB_MAX_FILES ? numFiles : LAPI_GPS_DB_MAX_FILES;
    for (uint16_t i = 0; i < n; ++i) {
        const LAPI_GPS_DB_FILE_S &file = rsp.dbFile[i];
        const uint16_t length = file.length;
        const std::size_t shown =
            length < LAPI_GPS_DB_MAX_DATA_LEN ? length : LAPI_GPS_DB_MAX_DATA_LEN;
        out += "file " + std::to_string(file.fileId) + ": " + HexString(file.data, shown) + " (" +
               std::to_string(length) + (length == 1 ? " byte)\n" : " bytes)\n");
    }
    return out;
}

std::string NotificationLine(const LAPI_LOCATION_NOTIFICATION_IND_S &ind) {
    const uint8_t nameLength = ind.nameLength < LAPI_MTLR_MAX_NAME_LEN
                                   ? ind.nameLength
                                   : static_cast<uint8_t>(LAPI_MTLR_MAX_NAME_LEN);
    const uint8_t addrLength = ind.addrLength < LAPI_MTLR_MAX_ADDR_LEN
                                   ? ind.addrLength
                                   : static_cast<uint8_t>(LAPI_MTLR_MAX_ADDR_LEN);
    std::string out = "MT-LR request " + Ids(ind.sessionId, ind.transactionId) + " from " +
                      BytesForPeople(ind.clientName, nameLength);
    if (addrLength > 0) {
        out += " (" + BytesForPeople(ind.clientExternalAddr, addrLength) + ")";
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
    std::string out = "MT-LR request " + Ids(ind.sessionId, ind.transactionId) + " settled: ";
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
