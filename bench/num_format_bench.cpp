// Cost of the message trace's number formatting.
//
//   BM_E30_*            one "%.30e" value, over a mix of coordinates,
//                       accuracies, speeds, angles and timestamps
//   BM_LocationRsp_*    a whole getLocationRsp trace line: snprintf per
//                       fragment, as a straightforward writer would, against
//                       the Append* functions with copied literals
//
// At the end it prints the nanoseconds per line both ways and the speed-up.

#include "LAPI_NumFormat.h"
#include "sample_messages.h"

#include <benchmark/benchmark.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

namespace nf = lapi::numfmt;

static_assert(std::endian::native == std::endian::little,
              "the message bodies are read with memcpy as little-endian");

constexpr std::size_t kLineBuf = 1024;
constexpr int kPid = 300;
constexpr int kMsgId = 0;
constexpr int kMsgLen = 106;

// Longest line: 12 doubles, 5 integers, 24 hex bytes and under 400
// characters of labels and separators.
static_assert(12 * nf::kE30MaxChars + 5 * nf::kI32MaxChars + 2 * 24 + 400 < kLineBuf);

using lapibench::Get;
using Message = lapibench::LocationRsp;

// --- The straightforward way: one snprintf per fragment ---------------------

#define LINE_PRINTF(...) \
    pos += std::snprintf(buf + pos, kLineBuf - static_cast<std::size_t>(pos), __VA_ARGS__)

#define LINE_HEX(offset, count)                   \
    do {                                          \
        LINE_PRINTF("0x");                        \
        for (int i = 0; i < (count); ++i) {       \
            LINE_PRINTF("%02x", b[(offset) + i]); \
        }                                         \
        LINE_PRINTF(", ");                        \
    } while (0)

std::size_t ComposeSnprintf(char *buf, const unsigned char *b) {
    int pos = 0;
    LINE_PRINTF("S->C getLocationRsp ");
    LINE_PRINTF("pid: %d, ", kPid);
    LINE_PRINTF("msgId: %d, ", kMsgId);
    LINE_PRINTF("msgLen: %d, ", kMsgLen);
    LINE_PRINTF("sessionId: %d, transactionId: %d, ", b[8], b[9]);
    LINE_PRINTF("longitude: %.30e, ", Get<double>(b + 10));
    LINE_PRINTF("latitude: %.30e, ", Get<double>(b + 18));
    LINE_PRINTF("latLonAccuracy: %.30e, ", Get<double>(b + 26));
    LINE_PRINTF("timeStamp: %.30e, ", static_cast<double>(Get<std::int64_t>(b + 34)));
    LINE_HEX(34, 8);
    LINE_PRINTF("altitude: %.30e, ", Get<double>(b + 42));
    LINE_PRINTF("speed: %.30e, ", Get<double>(b + 50));
    LINE_PRINTF("travelDirection: %.30e, ", Get<double>(b + 58));
    LINE_PRINTF("pointingDirection: %.30e, ", Get<double>(b + 66));
    LINE_PRINTF("horizontalAccuracy: %.30e, ", Get<double>(b + 74));
    LINE_PRINTF("verticalAccuracy: %.30e, ", Get<double>(b + 82));
    LINE_PRINTF("course: %.30e, ", Get<double>(b + 90));
    LINE_PRINTF("locationMethod: %d, ", Get<std::int32_t>(b + 98));
    LINE_HEX(98, 4);
    LINE_PRINTF("cause: %d, ", Get<std::int32_t>(b + 102));
    LINE_HEX(102, 4);
    LINE_PRINTF("ageOfFix: %.30e, ", Get<double>(b + 106));
    LINE_HEX(106, 8);
    return static_cast<std::size_t>(pos);
}

#undef LINE_HEX
#undef LINE_PRINTF

// --- Append* and copied literals ---------------------------------------------

template <std::size_t N>
char *Lit(char *p, const char (&s)[N]) {
    std::memcpy(p, s, N - 1);
    return p + N - 1;
}

char *Hex(char *p, const unsigned char *b, std::size_t n) {
    p = Lit(p, "0x");
    p = nf::AppendHexBytes(p, b, n);
    return Lit(p, ", ");
}

std::size_t ComposeAppend(char *buf, const unsigned char *b) {
    char *p = buf;
    p = Lit(p, "S->C getLocationRsp pid: ");
    p = nf::AppendI32(p, kPid);
    p = Lit(p, ", msgId: ");
    p = nf::AppendI32(p, kMsgId);
    p = Lit(p, ", msgLen: ");
    p = nf::AppendI32(p, kMsgLen);
    p = Lit(p, ", sessionId: ");
    p = nf::AppendI32(p, b[8]);
    p = Lit(p, ", transactionId: ");
    p = nf::AppendI32(p, b[9]);
    p = Lit(p, ", longitude: ");
    p = nf::AppendE30(p, Get<double>(b + 10));
    p = Lit(p, ", latitude: ");
    p = nf::AppendE30(p, Get<double>(b + 18));
    p = Lit(p, ", latLonAccuracy: ");
    p = nf::AppendE30(p, Get<double>(b + 26));
    p = Lit(p, ", timeStamp: ");
    p = nf::AppendE30(p, static_cast<double>(Get<std::int64_t>(b + 34)));
    p = Lit(p, ", ");
    p = Hex(p, b + 34, 8);
    p = Lit(p, "altitude: ");
    p = nf::AppendE30(p, Get<double>(b + 42));
    p = Lit(p, ", speed: ");
    p = nf::AppendE30(p, Get<double>(b + 50));
    p = Lit(p, ", travelDirection: ");
    p = nf::AppendE30(p, Get<double>(b + 58));
    p = Lit(p, ", pointingDirection: ");
    p = nf::AppendE30(p, Get<double>(b + 66));
    p = Lit(p, ", horizontalAccuracy: ");
    p = nf::AppendE30(p, Get<double>(b + 74));
    p = Lit(p, ", verticalAccuracy: ");
    p = nf::AppendE30(p, Get<double>(b + 82));
    p = Lit(p, ", course: ");
    p = nf::AppendE30(p, Get<double>(b + 90));
    p = Lit(p, ", locationMethod: ");
    p = nf::AppendI32(p, Get<std::int32_t>(b + 98));
    p = Lit(p, ", ");
    p = Hex(p, b + 98, 4);
    p = Lit(p, "cause: ");
    p = nf::AppendI32(p, Get<std::int32_t>(b + 102));
    p = Lit(p, ", ");
    p = Hex(p, b + 102, 4);
    p = Lit(p, "ageOfFix: ");
    p = nf::AppendE30(p, Get<double>(b + 106));
    p = Lit(p, ", ");
    p = Hex(p, b + 106, 8);
    return static_cast<std::size_t>(p - buf);
}

// --- Benchmarks ----------------------------------------------------------------

constexpr std::size_t kMessages = 64;

const std::vector<Message> &Messages() {
    static const std::vector<Message> msgs = lapibench::SampleLocationRsps(kMessages, 20240607);
    return msgs;
}

// The doubles of the messages above, in field order.
const std::vector<double> &Values() {
    static const std::vector<double> values = [] {
        std::vector<double> v;
        for (const Message &m : Messages()) {
            for (int off : {10, 18, 26, 42, 50, 58, 66, 74, 82, 90, 106}) {
                v.push_back(Get<double>(m.bytes + off));
            }
            v.push_back(static_cast<double>(Get<std::int64_t>(m.bytes + 34)));
        }
        return v;
    }();
    return values;
}

void BM_E30_Snprintf(benchmark::State &state) {
    const std::vector<double> &values = Values();
    char buf[64];
    std::size_t i = 0;
    for (auto _ : state) {
        int n = std::snprintf(buf, sizeof buf, "%.30e", values[i]);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf);
        i = i + 1 == values.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_E30_Snprintf);

void BM_E30_Append(benchmark::State &state) {
    const std::vector<double> &values = Values();
    char buf[64];
    std::size_t i = 0;
    for (auto _ : state) {
        char *end = nf::AppendE30(buf, values[i]);
        benchmark::DoNotOptimize(end);
        benchmark::DoNotOptimize(buf);
        i = i + 1 == values.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_E30_Append);

void BM_LocationRsp_Snprintf(benchmark::State &state) {
    const std::vector<Message> &msgs = Messages();
    char buf[kLineBuf];
    std::size_t i = 0;
    for (auto _ : state) {
        std::size_t n = ComposeSnprintf(buf, msgs[i].bytes);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf);
        i = i + 1 == msgs.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LocationRsp_Snprintf);

void BM_LocationRsp_Append(benchmark::State &state) {
    const std::vector<Message> &msgs = Messages();
    char buf[kLineBuf];
    std::size_t i = 0;
    for (auto _ : state) {
        std::size_t n = ComposeAppend(buf, msgs[i].bytes);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf);
        i = i + 1 == msgs.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LocationRsp_Append);

// Both compositions must produce the same text, or the comparison is moot.
bool SameLines() {
    for (const Message &m : Messages()) {
        char a[kLineBuf];
        char b[kLineBuf];
        const std::size_t na = ComposeSnprintf(a, m.bytes);
        const std::size_t nb = ComposeAppend(b, m.bytes);
        if (na != nb || std::memcmp(a, b, na) != 0) {
            std::fprintf(stderr, "lines differ:\n  snprintf: %.*s\n  Append:   %.*s\n",
                         static_cast<int>(na), a, static_cast<int>(nb), b);
            return false;
        }
    }
    return true;
}

// Adds up the time per iteration of every run (and repetition) so that main
// can print the ratio.
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

    void PrintRatio(const char *what, const std::string &slow, const std::string &fast) const {
        const auto s = totals_.find(slow);
        const auto f = totals_.find(fast);
        if (s == totals_.end() || f == totals_.end() || f->second.seconds <= 0) {
            return;
        }
        const double slow_ns = s->second.seconds * 1e9 / s->second.iterations;
        const double fast_ns = f->second.seconds * 1e9 / f->second.iterations;
        std::printf("%s: snprintf %.1f ns, Append %.1f ns, speed-up %.1fx\n", what, slow_ns,
                    fast_ns, slow_ns / fast_ns);
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
    if (!SameLines()) {
        return 1;
    }
    char line[kLineBuf];
    const std::size_t n = ComposeAppend(line, Messages()[0].bytes);
    std::printf("sample line (%zu chars): %.*s\n", n, static_cast<int>(n), line);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio("%.30e value", "BM_E30_Snprintf", "BM_E30_Append");
    reporter.PrintRatio("getLocationRsp line", "BM_LocationRsp_Snprintf", "BM_LocationRsp_Append");
    benchmark::Shutdown();
    return 0;
}
