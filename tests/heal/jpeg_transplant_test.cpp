// The lossless JPEG path, checked at the coefficient level: every file involved
// is read back with libjpeg and compared block by block.
#include "heal/jpeg_transplant.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "heal/jpeg_codec.h"
#include "jpeg_harness.h"
#include "platform/fatal_error.h"
#include "test_support.h"

namespace speckmend {
namespace {

using namespace speckmend::testing;

// The repaired copy as the program makes it: the decoded source with a
// clearly different disc at every hot pixel, written by writeTemporaryJpeg.
void makeHealed(const std::string& sourcePath, const std::vector<HotPixel>& pixels, const std::string& path) {
    cv::Mat picture = decodeForHealing(sourcePath);
    ASSERT_FALSE(picture.empty()) << sourcePath;
    for (const HotPixel& p : pixels)
        cv::circle(picture, {p.x, p.y}, std::max(p.r, 1), cv::Scalar(40, 220, 90), cv::FILLED);
    ASSERT_TRUE(writeTemporaryJpeg(picture, sourcePath, path)) << sourcePath;
}

// ---------------------------------------------------------------------------
// What a correct output looks like.

// iMCUs (of the source) that the cells around the hot pixels touch, clipped
// to the image: the blocks inside them come from the healed image.
struct RegionMap {
    int imcuWidth = 8, imcuHeight = 8, columns = 0, rows = 0;
    std::vector<char> marked;
    bool contains(int column, int row) const { return marked[static_cast<std::size_t>(row) * columns + column] != 0; }
};

RegionMap regionsOf(const JpegFile& source, const std::vector<HotPixel>& pixels) {
    RegionMap map;
    if (source.components.size() > 1) {
        for (const Component& c : source.components) {
            map.imcuWidth = std::max(map.imcuWidth, 8 * c.h);
            map.imcuHeight = std::max(map.imcuHeight, 8 * c.v);
        }
    }
    map.columns = (source.width + map.imcuWidth - 1) / map.imcuWidth;
    map.rows = (source.height + map.imcuHeight - 1) / map.imcuHeight;
    map.marked.assign(static_cast<std::size_t>(map.columns) * map.rows, 0);
    for (const HotPixel& p : pixels) {
        const long long left = 16LL * ((static_cast<long long>(p.x) - p.r) / 16);
        const long long top = 16LL * ((static_cast<long long>(p.y) - p.r) / 16);
        const long long right = 16LL * ((static_cast<long long>(p.x) + p.r) / 16 + 1);
        const long long bottom = 16LL * ((static_cast<long long>(p.y) + p.r) / 16 + 1);
        for (int row = 0; row < map.rows; ++row) {
            for (int column = 0; column < map.columns; ++column) {
                const long long x0 = std::max<long long>(column * map.imcuWidth, left);
                const long long x1 = std::min<long long>({(column + 1LL) * map.imcuWidth, right, source.width});
                const long long y0 = std::max<long long>(row * map.imcuHeight, top);
                const long long y1 = std::min<long long>({(row + 1LL) * map.imcuHeight, bottom, source.height});
                if (x0 < x1 && y0 < y1) map.marked[static_cast<std::size_t>(row) * map.columns + column] = 1;
            }
        }
    }
    return map;
}

bool sameDequantized(const JCOEF* a, const std::array<int, 64>& qa, const JCOEF* b, const std::array<int, 64>& qb) {
    for (int k = 0; k < 64; ++k)
        if (a[k] * qa[k] != b[k] * qb[k]) return false;
    return true;
}

bool isJfif(const Marker& m) { return m.code == JPEG_APP0 && m.bytes.compare(0, 5, std::string("JFIF\0", 5)) == 0; }
bool isAdobe(const Marker& m) { return m.code == JPEG_APP0 + 14 && m.bytes.compare(0, 5, "Adobe") == 0; }
bool isExif(const Marker& m) { return m.code == JPEG_APP0 + 1 && m.bytes.compare(0, 6, std::string("Exif\0\0", 6)) == 0; }

struct Outcome {
    int copiedBlocks = 0;  // blocks inside the regions, all components
    int keptBlocks = 0;
};

// Checks output against source and healed; returns how many blocks came from
// where, so that callers can also check that regions were not empty.
Outcome expectTransplanted(const std::string& sourcePath, const std::string& healedPath,
                           const std::string& outputPath, const std::vector<HotPixel>& pixels) {
    Outcome outcome;
    JpegFile source, healed, output;
    EXPECT_TRUE(readJpeg(sourcePath, source));
    EXPECT_TRUE(readJpeg(outputPath, output));
    const bool haveHealed = readJpeg(healedPath, healed);
    EXPECT_EQ(output.width, source.width);
    EXPECT_EQ(output.height, source.height);
    EXPECT_EQ(output.colorSpace, source.colorSpace);
    EXPECT_FALSE(output.progressive);
    EXPECT_EQ(output.restartInterval, 0);
    if (output.components.size() != source.components.size()) {
        ADD_FAILURE() << "component count " << output.components.size() << " vs " << source.components.size();
        return outcome;
    }
    const RegionMap regions = regionsOf(source, pixels);
    const bool grey = source.components.size() == 1;
    for (std::size_t c = 0; c < source.components.size(); ++c) {
        const Component& s = source.components[c];
        const Component& o = output.components[c];
        EXPECT_EQ(o.h, grey ? 1 : s.h) << "component " << c;
        EXPECT_EQ(o.v, grey ? 1 : s.v) << "component " << c;
        if (o.widthInBlocks != s.widthInBlocks || o.heightInBlocks != s.heightInBlocks) {
            ADD_FAILURE() << "block counts differ in component " << c;
            return outcome;
        }
        const Component* h = haveHealed && c < healed.components.size() ? &healed.components[c] : nullptr;
        const int blocksPerImcuX = grey ? regions.imcuWidth / 8 : 1;
        const int blocksPerImcuY = grey ? regions.imcuHeight / 8 : 1;
        int wrong = 0;
        for (int row = 0; row < s.heightInBlocks; ++row) {
            for (int column = 0; column < s.widthInBlocks; ++column) {
                const bool inside = grey ? regions.contains(column / blocksPerImcuX, row / blocksPerImcuY)
                                         : regions.contains(column / s.h, row / s.v);
                bool right;
                if (inside) {
                    ++outcome.copiedBlocks;
                    right = h != nullptr && sameDequantized(o.block(column, row), o.table, h->block(column, row), h->table);
                } else {
                    ++outcome.keptBlocks;
                    right = sameDequantized(o.block(column, row), o.table, s.block(column, row), s.table);
                }
                if (!right && ++wrong <= 3)
                    ADD_FAILURE() << "component " << c << " block (" << column << ", " << row << ") "
                                  << (inside ? "inside" : "outside") << " a region has the wrong coefficients";
            }
        }
        // Every output table entry must divide the entries it replaced, or
        // the dequantized values above could not have matched.
        for (int k = 0; k < 64; ++k) {
            EXPECT_EQ(s.table[k] % o.table[k], 0) << "component " << c << " entry " << k;
            if (h != nullptr && outcome.copiedBlocks > 0) {
                EXPECT_EQ(h->table[k] % o.table[k], 0);
            }
        }
    }

    // Markers: the library's own header first, then every source marker in
    // order, less the ones the library's header replaces.
    const bool exifFirst = !source.markers.empty() && isExif(source.markers.front());
    const bool jfifWritten = (source.colorSpace == JCS_YCbCr || source.colorSpace == JCS_GRAYSCALE) && !exifFirst;
    const bool adobeWritten = source.colorSpace == JCS_RGB || source.colorSpace == JCS_CMYK || source.colorSpace == JCS_YCCK;
    std::vector<Marker> expected;
    for (const Marker& m : source.markers)
        if (!(jfifWritten && isJfif(m)) && !(adobeWritten && isAdobe(m))) expected.push_back(m);
    std::vector<Marker> written = output.markers;
    if (jfifWritten) {
        EXPECT_TRUE(!written.empty() && isJfif(written.front())) << "no JFIF header";
        if (!written.empty()) written.erase(written.begin());
    }
    if (adobeWritten) {
        EXPECT_TRUE(!written.empty() && isAdobe(written.front())) << "no Adobe marker";
        if (!written.empty()) written.erase(written.begin());
    }
    EXPECT_TRUE(written == expected) << "markers: " << written.size() << " written, " << expected.size() << " expected";
    return outcome;
}

std::vector<HotPixel> edgePixels(int width, int height) {
    return {
        {0, 0, 1}, {width - 1, 0, 2}, {0, height - 1, 3}, {width - 1, height - 1, 1},  // corners
        {width / 2, 0, 1}, {0, height / 2, 2}, {width - 1, height / 2, 3}, {width / 2, height - 1, 1},  // edges
        {40, 36, 1}, {42, 38, 2},  // two in one cell
    };
}

// ---------------------------------------------------------------------------
// Transplants from synthetic sources.

struct TransplantCase {
    const char* name;
    SourceRecipe recipe;
    std::vector<HotPixel> pixels;
    bool expectCopies = true;
};

std::vector<TransplantCase> transplantCases() {
    const std::vector<Sampling> s420 = {{2, 2}, {1, 1}, {1, 1}}, s422 = {{2, 1}, {1, 1}, {1, 1}},
                                s444 = {{1, 1}, {1, 1}, {1, 1}}, s440 = {{1, 2}, {1, 1}, {1, 1}};
    return {
        // sampling
        {"420", recipe(160, 120, s420), {{100, 50, 3}}},
        {"422", recipe(160, 120, s422), {{100, 50, 3}}},
        {"444", recipe(160, 120, s444), {{100, 50, 3}}},
        {"440", recipe(160, 120, s440), {{100, 50, 3}}},
        {"grey", recipe(160, 120, {{1, 1}}), {{100, 50, 3}}},
        {"grey with 2x2 factors", recipe(75, 43, {{2, 2}}), edgePixels(75, 43)},
        {"non-standard 2x2 1x2 1x2", recipe(96, 64, {{2, 2}, {1, 2}, {1, 2}}), {{50, 30, 2}}},
        {"411: iMCU wider than a cell", recipe(128, 32, {{4, 1}, {1, 1}, {1, 1}}), {{20, 5, 1}, {70, 20, 1}}},
        // coding
        {"progressive", with(recipe(160, 120, s420), [](SourceRecipe& s) { s.progressive = true; }), {{100, 50, 3}}},
        {"restart markers", with(recipe(160, 120, s422), [](SourceRecipe& s) { s.restartInterval = 3; }), {{100, 50, 3}}},
        {"arithmetic coding", with(recipe(160, 120, s420), [](SourceRecipe& s) { s.arithmetic = true; }), {{100, 50, 3}}},
        {"RGB coded with Adobe marker", with(recipe(64, 48, s444), [](SourceRecipe& s) { s.colorSpace = JCS_RGB; }),
         {{30, 30, 2}}},
        // geometry
        {"420, size not a multiple of 16, edges", recipe(75, 43, s420), edgePixels(75, 43)},
        {"422, size not a multiple of 16, edges", recipe(83, 37, s422), edgePixels(83, 37)},
        {"444, size not a multiple of 16, edges", recipe(70, 43, s444), edgePixels(70, 43)},
        {"grey, size not a multiple of 16, edges", recipe(75, 43, {{1, 1}}), edgePixels(75, 43)},
        {"440, size not a multiple of 16, edges", recipe(61, 77, s440), edgePixels(61, 77)},
        {"square reaching 15 past the left edge starts at cell 0", recipe(64, 64, s420), {{1, 40, 3}}},
        {"radius of 16 and more next to the left and top edges", recipe(64, 64, s420), {{3, 3, 20}}},
        {"pixel outside the image copies nothing", recipe(64, 64, s420), {{500, 20, 2}, {-40, -40, 3}}, false},
        {"negative radius copies nothing", recipe(64, 64, s420), {{30, 30, -20}}, false},
        {"many pixels", recipe(160, 120, s420), edgePixels(160, 120)},
        // markers
        {"Exif first: no JFIF header",
         with(recipe(64, 48, s420), [](SourceRecipe& s) {
             s.jfif = false;
             s.markers = {exifMarker(), appMarker(2, "ICC_PROFILE"), comMarker("first"), appMarker(13, "Photoshop"),
                          comMarker("second")};
         }),
         {{10, 10, 1}}},
        {"JFIF, then other markers in order",
         with(recipe(64, 48, s420), [](SourceRecipe& s) {
             s.markers = {exifMarker(), comMarker("a comment"), appMarker(15, "last app")};
         }),
         {{10, 10, 1}}},
        {"Exif not first keeps the JFIF header",
         with(recipe(64, 48, s420), [](SourceRecipe& s) {
             s.jfif = false;
             s.markers = {comMarker("before"), exifMarker()};
         }),
         {{10, 10, 1}}},
        // former bugs
        {"last region clipped at the bottom right", recipe(100, 100, s420), {{10, 10, 1}, {99, 99, 40}}},
        {"first region empty, later ones not: tables still reconciled", recipe(64, 64, s420),
         {{500, 500, 1}, {20, 20, 1}}},
    };
}

void PrintTo(const TransplantCase& c, std::ostream* os) { *os << c.name; }

class SyntheticTransplant : public ::testing::TestWithParam<TransplantCase> {};

TEST_P(SyntheticTransplant, KeepsSourceBlocksAndTakesRegionBlocksFromHealed) {
    const TransplantCase& c = GetParam();
    TempFolder folder;
    const std::string source = folder / "source.jpg", healed = folder / "tmp_drop.jpg", output = folder / "out.jpg";
    makeSource(source, c.recipe);
    makeHealed(source, c.pixels, healed);
    ASSERT_TRUE(transplantJpegBlocks(source, healed, output, c.pixels));
    const Outcome outcome = expectTransplanted(source, healed, output, c.pixels);
    EXPECT_EQ(outcome.copiedBlocks > 0, c.expectCopies);
    EXPECT_GT(outcome.keptBlocks, 0);
    if (!c.expectCopies) {
        // Nothing copied, nothing reconciled: the output keeps the source's tables.
        JpegFile s, o;
        ASSERT_TRUE(readJpeg(source, s) && readJpeg(output, o));
        for (std::size_t i = 0; i < s.components.size(); ++i) {
            EXPECT_EQ(o.components[i].table, s.components[i].table);
            EXPECT_EQ(o.components[i].blocks, s.components[i].blocks);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, SyntheticTransplant, ::testing::ValuesIn(transplantCases()),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

// ---------------------------------------------------------------------------
// Which blocks change, stated block by block for a healed picture that
// differs everywhere.

struct BlockRectCase {
    const char* name;
    SourceRecipe recipe;
    HotPixel pixel;
    int column, row, columns, rows;  // expected luminance (first component) blocks
};

TEST(JpegTransplantRegions, ChangesExactlyTheBlocksOfTheTouchedCells) {
    const std::vector<BlockRectCase> cases = {
        {"420: (100,50) r3 is 16x32 pixels at (96,32)", recipe(160, 120, {{2, 2}, {1, 1}, {1, 1}}), {100, 50, 3}, 12, 4, 2, 4},
        {"420: (1,40) r3 starts at column 0", recipe(160, 120, {{2, 2}, {1, 1}, {1, 1}}), {1, 40, 3}, 0, 4, 2, 2},
        {"grey: a cell is 2x2 blocks", recipe(160, 120, {{1, 1}}), {100, 50, 3}, 12, 4, 2, 4},
        {"grey 75x43: right column is one partial block", recipe(75, 43, {{1, 1}}), {74, 42, 3}, 8, 4, 2, 2},
        {"444 70 wide: clipped to the 9 block columns", recipe(70, 43, {{1, 1}, {1, 1}, {1, 1}}), {69, 20, 1}, 8, 2, 1, 2},
        {"411: the 32-pixel iMCU holding the cell", recipe(128, 32, {{4, 1}, {1, 1}, {1, 1}}), {20, 5, 1}, 0, 0, 4, 2},
    };
    for (const BlockRectCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const std::string source = folder / "source.jpg", healed = folder / "healed.jpg", output = folder / "out.jpg";
        makeSource(source, c.recipe, 1);
        makeSource(healed, c.recipe, 99);  // another picture: every block differs
        ASSERT_TRUE(transplantJpegBlocks(source, healed, output, {c.pixel}));
        JpegFile s, o;
        ASSERT_TRUE(readJpeg(source, s) && readJpeg(output, o));
        const Component& sy = s.components[0];
        const Component& oy = o.components[0];
        for (int row = 0; row < sy.heightInBlocks; ++row) {
            for (int column = 0; column < sy.widthInBlocks; ++column) {
                const bool expected = column >= c.column && column < c.column + c.columns && row >= c.row &&
                                      row < c.row + c.rows;
                const bool changed = !sameDequantized(oy.block(column, row), oy.table, sy.block(column, row), sy.table);
                EXPECT_EQ(changed, expected) << "block (" << column << ", " << row << ")";
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Quantization.

std::array<unsigned, 64> tableOf(unsigned base, unsigned step) {
    std::array<unsigned, 64> table{};
    for (unsigned k = 0; k < 64; ++k) table[k] = base + step * (k % 9);
    return table;
}

TEST(JpegTransplantQuantization, EqualTablesLeaveEveryCoefficientBitIdentical) {
    TempFolder folder;
    SourceRecipe s = recipe(96, 80, {{2, 2}, {1, 1}, {1, 1}});
    s.quality = 100;  // the healed JPEG's own tables
    const std::vector<HotPixel> pixels = {{20, 20, 2}, {95, 79, 1}};
    makeSource(folder / "s.jpg", s);
    makeHealed(folder / "s.jpg", pixels, folder / "h.jpg");
    ASSERT_TRUE(transplantJpegBlocks(folder / "s.jpg", folder / "h.jpg", folder / "o.jpg", pixels));
    expectTransplanted(folder / "s.jpg", folder / "h.jpg", folder / "o.jpg", pixels);
    JpegFile source, output;
    ASSERT_TRUE(readJpeg(folder / "s.jpg", source) && readJpeg(folder / "o.jpg", output));
    const RegionMap regions = regionsOf(source, pixels);
    for (std::size_t c = 0; c < 3; ++c) {
        const Component& sc = source.components[c];
        EXPECT_EQ(output.components[c].table, sc.table);
        for (int row = 0; row < sc.heightInBlocks; ++row)
            for (int column = 0; column < sc.widthInBlocks; ++column)
                if (!regions.contains(column / sc.h, row / sc.v)) {
                    EXPECT_EQ(0, std::memcmp(output.components[c].block(column, row), sc.block(column, row), 128));
                }
    }
}

TEST(JpegTransplantQuantization, DifferingTablesBecomeTheirGreatestCommonDivisors) {
    struct Case {
        const char* name;
        std::array<unsigned, 64> source, healed;
    };
    const std::vector<Case> cases = {
        {"coprime entries", tableOf(7, 3), tableOf(10, 2)},
        {"healed entries divide the source's", tableOf(12, 6), tableOf(6, 3)},
        {"equal in some entries", tableOf(8, 4), tableOf(8, 2)},
        {"all-ones healed table", tableOf(9, 5), tableOf(1, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        SourceRecipe s = recipe(64, 48, {{2, 1}, {1, 1}, {1, 1}});
        s.tables = {c.source, c.source};
        SourceRecipe h = s;
        h.tables = {c.healed, c.healed};
        const std::vector<HotPixel> pixels = {{30, 20, 2}};
        makeSource(folder / "s.jpg", s, 1);
        makeSource(folder / "h.jpg", h, 7);
        ASSERT_TRUE(transplantJpegBlocks(folder / "s.jpg", folder / "h.jpg", folder / "o.jpg", pixels));
        expectTransplanted(folder / "s.jpg", folder / "h.jpg", folder / "o.jpg", pixels);
        JpegFile output;
        ASSERT_TRUE(readJpeg(folder / "o.jpg", output));
        for (const Component& component : output.components)
            for (int k = 0; k < 64; ++k)
                EXPECT_EQ(component.table[k], static_cast<int>(std::gcd(c.source[k], c.healed[k]))) << "entry " << k;
    }
}

// Former bug: components sharing a table slot in the source but not in the
// healed image must end with one table that suits all of them.
TEST(JpegTransplantQuantization, SharedSlotWithDifferentHealedTablesStaysExact) {
    TempFolder folder;
    SourceRecipe s = recipe(64, 48, {{2, 2}, {1, 1}, {1, 1}});
    s.tables = {tableOf(10, 2), tableOf(12, 4)};
    s.tableSlots = {0, 1, 1};
    SourceRecipe h = s;
    h.tables = {tableOf(10, 2), tableOf(8, 4), tableOf(9, 3)};
    h.tableSlots = {0, 1, 2};
    const std::vector<HotPixel> pixels = {{30, 20, 2}};
    makeSource(folder / "s.jpg", s, 1);
    makeSource(folder / "h.jpg", h, 5);
    ASSERT_TRUE(transplantJpegBlocks(folder / "s.jpg", folder / "h.jpg", folder / "o.jpg", pixels));
    const Outcome outcome = expectTransplanted(folder / "s.jpg", folder / "h.jpg", folder / "o.jpg", pixels);
    EXPECT_GT(outcome.copiedBlocks, 0);
}

// ---------------------------------------------------------------------------
// Every real camera JPEG through the lossless path.

TEST(JpegTransplantSamples, EveryRealCameraJpegTransplantsLosslessly) {
    const std::vector<std::string> paths = sampleJpegs();
    if (paths.empty()) GTEST_SKIP() << "no camera JPEGs in " << SPECKMEND_SAMPLES_DIR;
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        TempFolder folder;
        JpegFile source;
        ASSERT_TRUE(readJpeg(path, source));
        std::vector<HotPixel> pixels = edgePixels(source.width, source.height);
        pixels.push_back({source.width / 3, source.height / 3, 4});
        const std::string healed = folder / "tmp_drop.jpg", output = folder / "out.jpg";
        makeHealed(path, pixels, healed);
        ASSERT_TRUE(transplantJpegBlocks(path, healed, output, pixels));
        const Outcome outcome = expectTransplanted(path, healed, output, pixels);
        EXPECT_GT(outcome.copiedBlocks, 0);
    }
}

// ---------------------------------------------------------------------------
// Unusual inputs, and failures.

TEST(JpegTransplant, EmptyPixelListGivesTheSourceCoefficientsAndMarkers) {
    TempFolder folder;
    SourceRecipe s = recipe(80, 56, {{2, 2}, {1, 1}, {1, 1}});
    s.progressive = true;
    s.jfif = false;
    s.markers = {exifMarker(), comMarker("kept")};
    makeSource(folder / "s.jpg", s);
    makeHealed(folder / "s.jpg", {}, folder / "h.jpg");
    ASSERT_TRUE(transplantJpegBlocks(folder / "s.jpg", folder / "h.jpg", folder / "o.jpg", {}));
    expectTransplanted(folder / "s.jpg", folder / "h.jpg", folder / "o.jpg", {});
    JpegFile source, output;
    ASSERT_TRUE(readJpeg(folder / "s.jpg", source) && readJpeg(folder / "o.jpg", output));
    for (std::size_t c = 0; c < 3; ++c) {
        EXPECT_EQ(output.components[c].table, source.components[c].table);
        EXPECT_EQ(output.components[c].blocks, source.components[c].blocks);
    }
}

TEST(JpegTransplant, CmykSourceWithCmykHealedKeepsAllFourComponents) {
    TempFolder folder;
    SourceRecipe s = recipe(64, 48, {{1, 1}, {1, 1}, {1, 1}, {1, 1}});
    s.colorSpace = JCS_CMYK;
    s.jfif = false;
    s.markers = {comMarker("cmyk")};
    const std::vector<HotPixel> pixels = {{20, 20, 2}, {63, 47, 1}};
    makeSource(folder / "s.jpg", s, 1);
    SourceRecipe h = s;
    h.quality = 95;
    makeSource(folder / "h.jpg", h, 3);
    ASSERT_TRUE(transplantJpegBlocks(folder / "s.jpg", folder / "h.jpg", folder / "o.jpg", pixels));
    const Outcome outcome = expectTransplanted(folder / "s.jpg", folder / "h.jpg", folder / "o.jpg", pixels);
    EXPECT_GT(outcome.copiedBlocks, 0);
}

TEST(JpegTransplant, TruncatedSourceWarnsOnceAndKeepsWhatWasDecoded) {
    TempFolder folder;
    SourceRecipe s = recipe(160, 120, {{2, 2}, {1, 1}, {1, 1}});
    makeSource(folder / "whole.jpg", s);
    const std::string bytes = readBytes(folder / "whole.jpg");
    writeBytes(folder / "s.jpg", bytes.substr(0, bytes.size() * 2 / 3));
    const std::vector<HotPixel> pixels = {{20, 20, 2}, {150, 110, 2}};
    makeHealed(folder / "whole.jpg", pixels, folder / "h.jpg");
    ::testing::internal::CaptureStderr();
    const bool done = transplantJpegBlocks(folder / "s.jpg", folder / "h.jpg", folder / "o.jpg", pixels);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(done);
    JpegFile truncated;
    ASSERT_TRUE(readJpeg(folder / "s.jpg", truncated));
    // The decoder meets more than one problem, but only the first is shown.
    EXPECT_GT(truncated.warnings, 1);
    const std::string line = (folder / "s.jpg") + ": ";
    std::size_t shown = 0;
    for (std::size_t at = errors.find(line); at != std::string::npos; at = errors.find(line, at + 1)) ++shown;
    EXPECT_EQ(shown, 1u) << errors;
    expectTransplanted(folder / "s.jpg", folder / "h.jpg", folder / "o.jpg", pixels);
}

// Byte surgery on a small baseline file's frame header.
std::string withFrameHeader(std::string bytes, int precision, int width, int height) {
    const std::size_t sof = bytes.find("\xFF\xC0");
    if (sof == std::string::npos) return bytes;
    bytes[sof + 4] = static_cast<char>(precision);
    bytes[sof + 5] = static_cast<char>(height >> 8);
    bytes[sof + 6] = static_cast<char>(height & 0xFF);
    bytes[sof + 7] = static_cast<char>(width >> 8);
    bytes[sof + 8] = static_cast<char>(width & 0xFF);
    return bytes;
}

struct RefusalCase {
    const char* name;
    void (*makeSourceFile)(const std::string& path);
    void (*makeHealedFile)(const std::string& source, const std::string& path);
    const char* message;  // part of what must reach stderr
};

void writePng(const std::string& path) {
    std::vector<unsigned char> png;
    ASSERT_TRUE(cv::imencode(".png", testPicture(64, 48, 3, 1), png));
    writeBytes(path, std::string(png.begin(), png.end()));
}

void plain420(const std::string& path) { makeSource(path, recipe(64, 48, {{2, 2}, {1, 1}, {1, 1}})); }
void healedLike(const std::string& source, const std::string& path) { makeHealed(source, {{10, 10, 1}}, path); }

std::vector<RefusalCase> refusalCases() {
    return {
        {"PNG named .jpg as source",
         [](const std::string& path) { writePng(path); },
         [](const std::string&, const std::string& path) { plain420(path); }, "Not a JPEG file"},
        {"PNG named .jpg as healed", plain420,
         [](const std::string&, const std::string& path) { writePng(path); },
         "Not a JPEG file"},
        {"12-bit source",
         [](const std::string& path) {
             plain420(path);
             writeBytes(path, withFrameHeader(readBytes(path), 12, 64, 48));
         },
         [](const std::string&, const std::string& path) { plain420(path); }, "precision 12"},
        {"declared size too large for memory",
         [](const std::string& path) {
             plain420(path);
             writeBytes(path, withFrameHeader(readBytes(path), 8, 60000, 60000));
         },
         [](const std::string&, const std::string& path) { plain420(path); }, "Backing store"},
        {"healed with other sampling", plain420,
         [](const std::string&, const std::string& path) { makeSource(path, recipe(64, 48, {{2, 1}, {1, 1}, {1, 1}})); },
         "Component index 1: mismatching sampling ratio 1:1, 1:2, v"},
        {"healed of another size", plain420,
         [](const std::string&, const std::string& path) { makeSource(path, recipe(48, 64, {{2, 2}, {1, 1}, {1, 1}})); },
         "Healed image is 48x64 pixels, the source 64x48"},
        {"grey healed for a colour source", plain420,
         [](const std::string&, const std::string& path) { makeSource(path, recipe(64, 48, {{1, 1}})); },
         "Healed image has 1 components, the source 3"},
        {"RGB coded healed for a YCbCr source", plain420,
         [](const std::string&, const std::string& path) {
             makeSource(path, with(recipe(64, 48, {{2, 2}, {1, 1}, {1, 1}}), [](SourceRecipe& s) { s.colorSpace = JCS_RGB; }));
         },
         "colour space"},
        {"CMYK source with a three-component healed image",
         [](const std::string& path) {
             makeSource(path, with(recipe(64, 48, {{1, 1}, {1, 1}, {1, 1}, {1, 1}}),
                                   [](SourceRecipe& s) { s.colorSpace = JCS_CMYK; s.jfif = false; }));
         },
         [](const std::string&, const std::string& path) { makeSource(path, recipe(64, 48, {{1, 1}, {1, 1}, {1, 1}})); },
         "Healed image has 3 components, the source 4"},
    };
}

TEST(JpegTransplantFailures, LibraryErrorsEndThePhotoAndLeaveNoOutput) {
    for (const RefusalCase& c : refusalCases()) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const std::string source = folder / "s.jpg", healed = folder / "h.jpg", output = folder / "o.jpg";
        c.makeSourceFile(source);
        c.makeHealedFile(source, healed);
        ::testing::internal::CaptureStderr();
        const bool done = transplantJpegBlocks(source, healed, output, {{10, 10, 1}});
        const std::string errors = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(done);
        EXPECT_FALSE(std::filesystem::exists(output));
        EXPECT_NE(errors.find(c.message), std::string::npos) << errors;
    }
}

TEST(JpegTransplantFailures, FilesThatCannotBeOpenedAreFatal) {
    TempFolder folder;
    plain420(folder / "s.jpg");
    healedLike(folder / "s.jpg", folder / "h.jpg");
    struct Case {
        std::string source, healed, output, message;
    };
    const std::vector<Case> cases = {
        {folder / "missing.jpg", folder / "h.jpg", folder / "o.jpg", "Couldn't open file for read: " + (folder / "missing.jpg")},
        {folder / "s.jpg", folder / "gone.jpg", folder / "o.jpg", "Couldn't open file for read: " + (folder / "gone.jpg")},
        {folder / "s.jpg", folder / "h.jpg", folder / "no/such/dir/o.jpg",
         "Couldn't open file for write: " + (folder / "no/such/dir/o.jpg")},
    };
    for (const Case& c : cases) {
        try {
            transplantJpegBlocks(c.source, c.healed, c.output, {{10, 10, 1}});
            ADD_FAILURE() << "no FatalError for " << c.message;
        } catch (const FatalError& error) {
            EXPECT_EQ(error.message(), c.message);
            EXPECT_FALSE(error.showUsage());
        }
    }
}

}  // namespace
}  // namespace speckmend
