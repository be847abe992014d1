// Block medians and their bilinear interpolation.
#include "detect/local_background.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace speckmend {
namespace {

// Odd, so that the sample does not sit on one phase of a colour mosaic or of
// the 8-pixel block grid of a JPEG; seven or more samples along a block
// side, whose median moves by under a fifth of the noise.
int sampleStride(int window) { return std::max(1, window / 7) | 1; }

}  // namespace

LocalBackground::LocalBackground(const cv::Mat& mean, int channel, int window)
    : width_(mean.cols), window_(window) {
    if (mean.depth() != CV_32F || mean.empty()) throw std::invalid_argument("LocalBackground needs a float image");
    if (channel < 0 || channel >= mean.channels()) throw std::invalid_argument("LocalBackground: no such channel");
    if (window < 1) throw std::invalid_argument("LocalBackground: window below 1");

    const int channels = mean.channels();
    const int blockColumns = (mean.cols + window - 1) / window;
    const int blockRows = (mean.rows + window - 1) / window;
    blocks_.create(blockRows, blockColumns, CV_32FC1);
    const int stride = sampleStride(window);
    cv::parallel_for_(cv::Range(0, blockRows), [&](const cv::Range& range) {
        std::vector<float> sample;
        for (int by = range.start; by < range.end; ++by) {
            const int top = by * window;
            const int bottom = std::min(top + window, mean.rows);
            for (int bx = 0; bx < blockColumns; ++bx) {
                const int left = bx * window;
                const int right = std::min(left + window, mean.cols);
                sample.clear();
                for (int y = top + (bottom - top - 1) % stride / 2; y < bottom; y += stride) {
                    const float* row = mean.ptr<float>(y);
                    for (int x = left + (right - left - 1) % stride / 2; x < right; x += stride) {
                        sample.push_back(row[x * channels + channel]);
                    }
                }
                auto middle = sample.begin() + static_cast<std::ptrdiff_t>(sample.size() / 2);
                std::nth_element(sample.begin(), middle, sample.end());
                blocks_.at<float>(by, bx) = *middle;
            }
        }
    });
}

LocalBackground::Tap LocalBackground::tap(int pixel, int blockCount) const {
    // Block b's centre lies at b * window + (window - 1) / 2.
    const float position = (static_cast<float>(pixel) - 0.5f * static_cast<float>(window_ - 1)) / window_;
    if (position <= 0.0f || blockCount == 1) return {0, 0.0f};
    if (position >= static_cast<float>(blockCount - 1)) return {blockCount - 2, 1.0f};
    const int index = static_cast<int>(position);
    return {index, position - static_cast<float>(index)};
}

void LocalBackground::fillRow(int y, float* out) const {
    const Tap vertical = tap(y, blocks_.rows);
    const float* upper = blocks_.ptr<float>(vertical.index);
    const float* lower = blocks_.ptr<float>(std::min(vertical.index + 1, blocks_.rows - 1));
    // The row interpolated between the two block rows, one value per block
    // column; along the row the background is then a straight ramp from one
    // block centre to the next, flat beyond the outer ones.
    thread_local std::vector<float> blend;
    blend.resize(static_cast<std::size_t>(blocks_.cols));
    for (int b = 0; b < blocks_.cols; ++b) blend[b] = upper[b] + vertical.weight * (lower[b] - upper[b]);
    const float half = 0.5f * static_cast<float>(window_ - 1);
    auto centre = [&](int b) { return static_cast<int>(std::ceil(static_cast<float>(b) * window_ + half)); };
    const int first = std::min(centre(0), width_);
    std::fill(out, out + first, blend[0]);
    int x = first;
    for (int b = 0; b + 1 < blocks_.cols && x < width_; ++b) {
        const int end = std::min(centre(b + 1), width_);
        const float slope = (blend[b + 1] - blend[b]) / static_cast<float>(window_);
        const float base = blend[b] - slope * (static_cast<float>(b) * window_ + half);
        for (; x < end; ++x) out[x] = base + slope * static_cast<float>(x);
    }
    std::fill(out + x, out + width_, blend[blocks_.cols - 1]);
}

float LocalBackground::at(int x, int y) const {
    const Tap vertical = tap(y, blocks_.rows);
    const Tap horizontal = tap(x, blocks_.cols);
    auto value = [&](int row, int column) {
        return blocks_.at<float>(std::min(row, blocks_.rows - 1), std::min(column, blocks_.cols - 1));
    };
    const float upper = value(vertical.index, horizontal.index) +
                        horizontal.weight * (value(vertical.index, horizontal.index + 1) - value(vertical.index, horizontal.index));
    const float lower = value(vertical.index + 1, horizontal.index) +
                        horizontal.weight *
                            (value(vertical.index + 1, horizontal.index + 1) - value(vertical.index + 1, horizontal.index));
    return upper + vertical.weight * (lower - upper);
}

}  // namespace speckmend
