/*
 * blocking_client - one position fix, waited for in LAPI_BLOCK mode.
 *
 * Registers for position fixes, asks for one fix and waits for the location server's
 * answer on the synchronous connection, prints what came back, and unregisters.
 * Exits 0 with a fix, 1 without one (timeout, refusal, no server).
 *
 *     blocking_client [seconds [metres]]       (default: 10 seconds, 20 metres)
 *
 * The part between the README markers is the README's "Using the library" example,
 * byte for byte (ctest checks it: readme_example).
 */
#include <stdlib.h>

/* README example begin */
#include <lapi/lapi.h>
#include <stdio.h>
#include <string.h>

/* Asks for one fix, at most `seconds` away and `metres` accurate, and waits for it.
 * Returns 0 with a fix, -1 without one. */
static int LocateOnce(int seconds, int metres) {
    int id = LAPI_RegisterClient(LAPI_SERVICE_MOLR);
    if (id < 0) {
        return -1; /* no server at LAPI_SOCKET_PATH, or it refused: see the error line */
    }
    LAPI_GET_LOCATION_REQ_S req;
    memset(&req, 0, sizeof req);
    req.sessionId = 1;
    req.responseTime = seconds;
    req.horizontalAccuracy = metres;
    unsigned char rsp[sizeof(LAPI_GET_LOCATION_RSP_S)];
    if (LAPI_GetLocation(id, LAPI_BLOCK, &req, rsp) != 0) {
        return -1; /* the connection failed: the library has ended the client */
    }
    LAPI_MSG_HEADER_S header;
    memcpy(&header, rsp, sizeof header); /* which answer came: dispatch on msgId */
    int result = -1;
    switch (header.msgId) {
        case LAPI_MSG_GET_LOCATION_RSP: {
            LAPI_GET_LOCATION_RSP_S fix;
            memcpy(&fix, rsp, sizeof fix);
            if (fix.cause == 0) {
                printf("%.6f %.6f, %.0f m\n", fix.latitude, fix.longitude, fix.horizontalAccuracy);
                result = 0;
            } else {
                printf("no fix, cause %d\n", (int)fix.cause);
            }
            break;
        }
        case LAPI_MSG_TIME_OUT_RSP:
            printf("no fix within %d s\n", seconds);
            break;
        case LAPI_MSG_INVALID_REQUEST_RSP:
            printf("request refused\n");
            break;
        default:
            printf("unexpected message %u\n", (unsigned)header.msgId);
            break;
    }
    LAPI_UnregisterClient(id);
    return result;
}
/* README example end */

int main(int argc, char **argv) {
    const int seconds = argc > 1 ? atoi(argv[1]) : 10;
    const int metres = argc > 2 ? atoi(argv[2]) : 20;
    return LocateOnce(seconds, metres) == 0 ? 0 : 1;
}
