/*
 * lapi.h - client interface of the location service.
 *
 * An application registers with the location server, then asks for position fixes,
 * status, GPS database entries, distance and azimuth, proximity listeners and answers
 * network-initiated location requests. The library computes nothing itself: every
 * call becomes one message to the location server on the Unix-domain socket
 * LAPI_SOCKET_PATH.
 *
 * Conventions of every function below:
 *  - Results: 0 (or a clientId, or a descriptor) on success, -1 on failure. Every
 *    failure writes at least one error line on standard error; every message sent or
 *    received writes one trace line there.
 *  - Buffers belong to the caller. Request calls take the whole message, header
 *    included, in the caller's request buffer: the caller fills the body, the call
 *    writes the header (pid, msgId, msgLen) and the mode field. The library keeps no
 *    reference to any buffer after a call returns.
 *  - Mode: LAPI_BLOCK waits for the server's next message on the synchronous
 *    connection and places it, header included, in the response buffer (which must
 *    hold the call's response limit); LAPI_NONBLOCK only sends, and the answer
 *    arrives on the asynchronous descriptor (LAPI_GetAsyncSocketFd), to be read with
 *    LAPI_GetAsyncMsg. A result of 0 in LAPI_BLOCK mode means that a message arrived:
 *    the caller reads its msgId to learn which.
 *  - Threads: any thread may call. A client is used by one call at a time; a second
 *    call on the same clientId fails at once with -1 instead of waiting.
 *  - Wire records are packed and little-endian. Multi-byte fields stand at any
 *    offset: copy them out (memcpy) rather than taking their address.
 */
#ifndef LAPI_LAPI_H
#define LAPI_LAPI_H

#include <stddef.h>
#include <stdint.h>

#if defined(__BYTE_ORDER__) && (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__)
#error "lapi.h: the wire records are declared for little-endian hosts"
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define LAPI_EXPORT __attribute__((visibility("default")))
#else
#define LAPI_EXPORT
#endif

#if defined(__cplusplus)
#define LAPI_STATIC_ASSERT(cond, name) static_assert(cond, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define LAPI_STATIC_ASSERT(cond, name) _Static_assert(cond, #name)
#else
#define LAPI_STATIC_ASSERT(cond, name) typedef char lapi_static_assert_##name[(cond) ? 1 : -1]
#endif

/* ---------------------------------------------------------------------------------
 * Constants
 * ------------------------------------------------------------------------------- */

#define LAPI_SOCKET_PATH "/tmp/lapisock"

#define LAPI_BLOCK 1u    /* wait for the answer on the synchronous connection */
#define LAPI_NONBLOCK 0u /* send only; the answer arrives on the async connection */

#define LAPI_SERVICE_MOLR 1u   /* position fixes, distance/azimuth, proximity */
#define LAPI_SERVICE_MTLR 2u   /* network-initiated location requests */
#define LAPI_SERVICE_STATUS 4u /* status and GPS database */
#define LAPI_SERVICE_MASK 7u

#define LAPI_CLI_MAX_CLIENTS 10

#define LAPI_REPORT_PERIODIC 1 /* reportCriteria of a periodic getLocationReq */

#define LAPI_GPS_DB_MAX_FILES 22
#define LAPI_GPS_DB_MAX_DATA_LEN 4

/* Size of the buffer that LAPI_GetAsyncMsg fills (the largest message the library
 * accepts on the asynchronous connection). */
#define LAPI_ASYNC_MSG_BUF_LEN 256

/* Message identifiers. Requests and registration use 100..116, the server's
 * responses and indications 0..13. */
typedef enum LAPI_MSG_ID_E {
    /* server range */
    LAPI_MSG_GET_LOCATION_RSP = 0,
    LAPI_MSG_ABORT_LOCATION_RSP = 1,
    LAPI_MSG_TIME_OUT_RSP = 2,
    LAPI_MSG_INVALID_REQUEST_RSP = 3,
    LAPI_MSG_GET_GPS_DB_DATA_RSP = 4,
    LAPI_MSG_SET_GPS_DB_DATA_RSP = 5,
    LAPI_MSG_GET_STATUS_RSP = 6,
    LAPI_MSG_STATUS_CHANGE_IND = 7,
    LAPI_MSG_LOCATION_NOTIFICATION_IND = 8,
    LAPI_MSG_NOTIFICATION_STATUS_IND = 9,
    LAPI_MSG_DISTANCE_AZIMUTH_RSP = 10,
    LAPI_MSG_ADD_PROXIMITY_RSP = 11,
    LAPI_MSG_REMOVE_PROXIMITY_RSP = 12,
    LAPI_MSG_PROXIMITY_HIT_IND = 13,
    /* request range */
    LAPI_MSG_REGISTER_REQ = 100,
    LAPI_MSG_REGISTER_RSP = 101,
    LAPI_MSG_GET_ASYNC_FD_REQ = 102,
    LAPI_MSG_GET_ASYNC_FD_RSP = 103,
    LAPI_MSG_UNREGISTER_REQ = 104,
    LAPI_MSG_UNREGISTER_RSP = 105,
    LAPI_MSG_GET_LOCATION_REQ = 106,
    LAPI_MSG_ABORT_LOCATION_REQ = 107,
    LAPI_MSG_ABORT_ALL_LOCATION_REQ = 108,
    LAPI_MSG_LAST_KNOWN_LOCATION_REQ = 109,
    LAPI_MSG_GET_GPS_DB_DATA_REQ = 110,
    LAPI_MSG_SET_GPS_DB_DATA_REQ = 111,
    LAPI_MSG_GET_STATUS_REQ = 112,
    LAPI_MSG_LOCATION_NOTIFICATION_CFM = 113,
    LAPI_MSG_DISTANCE_AZIMUTH_REQ = 114,
    LAPI_MSG_ADD_PROXIMITY_REQ = 115,
    LAPI_MSG_REMOVE_PROXIMITY_REQ = 116
} LAPI_MSG_ID_E;

#define LAPI_MSG_SERVER_RANGE_LAST 13
#define LAPI_MSG_REQUEST_RANGE_FIRST 100
#define LAPI_MSG_REQUEST_RANGE_LAST 116

/* ---------------------------------------------------------------------------------
 * Wire records. Every message is the 8-byte header followed by msgLen body bytes.
 * ------------------------------------------------------------------------------- */

#pragma pack(push, 1)

typedef struct LAPI_MSG_HEADER_S {
    int32_t pid;     /* process id of the sender */
    uint16_t msgId;  /* LAPI_MSG_ID_E */
    uint16_t msgLen; /* number of body bytes after the header */
} LAPI_MSG_HEADER_S;

/* Registration (built and read by the library itself). */
typedef struct LAPI_REGISTER_REQ_S {
    LAPI_MSG_HEADER_S header;
    uint32_t service;
} LAPI_REGISTER_REQ_S;

typedef struct LAPI_REGISTER_RSP_S {
    LAPI_MSG_HEADER_S header;
    int32_t globalId;
} LAPI_REGISTER_RSP_S;

typedef struct LAPI_GET_ASYNC_FD_REQ_S {
    LAPI_MSG_HEADER_S header;
    int32_t globalId;
} LAPI_GET_ASYNC_FD_REQ_S;

typedef struct LAPI_GET_ASYNC_FD_RSP_S {
    LAPI_MSG_HEADER_S header;
} LAPI_GET_ASYNC_FD_RSP_S;

typedef struct LAPI_UNREGISTER_REQ_S {
    LAPI_MSG_HEADER_S header;
} LAPI_UNREGISTER_REQ_S;

typedef struct LAPI_UNREGISTER_RSP_S {
    LAPI_MSG_HEADER_S header;
} LAPI_UNREGISTER_RSP_S;

/* Location (LAPI_SERVICE_MOLR). */
typedef struct LAPI_GET_LOCATION_REQ_S {
    LAPI_MSG_HEADER_S header;
    uint16_t mode; /* written by the library */
    uint8_t sessionId;
    uint8_t transactionId;
    int32_t responseTime;
    int32_t horizontalAccuracy;
    int32_t verticalAccuracy;
    int32_t preferredPowerConsumption;
    int32_t interval;
    int32_t reportCriteria; /* LAPI_REPORT_PERIODIC: periodic reports (LAPI_NONBLOCK only) */
    uint8_t costAllowed;
    uint8_t addressInfoRequired;
    uint8_t speedAndCourseRequired;
    uint8_t altitudeRequired;
} LAPI_GET_LOCATION_REQ_S;

typedef struct LAPI_ABORT_LOCATION_REQ_S {
    LAPI_MSG_HEADER_S header;
    uint16_t mode;
    uint8_t sessionId;
    uint8_t transactionId;
} LAPI_ABORT_LOCATION_REQ_S;

typedef struct LAPI_ABORT_ALL_LOCATION_REQ_S {
    LAPI_MSG_HEADER_S header;
} LAPI_ABORT_ALL_LOCATION_REQ_S;

typedef LAPI_ABORT_LOCATION_REQ_S LAPI_LAST_KNOWN_LOCATION_REQ_S;

typedef struct LAPI_GET_LOCATION_RSP_S {
    LAPI_MSG_HEADER_S header;
    uint8_t sessionId;
    uint8_t transactionId;
    double longitude;
    double latitude;
    double latLonAccuracy;
    int64_t timeStamp;
    double altitude;
    double speed;
    double travelDirection;
    double pointingDirection;
    double horizontalAccuracy;
    double verticalAccuracy;
    double course;
    int32_t locationMethod;
    int32_t cause;
    double ageOfFix;
} LAPI_GET_LOCATION_RSP_S;

typedef struct LAPI_ABORT_LOCATION_RSP_S {
    LAPI_MSG_HEADER_S header;
    uint8_t sessionId;
    uint8_t transactionId;
    int32_t result;
} LAPI_ABORT_LOCATION_RSP_S;

typedef struct LAPI_TIME_OUT_RSP_S {
    LAPI_MSG_HEADER_S header;
    uint8_t sessionId;
    uint8_t transactionId;
} LAPI_TIME_OUT_RSP_S;

typedef LAPI_TIME_OUT_RSP_S LAPI_INVALID_REQUEST_RSP_S;

/* Status and GPS database (LAPI_SERVICE_STATUS). */
typedef struct LAPI_GPS_DB_FILE_S {
    uint32_t fileId;
    uint16_t length; /* meaningful bytes of data, 1..LAPI_GPS_DB_MAX_DATA_LEN */
    uint8_t data[LAPI_GPS_DB_MAX_DATA_LEN];
} LAPI_GPS_DB_FILE_S;

typedef struct LAPI_FIX_RESULT_STATUS_S {
    int32_t status;
    int32_t cause;
} LAPI_FIX_RESULT_STATUS_S;

typedef struct LAPI_GET_GPS_DB_DATA_REQ_S {
    LAPI_MSG_HEADER_S header;
    uint16_t mode;
    uint8_t sessionId;
    uint8_t transactionId;
    uint32_t fileId;
} LAPI_GET_GPS_DB_DATA_REQ_S;

typedef struct LAPI_SET_GPS_DB_DATA_REQ_S {
    LAPI_MSG_HEADER_S header;
    uint16_t mode;
    uint8_t sessionId;
    uint8_t transactionId;
    uint16_t numFiles; /* 1..LAPI_GPS_DB_MAX_FILES */
    LAPI_GPS_DB_FILE_S dbFile[LAPI_GPS_DB_MAX_FILES];
} LAPI_SET_GPS_DB_DATA_REQ_S;

typedef LAPI_ABORT_LOCATION_REQ_S LAPI_GET_STATUS_REQ_S;

typedef struct LAPI_GET_GPS_DB_DATA_RSP_S {
    LAPI_MSG_HEADER_S header;
    uint8_t sessionId;
    uint8_t transactionId;
    uint16_t numFiles;
    LAPI_GPS_DB_FILE_S dbFile[LAPI_GPS_DB_MAX_FILES];
    int32_t result;
} LAPI_GET_GPS_DB_DATA_RSP_S;

typedef LAPI_ABORT_LOCATION_RSP_S LAPI_SET_GPS_DB_DATA_RSP_S;

typedef struct LAPI_GET_STATUS_RSP_S {
    LAPI_MSG_HEADER_S header;
    uint8_t sessionId;
    uint8_t transactionId;
    int32_t userStatus;
    int32_t hwStatus;
    int32_t fixStatus;
    int32_t emergencyStatus;
    LAPI_FIX_RESULT_STATUS_S fixResultStatus;
    int32_t proximityStatus;
} LAPI_GET_STATUS_RSP_S;

typedef LAPI_GET_STATUS_RSP_S LAPI_STATUS_CHANGE_IND_S;

/* Network-initiated location (LAPI_SERVICE_MTLR). */
#define LAPI_MTLR_MAX_NAME_LEN 100
#define LAPI_MTLR_MAX_ADDR_LEN 100

typedef struct LAPI_LOCATION_NOTIFICATION_IND_S {
    LAPI_MSG_HEADER_S header;
    uint8_t sessionId;
    uint8_t transactionId;
    int32_t notificationType;
    int32_t locationType;
    uint8_t dataCodingSchema;
    uint8_t nameLength; /* valid bytes of clientName */
    uint8_t clientName[LAPI_MTLR_MAX_NAME_LEN];
    uint8_t addrLength; /* valid bytes of clientExternalAddr */
    uint8_t clientExternalAddr[LAPI_MTLR_MAX_ADDR_LEN];
} LAPI_LOCATION_NOTIFICATION_IND_S;

typedef struct LAPI_NOTIFICATION_STATUS_IND_S {
    LAPI_MSG_HEADER_S header;
    uint8_t sessionId;
    uint8_t transactionId;
    int32_t cause;
} LAPI_NOTIFICATION_STATUS_IND_S;

typedef struct LAPI_LOCATION_NOTIFICATION_CFM_S {
    LAPI_MSG_HEADER_S header;
    uint8_t sessionId; /* as in the locationNotificationInd answered */
    uint8_t transactionId;
    int32_t responseType;
} LAPI_LOCATION_NOTIFICATION_CFM_S;

/* Distance, azimuth and proximity (LAPI_SERVICE_MOLR). */
typedef struct LAPI_DISTANCE_AZIMUTH_REQ_S {
    LAPI_MSG_HEADER_S header;
    uint16_t mode;
    uint8_t sessionId;
    uint8_t transactionId;
    double latitude1;
    double longitude1;
    double latitude2;
    double longitude2;
    uint8_t distanceOnly;
} LAPI_DISTANCE_AZIMUTH_REQ_S;

typedef struct LAPI_ADD_PROXIMITY_REQ_S {
    LAPI_MSG_HEADER_S header;
    uint16_t mode;
    uint8_t sessionId;
    uint8_t transactionId;
    double latitude;
    double longitude;
    double altitude;
    double radius;
} LAPI_ADD_PROXIMITY_REQ_S;

typedef struct LAPI_REMOVE_PROXIMITY_REQ_S {
    LAPI_MSG_HEADER_S header;
    uint16_t mode;
    uint8_t sessionId;
    uint8_t transactionId;
    int32_t removeType;
} LAPI_REMOVE_PROXIMITY_REQ_S;

typedef struct LAPI_DISTANCE_AZIMUTH_RSP_S {
    LAPI_MSG_HEADER_S header;
    uint8_t sessionId;
    uint8_t transactionId;
    double distance;
    double azimuth;
} LAPI_DISTANCE_AZIMUTH_RSP_S;

typedef struct LAPI_ADD_PROXIMITY_RSP_S {
    LAPI_MSG_HEADER_S header;
    uint8_t sessionId;
    uint8_t transactionId;
    int32_t status;
} LAPI_ADD_PROXIMITY_RSP_S;

typedef LAPI_ADD_PROXIMITY_RSP_S LAPI_REMOVE_PROXIMITY_RSP_S;

typedef struct LAPI_PROXIMITY_HIT_IND_S {
    LAPI_MSG_HEADER_S header;
    uint8_t sessionId;
    uint8_t transactionId;
    double longitude;
    double latitude;
    double latLonAccuracy;
    int64_t timeStamp;
    double altitude;
    double speed;
    double travelDirection;
    double pointingDirection;
    double horizontalAccuracy;
    double verticalAccuracy;
    double course;
    int32_t locationMethod;
    double ageOfFix;
} LAPI_PROXIMITY_HIT_IND_S;

#pragma pack(pop)

/* ---------------------------------------------------------------------------------
 * Record sizes and offsets (the wire layout; a change here breaks every peer).
 * ------------------------------------------------------------------------------- */

#define LAPI_CHECK_SIZE(rec, n) LAPI_STATIC_ASSERT(sizeof(rec) == (n), size_##rec)
#define LAPI_CHECK_OFFSET(rec, field, off, tag) \
    LAPI_STATIC_ASSERT(offsetof(rec, field) == (off), offset_##rec##_##tag)

LAPI_CHECK_SIZE(LAPI_MSG_HEADER_S, 8);
LAPI_CHECK_OFFSET(LAPI_MSG_HEADER_S, pid, 0, pid);
LAPI_CHECK_OFFSET(LAPI_MSG_HEADER_S, msgId, 4, msgId);
LAPI_CHECK_OFFSET(LAPI_MSG_HEADER_S, msgLen, 6, msgLen);

LAPI_CHECK_SIZE(LAPI_REGISTER_REQ_S, 12);
LAPI_CHECK_OFFSET(LAPI_REGISTER_REQ_S, service, 8, service);
LAPI_CHECK_SIZE(LAPI_REGISTER_RSP_S, 12);
LAPI_CHECK_OFFSET(LAPI_REGISTER_RSP_S, globalId, 8, globalId);
LAPI_CHECK_SIZE(LAPI_GET_ASYNC_FD_REQ_S, 12);
LAPI_CHECK_OFFSET(LAPI_GET_ASYNC_FD_REQ_S, globalId, 8, globalId);
LAPI_CHECK_SIZE(LAPI_GET_ASYNC_FD_RSP_S, 8);
LAPI_CHECK_SIZE(LAPI_UNREGISTER_REQ_S, 8);
LAPI_CHECK_SIZE(LAPI_UNREGISTER_RSP_S, 8);

LAPI_CHECK_SIZE(LAPI_GET_LOCATION_REQ_S, 40);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_REQ_S, mode, 8, mode);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_REQ_S, sessionId, 10, sessionId);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_REQ_S, transactionId, 11, transactionId);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_REQ_S, responseTime, 12, responseTime);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_REQ_S, horizontalAccuracy, 16, horizontalAccuracy);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_REQ_S, verticalAccuracy, 20, verticalAccuracy);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_REQ_S, preferredPowerConsumption, 24, power);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_REQ_S, interval, 28, interval);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_REQ_S, reportCriteria, 32, reportCriteria);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_REQ_S, costAllowed, 36, costAllowed);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_REQ_S, addressInfoRequired, 37, addressInfoRequired);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_REQ_S, speedAndCourseRequired, 38, speedAndCourse);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_REQ_S, altitudeRequired, 39, altitudeRequired);

LAPI_CHECK_SIZE(LAPI_ABORT_LOCATION_REQ_S, 12);
LAPI_CHECK_OFFSET(LAPI_ABORT_LOCATION_REQ_S, mode, 8, mode);
LAPI_CHECK_OFFSET(LAPI_ABORT_LOCATION_REQ_S, sessionId, 10, sessionId);
LAPI_CHECK_OFFSET(LAPI_ABORT_LOCATION_REQ_S, transactionId, 11, transactionId);
LAPI_CHECK_SIZE(LAPI_ABORT_ALL_LOCATION_REQ_S, 8);

LAPI_CHECK_SIZE(LAPI_GET_LOCATION_RSP_S, 114);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_RSP_S, sessionId, 8, sessionId);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_RSP_S, transactionId, 9, transactionId);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_RSP_S, longitude, 10, longitude);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_RSP_S, latitude, 18, latitude);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_RSP_S, latLonAccuracy, 26, latLonAccuracy);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_RSP_S, timeStamp, 34, timeStamp);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_RSP_S, altitude, 42, altitude);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_RSP_S, speed, 50, speed);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_RSP_S, travelDirection, 58, travelDirection);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_RSP_S, pointingDirection, 66, pointingDirection);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_RSP_S, horizontalAccuracy, 74, horizontalAccuracy);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_RSP_S, verticalAccuracy, 82, verticalAccuracy);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_RSP_S, course, 90, course);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_RSP_S, locationMethod, 98, locationMethod);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_RSP_S, cause, 102, cause);
LAPI_CHECK_OFFSET(LAPI_GET_LOCATION_RSP_S, ageOfFix, 106, ageOfFix);

LAPI_CHECK_SIZE(LAPI_ABORT_LOCATION_RSP_S, 14);
LAPI_CHECK_OFFSET(LAPI_ABORT_LOCATION_RSP_S, sessionId, 8, sessionId);
LAPI_CHECK_OFFSET(LAPI_ABORT_LOCATION_RSP_S, transactionId, 9, transactionId);
LAPI_CHECK_OFFSET(LAPI_ABORT_LOCATION_RSP_S, result, 10, result);
LAPI_CHECK_SIZE(LAPI_TIME_OUT_RSP_S, 10);
LAPI_CHECK_OFFSET(LAPI_TIME_OUT_RSP_S, sessionId, 8, sessionId);
LAPI_CHECK_OFFSET(LAPI_TIME_OUT_RSP_S, transactionId, 9, transactionId);

LAPI_CHECK_SIZE(LAPI_GPS_DB_FILE_S, 10);
LAPI_CHECK_OFFSET(LAPI_GPS_DB_FILE_S, fileId, 0, fileId);
LAPI_CHECK_OFFSET(LAPI_GPS_DB_FILE_S, length, 4, length);
LAPI_CHECK_OFFSET(LAPI_GPS_DB_FILE_S, data, 6, data);
LAPI_CHECK_SIZE(LAPI_FIX_RESULT_STATUS_S, 8);
LAPI_CHECK_OFFSET(LAPI_FIX_RESULT_STATUS_S, status, 0, status);
LAPI_CHECK_OFFSET(LAPI_FIX_RESULT_STATUS_S, cause, 4, cause);

LAPI_CHECK_SIZE(LAPI_GET_GPS_DB_DATA_REQ_S, 16);
LAPI_CHECK_OFFSET(LAPI_GET_GPS_DB_DATA_REQ_S, mode, 8, mode);
LAPI_CHECK_OFFSET(LAPI_GET_GPS_DB_DATA_REQ_S, sessionId, 10, sessionId);
LAPI_CHECK_OFFSET(LAPI_GET_GPS_DB_DATA_REQ_S, transactionId, 11, transactionId);
LAPI_CHECK_OFFSET(LAPI_GET_GPS_DB_DATA_REQ_S, fileId, 12, fileId);

LAPI_CHECK_SIZE(LAPI_SET_GPS_DB_DATA_REQ_S, 234);
LAPI_CHECK_OFFSET(LAPI_SET_GPS_DB_DATA_REQ_S, mode, 8, mode);
LAPI_CHECK_OFFSET(LAPI_SET_GPS_DB_DATA_REQ_S, sessionId, 10, sessionId);
LAPI_CHECK_OFFSET(LAPI_SET_GPS_DB_DATA_REQ_S, transactionId, 11, transactionId);
LAPI_CHECK_OFFSET(LAPI_SET_GPS_DB_DATA_REQ_S, numFiles, 12, numFiles);
LAPI_CHECK_OFFSET(LAPI_SET_GPS_DB_DATA_REQ_S, dbFile, 14, dbFile);
LAPI_CHECK_OFFSET(LAPI_SET_GPS_DB_DATA_REQ_S, dbFile[1].length, 28, dbFile1_length);
LAPI_CHECK_OFFSET(LAPI_SET_GPS_DB_DATA_REQ_S, dbFile[21].data, 230, dbFile21_data);

LAPI_CHECK_SIZE(LAPI_GET_GPS_DB_DATA_RSP_S, 236);
LAPI_CHECK_OFFSET(LAPI_GET_GPS_DB_DATA_RSP_S, sessionId, 8, sessionId);
LAPI_CHECK_OFFSET(LAPI_GET_GPS_DB_DATA_RSP_S, transactionId, 9, transactionId);
LAPI_CHECK_OFFSET(LAPI_GET_GPS_DB_DATA_RSP_S, numFiles, 10, numFiles);
LAPI_CHECK_OFFSET(LAPI_GET_GPS_DB_DATA_RSP_S, dbFile, 12, dbFile);
LAPI_CHECK_OFFSET(LAPI_GET_GPS_DB_DATA_RSP_S, dbFile[1].length, 26, dbFile1_length);
LAPI_CHECK_OFFSET(LAPI_GET_GPS_DB_DATA_RSP_S, dbFile[21].data, 228, dbFile21_data);
LAPI_CHECK_OFFSET(LAPI_GET_GPS_DB_DATA_RSP_S, result, 232, result);

LAPI_CHECK_SIZE(LAPI_GET_STATUS_RSP_S, 38);
LAPI_CHECK_OFFSET(LAPI_GET_STATUS_RSP_S, sessionId, 8, sessionId);
LAPI_CHECK_OFFSET(LAPI_GET_STATUS_RSP_S, transactionId, 9, transactionId);
LAPI_CHECK_OFFSET(LAPI_GET_STATUS_RSP_S, userStatus, 10, userStatus);
LAPI_CHECK_OFFSET(LAPI_GET_STATUS_RSP_S, hwStatus, 14, hwStatus);
LAPI_CHECK_OFFSET(LAPI_GET_STATUS_RSP_S, fixStatus, 18, fixStatus);
LAPI_CHECK_OFFSET(LAPI_GET_STATUS_RSP_S, emergencyStatus, 22, emergencyStatus);
LAPI_CHECK_OFFSET(LAPI_GET_STATUS_RSP_S, fixResultStatus.status, 26, fixResultStatus_status);
LAPI_CHECK_OFFSET(LAPI_GET_STATUS_RSP_S, fixResultStatus.cause, 30, fixResultStatus_cause);
LAPI_CHECK_OFFSET(LAPI_GET_STATUS_RSP_S, proximityStatus, 34, proximityStatus);

LAPI_CHECK_SIZE(LAPI_LOCATION_NOTIFICATION_IND_S, 221);
LAPI_CHECK_OFFSET(LAPI_LOCATION_NOTIFICATION_IND_S, sessionId, 8, sessionId);
LAPI_CHECK_OFFSET(LAPI_LOCATION_NOTIFICATION_IND_S, transactionId, 9, transactionId);
LAPI_CHECK_OFFSET(LAPI_LOCATION_NOTIFICATION_IND_S, notificationType, 10, notificationType);
LAPI_CHECK_OFFSET(LAPI_LOCATION_NOTIFICATION_IND_S, locationType, 14, locationType);
LAPI_CHECK_OFFSET(LAPI_LOCATION_NOTIFICATION_IND_S, dataCodingSchema, 18, dataCodingSchema);
LAPI_CHECK_OFFSET(LAPI_LOCATION_NOTIFICATION_IND_S, nameLength, 19, nameLength);
LAPI_CHECK_OFFSET(LAPI_LOCATION_NOTIFICATION_IND_S, clientName, 20, clientName);
LAPI_CHECK_OFFSET(LAPI_LOCATION_NOTIFICATION_IND_S, addrLength, 120, addrLength);
LAPI_CHECK_OFFSET(LAPI_LOCATION_NOTIFICATION_IND_S, clientExternalAddr, 121, clientExternalAddr);

LAPI_CHECK_SIZE(LAPI_NOTIFICATION_STATUS_IND_S, 14);
LAPI_CHECK_OFFSET(LAPI_NOTIFICATION_STATUS_IND_S, sessionId, 8, sessionId);
LAPI_CHECK_OFFSET(LAPI_NOTIFICATION_STATUS_IND_S, transactionId, 9, transactionId);
LAPI_CHECK_OFFSET(LAPI_NOTIFICATION_STATUS_IND_S, cause, 10, cause);

LAPI_CHECK_SIZE(LAPI_LOCATION_NOTIFICATION_CFM_S, 14);
LAPI_CHECK_OFFSET(LAPI_LOCATION_NOTIFICATION_CFM_S, sessionId, 8, sessionId);
LAPI_CHECK_OFFSET(LAPI_LOCATION_NOTIFICATION_CFM_S, transactionId, 9, transactionId);
LAPI_CHECK_OFFSET(LAPI_LOCATION_NOTIFICATION_CFM_S, responseType, 10, responseType);

LAPI_CHECK_SIZE(LAPI_DISTANCE_AZIMUTH_REQ_S, 45);
LAPI_CHECK_OFFSET(LAPI_DISTANCE_AZIMUTH_REQ_S, mode, 8, mode);
LAPI_CHECK_OFFSET(LAPI_DISTANCE_AZIMUTH_REQ_S, sessionId, 10, sessionId);
LAPI_CHECK_OFFSET(LAPI_DISTANCE_AZIMUTH_REQ_S, transactionId, 11, transactionId);
LAPI_CHECK_OFFSET(LAPI_DISTANCE_AZIMUTH_REQ_S, latitude1, 12, latitude1);
LAPI_CHECK_OFFSET(LAPI_DISTANCE_AZIMUTH_REQ_S, longitude1, 20, longitude1);
LAPI_CHECK_OFFSET(LAPI_DISTANCE_AZIMUTH_REQ_S, latitude2, 28, latitude2);
LAPI_CHECK_OFFSET(LAPI_DISTANCE_AZIMUTH_REQ_S, longitude2, 36, longitude2);
LAPI_CHECK_OFFSET(LAPI_DISTANCE_AZIMUTH_REQ_S, distanceOnly, 44, distanceOnly);

LAPI_CHECK_SIZE(LAPI_ADD_PROXIMITY_REQ_S, 44);
LAPI_CHECK_OFFSET(LAPI_ADD_PROXIMITY_REQ_S, mode, 8, mode);
LAPI_CHECK_OFFSET(LAPI_ADD_PROXIMITY_REQ_S, sessionId, 10, sessionId);
LAPI_CHECK_OFFSET(LAPI_ADD_PROXIMITY_REQ_S, transactionId, 11, transactionId);
LAPI_CHECK_OFFSET(LAPI_ADD_PROXIMITY_REQ_S, latitude, 12, latitude);
LAPI_CHECK_OFFSET(LAPI_ADD_PROXIMITY_REQ_S, longitude, 20, longitude);
LAPI_CHECK_OFFSET(LAPI_ADD_PROXIMITY_REQ_S, altitude, 28, altitude);
LAPI_CHECK_OFFSET(LAPI_ADD_PROXIMITY_REQ_S, radius, 36, radius);

LAPI_CHECK_SIZE(LAPI_REMOVE_PROXIMITY_REQ_S, 16);
LAPI_CHECK_OFFSET(LAPI_REMOVE_PROXIMITY_REQ_S, mode, 8, mode);
LAPI_CHECK_OFFSET(LAPI_REMOVE_PROXIMITY_REQ_S, sessionId, 10, sessionId);
LAPI_CHECK_OFFSET(LAPI_REMOVE_PROXIMITY_REQ_S, transactionId, 11, transactionId);
LAPI_CHECK_OFFSET(LAPI_REMOVE_PROXIMITY_REQ_S, removeType, 12, removeType);

LAPI_CHECK_SIZE(LAPI_DISTANCE_AZIMUTH_RSP_S, 26);
LAPI_CHECK_OFFSET(LAPI_DISTANCE_AZIMUTH_RSP_S, sessionId, 8, sessionId);
LAPI_CHECK_OFFSET(LAPI_DISTANCE_AZIMUTH_RSP_S, transactionId, 9, transactionId);
LAPI_CHECK_OFFSET(LAPI_DISTANCE_AZIMUTH_RSP_S, distance, 10, distance);
LAPI_CHECK_OFFSET(LAPI_DISTANCE_AZIMUTH_RSP_S, azimuth, 18, azimuth);

LAPI_CHECK_SIZE(LAPI_ADD_PROXIMITY_RSP_S, 14);
LAPI_CHECK_OFFSET(LAPI_ADD_PROXIMITY_RSP_S, sessionId, 8, sessionId);
LAPI_CHECK_OFFSET(LAPI_ADD_PROXIMITY_RSP_S, transactionId, 9, transactionId);
LAPI_CHECK_OFFSET(LAPI_ADD_PROXIMITY_RSP_S, status, 10, status);

LAPI_CHECK_SIZE(LAPI_PROXIMITY_HIT_IND_S, 110);
LAPI_CHECK_OFFSET(LAPI_PROXIMITY_HIT_IND_S, sessionId, 8, sessionId);
LAPI_CHECK_OFFSET(LAPI_PROXIMITY_HIT_IND_S, transactionId, 9, transactionId);
LAPI_CHECK_OFFSET(LAPI_PROXIMITY_HIT_IND_S, longitude, 10, longitude);
LAPI_CHECK_OFFSET(LAPI_PROXIMITY_HIT_IND_S, latitude, 18, latitude);
LAPI_CHECK_OFFSET(LAPI_PROXIMITY_HIT_IND_S, latLonAccuracy, 26, latLonAccuracy);
LAPI_CHECK_OFFSET(LAPI_PROXIMITY_HIT_IND_S, timeStamp, 34, timeStamp);
LAPI_CHECK_OFFSET(LAPI_PROXIMITY_HIT_IND_S, altitude, 42, altitude);
LAPI_CHECK_OFFSET(LAPI_PROXIMITY_HIT_IND_S, speed, 50, speed);
LAPI_CHECK_OFFSET(LAPI_PROXIMITY_HIT_IND_S, travelDirection, 58, travelDirection);
LAPI_CHECK_OFFSET(LAPI_PROXIMITY_HIT_IND_S, pointingDirection, 66, pointingDirection);
LAPI_CHECK_OFFSET(LAPI_PROXIMITY_HIT_IND_S, horizontalAccuracy, 74, horizontalAccuracy);
LAPI_CHECK_OFFSET(LAPI_PROXIMITY_HIT_IND_S, verticalAccuracy, 82, verticalAccuracy);
LAPI_CHECK_OFFSET(LAPI_PROXIMITY_HIT_IND_S, course, 90, course);
LAPI_CHECK_OFFSET(LAPI_PROXIMITY_HIT_IND_S, locationMethod, 98, locationMethod);
LAPI_CHECK_OFFSET(LAPI_PROXIMITY_HIT_IND_S, ageOfFix, 102, ageOfFix);

#undef LAPI_CHECK_SIZE
#undef LAPI_CHECK_OFFSET

/* ---------------------------------------------------------------------------------
 * Client registry record.
 * ------------------------------------------------------------------------------- */

typedef struct LAPI_CLIENT_NODE_S {
    int32_t globalId; /* the server's identifier of this client */
    int32_t syncFd;   /* requests and their LAPI_BLOCK responses */
    int32_t asyncFd;  /* everything the server pushes */
    uint32_t service; /* registered LAPI_SERVICE_* bits */
} LAPI_CLIENT_NODE_S;

/* ---------------------------------------------------------------------------------
 * Registration
 * ------------------------------------------------------------------------------- */

/* Registers with the location server for the given LAPI_SERVICE_* bits (bits outside
 * LAPI_SERVICE_MASK are ignored; at least one must remain). Returns the clientId,
 * 0..9, or -1. */
LAPI_EXPORT int LAPI_RegisterClient(unsigned int service);

/* Ends the client: tells the server, closes both connections. 0 once the client has
 * left the registry, -1 if the clientId names no idle client. */
LAPI_EXPORT int LAPI_UnregisterClient(int clientId);

/* The asynchronous descriptor to watch with select/poll; do not close it. */
LAPI_EXPORT int LAPI_GetAsyncSocketFd(int clientId);

/* Descriptor helpers. LAPI_CloseFd ignores negative descriptors; LAPI_SetFdBlock
 * makes fd blocking (block != 0) or non-blocking and returns the result of fcntl. */
LAPI_EXPORT void LAPI_CloseFd(int fd);
LAPI_EXPORT int LAPI_SetFdBlock(int fd, unsigned char block);

/* ---------------------------------------------------------------------------------
 * Requests. Each sends the request at pReq (header and mode written by the call) on
 * the synchronous connection; in LAPI_BLOCK mode it then places the server's next
 * message in pRsp, which must hold the response limit given with each call. pRsp may
 * be NULL in LAPI_NONBLOCK mode.
 *
 * Result 0 in LAPI_BLOCK mode says that a message arrived, not that the request
 * succeeded: dispatch on the msgId in pRsp's header. Each call below lists what lapid
 * places there ("Block:"); every answer carries the request's sessionId and
 * transactionId. Any server may also answer invalidRequestRsp (10 bytes, it fits every
 * limit); lapid does so only where listed. The same messages arrive on the
 * asynchronous connection in LAPI_NONBLOCK mode.
 *
 * Result -1 comes in two kinds:
 *  - refused before sending (an argument, a checked field, a service not registered,
 *    the client busy in another call): nothing was sent, the client is unchanged;
 *  - a transport failure (the error line says "Fail to send ..." or "Fail to receive
 *    ...": the server closed the connection, or its answer did not fit the limit):
 *    the library has ended the client, both connections closed. Its clientId is no
 *    longer valid (later calls fail, LAPI_UnregisterClient included): register again.
 *    pRsp may hold part of a message.
 * ------------------------------------------------------------------------------- */

/* Location (LAPI_SERVICE_MOLR). Response limit 114 bytes (LAPI_AbortLocationRequest:
 * 14). getLocationRsp.cause: 0 a fix that meets the request, 1 no fix, 2 a periodic
 * report whose fix is less accurate than asked, 3 refused: the client has 8 sessions,
 * 4 refused: one of its sessions has this sessionId. Without a fix (1, 3, 4) the fix
 * fields are 0 and ageOfFix is -1.
 *
 * LAPI_GetLocation          Block: getLocationRsp, cause 0 with the first fix that meets
 *                           horizontalAccuracy (0: any), or cause 3 or 4. timeOutRsp: no
 *                           such fix within responseTime seconds (at once for 0). A
 *                           periodic request (reportCriteria LAPI_REPORT_PERIODIC) is
 *                           LAPI_NONBLOCK only: a report (getLocationRsp, cause 0, 1 or 2)
 *                           every interval seconds until aborted.
 * LAPI_AbortLocationRequest Block: abortLocationRsp, result 0 aborted (the request sends
 *                           nothing more), 1 no session with this sessionId.
 * LAPI_AbortAllLocationRequest  sends only; nothing is answered.
 * LAPI_GetLastKnownLocation Block: getLocationRsp, cause 0 with the last fix seen and
 *                           its ageOfFix, or cause 1 when there has been none. */
LAPI_EXPORT int LAPI_GetLocation(int clientId, unsigned char mode, LAPI_GET_LOCATION_REQ_S *pReq,
                                 void *pRsp);
LAPI_EXPORT int LAPI_AbortLocationRequest(int clientId, unsigned char mode,
                                          LAPI_ABORT_LOCATION_REQ_S *pReq, void *pRsp);
LAPI_EXPORT int LAPI_AbortAllLocationRequest(int clientId); /* sends only */
LAPI_EXPORT int LAPI_GetLastKnownLocation(int clientId, unsigned char mode,
                                          LAPI_LAST_KNOWN_LOCATION_REQ_S *pReq, void *pRsp);

/* Status and GPS database (LAPI_SERVICE_STATUS). Response limits: 38, 236 and 14
 * bytes.
 *
 * LAPI_GetStatus            Block: getStatusRsp, the current status values.
 * LAPI_GetGpsDatabaseData   Block: getGpsDbDataRsp, result 0 with the entry in
 *                           dbFile[0] (numFiles 1), -1 no entry for fileId (numFiles
 *                           0), -4 storage error.
 * LAPI_SetGpsDatabaseData   Block: setGpsDbDataRsp, result 0 every entry stored, -4
 *                           storage error (nothing changed). The call refuses a numFiles
 *                           outside 1..22 and an element length outside 1..4 without
 *                           sending. */
LAPI_EXPORT int LAPI_GetStatus(int clientId, unsigned char mode, LAPI_GET_STATUS_REQ_S *pReq,
                               void *pRsp);
LAPI_EXPORT int LAPI_GetGpsDatabaseData(int clientId, unsigned char mode,
                                        LAPI_GET_GPS_DB_DATA_REQ_S *pReq, void *pRsp);
LAPI_EXPORT int LAPI_SetGpsDatabaseData(int clientId, unsigned char mode,
                                        LAPI_SET_GPS_DB_DATA_REQ_S *pReq, void *pRsp);

/* Network-initiated location (LAPI_SERVICE_MTLR): answers a locationNotificationInd
 * read with LAPI_GetAsyncMsg. The caller fills sessionId, transactionId and
 * responseType (0 allow, 1 deny).
 *
 * LAPI_LocationVerify       sends only; nothing is answered. When the answer settles
 *                           the request, notificationStatusInd follows on the
 *                           asynchronous connection; an answer lapid refuses (late,
 *                           repeated, unknown ids, another responseType) gets nothing. */
LAPI_EXPORT int LAPI_LocationVerify(int clientId, LAPI_LOCATION_NOTIFICATION_CFM_S *pCfm);

/* Distance, azimuth and proximity (LAPI_SERVICE_MOLR). Response limits: 26, 14 and 14
 * bytes. Hits arrive as proximityHitInd on the asynchronous connection.
 *
 * LAPI_CalculateDistanceAzimuth  Block: distanceAzimuthRsp (azimuth 0 with
 *                           distanceOnly). invalidRequestRsp: a coordinate is NaN or
 *                           infinite, or |latitude| > 90.
 * LAPI_AddProximityListener Block: addProximityRsp, status 0 added, -1 invalid circle,
 *                           -2 the client already has 16 listeners.
 * LAPI_RemoveProximityListener  Block: removeProximityRsp, status 0 removed, -3 no
 *                           listener matched, -4 removeType < 0. */
LAPI_EXPORT int LAPI_CalculateDistanceAzimuth(int clientId, unsigned char mode,
                                              LAPI_DISTANCE_AZIMUTH_REQ_S *pReq, void *pRsp);
LAPI_EXPORT int LAPI_AddProximityListener(int clientId, unsigned char mode,
                                          LAPI_ADD_PROXIMITY_REQ_S *pReq, void *pRsp);
LAPI_EXPORT int LAPI_RemoveProximityListener(int clientId, unsigned char mode,
                                             LAPI_REMOVE_PROXIMITY_REQ_S *pReq, void *pRsp);

/* Reads one message that the server pushed on the asynchronous connection into pMsg,
 * which must hold LAPI_ASYNC_MSG_BUF_LEN bytes. Does not wait: -1 when nothing is
 * pending. Call it when the descriptor of LAPI_GetAsyncSocketFd is readable. A failed
 * receive ("Fail to receive async msg": the server closed the connection) is a
 * transport failure and ends the client, as with the requests above. */
LAPI_EXPORT int LAPI_GetAsyncMsg(int clientId, void *pMsg);

/* ---------------------------------------------------------------------------------
 * Registry (used by the library itself; exported for the server and for tests)
 * ------------------------------------------------------------------------------- */

LAPI_EXPORT void LAPI_CLI_GlobalInit(void);
LAPI_EXPORT int LAPI_CLI_AddClientNode(LAPI_CLIENT_NODE_S *pClientNode);
LAPI_EXPORT LAPI_CLIENT_NODE_S *LAPI_CLI_RemoveClientNode(int clientId);
LAPI_EXPORT LAPI_CLIENT_NODE_S *LAPI_CLI_GetClientNodeById(int clientId);
LAPI_EXPORT int LAPI_CLI_PutClientNodeById(int clientId);
LAPI_EXPORT int LAPI_CLI_DestroyClientNode(int clientId);
LAPI_EXPORT int LAPI_CLI_GetAsyncFd(int clientId);
LAPI_EXPORT int LAPI_CLI_IsValidClientId(int clientId);
LAPI_EXPORT int LAPI_CLI_IsValidMode(unsigned char mode);
LAPI_EXPORT int LAPI_CLI_IsValidParameter(int clientId, unsigned char mode, const void *pReq,
                                          const void *pRsp);

/* ---------------------------------------------------------------------------------
 * Message trace. side: 0 writes "CLI" lines, any other value "SRV" lines.
 * ------------------------------------------------------------------------------- */

LAPI_EXPORT void LAPI_LogApMsgInit(void);
LAPI_EXPORT int LAPI_LogApMsg(const void *pBuf, int length, unsigned char side);
LAPI_EXPORT unsigned int LAPI_LogApMsgHeader(const LAPI_MSG_HEADER_S *pMsgHeader, char *pBuf,
                                             unsigned char side);
LAPI_EXPORT unsigned int LAPI_FormatHexStr(const unsigned char *pData, int length, char *pBuf,
                                           unsigned char side);
LAPI_EXPORT void LAPI_DebugHex(const unsigned char *pData, int length, unsigned char side);

/* One trace procedure per message: checks msgId and msgLen of the whole message at
 * pMsgHeader and writes its trace line. */
#define LAPI_DECLARE_TRACE(name) \
    LAPI_EXPORT int LAPI_Log##name(const LAPI_MSG_HEADER_S *pMsgHeader, unsigned char side)
LAPI_DECLARE_TRACE(RegisterReq);
LAPI_DECLARE_TRACE(RegisterRsp);
LAPI_DECLARE_TRACE(GetAsyncFdReq);
LAPI_DECLARE_TRACE(GetAsyncFdRsp);
LAPI_DECLARE_TRACE(UnregisterReq);
LAPI_DECLARE_TRACE(UnregisterRsp);
LAPI_DECLARE_TRACE(GetLocationReq);
LAPI_DECLARE_TRACE(AbortLocationReq);
LAPI_DECLARE_TRACE(AbortAllLocationReq);
LAPI_DECLARE_TRACE(LastKnownLocationReq);
LAPI_DECLARE_TRACE(GetGpsDbDataReq);
LAPI_DECLARE_TRACE(SetGpsDbDataReq);
LAPI_DECLARE_TRACE(GetStatusReq);
LAPI_DECLARE_TRACE(LocationNotificationCfm);
LAPI_DECLARE_TRACE(DistanceAzimuthReq);
LAPI_DECLARE_TRACE(AddProximityReq);
LAPI_DECLARE_TRACE(RemoveProximityReq);
LAPI_DECLARE_TRACE(GetLocationRsp);
LAPI_DECLARE_TRACE(AbortLocationRsp);
LAPI_DECLARE_TRACE(TimeOutRsp);
LAPI_DECLARE_TRACE(InvalidRequestRsp);
LAPI_DECLARE_TRACE(GetGpsDbDataRsp);
LAPI_DECLARE_TRACE(SetGpsDbDataRsp);
LAPI_DECLARE_TRACE(GetStatusRsp);
LAPI_DECLARE_TRACE(StatusChangeInd);
LAPI_DECLARE_TRACE(LocationNotificationInd);
LAPI_DECLARE_TRACE(NotificationStatusInd);
LAPI_DECLARE_TRACE(DistanceAzimuthRsp);
LAPI_DECLARE_TRACE(AddProximityRsp);
LAPI_DECLARE_TRACE(RemoveProximityRsp);
LAPI_DECLARE_TRACE(ProximityHitInd);
#undef LAPI_DECLARE_TRACE

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* LAPI_LAPI_H */
