// A stand-in for libFuzzer's driver, so that a fuzz target builds with g++ as
// a plain program that replays kept inputs: each argument is a file, or a
// folder whose regular files are fed in name order, to LLVMFuzzerTestOneInput
// one at a time. A target that finds a fault aborts or traps, which ends this
// program with that signal; the replay passed when it prints its count and
// returns 0.
//
//   <target>_replay FILE|FOLDER...
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Not every target has one; a weak declaration leaves it null then.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

namespace fs = std::filesystem;

// Missing arguments are an error: a replay that finds nothing to feed must
// not pass as if its inputs had been checked.
bool collect(const fs::path& argument, std::vector<fs::path>& inputs) {
    std::error_code error;
    if (fs::is_regular_file(argument, error)) {
        inputs.push_back(argument);
        return true;
    }
    if (!fs::is_directory(argument, error)) return false;
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(argument, error)) {
        if (entry.is_regular_file(error)) found.push_back(entry.path());
    }
    if (error) return false;
    std::sort(found.begin(), found.end());
    inputs.insert(inputs.end(), found.begin(), found.end());
    return true;
}

bool readWhole(const fs::path& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!collect(argv[i], inputs)) {
            std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
            return 2;
        }
    }
    // The targets silence standard output here, so every report below goes
    // to standard error.
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);

    std::vector<std::uint8_t> bytes;
    for (const auto& input : inputs) {
        if (!readWhole(input, bytes)) {
            std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
            return 2;
        }
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", input.c_str(), bytes.size());
        // libFuzzer hands an empty input as a valid pointer too.
        static const std::uint8_t none = 0;
        LLVMFuzzerTestOneInput(bytes.empty() ? &none : bytes.data(), bytes.size());
    }
    std::fprintf(stderr, "replay: %zu input(s) passed\n", inputs.size());
    return 0;
}
