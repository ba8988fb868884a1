// What every suite shares: bytes and messages built from the message catalogue, a
// temporary folder, bounded waiting, message I/O on a descriptor, stderr capture,
// and the data files under tests/data.
//
//     Bytes req = lapitest::Msg("getLocationReq mode=1 sessionId=3 responseTime=30");
//     double lat = lapitest::Get(rsp, "latitude");
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lapitest {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// "2c 01 00": two lower-case digits a byte, single blanks; FromHex ignores blanks.
std::string Hex(const Bytes &b);
Bytes FromHex(std::string_view text);

template <typename Rec>
Bytes ToBytes(const Rec &rec) {
    Bytes b(sizeof rec);
    std::memcpy(b.data(), &rec, sizeof rec);
    return b;
}
template <typename Rec>
Rec FromBytes(const Bytes &b) {
    Rec rec{};
    std::memcpy(&rec, b.data(), std::min(b.size(), sizeof rec));
    return rec;
}

// A whole message from its catalogue name and `label=value` words: the header's msgId
// and msgLen come from the catalogue, `pid=N` and `msgLen=N` override the header, every
// other label names a field of the record (numbers in decimal, 0x hex or floating point;
// the data of a counted byte field as hex digits). Unnamed fields are 0. Throws
// std::invalid_argument on an unknown name or label.
Bytes Msg(std::string_view desc);
// The value of a field of a whole message (found by its msgId), as a double.
double Get(const Bytes &msg, std::string_view label);
uint16_t MsgIdOf(const Bytes &msg);
// The catalogue's name of the message ("getLocationRsp"), "?" for an unknown id.
std::string NameOf(const Bytes &msg);

// A folder under the temporary directory, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string File(std::string_view name) const { return (path_ / name).string(); }
    const std::filesystem::path &Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Polls `done` until it holds or `timeout` passes: waits for an event, never for time
// to pass.
bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout = 10s);

// One whole message from a descriptor (header, then msgLen bytes); nothing on end of
// file, error or timeout.
std::optional<Bytes> ReadMsg(int fd, std::chrono::milliseconds timeout = 10s);
bool WriteAll(int fd, const Bytes &bytes);

// Descriptor 2 goes to a temporary file for the capture's lifetime (below stdio, so
// every write(2, ...) is seen at once).
class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;
    std::string Text() const;
    std::vector<std::string> Lines() const;

  private:
    int saved_ = -1;
    int file_ = -1;
};

// The text of tests/data/<name>, and its lines without comments ('#') and blank lines.
std::string DataFile(std::string_view name);
std::vector<std::string> DataLines(std::string_view name);

// The open descriptors of this process.
std::vector<int> OpenFds();

}  // namespace lapitest
