// Reading a file's scans as it codes them: the library's script, and each
// scan's restart interval and table selectors.
#include "heal/jpeg/jpeg_scan_script.h"

#include <gtest/gtest.h>

#include "heal/jpeg/jpeg_rewrite.h"
#include "jpeg_harness.h"

namespace speckmend {
namespace {

using namespace speckmend::testing;
using Bytes = std::vector<unsigned char>;

// The script a fresh encoder sets up for the recipe, as the harness encodes
// it: the library's simple progression, a scan per component or its one
// default scan.
std::vector<jpeg_scan_info> libraryScript(const SourceRecipe& r) {
    jpeg_compress_struct codec{};
    jpeg_error_mgr errors{};
    codec.err = jpeg_std_error(&errors);
    jpeg_create_compress(&codec);
    codec.in_color_space = r.components == 1 ? JCS_GRAYSCALE : JCS_YCbCr;
    codec.input_components = r.components;
    jpeg_set_defaults(&codec);
    std::vector<jpeg_scan_info> scans;
    if (r.progressive) {
        jpeg_simple_progression(&codec);
        scans.assign(codec.scan_info, codec.scan_info + codec.num_scans);
    } else {
        for (int c = 0; c < (r.scanPerComponent ? r.components : 1); ++c) {
            jpeg_scan_info scan{};
            scan.comps_in_scan = r.scanPerComponent ? 1 : r.components;
            for (int k = 0; k < scan.comps_in_scan; ++k) scan.component_index[k] = r.scanPerComponent ? c : k;
            scan.Se = DCTSIZE2 - 1;
            scans.push_back(scan);
        }
    }
    jpeg_destroy_compress(&codec);
    return scans;
}

TEST(JpegScanScript, ReadsEveryScanAsTheFileCodesIt) {
    for (const NamedRecipe& c : codingRecipes()) {
        SCOPED_TRACE(c.name);
        const Bytes source = makeSourceBytes(c.recipe);
        ASSERT_FALSE(source.empty());
        JpegRewrite rewrite;
        std::string diagnostic;
        ASSERT_TRUE(rewrite.read(source, diagnostic)) << diagnostic;
        const ScanScript& script = rewrite.script();
        const std::vector<jpeg_scan_info> expected = libraryScript(c.recipe);
        const std::vector<ScanLayout> layout = scanLayout(source);
        ASSERT_EQ(script.size(), expected.size());
        ASSERT_EQ(script.coding.size(), expected.size());
        ASSERT_EQ(layout.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE("scan " + std::to_string(i));
            const jpeg_scan_info& a = script.scans[i];
            const jpeg_scan_info& b = expected[i];
            ASSERT_EQ(a.comps_in_scan, b.comps_in_scan);
            for (int k = 0; k < b.comps_in_scan; ++k) EXPECT_EQ(a.component_index[k], b.component_index[k]);
            EXPECT_EQ(a.Ss, b.Ss);
            EXPECT_EQ(a.Se, b.Se);
            EXPECT_EQ(a.Ah, b.Ah);
            EXPECT_EQ(a.Al, b.Al);
            const unsigned interval = c.recipe.scanIntervals.empty()
                                          ? static_cast<unsigned>(c.recipe.restartInterval)
                                          : c.recipe.scanIntervals[i % c.recipe.scanIntervals.size()];
            EXPECT_EQ(script.coding[i].restartInterval, interval);
            EXPECT_EQ(layout[i].restartInterval, interval);
            // The selectors as the scan header has them, one byte per component.
            for (int k = 0; k < b.comps_in_scan; ++k) {
                const auto selectors =
                    static_cast<unsigned char>(layout[i].header[2 + 2 * static_cast<std::size_t>(k)]);
                EXPECT_EQ(script.coding[i].dcSlot[k], selectors >> 4) << "component " << k;
                EXPECT_EQ(script.coding[i].acSlot[k], selectors & 0x0F) << "component " << k;
            }
        }
    }
}

// Bytes with one byte replaced at the position of a marker's first match
// (offset counted from its 0xFF).
Bytes patched(Bytes bytes, const std::string& marker, std::size_t offset, unsigned char value) {
    const std::size_t at = std::string(bytes.begin(), bytes.end()).find(marker);
    if (at == std::string::npos) return {};
    bytes[at + offset] = value;
    return bytes;
}

TEST(JpegScanScript, SegmentsItCannotMatchGiveNoScriptNotAWrongOne) {
    const Bytes source = makeSourceBytes(with(recipe(64, 48, {{2, 2}, {1, 1}, {1, 1}}), [](SourceRecipe& s) {
        s.progressive = true;
        s.restartInterval = 2;
    }));
    JpegRewrite rewrite;
    std::string diagnostic;
    ASSERT_TRUE(rewrite.read(source, diagnostic));
    ASSERT_FALSE(rewrite.script().empty());
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"nine components in a scan", patched(source, "\xFF\xDA", 4, 9)},
        {"a component the frame does not have", patched(source, "\xFF\xDA", 5, 77)},
        {"a DRI of three bytes", patched(source, "\xFF\xDD", 3, 5)},
        {"no start of image", patched(source, "\xFF\xD8", 1, 0xD9)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.bytes.empty());
        EXPECT_TRUE(readScanScript(c.bytes, rewrite.source()).empty());
    }
    // A selector naming no table slot where the scan takes no table (the AC
    // table of a DC scan) is not a reason to lose the script.
    const ScanScript unusedSelector = readScanScript(patched(source, "\xFF\xDA", 6, 0x07), rewrite.source());
    ASSERT_EQ(unusedSelector.size(), rewrite.script().size());
    EXPECT_EQ(unusedSelector.coding[0].acSlot[0], 0);
}

}  // namespace
}  // namespace speckmend
