// The histogram detector's smoothing, threshold walk and scan.
#include "detect/histogram/histogram_detector.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "detect/common/local_maximum.h"
#include "detect/common/row_stripes.h"

namespace speckmend {
namespace {

constexpr int kSmoothingKernel = 9;
constexpr double kHistogramLow = 0.0;
constexpr double kHistogramHigh = 256.0;

// cv::calcHist over `bins` uniform bins of [0, 256), run on stripes of rows
// in parallel. Each stripe stays below 2^24 pixels, so its float counts are
// exact, and their sum is the count cv::calcHist keeps before it turns
// counts into floats.
std::vector<std::int64_t> histogram(const cv::Mat& image, int bins) {
    constexpr int kExactFloat = 1 << 24;
    if (image.cols > kExactFloat) throw std::length_error("frame too wide for an exact histogram");
    const RowStripes stripes({0, image.rows}, std::min(RowStripes::kRows, kExactFloat / std::max(image.cols, 1)));

    const int sizes[] = {bins};
    const float range[] = {static_cast<float>(kHistogramLow), static_cast<float>(kHistogramHigh)};
    const float* ranges[] = {range};
    std::vector<cv::Mat> partial(static_cast<std::size_t>(stripes.count()));
    cv::parallel_for_(cv::Range(0, stripes.count()), [&](const cv::Range& range) {
        for (int s = range.start; s < range.end; ++s) {
            const cv::Mat rows = image.rowRange(stripes[s]);
            cv::calcHist(&rows, 1, nullptr, cv::Mat(), partial[static_cast<std::size_t>(s)], 1, sizes, ranges, true,
                         false);
        }
    });
    std::vector<std::int64_t> counts(static_cast<std::size_t>(bins), 0);
    for (const cv::Mat& part : partial) {
        for (int i = 0; i < bins; ++i)
            counts[static_cast<std::size_t>(i)] += static_cast<std::int64_t>(part.at<float>(i));
    }
    return counts;
}

}  // namespace

HistogramDetector::HistogramDetector(const cv::Mat& mean, double amount, std::int32_t bins)
    : mean_(mean), amount_(amount), bins_(bins) {
    if (mean.empty() || mean.type() != CV_32FC1) throw std::invalid_argument("HistogramDetector needs a grey mean");
    if (bins < 1) throw std::invalid_argument("HistogramDetector needs at least one bin");
}

double HistogramDetector::chooseThreshold() {
    cv::GaussianBlur(mean_, mean_, cv::Size(kSmoothingKernel, kSmoothingKernel), 0.0, 0.0, cv::BORDER_REPLICATE);

    const std::vector<std::int64_t> counts = histogram(mean_, bins_);

    const double total = static_cast<double>(mean_.cols) * static_cast<double>(mean_.rows);
    const double width = (kHistogramHigh - kHistogramLow) / bins_;
    double threshold = 0.0;
    std::int64_t cumulative = 0;
    for (int i = 0; i < bins_; ++i) {
        // A count as a float histogram holds it: exact up to 2^24, rounded
        // beyond, then truncated.
        const int count = static_cast<int>(static_cast<float>(counts[static_cast<std::size_t>(i)]));
        const double lower = kHistogramLow + i * width;
        const double upper = kHistogramLow + (i + 1) * width;
        threshold = upper;
        cumulative += count;
        const double fraction = static_cast<double>(cumulative) / total;
        // The console calls a bin a channel.
        std::printf("channel%d: %d pixels between %d and %d, curr.amount is %f\n", i, count, static_cast<int>(lower),
                    static_cast<int>(upper), fraction);
        if (amount_ <= fraction) break;
    }
    std::printf("\nTreshold at %d\n\n", static_cast<int>(threshold));
    return threshold;
}

void HistogramDetector::scanHotPixels(double threshold, const std::function<void(std::int32_t, std::int32_t)>& report) {
    cv::threshold(mean_, mean_, threshold, 255.0, cv::THRESH_TOZERO);

    const int width = mean_.cols;
    const int height = mean_.rows;
    const RowStripes stripes({1, height - 1});
    std::vector<std::vector<cv::Point>> found(static_cast<std::size_t>(stripes.count()));
    cv::parallel_for_(cv::Range(0, stripes.count()), [&](const cv::Range& range) {
        for (int s = range.start; s < range.end; ++s) {
            const cv::Range rows = stripes[s];
            std::vector<cv::Point>& list = found[static_cast<std::size_t>(s)];
            for (int y = rows.start; y < rows.end; ++y) {
                const float* above = mean_.ptr<float>(y - 1);
                const float* row = mean_.ptr<float>(y);
                const float* below = mean_.ptr<float>(y + 1);
                for (int x = 1; x + 1 < width; ++x) {
                    // Suppressed pixels are 0: most of the frame ends here.
                    if (!(row[x] > 0.0f)) continue;
                    if (isStrictLocalMaximum(above, row, below, width, x, EdgeRule::interiorOnly))
                        list.emplace_back(x, y);
                }
            }
        }
    });
    for (const std::vector<cv::Point>& list : found) {
        for (const cv::Point& p : list) report(p.x, p.y);
    }
}

std::vector<cv::Point> HistogramDetector::scanHotPixels(double threshold) {
    std::vector<cv::Point> found;
    scanHotPixels(threshold, [&found](std::int32_t x, std::int32_t y) { found.emplace_back(x, y); });
    return found;
}

}  // namespace speckmend
