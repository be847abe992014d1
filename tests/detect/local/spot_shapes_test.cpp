// The spots too large for one disc, and those that stand out only on a
// smooth rise: hot pixels kept as discs of at most 16 px, stray light
// rejected as a glint or a leak.
#include "detect/local/spot_shapes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace speckmend {
namespace {

// A significance image (residual over threshold) drawn by `draw` over a
// faint deterministic texture, and what shapeSpots makes of the pixels
// above 1 in it.
ShapedSpots shapesOf(cv::Size size, const std::function<float(int x, int y)>& draw) {
    cv::Mat significance(size, CV_32FC1);
    std::vector<SpotCandidate> candidates;
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            const float s = draw(x, y) + 0.05f * static_cast<float>((x * 7 + y * 13) % 5 - 2);
            significance.at<float>(y, x) = s;
            if (s > 1.0f) candidates.push_back({{x, y}, s});
        }
    }
    const SignificancePatch patch = [&](const cv::Rect& area) { return significance(area).clone(); };
    return shapeSpots(mergeHotSpots(candidates, {}, 3), patch, size, 3);
}

float gaussian(int x, int y, float cx, float cy, float sigma, float height) {
    const float dx = static_cast<float>(x) - cx, dy = static_cast<float>(y) - cy;
    return height * std::exp(-(dx * dx + dy * dy) / (2.0f * sigma * sigma));
}

TEST(ShapeSpots, HotPixelsStayStrayLightGoes) {
    const cv::Size size(200, 160);
    struct Row {
        const char* name;
        std::function<float(int, int)> draw;
        std::vector<cv::Point> spots;  // peaks of the spots kept
        std::vector<Rejection> light;  // kinds of the blobs rejected
        std::size_t atLeast = 0;       // else: at least this many spots kept, where they are aside
    };
    const Row rows[] = {
        // hot pixels and groups pass as they are
        {"lone pixel", [](int x, int y) { return x == 50 && y == 50 ? 8.0f : 0.0f; }, {{50, 50}}, {}},
        {"3x3 group",
         [](int x, int y) {
             return std::abs(x - 50) <= 1 && std::abs(y - 50) <= 1 ? (x == 50 && y == 50 ? 9.0f : 4.0f) : 0.0f;
         },
         {{50, 50}},
         {}},
        // smooth blobs are stray light: a glint inside, a leak from the edge or wide
        {"glint", [](int x, int y) { return gaussian(x, y, 100, 80, 5.0f, 6.0f); }, {}, {Rejection::glint}},
        {"leak from the right edge",
         [](int x, int y) { return gaussian(x, y, 205, 80, 14.0f, 5.0f); },
         {},
         {Rejection::leak}},
        {"hot pixel on a glint",
         [](int x, int y) { return gaussian(x, y, 100, 80, 5.0f, 6.0f) + (x == 103 && y == 80 ? 12.0f : 0.0f); },
         {{103, 80}},
         {Rejection::glint}},
        // a faint spot on the flank of a rise that is not itself above the threshold
        {"noise on a flank",
         [](int x, int y) { return gaussian(x, y, 199, 80, 30.0f, 0.8f) + (x == 194 && y == 80 ? 0.6f : 0.0f); },
         {},
         {Rejection::leak}},
        // a chain of hot pixels is no one huge disc
        {"chain of hot pixels",
         [](int x, int y) {
             return y == 40 && x >= 20 && x <= 100 && x % 2 == 0 ? 3.0f + (x == 60 ? 2.0f : 0.0f) : 0.0f;
         },
         {},
         {},
         3},
    };
    for (const Row& row : rows) {
        const ShapedSpots shaped = shapesOf(size, row.draw);
        std::vector<Rejection> light;
        for (const StrayLight& blob : blobsOf(shaped.risen, size)) light.push_back(blob.kind);
        for (const StrayLight& blob : shaped.strayLight) light.push_back(blob.kind);
        for (const HotSpot& spot : shaped.spots) EXPECT_LE(spot.radius, kMaxSpotRadius) << row.name;
        EXPECT_EQ(light, row.light) << row.name;
        if (row.atLeast > 0) {
            EXPECT_GE(shaped.spots.size(), row.atLeast) << row.name;
            continue;
        }
        ASSERT_EQ(shaped.spots.size(), row.spots.size()) << row.name;
        for (std::size_t i = 0; i < row.spots.size(); ++i) EXPECT_EQ(shaped.spots[i].peak, row.spots[i]) << row.name;
    }
}

}  // namespace
}  // namespace speckmend
