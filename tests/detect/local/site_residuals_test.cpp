// The residuals about a row kept for pixels in raster order, against
// working each value out as asked.
#include "detect/local/site_residuals.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {
namespace {

// Every patch the kept rows give is the one worked out afresh, bit for bit:
// on pixels in raster order with rows skipped, rows revisited, the frame's
// edges and corners (where the patch takes the nearest pixels inside), and
// patches smaller than the rows were kept for.
TEST(SiteResiduals, KeptRowsGiveThePatchesWorkedOutAfresh) {
    struct Row {
        const char* name;
        cv::Size size;
        int kept, reach;  // the rows' reach, the patches'
        std::vector<cv::Point> pixels;
    };
    const Row rows[] = {
        {"neighbours along a row", {40, 30}, 1, 1, {{5, 5}, {6, 5}, {7, 5}, {9, 5}}},
        {"down a column", {40, 30}, 1, 1, {{8, 3}, {8, 4}, {8, 5}, {8, 6}}},
        {"rows skipped", {40, 30}, 1, 1, {{3, 2}, {30, 2}, {4, 6}, {4, 7}, {12, 20}}},
        {"the same pixel again", {40, 30}, 1, 1, {{10, 10}, {10, 10}, {11, 10}}},
        {"the corners", {40, 30}, 1, 1, {{0, 0}, {39, 0}, {0, 29}, {39, 29}}},
        {"along the top and bottom edges", {40, 30}, 1, 1, {{0, 0}, {1, 0}, {2, 1}, {17, 28}, {18, 29}}},
        {"a frame one row high", {12, 1}, 1, 1, {{0, 0}, {5, 0}, {11, 0}}},
        {"a frame one column wide", {1, 9}, 1, 1, {{0, 0}, {0, 1}, {0, 8}}},
        {"wider rows, a wider patch", {40, 30}, 4, 4, {{4, 4}, {5, 4}, {20, 5}, {0, 6}, {39, 29}}},
        {"wider rows, a core", {40, 30}, 4, 1, {{4, 4}, {5, 5}, {6, 9}, {6, 10}}},
        {"rows for a pixel alone", {40, 30}, 0, 0, {{4, 4}, {5, 4}, {5, 5}}},
    };
    for (const Row& row : rows) {
        cv::Mat mean(row.size, CV_32FC3);
        cv::randn(mean, cv::Scalar(10.0, 20.0, 30.0), cv::Scalar(3.0, 3.0, 3.0));
        std::vector<LocalBackground> backgrounds;
        for (int c = 0; c < 3; ++c) backgrounds.emplace_back(mean, c, 8);
        const std::vector<const LocalBackground*> models = {&backgrounds[0], &backgrounds[1], &backgrounds[2]};
        const Residuals residuals(mean, models);
        ResidualRows kept(residuals, mean.size(), 3, row.kept);
        const int side = 2 * row.reach + 1;
        for (const cv::Point& p : row.pixels) {
            std::vector<float> fresh(static_cast<std::size_t>(3 * side * side)), fromKept(fresh.size());
            residuals.patch(p.x, p.y, row.reach, fresh.data());
            kept.patch(p.x, p.y, row.reach, fromKept.data());
            EXPECT_EQ(fromKept, fresh) << row.name << " at " << p;
        }
    }
    // Patches wider than the rows kept would lose rows to each other.
    cv::Mat mean(8, 8, CV_32FC3, cv::Scalar::all(1.0));
    const LocalBackground background(mean, 0, 4);
    const std::vector<const LocalBackground*> models = {&background, &background, &background};
    const Residuals residuals(mean, models);
    ResidualRows kept(residuals, mean.size(), 3, 1);
    std::vector<float> out(3 * 25);
    EXPECT_THROW(kept.patch(3, 3, 2, out.data()), std::invalid_argument);
    EXPECT_THROW(ResidualRows(residuals, mean.size(), 3, SiteFootprint::kSpread + 1), std::invalid_argument);
}

}  // namespace
}  // namespace speckmend
