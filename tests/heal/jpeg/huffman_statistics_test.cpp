// Optimal Huffman tables counted outside the library must give the very bytes
// of the library's own optimizing pass.
#include "heal/jpeg/huffman_statistics.h"

#include <gtest/gtest.h>

#include <map>

#include "heal/jpeg/jpeg_scan_script.h"
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
// for them, its padding blocks kept: counted by the library (countHere
// false) or by makeOptimalTables.
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
        ScanKeep keep;
        keep.from = &decoder.codec;
        keep.arrays = arrays;
        keepSourceScans(output, keep);
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

// Code length of every symbol of a table.
std::map<int, int> lengthsOf(const JHUFF_TBL& table) {
    std::map<int, int> lengths;
    int next = 0;
    for (int length = 1; length <= 16; ++length)
        for (int i = 0; i < table.bits[length]; ++i) lengths[table.huffval[next++]] = length;
    return lengths;
}

JHUFF_TBL tableOf(const std::map<int, int>& lengths) {
    JHUFF_TBL table{};
    int next = 0;
    for (int length = 1; length <= 16; ++length)
        for (const auto& [symbol, l] : lengths)
            if (l == length) {
                ++table.bits[length];
                table.huffval[next++] = static_cast<UINT8>(symbol);
            }
    return table;
}

// The Kraft sum of the lengths in units of 2^-16: a prefix code that leaves
// the all-ones code unused, as JPEG requires, stays below 65536.
long kraftSum(const std::map<int, int>& lengths) {
    long sum = 0;
    for (const auto& [symbol, length] : lengths) sum += 1L << (16 - length);
    return sum;
}

TEST(HuffmanStatistics, ExtendedTablesKeepTheOwnCodesAndAddTheMissingSymbols) {
    JpegGuard guard;
    JpegEncoder encoder;
    Bytes unused;
    auto setUp = [&] {
        encoder.createToMemory(guard, "output", unused);
        encoder.codec.in_color_space = JCS_YCbCr;
        jpeg_set_defaults(&encoder.codec);
    };
    ASSERT_TRUE(runJpegGuarded(guard, setUp));
    // The library's standard tables: complete but for the all-ones code.
    const JHUFF_TBL standardAc = *encoder.codec.ac_huff_tbl_ptrs[0];
    const JHUFF_TBL standardDc = *encoder.codec.dc_huff_tbl_ptrs[1];
    std::map<int, int> deep;  // a camera table reaching 16-bit codes
    for (int i = 0; i < 15; ++i) deep[i + 1] = i + 1;
    deep[0x20] = 16;
    struct Case {
        const char* name;
        JHUFF_TBL own;
        std::vector<int> extra;
        bool sameLengths;  // nothing new to code: the table comes back as it was
    };
    const std::vector<Case> cases = {
        // Nothing to add.
        {"standard AC, nothing added", standardAc, {}, true},
        {"standard DC, its own symbols named again", standardDc, {0, 5, 11}, true},
        {"three symbols, nothing added", tableOf({{0x00, 1}, {0x01, 2}, {0x11, 3}}), {}, true},
        // Symbols added.
        {"three symbols, a busy block's added",
         tableOf({{0x00, 1}, {0x01, 2}, {0x11, 3}}),
         {0x02, 0x03, 0x0A, 0x21, 0x35, 0xF0, 0xFA},
         false},
        {"DC of two categories, all twelve needed",
         tableOf({{0, 1}, {1, 2}}),
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
         false},
        {"16-bit codes, one added", tableOf(deep), {0x7A}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::bitset<256> extra;
        for (int symbol : c.extra) extra.set(static_cast<std::size_t>(symbol));
        JHUFF_TBL out{};
        auto extend = [&] { extendTable(&encoder.codec, c.own, extra, out); };
        ASSERT_TRUE(runJpegGuarded(guard, extend));
        const std::map<int, int> own = lengthsOf(c.own), made = lengthsOf(out);
        EXPECT_LT(kraftSum(made), 65536L);
        for (const auto& [symbol, length] : made) EXPECT_LE(length, 16);
        for (int symbol : c.extra) EXPECT_EQ(made.count(symbol), 1u) << "symbol " << symbol;
        for (const auto& [symbol, length] : own) {
            ASSERT_EQ(made.count(symbol), 1u) << "symbol " << symbol;
            // Room for the new codes costs an own code at most one bit.
            EXPECT_LE(made.at(symbol), length + 1) << "symbol " << symbol;
        }
        if (c.sameLengths) {
            EXPECT_EQ(made, own);
        }
    }
}

}  // namespace
}  // namespace speckmend
