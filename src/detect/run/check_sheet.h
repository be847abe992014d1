// The check sheet of a detection run, with either detector: one picture in
// which a photographer sees at a glance what was found and what was nearly
// taken.
//
// It is a grid of cells, each an enlarged crop of the mean dark frame around
// one finding: first the hot lines (a segment at the middle of its span,
// labelled with it), then the hot spots, strongest first, then the
// strongest candidates the detector did not take, framed in red and
// labelled with the reason in a word (weak, neighbour, glint, leak; the
// stronger neighbour marked in yellow, in the crop or on its edge towards
// it). An entry whose radius is above 8 is framed in orange: it repairs far
// more than a hot pixel. Each crop is stretched on its own from its median
// to its centre pixel, so a faint spot shows as clearly as a saturated one;
// the label gives the position and the strength in DN above the background.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "detect/common/findings.h"

namespace speckmend {

struct CheckSheetLayout {
    int crop = 15;  // pixels of the mean per side, odd
    int zoom = 8;   // screen pixels per mean pixel
    int columns = 8;
    std::size_t mostSpots = 400;  // the weakest beyond these are left out
};

// `mean`: 32-bit float, one or three channels, the frame the detection ran
// on. Gives an 8-bit three-channel picture.
cv::Mat renderCheckSheet(const cv::Mat& mean, const Findings& findings,
                         const CheckSheetLayout& layout = CheckSheetLayout());

// Spots for the sheet of a detector that reports bare positions (the
// histogram detector): each one's strength is its value in the one-channel
// `mean` above the median of the crop around it; `radius` as mapped.
std::vector<Finding> spotsAt(const cv::Mat& mean, const std::vector<cv::Point>& points, std::int32_t radius,
                             const CheckSheetLayout& layout = CheckSheetLayout());

}  // namespace speckmend
