// Selecting the k-th smallest float by its bits, against sorting a copy.
#include "detect/local/median_select.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <vector>

namespace speckmend {
namespace {

using Values = std::function<float(std::size_t i)>;

// A small deterministic scramble, so that no row's values arrive sorted.
float scrambled(std::size_t i, float low, float high) {
    const std::uint32_t h = static_cast<std::uint32_t>(i) * 2654435761u;
    return low + (high - low) * static_cast<float>(h >> 8) / static_cast<float>(1u << 24);
}

TEST(SelectKth, FindsWhatSortingFinds) {
    struct Row {
        const char* name;
        std::size_t count;
        Values value;
    };
    const float tiny = std::numeric_limits<float>::denorm_min();
    const float inf = std::numeric_limits<float>::infinity();
    const Row rows[] = {
        {"few values, by comparison", 9, [](std::size_t i) { return scrambled(i, -3.0f, 3.0f); }},
        {"just below the counting size", 255, [](std::size_t i) { return scrambled(i, -3.0f, 3.0f); }},
        {"just at the counting size", 256, [](std::size_t i) { return scrambled(i, -3.0f, 3.0f); }},
        {"a row sample of residuals", 2000, [](std::size_t i) { return scrambled(i, -2.5f, 4.0f); }},
        {"all positive", 3001, [](std::size_t i) { return scrambled(i, 0.5f, 900.0f); }},
        {"all negative", 1000, [](std::size_t i) { return scrambled(i, -900.0f, -0.25f); }},
        {"eighths of a DN, many alike", 1777, [](std::size_t i) { return static_cast<float>(i % 13) / 8.0f - 0.75f; }},
        {"all equal", 600, [](std::size_t) { return 4.125f; }},
        {"one value differs in its last bit", 500,
         [](std::size_t i) { return i == 250 ? std::nextafter(1.0f, 2.0f) : 1.0f; }},
        {"magnitudes from subnormal to infinite", 1200,
         [&](std::size_t i) {
             const float v[] = {tiny, -tiny, 1e-30f, -1e30f, 7.0f, inf, -inf, 0.0f, 3e38f, -2e-38f};
             return v[(i * 7) % 10];
         }},
    };
    for (const Row& row : rows) {
        std::vector<float> values;
        for (std::size_t i = 0; i < row.count; ++i) values.push_back(row.value(i));
        std::vector<float> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        for (const std::size_t k : {std::size_t{0}, row.count / 3, row.count / 2, row.count - 1}) {
            std::vector<float> work = values;
            EXPECT_EQ(selectKth(work, k), sorted[k]) << row.name << ", k " << k;
        }
        std::vector<float> work = values;
        EXPECT_EQ(upperMedian(work), sorted[row.count / 2]) << row.name;
    }
}

TEST(SelectKth, RefusesWhatHasNoKth) {
    std::vector<float> none;
    EXPECT_THROW(selectKth(none, 0), std::invalid_argument);
    std::vector<float> three = {1.0f, 2.0f, 3.0f};
    EXPECT_THROW(selectKth(three, 3), std::invalid_argument);
    EXPECT_EQ(upperMedian(none), 0.0f);
}

}  // namespace
}  // namespace speckmend
