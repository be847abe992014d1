// Drawing repair discs into a mask crop; see repair_mask.h.
#include "heal/inpaint/repair_mask.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace speckmend {

namespace {

// The drawing routine takes seconds for radii of a billion and overflows
// beyond; no sensible map has them, but a hand-made one may.
constexpr std::int64_t kLargestDrawnRadius = 1 << 16;

// Largest d with d * d <= n, for 0 <= n < 2^62.
std::int64_t integerSqrt(std::int64_t n) {
    auto d = static_cast<std::int64_t>(std::sqrt(static_cast<long double>(n)));
    while (d * d > n) --d;
    while ((d + 1) * (d + 1) <= n) ++d;
    return d;
}

// The disc's bounding square, in 64 bits so that no coordinate overflows.
struct Square {
    std::int64_t left, top, right, bottom;  // right and bottom exclusive
};

Square squareOf(const HotPixel& pixel) {
    const std::int64_t r = pixel.r;
    return {pixel.x - r, pixel.y - r, pixel.x + r + 1, pixel.y + r + 1};
}

// Clips a square to [0, width) x [0, height); empty when they do not meet.
cv::Rect clipped(const Square& s, std::int64_t width, std::int64_t height) {
    const std::int64_t left = std::max<std::int64_t>(0, s.left), top = std::max<std::int64_t>(0, s.top);
    const std::int64_t right = std::min(width, s.right), bottom = std::min(height, s.bottom);
    if (left >= right || top >= bottom) return {};
    return {static_cast<int>(left), static_cast<int>(top), static_cast<int>(right - left),
            static_cast<int>(bottom - top)};
}

// A disc too large for the drawing routine, row by row: every pixel whose
// distance from the centre is at most r.
void fillHugeDisc(cv::Mat& mask, const HotPixel& pixel, cv::Point origin) {
    const std::int64_t r = pixel.r;
    const std::int64_t cx = static_cast<std::int64_t>(pixel.x) - origin.x;
    const std::int64_t cy = static_cast<std::int64_t>(pixel.y) - origin.y;
    for (int row = 0; row < mask.rows; ++row) {
        const std::int64_t dy = row - cy;
        if (dy < -r || dy > r) continue;
        const std::int64_t half = integerSqrt(r * r - dy * dy);
        const std::int64_t left = std::max<std::int64_t>(cx - half, 0);
        const std::int64_t right = std::min<std::int64_t>(cx + half, mask.cols - 1);
        if (left <= right) mask.row(row).colRange(static_cast<int>(left), static_cast<int>(right) + 1).setTo(255);
    }
}

// The band as a rectangle of the plane, unclipped: across the line its 2r+1
// columns or rows, along it the span, where a span to the far edge ends at
// width or height.
Square bandOf(const HotLine& line, std::int64_t width, std::int64_t height) {
    const bool column = line.axis == HotLine::Axis::column;
    const std::int64_t low = std::int64_t{line.position} - line.r, high = std::int64_t{line.position} + line.r + 1;
    const std::int64_t first = line.from;
    const std::int64_t last = line.to == HotLine::kToEnd ? (column ? height : width) : std::int64_t{line.to} + 1;
    return column ? Square{low, first, high, last} : Square{first, low, last, high};
}

}  // namespace

cv::Rect lineBand(const HotLine& line, cv::Size photoSize) {
    if (line.r < 0) return {};
    return clipped(bandOf(line, photoSize.width, photoSize.height), photoSize.width, photoSize.height);
}

void drawRepairMask(const HotPixelMap& map, cv::Mat& mask, cv::Point origin) {
    if (mask.type() != CV_8UC1) throw std::invalid_argument("drawRepairMask: mask must be 8-bit, one channel");
    for (const HotPixel& pixel : map.pixels) {
        if (pixel.r <= 0) continue;
        Square s = squareOf(pixel);
        s.left -= origin.x, s.right -= origin.x, s.top -= origin.y, s.bottom -= origin.y;
        // A disc wholly outside the crop is skipped first, so that far-away
        // coordinates never reach the drawing routine.
        if (clipped(s, mask.cols, mask.rows).empty()) continue;
        if (pixel.r > kLargestDrawnRadius) {
            fillHugeDisc(mask, pixel, origin);
            continue;
        }
        // The routine's discs are the same wherever they are drawn: moved
        // with the crop, a disc keeps its shape and is clipped the same way.
        const cv::Point centre(static_cast<int>(pixel.x - std::int64_t{origin.x}),
                               static_cast<int>(pixel.y - std::int64_t{origin.y}));
        cv::circle(mask, centre, pixel.r, cv::Scalar(255), cv::FILLED, cv::LINE_8, 0);
    }
    // A span to the far edge reaches the crop's far edge, whatever lies
    // beyond it; every other band is the same in any crop.
    for (const HotLine& line : map.lines) {
        if (line.r < 0) continue;
        Square s = bandOf(line, std::int64_t{origin.x} + mask.cols, std::int64_t{origin.y} + mask.rows);
        s.left -= origin.x, s.right -= origin.x, s.top -= origin.y, s.bottom -= origin.y;
        const cv::Rect band = clipped(s, mask.cols, mask.rows);
        if (!band.empty()) mask(band).setTo(255);
    }
}

std::vector<cv::Rect> repairAreas(const HotPixelMap& map, cv::Size photoSize, std::vector<std::size_t>* pixels) {
    std::vector<cv::Rect> areas;
    if (pixels != nullptr) pixels->clear();
    for (std::size_t i = 0; i < map.pixels.size(); ++i) {
        const HotPixel& pixel = map.pixels[i];
        if (pixel.r <= 0) continue;
        const cv::Rect area = clipped(squareOf(pixel), photoSize.width, photoSize.height);
        if (area.empty()) continue;
        areas.push_back(area);
        if (pixels != nullptr) pixels->push_back(i);
    }
    return areas;
}

std::vector<cv::Rect> bandAreas(const HotPixelMap& map, cv::Size photoSize, std::vector<std::size_t>* lines) {
    std::vector<cv::Rect> areas;
    if (lines != nullptr) lines->clear();
    for (std::size_t i = 0; i < map.lines.size(); ++i) {
        const cv::Rect band = lineBand(map.lines[i], photoSize);
        if (band.empty()) continue;
        areas.push_back(band);
        if (lines != nullptr) lines->push_back(i);
    }
    return areas;
}

}  // namespace speckmend
