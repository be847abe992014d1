// Planning the inpainting regions from given areas instead of a mask scan,
// and inpainting photos of any channel count one channel at a time.
#include "heal/inpaint/region_inpainter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include "heal/inpaint/repair_mask.h"
#include "test_images.h"

namespace speckmend {
namespace {

using testing::noisePhoto;

bool identical(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a.reshape(1), b.reshape(1), cv::NORM_INF) == 0;
}

// A map of count discs of radius 1 to maxRadius anywhere in the photo.
HotPixelMap randomMap(int width, int height, int count, int maxRadius, unsigned seed) {
    std::mt19937 rng(seed);
    auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
    HotPixelMap map{{}, width, height};
    for (int i = 0; i < count; ++i)
        map.pixels.push_back({uniform(0, width - 1), uniform(0, height - 1), uniform(1, maxRadius)});
    return map;
}

cv::Mat maskOf(const HotPixelMap& map) {
    cv::Mat mask(map.height, map.width, CV_8UC1, cv::Scalar(0));
    drawRepairMask(map, mask);
    return mask;
}

struct ChannelCase {
    const char* name;
    int width, height, discs, maxRadius;
    double range;
};

const ChannelCase kChannelCases[] = {
    {"few small discs, range 3", 96, 72, 6, 3, 3.0}, {"many discs, range 1", 120, 90, 30, 2, 1.0},
    {"range below one", 80, 60, 12, 3, 0.4},         {"large discs, wide range", 140, 100, 5, 9, 8.5},
    {"discs over every edge", 40, 30, 16, 6, 3.0},
};

// ---------------------------------------------------------------------------
// Why four channels may be inpainted one by one: the library's own
// three-channel inpainting is exactly its one-channel inpainting of each
// channel, for both methods.

TEST(ChannelByChannel, EqualsTheLibrarysThreeChannelInpainting) {
    for (const ChannelCase& c : kChannelCases) {
        for (unsigned seed = 1; seed <= 4; ++seed) {
            const HotPixelMap map = randomMap(c.width, c.height, c.discs, c.maxRadius, seed);
            const cv::Mat mask = maskOf(map);
            // Sharp noise and smooth photos: the gradients the methods
            // follow differ from channel to channel either way.
            const cv::Mat photo = noisePhoto(c.width, c.height, 3, seed, seed % 2 ? 1 : 5, seed % 2 ? 0.0 : 1.5);
            for (int method : {cv::INPAINT_NS, cv::INPAINT_TELEA}) {
                SCOPED_TRACE(::testing::Message() << c.name << ", seed " << seed << ", method " << method);
                cv::Mat library, each;
                cv::inpaint(photo, mask, library, c.range, method);
                inpaintEachChannel(photo, mask, each, c.range, method);
                EXPECT_TRUE(identical(each, library));
                // The test means something only where pixels changed.
                EXPECT_FALSE(identical(library, photo));
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Four channels by regions give the whole photo inpainted channel by
// channel, out of place and in place.

TEST(ChannelByChannel, FourChannelRegionsEqualTheWholePhoto) {
    int split = 0;
    for (const ChannelCase& c : kChannelCases) {
        for (unsigned seed = 1; seed <= 3; ++seed) {
            const HotPixelMap map = randomMap(c.width, c.height, c.discs, c.maxRadius, seed + 10);
            const cv::Mat mask = maskOf(map);
            const cv::Mat photo = noisePhoto(c.width, c.height, 4, seed);
            for (int method : {cv::INPAINT_NS, cv::INPAINT_TELEA}) {
                SCOPED_TRACE(::testing::Message() << c.name << ", seed " << seed << ", method " << method);
                const cv::Mat whole = testing::inpaintWhole(photo, mask, c.range, method);
                const RegionInpainter inpainter(mask, c.range, repairAreas(map, mask.size()));
                split += inpainter.regions().size() > 1;
                cv::Mat healed;
                inpainter.inpaint(photo, healed, method);
                EXPECT_TRUE(identical(healed, whole));
                cv::Mat inPlace = photo.clone();
                inpainter.inpaintInPlace(inPlace, method);
                EXPECT_TRUE(identical(inPlace, whole));
                EXPECT_FALSE(identical(whole, photo));
            }
        }
    }
    // Regions are only tested where the photo was split.
    EXPECT_GT(split, 0);
}

// ---------------------------------------------------------------------------
// Thousands of discs, as an ageing sensor has them: the clusters stay small
// (where rectangles merged until none overlapped, they grew into one region
// covering the photo) and still give the whole-photo call's pixels.

TEST(RegionInpainterTest, ThousandsOfDiscsGiveTheWholePhotoInSmallClusters) {
    struct Row {
        const char* name;
        int width, height, discs, maxRadius;
        double range;
    };
    const Row rows[] = {
        {"radius 1 to 3, range 3", 1200, 900, 2000, 3, 3.0},
        {"radius 1 to 2, range 5", 1200, 900, 1000, 2, 5.0},
    };
    for (const Row& row : rows) {
        const HotPixelMap map = randomMap(row.width, row.height, row.discs, row.maxRadius, 2026);
        const cv::Mat mask = maskOf(map);
        const cv::Mat photo = noisePhoto(row.width, row.height, 3, 7, 3, 1.0);
        const RegionInpainter inpainter(mask, row.range, repairAreas(map, mask.size()));
        std::size_t largest = 0;
        for (const RegionInpainter::Region& region : inpainter.regions())
            largest = std::max(largest, static_cast<std::size_t>(region.rect.area()));
        EXPECT_GT(inpainter.regions().size(), static_cast<std::size_t>(row.discs / 4)) << row.name;
        EXPECT_LT(largest, mask.total() / 50) << row.name;
        for (int method : {cv::INPAINT_NS, cv::INPAINT_TELEA}) {
            SCOPED_TRACE(::testing::Message() << row.name << ", method " << method);
            cv::Mat whole, healed;
            cv::inpaint(photo, mask, whole, row.range, method);
            inpainter.inpaint(photo, healed, method);
            EXPECT_TRUE(identical(healed, whole));
        }
    }
}

// Where clusters cannot split the work: areas that meet all the way across
// the photo are one cluster, whose rectangle is the photo; it is still the
// whole-photo call's result, and what lies apart from it stays apart.
TEST(RegionInpainterTest, AreasMeetingAcrossThePhotoAreOneRegion) {
    constexpr int kWidth = 240, kHeight = 160;
    constexpr double kRange = 3.0;
    struct Row {
        const char* name;
        HotPixelMap map;
        std::size_t regions;
    };
    HotPixelMap crossing{{{20, 20, 2}, {200, 130, 2}}, kWidth, kHeight};
    crossing.lines = {{HotLine::Axis::column, 120, 1}, {HotLine::Axis::row, 70, 2}};
    // Discs of radius 1 ten pixels apart along the diagonal: each one's box
    // grown by the margin (3 + 2 * 4 wide) meets the next one's.
    HotPixelMap chain{{{230, 10, 2}}, kWidth, kHeight};
    for (int x = 0; x < kWidth; x += 10) chain.pixels.push_back({x, x * kHeight / kWidth, 1});
    chain.pixels.push_back({kWidth - 1, kHeight - 1, 1});
    const Row rows[] = {
        {"a hot row crossing a hot column", crossing, 3},
        {"hot pixels chained from corner to corner", chain, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const cv::Mat mask = maskOf(row.map);
        std::vector<cv::Rect> areas = repairAreas(row.map, mask.size());
        const std::vector<cv::Rect> bands = bandAreas(row.map, mask.size());
        areas.insert(areas.end(), bands.begin(), bands.end());
        const RegionInpainter inpainter(mask, kRange, areas);
        EXPECT_EQ(inpainter.regions().size(), row.regions);
        EXPECT_TRUE(std::any_of(inpainter.regions().begin(), inpainter.regions().end(),
                                [&](const RegionInpainter::Region& r) { return r.rect.size() == mask.size(); }));
        const cv::Mat photo = noisePhoto(kWidth, kHeight, 3, 5);
        for (int method : {cv::INPAINT_NS, cv::INPAINT_TELEA}) {
            cv::Mat whole, healed;
            cv::inpaint(photo, mask, whole, kRange, method);
            inpainter.inpaint(photo, healed, method);
            EXPECT_TRUE(identical(healed, whole)) << "method " << method;
        }
    }
}

TEST(ChannelByChannel, RefusesWhatItCannotInpaint) {
    const cv::Mat photo(16, 16, CV_8UC4, cv::Scalar(1, 2, 3, 4)), mask(16, 16, CV_8UC1, cv::Scalar(255));
    const cv::Mat wide(16, 16, CV_16UC4, cv::Scalar(0)), smallMask(8, 16, CV_8UC1, cv::Scalar(255));
    const cv::Mat colourMask(16, 16, CV_8UC3, cv::Scalar(255));
    struct Row {
        const char* name;
        const cv::Mat* photo;
        const cv::Mat* mask;
    };
    const Row rows[] = {
        {"samples of 16 bits", &wide, &mask},
        {"a mask of another size", &photo, &smallMask},
        {"a mask of three channels", &photo, &colourMask},
        {"no photo", nullptr, &mask},
    };
    for (const Row& row : rows) {
        cv::Mat out;
        const cv::Mat empty;
        EXPECT_ANY_THROW(inpaintEachChannel(row.photo ? *row.photo : empty, *row.mask, out, 3, cv::INPAINT_TELEA))
            << row.name;
    }
}

// ---------------------------------------------------------------------------
// Former bugs.

TEST(RegionInpainterFormerBugs, AreasGiveTheRegionsAScanOfTheMaskGives) {
    // Small discs anywhere in a larger mask: the regions planned from their
    // boxes must be those a scan of the whole mask finds.
    for (int r = 1; r <= 4; ++r) {
        for (int x = 448; x < 464; ++x) {
            SCOPED_TRACE(::testing::Message() << "disc at " << x << " radius " << r);
            const HotPixelMap map{{{x, 311, r}}, 640, 480};
            cv::Mat mask(480, 640, CV_8UC1, cv::Scalar(0));
            drawRepairMask(map, mask);
            const int margin = RegionInpainter::marginFor(3);
            const std::vector<RegionInpainter::Region> fromAreas =
                RegionInpainter::findRegions(mask, margin, repairAreas(map, mask.size()));
            const std::vector<RegionInpainter::Region> fromScan = RegionInpainter::findRegions(mask, margin);
            ASSERT_EQ(fromAreas.size(), 1u);
            ASSERT_EQ(fromScan.size(), 1u);
            EXPECT_EQ(fromAreas[0].rect, fromScan[0].rect);
            EXPECT_EQ(fromAreas[0].parts, fromScan[0].parts);
        }
    }
}

struct MarginCase {
    double range;
    int margin;
};

class MarginTest : public ::testing::TestWithParam<MarginCase> {};

TEST_P(MarginTest, FollowsTheLibrarysRoundedRange) {
    EXPECT_EQ(RegionInpainter::marginFor(GetParam().range), GetParam().margin) << GetParam().range;
}

INSTANTIATE_TEST_SUITE_P(Ranges, MarginTest,
                         ::testing::Values(
                             // rounded and kept at least 1, plus one pixel
                             MarginCase{3.0, 4}, MarginCase{2.6, 4}, MarginCase{0.0, 2}, MarginCase{-7.0, 2},
                             MarginCase{0.4, 2}, MarginCase{150.0, 151},
                             // no sub-rectangle trusted
                             MarginCase{std::numeric_limits<double>::quiet_NaN(), 0},
                             MarginCase{std::numeric_limits<double>::infinity(), 0}, MarginCase{1e300, 0}));

TEST(RegionInpainterTest, UntrustedRangeInpaintsTheWholePhoto) {
    cv::Mat mask = cv::Mat::zeros(40, 50, CV_8UC1);
    cv::circle(mask, {10, 10}, 2, 255, cv::FILLED);
    cv::circle(mask, {40, 30}, 2, 255, cv::FILLED);
    const cv::Mat photo = noisePhoto(50, 40, 3, 11);
    for (double range : {std::numeric_limits<double>::quiet_NaN(), 1e300}) {
        RegionInpainter inpainter(mask, range);
        EXPECT_TRUE(inpainter.wholePhoto());
        cv::Mat healed, whole;
        inpainter.inpaint(photo, healed, 1);
        cv::inpaint(photo, mask, whole, range, 1);
        EXPECT_TRUE(identical(healed, whole));
    }
}

}  // namespace
}  // namespace speckmend
