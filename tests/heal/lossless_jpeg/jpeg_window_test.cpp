// Windows of a JPEG: decoded like the image reader decodes the whole photo,
// encoded like a whole-image encode with the source's tables, and the blocks
// a repair touches.
#include "heal/lossless_jpeg/jpeg_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "heal/jpeg/jpeg_rewrite.h"
#include "jpeg_harness.h"

namespace speckmend {
namespace {

using namespace speckmend::testing;
using Bytes = std::vector<unsigned char>;

const std::vector<std::pair<const char*, SourceRecipe>>& samplings() {
    static const std::vector<std::pair<const char*, SourceRecipe>> cases = {
        {"420", recipe(157, 99, {{2, 2}, {1, 1}, {1, 1}})},
        {"422", recipe(150, 91, {{2, 1}, {1, 1}, {1, 1}})},
        {"444", recipe(131, 77, {{1, 1}, {1, 1}, {1, 1}})},
        {"440", recipe(93, 141, {{1, 2}, {1, 1}, {1, 1}})},
        {"411", recipe(173, 60, {{4, 1}, {1, 1}, {1, 1}})},
        {"grey", recipe(133, 85, {{1, 1}})},
        {"2x2 1x2 1x2", recipe(139, 101, {{2, 2}, {1, 2}, {1, 2}})},
        {"RGB coded", with(recipe(70, 50, {{1, 1}, {1, 1}, {1, 1}}), [](SourceRecipe& s) { s.colorSpace = JCS_RGB; })},
    };
    return cases;
}

// Windows inside, at every edge and corner, and the whole photo.
std::vector<cv::Rect> windowsOf(const JpegGrid& grid) {
    return {{1, 1, 3, 3},
            {0, 0, 3, 2},
            {grid.across() - 3, grid.down() - 3, 3, 3},
            {0, 1, grid.across(), 3},
            {0, 0, grid.across(), grid.down()}};
}

// The part of a window that must match the whole photo: one iMCU in from
// every edge that is not the photo's own.
cv::Rect trustedPart(const JpegGrid& grid, const cv::Rect& area) {
    const int left = area.x == 0 ? 0 : grid.imcuWidth, top = area.y == 0 ? 0 : grid.imcuHeight;
    const int right = area.br().x == grid.width ? area.width : area.width - grid.imcuWidth;
    const int bottom = area.br().y == grid.height ? area.height : area.height - grid.imcuHeight;
    return {left, top, right - left, bottom - top};
}

bool samePixels(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    return cv::countNonZero(difference.reshape(1)) == 0;
}

TEST(JpegWindow, DecodesLikeTheImageReaderInsideAndOnThePhotosEdges) {
    for (const auto& [name, r] : samplings()) {
        SCOPED_TRACE(name);
        const Bytes bytes = makeSourceBytes(r, 5);
        const cv::Mat whole = decodeWhole(bytes);
        JpegRewrite rewrite;
        std::string diagnostic;
        ASSERT_TRUE(rewrite.read(bytes, diagnostic)) << diagnostic;
        const JpegGrid grid = gridOf(rewrite.source());
        ASSERT_EQ(pixelChannels(rewrite.source()), whole.channels());
        for (const cv::Rect& imcus : windowsOf(grid)) {
            SCOPED_TRACE(::testing::PrintToString(imcus));
            const cv::Rect area = grid.pixels(imcus);
            Bytes blocks;
            cv::Mat pixels(area.size(), whole.type());
            JpegEncoder encoder;
            JpegDecoder decoder;
            auto step = [&] {
                writeWindowBlocks(rewrite.source(), rewrite.arrays(), imcus, encoder, rewrite.guard(), blocks);
                decodeLikeImageReader(blocks, rewrite.source()->jpeg_color_space, decoder, rewrite.guard(), pixels);
            };
            ASSERT_TRUE(runJpegGuarded(rewrite.guard(), step));
            const cv::Rect trusted = trustedPart(grid, area);
            ASSERT_FALSE(trusted.empty());
            EXPECT_TRUE(samePixels(pixels(trusted), whole(trusted + area.tl())));
        }
    }
}

TEST(JpegWindow, EncodesTheBlocksAWholeImageEncodeGives) {
    for (const auto& [name, r] : samplings()) {
        SCOPED_TRACE(name);
        const Bytes bytes = makeSourceBytes(r, 6);
        JpegRewrite rewrite;
        std::string diagnostic;
        ASSERT_TRUE(rewrite.read(bytes, diagnostic)) << diagnostic;
        const JpegGrid grid = gridOf(rewrite.source());
        // Other pixels than the source's, so that nothing is copied through.
        const cv::Mat picture = testPicture(grid.width, grid.height, pixelChannels(rewrite.source()), 9);
        Bytes wholeBytes;
        JpegEncoder wholeEncoder;
        auto wholeStep = [&] {
            encodeLikeSource(rewrite.source(), picture, wholeEncoder, rewrite.guard(), wholeBytes);
        };
        ASSERT_TRUE(runJpegGuarded(rewrite.guard(), wholeStep));
        JpegFile whole;
        ASSERT_TRUE(readJpeg(wholeBytes, whole));
        for (std::size_t c = 0; c < whole.components.size(); ++c) {
            const jpeg_component_info& info = rewrite.source()->comp_info[c];
            EXPECT_EQ(whole.components[c].h, info.h_samp_factor);
            EXPECT_EQ(whole.components[c].v, info.v_samp_factor);
        }
        for (const cv::Rect& imcus : windowsOf(grid)) {
            SCOPED_TRACE(::testing::PrintToString(imcus));
            const cv::Rect area = grid.pixels(imcus);
            Bytes windowBytes;
            JpegEncoder encoder;
            const cv::Mat crop = picture(area).clone();
            auto step = [&] { encodeLikeSource(rewrite.source(), crop, encoder, rewrite.guard(), windowBytes); };
            ASSERT_TRUE(runJpegGuarded(rewrite.guard(), step));
            JpegFile window;
            ASSERT_TRUE(readJpeg(windowBytes, window));
            ASSERT_EQ(window.components.size(), whole.components.size());
            const bool single = whole.components.size() == 1;
            int mismatches = 0;
            for (std::size_t c = 0; c < whole.components.size(); ++c) {
                const Component& w = window.components[c];
                EXPECT_EQ(w.table, whole.components[c].table);
                const int h = single ? 1 : w.h, v = single ? 1 : w.v;
                for (int row = 0; row < w.heightInBlocks; ++row)
                    for (int column = 0; column < w.widthInBlocks; ++column)
                        if (std::memcmp(w.block(column, row),
                                        whole.components[c].block(imcus.x * h + column, imcus.y * v + row),
                                        sizeof(JBLOCK)) != 0)
                            ++mismatches;
            }
            EXPECT_EQ(mismatches, 0);
        }
    }
}

TEST(JpegWindow, RepairedBlocksAreThoseWhoseFootprintHoldsARepairedPixel) {
    struct Case {
        const char* name;
        std::vector<int> h, v;
        cv::Size size;
        std::vector<cv::Point> repaired;
    };
    const std::vector<Case> cases = {
        {"444", {1, 1, 1}, {1, 1, 1}, {24, 16}, {{0, 0}, {8, 15}, {23, 9}}},
        {"420", {2, 1, 1}, {2, 1, 1}, {40, 24}, {{7, 7}, {8, 8}, {31, 16}, {39, 23}}},
        {"422 with a partial last block", {2, 1, 1}, {1, 1, 1}, {37, 11}, {{36, 10}, {15, 0}}},
        {"411", {4, 1, 1}, {1, 1, 1}, {64, 8}, {{31, 3}, {32, 3}}},
        // footprints read eight pixels at a time: pixels at either end of such a run and past the last whole one
        {"411, the ends of eight-pixel runs", {4, 1, 1}, {1, 1, 1}, {70, 8}, {{7, 0}, {56, 7}, {39, 4}, {69, 2}}},
        {"420, a pixel alone in a run", {2, 1, 1}, {2, 1, 1}, {48, 16}, {{20, 9}}},
        {"grey", {1}, {1}, {17, 9}, {{16, 8}}},
        {"nothing repaired", {2, 1, 1}, {2, 1, 1}, {32, 32}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cv::Mat mask(c.size, CV_8UC1, cv::Scalar(0));
        for (const cv::Point& p : c.repaired) mask.at<unsigned char>(p) = 255;
        const int components = static_cast<int>(c.h.size());
        const int maxH = *std::max_element(c.h.begin(), c.h.end()), maxV = *std::max_element(c.v.begin(), c.v.end());
        const RepairedBlocks found = findRepairedBlocks(mask, components, c.h.data(), c.v.data(), maxH, maxV);
        ASSERT_EQ(found.components, components);
        for (int comp = 0; comp < components; ++comp) {
            // By hand: the block each repaired pixel falls into.
            std::set<std::pair<int, int>> expected;
            for (const cv::Point& p : c.repaired)
                expected.insert({p.x * c.h[comp] / maxH / 8, p.y * c.v[comp] / maxV / 8});
            EXPECT_EQ(found.widthInBlocks[comp], (c.size.width * c.h[comp] + 8 * maxH - 1) / (8 * maxH));
            EXPECT_EQ(found.heightInBlocks[comp], (c.size.height * c.v[comp] + 8 * maxV - 1) / (8 * maxV));
            for (int row = 0; row < found.heightInBlocks[comp]; ++row)
                for (int column = 0; column < found.widthInBlocks[comp]; ++column)
                    EXPECT_EQ(found.repaired(comp, column, row), expected.count({column, row}) == 1)
                        << "component " << comp << " block " << column << "," << row;
        }
    }
}

TEST(JpegWindow, RefusesImagesThatDoNotFitTheJpeg) {
    const Bytes bytes = makeSourceBytes(recipe(48, 32, {{2, 2}, {1, 1}, {1, 1}}));
    JpegRewrite rewrite;
    std::string diagnostic;
    ASSERT_TRUE(rewrite.read(bytes, diagnostic));
    struct Case {
        const char* name;
        cv::Mat pixels;
    };
    const std::vector<Case> decodeCases = {
        {"too narrow", cv::Mat(32, 47, CV_8UC3)},
        {"too short", cv::Mat(31, 48, CV_8UC3)},
        {"16 bits", cv::Mat(32, 48, CV_16UC3)},
    };
    for (const Case& c : decodeCases) {
        SCOPED_TRACE(c.name);
        cv::Mat pixels = c.pixels;
        JpegDecoder decoder;
        auto step = [&] { decodeLikeImageReader(bytes, JCS_YCbCr, decoder, rewrite.guard(), pixels); };
        EXPECT_FALSE(runJpegGuarded(rewrite.guard(), step));
    }
    const std::vector<Case> encodeCases = {
        {"grey for colour", cv::Mat(32, 48, CV_8UC1, cv::Scalar(0))},
        {"16 bits", cv::Mat(32, 48, CV_16UC3, cv::Scalar::all(0))},
        {"empty", cv::Mat()},
    };
    for (const Case& c : encodeCases) {
        SCOPED_TRACE(c.name);
        Bytes out;
        JpegEncoder encoder;
        auto step = [&] { encodeLikeSource(rewrite.source(), c.pixels, encoder, rewrite.guard(), out); };
        EXPECT_FALSE(runJpegGuarded(rewrite.guard(), step));
    }
    const int h[] = {2, 1, 1}, v[] = {2, 1, 1}, zero[] = {0, 1, 1};
    EXPECT_THROW(findRepairedBlocks(cv::Mat(8, 8, CV_8UC3), 3, h, v, 2, 2), std::invalid_argument);
    EXPECT_THROW(findRepairedBlocks(cv::Mat(8, 8, CV_8UC1), 3, zero, v, 2, 2), std::invalid_argument);
}

}  // namespace
}  // namespace speckmend
