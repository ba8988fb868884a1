// Registry operations used inside the library beyond the exported LAPI_CLI_* set.
#pragma once

#include <lapi/lapi.h>

// Slot states of the client registry.
inline constexpr unsigned char LAPI_CLI_NODE_FREE = 0;
inline constexpr unsigned char LAPI_CLI_NODE_IDLE = 1;
inline constexpr unsigned char LAPI_CLI_NODE_BUSY = 2;

// Gives back a borrowed (busy) client and destroys it in one step under the registry
// lock: the slot goes straight from busy to free, so no other thread can borrow a
// client whose connection is out of step. Closes both descriptors and frees the node.
// Returns 0, or -1 with "Should not go here!" when the slot is not busy.
int LAPI_CLI_PutAndDestroyClientNode(int clientId);
