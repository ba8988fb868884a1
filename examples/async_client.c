/*
 * async_client - an event-driven LAPI client.
 *
 * Registers for every service, sends three LAPI_NONBLOCK requests (a position fix,
 * the status, a distance and azimuth), then waits on the asynchronous descriptor in
 * a poll() loop and prints each message the location server pushes: the answers to
 * those requests and any indication (status changes, network-initiated location
 * requests, proximity hits). Network-initiated requests that ask for an answer are
 * answered (deny by default). Stops after a number of seconds or messages, then
 * unregisters.
 *
 *     async_client [seconds [messages [allow]]]      (default: 10 seconds, 20 messages)
 *
 * The library writes a trace line for every message on standard error; run with
 * 2>/dev/null to see the program's own output alone.
 */
#define _POSIX_C_SOURCE 200809L

#include <lapi/lapi.h>

#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* Session ids of our own requests, echoed in their answers. */
enum { SESSION_FIX = 1, SESSION_STATUS = 2, SESSION_DISTANCE = 3 };

/* Wire fields are little-endian at any offset: copy them out. */
static int32_t GetI32(const unsigned char *p) {
    int32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

static int64_t GetI64(const unsigned char *p) {
    int64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

static double GetF64(const unsigned char *p) {
    double v;
    memcpy(&v, p, sizeof v);
    return v;
}

static long long NowMs(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* ---------------------------------------------------------------------------------
 * Requests
 * ------------------------------------------------------------------------------- */

static int SendRequests(int clientId) {
    LAPI_GET_LOCATION_REQ_S fix;
    LAPI_GET_STATUS_REQ_S status;
    LAPI_DISTANCE_AZIMUTH_REQ_S dist;
    int failures = 0;

    memset(&fix, 0, sizeof fix);
    fix.sessionId = SESSION_FIX;
    fix.transactionId = 1;
    fix.responseTime = 5;         /* seconds */
    fix.horizontalAccuracy = 100; /* metres */
    fix.verticalAccuracy = 100;
    fix.speedAndCourseRequired = 1;
    fix.altitudeRequired = 1;
    if (LAPI_GetLocation(clientId, LAPI_NONBLOCK, &fix, NULL) != 0) {
        fprintf(stderr, "async_client: position request failed\n");
        ++failures;
    }

    memset(&status, 0, sizeof status);
    status.sessionId = SESSION_STATUS;
    status.transactionId = 1;
    if (LAPI_GetStatus(clientId, LAPI_NONBLOCK, &status, NULL) != 0) {
        fprintf(stderr, "async_client: status request failed\n");
        ++failures;
    }

    memset(&dist, 0, sizeof dist);
    dist.sessionId = SESSION_DISTANCE;
    dist.transactionId = 1;
    dist.latitude1 = 48.8584; /* from 48.8584 N 2.2945 E ... */
    dist.longitude1 = 2.2945;
    dist.latitude2 = 51.5007; /* ... to 51.5007 N 0.1246 W */
    dist.longitude2 = -0.1246;
    dist.distanceOnly = 0;
    if (LAPI_CalculateDistanceAzimuth(clientId, LAPI_NONBLOCK, &dist, NULL) != 0) {
        fprintf(stderr, "async_client: distance request failed\n");
        ++failures;
    }
    return failures;
}

/* ---------------------------------------------------------------------------------
 * What arrives: offsets are those of the message records in <lapi/lapi.h>.
 * ------------------------------------------------------------------------------- */

static void PrintFix(const char *what, const unsigned char *m, int hasCause) {
    printf(
        "%s (session %u): lat %.6f lon %.6f +/- %.1f m, alt %.1f m, speed %.1f m/s, "
        "time %lld ms, method %d",
        what, m[8], GetF64(m + offsetof(LAPI_GET_LOCATION_RSP_S, latitude)),
        GetF64(m + offsetof(LAPI_GET_LOCATION_RSP_S, longitude)),
        GetF64(m + offsetof(LAPI_GET_LOCATION_RSP_S, latLonAccuracy)),
        GetF64(m + offsetof(LAPI_GET_LOCATION_RSP_S, altitude)),
        GetF64(m + offsetof(LAPI_GET_LOCATION_RSP_S, speed)),
        (long long)GetI64(m + offsetof(LAPI_GET_LOCATION_RSP_S, timeStamp)),
        GetI32(m + offsetof(LAPI_GET_LOCATION_RSP_S, locationMethod)));
    if (hasCause) {
        printf(", cause %d", GetI32(m + offsetof(LAPI_GET_LOCATION_RSP_S, cause)));
    }
    printf("\n");
}

static void PrintStatus(const char *what, const unsigned char *m) {
    printf(
        "%s: user %d, hardware %d, fix %d, emergency %d, last fix %d (cause %d), "
        "proximity %d\n",
        what, GetI32(m + offsetof(LAPI_GET_STATUS_RSP_S, userStatus)),
        GetI32(m + offsetof(LAPI_GET_STATUS_RSP_S, hwStatus)),
        GetI32(m + offsetof(LAPI_GET_STATUS_RSP_S, fixStatus)),
        GetI32(m + offsetof(LAPI_GET_STATUS_RSP_S, emergencyStatus)),
        GetI32(m + offsetof(LAPI_GET_STATUS_RSP_S, fixResultStatus.status)),
        GetI32(m + offsetof(LAPI_GET_STATUS_RSP_S, fixResultStatus.cause)),
        GetI32(m + offsetof(LAPI_GET_STATUS_RSP_S, proximityStatus)));
}

/* A network-initiated location request: show who asks, and answer it when the
 * notification type expects an answer (1 and 2). */
static void HandleNotification(int clientId, const unsigned char *m, int allow) {
    const int type = GetI32(m + offsetof(LAPI_LOCATION_NOTIFICATION_IND_S, notificationType));
    const unsigned nameLen = m[offsetof(LAPI_LOCATION_NOTIFICATION_IND_S, nameLength)];
    const int shown = nameLen > LAPI_MTLR_MAX_NAME_LEN ? LAPI_MTLR_MAX_NAME_LEN : (int)nameLen;
    LAPI_LOCATION_NOTIFICATION_CFM_S cfm;

    printf("location request from \"%.*s\" (session %u, type %d, location type %d)\n", shown,
           (const char *)m + offsetof(LAPI_LOCATION_NOTIFICATION_IND_S, clientName), m[8], type,
           GetI32(m + offsetof(LAPI_LOCATION_NOTIFICATION_IND_S, locationType)));
    if (type != 1 && type != 2) {
        return;
    }
    memset(&cfm, 0, sizeof cfm);
    cfm.sessionId = m[8];
    cfm.transactionId = m[9];
    cfm.responseType = allow ? 0 : 1; /* 0 allow, 1 deny */
    if (LAPI_LocationVerify(clientId, &cfm) == 0) {
        printf("  answered: %s\n", allow ? "allow" : "deny");
    } else {
        fprintf(stderr, "async_client: answering the location request failed\n");
    }
}

static void Dispatch(int clientId, const unsigned char *m, int allow) {
    LAPI_MSG_HEADER_S h;
    memcpy(&h, m, sizeof h);
    switch (h.msgId) {
        case LAPI_MSG_GET_LOCATION_RSP:
            PrintFix("position", m, 1);
            break;
        case LAPI_MSG_PROXIMITY_HIT_IND:
            PrintFix("proximity hit", m, 0);
            break;
        case LAPI_MSG_TIME_OUT_RSP:
            printf("no position in time (session %u)\n", m[8]);
            break;
        case LAPI_MSG_INVALID_REQUEST_RSP:
            printf("request refused by the server (session %u)\n", m[8]);
            break;
        case LAPI_MSG_ABORT_LOCATION_RSP:
            printf("abort (session %u): result %d\n", m[8],
                   GetI32(m + offsetof(LAPI_ABORT_LOCATION_RSP_S, result)));
            break;
        case LAPI_MSG_GET_STATUS_RSP:
            PrintStatus("status", m);
            break;
        case LAPI_MSG_STATUS_CHANGE_IND:
            PrintStatus("status changed", m);
            break;
        case LAPI_MSG_DISTANCE_AZIMUTH_RSP:
            printf("distance %.1f m, azimuth %.2f degrees (session %u)\n",
                   GetF64(m + offsetof(LAPI_DISTANCE_AZIMUTH_RSP_S, distance)),
                   GetF64(m + offsetof(LAPI_DISTANCE_AZIMUTH_RSP_S, azimuth)), m[8]);
            break;
        case LAPI_MSG_LOCATION_NOTIFICATION_IND:
            HandleNotification(clientId, m, allow);
            break;
        case LAPI_MSG_NOTIFICATION_STATUS_IND:
            printf("location request settled (session %u): cause %d\n", m[8],
                   GetI32(m + offsetof(LAPI_NOTIFICATION_STATUS_IND_S, cause)));
            break;
        case LAPI_MSG_ADD_PROXIMITY_RSP:
        case LAPI_MSG_REMOVE_PROXIMITY_RSP:
            printf("proximity listener %s: status %d\n",
                   h.msgId == LAPI_MSG_ADD_PROXIMITY_RSP ? "added" : "removed",
                   GetI32(m + offsetof(LAPI_ADD_PROXIMITY_RSP_S, status)));
            break;
        default:
            printf("message %u (%u bytes)\n", (unsigned)h.msgId, (unsigned)h.msgLen + 8u);
            break;
    }
    fflush(stdout);
}

int main(int argc, char **argv) {
    const long seconds = argc > 1 ? strtol(argv[1], NULL, 10) : 10;
    const long maxMessages = argc > 2 ? strtol(argv[2], NULL, 10) : 20;
    const int allow = argc > 3 && strcmp(argv[3], "allow") == 0;
    const long long deadline = NowMs() + seconds * 1000;
    long received = 0;
    int clientId;
    int fd;

    clientId = LAPI_RegisterClient(LAPI_SERVICE_MOLR | LAPI_SERVICE_MTLR | LAPI_SERVICE_STATUS);
    if (clientId < 0) {
        fprintf(stderr, "async_client: cannot register (is the location server running?)\n");
        return 1;
    }
    fd = LAPI_GetAsyncSocketFd(clientId);
    printf("registered as client %d, waiting on descriptor %d\n", clientId, fd);
    if (SendRequests(clientId) != 0) {
        /* A failed send ends the client inside the library: nothing left to wait for. */
        LAPI_UnregisterClient(clientId);
        return 1;
    }

    while (received < maxMessages) {
        const long long left = deadline - NowMs();
        struct pollfd p;
        unsigned char msg[LAPI_ASYNC_MSG_BUF_LEN];
        int ready;

        if (left <= 0) {
            break;
        }
        p.fd = fd;
        p.events = POLLIN;
        p.revents = 0;
        ready = poll(&p, 1, (int)left);
        if (ready < 0) {
            perror("async_client: poll");
            break;
        }
        if (ready == 0) {
            continue; /* the deadline has come */
        }
        if (LAPI_GetAsyncMsg(clientId, msg) != 0) {
            /* A lost connection destroys the client: its descriptor is gone too. */
            if (LAPI_GetAsyncSocketFd(clientId) < 0) {
                fprintf(stderr, "async_client: connection to the server lost\n");
                return 1;
            }
            continue;
        }
        ++received;
        Dispatch(clientId, msg, allow);
    }

    printf("%ld message(s) received\n", received);
    if (LAPI_UnregisterClient(clientId) != 0) {
        fprintf(stderr, "async_client: unregistering failed\n");
        return 1;
    }
    return 0;
}
