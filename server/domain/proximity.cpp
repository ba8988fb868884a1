#include "domain/proximity.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "domain/geodesy.h"

namespace lapid {

ProximityResult ProximityListeners::Add(ClientKey client, const ProximityCircle &circle,
                                        uint8_t sessionId, uint8_t transactionId) {
    if (!geo::IsValidPoint(circle.latitude, circle.longitude) || !std::isfinite(circle.altitude) ||
        !std::isfinite(circle.radius) || circle.radius <= 0) {
        return ProximityResult::kInvalidGeometry;
    }
    ClientListeners &c = clients_[client];
    // Numbers must stay reachable by a positive 32-bit removeType.
    if (c.listeners.size() >= kMaxListenersPerClient ||
        c.lastNumber >= static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
        return ProximityResult::kTooManyListeners;
    }
    c.listeners.push_back(Listener{++c.lastNumber, circle, sessionId, transactionId, false});
    ++total_;
    return ProximityResult::kOk;
}

ProximityResult ProximityListeners::Remove(ClientKey client, int32_t removeType) {
    if (removeType < 0) {
        return ProximityResult::kUnknownRemoveType;
    }
    auto it = clients_.find(client);
    if (it == clients_.end() || it->second.listeners.empty()) {
        return ProximityResult::kNothingToRemove;
    }
    std::vector<Listener> &ls = it->second.listeners;
    if (removeType == kRemoveAllListeners) {
        total_ -= ls.size();
        ls.clear();
        return ProximityResult::kOk;
    }
    const auto number = static_cast<uint32_t>(removeType);
    auto pos = std::find_if(ls.begin(), ls.end(),
                            [number](const Listener &l) { return l.number == number; });
    if (pos == ls.end()) {
        return ProximityResult::kNothingToRemove;
    }
    ls.erase(pos);
    --total_;
    return ProximityResult::kOk;
}

std::size_t ProximityListeners::RemoveClient(ClientKey client) {
    auto it = clients_.find(client);
    if (it == clients_.end()) {
        return 0;
    }
    const std::size_t n = it->second.listeners.size();
    total_ -= n;
    clients_.erase(it);
    return n;
}

std::vector<ProximityHit> ProximityListeners::OnFix(const Fix &fix) {
    std::vector<ProximityHit> hits;
    if (!geo::IsValidPoint(fix.latitude, fix.longitude)) {
        return hits;
    }
    for (auto &[client, c] : clients_) {
        for (Listener &l : c.listeners) {
            const auto inv =
                geo::Inverse(fix.latitude, fix.longitude, l.circle.latitude, l.circle.longitude);
            if (!inv) {
                continue;
            }
            const bool inside = inv->distance <= l.circle.radius;
            if (inside && !l.inside) {
                hits.push_back(ProximityHit{client, l.number, l.sessionId, l.transactionId,
                                            inv->distance, fix});
            }
            l.inside = inside;
        }
    }
    return hits;
}

std::size_t ProximityListeners::Count(ClientKey client) const {
    auto it = clients_.find(client);
    return it == clients_.end() ? 0 : it->second.listeners.size();
}

std::size_t ProximityListeners::TotalCount() const {
    return total_;
}

}  // namespace lapid
