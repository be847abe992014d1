// Robust noise per tile and the thresholds it gives.
#include "detect/tile_noise.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace speckmend {
namespace {

// Odd and coprime with 8, like the background's sample; a few thousand
// samples per full tile.
constexpr int kSampleStride = 3;
// A threshold of zero would make every positive residual hot and divide by
// zero in the significance; this is far below any sensor's noise.
constexpr float kSmallestThreshold = 1e-3f;

}  // namespace

float robustSigma(std::vector<float>& values) {
    if (values.empty()) return 0.0f;
    auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    const float median = *middle;
    for (float& v : values) v = std::fabs(v - median);
    std::nth_element(values.begin(), middle, values.end());
    return 1.4826f * *middle;
}

float upperSigma(std::vector<float>& values) {
    if (values.empty()) return 0.0f;
    auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    const float median = *middle;
    // The elements past the middle are the upper half, in some order.
    std::vector<float> above;
    above.reserve(values.size() - values.size() / 2);
    for (auto v = middle; v != values.end(); ++v) above.push_back(*v - median);
    auto half = above.begin() + static_cast<std::ptrdiff_t>(above.size() * 0.9545);
    std::nth_element(above.begin(), half, above.end());
    return 0.5f * *half;
}

TileNoise::TileNoise(const cv::Mat& mean, int channel, const LocalBackground& background, double multiple,
                     double floor) {
    if (mean.depth() != CV_32F || mean.empty()) throw std::invalid_argument("TileNoise needs a float image");
    if (channel < 0 || channel >= mean.channels()) throw std::invalid_argument("TileNoise: no such channel");
    const int channels = mean.channels();
    const int columns = (mean.cols + kTile - 1) / kTile;
    const int rows = (mean.rows + kTile - 1) / kTile;
    noise_.create(rows, columns, CV_32FC1);
    threshold_.create(rows, columns, CV_32FC1);
    cv::Mat measured(rows, columns, CV_32FC1);
    cv::parallel_for_(cv::Range(0, rows * columns), [&](const cv::Range& range) {
        std::vector<float> residuals;
        std::vector<float> backgroundRow(static_cast<std::size_t>(mean.cols));
        for (int t = range.start; t < range.end; ++t) {
            const int tx = t % columns;
            const int ty = t / columns;
            const int top = ty * kTile;
            const int bottom = std::min(top + kTile, mean.rows);
            const int left = tx * kTile;
            const int right = std::min(left + kTile, mean.cols);
            // Small tiles (a small frame) are sampled whole.
            const int stride = (bottom - top) * (right - left) < 64 * kSampleStride * kSampleStride ? 1 : kSampleStride;
            residuals.clear();
            for (int y = top; y < bottom; y += stride) {
                const float* row = mean.ptr<float>(y);
                for (int x = left; x < right; x += stride) {
                    residuals.push_back(row[x * channels + channel] - background.at(x, y));
                }
            }
            measured.at<float>(ty, tx) = upperSigma(residuals);
        }
    });
    // Each tile's noise is the median of its own and its neighbours'
    // measurements: a noisy corner still raises its own threshold, but the
    // sampling error of one tile's estimate, which would move its threshold
    // by several percent, is evened out.
    for (int ty = 0; ty < rows; ++ty) {
        for (int tx = 0; tx < columns; ++tx) {
            std::vector<float> around;
            for (int y = std::max(ty - 1, 0); y <= std::min(ty + 1, rows - 1); ++y) {
                for (int x = std::max(tx - 1, 0); x <= std::min(tx + 1, columns - 1); ++x) {
                    around.push_back(measured.at<float>(y, x));
                }
            }
            auto middle = around.begin() + static_cast<std::ptrdiff_t>(around.size() / 2);
            std::nth_element(around.begin(), middle, around.end());
            const float sigma = *middle;
            noise_.at<float>(ty, tx) = sigma;
            threshold_.at<float>(ty, tx) =
                std::max({static_cast<float>(multiple * sigma), static_cast<float>(floor), kSmallestThreshold});
        }
    }
}

}  // namespace speckmend
