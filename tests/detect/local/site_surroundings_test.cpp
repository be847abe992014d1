// The cells around strong hot sites, against a plain distance check of every
// pixel.
#include "detect/local/site_surroundings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace speckmend {
namespace {

// The largest of the x and y distances from (x, y) to the nearest site.
int distanceToSites(const std::vector<cv::Point>& sites, int x, int y) {
    int nearest = 1 << 30;
    for (const cv::Point& p : sites) nearest = std::min(nearest, std::max(std::abs(p.x - x), std::abs(p.y - y)));
    return nearest;
}

TEST(SiteSurroundings, CoversEveryPixelWithinReachAndLittleMore) {
    constexpr int kCell = SiteSurroundings::kCell;
    struct Row {
        const char* name;
        cv::Size size;
        std::vector<cv::Point> sites;
        int reach;
    };
    const Row rows[] = {
        {"no sites", {40, 30}, {}, 16},
        {"one site inside, cells aligned", {64, 64}, {{32, 32}}, 16},
        {"one site off the cells", {64, 64}, {{33, 30}}, 5},
        {"reach 0 covers the site's own cell", {20, 20}, {{9, 6}}, 0},
        {"a site at the corner, clipped", {50, 40}, {{0, 0}}, 7},
        {"sites at the far edges, size not a multiple of the cell", {53, 37}, {{52, 36}, {52, 0}}, 6},
        {"a site outside that still reaches in", {40, 40}, {{-5, 20}}, 8},
        {"a site outside beyond its reach", {40, 40}, {{-20, 20}, {70, 5}}, 8},
        {"overlapping squares", {100, 60}, {{20, 20}, {30, 25}, {80, 50}}, 10},
        {"a reach wider than the frame", {12, 9}, {{6, 4}}, 30},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const SiteSurroundings surroundings(row.size, row.sites, row.reach);
        int coveredCells = 0;
        const int columns = (row.size.width + kCell - 1) / kCell, cellRows = (row.size.height + kCell - 1) / kCell;
        std::vector<bool> cellCovered(static_cast<std::size_t>(columns * cellRows), false);
        for (int y = 0; y < row.size.height; ++y) {
            for (int x = 0; x < row.size.width; ++x) {
                const int d = distanceToSites(row.sites, x, y);
                if (d <= row.reach) {
                    EXPECT_TRUE(surroundings.covers(x, y)) << x << "," << y;
                }
                if (d > row.reach + kCell - 1) {
                    EXPECT_FALSE(surroundings.covers(x, y)) << x << "," << y;
                }
                // Coverage is by whole cells.
                EXPECT_EQ(surroundings.covers(x, y), surroundings.covers(x / kCell * kCell, y / kCell * kCell));
                if (surroundings.covers(x, y))
                    cellCovered[static_cast<std::size_t>(y / kCell * columns + x / kCell)] = true;
            }
        }
        coveredCells = static_cast<int>(std::count(cellCovered.begin(), cellCovered.end(), true));
        EXPECT_DOUBLE_EQ(surroundings.coveredShare(), static_cast<double>(coveredCells) / (columns * cellRows));
    }
}

TEST(SiteSurroundings, RefusesAnEmptyFrameOrANegativeReach) {
    struct Row {
        const char* name;
        cv::Size size;
        int reach;
    };
    const Row rows[] = {{"no width", {0, 10}, 4}, {"no height", {10, 0}, 4}, {"negative reach", {10, 10}, -1}};
    for (const Row& row : rows) {
        EXPECT_THROW(SiteSurroundings(row.size, {{1, 1}}, row.reach), std::invalid_argument) << row.name;
    }
}

}  // namespace
}  // namespace speckmend
