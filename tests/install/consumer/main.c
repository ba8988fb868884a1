/* Links the installed library and calls into it: formats a hex string and checks a
 * registration without a server fails cleanly. */
#include <lapi/lapi.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    const unsigned char bytes[2] = {0x01, 0xab};
    char text[16];
    if (LAPI_FormatHexStr(bytes, 2, text, 0) != 8 || strcmp(text, "0x01ab, ") != 0) {
        printf("consumer: unexpected hex string '%s'\n", text);
        return 1;
    }
    if (sizeof(LAPI_GET_LOCATION_RSP_S) != 114) {
        printf("consumer: unexpected record size\n");
        return 1;
    }
    printf("consumer: ok\n");
    return 0;
}
