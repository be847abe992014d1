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
    std::size_t groups;   // windows when nothing is joined: the areas that must share one
    std::size_t windows;  // with the default joining
};

// The pixels an area's inpainting reads, and its blocks' iMCUs in pixels.
cv::Rect reachOf(const cv::Rect& area, int margin, const cv::Rect& photo) {
    return cv::Rect(area.x - margin, area.y - margin, area.width + 2 * margin, area.height + 2 * margin) & photo;
}

cv::Rect corePixels(const cv::Rect& area, const JpegGrid& grid) {
    const int left = area.x / grid.imcuWidth * grid.imcuWidth, top = area.y / grid.imcuHeight * grid.imcuHeight;
    const int right = (area.br().x + grid.imcuWidth - 1) / grid.imcuWidth * grid.imcuWidth;
    const int bottom = (area.br().y + grid.imcuHeight - 1) / grid.imcuHeight * grid.imcuHeight;
    return cv::Rect(left, top, right - left, bottom - top) & cv::Rect(0, 0, grid.width, grid.height);
}

// What every plan must satisfy, whatever was joined: each area in one
// window that holds its reach and its blocks with an iMCU to spare inside
// every edge that is not the photo's; areas of two windows neither reach
// each other nor share an iMCU; a window beyond the joining's size is one
// that nothing was joined to.
void expectSound(const PlanCase& c, const std::vector<RepairWindow>& plan, const WindowJoining& joining) {
    const cv::Rect photo(0, 0, c.grid.width, c.grid.height);
    std::vector<int> seen(c.areas.size(), 0), windowOf(c.areas.size(), -1);
    const std::vector<RepairWindow> groups = planRepairWindows(c.areas, c.grid, c.margin, {0, 0});
    for (std::size_t w = 0; w < plan.size(); ++w) {
        const cv::Rect window = c.grid.pixels(plan[w].imcus);
        EXPECT_TRUE(std::is_sorted(plan[w].areas.begin(), plan[w].areas.end()));
        if (window.width > joining.largestSide || window.height > joining.largestSide) {
            EXPECT_TRUE(std::any_of(groups.begin(), groups.end(),
                                    [&](const RepairWindow& g) { return g.areas == plan[w].areas; }))
                << "window " << w << " is larger than any joined one";
        }
        const int left = window.x == 0 ? 0 : window.x + c.grid.imcuWidth;
        const int top = window.y == 0 ? 0 : window.y + c.grid.imcuHeight;
        const int right = window.br().x == c.grid.width ? window.br().x : window.br().x - c.grid.imcuWidth;
        const int bottom = window.br().y == c.grid.height ? window.br().y : window.br().y - c.grid.imcuHeight;
        for (std::size_t index : plan[w].areas) {
            ++seen[index];
            windowOf[index] = static_cast<int>(w);
            const cv::Rect area = c.areas[index] & photo;
            const cv::Rect need = reachOf(area, c.margin, photo) | corePixels(area, c.grid);
            EXPECT_GE(need.x, left) << "area " << index;
            EXPECT_GE(need.y, top) << "area " << index;
            EXPECT_LE(need.br().x, right) << "area " << index;
            EXPECT_LE(need.br().y, bottom) << "area " << index;
        }
    }
    for (std::size_t i = 0; i < c.areas.size(); ++i) {
        EXPECT_EQ(seen[i], (c.areas[i] & photo).empty() ? 0 : 1) << "area " << i;
        for (std::size_t j = i + 1; j < c.areas.size(); ++j) {
            if (windowOf[i] < 0 || windowOf[j] < 0 || windowOf[i] == windowOf[j]) continue;
            const cv::Rect a = c.areas[i] & photo, b = c.areas[j] & photo;
            EXPECT_FALSE(overlap(reachOf(a, c.margin, photo), reachOf(b, c.margin, photo)))
                << "areas " << i << " and " << j << " reach each other";
            EXPECT_FALSE(overlap(corePixels(a, c.grid), corePixels(b, c.grid)))
                << "areas " << i << " and " << j << " share an iMCU";
        }
    }
}

std::vector<cv::Rect> spotsInARow(int count, int first, int step, int y) {
    std::vector<cv::Rect> areas;
    for (int k = 0; k < count; ++k) areas.emplace_back(first + step * k, y, 3, 3);
    return areas;
}

TEST(RepairWindows, EachAreaLiesInOneWindowWithRoomToSpare) {
    const JpegGrid g420{640, 480, 16, 16}, g411{613, 200, 32, 8}, grey{300, 200, 8, 8};
    const std::vector<PlanCase> cases = {
        // alone
        {"one area", g420, {{100, 100, 7, 7}}, 4, 1, 1},
        {"one area, 4:1:1", g411, {{300, 100, 3, 3}}, 4, 1, 1},
        {"one area, grey", grey, {{150, 100, 5, 5}}, 2, 1, 1},
        // edges
        {"at the top-left corner", g420, {{0, 0, 4, 4}}, 4, 1, 1},
        {"at the bottom-right corner", g411, {{605, 195, 8, 5}}, 4, 1, 1},
        {"wider than the margin from the edge", g420, {{630, 470, 10, 10}}, 21, 1, 1},
        // what must share a window
        {"far apart", g420, {{40, 40, 5, 5}, {400, 300, 5, 5}}, 4, 2, 2},
        {"blocks in one iMCU", g420, {{30, 30, 5, 5}, {45, 30, 5, 5}}, 4, 1, 1},
        {"reaches that meet", grey, {{20, 20, 1, 1}, {24, 20, 1, 1}}, 2, 1, 1},
        {"reaches a pixel apart, blocks in other iMCUs", grey, {{20, 20, 1, 1}, {25, 20, 1, 1}}, 2, 2, 1},
        {"a chain through a middle area", grey, {{20, 20, 1, 1}, {24, 20, 1, 1}, {28, 20, 1, 1}}, 2, 1, 1},
        // what may share one
        {"overlapping windows, joined", g420, {{20, 20, 3, 3}, {44, 20, 3, 3}}, 4, 2, 1},
        {"three windows near each other, joined", g420, {{22, 22, 3, 3}, {54, 54, 3, 3}, {86, 6, 3, 3}}, 4, 3, 1},
        {"diagonal neighbours: apart cost less", g420, {{22, 22, 3, 3}, {70, 70, 3, 3}}, 4, 2, 2},
        {"joining stops at the largest side", {2000, 64, 16, 16}, spotsInARow(31, 40, 60, 30), 4, 31, 4},
        // bands
        {"a hot column spanning the photo", g420, {{300, 0, 7, 480}, {100, 100, 3, 3}}, 4, 2, 2},
        {"a hot column taller than any joined window",
         {300, 1200, 16, 16},
         {{100, 0, 5, 1200}, {200, 600, 3, 3}},
         4,
         2,
         2},
        {"a hot row and a pixel on it", g420, {{0, 200, 640, 5}, {320, 202, 3, 3}}, 4, 1, 1},
        // where windows cannot be bounded: a hot row crossing a hot column is one window over the photo
        {"a hot row crossing a hot column", g420, {{0, 200, 640, 5}, {300, 0, 7, 480}, {40, 40, 3, 3}}, 4, 2, 2},
        // nothing
        {"no areas", g420, {}, 4, 0, 0},
        {"areas outside the photo", g420, {{700, 10, 5, 5}, {-20, -20, 5, 5}}, 4, 0, 0},
        // former bugs
        {"an emptied window does not swallow later ones",
         g420,
         {{0, 0, 3, 3}, {500, 0, 3, 3}, {10, 10, 3, 3}, {600, 400, 3, 3}},
         4,
         3,
         3},
    };
    for (const PlanCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (const WindowJoining& joining : {WindowJoining{0, 0}, WindowJoining{}}) {
            const std::vector<RepairWindow> plan = planRepairWindows(c.areas, c.grid, c.margin, joining);
            EXPECT_EQ(plan.size(), joining.windowCost == 0 ? c.groups : c.windows);
            expectSound(c, plan, joining.windowCost == 0 ? WindowJoining{} : joining);
        }
    }
}

}  // namespace
}  // namespace speckmend
