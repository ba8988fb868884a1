// lapid's diagnostic lines: the library's error and trace line writers with the SRV
// side tag. Each source file that logs defines
//     static constexpr const char *kLapiFile = LAPI_BaseName(__FILE__);
#pragma once

#include "LAPI_SrvCli.h"

// "{0} FILE:LINE\tLAPI Error SRV FUNC: TEXT"
#define LAPID_ERR(...) LAPI_ERR(LAPI_SIDE_SRV, __VA_ARGS__)
// "{4} FILE:LINE, FUNC()\tLAPI SRV : TEXT", for events that are not messages.
#define LAPID_INFO(...) \
    LAPI_WriteTraceLineF(LAPI_SIDE_SRV, kLapiFile, __LINE__, __func__, __VA_ARGS__)
// One trace line for a message read or written.
#define LAPID_TRACE_MSG(bytes, size) LAPI_LogApMsg((bytes), static_cast<int>(size), LAPI_SIDE_SRV)
