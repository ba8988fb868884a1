// How the domain knows a client.
#pragma once

#include <cstdint>

namespace lapid {

// The integer by which the server knows a client (its globalId, assigned at
// registration). Sessions, listeners and MT-LR notifications are held per ClientKey.
using ClientKey = int32_t;

}  // namespace lapid
