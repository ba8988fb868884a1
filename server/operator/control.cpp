#include "operator/control.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <utility>

#include "LAPI_NumFormat.h"
#include "protocol/log_batch.h"

namespace lapid {

namespace {

std::vector<std::string_view> Split(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            ++i;
        }
        if (i > start) {
            words.push_back(line.substr(start, i - start));
        }
    }
    return words;
}

// A whole word as a number, nothing left over.
template <typename T>
std::optional<T> Number(std::string_view s) {
    T v{};
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) {
        return std::nullopt;
    }
    return v;
}

// "LAT,LON[,ALT]"
std::optional<Waypoint> ParseWaypoint(std::string_view s) {
    Waypoint w;
    double *fields[] = {&w.latitude, &w.longitude, &w.altitude};
    for (std::size_t n = 0;;) {
        const std::size_t comma = s.find(',');
        const std::optional<double> v = Number<double>(s.substr(0, comma));
        if (!v) {
            return std::nullopt;
        }
        *fields[n++] = *v;
        if (comma == std::string_view::npos) {
            return n >= 2 ? std::optional<Waypoint>(w) : std::nullopt;
        }
        if (n == 3) {
            return std::nullopt;  // a fourth value
        }
        s.remove_prefix(comma + 1);
    }
}

// Decodes %XX escapes; nullopt for a broken escape.
std::optional<std::string> Unescape(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        const int byte = i + 2 < s.size() ? lapi::numfmt::ParseHexByte(&s[i + 1]) : -1;
        if (byte < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(byte);
        i += 2;
    }
    return out;
}

std::string Ok(const std::string &data = {}) {
    return data + "OK\n";
}
std::string Err(std::string_view reason) {
    return "ERR " + std::string(reason) + "\n";
}

const char *OutcomeName(const MtlrRecord &r) {
    if (!r.settled) {
        return "pending";
    }
    switch (r.cause) {
        case NotificationCause::kAllowedByUser:
            return "allowed-by-user";
        case NotificationCause::kDeniedByUser:
            return "denied-by-user";
        case NotificationCause::kAllowedByDefault:
            return "allowed-by-default";
        case NotificationCause::kDeniedByDefault:
            return "denied-by-default";
        case NotificationCause::kNotifiedOnly:
            return "notified-only";
        case NotificationCause::kNotAllowed:
            return "not-allowed";
    }
    return "unknown";
}

const char *FixStateName(FixState state) {
    switch (state) {
        case FixState::kAcquiring:
            return "acquiring";
        case FixState::kFix:
            return "fix";
        case FixState::kNoFix:
            break;
    }
    return "no-fix";
}

// " notified=S/T,S/T": the sessionId/transactionId of each notification the request sent
// (what the clients show), " notified=none" when it had nobody to notify.
std::string NotifiedText(const std::vector<uint16_t> &ids) {
    std::string out = " notified=";
    for (const uint16_t id : ids) {
        out += out.back() == '=' ? "" : ",";
        out += std::to_string(id >> 8) + "/" + std::to_string(id & 0xFF);
    }
    return ids.empty() ? out + "none" : out;
}

// The status values by the names of the status command.
const char *StatusFieldName(StatusField field) {
    switch (field) {
        case StatusField::kUserStatus:
            return "userStatus";
        case StatusField::kHwStatus:
            return "hwStatus";
        case StatusField::kFixStatus:
            return "fixStatus";
        case StatusField::kEmergencyStatus:
            return "emergencyStatus";
        case StatusField::kFixResultStatus:
            return "fixResultStatus.status";
        case StatusField::kFixResultCause:
            return "fixResultStatus.cause";
        case StatusField::kProximityStatus:
            break;
    }
    return "proximityStatus";
}

std::optional<StatusField> StatusFieldNamed(std::string_view name) {
    for (const StatusField field : kStatusFields) {
        if (name == StatusFieldName(field)) {
            return field;
        }
    }
    return std::nullopt;
}

// The answer to a command the operator carried out or refused.
std::string Done(const Result<> &r) {
    return r ? Ok() : Err(r.ErrorText());
}

const char *InjectErrorText(InjectError e) {
    switch (e) {
        case InjectError::kNone:
            return "none";
        case InjectError::kBadNotificationType:
            return "TYPE must be 0 to 3";
        case InjectError::kBadLocationType:
            return "locationType must be 0 to 2";
        case InjectError::kNameTooLong:
            return "name longer than 100 bytes";
        case InjectError::kAddressTooLong:
            return "addr longer than 100 bytes";
        case InjectError::kBadTimeout:
            return "timeout must be 1 to 3600 seconds";
        case InjectError::kTooManyPending:
            return "too many pending requests";
    }
    return "refused";
}

constexpr const char *kHelp[] = {
    "help",
    "position LAT LON [ALT [ACCURACY]]",
    "route SPEED LAT,LON[,ALT] LAT,LON[,ALT] [...] [once]",
    "fix on|off",
    "source",
    "status NAME VALUE",
    "mtlr TYPE [locationType=N] [dcs=N] [name=TEXT] [addr=TEXT] [timeout=SECONDS]",
    "mtlr-result ID",
    "clients",
    "counters",
    "advance MS",
};

}  // namespace

std::string ControlCommands::Execute(std::string_view line) {
    const Words w = Split(line);
    if (w.empty()) {
        return Err("empty command");
    }
    using Handler = std::string (ControlCommands::*)(const Words &);
    static constexpr std::pair<std::string_view, Handler> kCommands[] = {
        {"help", &ControlCommands::Help},       {"position", &ControlCommands::Position},
        {"route", &ControlCommands::Route},     {"fix", &ControlCommands::Fix},
        {"source", &ControlCommands::Source},   {"status", &ControlCommands::Status},
        {"mtlr", &ControlCommands::Mtlr},       {"mtlr-result", &ControlCommands::MtlrResult},
        {"clients", &ControlCommands::Clients}, {"counters", &ControlCommands::Counters},
        {"advance", &ControlCommands::Advance},
    };
    for (const auto &[name, handler] : kCommands) {
        if (w[0] == name) {
            return (this->*handler)(w);
        }
    }
    return Err("unknown command " + std::string(w[0]) + " (try help)");
}

// A member like every handler of the command table.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
std::string ControlCommands::Help(const Words & /*w*/) {
    std::string out;
    for (const char *line : kHelp) {
        out += line;
        out += '\n';
    }
    return Ok(out);
}

std::string ControlCommands::Position(const Words &w) {
    if (Result<> can = op_.CanSteerPosition(); !can) {
        return Done(can);
    }
    if (w.size() < 3 || w.size() > 5) {
        return Err("usage: position LAT LON [ALT [ACCURACY]]");
    }
    double v[4] = {0, 0, 0, 5.0};  // altitude 0 m and accuracy 5 m unless given
    for (std::size_t i = 1; i < w.size(); ++i) {
        const std::optional<double> d = Number<double>(w[i]);
        if (!d) {
            return Err("not a number: " + std::string(w[i]));
        }
        v[i - 1] = *d;
    }
    return Done(op_.SetPosition(v[0], v[1], v[2], v[3]));
}

std::string ControlCommands::Route(const Words &w) {
    if (Result<> can = op_.CanSteerPosition(); !can) {
        return Done(can);
    }
    const bool once = w.size() > 2 && w.back() == "once";
    const std::size_t end = once ? w.size() - 1 : w.size();
    if (end < 3) {
        return Err("usage: route SPEED LAT,LON[,ALT] LAT,LON[,ALT] [...] [once]");
    }
    const std::optional<double> speed = Number<double>(w[1]);
    if (!speed) {
        return Err("not a number: " + std::string(w[1]));
    }
    std::vector<Waypoint> route;
    for (std::size_t i = 2; i < end; ++i) {
        const std::optional<Waypoint> p = ParseWaypoint(w[i]);
        if (!p) {
            return Err("not a waypoint LAT,LON[,ALT]: " + std::string(w[i]));
        }
        route.push_back(*p);
    }
    return Done(op_.SetRoute(std::move(route), *speed, !once));
}

std::string ControlCommands::Fix(const Words &w) {
    if (Result<> can = op_.CanSteerPosition(); !can) {
        return Done(can);
    }
    if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) {
        return Err("usage: fix on|off");
    }
    return Done(op_.ForceFix(w[1] == "on"));
}

std::string ControlCommands::Source(const Words &w) {
    if (w.size() != 1) {
        return Err("usage: source");
    }
    const PositionSource &source = op_.Source();
    std::string out = std::string("name ") + source.Name() + "\n";
    for (const auto &[key, value] : source.Details()) {
        out.append(key).append(" ").append(value).append("\n");
    }
    out += std::string("fix_state ") + FixStateName(source.State()) + "\n";
    out += std::string("demand ") + (op_.Demand() ? "yes" : "no") + "\n";
    return Ok(out);
}

std::string ControlCommands::Status(const Words &w) {
    if (w.size() != 3) {
        return Err("usage: status NAME VALUE");
    }
    const std::optional<int32_t> value = Number<int32_t>(w[2]);
    if (!value) {
        return Err("not an integer: " + std::string(w[2]));
    }
    const std::optional<StatusField> field = StatusFieldNamed(w[1]);
    if (!field) {
        return Err("unknown status name " + std::string(w[1]));
    }
    const StatusSetResult r = op_.SetStatus(*field, *value);
    if (r.error == StatusError::kBadValue) {
        return Err("value out of range for " + std::string(w[1]));
    }
    return Ok();
}

std::string ControlCommands::Mtlr(const Words &w) {
    if (w.size() < 2) {
        return Err(
            "usage: mtlr TYPE [locationType=N] [dcs=N] [name=TEXT] [addr=TEXT] "
            "[timeout=SECONDS]");
    }
    MtlrRequest req;
    const std::optional<int32_t> type = Number<int32_t>(w[1]);
    if (!type) {
        return Err("not an integer: " + std::string(w[1]));
    }
    req.notificationType = *type;
    for (std::size_t i = 2; i < w.size(); ++i) {
        const std::size_t eq = w[i].find('=');
        const std::string_view key = w[i].substr(0, eq);
        const std::string_view val = eq == std::string_view::npos ? "" : w[i].substr(eq + 1);
        std::optional<int32_t> n = Number<int32_t>(val);
        std::optional<std::string> text = Unescape(val);
        if (key == "locationType" && n) {
            req.locationType = *n;
        } else if (key == "dcs" && n && *n >= 0 && *n <= 255) {
            req.dataCodingSchema = static_cast<uint8_t>(*n);
        } else if (key == "timeout" && n) {
            req.timeoutS = *n;
        } else if (key == "name" && text) {
            req.clientName = *text;
        } else if (key == "addr" && text) {
            req.clientExternalAddr = *text;
        } else {
            return Err("bad argument " + std::string(w[i]));
        }
    }
    const InjectResult r = op_.InjectMtlr(req);
    if (r.error != InjectError::kNone) {
        return Err(InjectErrorText(r.error));
    }
    const std::optional<MtlrRecord> record = op_.FindMtlr(r.requestId);
    return Ok("request " + std::to_string(r.requestId) +
              NotifiedText(record ? record->notificationIds : std::vector<uint16_t>()) + "\n");
}

std::string ControlCommands::MtlrResult(const Words &w) {
    const std::optional<uint64_t> id = w.size() == 2 ? Number<uint64_t>(w[1]) : std::nullopt;
    if (!id) {
        return Err("usage: mtlr-result ID");
    }
    const std::optional<MtlrRecord> r = op_.FindMtlr(*id);
    if (!r) {
        return Err("no request " + std::string(w[1]));
    }
    std::string line = "request " + std::to_string(r->requestId) + " state=" + OutcomeName(*r);
    if (r->answeredBy) {
        line += " client=" + std::to_string(*r->answeredBy);
    }
    return Ok(line + NotifiedText(r->notificationIds) + "\n");
}

std::string ControlCommands::Clients(const Words & /*w*/) {
    std::string out;
    for (const ClientInfo &c : op_.Clients()) {
        out += "client globalId=" + std::to_string(c.globalId) + " pid=" + std::to_string(c.pid) +
               " services=" + std::to_string(c.services) +
               " sessions=" + std::to_string(c.sessions) +
               " listeners=" + std::to_string(c.listeners) +
               " pending=" + std::to_string(c.pendingNotifications) +
               " async=" + (c.asyncBound ? "yes" : "no") + "\n";
    }
    return Ok(out);
}

std::string ControlCommands::Counters(const Words & /*w*/) {
    const lapid::Counters &c = op_.Totals();
    const Holdings held = op_.Held();
    const std::pair<const char *, uint64_t> rows[] = {
        {"connections", held.connections},
        {"connections_total", c.connectionsTotal},
        {"clients", held.clients},
        {"clients_registered", c.clientsRegistered},
        {"clients_released", c.clientsReleased},
        {"messages_in", c.messagesIn},
        {"messages_out", c.messagesOut},
        {"invalid_requests", c.invalidRequests},
        {"disconnects_slow_reader", c.disconnectsSlowReader},
        {"disconnects_total_backlog", c.disconnectsTotalBacklog},
        {"connections_refused_uid", c.connectionsRefusedUid},
        {"registration_timeouts", c.registrationTimeouts},
        {"registrations_refused", c.registrationsRefused},
        {"framing_errors", c.framingErrors},
        {"error_lines_suppressed", c.errorLinesSuppressed},
        {"log_lines_dropped", LogBatch::Dropped()},
        {"sessions", held.sessions},
        {"listeners", held.listeners},
        {"pending_notifications", held.pendingNotifications},
    };
    std::string out;
    for (const auto &[name, value] : rows) {
        out += std::string(name) + " " + std::to_string(value) + "\n";
    }
    return Ok(out);
}

std::string ControlCommands::Advance(const Words &w) {
    if (!op_.ClockIsManual()) {
        return Err("the clock is not manual (start lapid with --manual-clock)");
    }
    constexpr int64_t kMaxStepMs = 7LL * 24 * 3600 * 1000;  // a week at a time
    const std::optional<int64_t> ms = w.size() == 2 ? Number<int64_t>(w[1]) : std::nullopt;
    if (!ms || *ms < 0 || *ms > kMaxStepMs) {
        return Err("usage: advance MS (0 to 604800000)");
    }
    return Ok("clock " + std::to_string(op_.Advance(*ms)) + "\n");
}

std::string ControlSession::Feed(const char *data, std::size_t len) {
    std::string out;
    if (ended_) {
        return out;
    }
    pending_.append(data, len);
    std::size_t start = 0;
    for (std::size_t nl; (nl = pending_.find('\n', start)) != std::string::npos; start = nl + 1) {
        if (nl - start > kMaxLine) {
            break;  // refused below, however much of it came in this piece
        }
        out += commands_.Execute(std::string_view(pending_).substr(start, nl - start));
    }
    pending_.erase(0, start);
    // The line now first in pending_ is complete or not; either way, past kMaxLine bytes
    // (its newline not counted) it is refused.
    if (std::min(pending_.find('\n'), pending_.size()) > kMaxLine) {
        out += Err("line too long");
        ended_ = true;
        pending_.clear();
    }
    return out;
}

}  // namespace lapid
