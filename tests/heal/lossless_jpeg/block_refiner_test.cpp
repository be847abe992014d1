// The refined coefficients of repaired blocks, judged by what libjpeg
// decodes from them: closer to the repair than the encoder's own blocks,
// the source's block back when the repair changed nothing, and untouched
// blocks left alone.
#include "heal/lossless_jpeg/block_refiner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include "config/hot_pixel_map.h"
#include "heal/jpeg/jpeg_rewrite.h"
#include "jpeg_harness.h"
#include "test_images.h"
#include "test_support.h"

namespace speckmend {
namespace {

using namespace speckmend::testing;
using Bytes = std::vector<unsigned char>;

// The samples the heal works on: the image reader's pixels, or libjpeg's
// CMYK for a four-component JPEG.
cv::Mat decodeAsHealed(const Bytes& bytes, int components) {
    return components == 4 ? decodeSamples(bytes, JCS_CMYK) : decodeWhole(bytes);
}

JQUANT_TBL tableOf(const Component& component) {
    JQUANT_TBL table{};
    for (int k = 0; k < DCTSIZE2; ++k) table.quantval[k] = static_cast<UINT16>(component.table[k]);
    return table;
}

struct Layout {
    int maxH = 1, maxV = 1;
};

Layout layoutOf(const JpegFile& file) {
    Layout l;
    if (file.components.size() == 1) return l;
    for (const Component& c : file.components) l.maxH = std::max(l.maxH, c.h), l.maxV = std::max(l.maxV, c.v);
    return l;
}

BlockPlace placeOf(const JpegFile& file, int c, int column, int row) {
    const Layout l = layoutOf(file);
    const bool single = file.components.size() == 1;
    BlockPlace place;
    place.component = c;
    place.h = single ? 1 : file.components[c].h;
    place.v = single ? 1 : file.components[c].v;
    place.maxH = l.maxH;
    place.maxV = l.maxV;
    place.origin = {column * 8 * l.maxH / place.h, row * 8 * l.maxV / place.v};
    return place;
}

cv::Rect footprintOf(const BlockPlace& p, cv::Size photo) {
    return cv::Rect(p.origin.x, p.origin.y, 8 * p.maxH / p.h, 8 * p.maxV / p.v) & cv::Rect({}, photo);
}

// The source with every block that holds a repaired pixel replaced by
// blocks(c, column, row), written by the same rewrite the heal uses.
template <typename Blocks>
Bytes spliced(const Bytes& source, const JpegFile& layout, const cv::Mat& mask, const Blocks& blocks) {
    JpegRewrite rewrite;
    std::string diagnostic;
    EXPECT_TRUE(rewrite.read(source, diagnostic)) << diagnostic;
    auto step = [&] {
        j_decompress_ptr codec = rewrite.source();
        for (int c = 0; c < static_cast<int>(layout.components.size()); ++c) {
            const Component& component = layout.components[c];
            for (int row = 0; row < component.heightInBlocks; ++row) {
                JBLOCKARRAY to = (*codec->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(codec),
                                                                   rewrite.arrays()[c], row, 1, TRUE);
                for (int column = 0; column < component.widthInBlocks; ++column) {
                    const cv::Rect area = footprintOf(placeOf(layout, c, column, row), mask.size());
                    if (area.empty() || cv::countNonZero(mask(area)) == 0) continue;
                    std::memcpy(to[0][column], blocks(c, column, row), sizeof(JBLOCK));
                    rewrite.noteChangedBlock(c, to[0][column]);
                }
            }
        }
    };
    EXPECT_TRUE(runJpegGuarded(rewrite.guard(), step));
    Bytes out;
    EXPECT_TRUE(rewrite.write(out, diagnostic)) << diagnostic;
    return out;
}

// How far a decoded output is from what it should show: the repair inside
// the mask, the source's decode elsewhere in the replaced blocks.
struct Distance {
    double repairedMean = 0;  // mean absolute difference, repaired pixels
    double weighted = 0;      // squared, repaired pixels counted kRepairedSampleWeight times
};

Distance distanceOf(const cv::Mat& out, const cv::Mat& repaired, const cv::Mat& decoded, const cv::Mat& mask,
                    const cv::Mat& replaced) {
    Distance d;
    long count = 0;
    for (int y = 0; y < out.rows; ++y)
        for (int x = 0; x < out.cols; ++x) {
            if (replaced.at<unsigned char>(y, x) == 0) continue;
            const bool inside = mask.at<unsigned char>(y, x) != 0;
            for (int c = 0; c < out.channels(); ++c) {
                const int o = out.ptr<unsigned char>(y)[x * out.channels() + c];
                const int want = (inside ? repaired : decoded).ptr<unsigned char>(y)[x * out.channels() + c];
                d.weighted += (inside ? kRepairedSampleWeight : 1.0) * (o - want) * (o - want);
                if (inside) d.repairedMean += std::abs(o - want), ++count;
            }
        }
    if (count) d.repairedMean /= static_cast<double>(count);
    return d;
}

// The price the refinement puts on a block's AC coefficients: for each
// non-zero one four bits and its magnitude's, the bits beyond the source's
// coefficient there priced again kGrowthWeight / kRateWeight times.
double priceOf(const JCOEF* block, const JCOEF* source, const JQUANT_TBL& table) {
    auto bits = [](int value) {
        if (value == 0) return 0.0;
        return 4.0 + std::floor(std::log2(std::abs(static_cast<double>(value)))) + 1.0;
    };
    double price = 0;
    for (int k = 1; k < 64; ++k) {
        const double step = table.quantval[k];
        price += step * step *
                 (kRateWeight * bits(block[k]) + kGrowthWeight * std::max(0.0, bits(block[k]) - bits(source[k])));
    }
    return price;
}

// ---------------------------------------------------------------------------
// Refined blocks decode closer to the repair than the encoder's blocks, or
// as close for fewer bits.

struct RepairCase {
    const char* name;
    SourceRecipe recipe;
    std::vector<HotPixel> discs;
    int spike = 0;  // added to every channel at each disc's centre before encoding
};

void PrintTo(const RepairCase& c, std::ostream* os) { *os << c.name; }

struct Trial {
    Bytes source;
    JpegFile in, donor;
    cv::Mat decoded, repaired, mask, replaced;
};

Trial prepare(const RepairCase& c) {
    Trial t;
    const int channels = c.recipe.components;
    cv::Mat picture = testPicture(c.recipe.width, c.recipe.height, channels, 7);
    for (const HotPixel& p : c.discs)
        for (int ch = 0; ch < channels; ++ch) {
            unsigned char& value = picture.ptr<unsigned char>(p.y)[p.x * channels + ch];
            value = cv::saturate_cast<unsigned char>(value + c.spike);
        }
    t.source = encodeJpeg(c.recipe, picture);
    EXPECT_TRUE(readJpeg(t.source, t.in));
    t.decoded = decodeAsHealed(t.source, channels);
    t.mask = cv::Mat::zeros(t.decoded.size(), CV_8UC1);
    for (const HotPixel& p : c.discs) cv::circle(t.mask, {p.x, p.y}, p.r, 255, cv::FILLED, cv::LINE_8);
    t.repaired = inpaintWhole(t.decoded, t.mask, 3, cv::INPAINT_TELEA);
    // The encoder's blocks: the repaired photo encoded with the source's
    // recipe, so with its tables and sampling.
    EXPECT_TRUE(readJpeg(encodeJpeg(c.recipe, t.repaired), t.donor));
    t.replaced = cv::Mat::zeros(t.mask.size(), CV_8UC1);
    for (int cc = 0; cc < static_cast<int>(t.in.components.size()); ++cc)
        for (int row = 0; row < t.in.components[cc].heightInBlocks; ++row)
            for (int column = 0; column < t.in.components[cc].widthInBlocks; ++column) {
                const cv::Rect area = footprintOf(placeOf(t.in, cc, column, row), t.mask.size());
                if (!area.empty() && cv::countNonZero(t.mask(area)) > 0) t.replaced(area).setTo(255);
            }
    return t;
}

std::vector<RepairCase> repairCases() {
    const std::vector<Sampling> s420 = {{2, 2}, {1, 1}, {1, 1}}, s422 = {{2, 1}, {1, 1}, {1, 1}},
                                s444 = {{1, 1}, {1, 1}, {1, 1}}, s411 = {{4, 1}, {1, 1}, {1, 1}}, grey = {{1, 1}},
                                cmyk1 = {{1, 1}, {1, 1}, {1, 1}, {1, 1}}, cmyk2 = {{2, 2}, {1, 1}, {1, 1}, {2, 2}};
    auto coded = [](SourceRecipe r, J_COLOR_SPACE space) {
        r.colorSpace = space;
        return r;
    };
    auto quality = [](SourceRecipe r, int q) {
        r.quality = q;
        return r;
    };
    return {
        // grey: the samples are the pixels
        {"grey, quality 75, radius 3", recipe(32, 32, grey), {{12, 13, 3}}},
        {"grey, quality 92, radius 2 across four blocks", quality(recipe(32, 32, grey), 92), {{8, 8, 2}}},
        {"grey, radius 1", recipe(24, 24, grey), {{11, 4, 1}}},
        {"grey, a block cut by the photo's edge", recipe(21, 19, grey), {{18, 16, 2}}},
        // colour, every sampling
        {"420, quality 92", quality(recipe(48, 32, s420), 92), {{20, 14, 3}}},
        {"422, quality 85, radius 1 at a block corner", quality(recipe(48, 32, s422), 85), {{16, 16, 1}}},
        {"444", recipe(32, 32, s444), {{9, 20, 3}}},
        {"411", recipe(64, 16, s411), {{30, 7, 3}}},
        {"RGB coded", with(recipe(32, 32, s444), [](SourceRecipe& s) { s.colorSpace = JCS_RGB; }), {{14, 14, 2}}},
        {"two discs in one block", recipe(32, 32, s420), {{3, 3, 1}, {6, 5, 1}}},
        // four components: CMYK as it is, YCCK through its colour transform
        {"CMYK", coded(recipe(32, 32, cmyk1), JCS_CMYK), {{12, 13, 3}}},
        {"CMYK 2x2 1x1 1x1 2x2, quality 90", quality(coded(recipe(48, 32, cmyk2), JCS_CMYK), 90), {{20, 14, 3}}},
        {"YCCK", coded(recipe(32, 32, cmyk1), JCS_YCCK), {{9, 20, 3}}},
        {"YCCK 2x2 1x1 1x1 2x2, quality 90", quality(coded(recipe(48, 32, cmyk2), JCS_YCCK), 90), {{20, 14, 3}}},
        // former bugs
        {"a hot pixel that saturates: the repair, not the source beyond 255, is the target",
         quality(recipe(32, 32, grey), 92),
         {{13, 11, 3}},
         250},
        {"a saturating hot pixel in colour", quality(recipe(32, 32, s420), 92), {{13, 11, 3}}, 250},
    };
}

class RefinedBlocks : public ::testing::TestWithParam<RepairCase> {};

TEST_P(RefinedBlocks, CostLessThanTheEncodersBlocks) {
    const RepairCase& c = GetParam();
    const Trial t = prepare(c);
    ASSERT_FALSE(t.source.empty());
    ASSERT_EQ(t.donor.components.size(), t.in.components.size());

    std::vector<std::vector<JCOEF>> refined(t.in.components.size());
    for (int cc = 0; cc < static_cast<int>(t.in.components.size()); ++cc) {
        const Component& component = t.in.components[cc];
        refined[cc] = t.donor.components[cc].blocks;
        const JQUANT_TBL table = tableOf(component);
        for (int row = 0; row < component.heightInBlocks; ++row)
            for (int column = 0; column < component.widthInBlocks; ++column) {
                JCOEF* block =
                    refined[cc].data() + (static_cast<std::size_t>(row) * component.widthInBlocks + column) * 64;
                refineDonorBlock(block, component.block(column, row), table, t.in.colorSpace, t.repaired, t.mask,
                                 placeOf(t.in, cc, column, row));
            }
    }
    const Bytes plain = spliced(t.source, t.in, t.mask,
                                [&](int cc, int column, int row) { return t.donor.components[cc].block(column, row); });
    const Bytes better = spliced(t.source, t.in, t.mask, [&](int cc, int column, int row) {
        return refined[cc].data() + (static_cast<std::size_t>(row) * t.in.components[cc].widthInBlocks + column) * 64;
    });
    const int components = c.recipe.components;
    const Distance before = distanceOf(decodeAsHealed(plain, components), t.repaired, t.decoded, t.mask, t.replaced);
    const Distance after = distanceOf(decodeAsHealed(better, components), t.repaired, t.decoded, t.mask, t.replaced);
    // The refinement trades error for bits: what it gives up in distance it
    // must win back in price, by its own rule, counted here afresh.
    double pricePlain = 0, priceRefined = 0;
    for (int cc = 0; cc < static_cast<int>(t.in.components.size()); ++cc) {
        const Component& component = t.in.components[cc];
        const JQUANT_TBL table = tableOf(component);
        for (int row = 0; row < component.heightInBlocks; ++row)
            for (int column = 0; column < component.widthInBlocks; ++column) {
                const cv::Rect area = footprintOf(placeOf(t.in, cc, column, row), t.mask.size());
                if (area.empty() || cv::countNonZero(t.mask(area)) == 0) continue;
                const JCOEF* own = component.block(column, row);
                pricePlain += priceOf(t.donor.components[cc].block(column, row), own, table);
                priceRefined += priceOf(
                    refined[cc].data() + (static_cast<std::size_t>(row) * component.widthInBlocks + column) * 64, own,
                    table);
            }
    }
    EXPECT_LT(after.weighted + priceRefined, before.weighted + pricePlain);
}

INSTANTIATE_TEST_SUITE_P(Cases, RefinedBlocks, ::testing::ValuesIn(repairCases()),
                         [](const ::testing::TestParamInfo<RepairCase>& info) { return testNameOf(info.param.name); });

// ---------------------------------------------------------------------------
// What the refinement leaves as it was.

JpegFile greySource(int quality, Bytes& bytes) {
    SourceRecipe r = recipe(16, 16, {{1, 1}});
    r.quality = quality;
    bytes = makeSourceBytes(r, 3);
    JpegFile file;
    EXPECT_TRUE(readJpeg(bytes, file));
    return file;
}

TEST(BlockRefiner, LeavesABlockWithoutRepairedPixelsAsItIs) {
    Bytes bytes;
    const JpegFile in = greySource(75, bytes);
    const cv::Mat decoded = decodeWhole(bytes);
    cv::Mat mask = cv::Mat::zeros(decoded.size(), CV_8UC1);
    mask.at<unsigned char>(3, 12) = 255;  // in block (1, 0) only
    JBLOCK donor;
    for (int k = 0; k < DCTSIZE2; ++k) donor[k] = static_cast<JCOEF>(in.components[0].block(0, 0)[k] + (k % 3) - 1);
    JBLOCK before;
    std::memcpy(before, donor, sizeof donor);
    refineDonorBlock(donor, in.components[0].block(0, 0), tableOf(in.components[0]), JCS_GRAYSCALE, decoded, mask,
                     placeOf(in, 0, 0, 0));
    EXPECT_EQ(std::memcmp(before, donor, sizeof donor), 0);
}

TEST(BlockRefiner, GivesTheSourcesBlockBackWhenTheRepairChangedNothing) {
    // Coarse steps: the decode's rounding cannot reach half a step.
    for (int quality : {30, 50}) {
        Bytes bytes;
        const JpegFile in = greySource(quality, bytes);
        const cv::Mat decoded = decodeWhole(bytes);
        cv::Mat mask = cv::Mat::zeros(decoded.size(), CV_8UC1);
        cv::circle(mask, {4, 4}, 1, 255, cv::FILLED, cv::LINE_8);
        // The encoder's block of an unchanged repair is the decode encoded
        // again; start from one that is off by a step in a few places.
        JBLOCK donor;
        std::memcpy(donor, in.components[0].block(0, 0), sizeof donor);
        donor[0] += 1, donor[9] -= 1, donor[40] += 1;
        refineDonorBlock(donor, in.components[0].block(0, 0), tableOf(in.components[0]), JCS_GRAYSCALE, decoded, mask,
                         placeOf(in, 0, 0, 0));
        EXPECT_EQ(std::memcmp(donor, in.components[0].block(0, 0), sizeof donor), 0) << "quality " << quality;
    }
}

// ---------------------------------------------------------------------------
// Arguments it refuses.

TEST(BlockRefiner, RefusesWhatDoesNotFit) {
    const cv::Mat grey(16, 16, CV_8UC1, cv::Scalar(100)), colour(16, 16, CV_8UC3, cv::Scalar(1, 2, 3));
    const cv::Mat cmyk(16, 16, CV_8UC4, cv::Scalar(1, 2, 3, 4)), pair(16, 16, CV_8UC2, cv::Scalar(1, 2));
    const cv::Mat mask(16, 16, CV_8UC1, cv::Scalar(255)), smallMask(8, 16, CV_8UC1, cv::Scalar(255));
    const cv::Mat wide(16, 16, CV_16UC1, cv::Scalar(0));
    const cv::Mat samples(8, 8, CV_8UC1, cv::Scalar(0)), smallSamples(8, 7, CV_8UC1, cv::Scalar(0));
    const cv::Mat wideSamples(8, 8, CV_16UC1, cv::Scalar(0));
    JQUANT_TBL table{};
    for (UINT16& q : table.quantval) q = 4;
    JQUANT_TBL zero = table;
    zero.quantval[17] = 0;
    struct Row {
        const char* name;
        const cv::Mat* pixels;
        const cv::Mat* mask;
        const JQUANT_TBL* table;
        BlockPlace place;
        J_COLOR_SPACE space;
    };
    const Row rows[] = {
        {"mask of another size", &grey, &smallMask, &table, {}, JCS_GRAYSCALE},
        {"mask of another type", &grey, &wide, &table, {}, JCS_GRAYSCALE},
        {"pixels of 16 bits", &wide, &mask, &table, {}, JCS_GRAYSCALE},
        {"a zero step", &grey, &mask, &zero, {}, JCS_GRAYSCALE},
        {"a second component of a grey photo", &grey, &mask, &table, {1, 1, 1, 1, 1, {}}, JCS_GRAYSCALE},
        {"a fourth component of a colour photo", &colour, &mask, &table, {3, 1, 1, 1, 1, {}}, JCS_YCbCr},
        {"a fifth component of a CMYK photo", &cmyk, &mask, &table, {4, 1, 1, 1, 1, {}}, JCS_CMYK},
        {"factors that do not divide the largest", &colour, &mask, &table, {0, 2, 1, 3, 1, {}}, JCS_YCbCr},
        {"a zero factor", &colour, &mask, &table, {0, 0, 1, 1, 1, {}}, JCS_YCbCr},
        {"two channels", &pair, &mask, &table, {}, JCS_UNKNOWN},
        // pixels whose layout is not the colour space's
        {"grey pixels called YCbCr", &grey, &mask, &table, {}, JCS_YCbCr},
        {"colour pixels called CMYK", &colour, &mask, &table, {}, JCS_CMYK},
        {"CMYK pixels called YCbCr", &cmyk, &mask, &table, {}, JCS_YCbCr},
        {"CMYK pixels called grey", &cmyk, &mask, &table, {}, JCS_GRAYSCALE},
        // a subsampled component's own samples that do not fit its pixels
        {"samples short of the pixels",
         &colour,
         &mask,
         &table,
         {1, 1, 1, 2, 2, {}, &smallSamples, &smallSamples},
         JCS_YCbCr},
        {"samples of 16 bits", &colour, &mask, &table, {1, 1, 1, 2, 2, {}, &wideSamples, &samples}, JCS_YCbCr},
        {"samples without the samples repaired",
         &colour,
         &mask,
         &table,
         {1, 1, 1, 2, 2, {}, &samples, nullptr},
         JCS_YCbCr},
        {"samples repaired of another size",
         &colour,
         &mask,
         &table,
         {1, 1, 1, 2, 2, {}, &samples, &smallSamples},
         JCS_YCbCr},
        {"a footprint off the samples' grid",
         &colour,
         &mask,
         &table,
         {1, 1, 1, 2, 2, {1, 0}, &samples, &samples},
         JCS_YCbCr},
    };
    for (const Row& row : rows) {
        JBLOCK donor{}, source{};
        EXPECT_THROW(refineDonorBlock(donor, source, *row.table, row.space, *row.pixels, *row.mask, row.place),
                     std::invalid_argument)
            << row.name;
    }
    // Each layout with its own colour spaces is taken.
    const Row fitting[] = {
        {"grey", &grey, &mask, &table, {}, JCS_GRAYSCALE},
        {"YCbCr", &colour, &mask, &table, {2, 1, 1, 1, 1, {}}, JCS_YCbCr},
        {"RGB", &colour, &mask, &table, {2, 1, 1, 1, 1, {}}, JCS_RGB},
        {"CMYK", &cmyk, &mask, &table, {3, 1, 1, 1, 1, {}}, JCS_CMYK},
        {"YCCK", &cmyk, &mask, &table, {3, 1, 1, 1, 1, {}}, JCS_YCCK},
        {"4:2:0 chroma with its samples", &colour, &mask, &table, {1, 1, 1, 2, 2, {}, &samples, &samples}, JCS_YCbCr},
    };
    for (const Row& row : fitting) {
        JBLOCK donor{}, source{};
        EXPECT_NO_THROW(refineDonorBlock(donor, source, *row.table, row.space, *row.pixels, *row.mask, row.place))
            << row.name;
    }
}

}  // namespace
}  // namespace speckmend
