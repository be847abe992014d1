// Hot columns and rows from the counts of pixels above threshold.
#include "detect/local/hot_lines.h"

#include <gtest/gtest.h>

#include <vector>

namespace speckmend {
namespace {

using Axis = HotLine::Axis;

TEST(GroupHotLines, CountsBecomeLines) {
    struct Row {
        const char* name;
        std::vector<std::int32_t> counts;
        std::int32_t length;
        std::vector<HotLine> lines;
    };
    const Row rows[] = {
        // none
        {"all quiet", {0, 3, 1, 0, 2}, 100, {}},
        {"exactly half is not most", {0, 50, 0}, 100, {}},
        {"zero length", {0, 0}, 0, {}},
        // single lines get a band of three
        {"one column", {0, 0, 90, 0, 0}, 100, {{Axis::column, 2, 1}}},
        {"just over half", {51, 0, 0}, 100, {{Axis::column, 0, 1}}},
        {"at the far edge", {0, 0, 0, 100}, 100, {{Axis::column, 3, 1}}},
        // neighbouring hot columns are one line covering them
        {"two wide", {0, 80, 80, 0}, 100, {{Axis::column, 1, 1}}},
        {"three wide", {0, 80, 99, 80, 0}, 100, {{Axis::column, 2, 1}}},
        {"four wide", {70, 80, 99, 80, 0}, 100, {{Axis::column, 1, 2}}},
        // a quiet column between two makes two lines
        {"two lines", {90, 0, 90, 0, 0, 60}, 100, {{Axis::column, 0, 1}, {Axis::column, 2, 1}, {Axis::column, 5, 1}}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(groupHotLines(row.counts, row.length, Axis::column), row.lines) << row.name;
    }
}

TEST(GroupHotLines, RowsAndShare) {
    EXPECT_EQ(groupHotLines({0, 70, 0}, 100, Axis::row), (std::vector<HotLine>{{Axis::row, 1, 1}}));
    EXPECT_TRUE(groupHotLines({0, 70, 0}, 100, Axis::row, 0.75).empty());
}

TEST(InLineBand, BandIsTwoRPlusOneWide) {
    const std::vector<HotLine> lines{{Axis::column, 10, 1}, {Axis::row, 50, 2}};
    struct Row {
        int x, y;
        bool inside;
    };
    const Row rows[] = {
        {10, 0, true}, {9, 999, true}, {11, 5, true},  {8, 0, false},  {12, 0, false},
        {0, 48, true}, {0, 52, true},  {0, 47, false}, {0, 53, false}, {30, 30, false},
    };
    for (const Row& row : rows) EXPECT_EQ(inLineBand(lines, row.x, row.y), row.inside) << row.x << "," << row.y;
    EXPECT_FALSE(inLineBand({}, 10, 10));
}

}  // namespace
}  // namespace speckmend
