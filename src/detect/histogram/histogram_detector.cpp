// The histogram detector's smoothing, threshold walk and scan.
#include "detect/histogram/histogram_detector.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include "detect/common/row_search.h"
#include "detect/common/row_stripes.h"

namespace speckmend {
namespace {

constexpr int kSmoothingKernel = 9;
constexpr double kHistogramLow = 0.0;
constexpr double kHistogramHigh = 256.0;

// Each value's bin is found as cv::calcHist finds it (in double, floor(v *
// bins / 256), values outside the range not counted, the last bin closing
// the range); the counts are exact integers where the library's float counts
// would round.
//
// A mean dark frame lies almost wholly in one or two bins, so the values are
// counted in runs: while they stay between the edges of the bin of the run,
// only a count goes up. Incrementing the bin's counter for each value would
// make every addition wait for the one before it. The edges are the smallest
// floats of each bin: the bin is a monotone function of the value, so every
// float between two edges falls into the lower edge's bin. Stripes of rows
// are counted on several threads; integer counts add up to the same in any
// order.
int binOf(float value, double scale, double offset, int bins) {
    return std::clamp(cvFloor(static_cast<double>(value) * scale + offset), 0, bins - 1);
}

// edges[b]: the smallest float in [0, 256) of bin b or above; 256 where
// there is none. edges[bins] is 256.
std::vector<float> binEdges(double scale, double offset, int bins) {
    std::vector<float> edges(static_cast<std::size_t>(bins) + 1, static_cast<float>(kHistogramHigh));
    const float highest = std::nextafter(static_cast<float>(kHistogramHigh), 0.0f);
    for (int b = 1; b < bins; ++b) {
        if (binOf(highest, scale, offset, bins) < b) break;
        // Non-negative floats order as their bit patterns.
        std::uint32_t low = 0, high = 0;
        std::memcpy(&high, &highest, sizeof high);
        while (low < high) {
            const std::uint32_t middle = low + (high - low) / 2;
            float v = 0.0f;
            std::memcpy(&v, &middle, sizeof v);
            if (binOf(v, scale, offset, bins) >= b) {
                high = middle;
            } else {
                low = middle + 1;
            }
        }
        std::memcpy(&edges[static_cast<std::size_t>(b)], &low, sizeof low);
    }
    edges[0] = static_cast<float>(kHistogramLow);
    return edges;
}

// Where the run of values in [low, high) that starts at `from` ends, before
// `end` at the latest.
int runEnd(const float* row, int from, int end, float low, float high) {
    int x = from;
#if CV_SIMD
    const cv::v_float32 lows = cv::vx_setall_f32(low), highs = cv::vx_setall_f32(high);
    constexpr int kLanes = cv::v_float32::nlanes;
    while (x + kLanes <= end) {
        const cv::v_float32 v = cv::vx_load(row + x);
        if (!cv::v_check_all((v >= lows) & (v < highs))) break;
        x += kLanes;
    }
#endif
    while (x < end && row[x] >= low && row[x] < high) ++x;
    return x;
}

// The bins of a histogram and the counting of rows of values into them.
class BinCounter {
public:
    explicit BinCounter(int bins)
        : bins_(bins),
          scale_(bins / (kHistogramHigh - kHistogramLow)),
          offset_(-scale_ * kHistogramLow),
          edges_(binEdges(scale_, offset_, bins)) {}

    int bins() const { return bins_; }

    // Adds the values of `rows` of `image` (CV_32FC1) to `counts`.
    void count(const cv::Mat& image, cv::Range rows, std::vector<std::int64_t>& counts) const {
        for (int y = rows.start; y < rows.end; ++y) {
            const float* row = image.ptr<float>(y);
            int x = 0;
            while (x < image.cols) {
                const float v = row[x];
                if (!(v >= static_cast<float>(kHistogramLow) && v < static_cast<float>(kHistogramHigh))) {
                    // NaN falls into the first bin, as in the library.
                    if (std::isnan(v)) ++counts[0];
                    ++x;
                    continue;
                }
                const int bin = binOf(v, scale_, offset_, bins_);
                const float low = edges_[static_cast<std::size_t>(bin)];
                const float high = edges_[static_cast<std::size_t>(bin) + 1];
                const int first = x;
                x = runEnd(row, x + 1, image.cols, low, high);
                counts[static_cast<std::size_t>(bin)] += x - first;
            }
        }
    }

private:
    int bins_;
    double scale_;
    double offset_;
    std::vector<float> edges_;
};

// Per-thread counts added into one total; integer counts add up to the same
// in any order.
class CountTotal {
public:
    explicit CountTotal(int bins) : counts_(static_cast<std::size_t>(bins), 0) {}

    void add(const std::vector<std::int64_t>& part) {
        std::lock_guard<std::mutex> lock(adding_);
        for (std::size_t i = 0; i < part.size(); ++i) counts_[i] += part[i];
    }

    std::vector<std::int64_t> take() { return std::move(counts_); }

private:
    std::mutex adding_;
    std::vector<std::int64_t> counts_;
};

}  // namespace

std::vector<std::int64_t> histogramCounts(const cv::Mat& image, int bins) {
    if (image.type() != CV_32FC1 || bins < 1) throw std::invalid_argument("histogramCounts needs floats and a bin");
    const BinCounter counter(bins);
    const RowStripes stripes({0, image.rows});
    CountTotal total(bins);
    cv::parallel_for_(cv::Range(0, stripes.count()), [&](const cv::Range& range) {
        std::vector<std::int64_t> part(static_cast<std::size_t>(bins), 0);
        counter.count(image, {stripes[range.start].start, stripes[range.end - 1].end}, part);
        total.add(part);
    });
    return total.take();
}

namespace {

// cv::GaussianBlur of the whole image in place, run on stripes of rows in
// parallel. The library's filter gives each pixel the same sums whether it
// filters the whole image or a stripe with the rows around it (rows outside a
// region of interest are read as they are, only the image's own edges are
// replicated), so a stripe is filtered from a copy of its rows with the
// kernel's reach of original rows either side. The rows either side belong to
// neighbouring stripes, which overwrite them: they are copied for every
// stripe before any stripe is filtered. Each stripe is counted into the
// histogram as soon as it is smoothed, while its rows are still in the cache:
// the counts of the smoothed image without a pass of their own.
std::vector<std::int64_t> smoothAndCount(cv::Mat& image, const BinCounter& counter) {
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
        std::vector<std::int64_t> counts(static_cast<std::size_t>(counter.bins()), 0);
        counter.count(image, {0, image.rows}, counts);
        return counts;
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
    CountTotal total(counter.bins());
    cv::parallel_for_(cv::Range(0, stripes.count()), [&](const cv::Range& range) {
        cv::Mat source;
        std::vector<std::int64_t> part(static_cast<std::size_t>(counter.bins()), 0);
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
            counter.count(image, own, part);
        }
        total.add(part);
    });
    return total.take();
}

}  // namespace

HistogramDetector::HistogramDetector(const cv::Mat& mean, double amount, std::int32_t bins)
    : mean_(mean), amount_(amount), bins_(bins) {
    if (mean.empty() || mean.type() != CV_32FC1) throw std::invalid_argument("HistogramDetector needs a grey mean");
    if (bins < 1) throw std::invalid_argument("HistogramDetector needs at least one bin");
}

// The library's filter of the stripe's rows with the rows around them, as in
// smoothAndCount, and their counts.
void HistogramDetector::smoothStripe(const cv::Mat& source, cv::Range wide, cv::Range own, cv::Mat& target) {
    if (source.type() != CV_32FC1 || source.rows != wide.size() || source.cols != mean_.cols ||
        target.type() != CV_32FC1 || target.rows != own.size() || target.cols != mean_.cols || own.start < wide.start ||
        own.end > wide.end) {
        throw std::invalid_argument("HistogramDetector::smoothStripe needs a stripe of float rows within its source");
    }
    cv::GaussianBlur(source.rowRange(own.start - wide.start, own.end - wide.start), target,
                     cv::Size(kSmoothingKernel, kSmoothingKernel), 0.0, 0.0, cv::BORDER_REPLICATE);
    std::vector<std::int64_t> part(static_cast<std::size_t>(bins_), 0);
    BinCounter(bins_).count(target, {0, target.rows}, part);
    std::lock_guard<std::mutex> lock(counting_);
    if (stripeCounts_.empty()) stripeCounts_.assign(part.size(), 0);
    for (std::size_t i = 0; i < part.size(); ++i) stripeCounts_[i] += part[i];
    stripeRows_ += own.size();
}

double HistogramDetector::chooseThreshold() {
    static_assert(kSmoothingReach == kSmoothingKernel / 2);
    const std::vector<std::int64_t> counts =
        stripeRows_ == mean_.rows ? stripeCounts_ : smoothAndCount(mean_, BinCounter(bins_));

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

// The suppression is not written into the mean: a pixel is judged against
// its neighbours' values as the suppression would leave them (0 where not
// above the threshold), which saves a pass that writes every pixel. The
// threshold is compared as the library's suppression compares it, in float.
void HistogramDetector::scanHotPixels(double threshold, const std::function<void(std::int32_t, std::int32_t)>& report) {
    const float bar = static_cast<float>(threshold);
    // Suppressed pixels are 0, and a reported one is above 0.
    const float lowest = std::max(bar, 0.0f);
    const auto kept = [bar](float v) { return v > bar ? v : 0.0f; };

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
                    // Most of the frame is suppressed: it is passed over a
                    // vector of pixels at a time.
                    x = firstAbove(row, x, width - 1, lowest);
                    if (x + 1 >= width) break;
                    const float v = row[x];
                    if (v > lowest && v > kept(row[x - 1]) && v > kept(row[x + 1]) && v > kept(above[x]) &&
                        v > kept(below[x]) && v > kept(above[x - 1]) && v > kept(above[x + 1]) &&
                        v > kept(below[x - 1]) && v > kept(below[x + 1])) {
                        list.emplace_back(x, y);
                    }
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
