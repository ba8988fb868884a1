// lapictl's pieces without a server: formatting and argument parsing from the tables in
// tests/data/lapictl/ (format.txt, parse.txt: "FUNCTION ARGUMENT => EXPECTED"), and the
// control-socket client against a scripted peer (control.txt).
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <thread>

#include "codes.h"
#include "control.h"
#include "format.h"
#include "parse.h"
#include "testkit.h"

namespace lapictl {
namespace {

using lapitest::Msg;

template <class Record>
Record As(const std::string &words) {
    const lapitest::Bytes b = Msg(words);
    const auto rec = Decode<Record>(Bytes(b.data(), b.size()));
    EXPECT_TRUE(rec) << words;
    return rec.value_or(Record{});
}

std::string Hex(const std::vector<uint8_t> &b) {
    return HexString(b.data(), b.size());
}

std::string Join(const std::vector<std::string> &parts, std::string_view sep) {
    std::string out;
    for (const std::string &p : parts) {
        out += (out.empty() ? "" : std::string(sep)) + p;
    }
    return out;
}

std::vector<std::string> SplitOn(std::string text, const std::string &sep) {
    std::vector<std::string> parts;
    for (std::size_t at; (at = text.find(sep)) != std::string::npos;
         text.erase(0, at + sep.size())) {
        parts.push_back(text.substr(0, at));
    }
    parts.push_back(text);
    return parts;
}

// "\n", "\r", "\t" and "\0" in a table's text.
std::string Unescape(const std::string &text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char c = text[++i];
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c == '0' ? '\0' : c;
        } else {
            out += text[i];
        }
    }
    return out;
}

// "cause 3": 3 with LocationCauseName(3); "status2 1": 1 with the name of fixStatus 1.
std::string Code(const std::string &a) {
    const std::map<std::string, std::string_view (*)(int32_t)> names = {
        {"cause", LocationCauseName},       {"db", GpsDbResultName},
        {"proximity", ProximityResultName}, {"type", NotificationTypeName},
        {"mtlrtype", MtlrLocationTypeName}, {"settled", NotificationCauseName}};
    const std::string table = a.substr(0, a.find(' '));
    const auto v = static_cast<int32_t>(std::stol(a.substr(table.size() + 1)));
    return WithName(v,
                    table.rfind("status", 0) == 0
                        ? StatusValueName(static_cast<StatusField>(std::stoi(table.substr(6))), v)
                        : names.at(table)(v));
}

std::string Apply(const std::string &fn, const std::string &arg) {
    using Fn = std::function<std::string(const std::string &)>;
    const auto status = [](const std::string &words) {
        return StatusOf(As<LAPI_GET_STATUS_RSP_S>(words));
    };
    const auto number = [](const std::string &a) { return std::strtod(a.c_str(), nullptr); };
    const auto some = [](const auto &v, auto show) { return v ? show(*v) : std::string("none"); };
    const std::map<std::string, Fn> fns = {
        {"json", [](auto &a) { return MessageJson(Bytes(Msg(a))); }},
        {"json-hex", [](auto &a) { return MessageJson(Bytes(lapitest::FromHex(a))); }},
        {"fix", [](auto &a) { return FixLine(As<LAPI_GET_LOCATION_RSP_S>(a)); }},
        {"table", [&](auto &a) { return StatusTable(status(a)); }},
        {"change",
         [&](auto &a) {
             const auto two = SplitOn(a, " | ");
             return StatusChangeLine(status(two.at(0)), status(two.at(1)));
         }},
        {"db", [](auto &a) { return DbEntriesText(As<LAPI_GET_GPS_DB_DATA_RSP_S>(a)); }},
        {"notification",
         [](auto &a) { return NotificationLine(As<LAPI_LOCATION_NOTIFICATION_IND_S>(a)); }},
        {"settled",
         [](auto &a) { return NotificationStatusLine(As<LAPI_NOTIFICATION_STATUS_IND_S>(a)); }},
        {"time", [](auto &a) { return FormatTime(std::stoll(a)); }},
        {"lat", [&](auto &a) { return FormatLatitude(number(a)); }},
        {"lon", [&](auto &a) { return FormatLongitude(number(a)); }},
        {"metres", [&](auto &a) { return FormatMetres(number(a)); }},
        {"number", [&](auto &a) { return JsonNumber(number(a)); }},
        {"quote",
         [](auto &a) {
             const auto b = lapitest::FromHex(a);
             return JsonQuote(std::string(b.begin(), b.end()));
         }},
        {"people",
         [](auto &a) {
             const auto b = lapitest::FromHex(a);
             return BytesForPeople(b.data(), b.size()) +
                    (IsPrintableText(b.data(), b.size()) ? " text" : " bytes");
         }},
        {"code", Code},
        {"control",
         [](auto &a) {
             const auto two = SplitOn(a, " | ");
             return ControlLineJson(two.at(0), two.at(1));
         }},
        {"fileid",
         [&](auto &a) { return some(ParseFileId(a), [](auto v) { return std::to_string(v); }); }},
        {"hexdata", [&](auto &a) { return some(ParseHexData(a), [](auto &v) { return Hex(v); }); }},
        {"dbentry",
         [](auto &a) {
             std::string error;
             const auto e = ParseDbEntry(a, &error);
             return e ? std::to_string(e->fileId) + "=" + Hex(e->data) : "error: " + error;
         }},
        {"parsenumber", [&](auto &a) { return some(ParseNumber(a), JsonNumber); }},
        {"waypoint", [](auto &a) { return std::string(IsWaypoint(a) ? "yes" : "no"); }},
        {"words",
         [](auto &a) {
             const auto words = SplitOn(Unescape(a), "|");
             return JoinWords(words) + " / [" + CheckControlWords(words) + "]";
         }},
    };
    return fns.at(fn)(arg);
}

TEST(Tables, EveryLineGivesItsResult) {
    for (const char *file : {"lapictl/format.txt", "lapictl/parse.txt"}) {
        for (const std::string &line : lapitest::DataLines(file)) {
            const std::size_t arrow = line.find(" => ");
            ASSERT_NE(arrow, std::string::npos) << line;
            const std::size_t blank = line.find(' ');
            std::string got =
                Apply(line.substr(0, blank), line.substr(blank + 1, arrow - blank - 1));
            const std::string controls("\n\r\t\0", 4);
            for (std::size_t at; (at = got.find_first_of(controls)) != std::string::npos;) {
                got.replace(at, 1, std::string("\\") + "nrt0"[controls.find(got[at])]);
            }
            EXPECT_EQ(got, line.substr(arrow + 4)) << file << ": " << line;
        }
    }
}

// Each line of control.txt: TIMEOUT_MS CHUNK ANSWER => OUTCOME. The peer reads one
// command line for each part of ANSWER (parts split by "<next>"), then writes that part
// CHUNK bytes at a time; "<close>" ends its side, "<fill N>" stands for N bytes 'x'.
TEST(ControlClient, AnswersAsScripted) {
    for (const std::string &line : lapitest::DataLines("lapictl/control.txt")) {
        const auto sides = SplitOn(line, " => ");
        const auto head = SplitOn(sides.at(0), " ");
        std::string script = Unescape(sides.at(0).substr(head[0].size() + head[1].size() + 2));
        if (const std::size_t fill = script.find("<fill "); fill != std::string::npos) {
            const std::size_t end = script.find('>', fill);
            script.replace(fill, end + 1 - fill, std::stoul(script.substr(fill + 6)), 'x');
        }
        const auto answers = SplitOn(script, "<next>");
        const std::size_t chunk = std::stoul(head[1]);
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        std::string received;
        std::thread peer([&] {
            for (const std::string &answer : answers) {
                for (char c = 0; ::read(fds[1], &c, 1) == 1 && (received += c, c != '\n');) {
                }
                const std::string text = answer.substr(0, answer.find("<close>"));
                for (std::size_t at = 0; at < text.size(); at += chunk) {
                    const std::size_t n = std::min(chunk, text.size() - at);
                    EXPECT_EQ(::write(fds[1], text.data() + at, n), static_cast<ssize_t>(n));
                }
                if (text.size() != answer.size()) {
                    ::shutdown(fds[1], SHUT_WR);
                }
            }
        });
        std::vector<std::string> outcomes;
        {
            ControlClient client(fds[0], std::stoi(head[0]));
            ControlReply reply;  // one for all: each command starts it afresh
            for (std::size_t i = 0; i < answers.size(); ++i) {
                std::string error;
                const bool done = client.Transact("command " + std::to_string(i), &reply, &error);
                outcomes.push_back(!done      ? "FAIL " + error
                                   : reply.ok ? std::string("OK")
                                              : "ERR " + reply.reason);
                outcomes.back() += " [" + Join(reply.lines, "|") + "]";
            }
        }
        peer.join();
        ::close(fds[1]);
        EXPECT_EQ(Join(outcomes, " ; "), sides.at(1)) << line;
        EXPECT_EQ(received, answers.size() == 1 ? "command 0\n" : "command 0\ncommand 1\n");
    }
}

}  // namespace
}  // namespace lapictl
