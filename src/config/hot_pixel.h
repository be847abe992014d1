// The hot pixel map as the healing side holds it. The file format, its
// writer and its reader live in detect/hot_pixel_map.h; the data sits here
// because it is part of the run settings record.
#pragma once

#include <cstdint>
#include <vector>

namespace speckmend {

struct HotPixel {
    std::int32_t x = 0;  // column, from 0 at the left edge
    std::int32_t y = 0;  // row, from 0 at the top edge
    std::int32_t r = 0;  // healing radius in pixels, at least 1 once read
};

// A hot column (all pixels with x == position) or hot row (y == position),
// repaired as a band of 2r+1 columns or rows centred on it.
struct HotLine {
    enum class Axis { column, row };
    Axis axis = Axis::column;
    std::int32_t position = 0;
    std::int32_t r = 0;  // at least 0 once read

    bool operator==(const HotLine&) const = default;
};

struct HotPixelMap {
    std::vector<HotPixel> pixels;  // file order, duplicates kept
    std::vector<HotLine> lines;    // columns, then rows, each in file order
    std::int32_t width = 0;
    std::int32_t height = 0;
};

}  // namespace speckmend
