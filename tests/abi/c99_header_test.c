/* The public header as a C99 program sees it: it compiles with -std=c99 -pedantic
 * -Werror, its records have their wire sizes, and a C program links and calls the
 * library. */
#include <lapi/lapi.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stdout, "FAILED: %s\n", what);
        ++failures;
    }
}

int main(void) {
    LAPI_GET_LOCATION_REQ_S req;
    unsigned char data[2] = {0x01, 0xab};
    char hex[16];
    unsigned int n;
    double one = 1.0;

    check(sizeof(LAPI_MSG_HEADER_S) == 8, "header size");
    check(sizeof(LAPI_GET_LOCATION_RSP_S) == 114, "getLocationRsp size");
    check(sizeof(LAPI_GET_GPS_DB_DATA_RSP_S) == 236, "getGpsDbDataRsp size");
    check(offsetof(LAPI_PROXIMITY_HIT_IND_S, ageOfFix) == 102, "proximityHitInd ageOfFix");
    check(LAPI_MSG_PROXIMITY_HIT_IND == 13 && LAPI_MSG_REMOVE_PROXIMITY_REQ == 116, "msgIds");

    /* A double stored into a packed record lands little-endian at its offset. */
    memset(&req, 0, sizeof req);
    req.reportCriteria = LAPI_REPORT_PERIODIC;
    check(((const unsigned char *)&req)[32] == 1, "reportCriteria at offset 32");
    {
        LAPI_DISTANCE_AZIMUTH_REQ_S d;
        const unsigned char expected[8] = {0, 0, 0, 0, 0, 0, 0xf0, 0x3f};
        memcpy((unsigned char *)&d + offsetof(LAPI_DISTANCE_AZIMUTH_REQ_S, latitude1), &one,
               sizeof one);
        check(memcmp((unsigned char *)&d + 12, expected, 8) == 0, "wire double at offset 12");
    }

    n = LAPI_FormatHexStr(data, 2, hex, 0);
    check(n == 8 && strcmp(hex, "0x01ab, ") == 0, "LAPI_FormatHexStr");
    check(LAPI_CLI_IsValidClientId(9) == 1 && LAPI_CLI_IsValidClientId(10) == 0,
          "LAPI_CLI_IsValidClientId");

    if (failures == 0) {
        printf("c99 header test: all checks passed\n");
    }
    return failures == 0 ? 0 : 1;
}
