// Writing a JPEG back from its own coefficients, coded the way it was.
#include "heal/jpeg/jpeg_rewrite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "heal/jpeg/jpeg_markers.h"
#include "jpeg_harness.h"

namespace speckmend {
namespace {

using namespace speckmend::testing;
using Bytes = std::vector<unsigned char>;

TEST(JpegRewrite, UnchangedCoefficientsComeBackCodedAsTheyWere) {
    for (const NamedRecipe& c : codingRecipes()) {
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
        // Every scan as the file had it: its header, restart interval and
        // restart markers, and its coded bytes (the source's encoder is the
        // library, whose tables for the same blocks are the same).
        const std::vector<ScanLayout> scans = scanLayout(out), sourceScans = scanLayout(source);
        ASSERT_EQ(scans.size(), sourceScans.size());
        ASSERT_FALSE(scans.empty());
        for (std::size_t i = 0; i < scans.size(); ++i) {
            SCOPED_TRACE("scan " + std::to_string(i));
            EXPECT_EQ(scans[i].restartInterval, sourceScans[i].restartInterval);
            EXPECT_EQ(scans[i].restarts, sourceScans[i].restarts);
            EXPECT_TRUE(scans[i] == sourceScans[i]);
        }
        // Within a few bytes: only the table markers may be grouped otherwise.
        EXPECT_NEAR(static_cast<double>(out.size()), static_cast<double>(source.size()), 0.005 * source.size() + 40);
    }
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

// The codes of a JPEG's segments from SOI to EOI, scan data skipped, by a
// walk of its own.
std::vector<int> segmentCodes(const Bytes& jpeg) {
    std::vector<int> codes;
    std::size_t at = 2;
    while (at + 3 < jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xD9) {
        const int code = jpeg[at + 1];
        codes.push_back(code);
        at += 2 + (static_cast<std::size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3]);
        if (code != 0xDA) continue;
        while (at + 1 < jpeg.size() &&
               !(jpeg[at] == 0xFF && jpeg[at + 1] != 0 && (jpeg[at + 1] < 0xD0 || jpeg[at + 1] > 0xD7)))
            ++at;
    }
    return codes;
}

// Where in the source a COM goes: before the n-th segment of this code
// (0xD9: before EOI).
struct CommentPlace {
    const char* name;
    int before;
    int nth;
};

Bytes withComment(Bytes jpeg, const CommentPlace& place, const std::string& text) {
    int seen = 0;
    std::size_t at = 2;
    while (at + 3 < jpeg.size()) {
        const int code = jpeg[at + 1];
        if (code == place.before && seen++ == place.nth) break;
        if (code == 0xD9) return {};
        at += 2 + (static_cast<std::size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3]);
        if (code != 0xDA) continue;
        while (at + 1 < jpeg.size() &&
               !(jpeg[at] == 0xFF && jpeg[at + 1] != 0 && (jpeg[at + 1] < 0xD0 || jpeg[at + 1] > 0xD7)))
            ++at;
    }
    Bytes segment = {0xFF, 0xFE, 0, static_cast<unsigned char>(text.size() + 2)};
    segment.insert(segment.end(), text.begin(), text.end());
    jpeg.insert(jpeg.begin() + static_cast<std::ptrdiff_t>(at), segment.begin(), segment.end());
    return jpeg;
}

TEST(JpegRewrite, CommentsAndApplicationMarkersKeepTheirPlaceAmongTheTables) {
    const std::vector<CommentPlace> places = {
        {"after the quantization tables", 0xC0, 0},
        {"after the frame header", 0xC4, 0},
        {"after the Huffman tables, before the scan", 0xDA, 0},
        {"between two scans", 0xDA, 2},
        {"after the last scan", 0xD9, 0},
    };
    const std::vector<NamedRecipe> recipes = {
        {"baseline", recipe(64, 48, {{2, 2}, {1, 1}, {1, 1}})},
        {"progressive", with(recipe(64, 48, {{2, 1}, {1, 1}, {1, 1}}), [](SourceRecipe& r) { r.progressive = true; })},
        {"a scan per component",
         with(recipe(64, 48, {{2, 2}, {1, 1}, {1, 1}}), [](SourceRecipe& r) { r.scanPerComponent = true; })},
    };
    for (const NamedRecipe& r : recipes)
        for (const CommentPlace& place : places) {
            SCOPED_TRACE(std::string(r.name) + ", " + place.name);
            const Bytes source = withComment(makeSourceBytes(r.recipe), place, "placed");
            if (source.empty()) continue;  // a baseline file has no second scan
            JpegRewrite rewrite;
            std::string diagnostic;
            ASSERT_TRUE(rewrite.read(source, diagnostic)) << diagnostic;
            Bytes out;
            ASSERT_TRUE(rewrite.write(out, diagnostic)) << diagnostic;
            std::vector<int> written = segmentCodes(out), read = segmentCodes(source);
            // The library writes the Huffman tables of every scan before it,
            // where the source's later scans may reuse those of an earlier
            // one: the places among the other segments must still match.
            if (r.recipe.scanPerComponent)
                for (std::vector<int>* codes : {&written, &read}) std::erase(*codes, 0xC4);
            else
                EXPECT_EQ(out.size(), source.size());
            EXPECT_EQ(written, read);
        }
}

TEST(JpegRewrite, AnExtendedSequentialFrameStaysLabelledSo) {
    for (const NamedRecipe& c : {NamedRecipe{"baseline", recipe(64, 48, {{2, 2}, {1, 1}, {1, 1}})},
                                 NamedRecipe{"own tables", with(recipe(64, 48, {{2, 1}, {1, 1}, {1, 1}}),
                                                                [](SourceRecipe& r) { r.optimize = true; })}}) {
        SCOPED_TRACE(c.name);
        Bytes source = makeSourceBytes(c.recipe);
        const auto sof = std::find(source.begin(), source.end() - 1, 0xC0);
        ASSERT_TRUE(sof != source.end() - 1 && sof[-1] == 0xFF);
        *sof = 0xC1;  // the same coding, labelled extended
        JpegRewrite rewrite;
        std::string diagnostic;
        ASSERT_TRUE(rewrite.read(source, diagnostic)) << diagnostic;
        Bytes out;
        ASSERT_TRUE(rewrite.write(out, diagnostic)) << diagnostic;
        const std::vector<int> codes = segmentCodes(out);
        EXPECT_NE(std::find(codes.begin(), codes.end(), 0xC1), codes.end());
        EXPECT_EQ(std::find(codes.begin(), codes.end(), 0xC0), codes.end());
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

// Puts block at a column and row of the first component, as a repair does.
bool changeBlock(JpegRewrite& rewrite, const JBLOCK& block, JDIMENSION column = 2, JDIMENSION row = 3) {
    auto step = [&] {
        j_decompress_ptr s = rewrite.source();
        JBLOCKARRAY rows =
            (*s->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(s), rewrite.arrays()[0], row, 1, TRUE);
        std::memcpy(rows[0][column], block, sizeof(JBLOCK));
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
        const bool sameEntropy = scanLayout(out) == scanLayout(source);
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
        if (jpeg_marker::isFrameHeader(jpeg[at + 1])) {
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

TEST(JpegRewrite, EveryFileKeepsItsOwnPaddingBlocks) {
    struct Case {
        const char* name;
        SourceRecipe recipe;
        int width, height;  // the frame header's, smaller than the coded picture (0: as coded)
        bool changeBeside;  // the last real block of the first block row changed
    };
    const std::vector<Sampling> s420 = {{2, 2}, {1, 1}, {1, 1}}, s422 = {{2, 1}, {1, 1}, {1, 1}};
    const auto progressive = [](SourceRecipe& s) { s.progressive = true; };
    const std::vector<Case> cases = {
        // Picture data in the padding, as some cameras code it.
        {"420 padding rows", recipe(64, 48, s420), 64, 36, false},
        {"420 padding columns", recipe(64, 48, s420), 56, 48, false},
        {"420 both", recipe(64, 48, s420), 52, 41, false},
        {"422 padding columns", recipe(48, 32, s422), 40, 32, false},
        {"restart interval", with(recipe(64, 48, s420), [](SourceRecipe& s) { s.restartInterval = 2; }), 52, 41, false},
        {"arithmetic", with(recipe(64, 48, s420), [](SourceRecipe& s) { s.arithmetic = true; }), 52, 41, false},
        // One component is coded block by block: it has no padding blocks.
        {"grey", recipe(40, 40, {{1, 1}}), 36, 33, false},
        // The library pads an MCU with the DC of the block before: a changed
        // block beside the padding must not change the padding. A
        // progressive file codes the padding's DC alone (its AC scans take
        // one component, which has no padding).
        {"baseline, the block before the padding changed", recipe(150, 90, s420), 0, 0, true},
        {"progressive", with(recipe(150, 90, s420), progressive), 0, 0, true},
        {"progressive 422", with(recipe(151, 89, s422), progressive), 0, 0, true},
        {"progressive, a restart interval per scan",
         with(recipe(150, 90, s420),
              [](SourceRecipe& s) {
                  s.progressive = true;
                  s.scanIntervals = {3, 5};
              }),
         0, 0, true},
        {"arithmetic progressive",
         with(recipe(150, 90, s422),
              [](SourceRecipe& s) {
                  s.arithmetic = true;
                  s.progressive = true;
              }),
         0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes source = makeSourceBytes(c.recipe, 8);
        if (c.width != 0) source = withSmallerFrame(source, c.width, c.height);
        JpegRewrite original, rewritten;
        std::string diagnostic;
        ASSERT_TRUE(original.read(source, diagnostic)) << diagnostic;
        if (c.width != 0) {
            ASSERT_EQ(original.source()->image_height, static_cast<JDIMENSION>(c.height));
        }
        if (c.changeBeside) {
            const JDIMENSION last = original.source()->comp_info[0].width_in_blocks - 1;
            ASSERT_EQ(last % 2, 0u) << "no padding block after the last real one";
            JBLOCK changed{};
            busyBlock(changed);
            ASSERT_TRUE(changeBlock(original, changed, last, 0));
        }
        Bytes out;
        ASSERT_TRUE(original.write(out, diagnostic)) << diagnostic;
        ASSERT_TRUE(rewritten.read(out, diagnostic)) << diagnostic;
        EXPECT_TRUE(allBlocks(original) == allBlocks(rewritten));
        // Nothing changed: every scan coded as it was, byte for byte.
        if (!c.changeBeside) {
            EXPECT_TRUE(scanLayout(out) == scanLayout(source));
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

// ---------------------------------------------------------------------------
// Every camera file, as it is and with blocks changed as a repair changes
// them.

// Gives every 37th block of each component, through the whole picture, the
// coefficients of the block to its left: picture content of the file's own
// kind, as a repair gives a block what its neighbours hold.
bool changeBlocksAsARepair(JpegRewrite& rewrite) {
    auto step = [&] {
        j_decompress_ptr s = rewrite.source();
        for (int c = 0; c < s->num_components; ++c) {
            const jpeg_component_info& info = s->comp_info[c];
            for (JDIMENSION row = 0; row < info.height_in_blocks; ++row) {
                JBLOCKARRAY line =
                    (*s->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(s), rewrite.arrays()[c], row, 1, TRUE);
                for (JDIMENSION column = 1; column < info.width_in_blocks; ++column) {
                    if ((row * info.width_in_blocks + column) % 37 != 0) continue;
                    std::memcpy(line[0][column], line[0][column - 1], sizeof(JBLOCK));
                    rewrite.noteChangedBlock(c, line[0][column]);
                }
            }
        }
    };
    return runJpegGuarded(rewrite.guard(), step);
}

// The restart markers a scan of `mcus` MCUs holds at that interval.
int restartsFor(long mcus, unsigned interval) { return interval == 0 ? 0 : static_cast<int>((mcus - 1) / interval); }

// The MCUs of a scan: a scan of one component codes its blocks one by one,
// an interleaved scan the frame's MCUs.
long mcusOf(j_decompress_ptr source, const jpeg_scan_info& scan) {
    if (scan.comps_in_scan == 1) {
        const jpeg_component_info& info = source->comp_info[scan.component_index[0]];
        return static_cast<long>(info.width_in_blocks) * info.height_in_blocks;
    }
    long unitW = 8, unitH = 8;
    for (int c = 0; c < source->num_components; ++c) {
        unitW = std::max<long>(unitW, 8L * source->comp_info[c].h_samp_factor);
        unitH = std::max<long>(unitH, 8L * source->comp_info[c].v_samp_factor);
    }
    return (static_cast<long>(source->image_width) + unitW - 1) / unitW *
           ((static_cast<long>(source->image_height) + unitH - 1) / unitH);
}

TEST(JpegRewrite, EveryCameraFileComesBackCodedAsItWas) {
    const std::vector<std::string> paths = sampleJpegs();
    if (paths.empty()) GTEST_SKIP() << "no camera JPEGs in " << SPECKMEND_SAMPLES_DIR;
    for (const std::string& path : paths) {
        const std::string text = readBytes(path);
        const Bytes source(text.begin(), text.end());
        for (bool changed : {false, true}) {
            SCOPED_TRACE(path + (changed ? ", blocks changed" : ", as it is"));
            JpegRewrite rewrite, written;
            std::string diagnostic;
            ASSERT_TRUE(rewrite.read(source, diagnostic)) << diagnostic;
            if (changed) {
                ASSERT_TRUE(changeBlocksAsARepair(rewrite));
            }
            Bytes out;
            ASSERT_TRUE(rewrite.write(out, diagnostic)) << diagnostic;
            ASSERT_TRUE(written.read(out, diagnostic)) << diagnostic;
            // Size: within 1% of the source's.
            const double ratio = static_cast<double>(out.size()) / static_cast<double>(source.size());
            EXPECT_LE(ratio, 1.01);
            EXPECT_GE(ratio, 0.99);
            // The scan script and every scan's restart interval; the restart
            // markers its MCUs call for (a camera's superfluous one is not
            // an interval).
            const std::vector<ScanLayout> scans = scanLayout(out), sourceScans = scanLayout(source);
            ASSERT_EQ(scans.size(), sourceScans.size());
            ASSERT_EQ(rewrite.script().size(), sourceScans.size());
            for (std::size_t i = 0; i < scans.size(); ++i) {
                SCOPED_TRACE("scan " + std::to_string(i));
                EXPECT_EQ(scans[i].header, sourceScans[i].header);
                EXPECT_EQ(scans[i].restartInterval, sourceScans[i].restartInterval);
                EXPECT_EQ(scans[i].restarts, restartsFor(mcusOf(rewrite.source(), rewrite.script().scans[i]),
                                                         sourceScans[i].restartInterval));
            }
            // Every block, padding blocks included: the changed ones as
            // changed, every other one as the file had it.
            EXPECT_TRUE(allBlocks(written) == allBlocks(rewrite));
        }
    }
}

}  // namespace
}  // namespace speckmend
