// Grouping the inpainting mask into clusters that cannot see each other, and
// inpainting each alone; the reasoning behind the margin is in the header.
#include "heal/inpaint/region_inpainter.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include "heal/inpaint/touching_groups.h"

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

std::vector<RegionInpainter::Region> RegionInpainter::findRegions(const cv::Mat& mask, int margin,
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
    std::vector<cv::Rect> grown;
    grown.reserve(boxes.size());
    for (const cv::Rect& box : boxes)
        grown.push_back(cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin, box.height + 2 * margin) &
                        bounds);

    std::vector<Region> regions;
    for (const std::vector<std::size_t>&group : touchingGroups(
             grown.size(), [&grown](std::size_t i) { return grown[i].x; },
             [&grown](std::size_t i) { return grown[i].br().x; },
             [&grown](std::size_t a, std::size_t b) { return intersects(grown[a], grown[b]); })) {
        Region& region = regions.emplace_back();
        region.rect = grown[group.front()];
        for (std::size_t i : group) {
            region.rect |= grown[i];
            region.parts.push_back(boxes[i]);
        }
    }
    return regions;
}

namespace {

void checkPhoto(const cv::Mat& photo, const cv::Mat& mask) {
    if (photo.size() != mask.size()) throw std::invalid_argument("RegionInpainter: photo and mask differ in size");
    if (photo.depth() != CV_8U || (photo.channels() != 1 && photo.channels() != 3 && photo.channels() != 4))
        throw std::invalid_argument("RegionInpainter: photo must be 8-bit with one, three or four channels");
}

}  // namespace

void RegionInpainter::inpaintRegions(const cv::Mat& source, cv::Mat& target, const cv::Mat& mask,
                                     const std::vector<Region>& regions, double range, int method) {
    if (source.size() != mask.size() || target.size() != mask.size() || target.type() != source.type())
        throw std::invalid_argument("inpaintRegions: source, target and mask differ in size or type");
    cv::Mat own, repaired;
    for (const Region& region : regions) {
        // Only the cluster's own pixels are masked: another cluster's inside
        // the rectangle stay as they are and are never read.
        own.create(region.rect.size(), CV_8UC1);
        own.setTo(0);
        for (const cv::Rect& part : region.parts) mask(part).copyTo(own(part - region.rect.tl()));
        inpaintAnyChannels(source(region.rect), own, repaired, range, method);
        cv::Mat written = target(region.rect);
        repaired.copyTo(written, own);
    }
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

void inpaintEachChannel(const cv::Mat& src, const cv::Mat& mask, cv::Mat& dst, double range, int method) {
    if (src.depth() != CV_8U || src.empty() || mask.type() != CV_8UC1 || mask.size() != src.size())
        throw std::invalid_argument("inpaintEachChannel: 8-bit pixels and a one-channel mask of their size needed");
    std::vector<cv::Mat> channels;
    cv::split(src, channels);
    for (cv::Mat& channel : channels) cv::inpaint(channel, mask, channel, range, method);
    // Merged last: src is read whole before dst, which may be src, is written.
    cv::merge(channels, dst);
}

void inpaintAnyChannels(const cv::Mat& src, const cv::Mat& mask, cv::Mat& dst, double range, int method) {
    if (src.channels() == 1 || src.channels() == 3)
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
    inpaintRegions(image, image, mask_, regions_, range_, method);
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
    inpaintRegions(photo, healed, mask_, regions_, range_, method);
}

}  // namespace speckmend
