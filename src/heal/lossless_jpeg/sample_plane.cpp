// A subsampled component's samples and the units its discs are repaired in;
// the reasoning is in the header.
#include "heal/lossless_jpeg/sample_plane.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "heal/inpaint/touching_groups.h"
#include "heal/lossless_jpeg/block_refiner.h"

namespace speckmend {

namespace {

// The inpainting range of the samples is the pixels' plus this.
constexpr double kWiderRange = 2.0;

cv::Rect grownBy(const cv::Rect& box, int by) {
    return {box.x - by, box.y - by, box.width + 2 * by, box.height + 2 * by};
}

}  // namespace

double sampleRange(double range) { return range + kWiderRange; }

RingFill::RingFill(int radius) : radius_(radius) {
    if (radius < 1) throw std::invalid_argument("RingFill: a radius of at least 1 needed");
    for (int dy = -radius; dy <= radius; ++dy)
        for (int dx = -radius; dx <= radius; ++dx) {
            const int squared = dx * dx + dy * dy;
            if (squared != 0 && squared <= radius * radius)
                offsets_.push_back({dx, dy, 1.0f / static_cast<float>(squared)});
        }
}

bool RingFill::fill(const cv::Mat& samples, const cv::Mat& masked, cv::Point at, unsigned char& value) const {
    return fill(&samples, 1, masked, at, &value);
}

bool RingFill::fill(const cv::Mat* planes, int count, const cv::Mat& masked, cv::Point at,
                    unsigned char* values) const {
    if (count < 1 || count > kMostPlanes) throw std::invalid_argument("RingFill: one to three planes at a time");
    float sums[kMostPlanes] = {}, weights = 0.0f;
    bool inside = at.x >= radius_ && at.y >= radius_ && at.x + radius_ < masked.cols && at.y + radius_ < masked.rows;
    for (int k = 0; k < count; ++k) inside = inside && planes[k].step[0] == masked.step[0];
    if (inside) {
        // No offset leaves the plane, and all rows have one stride: the
        // samples are found by their distance in memory, in the same order
        // as below.
        const auto stride = static_cast<std::ptrdiff_t>(masked.step[0]);
        const unsigned char* mask = masked.ptr<unsigned char>(at.y) + at.x;
        const unsigned char* from[kMostPlanes] = {};
        for (int k = 0; k < count; ++k) from[k] = planes[k].ptr<unsigned char>(at.y) + at.x;
        for (const Offset& o : offsets_) {
            const std::ptrdiff_t d = o.dy * stride + o.dx;
            if (mask[d] != 0) continue;
            for (int k = 0; k < count; ++k) sums[k] += o.weight * static_cast<float>(from[k][d]);
            weights += o.weight;
        }
    } else {
        for (const Offset& o : offsets_) {
            const int x = at.x + o.dx, y = at.y + o.dy;
            if (x < 0 || y < 0 || x >= masked.cols || y >= masked.rows || masked.at<unsigned char>(y, x) != 0)
                continue;
            for (int k = 0; k < count; ++k) sums[k] += o.weight * static_cast<float>(planes[k].at<unsigned char>(y, x));
            weights += o.weight;
        }
    }
    if (weights == 0.0f) return false;
    for (int k = 0; k < count; ++k) values[k] = cv::saturate_cast<unsigned char>(std::lround(sums[k] / weights));
    return true;
}

cv::Rect ringedSamples(const cv::Rect& touched, cv::Size plane) {
    const cv::Rect bounds({}, plane);
    const cv::Rect inside = touched & bounds;
    return inside.empty() ? cv::Rect() : grownBy(inside, kSkippedSampleRing) & bounds;
}

cv::Rect samplesOf(const cv::Rect& area, int stepX, int stepY) {
    if (area.empty() || stepX < 1 || stepY < 1) return {};
    const int x0 = area.x / stepX, y0 = area.y / stepY;
    const int x1 = (area.br().x + stepX - 1) / stepX, y1 = (area.br().y + stepY - 1) / stepY;
    return {x0, y0, x1 - x0, y1 - y0};
}

cv::Mat touchedSamples(const cv::Mat& mask, int stepX, int stepY) {
    if (mask.type() != CV_8UC1 || stepX < 1 || stepY < 1)
        throw std::invalid_argument("touchedSamples: an 8-bit one-channel mask and steps of at least 1 needed");
    cv::Mat touched((mask.rows + stepY - 1) / stepY, (mask.cols + stepX - 1) / stepX, CV_8UC1, cv::Scalar(0));
    for (int y = 0; y < mask.rows; ++y) {
        const unsigned char* row = mask.ptr<unsigned char>(y);
        unsigned char* to = touched.ptr<unsigned char>(y / stepY);
        for (int x = 0; x < mask.cols; ++x)
            if (row[x] != 0) to[x / stepX] = 255;
    }
    return touched;
}

std::vector<SampleUnit> planSampleUnits(const std::vector<cv::Rect>& touchedBoxes, cv::Size plane, int margin) {
    const cv::Rect bounds({}, plane);
    std::vector<std::size_t> kept;
    std::vector<cv::Rect> grown;
    for (std::size_t i = 0; i < touchedBoxes.size(); ++i) {
        const cv::Rect box = ringedSamples(touchedBoxes[i], plane);
        if (box.empty()) continue;
        kept.push_back(i);
        grown.push_back(box);
    }
    std::vector<SampleUnit> units;
    for (const std::vector<std::size_t>&members : touchingGroups(
             grown.size(), [&grown](std::size_t i) { return grown[i].x; },
             [&grown](std::size_t i) { return grown[i].br().x; },
             [&grown](std::size_t a, std::size_t b) { return !(grown[a] & grown[b]).empty(); })) {
        SampleUnit& unit = units.emplace_back();
        cv::Rect all = grown[members.front()];
        for (std::size_t m : members) {
            unit.discs.push_back(kept[m]);
            all |= grown[m];
        }
        unit.reach = grownBy(all, margin) & bounds;
    }
    return units;
}

cv::Mat decodeSampleRect(j_decompress_ptr source, jvirt_barray_ptr array, int c, const cv::Rect& rect) {
    const jpeg_component_info& info = source->comp_info[c];
    cv::Mat samples(rect.size(), CV_8UC1);
    if (rect.empty()) return samples;
    const JQUANT_TBL& table = *source->quant_tbl_ptrs[info.quant_tbl_no];
    float decoded[DCTSIZE2];
    const int firstRow = rect.y / DCTSIZE, lastRow = (rect.br().y - 1) / DCTSIZE;
    const int firstColumn = rect.x / DCTSIZE, lastColumn = (rect.br().x - 1) / DCTSIZE;
    for (int row = firstRow; row <= lastRow; ++row) {
        JBLOCKARRAY blocks = (*source->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(source), array,
                                                                static_cast<JDIMENSION>(row), 1, FALSE);
        const int y0 = std::max(rect.y, row * DCTSIZE), y1 = std::min(rect.br().y, (row + 1) * DCTSIZE);
        for (int column = firstColumn; column <= lastColumn; ++column) {
            decodeBlockSamples(blocks[0][static_cast<JDIMENSION>(column)], table, decoded);
            const int x0 = std::max(rect.x, column * DCTSIZE), x1 = std::min(rect.br().x, (column + 1) * DCTSIZE);
            for (int y = y0; y < y1; ++y) {
                unsigned char* line = samples.ptr<unsigned char>(y - rect.y);
                for (int x = x0; x < x1; ++x)
                    line[x - rect.x] = cv::saturate_cast<unsigned char>(
                        std::lround(decoded[(y - row * DCTSIZE) * DCTSIZE + (x - column * DCTSIZE)]));
            }
        }
    }
    return samples;
}

}  // namespace speckmend
