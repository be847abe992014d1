// Healing a JPEG photo without re-encoding it: the output is the source file
// with only the coefficient blocks of repaired pixels replaced, built in
// memory from the source's own bytes.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "config/hot_pixel_map.h"

namespace speckmend {

struct LosslessHealResult {
    enum class Outcome { healed, notReadable, badDimension } outcome = Outcome::notReadable;
    std::vector<unsigned char> file;  // the complete output JPEG when healed
    std::string diagnostic;           // libjpeg's message when notReadable (for stderr)
};

// source: the whole input file; map: the hot pixel map, whose size is checked
// against the JPEG's stored size (no orientation applied); range and method as
// in the heal settings. Thread-safe: no globals, may run on several photos at
// once. Never decodes the whole photo. Prints nothing and writes no file.
LosslessHealResult healJpegLosslessly(std::span<const unsigned char> source, const HotPixelMap& map, double range,
                                      int method);

}  // namespace speckmend
