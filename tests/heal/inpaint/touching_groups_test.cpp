// Groups of touching rectangles from the sweep, against every pair compared.
#include "heal/inpaint/touching_groups.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {
namespace {

bool meet(const cv::Rect& a, const cv::Rect& b) { return (a & b).area() > 0; }

// The slow way: every pair compared, groups grown until nothing joins.
std::vector<std::vector<std::size_t>> everyPair(const std::vector<cv::Rect>& rects) {
    std::vector<int> group(rects.size(), -1);
    std::vector<std::vector<std::size_t>> groups;
    for (std::size_t seed = 0; seed < rects.size(); ++seed) {
        if (group[seed] >= 0) continue;
        group[seed] = static_cast<int>(groups.size());
        std::vector<std::size_t> members{seed};
        for (std::size_t next = 0; next < members.size(); ++next)
            for (std::size_t j = 0; j < rects.size(); ++j)
                if (group[j] < 0 && meet(rects[members[next]], rects[j])) {
                    group[j] = group[seed];
                    members.push_back(j);
                }
        std::sort(members.begin(), members.end());
        groups.push_back(members);
    }
    return groups;
}

std::vector<cv::Rect> randomRects(int count, int side, int largest, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<cv::Rect> rects;
    for (int i = 0; i < count; ++i)
        rects.emplace_back(static_cast<int>(rng() % side), static_cast<int>(rng() % side),
                           1 + static_cast<int>(rng() % largest), 1 + static_cast<int>(rng() % largest));
    return rects;
}

TEST(TouchingGroups, AreThoseOfEveryPairCompared) {
    struct Row {
        const char* name;
        std::vector<cv::Rect> rects;
    };
    std::vector<cv::Rect> bands = randomRects(60, 400, 9, 4);
    bands.push_back({0, 200, 400, 3});  // a row across all
    bands.push_back({150, 0, 2, 400});  // a column across all
    const std::vector<Row> rows = {
        // few
        {"none", {}},
        {"one", {{5, 5, 3, 3}}},
        // many
        {"sparse", randomRects(200, 2000, 12, 1)},
        {"dense", randomRects(400, 300, 15, 2)},
        {"long and short", randomRects(100, 500, 200, 3)},
        {"bands through scattered boxes", bands},
        // edges of the sweep
        {"edges that only touch do not meet", {{0, 0, 4, 4}, {4, 0, 4, 4}, {0, 4, 4, 4}}},
        {"the same box twice", {{10, 10, 5, 5}, {10, 10, 5, 5}, {40, 40, 5, 5}}},
        {"a chain joined through a later, wider box", {{50, 0, 10, 10}, {0, 0, 10, 10}, {8, 8, 50, 1}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<cv::Rect>& r = row.rects;
        const auto groups = touchingGroups(
            r.size(), [&r](std::size_t i) { return r[i].x; }, [&r](std::size_t i) { return r[i].br().x; },
            [&r](std::size_t a, std::size_t b) { return meet(r[a], r[b]); });
        EXPECT_EQ(groups, everyPair(r));
    }
}

}  // namespace
}  // namespace speckmend
