// The check sheet: its grid, the order of its cells and how a cell shows
// its finding.
#include "detect/run/check_sheet.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace speckmend {
namespace {

Finding finding(cv::Point at, float strength, float significance) {
    Finding f;
    f.peak = at;
    f.radius = 3;
    f.strength = strength;
    f.significance = significance;
    return f;
}

// Mean frame of 4 DN with the findings' strengths added at their peaks.
cv::Mat meanWith(const Findings& d, int channels = 1) {
    cv::Mat mean(120, 160, CV_32FC(channels), cv::Scalar::all(4.0));
    for (const auto* list : {&d.spots, &d.rejected}) {
        for (const Finding& f : *list) {
            float* px = mean.ptr<float>(f.peak.y) + f.peak.x * channels;
            for (int c = 0; c < channels; ++c) px[c] += f.strength;
        }
    }
    return mean;
}

// The centre of cell i's crop in the sheet.
cv::Point cropCentre(const cv::Mat&, int i, const CheckSheetLayout& layout, int cells) {
    const int side = layout.crop * layout.zoom;
    const int cellWidth = std::max(side, 120) + 12;
    const int cellHeight = side + 34 + 12;
    const int columns = std::min(layout.columns, cells);
    return {i % columns * cellWidth + 6 + side / 2, 30 + i / columns * cellHeight + 6 + side / 2};
}

TEST(CheckSheet, StrongestFirstThenRejected) {
    struct Row {
        cv::Point at;
        float strength;
        cv::Point companion;  // a second bright pixel beside it, its mark
    };
    // In scan order: weak, strong, middle; each marked differently.
    const Row rows[] = {
        {{20, 20}, 15.0f, {0, 3}},
        {{80, 30}, 200.0f, {3, 0}},
        {{140, 40}, 60.0f, {-3, 0}},
    };
    Findings d;
    for (const Row& row : rows) d.spots.push_back(finding(row.at, row.strength, row.strength / 6.0f));
    d.rejected = {finding({60, 100}, 5.0f, 0.8f)};
    cv::Mat mean = meanWith(d);
    for (const Row& row : rows) mean.at<float>(row.at + row.companion) += row.strength;
    const CheckSheetLayout layout;
    const cv::Mat sheet = renderCheckSheet(mean, d, layout);
    const cv::Vec3b white(255, 255, 255);
    const int expectedOrder[] = {1, 2, 0};
    for (int cell = 0; cell < 3; ++cell) {
        const cv::Point centre = cropCentre(sheet, cell, layout, 4);
        const Row& row = rows[expectedOrder[cell]];
        EXPECT_EQ(sheet.at<cv::Vec3b>(centre), white) << "cell " << cell;
        EXPECT_EQ(sheet.at<cv::Vec3b>(centre + row.companion * layout.zoom), white) << "cell " << cell;
    }
    EXPECT_EQ(sheet.at<cv::Vec3b>(cropCentre(sheet, 3, layout, 4)), white);
    // The rejected cell has the red frame, the found ones green.
    auto framePixel = [&](int i) {
        const cv::Point c = cropCentre(sheet, i, layout, 4);
        return sheet.at<cv::Vec3b>(c.y, c.x - layout.crop * layout.zoom / 2 - 2);
    };
    EXPECT_GT(framePixel(0)[1], framePixel(0)[2]);  // green over red
    EXPECT_GT(framePixel(3)[2], framePixel(3)[1]);  // red over green
}

TEST(CheckSheet, CellShowsItsOwnSurroundings) {
    // A crop holds the 15 x 15 pixels around the finding, enlarged 8 times:
    // a second hot pixel 4 pixels to the right shows 32 screen pixels to the
    // right of the centre.
    Findings d;
    d.spots = {finding({50, 50}, 100.0f, 10.0f)};
    cv::Mat mean = meanWith(d);
    mean.at<float>(50, 54) += 100.0f;
    const CheckSheetLayout layout;
    const cv::Mat sheet = renderCheckSheet(mean, d, layout);
    const cv::Point c = cropCentre(sheet, 0, layout, 1);
    EXPECT_EQ(sheet.at<cv::Vec3b>(c.y, c.x + 32), cv::Vec3b(255, 255, 255));
    EXPECT_LT(sheet.at<cv::Vec3b>(c.y, c.x + 16)[0], 60);
    EXPECT_LT(sheet.at<cv::Vec3b>(c.y + 16, c.x)[0], 60);
}

TEST(CheckSheet, ColourFramesKeepTheirColour) {
    Findings d;
    d.spots = {finding({50, 50}, 100.0f, 10.0f)};
    cv::Mat mean(120, 160, CV_32FC3, cv::Scalar::all(4.0));
    mean.at<cv::Vec3f>(50, 50) = cv::Vec3f(104.0f, 4.0f, 4.0f);  // a blue site
    const CheckSheetLayout layout;
    const cv::Mat sheet = renderCheckSheet(mean, d, layout);
    const cv::Vec3b centre = sheet.at<cv::Vec3b>(cropCentre(sheet, 0, layout, 1));
    EXPECT_EQ(centre[0], 255);
    EXPECT_LT(centre[2], 30);
}

TEST(CheckSheet, WarningsAndReasonsAreMarked) {
    // The crop's top left in the sheet, and a pixel of its frame.
    const CheckSheetLayout layout;
    const int half = layout.crop / 2, z = layout.zoom;
    const cv::Vec3b orange(0, 170, 255), yellow(0, 230, 230), green(80, 200, 80), red(60, 60, 230);
    struct Row {
        const char* name;
        std::int32_t radius;
        Rejection reason;
        cv::Point cause;   // relative to the finding
        cv::Vec3b frame;   // the cell's frame
        cv::Point markAt;  // crop pixel that shows the cause; x < 0: none
    };
    const Row rows[] = {
        // map entries: wider than 8 is framed in orange
        {"r=8", 8, Rejection::none, {}, green, {-1, -1}},
        {"r=9", 9, Rejection::none, {}, orange, {-1, -1}},
        {"r=16", 16, Rejection::none, {}, orange, {-1, -1}},
        // rejected: the stronger neighbour outlined in the crop, or on its edge towards it
        {"neighbour inside", 3, Rejection::neighbour, {3, -2}, red, {(3 + half) * z - 1, (-2 + half) * z + z / 2}},
        {"neighbour to the right", 3, Rejection::neighbour, {12, 0}, red, {(2 * half) * z + z / 2, half * z + z / 2}},
        {"neighbour above", 3, Rejection::neighbour, {0, -16}, red, {half * z + z / 2, z / 2}},
        {"weak: no mark", 3, Rejection::weak, {3, -2}, red, {-1, -1}},
    };
    for (const Row& row : rows) {
        Findings d;
        Finding f = finding({60, 60}, 20.0f, 2.0f);
        f.radius = row.radius;
        f.reason = row.reason;
        f.cause = f.peak + row.cause;
        (row.reason == Rejection::none ? d.spots : d.rejected).push_back(f);
        const cv::Mat sheet = renderCheckSheet(meanWith(d), d, layout);
        const cv::Point c = cropCentre(sheet, 0, layout, 1);
        const cv::Point topLeft(c.x - half * z - z / 2, c.y - half * z - z / 2);
        EXPECT_EQ(sheet.at<cv::Vec3b>(c.y, topLeft.x - 2), row.frame) << row.name;
        if (row.markAt.x >= 0) {
            EXPECT_EQ(sheet.at<cv::Vec3b>(topLeft + row.markAt), yellow) << row.name;
        } else {
            int marked = 0;
            for (int y = 0; y < layout.crop * z; ++y) {
                for (int x = 0; x < layout.crop * z; ++x)
                    marked += sheet.at<cv::Vec3b>(topLeft + cv::Point(x, y)) == yellow;
            }
            EXPECT_EQ(marked, 0) << row.name;
        }
    }
}

TEST(CheckSheet, SegmentIsShownAtTheMiddleOfItsSpan) {
    // A column hot over rows 10 to 40 only: its crop's centre pixel is on it.
    Findings d;
    d.lines = {{HotLine::Axis::column, 30, 1, 10, 40}, {HotLine::Axis::row, 100, 12, 120, HotLine::kToEnd}};
    cv::Mat mean(120, 160, CV_32FC1, cv::Scalar(4.0));
    mean.col(30).rowRange(10, 41) += 50.0;
    mean.row(100).colRange(120, 160) += 50.0;
    const CheckSheetLayout layout;
    const cv::Mat sheet = renderCheckSheet(mean, d, layout);
    for (int cell = 0; cell < 2; ++cell) {
        EXPECT_EQ(sheet.at<cv::Vec3b>(cropCentre(sheet, cell, layout, 2)), cv::Vec3b(255, 255, 255)) << cell;
    }
    // the row band of 25 rows is wider than 8 each way: framed in orange
    const cv::Point c = cropCentre(sheet, 1, layout, 2);
    EXPECT_EQ(sheet.at<cv::Vec3b>(c.y, c.x - layout.crop * layout.zoom / 2 - 2), cv::Vec3b(0, 170, 255));
}

TEST(SpotsAt, StrengthAboveTheCropsMedian) {
    cv::Mat mean(60, 80, CV_32FC1, cv::Scalar(4.0));
    mean(cv::Rect(40, 0, 40, 60)).setTo(10.0);  // a brighter right half
    mean.at<float>(20, 10) = 54.0f;
    mean.at<float>(30, 70) = 40.0f;
    mean.at<float>(0, 0) = 24.0f;
    const std::vector<Finding> spots = spotsAt(mean, {{10, 20}, {70, 30}, {0, 0}}, 3);
    ASSERT_EQ(spots.size(), 3u);
    EXPECT_FLOAT_EQ(spots[0].strength, 50.0f);
    EXPECT_FLOAT_EQ(spots[1].strength, 30.0f);
    EXPECT_FLOAT_EQ(spots[2].strength, 20.0f);
    EXPECT_EQ(spots[1].radius, 3);
    EXPECT_THROW(spotsAt(mean, {{80, 0}}, 3), std::invalid_argument);
    EXPECT_THROW(spotsAt(cv::Mat(4, 4, CV_32FC3), {}, 3), std::invalid_argument);
}

TEST(CheckSheet, RefusesWhatItCannotShow) {
    const Findings d;
    EXPECT_THROW(renderCheckSheet(cv::Mat(), d), std::invalid_argument);
    EXPECT_THROW(renderCheckSheet(cv::Mat(8, 8, CV_8UC1, cv::Scalar(1)), d), std::invalid_argument);
    CheckSheetLayout bad;
    bad.zoom = 0;
    EXPECT_THROW(renderCheckSheet(cv::Mat(8, 8, CV_32FC1, cv::Scalar(1)), d, bad), std::invalid_argument);
}

// ---- former bugs ------------------------------------------------------------

TEST(CheckSheet, FindingAtTheEdgeShowsNoSmear) {
    // Crops replicated the frame's edge, which drew a hot pixel on the first
    // column as a bar across the cell.
    Findings d;
    d.spots = {finding({0, 60}, 100.0f, 10.0f)};
    const CheckSheetLayout layout;
    const cv::Mat sheet = renderCheckSheet(meanWith(d), d, layout);
    const cv::Point c = cropCentre(sheet, 0, layout, 1);
    EXPECT_EQ(sheet.at<cv::Vec3b>(c), cv::Vec3b(255, 255, 255));
    EXPECT_NE(sheet.at<cv::Vec3b>(c.y, c.x - 16), cv::Vec3b(255, 255, 255));
}

TEST(CheckSheet, BrighterNeighbourDoesNotHideTheCentre) {
    // Stretched to the crop's maximum, a near miss beside a saturated spot
    // showed black.
    Findings d;
    d.rejected = {finding({50, 50}, 5.0f, 0.8f)};
    cv::Mat mean = meanWith(d);
    mean.at<float>(52, 52) += 250.0f;
    const CheckSheetLayout layout;
    const cv::Mat sheet = renderCheckSheet(mean, d, layout);
    EXPECT_EQ(sheet.at<cv::Vec3b>(cropCentre(sheet, 0, layout, 1)), cv::Vec3b(255, 255, 255));
}

}  // namespace
}  // namespace speckmend
