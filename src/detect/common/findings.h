// What a detector found, in the form the outputs of a run take it: the spots
// and lines that go into the map, and the candidates it did not take, which
// the check sheet shows beside them.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "config/hot_pixel_map.h"

namespace speckmend {

// Why a candidate was not taken, in the word the check sheet gives it.
enum class Rejection {
    none,       // taken
    weak,       // below its threshold
    neighbour,  // in the shadow of a much stronger spot nearby, `cause`
    glint,      // a smooth blob a few pixels wide: stray light, no hot pixel
    leak,       // a smooth brightening larger than a glint, or coming in from the frame's edge
};

struct Finding {
    cv::Point peak;
    std::int32_t radius = 0;    // a glint's or leak's: half its width at half its height
    float strength = 0.0f;      // DN above the background at the peak (in its strongest channel)
    float significance = 0.0f;  // strength over the detector's threshold there; 0 where it has none
    std::int32_t area = 0;      // pixels above threshold in the spot
    Rejection reason = Rejection::none;
    cv::Point cause{-1, -1};  // the stronger neighbour of a `neighbour`
};

struct Findings {
    std::vector<Finding> spots;     // scan order of the peaks
    std::vector<HotLine> lines;     // columns from the left, then rows from the top
    std::vector<Finding> rejected;  // strongest first
};

}  // namespace speckmend
