// A subsampled component's samples: which count as touched, the box of an
// area's samples, and the units its discs are repaired in against a pair by
// pair reference.
#include "heal/lossless_jpeg/sample_plane.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace speckmend {
namespace {

// A sample is touched when any pixel of its footprint is masked, counted
// here footprint by footprint.
cv::Mat touchedByFootprints(const cv::Mat& mask, int stepX, int stepY) {
    cv::Mat touched((mask.rows + stepY - 1) / stepY, (mask.cols + stepX - 1) / stepX, CV_8UC1, cv::Scalar(0));
    for (int y = 0; y < touched.rows; ++y)
        for (int x = 0; x < touched.cols; ++x) {
            const cv::Rect footprint = cv::Rect(x * stepX, y * stepY, stepX, stepY) & cv::Rect({}, mask.size());
            if (cv::countNonZero(mask(footprint)) > 0) touched.at<unsigned char>(y, x) = 255;
        }
    return touched;
}

TEST(SamplePlane, TouchedSamplesAreThoseWithAMaskedPixelInTheirFootprint) {
    struct Row {
        const char* name;
        cv::Size size;
        int stepX, stepY;
        std::vector<cv::Point> masked;
    };
    const Row rows[] = {
        {"4:2:0, one pixel", {16, 16}, 2, 2, {{3, 5}}},
        {"4:2:2, two pixels", {16, 8}, 2, 1, {{0, 0}, {5, 1}}},
        {"4:1:1, a run across footprints", {16, 4}, 4, 1, {{3, 2}, {4, 2}, {5, 2}}},
        {"4:4:0", {8, 16}, 1, 2, {{7, 15}}},
        {"full resolution: the mask itself", {9, 7}, 1, 1, {{1, 1}, {8, 6}}},
        // a photo whose size the footprints do not divide
        {"odd size, a pixel in the last partial footprint", {5, 3}, 2, 2, {{4, 2}}},
        {"odd size, 4:1:1", {13, 3}, 4, 1, {{12, 0}}},
        {"nothing masked", {8, 8}, 2, 2, {}},
    };
    for (const Row& row : rows) {
        cv::Mat mask(row.size, CV_8UC1, cv::Scalar(0));
        for (const cv::Point& p : row.masked) mask.at<unsigned char>(p) = 255;
        const cv::Mat got = touchedSamples(mask, row.stepX, row.stepY);
        const cv::Mat want = touchedByFootprints(mask, row.stepX, row.stepY);
        ASSERT_EQ(got.size(), want.size()) << row.name;
        EXPECT_EQ(cv::countNonZero(got != want), 0) << row.name;
    }
}

TEST(SamplePlane, RefusesWhatDoesNotFit) {
    const cv::Mat wide(8, 8, CV_16UC1, cv::Scalar(0)), mask(8, 8, CV_8UC1, cv::Scalar(0));
    EXPECT_THROW(touchedSamples(wide, 2, 2), std::invalid_argument);
    EXPECT_THROW(touchedSamples(mask, 0, 2), std::invalid_argument);
}

TEST(SamplePlane, SamplesOfAnAreaAreThoseItsPixelsTouch) {
    struct Row {
        const char* name;
        cv::Rect area;
        int stepX, stepY;
    };
    const Row rows[] = {
        {"4:2:0, a disc of radius 3", {7, 10, 7, 7}, 2, 2},
        {"4:2:0, on the footprints' grid", {8, 8, 4, 2}, 2, 2},
        {"4:2:2, one pixel", {5, 3, 1, 1}, 2, 1},
        {"4:1:1, across two footprints", {3, 0, 2, 1}, 4, 1},
        {"full resolution", {2, 3, 4, 5}, 1, 1},
        {"empty", {4, 4, 0, 3}, 2, 2},
    };
    for (const Row& row : rows) {
        cv::Mat mask(32, 32, CV_8UC1, cv::Scalar(0));
        mask(row.area).setTo(255);
        const cv::Mat touched = touchedByFootprints(mask, row.stepX, row.stepY);
        const cv::Rect want =
            touched.empty() || cv::countNonZero(touched) == 0 ? cv::Rect() : cv::boundingRect(touched);
        EXPECT_EQ(samplesOf(row.area, row.stepX, row.stepY), want) << row.name;
    }
}

// What a masked sample is filled with, worked out by hand: planes of a few
// values, masks that leave chosen samples unmasked.
TEST(SamplePlane, RingFillIsTheInverseSquareWeightedMeanOfTheUnmasked) {
    struct Row {
        const char* name;
        int radius;
        std::vector<cv::Point> unmasked;  // all others masked
        std::vector<int> values;          // of the unmasked, the rest of the plane 77
        cv::Point at;
        bool filled;
        int want;
    };
    const std::vector<Row> rows = {
        {"one unmasked neighbour", 2, {{5, 4}}, {10}, {4, 4}, true, 10},
        // (10 / 1 + 60 / 4) / (1 / 1 + 1 / 4) = 20
        {"the nearer weighs four times the one twice as far", 2, {{5, 4}, {4, 6}}, {10, 60}, {4, 4}, true, 20},
        // (30 / 2 + 90 / 2) / (1 / 2 + 1 / 2) = 60
        {"two diagonal ones alike", 2, {{3, 3}, {5, 5}}, {30, 90}, {4, 4}, true, 60},
        {"beyond the radius: not read", 2, {{5, 4}, {7, 4}}, {10, 250}, {4, 4}, true, 10},
        {"the corner of the radius's square is beyond it", 2, {{6, 6}}, {99}, {4, 4}, false, 0},
        {"on the circle: read", 5, {{7, 8}}, {42}, {4, 4}, true, 42},
        {"nothing unmasked within the radius", 3, {{0, 0}}, {5}, {8, 8}, false, 0},
        // (100 + 101) / 2 = 100.5, rounded away from zero
        {"a half rounds up", 1, {{4, 3}, {4, 5}}, {100, 101}, {4, 4}, true, 101},
        {"outside the plane: left out", 3, {{0, 1}}, {200}, {0, 0}, true, 200},
        {"the sample itself is never read", 1, {{4, 4}}, {3}, {4, 4}, false, 0},
    };
    for (const Row& row : rows) {
        cv::Mat samples(10, 10, CV_8UC1, cv::Scalar(77)), masked(10, 10, CV_8UC1, cv::Scalar(255));
        for (std::size_t i = 0; i < row.unmasked.size(); ++i) {
            samples.at<unsigned char>(row.unmasked[i]) = static_cast<unsigned char>(row.values[i]);
            masked.at<unsigned char>(row.unmasked[i]) = 0;
        }
        unsigned char value = 0;
        const RingFill fill(row.radius);
        EXPECT_EQ(fill.fill(samples, masked, row.at, value), row.filled) << row.name;
        if (row.filled) {
            EXPECT_EQ(value, row.want) << row.name;
        }
        // Two planes at once give what each gives alone.
        const cv::Mat planes[2] = {samples, 255 - samples};
        unsigned char both[2] = {}, second = 0;
        EXPECT_EQ(fill.fill(planes, 2, masked, row.at, both), row.filled) << row.name;
        if (row.filled) {
            ASSERT_TRUE(fill.fill(planes[1], masked, row.at, second)) << row.name;
            EXPECT_EQ(both[0], row.want) << row.name;
            EXPECT_EQ(both[1], second) << row.name;
        }
    }
    EXPECT_THROW(RingFill(0), std::invalid_argument);
    const cv::Mat plane(4, 4, CV_8UC1, cv::Scalar(0)), planes[4] = {plane, plane, plane, plane};
    unsigned char values[4] = {};
    EXPECT_THROW(RingFill(1).fill(planes, 4, plane, {1, 1}, values), std::invalid_argument);
    EXPECT_THROW(RingFill(1).fill(planes, 0, plane, {1, 1}, values), std::invalid_argument);
}

// Units found the slow way: every pair of boxes, grown by the ring and
// clipped, compared.
std::vector<std::vector<std::size_t>> unitsPairByPair(const std::vector<cv::Rect>& boxes, cv::Size plane) {
    const cv::Rect bounds({}, plane);
    auto grown = [&](const cv::Rect& b) {
        return cv::Rect(b.x - kSkippedSampleRing, b.y - kSkippedSampleRing, b.width + 2 * kSkippedSampleRing,
                        b.height + 2 * kSkippedSampleRing) &
               bounds;
    };
    std::vector<std::size_t> unitOf(boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) unitOf[i] = i;
    auto root = [&](std::size_t i) {
        while (unitOf[i] != i) i = unitOf[i];
        return i;
    };
    for (std::size_t a = 0; a < boxes.size(); ++a)
        for (std::size_t b = a + 1; b < boxes.size(); ++b)
            if (!(boxes[a] & bounds).empty() && !(boxes[b] & bounds).empty() &&
                !(grown(boxes[a] & bounds) & grown(boxes[b] & bounds)).empty())
                unitOf[root(b)] = root(a);
    std::vector<std::vector<std::size_t>> units;
    std::vector<std::size_t> unitIndex(boxes.size(), boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        if ((boxes[i] & bounds).empty()) continue;
        std::size_t& at = unitIndex[root(i)];
        if (at == boxes.size()) at = units.size(), units.emplace_back();
        units[at].push_back(i);
    }
    return units;
}

TEST(SamplePlane, UnitsAreTheDiscsWhoseGrownSamplesMeet) {
    struct Row {
        const char* name;
        cv::Size plane;
        int margin;
        std::vector<cv::Rect> boxes;
    };
    std::mt19937 random(5);
    std::vector<cv::Rect> scattered;
    std::uniform_int_distribution<int> at(-2, 200);
    for (int i = 0; i < 300; ++i) scattered.emplace_back(at(random), at(random), 4, 4);
    const std::vector<Row> rows = {
        {"one disc", {40, 40}, 6, {{10, 10, 4, 4}}},
        {"apart: a free sample between the rings", {40, 40}, 6, {{10, 10, 4, 4}, {17, 10, 4, 4}}},
        {"the rings overlap", {40, 40}, 6, {{10, 10, 4, 4}, {16, 10, 4, 4}}},
        {"a chain through a third", {60, 40}, 6, {{10, 10, 4, 4}, {30, 10, 4, 4}, {20, 11, 5, 3}}},
        {"diagonal neighbours", {40, 40}, 6, {{10, 10, 4, 4}, {15, 15, 4, 4}}},
        {"at the plane's corner, the reach clipped", {20, 20}, 6, {{0, 0, 3, 3}, {17, 17, 3, 3}}},
        {"outside the plane or empty", {20, 20}, 6, {{25, 5, 3, 3}, {5, 5, 0, 3}, {4, 4, 2, 2}}},
        {"margin 0", {20, 20}, 0, {{4, 4, 2, 2}}},
        {"300 scattered over the plane", {200, 200}, 6, scattered},
    };
    for (const Row& row : rows) {
        const std::vector<SampleUnit> got = planSampleUnits(row.boxes, row.plane, row.margin);
        const std::vector<std::vector<std::size_t>> want = unitsPairByPair(row.boxes, row.plane);
        ASSERT_EQ(got.size(), want.size()) << row.name;
        const cv::Rect bounds({}, row.plane);
        for (std::size_t u = 0; u < got.size(); ++u) {
            EXPECT_EQ(got[u].discs, want[u]) << row.name << ", unit " << u;
            cv::Rect reach;
            for (std::size_t i : want[u]) {
                const cv::Rect b = row.boxes[i] & bounds;
                const int by = kSkippedSampleRing + row.margin;
                const cv::Rect wide = cv::Rect(b.x - by, b.y - by, b.width + 2 * by, b.height + 2 * by) & bounds;
                reach = reach.empty() ? wide : reach | wide;
            }
            EXPECT_EQ(got[u].reach, reach) << row.name << ", unit " << u;
        }
    }
}

// Former bugs.
TEST(SamplePlane, FormerBugs) {
    // The samples were repaired in windows grown by their reach, and at
    // 20000 hot pixels on a 10-megapixel 4:2:0 photo the discs within a
    // reach of each other chained across the photo: one window over
    // minutes. Units chain only discs whose rings meet, and stay small.
    std::mt19937 random(20000);
    const cv::Size plane(3648 / 2, 2736 / 2);
    std::uniform_int_distribution<int> x(0, 3647), y(0, 2735);
    std::vector<cv::Rect> boxes;
    for (int i = 0; i < 20000; ++i) boxes.push_back(samplesOf({x(random) - 3, y(random) - 3, 7, 7}, 2, 2));
    std::size_t largest = 0;
    for (const SampleUnit& unit : planSampleUnits(boxes, plane, 6)) largest = std::max(largest, unit.discs.size());
    EXPECT_LE(largest, 40u);
    // The same discs joined as the widened reaches meet make one chain of
    // most of them: what the units avoid.
    std::vector<cv::Rect> widened;
    for (const cv::Rect& b : boxes) widened.emplace_back(b.x - 7, b.y - 7, b.width + 14, b.height + 14);
    std::size_t chained = 0;
    for (const SampleUnit& unit : planSampleUnits(widened, plane, 0)) chained = std::max(chained, unit.discs.size());
    EXPECT_GT(chained, 10000u);
}

}  // namespace
}  // namespace speckmend
