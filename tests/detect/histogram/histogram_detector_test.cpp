// The histogram detector step by step: the walk over the bins with its
// console lines, and the hot pixel scan.
#include "detect/histogram/histogram_detector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace speckmend {
namespace {

cv::Mat grey(int rows, int cols, int value) { return cv::Mat(rows, cols, CV_8UC1, cv::Scalar(value)); }

// The mean of 8-bit frames as the run makes it: a float sum, then scaled.
cv::Mat meanOf(const std::vector<cv::Mat>& frames) {
    cv::Mat sum;
    frames[0].convertTo(sum, CV_32F);
    for (std::size_t i = 1; i < frames.size(); ++i) cv::accumulate(frames[i], sum);
    sum.convertTo(sum, CV_32F, 1.0 / static_cast<double>(frames.size()), 0.0);
    return sum;
}

// Console output of `action`.
template <typename Action>
std::string printed(Action action) {
    ::testing::internal::CaptureStdout();
    action();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

std::string binLine(int bin, int count, int lower, int upper, const char* fraction) {
    char line[128];
    std::snprintf(line, sizeof line, "channel%d: %d pixels between %d and %d, curr.amount is %s\n", bin, count, lower,
                  upper, fraction);
    return line;
}

// ---- Smoothing and counting on all cores --------------------------------------

// Runs `action` with OpenCV's parallel loops on `threads` threads.
template <typename Action>
void onThreads(int threads, Action action) {
    const int before = cv::getNumThreads();
    cv::setNumThreads(threads);
    action();
    cv::setNumThreads(before);
}

cv::Mat randomMean(int rows, int cols, std::uint64_t seed) {
    cv::Mat mean(rows, cols, CV_32FC1);
    cv::RNG rng(seed);
    rng.fill(mean, cv::RNG::UNIFORM, 0.0, 256.0);
    return mean;
}

// The bin lines of a walk that never reaches its amount, over the
// library's histogram of `image`.
std::string libraryBinLines(const cv::Mat& image, int bins) {
    const int sizes[] = {bins};
    const float range[] = {0.0f, 256.0f};
    const float* ranges[] = {range};
    cv::Mat library;
    cv::calcHist(&image, 1, nullptr, cv::Mat(), library, 1, sizes, ranges, true, false);
    std::string lines;
    std::int64_t cumulative = 0;
    for (int i = 0; i < bins; ++i) {
        const int count = static_cast<int>(library.at<float>(i));
        cumulative += count;
        char fraction[32];
        std::snprintf(fraction, sizeof fraction, "%f",
                      static_cast<double>(cumulative) / static_cast<double>(image.total()));
        lines += binLine(i, count, 256 * i / bins, 256 * (i + 1) / bins, fraction);
    }
    return lines + "\nTreshold at 256\n\n";
}

// The library's own whole-frame filter and histogram are the reference for
// the striped ones, bit for bit, on one thread and on many; the histogram
// is counted stripe by stripe as the smoothing goes.
TEST(HistogramDetector, SmoothingAndCountsAreTheLibrarysWholeFrameOnes) {
    const cv::Size sizes[] = {{1, 1}, {3, 3}, {40, 129}, {97, 257}, {613, 385}, {200, 1}, {1, 200}, {2, 300}, {5, 385}};
    for (const cv::Size size : sizes) {
        for (const int threads : {4, 1}) {
            SCOPED_TRACE(::testing::Message() << size << " on " << threads << " thread(s)");
            const cv::Mat mean = randomMean(size.height, size.width, static_cast<std::uint64_t>(size.area()));
            cv::Mat expected;
            cv::GaussianBlur(mean, expected, cv::Size(9, 9), 0.0, 0.0, cv::BORDER_REPLICATE);
            cv::Mat smoothed = mean.clone();
            HistogramDetector detector(smoothed, 2.0, 32);
            const std::string lines = printed([&] { onThreads(threads, [&] { detector.chooseThreshold(); }); });
            ASSERT_EQ(std::memcmp(smoothed.data, expected.data, expected.total() * sizeof(float)), 0);
            EXPECT_EQ(lines, libraryBinLines(expected, 32));
            if (!HistogramDetector::smoothsInStripes(size)) continue;
            // Handed over in stripes of every height from one row up, from
            // copies of the rows each one reads, into storage that held
            // something else: the same smoothing and the same counts.
            for (const int stripe : {1, 2, 5, 130}) {
                SCOPED_TRACE(::testing::Message() << "stripes of " << stripe << " row(s)");
                cv::Mat storage(mean.size(), CV_32FC1, cv::Scalar(-7.0f));
                HistogramDetector striped(storage, 2.0, 32);
                const int reach = HistogramDetector::kSmoothingReach;
                for (int start = 0; start < mean.rows; start += stripe) {
                    const cv::Range own(start, std::min(start + stripe, mean.rows));
                    const cv::Range wide(std::max(start - reach, 0), std::min(own.end + reach, mean.rows));
                    cv::Mat target = storage.rowRange(own);
                    striped.smoothStripe(mean.rowRange(wide).clone(), wide, own, target);
                }
                const std::string stripedLines = printed([&] { striped.chooseThreshold(); });
                ASSERT_EQ(std::memcmp(storage.data, expected.data, expected.total() * sizeof(float)), 0);
                EXPECT_EQ(stripedLines, lines);
            }
        }
    }
}

TEST(HistogramCounts, AreTheLibrarysCounts) {
    const float below256 = std::nextafter(256.0f, 0.0f);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // Bin edges and their neighbours for every bin count below, the range's
    // ends, and what lies outside it.
    std::vector<float> values = {0.0f, -0.0f, -1e-30f, 256.0f, below256, 255.5f, nan, inf, -inf, 1e30f, -5.0f};
    for (const int bins : {1, 7, 32, 100}) {
        for (int i = 0; i <= bins; ++i) {
            const float edge = static_cast<float>(256.0 * i / bins);
            values.insert(values.end(), {edge, std::nextafter(edge, 0.0f), std::nextafter(edge, 300.0f)});
        }
    }
    const cv::Mat edges(1, static_cast<int>(values.size()), CV_32FC1, values.data());
    const cv::Mat spread = randomMean(301, 211, 5);
    // The same values in runs of one to four, as a dark frame holds them
    // (the counter follows a run while its values stay in one bin), over
    // rows of several stripes.
    std::vector<float> runs;
    for (std::size_t i = 0; i < values.size(); ++i) runs.insert(runs.end(), i % 4 + 1, values[i]);
    const cv::Mat runRows = cv::repeat(cv::Mat(1, static_cast<int>(runs.size()), CV_32FC1, runs.data()), 70, 1);
    // Former bugs: none yet.
    for (const cv::Mat& image : {edges, spread, runRows}) {
        for (const int bins : {1, 7, 32, 100, 256, 1000}) {
            SCOPED_TRACE(::testing::Message() << image.size() << ", " << bins << " bins");
            const int sizes[] = {bins};
            const float range[] = {0.0f, 256.0f};
            const float* ranges[] = {range};
            cv::Mat library;
            cv::calcHist(&image, 1, nullptr, cv::Mat(), library, 1, sizes, ranges, true, false);
            std::vector<std::int64_t> counts;
            onThreads(4, [&] { counts = histogramCounts(image, bins); });
            ASSERT_EQ(counts.size(), static_cast<std::size_t>(bins));
            for (int i = 0; i < bins; ++i) EXPECT_EQ(counts[i], static_cast<std::int64_t>(library.at<float>(i))) << i;
        }
    }
}

// ---- The histogram walk ----------------------------------------------------

// Left half 44, right half 204, 80 columns by 100 rows. The 9-tap Gaussian
// (sigma 1.7: weights .2364 .1989 .1184 .0498 .0148 from the centre out)
// blends the four columns on each side of the step, so the smoothed columns
// fall into these bins of width 8, each column of 100 pixels:
//   columns 0-36: 44..46.4 (bin 5)     column 40: 142.9 (bin 17)
//   column 37: 54.3 (bin 6)            column 41: 174.7 (bin 21)
//   column 38: 73.3 (bin 9)            column 42: 193.7 (bin 24)
//   column 39: 105.1 (bin 13)          columns 43-79: 201.6..204 (bin 25)
cv::Mat stepFrame() {
    cv::Mat frame = grey(100, 80, 44);
    frame.colRange(40, 80).setTo(204);
    return frame;
}

struct WalkRow {
    const char* name;
    std::int32_t bins;
    double amount;
    int frameValue;  // a constant frame; -1 for stepFrame()
    std::string lines;
    double threshold;
};

std::string zeroBins(int from, int to, int width, const char* fraction) {
    std::string lines;
    for (int bin = from; bin <= to; ++bin) lines += binLine(bin, 0, bin * width, (bin + 1) * width, fraction);
    return lines;
}

TEST(HistogramThreshold, WalksTheBinsUntilTheAmountIsReached) {
    const std::vector<WalkRow> rows = {
        // a constant frame: everything in one bin
        {"constant 100, 32 bins", 32, 0.5, 100, zeroBins(0, 11, 8, "0.000000") + binLine(12, 8000, 96, 104, "1.000000"),
         104.0},
        {"amount 0 stops at the first bin", 32, 0.0, 100, binLine(0, 0, 0, 8, "0.000000"), 8.0},
        {"a negative amount too", 32, -1.0, 100, binLine(0, 0, 0, 8, "0.000000"), 8.0},
        {"a single bin spans everything", 1, 0.5, 100, binLine(0, 8000, 0, 256, "1.000000"), 256.0},
        // 100 bins of width 2.56: edges truncated in the lines, not in the threshold
        {"100 bins, stop in bin 30", 100, 0.5, 78,
         [] {
             std::string lines;
             for (int bin = 0; bin < 30; ++bin) {
                 lines += binLine(bin, 0, static_cast<int>(bin * 2.56), static_cast<int>((bin + 1) * 2.56), "0.000000");
             }
             return lines + binLine(30, 8000, 76, 79, "1.000000");
         }(),
         79.36},
        // the step frame: two large bins and the blended columns between
        {"amount equal to a cumulative share stops there", 32, 0.475, -1,
         zeroBins(0, 4, 8, "0.000000") + binLine(5, 3700, 40, 48, "0.462500") + binLine(6, 100, 48, 56, "0.475000"),
         56.0},
        {"just above it goes on to the next bin with pixels", 32, 0.4751, -1,
         zeroBins(0, 4, 8, "0.000000") + binLine(5, 3700, 40, 48, "0.462500") + binLine(6, 100, 48, 56, "0.475000") +
             zeroBins(7, 8, 8, "0.475000") + binLine(9, 100, 72, 80, "0.487500"),
         80.0},
        {"amount above 1 walks every bin", 32, 1.5, -1,
         zeroBins(0, 4, 8, "0.000000") + binLine(5, 3700, 40, 48, "0.462500") + binLine(6, 100, 48, 56, "0.475000") +
             zeroBins(7, 8, 8, "0.475000") + binLine(9, 100, 72, 80, "0.487500") + zeroBins(10, 12, 8, "0.487500") +
             binLine(13, 100, 104, 112, "0.500000") + zeroBins(14, 16, 8, "0.500000") +
             binLine(17, 100, 136, 144, "0.512500") + zeroBins(18, 20, 8, "0.512500") +
             binLine(21, 100, 168, 176, "0.525000") + zeroBins(22, 23, 8, "0.525000") +
             binLine(24, 100, 192, 200, "0.537500") + binLine(25, 3700, 200, 208, "1.000000") +
             zeroBins(26, 31, 8, "1.000000"),
         256.0},
    };
    for (const WalkRow& row : rows) {
        SCOPED_TRACE(row.name);
        HistogramDetector detector(meanOf({row.frameValue < 0 ? stepFrame() : grey(100, 80, row.frameValue)}),
                                   row.amount, row.bins);
        double threshold = 0.0;
        const std::string output = printed([&] { threshold = detector.chooseThreshold(); });
        const char* thresholdLine = "\nTreshold at %d\n\n";
        char expectedEnd[64];
        std::snprintf(expectedEnd, sizeof expectedEnd, thresholdLine, static_cast<int>(row.threshold));
        EXPECT_EQ(output, row.lines + expectedEnd);
        EXPECT_DOUBLE_EQ(threshold, row.threshold);
    }
}

TEST(HistogramThreshold, CountsAboveTwoToThe24AreRoundedLikeFloats) {
    // 4097 x 4097 = 16,785,409 pixels in one bin; a float count holds
    // 16,785,408. The histogram is built in stripes, which must not change
    // that.
    HistogramDetector detector(meanOf({grey(4097, 4097, 100)}), 0.5, 32);
    const std::string output = printed([&] { detector.chooseThreshold(); });
    EXPECT_EQ(output,
              zeroBins(0, 11, 8, "0.000000") + binLine(12, 16785408, 96, 104, "1.000000") + "\nTreshold at 104\n\n");
}

TEST(HistogramThreshold, AmountAboveOneSuppressesEverything) {
    cv::Mat frame = grey(20, 20, 10);
    frame.at<std::uint8_t>(10, 10) = 255;
    HistogramDetector detector(meanOf({frame}), 1.5, 32);
    double threshold = 0.0;
    printed([&] { threshold = detector.chooseThreshold(); });
    EXPECT_EQ(threshold, 256.0);
    EXPECT_TRUE(detector.scanHotPixels(threshold).empty());
}

TEST(HistogramThreshold, RefusesWhatItCannotWalk) {
    // The run refuses a `channels` setting below 1 with its own message
    // before any frame is read.
    for (const std::int32_t bins : {0, -5}) {
        EXPECT_THROW(HistogramDetector(meanOf({grey(10, 10, 1)}), 0.5, bins), std::invalid_argument) << bins;
    }
    EXPECT_THROW(HistogramDetector(cv::Mat(), 0.5, 32), std::invalid_argument);
    EXPECT_THROW(HistogramDetector(cv::Mat(4, 4, CV_32FC3, cv::Scalar::all(1)), 0.5, 32), std::invalid_argument);
}

// ---- The hot pixel scan ---------------------------------------------------

// Scans the mean of the frames directly, without smoothing, so that the
// values compared are the ones written here.
std::vector<cv::Point> scan(const std::vector<cv::Mat>& frames, double threshold) {
    return HistogramDetector(meanOf(frames), 0.5, 32).scanHotPixels(threshold);
}

struct Spot {
    int x, y, value;
};

cv::Mat frameWith(int rows, int cols, int background, const std::vector<Spot>& spots) {
    cv::Mat frame = grey(rows, cols, background);
    for (const Spot& s : spots) frame.at<std::uint8_t>(s.y, s.x) = static_cast<std::uint8_t>(s.value);
    return frame;
}

struct ScanRow {
    const char* name;
    int rows, cols;
    std::vector<Spot> spots;
    double threshold;
    std::vector<cv::Point> expected;
};

TEST(HistogramScan, ReportsStrictMaximaAboveTheThreshold) {
    const std::vector<ScanRow> rows = {
        // size limits
        {"3 by 3: the centre", 3, 3, {{1, 1, 90}}, 20, {{1, 1}}},
        {"3 by 3: a corner is never scanned", 3, 3, {{0, 0, 90}}, 20, {}},
        {"2 rows", 2, 9, {{4, 1, 90}}, 20, {}},
        {"2 columns", 9, 2, {{1, 4, 90}}, 20, {}},
        {"1 by 1", 1, 1, {{0, 0, 90}}, 20, {}},
        // borders
        {"first row", 8, 8, {{4, 0, 90}}, 20, {}},
        {"last row", 8, 8, {{4, 7, 90}}, 20, {}},
        {"first column", 8, 8, {{0, 4, 90}}, 20, {}},
        {"last column", 8, 8, {{7, 4, 90}}, 20, {}},
        {"next to the corners",
         8,
         8,
         {{1, 1, 90}, {6, 1, 90}, {1, 6, 90}, {6, 6, 90}},
         20,
         {{1, 1}, {6, 1}, {1, 6}, {6, 6}}},
        // plateaus and constants
        {"constant frame", 8, 8, {}, 0, {}},
        {"two equal neighbours", 8, 8, {{3, 3, 90}, {4, 3, 90}}, 20, {}},
        {"two equal diagonal neighbours", 8, 8, {{3, 3, 90}, {4, 4, 90}}, 20, {}},
        {"a plateau beside a peak", 12, 12, {{3, 3, 90}, {4, 3, 90}, {8, 8, 60}}, 20, {{8, 8}}},
        {"a brighter neighbour wins", 8, 8, {{3, 3, 90}, {4, 3, 91}}, 20, {{4, 3}}},
        // threshold
        {"equal to the threshold is suppressed", 8, 8, {{3, 3, 40}}, 40, {}},
        {"above the threshold stays", 8, 8, {{3, 3, 41}}, 40, {{3, 3}}},
        {"a maximum next to suppressed pixels", 8, 8, {{3, 3, 41}, {4, 3, 39}}, 40, {{3, 3}}},
        {"threshold 0: one step above the background is enough", 8, 8, {{3, 3, 11}}, 0, {{3, 3}}},
        {"a threshold below 0 suppresses nothing", 8, 8, {{3, 3, 11}}, -4, {{3, 3}}},
        // wide rows, passed over in blocks
        {"maxima at the ends of the blocks",
         5,
         40,
         {{1, 2, 50}, {16, 2, 50}, {18, 2, 50}, {33, 2, 50}, {38, 2, 50}},
         20,
         {{1, 2}, {16, 2}, {18, 2}, {33, 2}, {38, 2}}},
        // order
        {"rows from the top, left to right",
         12,
         12,
         {{9, 2, 50}, {2, 5, 50}, {6, 5, 50}, {4, 9, 50}},
         20,
         {{9, 2}, {2, 5}, {6, 5}, {4, 9}}},
    };
    for (const ScanRow& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(scan({frameWith(row.rows, row.cols, 10, row.spots)}, row.threshold), row.expected);
    }
}

// The suppression written into the frame, then the eight neighbours
// compared: the scan's reference.
std::vector<cv::Point> suppressedMaxima(const cv::Mat& mean, double threshold) {
    cv::Mat suppressed;
    cv::threshold(mean, suppressed, threshold, 255.0, cv::THRESH_TOZERO);
    std::vector<cv::Point> maxima;
    for (int y = 1; y + 1 < mean.rows; ++y) {
        for (int x = 1; x + 1 < mean.cols; ++x) {
            const float v = suppressed.at<float>(y, x);
            bool highest = v > 0.0f;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    if (dx != 0 || dy != 0) highest = highest && v > suppressed.at<float>(y + dy, x + dx);
                }
            }
            if (highest) maxima.emplace_back(x, y);
        }
    }
    return maxima;
}

TEST(HistogramScan, IsTheStrictMaximaOfTheSuppressedMean) {
    // Few levels, so that plateaus and equal neighbours are common; a NaN
    // and negative values among them; frames wider than the blocks the scan
    // passes over at once.
    const cv::Size sizes[] = {{3, 3}, {40, 7}, {97, 61}, {18, 5}, {17, 4}};
    for (const cv::Size size : sizes) {
        cv::Mat levels(size, CV_32SC1);
        cv::RNG rng(static_cast<std::uint64_t>(size.area()));
        rng.fill(levels, cv::RNG::UNIFORM, -2, 21);
        cv::Mat mean;
        levels.convertTo(mean, CV_32F, 1.0, 0.0);
        mean.at<float>(size.height / 2, size.width / 2) = std::numeric_limits<float>::quiet_NaN();
        // A maximum below 0, which no threshold leaves standing.
        if (size.width >= 5 && size.height >= 4) {
            mean(cv::Rect(1, 1, 3, 3)).setTo(-2.0f);
            mean.at<float>(2, 2) = -1.0f;
        }
        for (const double threshold : {-3.0, -1.0, 0.0, 5.0, 10.0, 10.5, 19.0, 25.0}) {
            SCOPED_TRACE(::testing::Message() << size << ", threshold " << threshold);
            const std::vector<cv::Point> expected = suppressedMaxima(mean, threshold);
            EXPECT_EQ(HistogramDetector(mean.clone(), 0.5, 32).scanHotPixels(threshold), expected);
        }
    }
}

std::vector<cv::Point> centre() { return {{3, 3}}; }

TEST(HistogramScan, EveryOneOfTheEightNeighboursCounts) {
    const cv::Point neighbours[] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}, {-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
    for (const cv::Point& n : neighbours) {
        SCOPED_TRACE(::testing::Message() << "neighbour " << n.x << "," << n.y);
        // Equal to the centre: no strict maximum.
        EXPECT_EQ(scan({frameWith(7, 7, 10, {{3, 3, 90}, {3 + n.x, 3 + n.y, 90}})}, 20), std::vector<cv::Point>{});
        // One step below: the centre is reported.
        EXPECT_EQ(scan({frameWith(7, 7, 10, {{3, 3, 90}, {3 + n.x, 3 + n.y, 89}})}, 20), centre());
    }
}

TEST(HistogramScan, TheThresholdIsNotTruncated) {
    // Means of 79.33 and 79.5 against the 100-bin threshold 79.36 (printed
    // as 79): the first is suppressed although it is above 79.
    const cv::Mat low = frameWith(7, 7, 10, {{3, 3, 79}});
    const cv::Mat high = frameWith(7, 7, 10, {{3, 3, 80}});
    EXPECT_EQ(scan({low, low, high}, 79.36), std::vector<cv::Point>{});
    EXPECT_EQ(scan({low, high}, 79.36), centre());
}

TEST(HistogramScan, SmoothedHotPixelsAreFoundAtTheirPlace) {
    // Through the whole analysis: a bright pixel stays the peak of the
    // smoothed mean, also one pixel from the border where the smoothing
    // repeats the edge, while a bright pixel on the border is not reported.
    const cv::Mat frame =
        frameWith(60, 80, 3, {{20, 30, 250}, {1, 10, 250}, {78, 50, 250}, {50, 0, 250}, {79, 20, 250}});
    HistogramDetector detector(meanOf({frame, frame}), 0.9, 32);
    double threshold = 0.0;
    printed([&] { threshold = detector.chooseThreshold(); });
    EXPECT_EQ(threshold, 8.0);
    EXPECT_EQ(detector.scanHotPixels(threshold), (std::vector<cv::Point>{{1, 10}, {20, 30}, {78, 50}}));
}

}  // namespace
}  // namespace speckmend
