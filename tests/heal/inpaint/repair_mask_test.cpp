// The repair discs drawn into crops of a mask, and their bounding rectangles.
#include "heal/inpaint/repair_mask.h"

#include <gtest/gtest.h>

#include <climits>

namespace speckmend {
namespace {

cv::Mat wholeMask(const HotPixelMap& map) {
    cv::Mat mask(map.height, map.width, CV_8UC1, cv::Scalar(0));
    drawRepairMask(map, mask);
    return mask;
}

bool same(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    return cv::countNonZero(difference) == 0;
}

struct CropCase {
    const char* name;
    std::vector<HotPixel> pixels;
    cv::Rect crop;
};

TEST(RepairMask, ACropGetsThePixelsOfTheWholeMasksCrop) {
    const std::vector<CropCase> cases = {
        // discs inside, across and beside the crop
        {"disc inside", {{50, 40, 5}}, {30, 20, 40, 40}},
        {"disc across the left edge", {{31, 40, 6}}, {30, 20, 40, 40}},
        {"disc across a corner", {{68, 58, 9}}, {30, 20, 40, 40}},
        {"disc centred outside, reaching in", {{25, 40, 8}}, {30, 20, 40, 40}},
        {"disc wholly outside", {{5, 5, 3}}, {30, 20, 40, 40}},
        {"overlapping discs", {{45, 45, 6}, {52, 47, 4}, {50, 52, 2}}, {40, 40, 30, 30}},
        // crops at the photo's edges
        {"crop at the top-left corner", {{0, 0, 4}, {3, 10, 2}}, {0, 0, 16, 16}},
        {"crop at the bottom-right corner", {{119, 99, 20}}, {90, 70, 30, 30}},
        {"one-pixel crop", {{60, 60, 3}}, {61, 59, 1, 1}},
        {"radius 20", {{60, 50, 20}}, {32, 32, 48, 32}},
        {"no radius", {{60, 50, 0}, {60, 50, -3}}, {32, 32, 48, 32}},
    };
    for (const CropCase& c : cases) {
        SCOPED_TRACE(c.name);
        const HotPixelMap map{c.pixels, 120, 100};
        const cv::Mat whole = wholeMask(map);
        cv::Mat crop(c.crop.size(), CV_8UC1, cv::Scalar(0));
        drawRepairMask(map, crop, c.crop.tl());
        EXPECT_TRUE(same(crop, whole(c.crop)));
        // A crop that is a view into a larger mask only changes itself.
        cv::Mat frame(100, 120, CV_8UC1, cv::Scalar(0));
        cv::Mat view = frame(c.crop);
        drawRepairMask(map, view, c.crop.tl());
        cv::Mat outside = frame.clone();
        outside(c.crop).setTo(0);
        EXPECT_EQ(cv::countNonZero(outside), 0);
    }
}

TEST(RepairMask, HugeDiscsAreTrueDiscs) {
    // Far beyond what the drawing routine takes: centre far off the crop.
    const HotPixel pixel{100000, 50, 100000};
    const HotPixelMap map{{pixel}, 200000, 100};
    cv::Mat crop(20, 20, CV_8UC1, cv::Scalar(0));
    const cv::Point origin(0, 40);
    drawRepairMask(map, crop, origin);
    for (int y = 0; y < crop.rows; ++y)
        for (int x = 0; x < crop.cols; ++x) {
            const long long dx = x + origin.x - pixel.x, dy = y + origin.y - pixel.y;
            EXPECT_EQ(crop.at<unsigned char>(y, x) != 0, dx * dx + dy * dy <= 1LL * pixel.r * pixel.r) << x << "," << y;
        }
}

TEST(RepairMask, RefusesAMaskOfAnotherType) {
    cv::Mat colour(10, 10, CV_8UC3);
    EXPECT_THROW(drawRepairMask({{{3, 3, 1}}, 10, 10}, colour), std::invalid_argument);
}

TEST(RepairAreas, HoldEveryDrawnPixelAndSkipWhatIsNotDrawn) {
    const HotPixelMap map{{{0, 0, 3}, {60, 50, 7}, {119, 99, 2}, {200, 20, 4}, {40, 40, 0}, {-10, 50, 12}}, 120, 100};
    std::vector<std::size_t> pixels;
    const std::vector<cv::Rect> areas = repairAreas(map, {120, 100}, &pixels);
    // Pixels without radius and discs wholly outside have none.
    ASSERT_EQ(areas.size(), 4u);
    EXPECT_EQ(pixels, (std::vector<std::size_t>{0, 1, 2, 5}));
    EXPECT_EQ(areas[0], cv::Rect(0, 0, 4, 4));
    EXPECT_EQ(areas[1], cv::Rect(53, 43, 15, 15));
    EXPECT_EQ(areas[2], cv::Rect(117, 97, 3, 3));
    EXPECT_EQ(areas[3], cv::Rect(0, 38, 3, 25));
    cv::Mat mask = wholeMask(map);
    for (const cv::Rect& area : areas) mask(area).setTo(0);
    EXPECT_EQ(cv::countNonZero(mask), 0);
}

// ---------------------------------------------------------------------------
// Hot line bands.

TEST(RepairMask, LineBandsInCropsAndAreas) {
    using Axis = HotLine::Axis;
    struct Row {
        const char* name;
        std::vector<HotLine> lines;
        cv::Rect crop;
        std::vector<cv::Rect> areas;  // of the whole 120 x 100 photo
    };
    const std::vector<Row> rows = {
        {"column inside the crop", {{Axis::column, 50, 1}}, {30, 20, 40, 40}, {{49, 0, 3, 100}}},
        {"column beside the crop", {{Axis::column, 10, 2}}, {30, 20, 40, 40}, {{8, 0, 5, 100}}},
        {"row across the crop", {{Axis::row, 20, 0}}, {30, 20, 40, 40}, {{0, 20, 120, 1}}},
        {"clipped at the photo's edges",
         {{Axis::column, 119, 3}, {Axis::row, 0, 1}},
         {100, 0, 20, 10},
         {{116, 0, 4, 100}, {0, 0, 120, 2}}},
        {"outside the photo", {{Axis::column, 130, 2}, {Axis::row, -5, 1}}, {0, 0, 120, 100}, {}},
        {"negative radius draws nothing", {{Axis::column, 50, -1}}, {0, 0, 120, 100}, {}},
        {"huge radius covers the photo", {{Axis::row, 50, INT_MAX}}, {10, 10, 20, 20}, {{0, 0, 120, 100}}},
        // segments: the band over the span only, inclusive
        {"column segment ending inside the crop", {{Axis::column, 50, 1, 10, 35}}, {30, 20, 40, 40}, {{49, 10, 3, 26}}},
        {"row segment of one pixel", {{Axis::row, 30, 2, 44, 44}}, {30, 20, 40, 40}, {{44, 28, 1, 5}}},
        {"segment to the far edge, crop short of it",
         {{Axis::row, 30, 1, 50, HotLine::kToEnd}},
         {30, 20, 40, 40},
         {{50, 29, 70, 3}}},
        {"segment starting below the crop",
         {{Axis::column, 50, 1, 70, HotLine::kToEnd}},
         {30, 20, 40, 40},
         {{49, 70, 3, 30}}},
        {"span clipped at the far edge", {{Axis::column, 50, 0, 60, INT_MAX}}, {40, 50, 20, 50}, {{50, 60, 1, 40}}},
        {"spans wholly beyond the far edge",
         {{Axis::row, 30, 1, 120, HotLine::kToEnd}, {Axis::column, 50, 1, 100, 200}},
         {0, 0, 120, 100},
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        HotPixelMap map{{}, 120, 100};
        map.lines = row.lines;
        const cv::Mat whole = wholeMask(map);
        cv::Mat crop(row.crop.size(), CV_8UC1, cv::Scalar(0));
        drawRepairMask(map, crop, row.crop.tl());
        EXPECT_TRUE(same(crop, whole(row.crop)));
        EXPECT_TRUE(repairAreas(map, {120, 100}).empty());
        std::vector<std::size_t> lines;
        EXPECT_EQ(bandAreas(map, {120, 100}, &lines), row.areas);
        EXPECT_EQ(lines.size(), row.areas.size());
        cv::Mat expected(100, 120, CV_8UC1, cv::Scalar(0));
        for (const cv::Rect& area : row.areas) expected(area).setTo(255);
        EXPECT_TRUE(same(whole, expected));
    }
}

// ---------------------------------------------------------------------------
// Former bugs.

TEST(RepairMask, ExtremeCoordinatesNeverReachTheDrawingRoutine) {
    const HotPixelMap map{{{INT_MAX, INT_MAX, INT_MAX}, {INT_MIN, 5, 3}, {5, INT_MIN, INT_MAX}}, 64, 64};
    cv::Mat mask(64, 64, CV_8UC1, cv::Scalar(0));
    drawRepairMask(map, mask);
    // The first disc's square covers the photo but the disc does not reach
    // it; the others do not even reach with their squares.
    EXPECT_EQ(cv::countNonZero(mask), 0);
    EXPECT_EQ(repairAreas(map, {64, 64}).size(), 1u);
}

}  // namespace
}  // namespace speckmend
