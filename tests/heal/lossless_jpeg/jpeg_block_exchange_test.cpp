// The block exchange: a decoder fed the source's blocks gives the pixels of
// the coded window JPEG, and an encoder's taken blocks are the blocks its
// coded stream reads back to, over every sampling and window position.
#include "heal/jpeg/jpeg_block_exchange.h"

#include <gtest/gtest.h>

#include <cstring>

#include "heal/jpeg/jpeg_rewrite.h"
#include "heal/lossless_jpeg/jpeg_window.h"
#include "jpeg_harness.h"

namespace speckmend {
namespace {

using namespace speckmend::testing;
using Bytes = std::vector<unsigned char>;

struct Case {
    const char* name;
    SourceRecipe recipe;
};

const std::vector<Case>& cases() {
    static const std::vector<Case> table = {
        // Interleaved samplings, sizes that leave partial last MCUs.
        {"420", recipe(157, 99, {{2, 2}, {1, 1}, {1, 1}})},
        {"422", recipe(150, 91, {{2, 1}, {1, 1}, {1, 1}})},
        {"444", recipe(131, 77, {{1, 1}, {1, 1}, {1, 1}})},
        {"440", recipe(93, 141, {{1, 2}, {1, 1}, {1, 1}})},
        {"411", recipe(173, 60, {{4, 1}, {1, 1}, {1, 1}})},
        {"2x2 1x2 1x2", recipe(139, 101, {{2, 2}, {1, 2}, {1, 2}})},
        {"RGB coded", with(recipe(70, 50, {{1, 1}, {1, 1}, {1, 1}}), [](SourceRecipe& s) { s.colorSpace = JCS_RGB; })},
        // One component: a scan that is not interleaved, whatever its factors.
        {"grey", recipe(133, 85, {{1, 1}})},
        {"grey coded 2x2", recipe(61, 45, {{2, 2}})},
        // Sources whose own coding the window JPEG does not share.
        {"progressive 420",
         with(recipe(97, 66, {{2, 2}, {1, 1}, {1, 1}}), [](SourceRecipe& s) { s.progressive = true; })},
        {"restarts 422",
         with(recipe(120, 72, {{2, 1}, {1, 1}, {1, 1}}), [](SourceRecipe& s) { s.restartInterval = 3; })},
        // The smallest image: a single MCU.
        {"one MCU", recipe(16, 16, {{2, 2}, {1, 1}, {1, 1}})},
    };
    return table;
}

// Windows inside, at every edge and corner, and the whole photo.
std::vector<cv::Rect> windowsOf(const JpegGrid& grid) {
    std::vector<cv::Rect> windows = {{0, 0, grid.across(), grid.down()}};
    if (grid.across() >= 4 && grid.down() >= 4) {
        windows.push_back({1, 1, 2, 2});
        windows.push_back({0, 0, 3, 2});
        windows.push_back({grid.across() - 3, grid.down() - 3, 3, 3});
        windows.push_back({0, grid.down() - 1, grid.across(), 1});
    }
    return windows;
}

// Runs body(rewrite, grid) on each case's source, made with the seed and
// read for rewriting, under the case's name. The bytes outlive the rewrite,
// which reads from them.
template <typename Body>
void forEachSource(unsigned seed, Body body) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const Bytes bytes = makeSourceBytes(c.recipe, seed);
        JpegRewrite rewrite;
        std::string diagnostic;
        ASSERT_TRUE(rewrite.read(bytes, diagnostic)) << diagnostic;
        body(rewrite, gridOf(rewrite.source()));
    }
}

bool samePixels(const cv::Mat& a, const cv::Mat& b) {
    if (a.size() != b.size() || a.type() != b.type()) return false;
    for (int y = 0; y < a.rows; ++y)
        if (std::memcmp(a.ptr(y), b.ptr(y), a.cols * a.elemSize()) != 0) return false;
    return true;
}

TEST(JpegBlockExchange, FedDecoderGivesThePixelsOfTheCodedWindow) {
    forEachSource(3, [](JpegRewrite& rewrite, const JpegGrid& grid) {
        j_decompress_ptr source = rewrite.source();
        for (const cv::Rect& imcus : windowsOf(grid)) {
            SCOPED_TRACE(::testing::PrintToString(imcus));
            const cv::Rect area = grid.pixels(imcus);
            cv::Mat coded(area.size(), CV_8UC(pixelChannels(source)));
            cv::Mat fed(area.size(), coded.type(), cv::Scalar::all(7));
            Bytes codedBytes, headerBytes;
            JpegEncoder encoder;
            JpegDecoder decoder;
            BlockFeed feed = windowFeed(source, rewrite.arrays(), imcus);
            auto step = [&] {
                writeWindowBlocks(source, rewrite.arrays(), imcus, encoder, rewrite.guard(), codedBytes);
                decodeLikeImageReader(codedBytes, source->jpeg_color_space, decoder, rewrite.guard(), coded);
                // The same codec objects again, reset, as the heal uses them.
                writeWindowBlocks(source, rewrite.arrays(), imcus, encoder, rewrite.guard(), headerBytes, true);
                decodeLikeImageReader(headerBytes, source->jpeg_color_space, decoder, rewrite.guard(), fed, &feed);
            };
            ASSERT_TRUE(runJpegGuarded(rewrite.guard(), step)) << decoder.errors.error << encoder.errors.error;
            EXPECT_LT(headerBytes.size(), codedBytes.size());
            // The one-iMCU header with the window's size is the same JPEG.
            Bytes smallHeader;
            auto small = [&] {
                writeWindowHeader(source, rewrite.arrays(), imcus, encoder, rewrite.guard(), smallHeader);
            };
            ASSERT_TRUE(runJpegGuarded(rewrite.guard(), small)) << encoder.errors.error;
            EXPECT_EQ(smallHeader, headerBytes);
            EXPECT_EQ(decoder.errors.firstWarning[0], '\0') << decoder.errors.firstWarning;
            EXPECT_TRUE(samePixels(coded, fed));
        }
    });
}

TEST(JpegBlockExchange, TakenBlocksAreThoseTheCodedStreamReadsBackTo) {
    forEachSource(4, [](JpegRewrite& rewrite, const JpegGrid& grid) {
        j_decompress_ptr source = rewrite.source();
        // Other pixels than the source's, so that nothing is copied through.
        const cv::Mat picture = testPicture(grid.width, grid.height, pixelChannels(source), 11);
        for (const cv::Rect& imcus : windowsOf(grid)) {
            SCOPED_TRACE(::testing::PrintToString(imcus));
            const cv::Mat crop = picture(grid.pixels(imcus)).clone();
            Bytes codedBytes, headerBytes, takenBytes;
            JpegEncoder encoder;
            JpegDecoder coded, taken;
            jvirt_barray_ptr* codedArrays = nullptr;
            jvirt_barray_ptr* takenArrays = nullptr;
            BlockTake take;
            auto step = [&] {
                encodeLikeSource(source, crop, encoder, rewrite.guard(), codedBytes);
                codedArrays = readCoefficients(codedBytes, coded, rewrite.guard());
                writeWindowBlocks(source, rewrite.arrays(), imcus, encoder, rewrite.guard(), headerBytes, true);
                taken.createFromMemory(rewrite.guard(), "taken", headerBytes);
                jpeg_read_header(&taken.codec, TRUE);
                takenArrays = requestCoefficientArrays(&taken.codec);
                take.into = &taken.codec;
                take.arrays = takenArrays;
                encodeLikeSource(source, crop, encoder, rewrite.guard(), takenBytes, &take);
            };
            ASSERT_TRUE(runJpegGuarded(rewrite.guard(), step)) << encoder.errors.error << taken.errors.error;
            ASSERT_EQ(taken.codec.num_components, coded.codec.num_components);
            EXPECT_EQ(taken.codec.image_width, coded.codec.image_width);
            EXPECT_EQ(taken.codec.image_height, coded.codec.image_height);
            EXPECT_EQ(taken.codec.jpeg_color_space, coded.codec.jpeg_color_space);
            EXPECT_LT(takenBytes.size(), codedBytes.size());
            for (int k = 0; k < coded.codec.num_components; ++k) {
                SCOPED_TRACE(k);
                const jpeg_component_info& a = coded.codec.comp_info[k];
                const jpeg_component_info& b = taken.codec.comp_info[k];
                ASSERT_EQ(b.width_in_blocks, a.width_in_blocks);
                ASSERT_EQ(b.height_in_blocks, a.height_in_blocks);
                ASSERT_EQ(b.h_samp_factor, a.h_samp_factor);
                ASSERT_EQ(b.v_samp_factor, a.v_samp_factor);
                const JQUANT_TBL* tableA = coded.codec.quant_tbl_ptrs[a.quant_tbl_no];
                const JQUANT_TBL* tableB = taken.codec.quant_tbl_ptrs[b.quant_tbl_no];
                ASSERT_NE(tableB, nullptr);
                EXPECT_EQ(std::memcmp(tableA->quantval, tableB->quantval, sizeof tableA->quantval), 0);
                // Padding blocks of the last MCUs too: the arrays reach to
                // whole MCUs in both.
                const JDIMENSION columns =
                    (a.width_in_blocks + a.h_samp_factor - 1) / a.h_samp_factor * a.h_samp_factor;
                const JDIMENSION rows = (a.height_in_blocks + a.v_samp_factor - 1) / a.v_samp_factor * a.v_samp_factor;
                int mismatches = 0;
                for (JDIMENSION row = 0; row < rows; ++row) {
                    JBLOCKARRAY x = (*coded.codec.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&coded.codec),
                                                                           codedArrays[k], row, 1, FALSE);
                    JBLOCKARRAY y = (*taken.codec.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&taken.codec),
                                                                           takenArrays[k], row, 1, FALSE);
                    for (JDIMENSION column = 0; column < columns; ++column)
                        if (std::memcmp(x[0][column], y[0][column], sizeof(JBLOCK)) != 0) ++mismatches;
                }
                EXPECT_EQ(mismatches, 0);
            }
        }
    });
}

}  // namespace
}  // namespace speckmend
