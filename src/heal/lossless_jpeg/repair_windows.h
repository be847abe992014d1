// Planning the windows of a photo that the lossless heal decodes, repairs and
// encodes on their own: each repair area (a disc's bounding rectangle, or
// any longer band) needs its inpainting neighbourhood and the 16-pixel cells
// whose blocks it may replace; a window holds those in whole iMCUs plus one
// iMCU on every side that is not the photo's edge, where a window's decode
// may differ from the whole photo's. Windows that overlap are merged until
// none do, so that no two windows' repairs can see each other.
#pragma once

#include <cstddef>
#include <vector>

#include <opencv2/core.hpp>

#include "heal/lossless_jpeg/jpeg_window.h"

namespace speckmend {

struct RepairWindow {
    cv::Rect imcus;                  // in iMCUs of the photo
    std::vector<std::size_t> areas;  // indices of the areas it holds, ascending
};

// margin: pixels the inpainting reads around every repaired pixel
// (RegionInpainter::marginFor), at least 1. Areas outside the photo or empty
// are skipped. Windows come out sorted by their top, then left iMCU.
std::vector<RepairWindow> planRepairWindows(const std::vector<cv::Rect>& areas, const JpegGrid& grid, int margin);

}  // namespace speckmend
