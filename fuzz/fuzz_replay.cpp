// Runs saved fuzz inputs through a fuzz target's LLVMFuzzerTestOneInput, so that a
// target's corpus (seeds and every input that once failed) is replayed by every
// build. Linked with the target's source instead of libFuzzer.
//
//   <target>_replay PATH...   each PATH a file or a directory of files
//
// Exits 0 when every input ran, 1 when a path could not be read or held no input; a
// crash or an abort of the target is the failure the replay looks for.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

namespace fs = std::filesystem;

bool RunFile(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "fuzz replay: cannot read %s\n", p.c_str());
        return false;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    size_t ran = 0;
    bool ok = argc > 1;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        std::vector<fs::path> files;
        if (fs::is_directory(argv[i], ec)) {
            for (const auto &entry : fs::directory_iterator(argv[i], ec)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
            std::sort(files.begin(), files.end());
        } else {
            files.emplace_back(argv[i]);
        }
        for (const fs::path &f : files) {
            ok = RunFile(f) && ok;
            ++ran;
        }
        if (ec) {
            std::fprintf(stderr, "fuzz replay: %s: %s\n", argv[i], ec.message().c_str());
            ok = false;
        }
    }
    std::printf("fuzz replay: %zu inputs replayed\n", ran);
    return ok && ran != 0 ? 0 : 1;
}
