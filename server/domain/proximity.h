// Proximity listeners: circles on the ground that a client asks to be told about when
// the position enters them.
//
// Each client (ClientKey, given by the server) holds at most kMaxListenersPerClient
// listeners. A listener is a centre (latitude, longitude in degrees, altitude in
// metres) and a radius in metres (> 0). The test is two-dimensional: the position is
// inside when its geodesic distance on WGS84 to the centre is <= radius; the altitudes
// of the centre and of the fix are kept but not compared.
//
// Hits. Every listener remembers whether the last fix was inside. A fix that is inside
// a listener whose last fix was outside is a hit; the listener is hit again only after
// a fix outside it and then one inside again. A new listener counts as outside, so one
// added while the position is already within it is hit by the next fix.
//
// Numbering and removal. Each client's successful adds are numbered 1, 2, 3, ... in
// order; numbers are never reused while the client exists, so removing one listener
// does not renumber the others. The removeType of a removal selects:
//   0      every listener of the client;
//   k > 0  the listener with number k;
//   k < 0  nothing: an unknown removeType.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "domain/fix.h"
#include "domain/client_key.h"

namespace lapid {

// The status of addProximityRsp and removeProximityRsp.
enum class ProximityResult : int32_t {
    kOk = 0,                  // added, or removed at least one listener
    kInvalidGeometry = -1,    // add: centre or radius NaN/infinite, |latitude| > 90, radius <= 0
    kTooManyListeners = -2,   // add: the client already holds kMaxListenersPerClient
    kNothingToRemove = -3,    // remove: no listener matched
    kUnknownRemoveType = -4,  // remove: removeType < 0
};

// removeType value that removes every listener of the client.
inline constexpr int32_t kRemoveAllListeners = 0;

struct ProximityCircle {
    double latitude = 0;   // degrees
    double longitude = 0;  // degrees
    double altitude = 0;   // metres (kept, not compared)
    double radius = 0;     // metres, > 0
};

struct ProximityHit {
    ClientKey client = 0;
    uint32_t listenerNumber = 0;  // the listener's number within its client (1, 2, ...)
    uint8_t sessionId = 0;        // identifiers of the addProximityReq that made it
    uint8_t transactionId = 0;
    double distance = 0;  // metres from the fix to the centre
    Fix fix;              // the fix that entered the circle
};

class ProximityListeners {
  public:
    static constexpr std::size_t kMaxListenersPerClient = 16;

    // Adds a listener for `client`; sessionId and transactionId are handed back with
    // each of its hits. kOk, kInvalidGeometry or kTooManyListeners. The centre's
    // altitude must be finite too.
    ProximityResult Add(ClientKey client, const ProximityCircle &circle, uint8_t sessionId = 0,
                        uint8_t transactionId = 0);

    // Removes what removeType selects (see above): kOk, kNothingToRemove or
    // kUnknownRemoveType.
    ProximityResult Remove(ClientKey client, int32_t removeType);

    // Drops everything of `client`, its numbering included; returns how many
    // listeners it held.
    std::size_t RemoveClient(ClientKey client);

    // Feeds a fix to every listener and returns the hits, ordered by client key and then
    // by listener number. A fix with an invalid position changes nothing.
    std::vector<ProximityHit> OnFix(const Fix &fix);

    std::size_t Count(ClientKey client) const;
    std::size_t TotalCount() const;

  private:
    struct Listener {
        uint32_t number = 0;
        ProximityCircle circle;
        uint8_t sessionId = 0;
        uint8_t transactionId = 0;
        bool inside = false;
    };
    struct ClientListeners {
        uint32_t lastNumber = 0;
        std::vector<Listener> listeners;  // in number order
    };

    std::map<ClientKey, ClientListeners> clients_;
    std::size_t total_ = 0;
};

}  // namespace lapid
