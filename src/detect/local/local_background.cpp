// Block medians and their bilinear interpolation.
#include "detect/local/local_background.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include <opencv2/core/hal/intrin.hpp>

namespace speckmend {
namespace {

// Odd, so that the sample does not sit on one phase of a colour mosaic or of
// the 8-pixel block grid of a JPEG; seven or more samples along a block
// side, whose median moves by under a fifth of the noise.
int sampleStride(int window) { return std::max(1, window / 7) | 1; }

// The first sampled position of a block [start, end): the sample is
// centred in the block as well as the stride allows.
int firstSample(int start, int end, int stride) { return start + (end - start - 1) % stride / 2; }

// The number of blocks along a side of `length`. A last block thinner than
// half a window would be all edge: one hot column or a hot corner pixel is
// most of its sample and becomes its own background. Such a remainder joins
// the block before it, as long as two blocks remain to follow a gradient.
int blockCount(int length, int window) {
    const int whole = length / window, rest = length % window;
    return rest > 0 && (rest >= window / 2 || whole < 2) ? whole + 1 : whole;
}

// The pixels [start, end) of block `index` of `count`: the last one runs to
// the edge. A side too short for a thin remainder to join a neighbour (one
// window and under half another) is shared by its two blocks evenly, so
// that neither is all edge.
std::pair<int, int> blockSpan(int index, int count, int length, int window) {
    if (count == 2 && length < window + window / 2) {
        const int half = length / 2;
        return index == 0 ? std::pair{0, half} : std::pair{half, length};
    }
    const int start = index * window;
    return {start, index + 1 == count ? length : std::min(start + window, length)};
}

// Where the blocks along one side stand: the middle of each block's sample,
// the last (partial) block's included. A ramp's median lies there.
std::vector<float> blockCentres(int length, int window, int stride) {
    std::vector<float> centres;
    const int count = blockCount(length, window);
    for (int index = 0; index < count; ++index) {
        const auto [start, end] = blockSpan(index, count, length, window);
        const int first = firstSample(start, end, stride);
        const int samples = (end - 1 - first) / stride + 1;
        centres.push_back(static_cast<float>(first) + 0.5f * static_cast<float>((samples - 1) * stride));
    }
    return centres;
}

// out[x] = base + slope * x from `from` on, a vector of columns at a time
// while a whole one fits before `end`; returns where it stopped. Each lane
// is rounded as the single value would be (a product, then a sum, never
// fused), so every consumer of a row sees the values one column at a time
// would give. Every pass over the local detector's frame fills a
// background row per row of the frame.
int fillLine(float* out, int from, int end, float base, float slope) {
    int x = from;
#if CV_SIMD
    constexpr int kLanes = cv::v_float32::nlanes;
    int offsets[kLanes];
    for (int i = 0; i < kLanes; ++i) offsets[i] = i;
    const cv::v_int32 steps = cv::vx_load(offsets);
    const cv::v_float32 bases = cv::vx_setall_f32(base), slopes = cv::vx_setall_f32(slope);
    for (; x + kLanes <= end; x += kLanes) {
        const cv::v_float32 columns = cv::v_cvt_f32(cv::vx_setall_s32(x) + steps);
        cv::v_store(out + x, bases + slopes * columns);
    }
#endif
    return x;
}

}  // namespace

LocalBackground::LocalBackground(const cv::Mat& mean, int channel, int window)
    : width_(mean.cols), height_(mean.rows), window_(window) {
    if (mean.depth() != CV_32F || mean.empty()) throw std::invalid_argument("LocalBackground needs a float image");
    if (channel < 0 || channel >= mean.channels()) throw std::invalid_argument("LocalBackground: no such channel");
    if (window < 1) throw std::invalid_argument("LocalBackground: window below 1");

    const int channels = mean.channels();
    const int blockColumns = blockCount(mean.cols, window);
    const int blockRows = blockCount(mean.rows, window);
    blocks_.create(blockRows, blockColumns, CV_32FC1);
    const int stride = sampleStride(window);
    cv::parallel_for_(cv::Range(0, blockRows), [&](const cv::Range& range) {
        std::vector<float> sample;
        for (int by = range.start; by < range.end; ++by) {
            const auto [top, bottom] = blockSpan(by, blockRows, mean.rows, window);
            for (int bx = 0; bx < blockColumns; ++bx) {
                const auto [left, right] = blockSpan(bx, blockColumns, mean.cols, window);
                sample.clear();
                for (int y = firstSample(top, bottom, stride); y < bottom; y += stride) {
                    const float* row = mean.ptr<float>(y);
                    for (int x = firstSample(left, right, stride); x < right; x += stride) {
                        sample.push_back(row[x * channels + channel]);
                    }
                }
                // Of an even sample the mean of the middle two, so that the
                // median of a ramp lies at the block's centre.
                auto middle = sample.begin() + static_cast<std::ptrdiff_t>(sample.size() / 2);
                std::nth_element(sample.begin(), middle, sample.end());
                float median = *middle;
                if (sample.size() % 2 == 0) median = 0.5f * (median + *std::max_element(sample.begin(), middle));
                blocks_.at<float>(by, bx) = median;
            }
        }
    });
    columnCentres_ = blockCentres(mean.cols, window, stride);
    rowCentres_ = blockCentres(mean.rows, window, stride);
    columnTaps_ = tapsOf(mean.cols, columnCentres_);
    rowTaps_ = tapsOf(mean.rows, rowCentres_);
}

std::vector<LocalBackground::Tap> LocalBackground::tapsOf(int length, const std::vector<float>& centres) const {
    std::vector<Tap> taps;
    taps.reserve(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i) taps.push_back(tap(static_cast<float>(i), centres));
    return taps;
}

LocalBackground::Tap LocalBackground::tap(float pixel, const std::vector<float>& centres) const {
    if (centres.size() < 2) return {0, 0.0f};
    const int last = static_cast<int>(centres.size()) - 2;
    const int index = std::clamp(static_cast<int>(std::floor((pixel - centres[0]) / window_)), 0, last);
    return {index, (pixel - centres[index]) / (centres[index + 1] - centres[index])};
}

void LocalBackground::setBanding(BandingOffsets banding) {
    if (banding.rows.size() != static_cast<std::size_t>(height_) ||
        banding.columns.size() != static_cast<std::size_t>(width_)) {
        throw std::invalid_argument("LocalBackground::setBanding: one offset per row and per column");
    }
    banding_ = std::move(banding);
}

cv::Mat LocalBackground::levels() const {
    if (banding_.columns.empty()) return blocks_;
    cv::Mat out = blocks_.clone();
    for (int r = 0; r < out.rows; ++r) {
        const auto y = static_cast<std::size_t>(std::lround(rowCentres_[static_cast<std::size_t>(r)]));
        for (int c = 0; c < out.cols; ++c) {
            const auto x = static_cast<std::size_t>(std::lround(columnCentres_[static_cast<std::size_t>(c)]));
            out.at<float>(r, c) += banding_.rows[y] + banding_.columns[x];
        }
    }
    return out;
}

void LocalBackground::fillRow(int y, float* out) const {
    fillSmoothRow(y, out);
    if (banding_.columns.empty()) return;
    const float along = banding_.rows[static_cast<std::size_t>(y)];
    const float* columns = banding_.columns.data();
    int x = 0;
#if CV_SIMD
    constexpr int kLanes = cv::v_float32::nlanes;
    const cv::v_float32 alongs = cv::vx_setall_f32(along);
    for (; x + kLanes <= width_; x += kLanes) {
        cv::v_store(out + x, cv::vx_load(out + x) + (alongs + cv::vx_load(columns + x)));
    }
#endif
    for (; x < width_; ++x) out[x] += along + columns[x];
}

void LocalBackground::fillSmoothRow(int y, float* out) const {
    const Tap vertical = rowTap(y);
    const float* upper = blocks_.ptr<float>(vertical.index);
    const float* lower = blocks_.ptr<float>(std::min(vertical.index + 1, blocks_.rows - 1));
    // The row interpolated between the two block rows, one value per block
    // column; along the row the background is then a straight line through
    // neighbouring block centres, the outer lines extended to the edges.
    thread_local std::vector<float> blend;
    blend.resize(static_cast<std::size_t>(blocks_.cols));
    for (int b = 0; b < blocks_.cols; ++b) blend[b] = upper[b] + vertical.weight * (lower[b] - upper[b]);
    if (blocks_.cols == 1) {
        std::fill(out, out + width_, blend[0]);
        return;
    }
    int x = 0;
    for (int b = 0; b + 1 < blocks_.cols; ++b) {
        const bool lastSegment = b + 2 == blocks_.cols;
        const int end = lastSegment ? width_ : std::min(static_cast<int>(std::ceil(columnCentres_[b + 1])), width_);
        const float slope = (blend[b + 1] - blend[b]) / (columnCentres_[b + 1] - columnCentres_[b]);
        const float base = blend[b] - slope * columnCentres_[b];
        x = fillLine(out, x, end, base, slope);
        for (; x < end; ++x) out[x] = base + slope * static_cast<float>(x);
    }
}

float LocalBackground::at(int x, int y) const {
    const Tap vertical = rowTap(y);
    const Tap horizontal = columnTap(x);
    auto value = [&](int row, int column) {
        return blocks_.at<float>(std::min(row, blocks_.rows - 1), std::min(column, blocks_.cols - 1));
    };
    const int r = vertical.index, c = horizontal.index;
    const float upper = value(r, c) + horizontal.weight * (value(r, c + 1) - value(r, c));
    const float lower = value(r + 1, c) + horizontal.weight * (value(r + 1, c + 1) - value(r + 1, c));
    const float smooth = upper + vertical.weight * (lower - upper);
    if (banding_.columns.empty()) return smooth;
    return smooth + banding_.rows[static_cast<std::size_t>(y)] + banding_.columns[static_cast<std::size_t>(x)];
}

}  // namespace speckmend
