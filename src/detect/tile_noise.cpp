// Robust noise per tile and the thresholds it gives.
#include "detect/tile_noise.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace speckmend {
namespace {

// Odd and coprime with 8, like the background's sample; a few thousand
// samples per full tile.
constexpr int kSampleStride = 5;
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

TileNoise::TileNoise(const cv::Mat& mean, int channel, const LocalBackground& background, double multiple,
                     double floor) {
    if (mean.depth() != CV_32F || mean.empty()) throw std::invalid_argument("TileNoise needs a float image");
    if (channel < 0 || channel >= mean.channels()) throw std::invalid_argument("TileNoise: no such channel");
    const int channels = mean.channels();
    const int columns = (mean.cols + kTile - 1) / kTile;
    const int rows = (mean.rows + kTile - 1) / kTile;
    noise_.create(rows, columns, CV_32FC1);
    threshold_.create(rows, columns, CV_32FC1);
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
            const float sigma = robustSigma(residuals);
            noise_.at<float>(ty, tx) = sigma;
            threshold_.at<float>(ty, tx) =
                std::max({static_cast<float>(multiple * sigma), static_cast<float>(floor), kSmallestThreshold});
        }
    });
}

}  // namespace speckmend
