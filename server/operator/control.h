// The operator's control protocol: one command per line, answered with zero or more
// data lines and a final "OK" or "ERR <reason>" line.
//
//   help                                   one line per command
//   position LAT LON [ALT [ACCURACY]]      fixed simulated position (next fix)
//   route SPEED LAT,LON[,ALT] ... [once]   follow waypoints at SPEED m/s
//   fix on|off                             force fix / no fix
//   source                                 the position source and its state
//   status NAME VALUE                      set a status value
//   mtlr TYPE [locationType=N] [dcs=N] [name=TEXT] [addr=TEXT] [timeout=SECONDS]
//                                          inject a network-initiated request
//   mtlr-result ID                         outcome of an injected request
//   clients                                the registered clients
//   counters                               the server's counters
//   advance MS                             move a manual clock (lapid --manual-clock)
//
// Words are separated by blanks; TEXT may carry %XX escapes (for blanks and other
// bytes). The commands act only through the Operator (service/operator.h); nothing here
// touches a socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service/operator.h"

namespace lapid {

class ControlCommands {
  public:
    explicit ControlCommands(Operator &op) : op_(op) {}

    // Runs one command line (without its newline); returns the answer lines, each
    // ending with '\n', the last one "OK" or "ERR <reason>".
    std::string Execute(std::string_view line);

  private:
    using Words = std::vector<std::string_view>;
    std::string Help(const Words &w);
    std::string Position(const Words &w);
    std::string Route(const Words &w);
    std::string Fix(const Words &w);
    std::string Source(const Words &w);
    std::string Status(const Words &w);
    std::string Mtlr(const Words &w);
    std::string MtlrResult(const Words &w);
    std::string Clients(const Words &w);
    std::string Counters(const Words &w);
    std::string Advance(const Words &w);

    Operator &op_;
};

// Assembles the command lines of one control connection.
class ControlSession {
  public:
    static constexpr std::size_t kMaxLine = 4096;

    explicit ControlSession(ControlCommands &commands) : commands_(commands) {}

    // Takes received bytes and returns the answers of the lines they completed. A line
    // longer than kMaxLine bytes (its newline not counted), in one piece or many, is
    // answered with an error instead of being run, and ends the session.
    std::string Feed(const char *data, std::size_t len);
    bool Ended() const { return ended_; }

  private:
    ControlCommands &commands_;
    std::string pending_;
    bool ended_ = false;
};

}  // namespace lapid
