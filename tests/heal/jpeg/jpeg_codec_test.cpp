// The codec objects: reuse after a finished or failed stream, and the
// library's large blocks in mappings of their own that are all given back.
#include "heal/jpeg/jpeg_codec.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "heal/jpeg/jpeg_rewrite.h"
#include "heal/jpeg/large_blocks.h"
#include "jpeg_harness.h"

namespace speckmend {
namespace {

using namespace speckmend::testing;
using Bytes = std::vector<unsigned char>;

TEST(JpegCodec, LargeBlocksAreMappedWhileUsedAndAllGivenBack) {
    struct Case {
        const char* name;
        int width, height;
        bool mapped;  // whether its coefficient arrays reach the size of a mapping
    };
    const std::vector<Case> cases = {
        // Arrays of a few hundred kilobytes stay with malloc.
        {"small", 320, 240, false},
        // 2400 x 1600 at 4:2:0: 90,000 blocks of 128 bytes in the luma array.
        {"large", 2400, 1600, true},
        {"large, not a multiple of the MCU", 2413, 1597, true},
    };
    const long before = liveJpegMappings();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes source = makeSourceBytes(recipe(c.width, c.height, {{2, 2}, {1, 1}, {1, 1}}), 2);
        Bytes out;
        {
            JpegRewrite rewrite;
            std::string diagnostic;
            ASSERT_TRUE(rewrite.read(source, diagnostic)) << diagnostic;
            EXPECT_EQ(liveJpegMappings() > before, c.mapped);
            ASSERT_TRUE(rewrite.write(out, diagnostic)) << diagnostic;
        }
        EXPECT_EQ(liveJpegMappings(), before);
        // The blocks lived in that memory: the rewritten file decodes to
        // the source's pixels.
        const cv::Mat a = cv::imdecode(source, cv::IMREAD_COLOR), b = cv::imdecode(out, cv::IMREAD_COLOR);
        ASSERT_FALSE(a.empty());
        ASSERT_EQ(a.size(), b.size());
        EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0.0);
    }
}

TEST(JpegCodec, ADecoderReusedAfterAFailedStreamReadsTheNextOne) {
    const Bytes good = makeSourceBytes(recipe(64, 48, {{2, 2}, {1, 1}, {1, 1}}), 3);
    const Bytes cases[] = {
        // Cut inside the header: the library raises an error half-way.
        Bytes(good.begin(), good.begin() + 40),
        // Not a JPEG at all.
        Bytes(100, 0x55),
    };
    JpegGuard guard;
    JpegDecoder decoder;
    for (const Bytes& bad : cases) {
        auto fail = [&] {
            decoder.createFromMemory(guard, "bad", bad);
            jpeg_read_header(&decoder.codec, TRUE);
            jpeg_read_coefficients(&decoder.codec);
        };
        EXPECT_FALSE(runJpegGuarded(guard, fail));
        EXPECT_NE(decoder.errors.error[0], '\0');
        JDIMENSION width = 0;
        auto read = [&] {
            decoder.createFromMemory(guard, "good", good);
            jpeg_read_header(&decoder.codec, TRUE);
            jpeg_read_coefficients(&decoder.codec);
            width = decoder.codec.image_width;
        };
        EXPECT_TRUE(runJpegGuarded(guard, read)) << decoder.errors.error;
        EXPECT_EQ(decoder.errors.error[0], '\0');
        EXPECT_EQ(width, 64u);
    }
}

}  // namespace
}  // namespace speckmend
