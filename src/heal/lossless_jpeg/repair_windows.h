// Planning the windows of a photo that the lossless heal decodes, repairs and
// encodes on their own.
//
// Each repair area (a disc's bounding rectangle, or a longer band) needs two
// things of its window: the pixels its inpainting reads (the area grown by
// the margin) and the iMCUs holding the blocks it may replace (the area
// rounded out to whole iMCUs, its core), both with one iMCU to spare on
// every side that is not the photo's edge, where a window's decode may
// differ from the whole photo's.
//
// Areas that must share a window: those whose grown areas meet (their
// inpainting may see each other, region_inpainter.h) and those whose cores
// share an iMCU (a block may hold repaired pixels of both, and is encoded
// and refined from all of them). Chains of either make one group. Two
// groups never see each other's repair and never replace the same block, so
// each group's window gives the blocks the whole photo would give, however
// the windows overlap: the heal decodes every window from the source's own
// blocks and writes a replaced block only once no window still to come (they
// come in the order of their top rows) reaches its row.
//
// Groups that need not share a window still may, when one window costs less
// than two: a window's fixed work (codec set-up, headers, buffers) is worth
// windowCost pixels of decoding, encoding and scanning. Joining never makes
// a window wider or taller than largestSide pixels, so that thousands of hot
// pixels never grow one window over the photo; only a group itself can be
// that large (a hot line, or hot pixels chained across the photo).
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

// When windows that need not be one are joined (see above). windowCost 0
// joins nothing but what must share a window.
struct WindowJoining {
    long windowCost = 4096;
    int largestSide = 512;
};

// margin: pixels the inpainting reads around every repaired pixel
// (RegionInpainter::marginFor), at least 1. Areas outside the photo or empty
// are skipped. Windows come out sorted by their top, then left iMCU; they
// may overlap, but no two hold areas that must share a window.
std::vector<RepairWindow> planRepairWindows(const std::vector<cv::Rect>& areas, const JpegGrid& grid, int margin,
                                            const WindowJoining& joining = {});

// The iMCUs whose blocks an area's pixels lie in (the area clipped to the
// photo and rounded out to whole iMCUs); empty outside the photo.
cv::Rect coreOf(const cv::Rect& area, const JpegGrid& grid);

}  // namespace speckmend
