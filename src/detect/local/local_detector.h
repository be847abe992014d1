// The local detector: finds hot pixels against their own surroundings rather
// than against one threshold for the whole frame.
//
// On the mean of the dark frames, each channel (blue, green and red of a
// colour frame, or the one grey channel) is analysed on its own: its
// background (local_background.h) is subtracted, and each pixel's residual
// is divided by the threshold of its tile (tile_noise.h). A pixel is hot in
// the frame when it is hot in any channel, so a hot site of any colour counts
// at full strength. Columns and rows hot along more than half their length
// become lines (hot_lines.h); the other hot pixels merge into spots
// (hot_spots.h). In a lossy frame a faint spot near one four times as strong
// is taken for the JPEG ringing around that one and left out (a lossless one
// does not ring: there it is a defect of its own). The spots left out that way and
// the strongest local maxima that stayed below the threshold are kept as the
// rejected, so that a check sheet can show what was nearly taken.
//
// Memory: besides the mean, a few rows per thread and what stands out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "detect/common/findings.h"

namespace speckmend {

struct LocalDetectorSettings {
    double noise = 5.0;  // threshold in robust standard deviations
    double floor = 6.0;  // and never below this many DN
    std::int32_t window = 32;
    std::int32_t minRadius = 3;  // radius of a lone hot pixel
    std::size_t rejectedKept = 24;
    // The frames were saved lossily (JPEG): a colour mean is then tested
    // through the footprint of a hot site (colour_sites.h).
    bool lossy = false;
};

// What one channel looked like, for the console.
struct ChannelSummary {
    std::string name;  // "grey", "blue", "green" or "red"
    float backgroundLow = 0, backgroundHigh = 0;
    float noiseLow = 0, noiseHigh = 0;
    float thresholdLow = 0, thresholdHigh = 0;
    std::int32_t tiles = 0;
};

// How the sites of a lossy colour frame were tested, for the console.
struct SiteSummary {
    bool footprintLearnt = false;  // else the channels were tested alone
    std::size_t sitesLearnt = 0;
    float noiseLow = 0, noiseHigh = 0;  // of the amplitude estimate, DN at the sensor
    float thresholdLow = 0, thresholdHigh = 0;
};

struct LocalDetection {
    std::vector<ChannelSummary> channels;
    std::optional<SiteSummary> sites;  // lossy colour frames only
    Findings findings;
};

// `mean`: 32-bit float, one channel (grey) or three (blue, green, red).
LocalDetection detectLocally(const cv::Mat& mean, const LocalDetectorSettings& settings);

}  // namespace speckmend
