// What every fuzz target shares: a scratch folder of its own, a silenced
// standard output (the readers echo every value), and small file helpers.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace speckmend::fuzz {

// Sends standard output to /dev/null for the rest of the process; libFuzzer
// reports on standard error, which stays.
inline void silenceStandardOutput() {
    std::fflush(stdout);
    const int sink = open("/dev/null", O_WRONLY);
    if (sink >= 0) {
        dup2(sink, STDOUT_FILENO);
        close(sink);
    }
}

// A folder under /tmp for the whole fuzzing process, removed at exit. Made
// once; the targets empty what they need between inputs.
inline const std::filesystem::path& scratchFolder() {
    static const std::filesystem::path folder = [] {
        char pattern[] = "/tmp/speckmend-fuzz-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratchFolder(), ignored);
        });
        return std::filesystem::path(pattern);
    }();
    return folder;
}

inline void writeBytes(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();
}

inline std::string readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Splits the input at the first occurrence of `separator`: the part before
// and the part after (empty when the separator is absent).
inline std::pair<std::string_view, std::string_view> splitAt(std::string_view input, std::string_view separator) {
    const std::size_t at = input.find(separator);
    if (at == std::string_view::npos) return {input, {}};
    return {input.substr(0, at), input.substr(at + separator.size())};
}

// A broken invariant of the program (an original changed, a file written
// outside the output folder): stop here so that libFuzzer keeps the input.
[[noreturn]] inline void invariantBroken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

}  // namespace speckmend::fuzz
