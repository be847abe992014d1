// The histogram detector: smooths the mean dark frame, takes one brightness
// threshold for the whole frame from the histogram of the smoothed mean, and
// reports every strict local maximum above it as a hot pixel.
//
// Call order: chooseThreshold, then scanHotPixels, each once. The detector
// smooths the mean in place; whoever needs the mean itself afterwards (the
// annotated picture, the check sheet) takes it before chooseThreshold. Or
// the mean is smoothed stripe by stripe from outside (smoothStripe, before
// chooseThreshold) as it is being made, and never needs to be whole.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {

// The counts cv::calcHist gives for `bins` uniform bins over [0, 256) of a
// CV_32FC1 image, as exact integers.
std::vector<std::int64_t> histogramCounts(const cv::Mat& image, int bins);

class HistogramDetector {
public:
    // `mean`: CV_32FC1, not empty; its storage is shared, not copied, and is
    // overwritten. The histogram has `bins` uniform bins over [0, 256), at
    // least 1; `amount` is the share of all pixels the walk over the bins
    // accumulates before it fixes the threshold.
    HistogramDetector(const cv::Mat& mean, double amount, std::int32_t bins);

    // How many rows the smoothing of a row reads on either side.
    static constexpr int kSmoothingReach = 4;

    // Writes rows `own` of the smoothed mean into `target` (those rows of
    // the mean's storage) from `source`, the mean's rows `wide`: `own` and
    // kSmoothingReach rows either side where the frame has them, CV_32FC1.
    // May run on several threads at once, for stripes that do not overlap.
    // Once all rows have gone through it, chooseThreshold does not smooth
    // again. Frames of one column are the whole-frame filter's own case:
    // they are smoothed by chooseThreshold (smoothsInStripes).
    void smoothStripe(const cv::Mat& source, cv::Range wide, cv::Range own, cv::Mat& target);
    static bool smoothsInStripes(cv::Size frame) { return frame.width > 1; }

    // Smooths the mean (as cv::GaussianBlur of the whole frame, on all cores),
    // prints one line per histogram bin considered and the
    // threshold line, and returns the upper edge of the first bin at which
    // the cumulative share of pixels reaches `amount` (256 when it never
    // does).
    double chooseThreshold();

    // Reports each pixel above the threshold that is strictly greater than
    // all eight neighbours once everything not above the threshold is taken
    // as 0, rows from the top, left to right. The outermost rows and columns
    // are never reported. The smoothed mean is only read.
    void scanHotPixels(double threshold, const std::function<void(std::int32_t x, std::int32_t y)>& report);
    std::vector<cv::Point> scanHotPixels(double threshold);

private:
    cv::Mat mean_;  // CV_32FC1
    double amount_;
    std::int32_t bins_;
    std::mutex counting_;                     // guards what follows
    std::vector<std::int64_t> stripeCounts_;  // of the rows smoothStripe smoothed
    std::int64_t stripeRows_ = 0;
};

}  // namespace speckmend
