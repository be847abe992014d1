// The discs' repaired samples of a photo: which discs get them (lone units,
// not crowded ones, none without subsampling or a confined range), and that
// a lone disc's touched samples are the weighted mean of the source's own
// samples around its ring, found here from the whole plane decoded by
// libjpeg.
#include "heal/lossless_jpeg/disc_samples.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "heal/inpaint/repair_mask.h"
#include "heal/jpeg/jpeg_rewrite.h"
#include "heal/lossless_jpeg/block_refiner.h"
#include "heal/lossless_jpeg/sample_plane.h"
#include "jpeg_harness.h"

namespace speckmend {
namespace {

using namespace speckmend::testing;

struct Painted {
    bool has = false;
    std::vector<int> paintedSamples;  // per disc, in component 1
    cv::Mat samples;                  // component 1's plane as painted
};

Painted paintAll(const std::vector<unsigned char>& bytes, const HotPixelMap& map, double range) {
    Painted out;
    JpegRewrite rewrite;
    std::string diagnostic;
    if (!rewrite.read(bytes, diagnostic)) {
        ADD_FAILURE() << diagnostic;
        return out;
    }
    j_decompress_ptr source = rewrite.source();
    std::vector<std::size_t> pixelOf;
    const std::vector<cv::Rect> discs = repairAreas(map, {map.width, map.height}, &pixelOf);
    DiscSamples samples;
    auto step = [&] { samples.repair(source, rewrite.arrays(), map, discs, pixelOf, range); };
    if (!runJpegGuarded(rewrite.guard(), step)) {
        ADD_FAILURE() << "repair refused";
        return out;
    }
    out.has = samples.has(1);
    const cv::Size plane(static_cast<int>(source->comp_info[1].downsampled_width),
                         static_cast<int>(source->comp_info[1].downsampled_height));
    out.samples = cv::Mat(plane, CV_8UC1, cv::Scalar(0));
    for (std::size_t i = 0; i < discs.size(); ++i) {
        cv::Mat painted(plane, CV_8UC1, cv::Scalar(0));
        samples.paint(1, i, out.samples, painted, {});
        out.paintedSamples.push_back(cv::countNonZero(painted));
    }
    return out;
}

// Component c's whole plane, every block through the refiner's transform,
// rounded and clamped.
cv::Mat decodeComponentPlane(const std::vector<unsigned char>& bytes, int c) {
    JpegRewrite rewrite;
    std::string diagnostic;
    if (!rewrite.read(bytes, diagnostic)) return {};
    j_decompress_ptr source = rewrite.source();
    const jpeg_component_info& info = source->comp_info[c];
    cv::Mat plane(static_cast<int>(info.downsampled_height), static_cast<int>(info.downsampled_width), CV_8UC1);
    auto step = [&] {
        float decoded[64];
        for (int y = 0; y < plane.rows; ++y) {
            JBLOCKARRAY blocks = (*source->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(source),
                                                                    rewrite.arrays()[c], y / 8, 1, FALSE);
            for (int x = 0; x < plane.cols; ++x) {
                decodeBlockSamples(blocks[0][x / 8], *source->quant_tbl_ptrs[info.quant_tbl_no], decoded);
                plane.at<unsigned char>(y, x) =
                    cv::saturate_cast<unsigned char>(std::lround(decoded[y % 8 * 8 + x % 8]));
            }
        }
    };
    if (!runJpegGuarded(rewrite.guard(), step)) return {};
    return plane;
}

TEST(DiscSamples, LoneUnitsAreRepairedCrowdedOnesAreNot) {
    const std::vector<Sampling> s420 = {{2, 2}, {1, 1}, {1, 1}}, s444 = {{1, 1}, {1, 1}, {1, 1}},
                                s422 = {{2, 1}, {1, 1}, {1, 1}};
    struct Row {
        const char* name;
        SourceRecipe recipe;
        std::vector<HotPixel> pixels;
        double range;
        std::vector<bool> repaired;  // per disc
        bool has = true;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Row> rows = {
        {"a lone disc", recipe(160, 120, s420), {{70, 45, 3}}, 3, {true}},
        {"two far apart", recipe(160, 120, s420), {{30, 30, 3}, {120, 90, 3}}, 3, {true, true}},
        // 14 pixels apart: the boxes' rings 6 samples apart, within the reach of 6 beyond them
        {"two in each other's reach", recipe(160, 120, s420), {{40, 40, 3}, {54, 40, 3}}, 3, {false, false}},
        {"one unit of two overlapping discs", recipe(160, 120, s420), {{40, 40, 3}, {44, 42, 2}}, 3, {true, true}},
        {"a crowded pair beside a lone disc",
         recipe(200, 120, s420),
         {{30, 30, 2}, {50, 30, 2}, {150, 80, 2}},
         3,
         {false, false, true}},
        {"4:2:2: reach narrower across the rows", recipe(160, 120, s422), {{40, 30, 2}, {40, 48, 2}}, 3, {true, true}},
        {"a wider range reaches the other", recipe(160, 120, s422), {{40, 30, 2}, {40, 48, 2}}, 10, {false, false}},
        // range 0: a radius of 2 samples, and the middle of a radius-3 disc's
        // grown samples lies 3 from the nearest unmasked one
        {"a radius that cannot reach the middle", recipe(160, 120, s420), {{70, 45, 3}}, 0, {false}},
        {"a small disc within that radius", recipe(160, 120, s420), {{70, 45, 1}}, 0, {true}},
        {"4:4:4: nothing subsampled", recipe(96, 64, s444), {{40, 30, 3}}, 3, {false}, false},
        {"a range that cannot be confined", recipe(96, 64, s420), {{40, 30, 3}}, nan, {false}, false},
    };
    for (const Row& row : rows) {
        const std::vector<unsigned char> bytes = makeSourceBytes(row.recipe);
        const HotPixelMap map{row.pixels, row.recipe.width, row.recipe.height};
        const Painted got = paintAll(bytes, map, row.range);
        EXPECT_EQ(got.has, row.has) << row.name;
        ASSERT_EQ(got.paintedSamples.size(), row.repaired.size()) << row.name;
        for (std::size_t i = 0; i < row.repaired.size(); ++i)
            EXPECT_EQ(got.paintedSamples[i] > 0, static_cast<bool>(row.repaired[i])) << row.name << ", disc " << i;
    }
}

// A lone disc's touched samples against the whole plane decoded by libjpeg
// without upsampling: each the mean of the samples within the radius that
// are not grown, weighted by the inverse of the squared distance, added up
// row by row as the fill does, the sums and their rounding written out here.
TEST(DiscSamples, ALoneDiscIsTheMeanAroundItsRing) {
    struct Row {
        const char* name;
        std::vector<Sampling> sampling;
        HotPixel pixel;
        double range;
    };
    const std::vector<Row> rows = {
        {"4:2:0, inside the plane", {{2, 2}, {1, 1}, {1, 1}}, {71, 45, 3}, 3},
        {"4:2:0, on the footprints' grid", {{2, 2}, {1, 1}, {1, 1}}, {40, 60, 2}, 3},
        {"4:2:2, a wider range", {{2, 1}, {1, 1}, {1, 1}}, {90, 50, 3}, 6},
        {"4:2:0, at the plane's corner", {{2, 2}, {1, 1}, {1, 1}}, {2, 1, 3}, 3},
        {"4:2:0, a fractional range rounded", {{2, 2}, {1, 1}, {1, 1}}, {71, 45, 3}, 2.6},
    };
    for (const Row& row : rows) {
        const SourceRecipe source = recipe(160, 120, row.sampling);
        const std::vector<unsigned char> bytes = makeSourceBytes(source, 7);
        const HotPixelMap map{{row.pixel}, source.width, source.height};
        const Painted got = paintAll(bytes, map, row.range);
        const cv::Mat plane = decodeComponentPlane(bytes, 1);
        ASSERT_EQ(plane.size(), got.samples.size()) << row.name;
        const int stepX = row.sampling[0].h, stepY = row.sampling[0].v;
        cv::Mat mask(source.height, source.width, CV_8UC1, cv::Scalar(0));
        drawRepairMask(map, mask);
        cv::Mat touched(plane.size(), CV_8UC1, cv::Scalar(0)), grown;
        for (int y = 0; y < mask.rows; ++y)
            for (int x = 0; x < mask.cols; ++x)
                if (mask.at<unsigned char>(y, x) != 0) touched.at<unsigned char>(y / stepY, x / stepX) = 255;
        cv::dilate(touched, grown, cv::Mat::ones(3, 3, CV_8UC1));
        const int radius = std::max(static_cast<int>(std::lround(sampleRange(row.range))), 1);
        int compared = 0;
        for (int y = 0; y < plane.rows; ++y)
            for (int x = 0; x < plane.cols; ++x) {
                if (touched.at<unsigned char>(y, x) == 0) continue;
                float sum = 0.0f, weights = 0.0f;
                for (int v = y - radius; v <= y + radius; ++v)
                    for (int u = x - radius; u <= x + radius; ++u) {
                        const int d2 = (u - x) * (u - x) + (v - y) * (v - y);
                        if (d2 > radius * radius || u < 0 || v < 0 || u >= plane.cols || v >= plane.rows ||
                            grown.at<unsigned char>(v, u) != 0)
                            continue;
                        sum += 1.0f / static_cast<float>(d2) * static_cast<float>(plane.at<unsigned char>(v, u));
                        weights += 1.0f / static_cast<float>(d2);
                    }
                ASSERT_GT(weights, 0.0f) << row.name;
                ++compared;
                EXPECT_EQ(got.samples.at<unsigned char>(y, x),
                          cv::saturate_cast<unsigned char>(std::lround(sum / weights)))
                    << row.name << " at " << x << "," << y;
            }
        EXPECT_GT(compared, 3) << row.name;
    }
}

}  // namespace
}  // namespace speckmend
