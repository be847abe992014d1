// Optimal Huffman tables counted outside the library must give the very bytes
// of the library's own optimizing pass.
#include "heal/huffman_statistics.h"

#include <gtest/gtest.h>

#include "jpeg_harness.h"

namespace speckmend {
namespace {

using namespace speckmend::testing;
using Bytes = std::vector<unsigned char>;

struct Written {
    bool ok = false;
    bool counted = false;  // makeOptimalTables took the image
    Bytes bytes;
};

// The source's coefficients written as one sequential scan with tables made
// for them: counted by the library (countHere false) or by makeOptimalTables.
Written writeOptimized(const Bytes& source, bool countHere, unsigned restartInterval,
                       void (*change)(j_decompress_ptr, jvirt_barray_ptr*) = nullptr) {
    Written written;
    JpegGuard guard;
    JpegDecoder decoder;
    JpegEncoder encoder;
    auto step = [&] {
        decoder.createFromMemory(guard, "source", source);
        jpeg_read_header(&decoder.codec, TRUE);
        jvirt_barray_ptr* arrays = jpeg_read_coefficients(&decoder.codec);
        if (change != nullptr) change(&decoder.codec, arrays);
        encoder.createToMemory(guard, "output", written.bytes);
        j_compress_ptr output = &encoder.codec;
        jpeg_copy_critical_parameters(&decoder.codec, output);
        if (decoder.codec.num_components == 1)
            output->comp_info[0].h_samp_factor = output->comp_info[0].v_samp_factor = 1;
        output->restart_interval = restartInterval;
        output->optimize_coding = TRUE;
        if (countHere && makeOptimalTables(&decoder.codec, arrays, output)) {
            written.counted = true;
            output->optimize_coding = FALSE;
        }
        jpeg_write_coefficients(output, arrays);
        jpeg_finish_compress(output);
    };
    written.ok = runJpegGuarded(guard, step);
    return written;
}

void largeDcStep(j_decompress_ptr codec, jvirt_barray_ptr* arrays) {
    // DC 2047 next to -2047: a difference of 12 bits, beyond 8-bit coding.
    JBLOCKARRAY row = (*codec->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(codec), arrays[0], 0, 1, TRUE);
    row[0][0][0] = 2047;
    row[0][1][0] = -2047;
}

struct Case {
    const char* name;
    SourceRecipe recipe;
    unsigned restartInterval;
};

TEST(HuffmanStatistics, TablesCountedHereGiveTheLibrarysOwnBytes) {
    const std::vector<Sampling> s420 = {{2, 2}, {1, 1}, {1, 1}}, s422 = {{2, 1}, {1, 1}, {1, 1}},
                                s444 = {{1, 1}, {1, 1}, {1, 1}}, s440 = {{1, 2}, {1, 1}, {1, 1}},
                                s411 = {{4, 1}, {1, 1}, {1, 1}}, s2x2 = {{2, 2}, {1, 2}, {1, 2}};
    const std::vector<Case> cases = {
        // Samplings, at sizes that end in partial MCUs (padding blocks).
        {"4:2:0", recipe(150, 90, s420), 0},
        {"4:2:2", recipe(151, 89, s422), 0},
        {"4:4:4", recipe(77, 51, s444), 0},
        {"4:4:0", recipe(83, 97, s440), 0},
        {"4:1:1", recipe(157, 40, s411), 0},
        {"2x2, 1x2, 1x2", recipe(99, 75, s2x2), 0},
        {"grey", recipe(77, 51, {{1, 1}}), 0},
        {"grey declared 2x2", recipe(45, 37, {{2, 2}}), 0},
        {"whole MCUs", recipe(64, 48, s420), 0},
        // Restarts reset the DC predictor.
        {"restart every MCU", recipe(150, 90, s420), 1},
        {"restart every 7 MCUs", recipe(151, 89, s422), 7},
        {"grey, restart every 5 blocks", recipe(77, 51, {{1, 1}}), 5},
        // Sources whose own coding differs from the output's.
        {"progressive source", with(recipe(150, 90, s420), [](SourceRecipe& s) { s.progressive = true; }), 0},
        {"source with its own tables", with(recipe(150, 90, s422), [](SourceRecipe& s) { s.optimize = true; }), 3},
        {"high quality", with(recipe(97, 61, s420), [](SourceRecipe& s) { s.quality = 100; }), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes source = makeSourceBytes(c.recipe, 7);
        ASSERT_FALSE(source.empty());
        const Written library = writeOptimized(source, false, c.restartInterval);
        const Written here = writeOptimized(source, true, c.restartInterval);
        ASSERT_TRUE(library.ok);
        ASSERT_TRUE(here.ok);
        EXPECT_TRUE(here.counted);
        EXPECT_EQ(here.bytes, library.bytes);
    }
}

TEST(HuffmanStatistics, EveryCameraFileGivesTheLibrarysOwnBytes) {
    const std::vector<std::string> files = sampleJpegs();
    if (files.empty()) GTEST_SKIP() << "camera samples folder is missing";
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        const std::string text = readBytes(path);
        const Bytes source(text.begin(), text.end());
        for (unsigned interval : {0u, 4u}) {
            const Written library = writeOptimized(source, false, interval);
            const Written here = writeOptimized(source, true, interval);
            ASSERT_TRUE(library.ok);
            ASSERT_TRUE(here.ok);
            EXPECT_EQ(here.bytes, library.bytes);
        }
    }
}

TEST(HuffmanStatistics, LeavesWhatItCannotCodeToTheLibrary) {
    const Bytes source = makeSourceBytes(recipe(64, 48, {{1, 1}}), 3);
    const Written here = writeOptimized(source, true, 0, largeDcStep);
    EXPECT_FALSE(here.counted);
    // The library then refuses the block itself.
    EXPECT_FALSE(here.ok);
}

}  // namespace
}  // namespace speckmend
