// The local-maximum test: a pixel whose value is strictly greater than that
// of each of its eight neighbours. A plateau (neighbours sharing the highest
// value) holds no maximum.
//
// Detectors differ at the frame's edge, and the rule is theirs to choose:
// - the histogram detector judges only pixels that have all eight
//   neighbours (EdgeRule::interiorOnly; its scan has the same test inline,
//   fused with its threshold), so a pixel of the outermost rows and columns
//   is never in its map: that is the method as it is defined, and the maps
//   users keep were made by it;
// - the local detector compares a pixel on the edge with the neighbours it
//   has (EdgeRule::neighboursInside): a hot pixel on the sensor's edge is a
//   defect like any other, and heal repairs it there.
#pragma once

namespace speckmend {

enum class EdgeRule {
    interiorOnly,      // no pixel of the outermost rows and columns is a maximum
    neighboursInside,  // neighbours beyond the edge do not count
};

// `row` holds the values of the pixel's row, `above` and `below` those of the
// rows either side (null beyond the frame's edge), each `width` values; `x`
// is the pixel's column. Out of line: the scans call it for the few pixels
// that stand out, and their loops over every pixel stay tight.
bool isStrictLocalMaximum(const float* above, const float* row, const float* below, int width, int x, EdgeRule edge);

}  // namespace speckmend
