// Image size from the header alone, so that the fuzz targets can skip
// inputs that declare more pixels than a fuzzing run should decode (the
// program itself decodes them; these targets look for faults, not for the
// machine's memory limit).
#pragma once

#include <cstdint>
#include <string>

namespace speckmend::fuzz {

struct DeclaredSize {
    bool known = false;
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint64_t pixels() const { return width * height; }
};

// JPEG through the library's header reader, PNG from its IHDR chunk;
// anything else is unknown.
DeclaredSize declaredSize(const std::string& bytes);

}  // namespace speckmend::fuzz
