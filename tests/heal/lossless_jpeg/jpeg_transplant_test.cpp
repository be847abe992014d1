// The block transplant's routines with a donor whose tables differ from the
// source's: the output tables become the greatest common divisors and both
// images' blocks stay exact in them; only the touched cells take the donor's
// blocks. (The in-memory heal, whose donors have the source's own tables, is
// checked in lossless_jpeg_heal_test.cpp.)
#include "heal/lossless_jpeg/jpeg_transplant.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <string>
#include <vector>

#include "heal/jpeg/jpeg_codec.h"
#include "heal/jpeg/jpeg_rewrite.h"
#include "heal/lossless_jpeg/jpeg_window.h"
#include "jpeg_harness.h"

namespace speckmend {
namespace {

using namespace speckmend::testing;
using Bytes = std::vector<unsigned char>;

std::array<unsigned, 64> tableOf(unsigned base, unsigned step) {
    std::array<unsigned, 64> table{};
    for (unsigned k = 0; k < 64; ++k) table[k] = base + step * (k % 9);
    return table;
}

struct Transplanted {
    JpegFile source, donor, output;
};

// Transplants the cells of pixel from a whole-photo donor into the source
// with the routines, and reads all three back.
bool transplant(const Bytes& sourceBytes, const Bytes& donorBytes, const HotPixel& pixel, Transplanted& t) {
    JpegRewrite rewrite;
    std::string diagnostic;
    if (!rewrite.read(sourceBytes, diagnostic)) return false;
    JpegDecoder donor;
    JpegEncoder layout;
    Bytes unused, out;
    auto step = [&] {
        j_decompress_ptr source = rewrite.source();
        jvirt_barray_ptr* donorArrays = readCoefficients(donorBytes, donor, rewrite.guard());
        layout.createToMemory(rewrite.guard(), "layout", unused);
        jpeg_copy_critical_parameters(source, &layout.codec);
        DonorRegion region;
        adjustDropParameters(source, &layout.codec);
        region.healedSource = &donor.codec;
        region.healedCoefficients = donorArrays;
        prepareDrop(source, region);
        placeRegion(source, rewrite.arrays(), &layout.codec, region, pixel);
    };
    if (!runJpegGuarded(rewrite.guard(), step)) return false;
    // The rewrite writes the source's tables: put the reconciled ones in
    // their place so that the file shows what the transplant made.
    for (int slot = 0; slot < NUM_QUANT_TBLS; ++slot)
        if (layout.codec.quant_tbl_ptrs[slot] != nullptr && rewrite.source()->quant_tbl_ptrs[slot] != nullptr)
            *rewrite.source()->quant_tbl_ptrs[slot] = *layout.codec.quant_tbl_ptrs[slot];
    for (int c = 0; c < rewrite.source()->num_components; ++c) rewrite.source()->comp_info[c].quant_table = nullptr;
    return rewrite.write(out, diagnostic) && readJpeg(sourceBytes, t.source) && readJpeg(donorBytes, t.donor) &&
           readJpeg(out, t.output);
}

bool sameDequantized(const JCOEF* a, const std::array<int, 64>& qa, const JCOEF* b, const std::array<int, 64>& qb) {
    for (int k = 0; k < 64; ++k)
        if (a[k] * qa[k] != b[k] * qb[k]) return false;
    return true;
}

// Every block of the output holds the donor's values inside the pixel's
// cells (whole iMCUs) and the source's outside; returns the blocks taken.
int expectExact(const Transplanted& t, const HotPixel& pixel, int imcuWidth, int imcuHeight) {
    const int left = (pixel.x - pixel.r) / 16 * 16, top = (pixel.y - pixel.r) / 16 * 16;
    const int right = ((pixel.x + pixel.r) / 16 + 1) * 16, bottom = ((pixel.y + pixel.r) / 16 + 1) * 16;
    int taken = 0, wrong = 0;
    const bool single = t.source.components.size() == 1;
    for (std::size_t c = 0; c < t.source.components.size(); ++c) {
        const Component& s = t.source.components[c];
        const Component& d = t.donor.components[c];
        const Component& o = t.output.components[c];
        const int h = single ? 1 : s.h, v = single ? 1 : s.v;
        for (int row = 0; row < s.heightInBlocks; ++row)
            for (int column = 0; column < s.widthInBlocks; ++column) {
                // The iMCU of the block, in pixels.
                const int x0 = column / h * imcuWidth, y0 = row / v * imcuHeight;
                const bool inside = x0 < right && x0 + imcuWidth > left && y0 < bottom && y0 + imcuHeight > top;
                taken += inside;
                const bool right = inside
                                       ? sameDequantized(o.block(column, row), o.table, d.block(column, row), d.table)
                                       : sameDequantized(o.block(column, row), o.table, s.block(column, row), s.table);
                if (!right && ++wrong <= 3) ADD_FAILURE() << "component " << c << " block " << column << "," << row;
            }
    }
    return taken;
}

TEST(JpegTransplantQuantization, DifferingTablesBecomeTheirGreatestCommonDivisors) {
    struct Case {
        const char* name;
        std::vector<Sampling> sampling;
        std::array<unsigned, 64> source, donor;
        int imcuWidth, imcuHeight;
    };
    const std::vector<Case> cases = {
        {"coprime entries", {{2, 1}, {1, 1}, {1, 1}}, tableOf(7, 3), tableOf(10, 2), 16, 8},
        {"donor entries divide the source's", {{2, 2}, {1, 1}, {1, 1}}, tableOf(12, 6), tableOf(6, 3), 16, 16},
        {"equal in some entries", {{1, 1}, {1, 1}, {1, 1}}, tableOf(8, 4), tableOf(8, 2), 8, 8},
        {"all-ones donor table", {{4, 1}, {1, 1}, {1, 1}}, tableOf(9, 5), tableOf(1, 0), 32, 8},
        {"grey", {{1, 1}}, tableOf(11, 3), tableOf(6, 4), 8, 8},
    };
    const HotPixel pixel{30, 20, 2};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SourceRecipe s = recipe(64, 48, c.sampling);
        s.tables = {c.source, c.source};
        SourceRecipe d = s;
        d.tables = {c.donor, c.donor};
        Transplanted t;
        ASSERT_TRUE(transplant(makeSourceBytes(s, 1), makeSourceBytes(d, 7), pixel, t));
        for (const Component& component : t.output.components)
            for (int k = 0; k < 64; ++k)
                EXPECT_EQ(component.table[k], static_cast<int>(std::gcd(c.source[k], c.donor[k]))) << "entry " << k;
        EXPECT_GT(expectExact(t, pixel, c.imcuWidth, c.imcuHeight), 0);
    }
}

// ---------------------------------------------------------------------------
// Former bugs.

// Components sharing a table slot in the source but not in the donor must
// end with one table that suits all of them.
TEST(JpegTransplantQuantization, SharedSlotWithDifferentDonorTablesStaysExact) {
    SourceRecipe s = recipe(64, 48, {{2, 2}, {1, 1}, {1, 1}});
    s.tables = {tableOf(10, 2), tableOf(12, 4)};
    s.tableSlots = {0, 1, 1};
    SourceRecipe d = s;
    d.tables = {tableOf(10, 2), tableOf(8, 4), tableOf(9, 3)};
    d.tableSlots = {0, 1, 2};
    const HotPixel pixel{30, 20, 2};
    Transplanted t;
    ASSERT_TRUE(transplant(makeSourceBytes(s, 1), makeSourceBytes(d, 5), pixel, t));
    EXPECT_GT(expectExact(t, pixel, 16, 16), 0);
}

}  // namespace
}  // namespace speckmend
