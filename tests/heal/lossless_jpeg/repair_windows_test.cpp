// Planning the windows the lossless heal repairs on their own.
#include "heal/lossless_jpeg/repair_windows.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace speckmend {
namespace {

bool overlap(const cv::Rect& a, const cv::Rect& b) { return (a & b).area() > 0; }

struct PlanCase {
    const char* name;
    JpegGrid grid;
    std::vector<cv::Rect> areas;
    int margin;
    std::size_t windows;  // how many come out
};

// What every plan must satisfy, whatever merged with what.
void expectSound(const PlanCase& c, const std::vector<RepairWindow>& plan) {
    const cv::Rect photo(0, 0, c.grid.width, c.grid.height);
    std::vector<int> seen(c.areas.size(), 0);
    for (std::size_t w = 0; w < plan.size(); ++w) {
        const cv::Rect window = c.grid.pixels(plan[w].imcus);
        for (std::size_t v = w + 1; v < plan.size(); ++v)
            EXPECT_FALSE(overlap(plan[w].imcus, plan[v].imcus)) << "windows " << w << " and " << v;
        EXPECT_TRUE(std::is_sorted(plan[w].areas.begin(), plan[w].areas.end()));
        for (std::size_t index : plan[w].areas) {
            ++seen[index];
            const cv::Rect area = c.areas[index] & photo;
            // The inpainting neighbourhood and the 16-pixel cells, with one
            // iMCU to spare inside every edge that is not the photo's.
            cv::Rect need(area.x - c.margin, area.y - c.margin, area.width + 2 * c.margin, area.height + 2 * c.margin);
            const int cellLeft = area.x / 16 * 16, cellTop = area.y / 16 * 16;
            const int cellRight = (area.br().x + 15) / 16 * 16, cellBottom = (area.br().y + 15) / 16 * 16;
            need |= cv::Rect(cellLeft, cellTop, cellRight - cellLeft, cellBottom - cellTop);
            need &= photo;
            const int left = window.x == 0 ? 0 : window.x + c.grid.imcuWidth;
            const int top = window.y == 0 ? 0 : window.y + c.grid.imcuHeight;
            const int right = window.br().x == c.grid.width ? window.br().x : window.br().x - c.grid.imcuWidth;
            const int bottom = window.br().y == c.grid.height ? window.br().y : window.br().y - c.grid.imcuHeight;
            EXPECT_GE(need.x, left) << "area " << index;
            EXPECT_GE(need.y, top) << "area " << index;
            EXPECT_LE(need.br().x, right) << "area " << index;
            EXPECT_LE(need.br().y, bottom) << "area " << index;
        }
    }
    for (std::size_t i = 0; i < c.areas.size(); ++i)
        EXPECT_EQ(seen[i], (c.areas[i] & photo).empty() ? 0 : 1) << "area " << i;
}

TEST(RepairWindows, EachAreaLiesInOneWindowWithRoomToSpare) {
    const JpegGrid g420{640, 480, 16, 16}, g411{613, 200, 32, 8}, grey{300, 200, 8, 8};
    const std::vector<PlanCase> cases = {
        // alone
        {"one area", g420, {{100, 100, 7, 7}}, 4, 1},
        {"one area, 4:1:1", g411, {{300, 100, 3, 3}}, 4, 1},
        {"one area, grey", grey, {{150, 100, 5, 5}}, 2, 1},
        // edges
        {"at the top-left corner", g420, {{0, 0, 4, 4}}, 4, 1},
        {"at the bottom-right corner", g411, {{605, 195, 8, 5}}, 4, 1},
        {"wider than the margin from the edge", g420, {{630, 470, 10, 10}}, 21, 1},
        // groups
        {"far apart", g420, {{40, 40, 5, 5}, {400, 300, 5, 5}}, 4, 2},
        {"cells touching", g420, {{30, 30, 5, 5}, {45, 30, 5, 5}}, 4, 1},
        {"merging makes a window reach a third", g420, {{22, 22, 3, 3}, {54, 54, 3, 3}, {86, 6, 3, 3}}, 4, 1},
        {"diagonal neighbours one iMCU apart stay apart", g420, {{22, 22, 3, 3}, {70, 70, 3, 3}}, 4, 2},
        {"touching windows stay apart", grey, {{20, 20, 1, 1}, {60, 20, 1, 1}}, 2, 2},
        // bands
        {"a hot column spanning the photo", g420, {{300, 0, 7, 480}, {100, 100, 3, 3}}, 4, 2},
        {"a hot row and a pixel on it", g420, {{0, 200, 640, 5}, {320, 202, 3, 3}}, 4, 1},
        // nothing
        {"no areas", g420, {}, 4, 0},
        {"areas outside the photo", g420, {{700, 10, 5, 5}, {-20, -20, 5, 5}}, 4, 0},
        // former bugs
        {"an emptied window does not swallow later ones",
         g420,
         {{0, 0, 3, 3}, {500, 0, 3, 3}, {10, 10, 3, 3}, {600, 400, 3, 3}},
         4,
         3},
    };
    for (const PlanCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<RepairWindow> plan = planRepairWindows(c.areas, c.grid, c.margin);
        EXPECT_EQ(plan.size(), c.windows);
        expectSound(c, plan);
    }
}

}  // namespace
}  // namespace speckmend
