#include "trace_fuzz_entry.h"

#include <lapi/lapi.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// Present only in sanitizer builds: lets their reports go to the real standard
// error while the trace's own lines are thrown away.
extern "C" void __sanitizer_set_report_fd(void *fd) __attribute__((weak));

namespace lapifuzz {

namespace {

struct Streams {
    int devNull = -1;
    int realStderr = -1;
};

const Streams &Setup() {
    static const Streams s = [] {
        Streams st;
        LAPI_LogApMsgInit();
        st.devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        st.realStderr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        if (st.devNull < 0 || st.realStderr < 0) {
            std::perror("trace fuzz: /dev/null");
            std::abort();
        }
        if (__sanitizer_set_report_fd != nullptr) {
            __sanitizer_set_report_fd(
                reinterpret_cast<void *>(static_cast<intptr_t>(st.realStderr)));
        }
        return st;
    }();
    return s;
}

// Standard error goes to /dev/null while it lives.
class Silence {
  public:
    explicit Silence(const Streams &s) : s_(s) { ::dup2(s_.devNull, STDERR_FILENO); }
    ~Silence() { ::dup2(s_.realStderr, STDERR_FILENO); }
    Silence(const Silence &) = delete;
    Silence &operator=(const Silence &) = delete;

  private:
    const Streams &s_;
};

uint8_t At(const uint8_t *data, size_t size, size_t i) {
    return i < size ? data[i] : 0;
}

}  // namespace

int TraceOne(const uint8_t *data, size_t size) {
    const Streams &streams = Setup();
    const auto side = At(data, size, 0);
    const unsigned declared = At(data, size, 1) | (unsigned{At(data, size, 2)} << 8);
    const auto length = static_cast<size_t>(declared % (kMaxLength + 1));
    const size_t have = size > kPrefixLen ? size - kPrefixLen : 0;

    // Exactly `length` bytes (one byte when the length is 0, so the pointer is real).
    std::unique_ptr<uint8_t[]> msg(new uint8_t[length == 0 ? 1 : length]());
    if (have != 0 && length != 0) {
        std::memcpy(msg.get(), data + kPrefixLen, have < length ? have : length);
    }
    int result = 0;
    {
        Silence quiet(streams);
        result = LAPI_LogApMsg(msg.get(), static_cast<int>(length), side);
    }
    if (result <= 0) {
        std::fprintf(stderr, "trace fuzz: LAPI_LogApMsg(length %zu, side %u) wrote nothing (%d)\n",
                     length, unsigned{side}, result);
        std::abort();
    }
    return result;
}

}  // namespace lapifuzz
