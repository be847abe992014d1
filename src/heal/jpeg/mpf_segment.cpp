// Moving the Multi-Picture offsets of a rewritten JPEG; see mpf_segment.h.
#include "heal/jpeg/mpf_segment.h"

#include <cstdint>
#include <cstring>
#include <utility>

#include "heal/jpeg/jpeg_markers.h"

namespace speckmend {

namespace {

using jpeg_marker::kApp2;
using jpeg_marker::kSoi;
using jpeg_marker::kSos;
constexpr unsigned char kMarker = jpeg_marker::kPrefix;
constexpr std::uint16_t kMpEntryTag = 0xB002;
constexpr std::size_t kEntrySize = 16;

// The TIFF-style structure behind "MPF\0": byte order, then offsets from its
// own first byte.
struct MpfData {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    bool little = true;

    std::uint32_t get(std::size_t at, int bytes) const {
        std::uint32_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            const std::uint32_t byte = data[at + i];
            value |= little ? byte << (8 * i) : byte << (8 * (bytes - 1 - i));
        }
        return value;
    }
    void put(unsigned char* to, std::uint32_t value) const {
        for (int i = 0; i < 4; ++i)
            to[i] = static_cast<unsigned char>(little ? value >> (8 * i) : value >> (8 * (3 - i)));
    }
};

// Where the MP entries are and how many, or false when malformed.
bool findEntries(const MpfData& mpf, std::size_t& entries, std::size_t& count) {
    if (mpf.size < 8) return false;
    const std::size_t ifd = mpf.get(4, 4);
    if (ifd + 2 > mpf.size) return false;
    const std::size_t tags = mpf.get(ifd, 2);
    for (std::size_t t = 0; t < tags; ++t) {
        const std::size_t at = ifd + 2 + 12 * t;
        if (at + 12 > mpf.size) return false;
        if (mpf.get(at, 2) != kMpEntryTag) continue;
        const std::size_t bytes = mpf.get(at + 4, 4);
        entries = bytes <= 4 ? at + 8 : mpf.get(at + 8, 4);
        count = bytes / kEntrySize;
        return count > 0 && entries + count * kEntrySize <= mpf.size;
    }
    return false;
}

bool mpfAt(const unsigned char* jpeg, std::size_t jpegSize, std::size_t base, MpfData& mpf) {
    if (base == 0) return false;
    // The segment's length field sits 6 bytes before its data.
    const std::size_t length = static_cast<std::size_t>(jpeg[base - 6]) << 8 | jpeg[base - 5];
    if (length < 6 || base - 4 + length > jpegSize) return false;
    mpf.data = jpeg + base;
    mpf.size = length - 6;
    if (mpf.size < 8) return false;
    if (std::memcmp(mpf.data, "II*\0", 4) == 0)
        mpf.little = true;
    else if (std::memcmp(mpf.data, "MM\0*", 4) == 0)
        mpf.little = false;
    else
        return false;
    return true;
}

}  // namespace

std::size_t findMpfBase(std::span<const unsigned char> jpeg) {
    if (jpeg.size() < 4 || jpeg[0] != kMarker || jpeg[1] != kSoi) return 0;
    std::size_t at = 2;
    while (at + 4 <= jpeg.size()) {
        if (jpeg[at] != kMarker) return 0;
        const unsigned char code = jpeg[at + 1];
        if (code == kMarker) {  // fill byte
            ++at;
            continue;
        }
        if (code == kSos) return 0;
        const std::size_t length = static_cast<std::size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3];
        if (length < 2 || at + 2 + length > jpeg.size()) return 0;
        if (code == kApp2 && length >= 2 + 4 && std::memcmp(&jpeg[at + 4], "MPF\0", 4) == 0) return at + 8;
        at += 2 + length;
    }
    return 0;
}

bool moveMpfOffsets(std::span<const unsigned char> source, std::size_t sourceImageLength,
                    std::vector<unsigned char>& output, std::size_t outputImageLength) {
    const std::size_t sourceBase = findMpfBase(source);
    const std::size_t outputBase = findMpfBase(output);
    MpfData before, after;
    if (!mpfAt(source.data(), source.size(), sourceBase, before) ||
        !mpfAt(output.data(), output.size(), outputBase, after))
        return false;
    std::size_t entriesBefore = 0, countBefore = 0, entriesAfter = 0, countAfter = 0;
    if (!findEntries(before, entriesBefore, countBefore) || !findEntries(after, entriesAfter, countAfter) ||
        countBefore != countAfter || entriesBefore != entriesAfter)
        return false;
    // Every new value first, so that a malformed entry changes nothing.
    std::vector<std::pair<std::size_t, std::uint32_t>> changes;
    for (std::size_t i = 0; i < countAfter; ++i) {
        const std::size_t entry = entriesAfter + i * kEntrySize;
        const std::uint32_t offset = before.get(entry + 8, 4);
        if (i == 0 && offset == 0) {
            if (outputImageLength > UINT32_MAX) return false;
            changes.emplace_back(entry + 4, static_cast<std::uint32_t>(outputImageLength));
            continue;
        }
        if (offset == 0) continue;
        const std::size_t place = sourceBase + offset;
        // Only images in the appended bytes move; anything else is left as
        // the camera wrote it.
        if (place < sourceImageLength || place > source.size()) continue;
        const std::size_t moved = place - sourceImageLength + outputImageLength;
        if (moved < outputBase || moved - outputBase > UINT32_MAX) return false;
        changes.emplace_back(entry + 8, static_cast<std::uint32_t>(moved - outputBase));
    }
    for (const auto& [at, value] : changes) after.put(output.data() + outputBase + at, value);
    return true;
}

}  // namespace speckmend
