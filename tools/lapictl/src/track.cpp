#include "track.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

#include "LAPI_SrvCli.h"
#include "format.h"

namespace lapictl {

std::string DecimalText(double value) {
    // The longest fixed-point double (the smallest subnormal) takes about 330 characters.
    std::array<char, 400> buf{};
    const auto [end, ec] =
        std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed);
    return ec == std::errc() ? std::string(buf.data(), end) : std::string("0");
}

bool Track::Add(const TrackPoint &point, std::string *error) {
    if (!std::isfinite(point.latitude) || !std::isfinite(point.longitude) ||
        std::fabs(point.latitude) > 90) {
        return true;
    }
    return AddPoint(point, error);
}

namespace {

std::string ErrnoText() {
    return LAPI_ErrnoText(errno).c_str();
}

bool WriteText(int fd, std::string_view text, std::string *error) {
    if (LAPI_WriteAll(fd, text.data(), text.size()) != 0) {
        *error = ErrnoText();
        return false;
    }
    return true;
}

std::string XmlEscaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// ---- GPX -------------------------------------------------------------------------

class GpxTrack final : public Track {
  public:
    explicit GpxTrack(int fd) : fd_(fd) {}
    ~GpxTrack() override {
        std::string ignored;
        Close(&ignored);
    }

    bool Close(std::string *error) override {
        if (fd_ < 0) {
            return true;
        }
        const bool written = WriteText(fd_, "    </trkseg>\n  </trk>\n</gpx>\n", error);
        const bool closed = ::close(fd_) == 0;
        if (written && !closed) {
            *error = ErrnoText();
        }
        fd_ = -1;
        return written && closed;
    }

  private:
    bool AddPoint(const TrackPoint &p, std::string *error) override {
        // GPX takes longitudes in [-180, 180).
        const double longitude = p.longitude == 180 ? -180 : p.longitude;
        std::string text = "      <trkpt lat=\"" + DecimalText(p.latitude) + "\" lon=\"" +
                           DecimalText(longitude) + "\">\n";
        if (std::isfinite(p.altitude)) {
            text += "        <ele>" + DecimalText(p.altitude) + "</ele>\n";
        }
        const std::string time = FormatTime(p.timeMs);
        if (time.front() != '@') {  // a time that the calendar can show
            text += "        <time>" + time + "</time>\n";
        }
        text += "        <extensions>\n";
        const std::pair<const char *, double> extras[] = {
            {"horizontalAccuracy", p.horizontalAccuracy},
            {"verticalAccuracy", p.verticalAccuracy},
            {"speed", p.speed},
            {"course", p.course}};
        for (const auto &[name, value] : extras) {
            if (std::isfinite(value)) {
                text += std::string("          <lapi:") + name + '>' + DecimalText(value) +
                        "</lapi:" + name + ">\n";
            }
        }
        text += "        </extensions>\n      </trkpt>\n";
        return WriteText(fd_, text, error);
    }

    int fd_;
};

// ---- GeoJSON ---------------------------------------------------------------------

class GeoJsonTrack final : public Track {
  public:
    GeoJsonTrack(std::string path, std::string_view creator)
        : path_(std::move(path)), creator_(JsonQuote(creator)) {}

    // Every point is in the file as soon as it is added.
    bool Close(std::string * /*error*/) override { return true; }

    // The whole document to FILE.tmp, then renamed over FILE.
    bool Write(std::string *error) const {
        // RFC 7946: a LineString has two positions or more; until then the Feature has
        // no geometry.
        const std::string geometry =
            points_ < 2 ? std::string("null")
                        : R"({"type":"LineString","coordinates":[)" + coordinates_ + "]}";
        const std::string text = R"({"type":"Feature","geometry":)" + geometry +
                                 R"(,"properties":{"creator":)" + creator_ + R"(,"times":[)" +
                                 times_ + R"(],"horizontalAccuracy":[)" + horizontal_ +
                                 R"(],"verticalAccuracy":[)" + vertical_ + R"(],"speed":[)" +
                                 speed_ + R"(],"course":[)" + course_ + "]}}\n";
        const std::string temp = path_ + ".tmp";
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            *error = temp + ": " + ErrnoText();
            return false;
        }
        bool ok = WriteText(fd, text, error);
        if (::close(fd) != 0 && ok) {
            *error = ErrnoText();
            ok = false;
        }
        if (ok && std::rename(temp.c_str(), path_.c_str()) != 0) {
            *error = ErrnoText();
            ok = false;
        }
        if (!ok) {
            ::unlink(temp.c_str());
        }
        return ok;
    }

  private:
    bool AddPoint(const TrackPoint &p, std::string *error) override {
        std::string position = JsonNumber(p.longitude) + ',' + JsonNumber(p.latitude);
        if (std::isfinite(p.altitude)) {
            position += ',' + JsonNumber(p.altitude);
        }
        Append(coordinates_, '[' + position + ']');
        Append(times_, JsonQuote(FormatTime(p.timeMs)));
        Append(horizontal_, JsonNumber(p.horizontalAccuracy));
        Append(vertical_, JsonNumber(p.verticalAccuracy));
        Append(speed_, JsonNumber(p.speed));
        Append(course_, JsonNumber(p.course));
        ++points_;
        return Write(error);
    }

    static void Append(std::string &list, const std::string &item) {
        if (!list.empty()) {
            list += ',';
        }
        list += item;
    }

    std::string path_;
    std::string creator_;  // as a JSON string
    std::size_t points_ = 0;
    // The members of the arrays so far, comma-separated.
    std::string coordinates_, times_, horizontal_, vertical_, speed_, course_;
};

}  // namespace

std::unique_ptr<Track> CreateGpxTrack(const std::string &path, std::string_view creator,
                                      std::string *error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = ErrnoText();
        return nullptr;
    }
    auto track = std::make_unique<GpxTrack>(fd);
    const std::string header =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<gpx version=\"1.1\" creator=\"" +
        XmlEscaped(creator) +
        "\"\n"
        "     xmlns=\"http://www.topografix.com/GPX/1/1\"\n"
        "     xmlns:lapi=\"" +
        std::string(kGpxExtensionNamespace) +
        "\">\n"
        "  <trk>\n"
        "    <trkseg>\n";
    if (!WriteText(fd, header, error)) {
        return nullptr;
    }
    return track;
}

std::unique_ptr<Track> CreateGeoJsonTrack(const std::string &path, std::string_view creator,
                                          std::string *error) {
    auto track = std::make_unique<GeoJsonTrack>(path, creator);
    if (!track->Write(error)) {
        return nullptr;
    }
    return track;
}

}  // namespace lapictl
