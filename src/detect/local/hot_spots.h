// Merging of the pixels above threshold into hot spots: a lone hot pixel, a
// pair, a 3x3 group or a blob smeared by demosaicing is one defect, reported
// once, at its peak, with a radius that covers all of it. And telling the
// faint spots that JPEG ringing leaves around a strong one from defects.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "config/hot_pixel_map.h"

namespace speckmend {

// A pixel above its threshold: its residual over that threshold, above 1.
struct SpotCandidate {
    cv::Point at;
    float significance = 0.0f;
};

// The widest spot one disc may repair: anything wider is a line, a blob of
// stray light or several defects (spot_shapes.h), never one disc.
inline constexpr std::int32_t kMaxSpotRadius = 16;
// The most pixels at half a spot's peak that a hot site or group has, even
// demosaiced (a 3x3 group spreads over 5x5); more make a blob to look at.
inline constexpr std::int32_t kLargestCore = 25;
// A hot site or group, demosaiced and saved as JPEG, reaches no farther
// than this; a spot that does is looked at too (a hot pixel on a glint
// weaker than itself has a core of one and the glint's width).
inline constexpr std::int32_t kWidestPlainSpot = 8;

struct HotSpot {
    cv::Point peak;
    std::int32_t radius = 0;
    float significance = 0.0f;  // at the peak: residual / threshold, above 1
    std::int32_t area = 0;      // pixels above threshold in the spot
    std::int32_t core = 0;      // of them, those at half the peak's significance or more
    // Every pixel of a spot wider than kWidestPlainSpot or with a core
    // larger than kLargestCore, for a closer look; empty for the others.
    std::vector<SpotCandidate> members;

    bool needsShaping() const { return radius > kWidestPlainSpot || core > kLargestCore; }
};

// Pixels at most two apart (one quiet pixel between them) belong to the
// same spot; pixels in a line's band are left to the line. A spot's peak is
// its most significant pixel (the first in scan order among equals); its
// radius is the distance from the peak to its farthest pixel of at least a
// tenth of the peak's significance, plus one, rounded up, and at least
// `minRadius`. Spots come in scan order of their
// peaks; the candidates may come in any order, each position once.
std::vector<HotSpot> mergeHotSpots(const std::vector<SpotCandidate>& candidates, const std::vector<HotLine>& lines,
                                   std::int32_t minRadius);

// Which spots stand in the shadow of a much stronger one: within `reach`
// pixels of a spot at least `ratio` times as strong. A strong hot pixel in a
// JPEG dark frame rings over its 8- and 16-pixel blocks, and the ringing
// shows as faint spots around it that are no defects of the sensor.
// `strengths[i]` belongs to `peaks[i]`.
std::vector<bool> shadowedSpots(const std::vector<cv::Point>& peaks, const std::vector<float>& strengths, int reach,
                                float ratio);

}  // namespace speckmend
