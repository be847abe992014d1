// Merging the pixels above threshold into one entry per hot spot, and the
// ringing around strong spots.
#include "detect/local/hot_spots.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace speckmend {
namespace {

struct Expected {
    cv::Point peak;
    std::int32_t radius;
    std::int32_t area;
};

TEST(MergeHotSpots, OneEntryPerSpot) {
    struct Row {
        const char* name;
        std::vector<SpotCandidate> candidates;
        std::vector<HotLine> lines;
        std::vector<Expected> spots;
    };
    const Row rows[] = {
        // lone pixels keep the smallest radius
        {"lone pixel", {{{5, 5}, 3.0f}}, {}, {{{5, 5}, 3, 1}}},
        {"two far apart", {{{5, 5}, 3.0f}, {{20, 5}, 2.0f}}, {}, {{{5, 5}, 3, 1}, {{20, 5}, 3, 1}}},
        // clusters merge at their peak
        {"pair", {{{5, 5}, 2.0f}, {{6, 5}, 4.0f}}, {}, {{{6, 5}, 3, 2}}},
        {"3x3 group",
         [] {
             std::vector<SpotCandidate> c;
             for (int i = 0; i < 9; ++i) c.push_back({{10 + i % 3, 10 + i / 3}, i == 4 ? 9.0f : 2.0f});
             return c;
         }(),
         {},
         {{{11, 11}, 3, 9}}},
        {"one quiet pixel between", {{{5, 5}, 3.0f}, {{7, 5}, 2.0f}}, {}, {{{5, 5}, 3, 2}}},
        {"two quiet pixels between", {{{5, 5}, 3.0f}, {{8, 5}, 2.0f}}, {}, {{{5, 5}, 3, 1}, {{8, 5}, 3, 1}}},
        // a blob larger than the smallest radius gets one that covers it
        {"long streak",
         [] {
             std::vector<SpotCandidate> c;
             for (int x = 0; x < 7; ++x) c.push_back({{30 + x, 4}, x == 0 ? 8.0f : 2.0f});
             return c;
         }(),
         {},
         {{{30, 4}, 7, 7}}},
        // equal peaks: the first in scan order
        {"plateau", {{{6, 5}, 4.0f}, {{5, 5}, 4.0f}}, {}, {{{5, 5}, 3, 2}}},
        // pixels in a line's band are the line's
        {"on a hot column",
         {{{10, 3}, 5.0f}, {{11, 9}, 5.0f}, {{14, 3}, 2.0f}},
         {{HotLine::Axis::column, 10, 1}},
         {{{14, 3}, 3, 1}}},
        {"nothing", {}, {}, {}},
        // former bug: a strong spot's faint JPEG skirt widened its radius to 16
        {"faint skirt",
         {{{50, 50}, 30.0f}, {{52, 50}, 2.9f}, {{54, 50}, 1.5f}, {{56, 51}, 1.5f}},
         {},
         {{{50, 50}, 3, 4}}},
        {"core at a tenth", {{{50, 50}, 30.0f}, {{52, 50}, 3.0f}, {{54, 50}, 3.0f}}, {}, {{{50, 50}, 5, 3}}},
    };
    for (const Row& row : rows) {
        const std::vector<HotSpot> spots = mergeHotSpots(row.candidates, row.lines, 3);
        ASSERT_EQ(spots.size(), row.spots.size()) << row.name;
        for (std::size_t i = 0; i < spots.size(); ++i) {
            EXPECT_EQ(spots[i].peak, row.spots[i].peak) << row.name << " #" << i;
            EXPECT_EQ(spots[i].radius, row.spots[i].radius) << row.name << " #" << i;
            EXPECT_EQ(spots[i].area, row.spots[i].area) << row.name << " #" << i;
        }
    }
}

TEST(MergeHotSpots, RadiusCoversEveryMember) {
    // A demosaiced blob: a 5x5 diamond around its peak; with minRadius 1 the
    // radius must still reach its tips.
    std::vector<SpotCandidate> blob;
    for (int dy = -2; dy <= 2; ++dy) {
        for (int dx = -2; dx <= 2; ++dx) {
            if (std::abs(dx) + std::abs(dy) <= 2)
                blob.push_back({{50 + dx, 40 + dy}, 10.0f - std::abs(dx) - std::abs(dy)});
        }
    }
    const std::vector<HotSpot> spots = mergeHotSpots(blob, {}, 1);
    ASSERT_EQ(spots.size(), 1u);
    EXPECT_EQ(spots[0].peak, cv::Point(50, 40));
    for (const SpotCandidate& c : blob) {
        const cv::Point d = c.at - spots[0].peak;
        EXPECT_LE(d.x * d.x + d.y * d.y, spots[0].radius * spots[0].radius);
    }
}

TEST(MergeHotSpots, OrderOfCandidatesDoesNotMatter) {
    std::vector<SpotCandidate> candidates;
    for (int i = 0; i < 60; ++i) candidates.push_back({{(i * 37) % 200, (i * 53) % 120}, 1.5f + (i % 7)});
    for (int i = 0; i < 9; ++i) candidates.push_back({{100 + i % 3, 100 + i / 3}, 3.0f + i});
    const std::vector<HotSpot> reference = mergeHotSpots(candidates, {}, 3);
    std::mt19937 shuffle(1);
    for (int round = 0; round < 5; ++round) {
        std::shuffle(candidates.begin(), candidates.end(), shuffle);
        const std::vector<HotSpot> spots = mergeHotSpots(candidates, {}, 3);
        ASSERT_EQ(spots.size(), reference.size());
        for (std::size_t i = 0; i < spots.size(); ++i) {
            EXPECT_EQ(spots[i].peak, reference[i].peak);
            EXPECT_EQ(spots[i].radius, reference[i].radius);
            EXPECT_EQ(spots[i].area, reference[i].area);
        }
    }
    // scan order of the peaks
    for (std::size_t i = 1; i < reference.size(); ++i) {
        const cv::Point a = reference[i - 1].peak, b = reference[i].peak;
        EXPECT_TRUE(a.y < b.y || (a.y == b.y && a.x < b.x));
    }
}

TEST(ShadowedSpots, FaintSpotsBesideStrongOnes) {
    struct Row {
        const char* name;
        std::vector<cv::Point> peaks;
        std::vector<float> strengths;
        std::vector<bool> shadowed;
    };
    const Row rows[] = {
        {"ringing 7 px from a strong spot", {{100, 100}, {107, 100}}, {180.0f, 8.0f}, {false, true}},
        {"ratio exactly four", {{100, 100}, {100, 110}}, {40.0f, 10.0f}, {false, true}},
        {"not faint enough", {{100, 100}, {100, 110}}, {40.0f, 10.5f}, {false, false}},
        {"too far", {{100, 100}, {117, 100}}, {180.0f, 8.0f}, {false, false}},
        {"diagonal at 16", {{100, 100}, {111, 111}}, {180.0f, 8.0f}, {false, true}},
        {"diagonal beyond 16", {{100, 100}, {112, 112}}, {180.0f, 8.0f}, {false, false}},
        {"equals never shadow each other", {{10, 10}, {12, 10}}, {50.0f, 50.0f}, {false, false}},
        {"across a bucket edge", {{15, 15}, {17, 17}}, {100.0f, 5.0f}, {false, true}},
        {"none", {}, {}, {}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(shadowedSpots(row.peaks, row.strengths, 16, 4.0f), row.shadowed) << row.name;
    }
    EXPECT_THROW(shadowedSpots({{1, 1}}, {}, 16, 4.0f), std::invalid_argument);
}

}  // namespace
}  // namespace speckmend
