// The noise measured per tile and the thresholds it gives.
#include "detect/local/tile_noise.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace speckmend {
namespace {

std::vector<float> gaussian(std::size_t count, float sigma, std::uint64_t seed) {
    cv::Mat values(1, static_cast<int>(count), CV_32FC1);
    cv::RNG rng(seed);
    rng.fill(values, cv::RNG::NORMAL, 0.0, sigma);
    return std::vector<float>(values.begin<float>(), values.end<float>());
}

TEST(UpperSigma, MeasuresKnownNoise) {
    struct Row {
        const char* name;
        float sigma;
        double outliers;  // share of values replaced by +250
        float clipBelow;  // values below this many sigma under 0 are raised to it
        float tolerance;  // relative
    };
    const Row rows[] = {
        {"unit Gaussian", 1.0f, 0.0, -100.0f, 0.05f},
        {"high ISO", 2.5f, 0.0, -100.0f, 0.05f},
        // hot pixels are far fewer than the tail that is measured
        {"one in a thousand hot", 1.5f, 0.001, -100.0f, 0.05f},
        // a black level of one sigma clips the lower half; the upper half is what counts
        {"lower half clipped", 2.0f, 0.0, -1.0f, 0.05f},
        {"clipped at the median", 2.0f, 0.0, 0.0f, 0.05f},
    };
    for (const Row& row : rows) {
        std::vector<float> values = gaussian(20000, row.sigma, 7);
        for (float& v : values) v = std::max(v, row.clipBelow * row.sigma);
        const auto hot = static_cast<std::size_t>(row.outliers * values.size());
        for (std::size_t i = 0; i < hot; ++i) values[i * 97 % values.size()] = 250.0f;
        EXPECT_NEAR(upperSigma(values), row.sigma, row.tolerance * row.sigma) << row.name;
    }
}

TEST(UpperSigma, EdgeCases) {
    std::vector<float> none;
    EXPECT_EQ(upperSigma(none), 0.0f);
    std::vector<float> constant(100, 4.0f);
    EXPECT_EQ(upperSigma(constant), 0.0f);
}

// The histogram's reading against the reordering one, on whole multiples of
// a unit: the same ranks must give the same sigma, on both sides of the
// sample size where the tail's percentile changes.
TEST(UpperSigma, HistogramAgreesWithTheSortedValues) {
    struct Row {
        const char* name;
        std::size_t count;
        float sigma;  // in units
        int bins = 400;
    };
    const Row rows[] = {
        {"one value", 1, 3.0f},
        {"two values", 2, 3.0f},
        {"just below the tail's size", 399, 5.0f},
        {"the tail's size", 400, 5.0f},
        {"many", 20000, 12.0f},
        {"all in one bin", 1000, 0.0f},
        // The walk passes over blocks of bins: values in a few dozen bins
        // of a thousand, as the photos' tiles have them; the ranks in the
        // last bins, past the last whole block; and bins fewer than a block.
        {"a few bins of many", 500, 2.0f, 1024},
        {"most at the ends", 2000, 900.0f, 1000},
        {"fewer bins than a block", 300, 3.0f, 20},
    };
    for (const Row& row : rows) {
        const float unit = 0.25f;
        std::vector<float> values = gaussian(row.count, row.sigma, 11);
        std::vector<std::uint32_t> counts(static_cast<std::size_t>(row.bins), 0);
        const int half = row.bins / 2;
        for (float& v : values) {
            const int bin = std::clamp(static_cast<int>(std::lround(v)), -half, half - 1);
            ++counts[static_cast<std::size_t>(bin + half)];
            v = static_cast<float>(bin) * unit;
        }
        EXPECT_FLOAT_EQ(upperSigma(counts, unit), upperSigma(values)) << row.name;
    }
    EXPECT_EQ(upperSigma(std::vector<std::uint32_t>(16, 0), 1.0f), 0.0f);
}

// A frame of 512 x 512 (four tiles) with the given noise per quadrant on a
// flat black level.
cv::Mat quadrants(float topLeft, float topRight, float bottomLeft, float bottomRight) {
    cv::Mat frame(512, 512, CV_32FC1);
    cv::RNG rng(3);
    const float sigmas[] = {topLeft, topRight, bottomLeft, bottomRight};
    for (int q = 0; q < 4; ++q) {
        cv::Mat part = frame(cv::Rect(q % 2 * 256, q / 2 * 256, 256, 256));
        rng.fill(part, cv::RNG::NORMAL, 4.0, sigmas[q]);
    }
    return frame;
}

TEST(TileNoise, ThresholdPerTile) {
    struct Row {
        const char* name;
        float sigmas[4];
        double multiple, floor;
        float thresholds[4];  // expected, within 8 percent
        double again = 0.0;   // thresholded again at this multiple and the floor, if above 0
    };
    const Row rows[] = {
        {"quiet sensor: the floor holds", {0.5f, 0.5f, 0.5f, 0.5f}, 5.0, 6.0, {6.0f, 6.0f, 6.0f, 6.0f}},
        {"high ISO everywhere", {2.0f, 2.0f, 2.0f, 2.0f}, 5.0, 6.0, {10.0f, 10.0f, 10.0f, 10.0f}},
        {"another multiple", {2.0f, 2.0f, 2.0f, 2.0f}, 3.0, 0.0, {6.0f, 6.0f, 6.0f, 6.0f}},
        // a tile that is really noisier keeps its own measurement
        {"one noisy corner of four", {1.0f, 1.0f, 1.0f, 4.0f}, 5.0, 0.0, {5.0f, 5.0f, 5.0f, 20.0f}},
        {"thresholded again, longer", {1.0f, 1.0f, 1.0f, 4.0f}, 5.0, 0.0, {7.5f, 7.5f, 7.5f, 30.0f}, 7.5},
        {"thresholded again, the floor holds", {0.5f, 0.5f, 0.5f, 2.0f}, 5.0, 6.0, {6.0f, 6.0f, 6.0f, 15.0f}, 7.5},
    };
    for (const Row& row : rows) {
        const cv::Mat frame = quadrants(row.sigmas[0], row.sigmas[1], row.sigmas[2], row.sigmas[3]);
        const LocalBackground background(frame, 0, 32);
        TileNoise noise(frame, 0, background, row.multiple, row.floor);
        if (row.again > 0.0) noise.setThresholds(row.again, row.floor);
        ASSERT_EQ(noise.tileColumns(), 2);
        ASSERT_EQ(noise.tileRows(), 2);
        for (int t = 0; t < 4; ++t) {
            EXPECT_NEAR(noise.threshold(t % 2, t / 2), row.thresholds[t], 0.08 * row.thresholds[t])
                << row.name << ", tile " << t;
        }
    }
}

TEST(TileNoise, NoisyRegionRaisesOnlyItsOwnThreshold) {
    // 5 x 1 tiles, the right two noisy.
    cv::Mat frame(256, 1280, CV_32FC1);
    cv::RNG rng(5);
    rng.fill(frame, cv::RNG::NORMAL, 4.0, 1.0);
    cv::Mat noisy = frame(cv::Rect(768, 0, 512, 256));
    rng.fill(noisy, cv::RNG::NORMAL, 4.0, 3.0);
    const LocalBackground background(frame, 0, 32);
    const TileNoise noise(frame, 0, background, 5.0, 0.0);
    ASSERT_EQ(noise.tileColumns(), 5);
    EXPECT_NEAR(noise.threshold(0, 0), 5.0f, 0.4f);
    EXPECT_NEAR(noise.threshold(1, 0), 5.0f, 0.4f);
    EXPECT_NEAR(noise.threshold(3, 0), 15.0f, 1.2f);
    EXPECT_NEAR(noise.threshold(4, 0), 15.0f, 1.2f);
    EXPECT_EQ(noise.thresholdAt(1279, 255), noise.threshold(4, 0));
}

// The noise of all channels measured in one pass is each channel's own:
// on channels of different noise, a noisy corner in one, frames of one
// channel, small tiles sampled whole and an odd size.
TEST(TileNoise, AllChannelsTogetherAsEachAlone) {
    struct Row {
        const char* name;
        cv::Size size;
        int channels;
    };
    const Row rows[] = {
        {"three channels", {700, 500}, 3},
        {"one channel", {700, 500}, 1},
        {"an odd size", {533, 281}, 3},
        {"small tiles, sampled whole", {30, 20}, 3},
    };
    for (const Row& row : rows) {
        std::vector<cv::Mat> planes;
        for (int c = 0; c < row.channels; ++c) {
            cv::Mat plane(row.size, CV_32FC1);
            cv::randn(plane, 4.0 + c, 1.0 + c);
            if (c == 1) plane(cv::Rect(0, 0, row.size.width / 3, row.size.height / 3)) *= 3.0f;
            planes.push_back(plane);
        }
        cv::Mat mean;
        cv::merge(planes, mean);
        std::vector<LocalBackground> backgrounds;
        std::vector<const LocalBackground*> models;
        for (int c = 0; c < row.channels; ++c) backgrounds.emplace_back(mean, c, 32);
        for (const LocalBackground& b : backgrounds) models.push_back(&b);
        const std::vector<TileNoise> together = TileNoise::ofChannels(mean, models, 5.0, 2.0);
        ASSERT_EQ(together.size(), static_cast<std::size_t>(row.channels)) << row.name;
        for (int c = 0; c < row.channels; ++c) {
            const TileNoise alone(mean, c, backgrounds[static_cast<std::size_t>(c)], 5.0, 2.0);
            const TileNoise& joint = together[static_cast<std::size_t>(c)];
            ASSERT_EQ(joint.tileWidth(), alone.tileWidth()) << row.name;
            ASSERT_EQ(joint.tileHeight(), alone.tileHeight()) << row.name;
            EXPECT_EQ(cv::countNonZero(joint.noise() != alone.noise()), 0) << row.name << ", channel " << c;
            EXPECT_EQ(cv::countNonZero(joint.thresholds() != alone.thresholds()), 0) << row.name << ", channel " << c;
        }
    }
    const cv::Mat mean(8, 8, CV_32FC3, cv::Scalar::all(1.0));
    const LocalBackground background(mean, 0, 4);
    EXPECT_THROW(TileNoise::ofChannels(mean, {&background}, 5.0, 2.0), std::invalid_argument);
}

// ---- former bugs ------------------------------------------------------------

TEST(TileNoise, HotLinesDoNotRaiseTheNoise) {
    // Sampled on a square grid, a hot column on a sampled x made 2 percent
    // of a tile's samples and put its threshold near the column's own level.
    struct Row {
        const char* name;
        cv::Rect line;
    };
    const Row rows[] = {
        {"column at 0", {0, 0, 1, 256}},
        {"column at 25", {25, 0, 1, 256}},
        {"row at 0", {0, 0, 256, 1}},
        {"three columns", {100, 0, 3, 256}},
    };
    for (const Row& row : rows) {
        cv::Mat frame(256, 256, CV_32FC1);
        cv::RNG rng(9);
        rng.fill(frame, cv::RNG::NORMAL, 4.0, 1.0);
        frame(row.line) += 20.0;
        const LocalBackground background(frame, 0, 32);
        const TileNoise noise(frame, 0, background, 5.0, 0.0);
        EXPECT_NEAR(noise.noise(0, 0), 1.0f, 0.1f) << row.name;
    }
}

TEST(TileNoise, NoiselessFrameWithoutFloorStillHasAThreshold) {
    // A zero threshold made every positive residual hot and divided by zero.
    const cv::Mat frame(40, 40, CV_32FC1, cv::Scalar(4.0));
    const LocalBackground background(frame, 0, 8);
    const TileNoise noise(frame, 0, background, 5.0, 0.0);
    EXPECT_GT(noise.threshold(0, 0), 0.0f);
}

TEST(TileNoise, DemosaicedChannelsAreMeasuredAtTheSites) {
    // In a demosaiced channel the sensor's own sites carry its full noise
    // and the pixels between them averages with half of it or less. Measured
    // over all pixels, 16-bit colour darks of a 12-bit sensor got a bar of
    // four of the sites' sigmas and a hundred false hot pixels per frame.
    struct Row {
        const char* name;
        int channel;
        float sigmas[4];  // per place of the 2x2 mosaic: (y & 1) * 2 + (x & 1)
        float expected;   // the tile's noise, within 12 percent (a place holds a quarter of the samples)
    };
    const Row rows[] = {
        {"red sites at the last place", 2, {1.0f, 1.0f, 1.0f, 2.0f}, 2.0f},
        {"blue sites at the first place", 0, {3.0f, 1.0f, 1.0f, 1.0f}, 3.0f},
        {"green sites at two places", 1, {1.0f, 2.0f, 2.0f, 1.0f}, 2.0f},
        {"never a mosaic: equal places", 1, {1.0f, 1.0f, 1.0f, 1.0f}, 1.0f},
    };
    for (const Row& row : rows) {
        cv::Mat frame(256, 256, CV_32FC3, cv::Scalar::all(4.0));
        cv::RNG rng(21);
        for (int y = 0; y < frame.rows; ++y) {
            float* px = frame.ptr<float>(y);
            for (int x = 0; x < frame.cols; ++x)
                px[x * 3 + row.channel] += static_cast<float>(rng.gaussian(row.sigmas[(y & 1) * 2 + (x & 1)]));
        }
        const LocalBackground background(frame, row.channel, 32);
        const TileNoise noise(frame, row.channel, background, 5.0, 0.0);
        EXPECT_NEAR(noise.noise(0, 0), row.expected, 0.12f * row.expected) << row.name;
    }
}

TEST(UpperSigma, ClippedBlackLevelDoesNotLowerTheBar) {
    // The mean of 8 frames whose read noise (5 DN) is clipped at 0 above a
    // black level of 4 DN: skewed, with a long upper tail. Measured as
    // 1.4826 x MAD, "five sigma" let through hundreds of noise pixels per
    // frame; the upper tail measured directly keeps 3 sigma near its
    // Gaussian share (0.13 percent).
    constexpr int kCount = 200000;
    std::vector<float> mean(kCount, 0.0f);
    cv::RNG rng(17);
    for (int frame = 0; frame < 8; ++frame) {
        for (float& v : mean) v += static_cast<float>(std::max(0.0, std::round(4.0 + rng.gaussian(5.0)))) / 8.0f;
    }
    std::vector<float> work = mean;
    const float sigma = upperSigma(work);
    std::vector<float> sorted = mean;
    std::nth_element(sorted.begin(), sorted.begin() + kCount / 2, sorted.end());
    const float median = sorted[kCount / 2];
    const auto above = std::count_if(mean.begin(), mean.end(), [&](float v) { return v > median + 3.0f * sigma; });
    EXPECT_LE(static_cast<double>(above) / kCount, 0.002) << "sigma " << sigma;
}

}  // namespace
}  // namespace speckmend
