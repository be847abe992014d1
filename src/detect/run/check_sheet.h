// The check sheet of a local detection run: one picture in which a
// photographer sees at a glance what was found and what was nearly taken.
//
// It is a grid of cells, each an enlarged crop of the mean dark frame around
// one finding: first the hot lines, then the hot spots, strongest first,
// then the strongest candidates that stayed below their threshold, framed
// in red and labelled "rejected". Each crop is stretched on its own from its
// median to its brightest pixel, so a faint spot shows as clearly as a
// saturated one; the label gives the position and the strength in DN above
// the background.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "detect/local/local_detector.h"

namespace speckmend {

struct CheckSheetLayout {
    int crop = 15;  // pixels of the mean per side, odd
    int zoom = 8;   // screen pixels per mean pixel
    int columns = 8;
    std::size_t mostSpots = 400;  // the weakest beyond these are left out
};

// `mean`: 32-bit float, one or three channels, the frame the detection ran
// on. Gives an 8-bit three-channel picture.
cv::Mat renderCheckSheet(const cv::Mat& mean, const LocalDetection& detection,
                         const CheckSheetLayout& layout = CheckSheetLayout());

// Findings for the sheet of a run that reports bare positions (the
// histogram detector): each one's strength is its value in the one-channel
// `mean` above the median of the crop around it; `radius` as mapped.
LocalDetection findingsAt(const cv::Mat& mean, const std::vector<cv::Point>& points, std::int32_t radius,
                          const CheckSheetLayout& layout = CheckSheetLayout());

}  // namespace speckmend
