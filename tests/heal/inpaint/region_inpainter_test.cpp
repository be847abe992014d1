// Planning the inpainting regions from given areas instead of a mask scan,
// and inpainting photos of any channel count one channel at a time.
#include "heal/inpaint/region_inpainter.h"

#include <gtest/gtest.h>

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

TEST(ChannelByChannel, RefusesWhatItCannotInpaint) {
    const cv::Mat photo(16, 16, CV_8UC4, cv::Scalar(1, 2, 3, 4)), mask(16, 16, CV_8UC1, cv::Scalar(255));
    const cv::Mat wide(16, 16, CV_32FC4, cv::Scalar(0)), smallMask(8, 16, CV_8UC1, cv::Scalar(255));
    const cv::Mat colourMask(16, 16, CV_8UC3, cv::Scalar(255));
    struct Row {
        const char* name;
        const cv::Mat* photo;
        const cv::Mat* mask;
    };
    const Row rows[] = {
        {"floating-point samples", &wide, &mask},
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
            const std::vector<cv::Rect> fromAreas =
                RegionInpainter::findRegions(mask, margin, repairAreas(map, mask.size()));
            const std::vector<cv::Rect> fromScan = RegionInpainter::findRegions(mask, margin);
            ASSERT_EQ(fromAreas.size(), 1u);
            ASSERT_EQ(fromScan.size(), 1u);
            EXPECT_EQ(fromAreas[0], fromScan[0]);
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
