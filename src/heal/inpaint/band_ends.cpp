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
        const cv::Rect inPhoto = lineBand(line, photoSize);
        const cv::Rect band = (inPhoto - origin) & whole;
        if (band.empty()) continue;
        const bool column = line.axis == HotLine::Axis::column;
        // Only an end at the photo's edge is continued. Beyond an end inside
        // the photo lie the photo's own pixels, which the regular repair
        // already took as known; a band with no end at an edge is left as
        // that repair made it.
        const bool atStart = (column ? inPhoto.y : inPhoto.x) == 0;
        const bool atEnd = (column ? inPhoto.br().y == photoSize.height : inPhoto.br().x == photoSize.width);
        if (!atStart && !atEnd) continue;
        const int before = atStart ? 0 : margin, after = atEnd ? 0 : margin;
        const cv::Rect area =
            (column
                 ? cv::Rect(band.x - margin, band.y - before, band.width + 2 * margin, band.height + before + after)
                 : cv::Rect(band.x - before, band.y - margin, band.width + before + after, band.height + 2 * margin)) &
            whole;
        const int first = atStart ? kContinued : 0, last = atEnd ? kContinued : 0;
        const int top = column ? first : 0, bottom = column ? last : 0;
        const int left = column ? 0 : first, right = column ? 0 : last;
        cv::Mat imagePart, maskPart, repaired;
        cv::copyMakeBorder(image(area), imagePart, top, bottom, left, right, cv::BORDER_REPLICATE);
        cv::copyMakeBorder(mask(area), maskPart, top, bottom, left, right, cv::BORDER_REPLICATE);
        inpaintAnyChannels(imagePart, maskPart, repaired, range, method);
        const cv::Rect inner(left + band.x - area.x, top + band.y - area.y, band.width, band.height);
        repaired(inner).copyTo(image(band));
    }
}

}  // namespace speckmend
