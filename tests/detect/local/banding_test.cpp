// Fixed-pattern banding: the running median that tells bands from hot
// lines, and the offsets measured on frames with crossing bands.
#include "detect/local/banding.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "detect/local/local_background.h"

namespace speckmend {
namespace {

TEST(RunningMedian, PassesStepsDropsSpikes) {
    struct Row {
        const char* name;
        std::vector<float> values;
        int window;
        std::vector<float> expected;
    };
    const Row rows[] = {
        {"flat", {2, 2, 2, 2, 2}, 3, {2, 2, 2, 2, 2}},
        {"a step passes", {0, 0, 0, 5, 5, 5}, 3, {0, 0, 0, 5, 5, 5}},
        {"a spike of one goes", {0, 0, 9, 0, 0}, 3, {0, 0, 0, 0, 0}},
        {"two of five go", {0, 9, 9, 0, 0, 0, 0}, 5, {0, 0, 0, 0, 0, 0, 0}},
        {"three of five stay", {0, 0, 0, 9, 9, 9, 0, 0, 0}, 5, {0, 0, 0, 9, 9, 9, 0, 0, 0}},
        // at the ends the window keeps its size: a spike on the first value goes too
        {"spike at the start", {9, 0, 0, 0, 0}, 3, {0, 0, 0, 0, 0}},
        {"window larger than the values", {1, 5, 3}, 9, {3, 3, 3}},
        {"empty", {}, 3, {}},
    };
    for (const Row& row : rows) EXPECT_EQ(runningMedian(row.values, row.window), row.expected) << row.name;
}

// A frame of 4 DN with a row band (rows 40-59, +9 DN) crossing a column
// band (columns 100-139, +7 DN), a hot column (x 200, +30 DN) and a hot
// row (y 150, +30 DN), over a faint deterministic texture.
cv::Mat bandedFrame() {
    cv::Mat mean(240, 320, CV_32FC1);
    for (int y = 0; y < mean.rows; ++y) {
        for (int x = 0; x < mean.cols; ++x) {
            float v = 4.0f + 0.3f * static_cast<float>((x * 7 + y * 11) % 5 - 2);
            if (y >= 40 && y <= 59) v += 9.0f;
            if (x >= 100 && x <= 139) v += 7.0f;
            if (x == 200 || y == 150) v += 30.0f;
            mean.at<float>(y, x) = v;
        }
    }
    return mean;
}

TEST(MeasureBandSteps, WholeStepsNotTheHotLines) {
    const BandingOffsets steps = measureBandSteps(bandedFrame(), 0);
    ASSERT_EQ(steps.rows.size(), 240u);
    ASSERT_EQ(steps.columns.size(), 320u);
    // each band's height, against the rows (columns) beside it, within the texture's 0.6 DN
    EXPECT_NEAR(steps.rows[50] - steps.rows[100], 9.0f, 0.65f);
    EXPECT_NEAR(steps.columns[120] - steps.columns[60], 7.0f, 0.65f);
    // the hot lines are left to the line search
    EXPECT_NEAR(steps.rows[150] - steps.rows[100], 0.0f, 0.65f);
    EXPECT_NEAR(steps.columns[200] - steps.columns[60], 0.0f, 0.65f);
}

TEST(MeasureBanding, WhatTheBlockMediansLeave) {
    const cv::Mat mean = bandedFrame();
    const LocalBackground background(mean, 0, 32);
    const BandingOffsets left = measureBanding(mean, 0, background);
    // a band's edge falls inside a block, whose median is the band's or
    // the rest's: the other side is left over
    EXPECT_GT(largestOffset(left), 2.0f);
    // a frame without banding leaves next to nothing
    cv::Mat plain = mean.clone();
    for (int y = 0; y < plain.rows; ++y) {
        for (int x = 0; x < plain.cols; ++x)
            plain.at<float>(y, x) = 4.0f + 0.3f * static_cast<float>((x * 7 + y * 11) % 5 - 2);
    }
    EXPECT_LT(largestOffset(measureBanding(plain, 0, LocalBackground(plain, 0, 32))), 0.2f);
    EXPECT_THROW(measureBandSteps(cv::Mat(4, 4, CV_8UC1), 0), std::invalid_argument);
    EXPECT_THROW(measureBandSteps(mean, 1), std::invalid_argument);
}

// The row medians of all channels of a colour frame in one pass, handed to
// measureBanding, give each channel the offsets it measures on its own: on
// frames with bands in one channel, different bands in each, none, and
// sizes whose rows do not end on the column medians' sampling.
TEST(MeasureBanding, RowMediansOfAllChannelsGiveEachChannelsOwn) {
    struct Row {
        const char* name;
        cv::Size size;
        bool banded[3];
    };
    const Row rows[] = {
        {"bands in green", {300, 220}, {false, true, false}},
        {"bands in every channel", {300, 220}, {true, true, true}},
        {"no bands", {300, 220}, {false, false, false}},
        {"an odd size", {203, 157}, {true, false, true}},
        {"a frame of two rows", {64, 2}, {true, true, true}},
    };
    for (const Row& row : rows) {
        const cv::Mat banded = bandedFrame();
        std::vector<cv::Mat> planes;
        for (int c = 0; c < 3; ++c) {
            cv::Mat plane(row.size, CV_32FC1);
            cv::randn(plane, 4.0 + c, 0.5);
            if (row.banded[c]) plane += banded(cv::Rect(cv::Point(3 * c, 2 * c), row.size));
            planes.push_back(plane);
        }
        cv::Mat mean;
        cv::merge(planes, mean);
        std::vector<LocalBackground> backgrounds;
        for (int c = 0; c < 3; ++c) backgrounds.emplace_back(mean, c, 32);
        const std::vector<std::vector<float>> medians =
            bandingRowMedians(mean, {&backgrounds[0], &backgrounds[1], &backgrounds[2]});
        ASSERT_EQ(medians.size(), 3u) << row.name;
        for (int c = 0; c < 3; ++c) {
            const BandingOffsets alone = measureBanding(mean, c, backgrounds[static_cast<std::size_t>(c)]);
            const BandingOffsets given = measureBanding(mean, c, backgrounds[static_cast<std::size_t>(c)],
                                                        &medians[static_cast<std::size_t>(c)]);
            EXPECT_EQ(given.rows, alone.rows) << row.name << ", channel " << c;
            EXPECT_EQ(given.columns, alone.columns) << row.name << ", channel " << c;
            // A band is measured as one where the frame holds enough of it.
            if (row.banded[c] && row.size.height > 100) {
                EXPECT_GT(largestOffset(alone), 1.0f) << row.name << ", channel " << c;
            }
        }
    }
    const cv::Mat mean(8, 8, CV_32FC3, cv::Scalar::all(1.0));
    const LocalBackground background(mean, 0, 4);
    const std::vector<float> tooFew(3, 0.0f);
    EXPECT_THROW(measureBanding(mean, 0, background, &tooFew), std::invalid_argument);
    EXPECT_THROW(bandingRowMedians(mean, {&background}), std::invalid_argument);
}

}  // namespace
}  // namespace speckmend
