// Merging of the pixels above threshold into hot spots: a lone hot pixel, a
// pair, a 3x3 group or a blob smeared by demosaicing is one defect, reported
// once, at its peak, with a radius that covers all of it.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "config/hot_pixel_map.h"

namespace speckmend {

struct HotSpot {
    cv::Point peak;
    std::int32_t radius = 0;
    float significance = 0.0f;  // at the peak: residual / threshold, above 1
    std::int32_t area = 0;      // pixels above threshold in the spot
};

// `significance`: CV_32FC1, residual over threshold; pixels above 1 are hot.
// `candidates`: every pixel above 1, in any order. Pixels at most two apart
// (one quiet pixel between them) belong to the same spot; pixels in a line's
// band are left to the line. The radius is the distance from the peak to
// the farthest pixel of the spot plus one, rounded up, and at least
// `minRadius`. Spots come in scan order of their peaks. Visited pixels are
// negated in `significance`.
std::vector<HotSpot> mergeHotSpots(cv::Mat& significance, const std::vector<cv::Point>& candidates,
                                   const std::vector<HotLine>& lines, std::int32_t minRadius);

}  // namespace speckmend
