// Splitting the inpainting mask into independent rectangles; the reasoning
// behind the margin is in the header.
#include "heal/inpaint/region_inpainter.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

namespace speckmend {

namespace {

// Ranges beyond this are not rounded to a meaningful integer by the library;
// such runs use the whole photo.
constexpr double kLargestTrustedRange = 1.0e6;

bool intersects(const cv::Rect& a, const cv::Rect& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

// The bounding box of the non-zero pixels of mask inside area. The library's
// own (cv::boundingRect of the view mask(area)) comes out too narrow for
// some views into a larger mask: a radius-1 disc lost its right column, and
// the inpainting of that column then read a margin one pixel short.
cv::Rect contentBox(const cv::Mat& mask, const cv::Rect& area) {
    int left = area.br().x, top = area.br().y, right = area.x, bottom = area.y;
    for (int y = area.y; y < area.br().y; ++y) {
        const unsigned char* row = mask.ptr<unsigned char>(y);
        for (int x = area.x; x < area.br().x; ++x) {
            if (row[x] == 0) continue;
            left = std::min(left, x);
            right = std::max(right, x + 1);
            top = std::min(top, y);
            bottom = y + 1;
        }
    }
    if (left >= right) return {};
    return {left, top, right - left, bottom - top};
}

}  // namespace

int RegionInpainter::marginFor(double range) {
    if (!std::isfinite(range) || std::fabs(range) > kLargestTrustedRange) return 0;
    // The library rounds the range and keeps it at least 1 (and at most 100,
    // which only makes this margin generous).
    const int effective = std::max(cvRound(range), 1);
    return effective + 1;
}

std::vector<cv::Rect> RegionInpainter::findRegions(const cv::Mat& mask, int margin,
                                                   const std::vector<cv::Rect>& areas) {
    if (mask.empty() || mask.type() != CV_8UC1)
        throw std::invalid_argument("findRegions: mask must be 8-bit, one channel");
    const cv::Rect bounds(0, 0, mask.cols, mask.rows);
    std::vector<cv::Rect> boxes;
    if (areas.empty()) {
        cv::Mat labels, stats, centroids;
        const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
        for (int label = 1; label < count; ++label)  // label 0 is the unmasked background
            boxes.emplace_back(stats.at<int>(label, cv::CC_STAT_LEFT), stats.at<int>(label, cv::CC_STAT_TOP),
                               stats.at<int>(label, cv::CC_STAT_WIDTH), stats.at<int>(label, cv::CC_STAT_HEIGHT));
    } else {
        for (const cv::Rect& area : areas) {
            const cv::Rect clipped = area & bounds;
            if (clipped.empty()) continue;
            const cv::Rect content = contentBox(mask, clipped);
            if (!content.empty()) boxes.push_back(content);
        }
    }
    std::vector<cv::Rect> rects;
    rects.reserve(boxes.size());
    for (cv::Rect box : boxes) {
        box.x -= margin;
        box.y -= margin;
        box.width += 2 * margin;
        box.height += 2 * margin;
        rects.push_back(box & bounds);
    }

    // Merge until no two rectangles intersect. Sorted by left edge, a pass
    // can stop looking right of a rectangle once the next one starts beyond
    // its right edge; growth downwards may create new overlaps with
    // rectangles already passed, hence the repeated passes.
    std::sort(rects.begin(), rects.end(), [](const cv::Rect& a, const cv::Rect& b) { return a.x < b.x; });
    bool merged = true;
    while (merged) {
        merged = false;
        std::vector<bool> gone(rects.size(), false);
        for (std::size_t i = 0; i < rects.size(); ++i) {
            if (gone[i]) continue;
            for (std::size_t j = i + 1; j < rects.size(); ++j) {
                if (rects[j].x >= rects[i].x + rects[i].width) break;
                if (gone[j] || !intersects(rects[i], rects[j])) continue;
                rects[i] |= rects[j];
                gone[j] = true;
                merged = true;
            }
        }
        std::size_t kept = 0;
        for (std::size_t i = 0; i < rects.size(); ++i)
            if (!gone[i]) rects[kept++] = rects[i];
        rects.resize(kept);
    }
    return rects;
}

RegionInpainter::RegionInpainter(const cv::Mat& mask, double range, const std::vector<cv::Rect>& areas)
    : mask_(mask), range_(range) {
    if (mask.empty() || mask.type() != CV_8UC1)
        throw std::invalid_argument("RegionInpainter: mask must be 8-bit, one channel");
    const int margin = marginFor(range);
    if (margin == 0) {
        wholePhoto_ = cv::countNonZero(mask) > 0;
        return;
    }
    regions_ = findRegions(mask, margin, areas);
}

namespace {

void checkPhoto(const cv::Mat& photo, const cv::Mat& mask) {
    if (photo.size() != mask.size()) throw std::invalid_argument("RegionInpainter: photo and mask differ in size");
    if ((photo.depth() != CV_8U && photo.depth() != CV_16U) ||
        (photo.channels() != 1 && photo.channels() != 3 && photo.channels() != 4))
        throw std::invalid_argument("RegionInpainter: photo must be 8- or 16-bit with one, three or four channels");
}

}  // namespace

void inpaintEachChannel(const cv::Mat& src, const cv::Mat& mask, cv::Mat& dst, double range, int method) {
    if ((src.depth() != CV_8U && src.depth() != CV_16U) || src.empty() || mask.type() != CV_8UC1 ||
        mask.size() != src.size())
        throw std::invalid_argument(
            "inpaintEachChannel: 8- or 16-bit pixels and a one-channel mask of their size needed");
    std::vector<cv::Mat> channels;
    cv::split(src, channels);
    for (cv::Mat& channel : channels) cv::inpaint(channel, mask, channel, range, method);
    // Merged last: src is read whole before dst, which may be src, is written.
    cv::merge(channels, dst);
}

void inpaintAnyChannels(const cv::Mat& src, const cv::Mat& mask, cv::Mat& dst, double range, int method) {
    if (src.channels() == 1 || (src.channels() == 3 && src.depth() == CV_8U))
        cv::inpaint(src, mask, dst, range, method);
    else
        inpaintEachChannel(src, mask, dst, range, method);
}

void RegionInpainter::inpaintInPlace(cv::Mat& image, int method) const {
    checkPhoto(image, mask_);
    if (wholePhoto_) {
        cv::Mat healed;
        inpaintAnyChannels(image, mask_, healed, range_, method);
        image = healed;
        return;
    }
    for (const cv::Rect& region : regions_) {
        // The library copies its source into its destination first and from
        // then on reads only the destination, so both may be one buffer.
        cv::Mat target = image(region);
        inpaintAnyChannels(target, mask_(region), target, range_, method);
    }
}

void RegionInpainter::inpaint(const cv::Mat& photo, cv::Mat& healed, int method) const {
    checkPhoto(photo, mask_);
    if (photo.data == healed.data && !photo.empty())
        throw std::invalid_argument("RegionInpainter::inpaint: photo and healed must be separate buffers");
    if (wholePhoto_) {
        inpaintAnyChannels(photo, mask_, healed, range_, method);
        return;
    }
    healed.create(photo.size(), photo.type());
    photo.copyTo(healed);
    for (const cv::Rect& region : regions_) {
        cv::Mat target = healed(region);
        inpaintAnyChannels(photo(region), mask_(region), target, range_, method);
    }
}

}  // namespace speckmend
