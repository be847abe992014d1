// Hot columns and rows: a column (row) of which most pixels stand above
// their threshold is one defect, mapped as one line instead of hundreds of
// hot pixels.
#pragma once

#include <cstdint>
#include <vector>

#include "config/hot_pixel_map.h"

namespace speckmend {

// `counts[i]`: how many pixels of column (row) i are above their threshold,
// out of `length`. Columns whose count exceeds `share` of the length are hot;
// neighbouring hot columns make one line, centred on them, whose band of
// 2r+1 covers them all and at least one column either side of a single one.
std::vector<HotLine> groupHotLines(const std::vector<std::int32_t>& counts, std::int32_t length, HotLine::Axis axis,
                                   double share = 0.5);

// Whether (x, y) lies in the band of one of the lines.
bool inLineBand(const std::vector<HotLine>& lines, int x, int y);

}  // namespace speckmend
