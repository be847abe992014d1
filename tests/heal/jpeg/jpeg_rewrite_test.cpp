// Writing a JPEG back from its own coefficients, coded the way it was.
#include "heal/jpeg/jpeg_rewrite.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "jpeg_harness.h"

namespace speckmend {
namespace {

using namespace speckmend::testing;
using Bytes = std::vector<unsigned char>;

int countScans(const Bytes& jpeg) {
    JpegRewrite rewrite;
    std::string diagnostic;
    return rewrite.read(jpeg, diagnostic) ? static_cast<int>(rewrite.scans().size()) : -1;
}

// The entropy-coded bytes of a single-scan file: after the SOS header, up to
// the EOI.
Bytes entropyData(const Bytes& jpeg, std::size_t imageLength) {
    for (std::size_t at = 2; at + 4 < imageLength;) {
        const std::size_t length = static_cast<std::size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3];
        if (jpeg[at + 1] == 0xDA)
            return Bytes(jpeg.begin() + static_cast<long>(at + 2 + length),
                         jpeg.begin() + static_cast<long>(imageLength - 2));
        at += 2 + length;
    }
    return {};
}

struct CodingCase {
    const char* name;
    SourceRecipe recipe;
};

std::vector<CodingCase> codingCases() {
    const std::vector<Sampling> s420 = {{2, 2}, {1, 1}, {1, 1}}, s422 = {{2, 1}, {1, 1}, {1, 1}};
    return {
        {"baseline", recipe(150, 90, s420)},
        {"baseline with own tables", with(recipe(150, 90, s422), [](SourceRecipe& s) { s.optimize = true; })},
        {"a scan per component, each with tables of its own", with(recipe(150, 90, s420),
                                                                   [](SourceRecipe& s) {
                                                                       s.scanPerComponent = true;
                                                                       s.optimize = true;
                                                                   })},
        {"restart interval", with(recipe(150, 90, s422), [](SourceRecipe& s) { s.restartInterval = 2; })},
        {"progressive", with(recipe(150, 90, s420), [](SourceRecipe& s) { s.progressive = true; })},
        {"progressive grey", with(recipe(77, 51, {{1, 1}}), [](SourceRecipe& s) { s.progressive = true; })},
        {"progressive with restarts", with(recipe(150, 90, s420),
                                           [](SourceRecipe& s) {
                                               s.progressive = true;
                                               s.restartInterval = 7;
                                           })},
        {"arithmetic", with(recipe(150, 90, s420), [](SourceRecipe& s) { s.arithmetic = true; })},
        {"arithmetic progressive", with(recipe(150, 90, s422),
                                        [](SourceRecipe& s) {
                                            s.arithmetic = true;
                                            s.progressive = true;
                                        })},
        {"markers",
         with(recipe(64, 48, s420),
              [](SourceRecipe& s) {
                  s.jfif = false;
                  s.markers = {exifMarker(), comMarker("one"), appMarker(2, "two"), appMarker(14, "Adobe three")};
              })},
    };
}

TEST(JpegRewrite, UnchangedCoefficientsComeBackCodedAsTheyWere) {
    for (const CodingCase& c : codingCases()) {
        SCOPED_TRACE(c.name);
        const Bytes source = makeSourceBytes(c.recipe);
        ASSERT_FALSE(source.empty());
        JpegRewrite rewrite;
        std::string diagnostic;
        ASSERT_TRUE(rewrite.read(source, diagnostic)) << diagnostic;
        EXPECT_EQ(rewrite.imageLength(), source.size());
        Bytes out;
        ASSERT_TRUE(rewrite.write(out, diagnostic)) << diagnostic;
        JpegFile in, written;
        ASSERT_TRUE(readJpeg(source, in) && readJpeg(out, written));
        EXPECT_EQ(written.progressive, in.progressive);
        EXPECT_EQ(written.arithmetic, in.arithmetic);
        EXPECT_EQ(written.restartInterval, in.restartInterval);
        EXPECT_EQ(written.colorSpace, in.colorSpace);
        EXPECT_EQ(written.markers, in.markers);
        ASSERT_EQ(written.components.size(), in.components.size());
        for (std::size_t i = 0; i < in.components.size(); ++i) {
            EXPECT_EQ(written.components[i].table, in.components[i].table);
            EXPECT_EQ(written.components[i].blocks, in.components[i].blocks);
        }
        // The source's scan script, not the library's own.
        EXPECT_EQ(countScans(out), countScans(source));
        // Within a few bytes: only the table markers may be grouped otherwise.
        EXPECT_NEAR(static_cast<double>(out.size()), static_cast<double>(source.size()), 0.005 * source.size() + 40);
    }
}

TEST(JpegRewrite, ReadsTheScanScriptOfTheFile) {
    const Bytes source =
        makeSourceBytes(with(recipe(64, 48, {{2, 2}, {1, 1}, {1, 1}}), [](SourceRecipe& s) { s.progressive = true; }));
    JpegRewrite rewrite;
    std::string diagnostic;
    ASSERT_TRUE(rewrite.read(source, diagnostic));
    // The script the harness's encoder used: the library's simple progression.
    jpeg_compress_struct codec{};
    jpeg_error_mgr errors{};
    codec.err = jpeg_std_error(&errors);
    jpeg_create_compress(&codec);
    codec.in_color_space = JCS_YCbCr;
    codec.input_components = 3;
    jpeg_set_defaults(&codec);
    jpeg_simple_progression(&codec);
    const std::vector<jpeg_scan_info> expected(codec.scan_info, codec.scan_info + codec.num_scans);
    jpeg_destroy_compress(&codec);
    ASSERT_EQ(rewrite.scans().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const jpeg_scan_info& a = rewrite.scans()[i];
        const jpeg_scan_info& b = expected[i];
        EXPECT_EQ(a.comps_in_scan, b.comps_in_scan);
        for (int k = 0; k < b.comps_in_scan; ++k) EXPECT_EQ(a.component_index[k], b.component_index[k]);
        EXPECT_EQ(a.Ss, b.Ss);
        EXPECT_EQ(a.Se, b.Se);
        EXPECT_EQ(a.Ah, b.Ah);
        EXPECT_EQ(a.Al, b.Al);
    }
    // Garbage in place of a scan header gives no script, not a wrong one.
    Bytes broken = source;
    const std::size_t sos = std::string(broken.begin(), broken.end()).find("\xFF\xDA");
    ASSERT_NE(sos, std::string::npos);
    broken[sos + 4] = 9;  // nine components in a scan
    EXPECT_TRUE(readScanScript(broken, rewrite.source()).empty());
}

TEST(JpegRewrite, TrailingBytesAreKeptWhateverTheyAre) {
    const Bytes image = makeSourceBytes(recipe(48, 32, {{1, 1}, {1, 1}, {1, 1}}));
    for (const std::string& tail :
         {std::string("\xFF\xD8\xFF\xE0 preview", 12), std::string(1000, '\0'), std::string("\xFF", 1)}) {
        Bytes source = image;
        source.insert(source.end(), tail.begin(), tail.end());
        JpegRewrite rewrite;
        std::string diagnostic;
        ASSERT_TRUE(rewrite.read(source, diagnostic));
        EXPECT_EQ(rewrite.imageLength(), image.size());
        Bytes out;
        ASSERT_TRUE(rewrite.write(out, diagnostic));
        ASSERT_GE(out.size(), tail.size());
        EXPECT_EQ(std::string(out.end() - static_cast<long>(tail.size()), out.end()), tail);
    }
}

// ---------------------------------------------------------------------------
// The source's own Huffman tables, or tables made for the image.

// A flat picture: its optimized tables hold only the few symbols it needs.
Bytes flatSource(bool optimize) {
    SourceRecipe r = recipe(64, 64, {{1, 1}, {1, 1}, {1, 1}});
    r.optimize = optimize;
    return encodeJpeg(r, cv::Mat(64, 64, CV_8UC3, cv::Scalar(90, 120, 150)));
}

// A block with large coefficients everywhere.
void busyBlock(JCOEF* block) {
    for (int k = 0; k < DCTSIZE2; ++k) block[k] = static_cast<JCOEF>((k % 2 == 0 ? 1 : -1) * (300 + 7 * k));
}

// Puts block at column 2, row 3 of the first component, as a repair does.
bool changeBlock(JpegRewrite& rewrite, const JBLOCK& block) {
    auto step = [&] {
        j_decompress_ptr s = rewrite.source();
        JBLOCKARRAY rows =
            (*s->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(s), rewrite.arrays()[0], 3, 1, TRUE);
        std::memcpy(rows[0][2], block, sizeof(JBLOCK));
        rewrite.noteChangedBlock(0, block);
    };
    return runJpegGuarded(rewrite.guard(), step);
}

TEST(JpegRewrite, OwnTablesOnlyWhileTheyCodeEveryChangedBlock) {
    struct Case {
        const char* name;
        bool optimizedSource;
        bool changeBlock;
        bool ownTablesExpected;
    };
    const std::vector<Case> cases = {
        {"standard tables, busy block", false, true, true},
        {"own tables, nothing changed", true, false, true},
        {"own tables too small for a busy block", true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes source = flatSource(c.optimizedSource);
        JpegRewrite rewrite;
        std::string diagnostic;
        ASSERT_TRUE(rewrite.read(source, diagnostic));
        JBLOCK changed{};
        busyBlock(changed);
        EXPECT_EQ(ownTablesCanCode(rewrite.source(), 0, changed), !c.optimizedSource);
        if (c.changeBlock) {
            ASSERT_TRUE(changeBlock(rewrite, changed));
        }
        Bytes out;
        ASSERT_TRUE(rewrite.write(out, diagnostic)) << diagnostic;
        // Whatever the tables, the output holds the changed coefficients.
        JpegFile written;
        ASSERT_TRUE(readJpeg(out, written));
        if (c.changeBlock) {
            EXPECT_EQ(std::memcmp(written.components[0].block(2, 3), changed, sizeof changed), 0);
        }
        const bool sameEntropy = entropyData(out, out.size()) == entropyData(source, source.size());
        if (!c.changeBlock) {
            EXPECT_EQ(sameEntropy, c.ownTablesExpected);
        }
    }
}

// A file whose last MCU column and row pad the image with picture data, as
// some cameras write them: a coded image with its frame header's size made
// smaller, so that its last block columns and rows become padding.
Bytes withSmallerFrame(Bytes jpeg, int width, int height) {
    for (std::size_t at = 2; at + 9 <= jpeg.size();) {
        if (jpeg[at + 1] >= 0xC0 && jpeg[at + 1] <= 0xC2) {
            jpeg[at + 5] = static_cast<unsigned char>(height >> 8);
            jpeg[at + 6] = static_cast<unsigned char>(height & 0xFF);
            jpeg[at + 7] = static_cast<unsigned char>(width >> 8);
            jpeg[at + 8] = static_cast<unsigned char>(width & 0xFF);
            break;
        }
        at += 2 + (static_cast<std::size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3]);
    }
    return jpeg;
}

// Every block of every component, padding of the last MCUs included.
std::vector<std::vector<JCOEF>> allBlocks(JpegRewrite& rewrite) {
    j_decompress_ptr codec = rewrite.source();
    std::vector<std::vector<JCOEF>> result;
    for (int c = 0; c < codec->num_components; ++c) {
        const jpeg_component_info& info = codec->comp_info[c];
        const bool single = codec->num_components == 1;
        const JDIMENSION h = single ? 1 : info.h_samp_factor, v = single ? 1 : info.v_samp_factor;
        const JDIMENSION columns = (info.width_in_blocks + h - 1) / h * h;
        const JDIMENSION rows = (info.height_in_blocks + v - 1) / v * v;
        std::vector<JCOEF> blocks;
        for (JDIMENSION row = 0; row < rows; ++row) {
            JBLOCKARRAY line = (*codec->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(codec),
                                                                 rewrite.arrays()[c], row, 1, FALSE);
            for (JDIMENSION column = 0; column < columns; ++column)
                blocks.insert(blocks.end(), line[0][column], line[0][column] + DCTSIZE2);
        }
        result.push_back(std::move(blocks));
    }
    return result;
}

TEST(JpegRewrite, OwnTablesKeepTheFilesOwnPaddingBlocks) {
    struct Case {
        const char* name;
        SourceRecipe recipe;
        int width, height;  // the frame header's, smaller than the coded picture
        bool paddingKept;
    };
    const std::vector<Sampling> s420 = {{2, 2}, {1, 1}, {1, 1}}, s422 = {{2, 1}, {1, 1}, {1, 1}};
    const std::vector<Case> cases = {
        // Sequential Huffman, written with the file's own tables.
        {"420 padding rows", recipe(64, 48, s420), 64, 36, true},
        {"420 padding columns", recipe(64, 48, s420), 56, 48, true},
        {"420 both", recipe(64, 48, s420), 52, 41, true},
        {"422 padding columns", recipe(48, 32, s422), 40, 32, true},
        {"restart interval", with(recipe(64, 48, s420), [](SourceRecipe& s) { s.restartInterval = 2; }), 52, 41, true},
        // One component is coded block by block: it has no padding blocks.
        {"grey", recipe(40, 40, {{1, 1}}), 36, 33, true},
        // Written with made-up padding, as the library writes every file.
        {"progressive", with(recipe(64, 48, s420), [](SourceRecipe& s) { s.progressive = true; }), 52, 41, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes source = withSmallerFrame(makeSourceBytes(c.recipe, 8), c.width, c.height);
        JpegRewrite original, rewritten;
        std::string diagnostic;
        ASSERT_TRUE(original.read(source, diagnostic)) << diagnostic;
        ASSERT_EQ(original.source()->image_height, static_cast<JDIMENSION>(c.height));
        Bytes out;
        ASSERT_TRUE(original.write(out, diagnostic)) << diagnostic;
        ASSERT_TRUE(rewritten.read(out, diagnostic)) << diagnostic;
        const bool kept = allBlocks(original) == allBlocks(rewritten);
        EXPECT_EQ(kept, c.paddingKept);
        if (c.paddingKept && original.scans().size() == 1) {
            EXPECT_EQ(entropyData(out, rewritten.imageLength()), entropyData(source, original.imageLength()));
        }
    }
}

// Code length of every symbol of a table.
std::map<int, int> codeLengths(const JHUFF_TBL* table) {
    std::map<int, int> lengths;
    int next = 0;
    for (int length = 1; table != nullptr && length <= 16; ++length)
        for (int i = 0; i < table->bits[length]; ++i) lengths[table->huffval[next++]] = length;
    return lengths;
}

TEST(JpegRewrite, OwnTablesLackingASymbolAreExtendedNotReplaced) {
    // A flat picture's own tables hold a handful of symbols; a busy block
    // needs dozens more.
    const Bytes source = flatSource(true);
    JpegRewrite rewrite;
    std::string diagnostic;
    ASSERT_TRUE(rewrite.read(source, diagnostic));
    JBLOCK changed{};
    busyBlock(changed);
    ASSERT_FALSE(ownTablesCanCode(rewrite.source(), 0, changed));
    ASSERT_TRUE(changeBlock(rewrite, changed));
    Bytes out;
    ASSERT_TRUE(rewrite.write(out, diagnostic)) << diagnostic;
    JpegRewrite written;
    ASSERT_TRUE(written.read(out, diagnostic)) << diagnostic;
    EXPECT_EQ(allBlocks(written), allBlocks(rewrite));
    j_decompress_ptr from = rewrite.source(), to = written.source();
    for (int c = 0; c < from->num_components; ++c) {
        SCOPED_TRACE("component " + std::to_string(c));
        const jpeg_component_info& info = from->comp_info[c];
        ASSERT_EQ(to->comp_info[c].dc_tbl_no, info.dc_tbl_no);
        ASSERT_EQ(to->comp_info[c].ac_tbl_no, info.ac_tbl_no);
        const std::map<int, int> ownDc = codeLengths(from->dc_huff_tbl_ptrs[info.dc_tbl_no]);
        const std::map<int, int> ownAc = codeLengths(from->ac_huff_tbl_ptrs[info.ac_tbl_no]);
        const std::map<int, int> newDc = codeLengths(to->dc_huff_tbl_ptrs[info.dc_tbl_no]);
        const std::map<int, int> newAc = codeLengths(to->ac_huff_tbl_ptrs[info.ac_tbl_no]);
        // Every DC category, and the source's codes kept but for a bit of room.
        for (int bits = 0; bits <= 11; ++bits) EXPECT_EQ(newDc.count(bits), 1u) << "DC category " << bits;
        for (const auto& [symbol, length] : ownAc) {
            ASSERT_EQ(newAc.count(symbol), 1u) << "AC symbol " << symbol;
            EXPECT_LE(newAc.at(symbol), length + 1) << "AC symbol " << symbol;
        }
        for (const auto& [symbol, length] : ownDc) {
            ASSERT_EQ(newDc.count(symbol), 1u) << "DC symbol " << symbol;
            EXPECT_LE(newDc.at(symbol), length + 1) << "DC symbol " << symbol;
        }
        // The other components' tables had nothing to add.
        if (info.ac_tbl_no != from->comp_info[0].ac_tbl_no) {
            EXPECT_EQ(newAc, ownAc);
        }
    }
}

}  // namespace
}  // namespace speckmend
