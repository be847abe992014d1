// A closer look at the spots too large for one disc (HotSpot::needsShaping).
//
// A hot site is sharp: it stands above the pixels two away from it by most
// of its height, even demosaiced and saved as JPEG. Stray light is smooth:
// a glint (a reflection inside the camera) or a light leak brightens a blob
// or a sweep of pixels that each stand only a little above their
// neighbours. So such a spot's significance is split, over a patch around
// it, into its smooth part (the median over 5x5 pixels, which a hot group of
// up to 3x3 cannot move) and its sharp part (the rest). The pixels whose
// sharp part stands above the threshold and holds most of their height are
// the hot pixels in the spot (a hot pixel lit on top of a glint weaker than
// itself among them), merged again
// into spots and, where those are still too wide (several defects chained
// together), split into discs no wider than kMaxSpotRadius. The smooth part,
// where it stands above half the threshold, is one blob: a glint, or a leak
// when it is larger than a glint or runs into the frame's edge. Blobs go to
// the rejected, never into the map.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <opencv2/core.hpp>

#include "detect/common/findings.h"
#include "detect/local/hot_spots.h"

namespace speckmend {

// The significance of the frame over `area` (inside the frame), CV_32FC1.
using SignificancePatch = std::function<cv::Mat(const cv::Rect& area)>;

struct StrayLight {
    cv::Point peak;       // of its smooth part
    std::int32_t radius;  // half its width at half its height
    Rejection kind;       // glint or leak
};

struct ShapedSpots {
    std::vector<HotSpot> spots;  // every spot with a radius of at most kMaxSpotRadius
    std::vector<StrayLight> strayLight;
    // Small spots that stand above their threshold only with the smooth
    // rise they sit on (the median 4 to 6 pixels out reaches a quarter of
    // the threshold, and the peak stands less than the threshold above it):
    // noise on the flank of a leak or glint, or of a glow that falls off
    // faster than the block medians follow.
    std::vector<HotSpot> risen;
};

// Spots that need no shaping pass as they are, or go to `risen`; the
// others are looked at as above. `frame`: the frame's size; `minRadius` as
// for mergeHotSpots.
ShapedSpots shapeSpots(std::vector<HotSpot> spots, const SignificancePatch& patch, cv::Size frame,
                       std::int32_t minRadius);

// Risen spots as blobs of stray light: those within 24 pixels of each
// other are one, at the strongest, as wide as they spread; a leak when it
// comes within 8 pixels of the frame's edge or is wider than a glint.
std::vector<StrayLight> blobsOf(std::vector<HotSpot> risen, cv::Size frame);

// A glint's half width at half height above which smooth light is called a
// leak.
inline constexpr std::int32_t kWidestGlint = 16;

}  // namespace speckmend
