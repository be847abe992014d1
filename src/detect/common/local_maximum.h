// The local-maximum test both detectors use: a pixel whose value is strictly
// greater than that of each of its eight neighbours. A plateau (neighbours
// sharing the highest value) holds no maximum.
//
// The two detectors differ at the frame's edge, and the rule is theirs to
// choose:
// - the histogram detector judges only pixels that have all eight
//   neighbours (EdgeRule::interiorOnly), so a pixel of the outermost rows
//   and columns is never in its map: that is the method as it is defined,
//   and the maps users keep were made by it;
// - the local detector compares a pixel on the edge with the neighbours it
//   has (EdgeRule::neighboursInside): a hot pixel on the sensor's edge is a
//   defect like any other, and heal repairs it there.
#pragma once

#include <initializer_list>

namespace speckmend {

enum class EdgeRule {
    interiorOnly,      // no pixel of the outermost rows and columns is a maximum
    neighboursInside,  // neighbours beyond the edge do not count
};

// `row` holds the values of the pixel's row, `above` and `below` those of the
// rows either side (null beyond the frame's edge), each `width` values; `x`
// is the pixel's column.
inline bool isStrictLocalMaximum(const float* above, const float* row, const float* below, int width, int x,
                                 EdgeRule edge) {
    const bool left = x > 0;
    const bool right = x + 1 < width;
    if (edge == EdgeRule::interiorOnly && !(left && right && above != nullptr && below != nullptr)) return false;
    const float v = row[x];
    if ((left && !(v > row[x - 1])) || (right && !(v > row[x + 1]))) return false;
    for (const float* other : {above, below}) {
        if (other == nullptr) continue;
        if (!(v > other[x]) || (left && !(v > other[x - 1])) || (right && !(v > other[x + 1]))) return false;
    }
    return true;
}

}  // namespace speckmend
