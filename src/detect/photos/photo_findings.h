// From the evidence of a folder to the hot pixels it proves.
//
// Every pixel passes the binomial test (binomial_test.h) on its counts or
// not; neighbouring pixels that pass are one spot, at the pixel that stood
// out most often. A spot whose surroundings (5 by 5 around its peak) stood
// out often as well is scene detail that moves by a pixel or two between
// photos, a point light in a series from a tripod: a hot pixel stands out
// where it is and nowhere beside it. A faint spot close to a strong one is
// the strong one's JPEG ringing. Such spots, and the pixels that came
// closest to passing, are kept as the rejected for the check sheet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "detect/common/findings.h"
#include "detect/photos/evidence_counts.h"

namespace speckmend {

struct PhotoFindingSettings {
    std::int32_t minRadius = 3;  // radius of a lone hot pixel
    double share = 0.5;          // of the judging photos a hot pixel must stand out in
    // Chance hot pixels expected over the whole frame; the test's alpha is
    // this over the number of pixels.
    double chanceFindings = 0.05;
    // Events around a spot's peak, as a share of the peak's own and never
    // fewer than movedLeast, that make it a moving light. Some: the JPEG
    // ringing around a saturated site now and then peaks beside it.
    double movedShare = 0.4;
    int movedLeast = 3;
    // A faint spot within ringingReach pixels of one ringingRatio times as
    // strong is that one's JPEG ringing: the blocks lie at the same place on
    // the sensor in every photo, and so does their ringing around a strong
    // hot site (within its 8 by 8 luma block and the 16 by 16 of subsampled
    // chroma).
    int ringingReach = 12;
    double ringingRatio = 4.0;
    std::size_t rejectedKept = 24;
};

struct PhotoFindings {
    Findings findings;                     // spots only; strength: mean DN above the neighbourhood where it stood out
    std::vector<std::string> rejectedWhy;  // per rejected: "moved", "ringing" or "chance"
    std::vector<cv::Point2i> seen;         // per spot and then per rejected: bright and judging photos
    double chanceRate = 0.0;
};

PhotoFindings findHotPixels(const EvidenceCounts& counts, int photos, const PhotoFindingSettings& settings);

}  // namespace speckmend
