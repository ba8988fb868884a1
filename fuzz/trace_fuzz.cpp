// libFuzzer target: any bytes, any length from 0 to 300, through LAPI_LogApMsg.
#include <cstddef>
#include <cstdint>

#include "trace_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    lapifuzz::TraceOne(data, size);
    return 0;
}
