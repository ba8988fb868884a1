#include "testkit.h"

#include <dirent.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <span>
#include <thread>

#include "LAPI_MsgCatalogue.h"
#include "LAPI_SrvCli.h"

#ifndef LAPITEST_DATA_DIR
#error "LAPITEST_DATA_DIR must name tests/data"
#endif

namespace lapitest {

namespace {

using lapi::cat::Field;
using lapi::cat::Kind;

const lapi::cat::Msg *ByName(std::string_view name) {
    for (const auto &m : lapi::cat::kMessages) {
        if (name == m.name) {
            return &m;
        }
    }
    return nullptr;
}

void PutLe(Bytes &b, std::size_t off, uint64_t v, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        b.at(off + i) = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint64_t GetLe(const Bytes &b, std::size_t off, std::size_t width) {
    uint64_t v = 0;
    for (std::size_t i = width; i-- > 0;) {
        v = (v << 8) | b.at(off + i);
    }
    return v;
}

double Number(std::string_view text) {
    int64_t i = 0;
    const bool hex = text.substr(0, 2) == "0x";
    const char *first = text.data() + (hex ? 2 : 0);
    const char *last = text.data() + text.size();
    auto [end, ec] = std::from_chars(first, last, i, hex ? 16 : 10);
    if (ec == std::errc() && end == last) {
        return static_cast<double>(i);
    }
    double d = 0;
    auto [dend, dec] = std::from_chars(text.data(), last, d);
    if (dec != std::errc() || dend != last) {
        throw std::invalid_argument("not a number: " + std::string(text));
    }
    return d;
}

// Writes a numeric field: an integer of the field's width, or a wire double.
void PutNumber(Bytes &b, const Field &f, std::string_view text) {
    const double v = Number(text);
    if (f.kind == Kind::Double) {
        uint64_t bits = 0;
        std::memcpy(&bits, &v, 8);
        PutLe(b, f.offset, bits, 8);
    } else if (f.kind == Kind::I64Double) {
        // Parsed as an integer again: a double does not hold every 64-bit value.
        int64_t i = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), i);
        if (ec != std::errc() || end != text.data() + text.size()) {
            throw std::invalid_argument("not a 64-bit integer: " + std::string(text));
        }
        PutLe(b, f.offset, static_cast<uint64_t>(i), 8);
    } else {
        PutLe(b, f.offset, static_cast<uint64_t>(static_cast<int64_t>(v)), f.width);
    }
}

// "ID:HEX,ID:HEX": the elements of a file list, and its count.
void PutFiles(Bytes &b, const Field &f, std::string_view text) {
    constexpr std::size_t kElem = sizeof(LAPI_GPS_DB_FILE_S);
    uint16_t n = 0;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        const std::size_t colon = item.find(':');
        const std::size_t at = f.offset2 + n * kElem;
        const Bytes data = FromHex(item.substr(colon + 1));
        PutLe(b, at, static_cast<uint64_t>(static_cast<int64_t>(Number(item.substr(0, colon)))), 4);
        PutLe(b, at + 4, data.size(), 2);
        if (at + 6 + data.size() > b.size()) {
            throw std::invalid_argument("file data past the end of the message");
        }
        std::copy(data.begin(), data.end(), b.begin() + static_cast<std::ptrdiff_t>(at + 6));
        ++n;
    }
    PutLe(b, f.offset, n, 2);
}

}  // namespace

std::string Hex(const Bytes &b) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i != 0) {
            s += ' ';
        }
        s += kDigits[b[i] >> 4];
        s += kDigits[b[i] & 15];
    }
    return s;
}

Bytes FromHex(std::string_view text) {
    Bytes b;
    std::string digits;
    for (char c : text) {
        if (c != ' ' && c != '\t' && c != '\n') {
            digits += c;
        }
    }
    if (digits.size() % 2 != 0) {
        throw std::invalid_argument("odd number of hex digits: " + std::string(text));
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        unsigned v = 0;
        const auto [end, ec] = std::from_chars(digits.data() + i, digits.data() + i + 2, v, 16);
        if (ec != std::errc() || end != digits.data() + i + 2) {
            throw std::invalid_argument("not hex: " + std::string(text));
        }
        b.push_back(static_cast<uint8_t>(v));
    }
    return b;
}

Bytes Msg(std::string_view desc) {
    std::istringstream in{std::string(desc)};
    std::string name;
    in >> name;
    const lapi::cat::Msg *m = ByName(name);
    if (m == nullptr) {
        throw std::invalid_argument("no message " + name);
    }
    Bytes b(m->msgLen + 8u);
    PutLe(b, 4, m->msgId, 2);
    PutLe(b, 6, m->msgLen, 2);
    for (std::string word; in >> word;) {
        const std::size_t eq = word.find('=');
        const std::string label = word.substr(0, eq);
        const std::string_view value = std::string_view(word).substr(eq + 1);
        if (eq == std::string::npos) {
            throw std::invalid_argument("expected label=value: " + word);
        }
        if (label == "pid" || label == "msgLen") {
            PutLe(b, label == "pid" ? 0 : 6,
                  static_cast<uint64_t>(static_cast<int64_t>(Number(value))),
                  label == "pid" ? 4 : 2);
            continue;
        }
        const Field *found = nullptr;
        for (const Field &f : std::span(m->fields, m->fieldCount)) {
            if (label == f.label || (f.label2 != nullptr && label == f.label2)) {
                found = &f;
            }
        }
        if (found == nullptr) {
            throw std::invalid_argument(name + " has no field " + label);
        }
        if (found->kind == Kind::FileList) {
            PutFiles(b, *found, value);
        } else if (found->kind == Kind::CountedBytes && label == found->label2) {
            const Bytes data = FromHex(value);
            if (data.size() > found->capacity) {
                throw std::invalid_argument(label + " holds at most " +
                                            std::to_string(found->capacity) + " bytes");
            }
            PutLe(b, found->offset, data.size(), found->width);
            std::copy(data.begin(), data.end(),
                      b.begin() + static_cast<std::ptrdiff_t>(found->offset2));
        } else {
            PutNumber(b, *found, value);
        }
    }
    return b;
}

uint16_t MsgIdOf(const Bytes &msg) {
    return msg.size() < 8 ? 0xFFFF : static_cast<uint16_t>(GetLe(msg, 4, 2));
}

std::string NameOf(const Bytes &msg) {
    const lapi::cat::Msg *m = lapi::cat::Find(MsgIdOf(msg));
    return m == nullptr ? "?" : m->name;
}

double Get(const Bytes &msg, std::string_view label) {
    const lapi::cat::Msg *m = lapi::cat::Find(MsgIdOf(msg));
    if (m == nullptr) {
        throw std::invalid_argument("unknown message " + Hex(msg));
    }
    for (const Field &f : std::span(m->fields, m->fieldCount)) {
        if (label != f.label) {
            continue;
        }
        const uint64_t raw = GetLe(msg, f.offset, f.kind == Kind::FileList ? 2 : f.width);
        switch (f.kind) {
            case Kind::Double: {
                double d = 0;
                std::memcpy(&d, &raw, 8);
                return d;
            }
            case Kind::I64Double:
                return static_cast<double>(static_cast<int64_t>(raw));
            case Kind::Dec:
                if (f.width == 4) {
                    return static_cast<int32_t>(raw);
                }
                return static_cast<double>(raw);
            default:
                return static_cast<double>(raw);
        }
    }
    throw std::invalid_argument(std::string(m->name) + " has no field " + std::string(label));
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "lapitest-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

namespace {

bool ReadExact(int fd, uint8_t *p, std::size_t n, std::chrono::steady_clock::time_point end) {
    while (n > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd pfd{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        const ssize_t r = ::read(fd, p, n);
        if (r <= 0) {
            if (r < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

}  // namespace

std::optional<Bytes> ReadMsg(int fd, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    Bytes b(8);
    if (!ReadExact(fd, b.data(), 8, end)) {
        return std::nullopt;
    }
    b.resize(8 + static_cast<std::size_t>(GetLe(b, 6, 2)));
    if (!ReadExact(fd, b.data() + 8, b.size() - 8, end)) {
        return std::nullopt;
    }
    return b;
}

bool WriteAll(int fd, const Bytes &bytes) {
    return LAPI_WriteAll(fd, bytes.data(), bytes.size()) == 0;
}

// The capture's descriptors go through close_range(): suites that route close() through
// fault injection never see them.
StderrCapture::StderrCapture() {
    std::FILE *tmp = std::tmpfile();
    if (tmp == nullptr) {
        throw std::runtime_error("tmpfile failed");
    }
    file_ = ::dup(::fileno(tmp));
    std::fclose(tmp);
    saved_ = ::dup(2);
    ::dup2(file_, 2);
}

StderrCapture::~StderrCapture() {
    ::dup2(saved_, 2);
    ::close_range(static_cast<unsigned>(saved_), static_cast<unsigned>(saved_), 0);
    ::close_range(static_cast<unsigned>(file_), static_cast<unsigned>(file_), 0);
}

std::string StderrCapture::Text() const {
    std::string text;
    char buf[4096];
    for (off_t off = 0;;) {
        const ssize_t n = ::pread(file_, buf, sizeof buf, off);
        if (n <= 0) {
            return text;
        }
        text.append(buf, static_cast<std::size_t>(n));
        off += n;
    }
}

std::vector<std::string> StderrCapture::Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(Text());
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string DataFile(std::string_view name) {
    std::ifstream in(std::string(LAPITEST_DATA_DIR) + "/" + std::string(name));
    if (!in) {
        throw std::runtime_error("missing data file " + std::string(name));
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> DataLines(std::string_view name) {
    std::vector<std::string> lines;
    std::istringstream in(DataFile(name));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != '#') {
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<int> OpenFds() {
    std::vector<int> fds;
    DIR *d = ::opendir("/proc/self/fd");
    const int own = ::dirfd(d);
    while (const dirent *e = ::readdir(d)) {
        if (e->d_name[0] != '.' && std::atoi(e->d_name) != own) {
            fds.push_back(std::atoi(e->d_name));
        }
    }
    ::closedir(d);
    return fds;
}

}  // namespace lapitest
