// Robust noise per tile and the thresholds it gives.
#include "detect/tile_noise.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
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
    // One band of tiles at a time: each sampled row's background is made
    // once and its samples go to the tiles they fall in.
    cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& range) {
        std::vector<std::vector<float>> residuals(static_cast<std::size_t>(columns));
        std::vector<float> backgroundRow(static_cast<std::size_t>(mean.cols));
        for (int ty = range.start; ty < range.end; ++ty) {
            const int top = ty * kTile;
            const int bottom = std::min(top + kTile, mean.rows);
            // A small frame is sampled whole.
            const int stride = static_cast<std::int64_t>(bottom - top) * std::min(mean.cols, kTile) <
                                       64 * kSampleStride * kSampleStride
                                   ? 1
                                   : kSampleStride;
            for (auto& tile : residuals) tile.clear();
            for (int y = top; y < bottom; y += stride) {
                background.fillRow(y, backgroundRow.data());
                const float* row = mean.ptr<float>(y);
                for (int x = 0; x < mean.cols; x += stride) {
                    residuals[static_cast<std::size_t>(x / kTile)].push_back(row[x * channels + channel] -
                                                                             backgroundRow[x]);
                }
            }
            for (int tx = 0; tx < columns; ++tx) {
                measured.at<float>(ty, tx) = upperSigma(residuals[static_cast<std::size_t>(tx)]);
            }
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
