// Re-inpainting the bands of hot lines with continued ends.
#include "heal/inpaint/band_ends.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/core.hpp>

#include "heal/inpaint/region_inpainter.h"
#include "heal/inpaint/repair_mask.h"

namespace speckmend {

void repairBandEnds(cv::Mat& image, const cv::Mat& mask, const std::vector<HotLine>& lines, cv::Point origin,
                    cv::Size photoSize, double range, int method) {
    if (lines.empty()) return;
    if (mask.type() != CV_8UC1 || mask.size() != image.size()) {
        throw std::invalid_argument("repairBandEnds: the mask must be 8-bit, one channel, of the image's size");
    }
    // Continued this far past each end, the library's edge fault stays in
    // the continuation.
    constexpr int kContinued = 8;
    const double reach = std::isfinite(range) ? std::clamp(range, 1.0, 64.0) : 1.0;
    const int margin = static_cast<int>(std::ceil(reach)) + 2;
    const cv::Rect whole(cv::Point(), image.size());
    for (const HotLine& line : lines) {
        const cv::Rect band = (lineBand(line, photoSize) - origin) & whole;
        if (band.empty()) continue;
        const bool column = line.axis == HotLine::Axis::column;
        const cv::Rect area = (column ? cv::Rect(band.x - margin, band.y, band.width + 2 * margin, band.height)
                                      : cv::Rect(band.x, band.y - margin, band.width, band.height + 2 * margin)) &
                              whole;
        const int along = column ? kContinued : 0, across = column ? 0 : kContinued;
        cv::Mat imagePart, maskPart, repaired;
        cv::copyMakeBorder(image(area), imagePart, along, along, across, across, cv::BORDER_REPLICATE);
        cv::copyMakeBorder(mask(area), maskPart, along, along, across, across, cv::BORDER_REPLICATE);
        inpaintAnyChannels(imagePart, maskPart, repaired, range, method);
        const cv::Rect inner(across + band.x - area.x, along + band.y - area.y, band.width, band.height);
        repaired(inner).copyTo(image(band));
    }
}

}  // namespace speckmend
