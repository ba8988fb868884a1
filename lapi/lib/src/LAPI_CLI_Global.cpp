// The client registry: ten slots, each a client node and a state byte (free, idle,
// busy). One mutex guards the slot pointers and every transition except the give
// back, which only the borrowing thread performs. The state bytes are atomic because
// borrow and give back read or write them without the mutex.

#include "LAPI_CLI_Global.h"

#include "LAPI_SrvCli.h"
#include "LAPI_ThreadSafety.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace {

constexpr const char *kLapiFile = LAPI_BaseName(__FILE__);

constinit LAPI_Mutex g_mutex;
unsigned char g_initialised LAPI_GUARDED_BY(g_mutex) = 0;
LAPI_CLIENT_NODE_S *g_nodes[LAPI_CLI_MAX_CLIENTS] LAPI_GUARDED_BY(g_mutex);
std::atomic<unsigned char> g_states[LAPI_CLI_MAX_CLIENTS];  // LAPI_CLI_NODE_*

// Lock and unlock report a failure and carry on, as if the call had succeeded. The
// process id is needed only for that report, so it is taken only then.
void Lock(const char *func) LAPI_ACQUIRE(g_mutex) {
    const int ret = g_mutex.Lock();
    if (ret != 0) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, func, "Fail to lock mutex, pid is: %d, ret is: %d", getpid(),
                    ret);
    }
}

void Unlock(const char *func) LAPI_RELEASE(g_mutex) {
    const int ret = g_mutex.Unlock();
    if (ret != 0) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, func, "Fail to unlock mutex, pid is: %d, ret is: %d", getpid(),
                    ret);
    }
}

// Borrow (idle -> busy, the node stays in its slot) or remove (idle -> free, the node
// leaves the slot): the same checks and texts for both.
LAPI_CLIENT_NODE_S *TakeIdleNode(int clientId, bool remove, const char *func) {
    if (LAPI_CLI_IsValidClientId(clientId) == 0) {
        return nullptr;
    }
    std::atomic<unsigned char> &state = g_states[clientId];
    // Quick refusal without the lock; the state is tested again under it.
    const unsigned char seen = state.load();
    if (seen == LAPI_CLI_NODE_FREE) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, func, "Client node not exist, clientId is: %d!", clientId);
        return nullptr;
    }
    if (seen == LAPI_CLI_NODE_BUSY) {
        LAPI_ERR_AS(LAPI_SIDE_CLI, func, "Client node is being used, clientId is: %d!", clientId);
        return nullptr;
    }
    LAPI_CLIENT_NODE_S *node = nullptr;
    Lock(func);
    if (state.load() == LAPI_CLI_NODE_IDLE) {
        node = g_nodes[clientId];
        if (remove) {
            g_nodes[clientId] = nullptr;
            state.store(LAPI_CLI_NODE_FREE);
        } else {
            state.store(LAPI_CLI_NODE_BUSY);
        }
    }
    Unlock(func);
    return node;
}

void CloseAndFree(LAPI_CLIENT_NODE_S *node) {
    LAPI_CloseFd(node->syncFd);
    LAPI_CloseFd(node->asyncFd);
    std::free(node);
}

}  // namespace

extern "C" void LAPI_CLI_GlobalInit(void) {
    Lock(__func__);
    if (g_initialised == 0) {
        g_initialised = 1;
        for (int i = 0; i < LAPI_CLI_MAX_CLIENTS; ++i) {
            g_nodes[i] = nullptr;
            g_states[i].store(LAPI_CLI_NODE_FREE);
        }
        LAPI_LogApMsgInit();
    }
    Unlock(__func__);
}

extern "C" int LAPI_CLI_AddClientNode(LAPI_CLIENT_NODE_S *pClientNode) {
    if (pClientNode == nullptr) {
        return -1;
    }
    const int pid = getpid();
    int clientId = -1;
    Lock(__func__);
    for (int i = 0; i < LAPI_CLI_MAX_CLIENTS; ++i) {
        if (g_states[i].load() == LAPI_CLI_NODE_FREE) {
            g_nodes[i] = pClientNode;
            g_states[i].store(LAPI_CLI_NODE_IDLE);
            clientId = i;
            break;
        }
    }
    Unlock(__func__);
    if (clientId < 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Fail to add pClientNode, too many client nodes, pid is: %d!", pid);
    }
    return clientId;
}

extern "C" LAPI_CLIENT_NODE_S *LAPI_CLI_GetClientNodeById(int clientId) {
    return TakeIdleNode(clientId, false, __func__);
}

extern "C" LAPI_CLIENT_NODE_S *LAPI_CLI_RemoveClientNode(int clientId) {
    return TakeIdleNode(clientId, true, __func__);
}

extern "C" int LAPI_CLI_PutClientNodeById(int clientId) {
    if (LAPI_CLI_IsValidClientId(clientId) == 0) {
        return -1;
    }
    // Only the borrowing thread gives back, and nothing else changes a busy slot.
    unsigned char expected = LAPI_CLI_NODE_BUSY;
    if (g_states[clientId].compare_exchange_strong(expected, LAPI_CLI_NODE_IDLE)) {
        return 0;
    }
    LAPI_ERR(LAPI_SIDE_CLI, "Should not go here!");
    return -1;
}

int LAPI_CLI_PutAndDestroyClientNode(int clientId) {
    if (LAPI_CLI_IsValidClientId(clientId) == 0) {
        return -1;
    }
    LAPI_CLIENT_NODE_S *node = nullptr;
    Lock(__func__);
    if (g_states[clientId].load() == LAPI_CLI_NODE_BUSY) {
        node = g_nodes[clientId];
        g_nodes[clientId] = nullptr;
        g_states[clientId].store(LAPI_CLI_NODE_FREE);
    }
    Unlock(__func__);
    if (node == nullptr) {
        LAPI_ERR(LAPI_SIDE_CLI, "Should not go here!");
        return -1;
    }
    CloseAndFree(node);
    return 0;
}

extern "C" int LAPI_CLI_DestroyClientNode(int clientId) {
    const int pid = getpid();
    LAPI_CLIENT_NODE_S *node = LAPI_CLI_RemoveClientNode(clientId);
    if (node == nullptr) {
        LAPI_ERR(LAPI_SIDE_CLI, "Fail to remove client node, clientId: %d, pid is: %d!", clientId,
                 pid);
        return -1;
    }
    CloseAndFree(node);
    return 0;
}

extern "C" int LAPI_CLI_GetAsyncFd(int clientId) {
    const int pid = getpid();
    if (LAPI_CLI_IsValidClientId(clientId) == 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Invalid clientId: %d, pid is: %d!", clientId, pid);
        return -1;
    }
    int fd = -1;
    Lock(__func__);
    if (g_states[clientId].load() == LAPI_CLI_NODE_FREE) {
        LAPI_ERR(LAPI_SIDE_CLI, "Client node not exist, clientId is: %d, pid is: %d!", clientId,
                 pid);
    } else {
        // Idle or busy: the node is in its slot and its descriptors do not change.
        fd = g_nodes[clientId]->asyncFd;
    }
    Unlock(__func__);
    return fd;
}

extern "C" int LAPI_CLI_IsValidClientId(int clientId) {
    return clientId >= 0 && clientId < LAPI_CLI_MAX_CLIENTS ? 1 : 0;
}

extern "C" int LAPI_CLI_IsValidMode(unsigned char mode) {
    return mode == LAPI_BLOCK || mode == LAPI_NONBLOCK ? 1 : 0;
}

extern "C" int LAPI_CLI_IsValidParameter(int clientId, unsigned char mode, const void *pReq,
                                         const void *pRsp) {
    if (LAPI_CLI_IsValidClientId(clientId) == 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Invalid clientId: %d!", clientId);
        return 0;
    }
    if (LAPI_CLI_IsValidMode(mode) == 0) {
        LAPI_ERR(LAPI_SIDE_CLI, "Invalid mode: %d!", mode);
        return 0;
    }
    if (pReq == nullptr) {
        LAPI_ERR(LAPI_SIDE_CLI, "Invalid pReq == NULL!");
        return 0;
    }
    if (mode == LAPI_BLOCK && pRsp == nullptr) {
        LAPI_ERR(LAPI_SIDE_CLI, "Invalid (mode == LAPI_BLOCK) && (pRsp == NULL)!");
        return 0;
    }
    return 1;
}
