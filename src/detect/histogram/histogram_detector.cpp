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

// cv::GaussianBlur of the whole image in place, run on stripes of rows in
// parallel. The library's filter gives each pixel the same sums whether it
// filters the whole image or a stripe with the rows around it (rows outside a
// region of interest are read as they are, only the image's own edges are
// replicated), so a stripe is filtered from a copy of its rows with the
// kernel's reach of original rows either side. The rows either side belong to
// neighbouring stripes, which overwrite them: they are copied for every
// stripe before any stripe is filtered.
void smooth(cv::Mat& image) {
    constexpr int kReach = kSmoothingKernel / 2;
    // Tall stripes: the rows kept for the neighbours are 2 x kReach per
    // stripe, a few percent of the frame. None of one row: the library
    // filters a single row with a kernel one row high.
    int stripeRows = 128;
    while (image.rows > 1 && image.rows % stripeRows == 1) ++stripeRows;
    const RowStripes stripes({0, image.rows}, stripeRows);
    // A single column the library filters as a special case of its own.
    if (stripes.count() < 2 || image.cols == 1) {
        cv::GaussianBlur(image, image, cv::Size(kSmoothingKernel, kSmoothingKernel), 0.0, 0.0, cv::BORDER_REPLICATE);
        return;
    }
    const auto around = [&](int s) {
        const cv::Range own = stripes[s];
        return cv::Range(std::max(own.start - kReach, 0), std::min(own.end + kReach, image.rows));
    };
    std::vector<cv::Mat> above(static_cast<std::size_t>(stripes.count()));
    std::vector<cv::Mat> below(above.size());
    cv::parallel_for_(cv::Range(0, stripes.count()), [&](const cv::Range& range) {
        for (int s = range.start; s < range.end; ++s) {
            const cv::Range own = stripes[s], wide = around(s);
            above[static_cast<std::size_t>(s)] = image.rowRange(wide.start, own.start).clone();
            below[static_cast<std::size_t>(s)] = image.rowRange(own.end, wide.end).clone();
        }
    });
    cv::parallel_for_(cv::Range(0, stripes.count()), [&](const cv::Range& range) {
        cv::Mat source;
        for (int s = range.start; s < range.end; ++s) {
            const cv::Range own = stripes[s], wide = around(s);
            source.create(wide.size(), image.cols, image.type());
            const cv::Mat& up = above[static_cast<std::size_t>(s)];
            const cv::Mat& down = below[static_cast<std::size_t>(s)];
            // At the frame's edges there is nothing either side.
            if (!up.empty()) up.copyTo(source.rowRange(0, up.rows));
            image.rowRange(own).copyTo(source.rowRange(up.rows, up.rows + own.size()));
            if (!down.empty()) down.copyTo(source.rowRange(up.rows + own.size(), source.rows));
            cv::Mat target = image.rowRange(own);
            cv::GaussianBlur(source.rowRange(up.rows, up.rows + own.size()), target,
                             cv::Size(kSmoothingKernel, kSmoothingKernel), 0.0, 0.0, cv::BORDER_REPLICATE);
        }
    });
}

}  // namespace

// Each value's bin is found as cv::calcHist finds it (in double, floor(v *
// bins / 256), values outside the range not counted, the last bin closing
// the range), on stripes of rows in parallel; the counts are exact integers
// where the library's float counts would round.
std::vector<std::int64_t> histogramCounts(const cv::Mat& image, int bins) {
    if (image.type() != CV_32FC1 || bins < 1) throw std::invalid_argument("histogramCounts needs floats and a bin");
    const double scale = bins / (kHistogramHigh - kHistogramLow);
    const double offset = -scale * kHistogramLow;
    const RowStripes stripes({0, image.rows});
    std::vector<std::vector<std::int64_t>> partial(static_cast<std::size_t>(stripes.count()));
    cv::parallel_for_(cv::Range(0, stripes.count()), [&](const cv::Range& range) {
        for (int s = range.start; s < range.end; ++s) {
            std::vector<std::int64_t>& counts = partial[static_cast<std::size_t>(s)];
            counts.assign(static_cast<std::size_t>(bins), 0);
            for (int y = stripes[s].start; y < stripes[s].end; ++y) {
                const float* row = image.ptr<float>(y);
                for (int x = 0; x < image.cols; ++x) {
                    const double v = row[x];
                    if (v < kHistogramLow || v >= kHistogramHigh) continue;
                    const int bin = std::clamp(cvFloor(v * scale + offset), 0, bins - 1);
                    ++counts[static_cast<std::size_t>(bin)];
                }
            }
        }
    });
    std::vector<std::int64_t> counts(static_cast<std::size_t>(bins), 0);
    for (const std::vector<std::int64_t>& part : partial) {
        for (int i = 0; i < bins; ++i) counts[static_cast<std::size_t>(i)] += part[static_cast<std::size_t>(i)];
    }
    return counts;
}

HistogramDetector::HistogramDetector(const cv::Mat& mean, double amount, std::int32_t bins)
    : mean_(mean), amount_(amount), bins_(bins) {
    if (mean.empty() || mean.type() != CV_32FC1) throw std::invalid_argument("HistogramDetector needs a grey mean");
    if (bins < 1) throw std::invalid_argument("HistogramDetector needs at least one bin");
}

double HistogramDetector::chooseThreshold() {
    smooth(mean_);

    const std::vector<std::int64_t> counts = histogramCounts(mean_, bins_);

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
