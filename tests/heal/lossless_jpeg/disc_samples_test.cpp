// The discs' repaired samples of a photo: which discs get them (lone units,
// not crowded ones, none without subsampling or a confined range), and that
// a lone disc's touched samples are its unit's inpainting of the source's
// own samples, found here from the whole plane decoded by libjpeg.
#include "heal/lossless_jpeg/disc_samples.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include "heal/inpaint/region_inpainter.h"
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

Painted paintAll(const std::vector<unsigned char>& bytes, const HotPixelMap& map, double range, int method) {
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
    auto step = [&] { samples.repair(source, rewrite.arrays(), map, discs, pixelOf, range, method); };
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
        {"4:4:4: nothing subsampled", recipe(96, 64, s444), {{40, 30, 3}}, 3, {false}, false},
        {"a range that cannot be confined", recipe(96, 64, s420), {{40, 30, 3}}, nan, {false}, false},
    };
    for (const Row& row : rows) {
        const std::vector<unsigned char> bytes = makeSourceBytes(row.recipe);
        const HotPixelMap map{row.pixels, row.recipe.width, row.recipe.height};
        const Painted got = paintAll(bytes, map, row.range, cv::INPAINT_TELEA);
        EXPECT_EQ(got.has, row.has) << row.name;
        ASSERT_EQ(got.paintedSamples.size(), row.repaired.size()) << row.name;
        for (std::size_t i = 0; i < row.repaired.size(); ++i)
            EXPECT_EQ(got.paintedSamples[i] > 0, static_cast<bool>(row.repaired[i])) << row.name << ", disc " << i;
    }
}

// A lone disc's touched samples against the whole plane decoded by libjpeg
// without upsampling, its grown samples inpainted in the reach.
TEST(DiscSamples, ALoneDiscIsItsReachInpainted) {
    const SourceRecipe source = recipe(160, 120, {{2, 2}, {1, 1}, {1, 1}});
    const std::vector<unsigned char> bytes = makeSourceBytes(source, 7);
    for (const int method : {cv::INPAINT_NS, cv::INPAINT_TELEA}) {
        const HotPixelMap map{{{71, 45, 3}}, source.width, source.height};
        const Painted got = paintAll(bytes, map, 3, method);
        const cv::Mat plane = decodeComponentPlane(bytes, 1);
        ASSERT_EQ(plane.size(), got.samples.size());
        cv::Mat mask(source.height, source.width, CV_8UC1, cv::Scalar(0));
        drawRepairMask(map, mask);
        cv::Mat touched(plane.size(), CV_8UC1, cv::Scalar(0)), grown;
        for (int y = 0; y < mask.rows; ++y)
            for (int x = 0; x < mask.cols; ++x)
                if (mask.at<unsigned char>(y, x) != 0) touched.at<unsigned char>(y / 2, x / 2) = 255;
        cv::dilate(touched, grown, cv::Mat::ones(3, 3, CV_8UC1));
        const int margin = RegionInpainter::marginFor(sampleRange(3));
        const cv::Rect box = cv::boundingRect(grown);
        const cv::Rect reach =
            cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin, box.height + 2 * margin) &
            cv::Rect({}, plane.size());
        cv::Mat want;
        cv::inpaint(plane(reach), grown(reach), want, sampleRange(3), method);
        int compared = 0;
        for (int y = 0; y < plane.rows; ++y)
            for (int x = 0; x < plane.cols; ++x)
                if (touched.at<unsigned char>(y, x) != 0) {
                    ++compared;
                    EXPECT_EQ(got.samples.at<unsigned char>(y, x), want.at<unsigned char>(y - reach.y, x - reach.x))
                        << "method " << method << " at " << x << "," << y;
                }
        EXPECT_GT(compared, 9);
    }
}

}  // namespace
}  // namespace speckmend
