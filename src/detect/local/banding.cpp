// Row and column offsets from medians of the residual.
#include "detect/local/banding.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "detect/local/local_background.h"
#include "detect/local/median_select.h"

namespace speckmend {
namespace {

// Along a row every third pixel is taken, down a column every fifth row:
// odd strides, so that neither median sits on one phase of a colour mosaic,
// and still hundreds of values, whose median moves by a few hundredths of
// the noise.
constexpr int kRowStride = 3;
constexpr int kColumnStride = 5;

}  // namespace

std::vector<float> runningMedian(const std::vector<float>& values, int window) {
    const int n = static_cast<int>(values.size());
    const int size = std::min(std::max(window, 1), n);
    std::vector<float> out(values.size());
    std::vector<float> around;
    for (int i = 0; i < n; ++i) {
        // Near the ends the window keeps its size and stops at the edge, so
        // that a hot line on the outermost row is still a spike in it.
        const int start = std::clamp(i - size / 2, 0, n - size);
        around.assign(values.begin() + start, values.begin() + start + size);
        out[static_cast<std::size_t>(i)] = upperMedian(around);
    }
    return out;
}

float largestOffset(const BandingOffsets& banding) {
    float largest = 0.0f;
    for (const float v : banding.rows) largest = std::max(largest, std::abs(v));
    for (const float v : banding.columns) largest = std::max(largest, std::abs(v));
    return largest;
}

namespace {

// The median along row y of the channel's residual, over every third pixel;
// `bg`: the background's row, `values`: scratch space.
float rowMedian(const float* in, int width, int channels, int channel, const float* bg, int y,
                std::vector<float>& values) {
    values.clear();
    for (int x = y % kRowStride; x < width; x += kRowStride) values.push_back(in[x * channels + channel] - bg[x]);
    if (values.empty()) values.push_back(in[channel] - bg[0]);
    return upperMedian(values);
}

}  // namespace

std::vector<std::vector<float>> bandingRowMedians(const cv::Mat& mean,
                                                  const std::vector<const LocalBackground*>& backgrounds) {
    if (mean.depth() != CV_32F || mean.empty()) throw std::invalid_argument("bandingRowMedians needs a float image");
    if (backgrounds.size() != static_cast<std::size_t>(mean.channels()))
        throw std::invalid_argument("bandingRowMedians: one background per channel");
    const int width = mean.cols, height = mean.rows, channels = mean.channels();
    std::vector<std::vector<float>> medians(backgrounds.size(), std::vector<float>(static_cast<std::size_t>(height)));
    cv::parallel_for_(cv::Range(0, height), [&](const cv::Range& range) {
        std::vector<float> bg(static_cast<std::size_t>(width));
        std::vector<float> values;
        for (int y = range.start; y < range.end; ++y) {
            const float* in = mean.ptr<float>(y);
            for (int c = 0; c < channels; ++c) {
                backgrounds[static_cast<std::size_t>(c)]->fillRow(y, bg.data());
                medians[static_cast<std::size_t>(c)][static_cast<std::size_t>(y)] =
                    rowMedian(in, width, channels, c, bg.data(), y, values);
            }
        }
    });
    return medians;
}

BandingOffsets measureBanding(const cv::Mat& mean, int channel, const LocalBackground& background,
                              const std::vector<float>* rowMedians) {
    if (mean.depth() != CV_32F || mean.empty()) throw std::invalid_argument("measureBanding needs a float image");
    if (channel < 0 || channel >= mean.channels()) throw std::invalid_argument("measureBanding: no such channel");
    const int width = mean.cols, height = mean.rows, channels = mean.channels();
    if (rowMedians && rowMedians->size() != static_cast<std::size_t>(height))
        throw std::invalid_argument("measureBanding: one row median per row");

    // The rows that the column medians are taken over, kept as residuals;
    // with the row medians given, only those rows are read.
    const int sampled = (height + kColumnStride - 1) / kColumnStride;
    cv::Mat residuals(sampled, width, CV_32FC1);
    std::vector<float> medians = rowMedians ? *rowMedians : std::vector<float>(static_cast<std::size_t>(height));
    const int step = rowMedians ? kColumnStride : 1;
    cv::parallel_for_(cv::Range(0, (height + step - 1) / step), [&](const cv::Range& range) {
        std::vector<float> bg(static_cast<std::size_t>(width));
        std::vector<float> values;
        for (int i = range.start; i < range.end; ++i) {
            const int y = i * step;
            background.fillRow(y, bg.data());
            const float* in = mean.ptr<float>(y);
            if (!rowMedians)
                medians[static_cast<std::size_t>(y)] = rowMedian(in, width, channels, channel, bg.data(), y, values);
            if (y % kColumnStride != 0) continue;
            float* out = residuals.ptr<float>(y / kColumnStride);
            for (int x = 0; x < width; ++x) out[x] = in[x * channels + channel] - bg[x];
        }
    });
    // The columns are measured on what the row banding leaves: a hot row is
    // one sampled row among hundreds and moves no column's median.
    std::vector<float> rows = runningMedian(medians, kBandWidth);
    for (int r = 0; r < sampled; ++r) residuals.row(r) -= rows[static_cast<std::size_t>(r) * kColumnStride];
    std::vector<float> columns(static_cast<std::size_t>(width));
    cv::parallel_for_(cv::Range(0, width), [&](const cv::Range& range) {
        std::vector<float> values;
        for (int x = range.start; x < range.end; ++x) {
            values.clear();
            for (int r = 0; r < sampled; ++r) values.push_back(residuals.at<float>(r, x));
            columns[static_cast<std::size_t>(x)] = upperMedian(values);
        }
    });
    return {std::move(rows), runningMedian(columns, kBandWidth)};
}

BandingOffsets measureBandSteps(const cv::Mat& mean, int channel) {
    if (mean.depth() != CV_32F || mean.empty()) throw std::invalid_argument("measureBandSteps needs a float image");
    if (channel < 0 || channel >= mean.channels()) throw std::invalid_argument("measureBandSteps: no such channel");
    const int width = mean.cols, height = mean.rows, channels = mean.channels();
    std::vector<float> medians(static_cast<std::size_t>(height));
    cv::parallel_for_(cv::Range(0, height), [&](const cv::Range& range) {
        std::vector<float> values;
        for (int y = range.start; y < range.end; ++y) {
            const float* in = mean.ptr<float>(y);
            values.clear();
            for (int x = y % kRowStride; x < width; x += kRowStride) values.push_back(in[x * channels + channel]);
            if (values.empty()) values.push_back(in[channel]);
            medians[static_cast<std::size_t>(y)] = upperMedian(values);
        }
    });
    std::vector<float> rows = runningMedian(medians, kBandWidth);
    std::vector<float> columns(static_cast<std::size_t>(width));
    cv::parallel_for_(cv::Range(0, width), [&](const cv::Range& range) {
        std::vector<float> values;
        for (int x = range.start; x < range.end; ++x) {
            values.clear();
            for (int y = x % kColumnStride; y < height; y += kColumnStride) {
                values.push_back(mean.ptr<float>(y)[x * channels + channel] - rows[static_cast<std::size_t>(y)]);
            }
            if (values.empty()) values.push_back(mean.ptr<float>(0)[x * channels + channel] - rows[0]);
            columns[static_cast<std::size_t>(x)] = upperMedian(values);
        }
    });
    return {std::move(rows), runningMedian(columns, kBandWidth)};
}

}  // namespace speckmend
