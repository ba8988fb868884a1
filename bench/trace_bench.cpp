// Cost of tracing one getLocationRsp, the longest line the library writes for
// every position fix.
//
//   BM_Trace_Lapi       LAPI_LogGetLocationRsp: the line composed by the trace and
//                       written to standard error
//   BM_Trace_Snprintf   the same line composed with one snprintf per fragment, as a
//                       straightforward writer would, and written the same way (one
//                       write to standard error)
//   BM_WriteOnly        the write of a line of that length alone: the floor of both
//
// Standard error is /dev/null while the benchmarks run. Before running, the
// program checks that both ways write byte-identical lines; at the end it prints
// the nanoseconds per line both ways and the speed-up.

#include <lapi/lapi.h>

#include "sample_messages.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kLineBuf = 1024;
constexpr std::size_t kMessages = 64;

using lapibench::Get;
using Message = lapibench::LocationRsp;

const std::vector<Message> &Messages() {
    static const std::vector<Message> msgs =
        lapibench::SampleLocationRsps(kMessages, 0x7472616365u);
    return msgs;
}

const LAPI_MSG_HEADER_S *Header(const Message &m) {
    return reinterpret_cast<const LAPI_MSG_HEADER_S *>(m.bytes);
}

// --- The reference: one snprintf per fragment ---------------------------------

// Where the trace says its line comes from ("LAPI_SrvCli.cpp" and the line number),
// read from a line the trace wrote.
struct Origin {
    char file[64] = "";
    int line = 0;
};
Origin g_origin;

#define FRAG(...) \
    pos += std::snprintf(text + pos, kLineBuf - static_cast<std::size_t>(pos), __VA_ARGS__)
#define HEX(offset, count)                  \
    do {                                    \
        FRAG("0x");                         \
        for (int i = 0; i < (count); ++i) { \
            FRAG("%02x", b[(offset) + i]);  \
        }                                   \
        FRAG(", ");                         \
    } while (0)

int TraceSnprintf(const unsigned char *b) {
    char text[kLineBuf];
    int pos = 0;
    FRAG("S->C getLocationRsp ");
    FRAG("pid: %d, ", Get<std::int32_t>(b));
    FRAG("msgId: %d, ", Get<std::uint16_t>(b + 4));
    FRAG("msgLen: %d, ", Get<std::uint16_t>(b + 6));
    FRAG("sessionId: %d, transactionId: %d, ", b[8], b[9]);
    FRAG("longitude: %.30e, ", Get<double>(b + 10));
    FRAG("latitude: %.30e, ", Get<double>(b + 18));
    FRAG("latLonAccuracy: %.30e, ", Get<double>(b + 26));
    FRAG("timeStamp: %.30e, ", static_cast<double>(Get<std::int64_t>(b + 34)));
    HEX(34, 8);
    FRAG("altitude: %.30e, ", Get<double>(b + 42));
    FRAG("speed: %.30e, ", Get<double>(b + 50));
    FRAG("travelDirection: %.30e, ", Get<double>(b + 58));
    FRAG("pointingDirection: %.30e, ", Get<double>(b + 66));
    FRAG("horizontalAccuracy: %.30e, ", Get<double>(b + 74));
    FRAG("verticalAccuracy: %.30e, ", Get<double>(b + 82));
    FRAG("course: %.30e, ", Get<double>(b + 90));
    FRAG("locationMethod: %d, ", Get<std::int32_t>(b + 98));
    HEX(98, 4);
    FRAG("cause: %d, ", Get<std::int32_t>(b + 102));
    HEX(102, 4);
    FRAG("ageOfFix: %.30e, ", Get<double>(b + 106));
    HEX(106, 8);

    char line[kLineBuf + 128];
    const int n =
        std::snprintf(line, sizeof line, "{%d} %s:%d, %s()\tLAPI %s : %s\n", 4, g_origin.file,
                      g_origin.line, "LAPI_LogGetLocationRsp", "CLI", text);
    return static_cast<int>(::write(STDERR_FILENO, line, static_cast<std::size_t>(n)));
}

#undef HEX
#undef FRAG

// --- Standard error --------------------------------------------------------------

// Points descriptor 2 at fd while it lives.
class Stderr {
  public:
    explicit Stderr(int fd) : saved_(::dup(STDERR_FILENO)) { ::dup2(fd, STDERR_FILENO); }
    ~Stderr() {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    Stderr(const Stderr &) = delete;
    Stderr &operator=(const Stderr &) = delete;

  private:
    int saved_;
};

// What call writes to standard error.
template <typename F>
std::string Written(F &&call) {
    std::FILE *tmp = std::tmpfile();
    if (tmp == nullptr) {
        return "";
    }
    {
        Stderr to(::fileno(tmp));
        call();
    }
    std::string out;
    char buf[4096];
    ::lseek(::fileno(tmp), 0, SEEK_SET);
    for (ssize_t n; (n = ::read(::fileno(tmp), buf, sizeof buf)) > 0;) {
        out.append(buf, static_cast<std::size_t>(n));
    }
    std::fclose(tmp);
    return out;
}

// Reads the origin from a line of the trace, then checks that the reference
// writes the very same line for every message.
bool SameLines() {
    const std::string first = Written([] { LAPI_LogGetLocationRsp(Header(Messages()[0]), 0); });
    if (std::sscanf(first.c_str(), "{4} %63[^:]:%d,", g_origin.file, &g_origin.line) != 2) {
        std::fprintf(stderr, "unexpected trace line: %s", first.c_str());
        return false;
    }
    for (const Message &m : Messages()) {
        const std::string lapi = Written([&] { LAPI_LogGetLocationRsp(Header(m), 0); });
        const std::string ref = Written([&] { TraceSnprintf(m.bytes); });
        if (lapi != ref || lapi.empty()) {
            std::fprintf(stderr, "lines differ:\n  trace:    %s  snprintf: %s", lapi.c_str(),
                         ref.c_str());
            return false;
        }
    }
    std::printf("sample line (%zu bytes): %s", first.size(), first.c_str());
    return true;
}

// --- Benchmarks ------------------------------------------------------------------

void BM_Trace_Lapi(benchmark::State &state) {
    const std::vector<Message> &msgs = Messages();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(LAPI_LogGetLocationRsp(Header(msgs[i]), 0));
        i = i + 1 == msgs.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Trace_Lapi);

void BM_Trace_Snprintf(benchmark::State &state) {
    const std::vector<Message> &msgs = Messages();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(TraceSnprintf(msgs[i].bytes));
        i = i + 1 == msgs.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Trace_Snprintf);

void BM_WriteOnly(benchmark::State &state) {
    const std::string line(900, 'x');
    for (auto _ : state) {
        benchmark::DoNotOptimize(::write(STDERR_FILENO, line.data(), line.size()));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteOnly);

// Adds up the time per iteration of every run so that main can print the ratio.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                Total &t = totals_[run.benchmark_name()];
                t.seconds += run.real_accumulated_time;
                t.iterations += static_cast<double>(run.iterations);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double NsPerIteration(const std::string &name) const {
        const auto it = totals_.find(name);
        return it == totals_.end() || it->second.iterations <= 0
                   ? 0
                   : it->second.seconds * 1e9 / it->second.iterations;
    }

  private:
    struct Total {
        double seconds = 0;
        double iterations = 0;
    };
    std::map<std::string, Total> totals_;
};

}  // namespace

int main(int argc, char **argv) {
    LAPI_LogApMsgInit();
    if (!SameLines()) {
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    SummaryReporter reporter;
    reporter.SetErrorStream(&std::cout);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull < 0) {
        std::perror("/dev/null");
        return 1;
    }
    {
        Stderr quiet(devNull);
        benchmark::RunSpecifiedBenchmarks(&reporter);
    }
    ::close(devNull);

    const double lapi = reporter.NsPerIteration("BM_Trace_Lapi");
    const double ref = reporter.NsPerIteration("BM_Trace_Snprintf");
    const double write = reporter.NsPerIteration("BM_WriteOnly");
    if (lapi > 0 && ref > 0) {
        std::printf(
            "getLocationRsp trace line: snprintf %.1f ns, LAPI_LogGetLocationRsp %.1f ns, "
            "speed-up %.1fx\n",
            ref, lapi, ref / lapi);
        if (write > 0 && write < lapi) {
            std::printf(
                "without the write (%.1f ns): snprintf %.1f ns, trace %.1f ns, "
                "speed-up %.1fx\n",
                write, ref - write, lapi - write, (ref - write) / (lapi - write));
        }
    }
    benchmark::Shutdown();
    return 0;
}
