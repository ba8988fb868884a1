// Runs saved fuzz inputs through the same entry as the fuzz target, so that the
// corpus (seeds and every input that once crashed) is replayed by every build.
//
//   trace_fuzz_replay PATH...   each PATH a file or a directory of files
//
// Exits 0 when every input ran, 1 when a path could not be read or held no input;
// a crash is the failure the replay looks for.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "trace_fuzz_entry.h"

namespace {

namespace fs = std::filesystem;

bool RunFile(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "trace_fuzz_replay: cannot read %s\n", p.c_str());
        return false;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    lapifuzz::TraceOne(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return true;
}

bool Replay(const fs::path &p, size_t &ran) {
    if (!RunFile(p)) {
        return false;
    }
    ++ran;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: trace_fuzz_replay PATH...\n");
        return 1;
    }
    size_t ran = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            std::vector<fs::path> files;
            for (const auto &entry : fs::directory_iterator(arg, ec)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
            std::sort(files.begin(), files.end());
            for (const fs::path &f : files) {
                ok = Replay(f, ran) && ok;
            }
        } else {
            ok = Replay(arg, ran) && ok;
        }
        if (ec) {
            std::fprintf(stderr, "trace_fuzz_replay: %s: %s\n", argv[i], ec.message().c_str());
            ok = false;
        }
    }
    std::printf("trace_fuzz_replay: %zu inputs replayed\n", ran);
    if (ran == 0) {
        std::fprintf(stderr, "trace_fuzz_replay: no input found\n");
        return 1;
    }
    return ok ? 0 : 1;
}
