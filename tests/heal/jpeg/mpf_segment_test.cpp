// Moving the Multi-Picture offsets after the main image changed length.
#include "heal/jpeg/mpf_segment.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace speckmend {
namespace {

using Bytes = std::vector<unsigned char>;

struct Entry {
    std::uint32_t size, offset;
};

// SOI, an Exif-like APP1 of appLength bytes, the MPF APP2 with the entries,
// then filler up to the main image's EOI at imageLength, then the previews.
struct MpfFile {
    bool little = true;
    std::size_t appLength = 20;
    std::vector<Entry> entries;
    std::size_t imageLength = 400;
};

void put(Bytes& b, std::size_t at, std::uint32_t value, int n, bool little) {
    for (int i = 0; i < n; ++i) b[at + i] = static_cast<unsigned char>(value >> (8 * (little ? i : n - 1 - i)));
}

std::uint32_t get(const Bytes& b, std::size_t at, int n, bool little) {
    std::uint32_t value = 0;
    for (int i = 0; i < n; ++i) value |= static_cast<std::uint32_t>(b[at + i]) << (8 * (little ? i : n - 1 - i));
    return value;
}

// Offset of the first MP entry from the MPF base.
constexpr std::size_t kEntries = 8 + 2 + 12 * 2 + 4;

Bytes build(const MpfFile& f, std::size_t tail) {
    Bytes b = {0xFF, 0xD8, 0xFF, 0xE1};
    const std::size_t appData = f.appLength;
    b.push_back(static_cast<unsigned char>((appData + 2) >> 8));
    b.push_back(static_cast<unsigned char>(appData + 2));
    b.insert(b.end(), appData, 'x');
    const std::size_t segment = b.size();
    const std::size_t mpfSize = kEntries + 16 * f.entries.size();
    b.insert(b.end(), {0xFF, 0xE2, 0, 0, 'M', 'P', 'F', 0});
    put(b, segment + 2, static_cast<std::uint32_t>(mpfSize + 6), 2, false);
    const std::size_t base = b.size();
    b.resize(base + mpfSize, 0);
    const std::string order = f.little ? std::string("II*\0", 4) : std::string("MM\0*", 4);
    std::copy(order.begin(), order.end(), b.begin() + static_cast<long>(base));
    put(b, base + 4, 8, 4, f.little);
    put(b, base + 8, 2, 2, f.little);  // two tags: version, then the entries
    put(b, base + 10, 0xB000, 2, f.little);
    put(b, base + 22, 0xB002, 2, f.little);
    put(b, base + 24, 7, 2, f.little);
    put(b, base + 26, static_cast<std::uint32_t>(16 * f.entries.size()), 4, f.little);
    put(b, base + 30, static_cast<std::uint32_t>(kEntries), 4, f.little);
    for (std::size_t i = 0; i < f.entries.size(); ++i) {
        put(b, base + kEntries + 16 * i + 4, f.entries[i].size, 4, f.little);
        put(b, base + kEntries + 16 * i + 8, f.entries[i].offset, 4, f.little);
    }
    b.insert(b.end(), {0xFF, 0xDA});  // the rest stands for the scans
    b.resize(f.imageLength - 2, 0x55);
    b.insert(b.end(), {0xFF, 0xD9});
    b.insert(b.end(), tail, 0xAA);
    return b;
}

std::vector<Entry> entriesOf(const Bytes& b, bool little, std::size_t count) {
    const std::size_t base = findMpfBase(b);
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < count; ++i)
        entries.push_back(
            {get(b, base + kEntries + 16 * i + 4, 4, little), get(b, base + kEntries + 16 * i + 8, 4, little)});
    return entries;
}

struct MoveCase {
    const char* name;
    MpfFile source;
    std::size_t outputImageLength;
    std::size_t outputAppLength;
    std::vector<Entry> expected;
};

TEST(MpfSegment, EntriesFollowTheAppendedImages) {
    // Base of the MPF data: SOI (2) + APP1 (4 + appLength) + APP2 header (8).
    const std::size_t base = 2 + 4 + 20 + 8;  // 34
    const std::vector<MoveCase> cases = {
        // the main image changes length
        {"grown, little-endian",
         {true, 20, {{400, 0}, {100, 500 - base}}, 400},
         420,
         20,
         {{420, 0}, {100, 520 - base}}},
        {"shrunk, big-endian", {false, 20, {{400, 0}, {100, 500 - base}}, 400}, 390, 20, {{390, 0}, {100, 490 - base}}},
        {"same length", {true, 20, {{400, 0}, {100, 450 - base}}, 400}, 400, 20, {{400, 0}, {100, 450 - base}}},
        {"three images",
         {true, 20, {{400, 0}, {50, 420 - base}, {30, 480 - base}}, 400},
         410,
         20,
         {{410, 0}, {50, 430 - base}, {30, 490 - base}}},
        // the segment itself moves
        {"segment moved later", {true, 20, {{400, 0}, {100, 500 - base}}, 400}, 410, 30, {{410, 0}, {100, 500 - base}}},
        // entries left alone
        {"an entry pointing into the main image stays",
         {true, 20, {{400, 0}, {10, 100 - base}}, 400},
         420,
         20,
         {{420, 0}, {10, 100 - base}}},
        {"an empty entry stays", {true, 20, {{400, 0}, {0, 0}}, 400}, 420, 20, {{420, 0}, {0, 0}}},
    };
    for (const MoveCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes source = build(c.source, 600 - c.source.imageLength);
        MpfFile outputFile = c.source;
        outputFile.appLength = c.outputAppLength;
        outputFile.imageLength = c.outputImageLength;
        Bytes output = build(outputFile, 600 - c.source.imageLength);
        ASSERT_TRUE(moveMpfOffsets(source, c.source.imageLength, output, c.outputImageLength));
        const std::vector<Entry> moved = entriesOf(output, c.source.little, c.expected.size());
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(moved[i].size, c.expected[i].size) << "entry " << i;
            EXPECT_EQ(moved[i].offset, c.expected[i].offset) << "entry " << i;
        }
    }
}

TEST(MpfSegment, MalformedOrMissingSegmentsChangeNothing) {
    const MpfFile good{true, 20, {{400, 0}, {100, 466}}, 400};
    const Bytes source = build(good, 200);
    struct Case {
        const char* name;
        Bytes source, output;
    };
    Bytes noMpf = source;
    noMpf[findMpfBase(source) - 4] = 'X';  // "XPF\0"
    Bytes badOrder = source;
    badOrder[findMpfBase(source)] = 'Q';
    Bytes badIfd = source;
    put(badIfd, findMpfBase(source) + 4, 0xFFFF, 4, true);
    MpfFile threeEntries = good;
    threeEntries.entries.push_back({5, 470});
    const std::vector<Case> cases = {
        {"no MPF in the source", noMpf, source},
        {"no MPF in the output", source, noMpf},
        {"unknown byte order", badOrder, badOrder},
        {"IFD beyond the segment", badIfd, badIfd},
        {"entry counts differ", source, build(threeEntries, 200)},
        {"not a JPEG", Bytes(600, 0), Bytes(600, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes output = c.output;
        EXPECT_FALSE(moveMpfOffsets(c.source, 400, output, 420));
        EXPECT_TRUE(output == c.output);
    }
}

}  // namespace
}  // namespace speckmend
