// Image sizes from file headers; see image_header.h.
#include "platform/image_header.h"

#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace speckmend {
namespace {

using Bytes = std::span<const unsigned char>;

bool startsWith(Bytes bytes, std::string_view magic) {
    return bytes.size() >= magic.size() && std::memcmp(bytes.data(), magic.data(), magic.size()) == 0;
}

std::uint32_t bigEndian(Bytes b, std::size_t at, int length) {
    std::uint32_t value = 0;
    for (int i = 0; i < length; ++i) value = value << 8 | b[at + static_cast<std::size_t>(i)];
    return value;
}

std::uint32_t littleEndian(Bytes b, std::size_t at, int length) {
    std::uint32_t value = 0;
    for (int i = length - 1; i >= 0; --i) value = value << 8 | b[at + static_cast<std::size_t>(i)];
    return value;
}

// Sizes a decoder could hold: positive and within an int.
std::optional<cv::Size> sizeOf(std::int64_t width, std::int64_t height) {
    if (width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX) return std::nullopt;
    return cv::Size(static_cast<int>(width), static_cast<int>(height));
}

std::optional<cv::Size> pngSize(Bytes b) {
    // Signature, then the IHDR chunk: length, type, width, height.
    if (b.size() < 24 || std::memcmp(b.data() + 12, "IHDR", 4) != 0) return std::nullopt;
    return sizeOf(bigEndian(b, 16, 4), bigEndian(b, 20, 4));
}

std::optional<cv::Size> bmpSize(Bytes b) {
    if (b.size() < 26) return std::nullopt;
    const std::uint32_t header = littleEndian(b, 14, 4);
    if (header == 12) return sizeOf(littleEndian(b, 18, 2), littleEndian(b, 20, 2));  // OS/2 1.x
    if (header < 36) return std::nullopt;  // the smallest info header the decoder takes
    const auto height = static_cast<std::int32_t>(littleEndian(b, 22, 4));
    return sizeOf(static_cast<std::int32_t>(littleEndian(b, 18, 4)), height < 0 ? -std::int64_t{height} : height);
}

// The header's tokens after the two-byte magic: numbers separated by white
// space, with comments from '#' to the end of the line.
class PnmTokens {
public:
    explicit PnmTokens(Bytes b) : b_(b) {}
    std::optional<std::int64_t> number() {
        skipSpace();
        std::int64_t value = 0;
        std::size_t digits = 0;
        while (at_ < b_.size() && std::isdigit(b_[at_]) && digits < 12) {
            value = value * 10 + (b_[at_++] - '0');
            ++digits;
        }
        if (digits == 0 || (at_ < b_.size() && std::isdigit(b_[at_]))) return std::nullopt;
        return value;
    }
    std::string_view word() {
        skipSpace();
        const std::size_t from = at_;
        while (at_ < b_.size() && !std::isspace(b_[at_])) ++at_;
        return {reinterpret_cast<const char*>(b_.data()) + from, at_ - from};
    }

private:
    void skipSpace() {
        while (at_ < b_.size()) {
            if (b_[at_] == '#') {
                while (at_ < b_.size() && b_[at_] != '\n' && b_[at_] != '\r') ++at_;
            } else if (std::isspace(b_[at_])) {
                ++at_;
            } else {
                return;
            }
        }
    }
    Bytes b_;
    std::size_t at_ = 2;
};

std::optional<cv::Size> pnmSize(Bytes b) {
    PnmTokens tokens(b);
    const auto width = tokens.number();
    const auto height = tokens.number();
    if (!width || !height) return std::nullopt;
    return sizeOf(*width, *height);
}

struct PamHeader {
    std::optional<std::int64_t> width, height, depth, maxval;
};

PamHeader pamHeader(Bytes b) {
    // Keyword lines up to ENDHDR, in any order; the last of a keyword counts.
    PnmTokens tokens(b);
    PamHeader header;
    for (int words = 0; words < 64; ++words) {
        const std::string_view word = tokens.word();
        if (word.empty() || word == "ENDHDR") break;
        if (word == "WIDTH") header.width = tokens.number();
        if (word == "HEIGHT") header.height = tokens.number();
        if (word == "DEPTH") header.depth = tokens.number();
        if (word == "MAXVAL") header.maxval = tokens.number();
    }
    return header;
}

std::optional<cv::Size> pamSize(Bytes b) {
    const PamHeader header = pamHeader(b);
    if (!header.width || !header.height) return std::nullopt;
    return sizeOf(*header.width, *header.height);
}

bool isTiff(Bytes b) {
    return b.size() >= 8 &&
           (startsWith(b, std::string_view("II\x2a\0", 4)) || startsWith(b, std::string_view("MM\0\x2a", 4)));
}

// The values of the given tags in a TIFF's first directory (SHORT or LONG,
// one value, held in the entry's own value field; the last entry of a tag
// counts, and one of another type or count leaves nothing). Nothing at all
// when the directory is cut or out of place.
template <std::size_t N>
std::optional<std::array<std::optional<std::int64_t>, N>> firstDirectoryValues(
    Bytes b, const std::array<std::uint32_t, N>& tags) {
    const bool little = b[0] == 'I';
    auto read = [&](std::size_t at, int length) {
        return little ? littleEndian(b, at, length) : bigEndian(b, at, length);
    };
    const std::size_t directory = read(4, 4);
    if (directory < 8 || directory + 2 > b.size()) return std::nullopt;
    const std::size_t entries = read(directory, 2);
    std::array<std::optional<std::int64_t>, N> values;
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t entry = directory + 2 + 12 * i;
        if (entry + 12 > b.size()) return std::nullopt;
        const std::uint32_t tag = read(entry, 2), type = read(entry + 2, 2), count = read(entry + 4, 4);
        for (std::size_t t = 0; t < N; ++t) {
            if (tag != tags[t] || count != 1) continue;
            values[t].reset();
            if (type == 3) values[t] = read(entry + 8, 2);
            if (type == 4) values[t] = read(entry + 8, 4);
        }
    }
    return values;
}

std::optional<cv::Size> tiffSize(Bytes b) {
    const auto values = firstDirectoryValues<2>(b, {256, 257});  // ImageWidth, ImageLength
    if (!values || !(*values)[0] || !(*values)[1]) return std::nullopt;
    return sizeOf(*(*values)[0], *(*values)[1]);
}

// Four channels of 16 bits.
constexpr int kMostPixelBytes = 8;

// IHDR's bit depth and colour type; a palette is decoded to colour, with
// an alpha channel when the file carries transparency.
std::optional<int> pngPixelBytes(Bytes b) {
    if (b.size() < 26 || std::memcmp(b.data() + 12, "IHDR", 4) != 0) return std::nullopt;
    const int depth = b[24] == 16 ? 2 : 1;
    switch (b[25]) {
    case 0: return depth;
    case 2: return 3 * depth;
    case 3: return 4;
    case 4:
    case 6: return 4 * depth;
    default: return std::nullopt;
    }
}

std::optional<int> pnmPixelBytes(Bytes b) {
    const char kind = static_cast<char>(b[1]);
    if (kind == '1' || kind == '4') return 1;  // bitmaps decode to grey bytes
    PnmTokens tokens(b);
    const auto width = tokens.number(), height = tokens.number(), maxval = tokens.number();
    if (!width || !height || !maxval) return std::nullopt;
    const int depth = *maxval > 255 ? 2 : 1;
    return kind == '2' || kind == '5' ? depth : 3 * depth;
}

std::optional<int> pamPixelBytes(Bytes b) {
    const PamHeader header = pamHeader(b);
    const auto& channels = header.depth;
    const auto& maxval = header.maxval;
    if (!channels || !maxval || *channels < 1 || *channels > 4) return std::nullopt;
    return static_cast<int>(*channels) * (*maxval > 255 ? 2 : 1);
}

// SamplesPerPixel (1 when absent) times the bytes of the first of the
// BitsPerSample values, which stand in the entry itself for up to two
// samples and at an offset for more.
std::optional<int> tiffPixelBytes(Bytes b) {
    const bool little = b[0] == 'I';
    auto read = [&](std::size_t at, int length) {
        return little ? littleEndian(b, at, length) : bigEndian(b, at, length);
    };
    const std::size_t directory = read(4, 4);
    if (directory < 8) return std::nullopt;
    // Writers often put the directory after the pixels: beyond the bytes
    // read, the most a photo can take.
    if (directory + 2 > b.size()) return kMostPixelBytes;
    const std::size_t entries = read(directory, 2);
    std::int64_t samples = 1, bits = 1;
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t entry = directory + 2 + 12 * i;
        if (entry + 12 > b.size()) return std::nullopt;
        const std::uint32_t tag = read(entry, 2), type = read(entry + 2, 2), count = read(entry + 4, 4);
        if (type != 3 || count == 0) continue;
        if (tag == 277) samples = read(entry + 8, 2);
        if (tag != 258) continue;
        const std::size_t at = count <= 2 ? entry + 8 : read(entry + 8, 4);
        if (at + 2 > b.size()) return std::nullopt;
        bits = read(at, 2);
    }
    if (samples < 1 || samples > 4 || bits < 1 || bits > 16) return std::nullopt;
    return static_cast<int>(samples) * (bits > 8 ? 2 : 1);
}

std::optional<cv::Size> webpSize(Bytes b) {
    if (b.size() < 30) return std::nullopt;
    if (std::memcmp(b.data() + 12, "VP8 ", 4) == 0) {
        // A key frame's start code, then 14-bit width and height.
        if (b[23] != 0x9d || b[24] != 0x01 || b[25] != 0x2a) return std::nullopt;
        return sizeOf(littleEndian(b, 26, 2) & 0x3FFF, littleEndian(b, 28, 2) & 0x3FFF);
    }
    if (std::memcmp(b.data() + 12, "VP8L", 4) == 0) {
        if (b[20] != 0x2f) return std::nullopt;
        const std::uint32_t bits = littleEndian(b, 21, 4);
        return sizeOf((bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1);
    }
    if (std::memcmp(b.data() + 12, "VP8X", 4) == 0)
        return sizeOf(std::int64_t{littleEndian(b, 24, 3)} + 1, std::int64_t{littleEndian(b, 27, 3)} + 1);
    return std::nullopt;
}

}  // namespace

std::optional<cv::Size> imageSizeFromHeader(Bytes bytes) {
    if (bytes.size() < 3) return std::nullopt;
    if (startsWith(bytes, "\x89PNG\r\n\x1a\n")) return pngSize(bytes);
    if (startsWith(bytes, "BM")) return bmpSize(bytes);
    if (bytes[0] == 'P' && std::isspace(bytes[2])) {
        if (bytes[1] >= '1' && bytes[1] <= '6') return pnmSize(bytes);
        if (bytes[1] == '7') return pamSize(bytes);
        if (bytes[1] == 'F' || bytes[1] == 'f') return pnmSize(bytes);
    }
    if (isTiff(bytes)) return tiffSize(bytes);
    if (startsWith(bytes, "RIFF") && bytes.size() >= 12 && std::memcmp(bytes.data() + 8, "WEBP", 4) == 0)
        return webpSize(bytes);
    if (startsWith(bytes, "\x59\xa6\x6a\x95") && bytes.size() >= 12)
        return sizeOf(bigEndian(bytes, 4, 4), bigEndian(bytes, 8, 4));
    return std::nullopt;
}

std::optional<int> pixelBytesFromHeader(Bytes bytes) {
    if (bytes.size() < 3) return std::nullopt;
    if (startsWith(bytes, "\x89PNG\r\n\x1a\n")) return pngPixelBytes(bytes);
    if (bytes[0] == 'P' && std::isspace(bytes[2])) {
        if (bytes[1] >= '1' && bytes[1] <= '6') return pnmPixelBytes(bytes);
        if (bytes[1] == '7') return pamPixelBytes(bytes);
    }
    if (isTiff(bytes)) return tiffPixelBytes(bytes);
    return std::nullopt;
}

int tiffOrientation(Bytes bytes) {
    if (!isTiff(bytes)) return 1;
    const auto values = firstDirectoryValues<1>(bytes, {274});  // Orientation
    if (!values || !(*values)[0] || *(*values)[0] < 1 || *(*values)[0] > 8) return 1;
    return static_cast<int>(*(*values)[0]);
}

}  // namespace speckmend
