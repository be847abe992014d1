// Image sizes from headers: each must be the size the image library's own
// decoder gives the same bytes, the reference every row is checked against.
#include "platform/image_header.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

namespace speckmend {
namespace {

using Bytes = std::vector<unsigned char>;

// A picture of a size that is no multiple of anything a format rounds to.
cv::Mat picture(int type) {
    cv::Mat image(23, 37, type);
    cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(255));
    return image;
}

Bytes encoded(const std::string& extension, int type, const std::vector<int>& parameters = {}) {
    Bytes bytes;
    if (!cv::imencode(extension, picture(type), bytes, parameters)) ADD_FAILURE() << "cannot encode " << extension;
    return bytes;
}

void put32(Bytes& b, std::size_t at, std::uint32_t value, bool little) {
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (little ? 8 * i : 24 - 8 * i));
}

// A BMP stored top-down: the info header's height negative.
Bytes topDownBmp() {
    Bytes b = encoded(".bmp", CV_8UC3);
    const auto height = static_cast<std::int32_t>(b[22] | b[23] << 8 | b[24] << 16 | b[25] << 24);
    put32(b, 22, static_cast<std::uint32_t>(-height), true);
    return b;
}

// A big-endian grey TIFF of 5 by 3 pixels, uncompressed, one strip, written
// by hand: the library's writer only writes little-endian ones. With an
// Orientation tag of the given type and value when the value is not 0.
Bytes bigEndianTiff(std::uint16_t orientation = 0, std::uint16_t orientationType = 3) {
    Bytes b = {'M', 'M', 0, 42, 0, 0, 0, 8};
    std::vector<std::array<std::uint16_t, 4>> tags = {
        // tag, type, count, value (SHORT or LONG; width as LONG, height as SHORT)
        {256, 4, 1, 5}, {257, 3, 1, 3}, {258, 3, 1, 8},  {259, 3, 1, 1}, {262, 3, 1, 1}, {273, 4, 1, 0 /* set below */},
        {277, 3, 1, 1}, {278, 3, 1, 3}, {279, 4, 1, 15},
    };
    if (orientation != 0) tags.insert(tags.begin() + 6, {274, orientationType, 1, orientation});
    const std::size_t entries = tags.size();
    b.push_back(0);
    b.push_back(static_cast<unsigned char>(entries));
    const std::uint32_t pixels = 8 + 2 + 12 * static_cast<std::uint32_t>(entries) + 4;
    for (const auto& t : tags) {
        Bytes entry(12, 0);
        entry[0] = static_cast<unsigned char>(t[0] >> 8);
        entry[1] = static_cast<unsigned char>(t[0]);
        entry[3] = static_cast<unsigned char>(t[1]);
        entry[7] = static_cast<unsigned char>(t[2]);
        const std::uint32_t value = t[0] == 273 ? pixels : t[3];
        if (t[1] == 3) {
            entry[8] = static_cast<unsigned char>(value >> 8);
            entry[9] = static_cast<unsigned char>(value);
        } else {
            put32(entry, 8, value, false);
        }
        b.insert(b.end(), entry.begin(), entry.end());
    }
    b.insert(b.end(), 4, 0);  // no next directory
    for (int i = 0; i < 15; ++i) b.push_back(static_cast<unsigned char>(i * 16));
    return b;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct Case {
    const char* label;
    std::function<Bytes()> bytes;
};

TEST(ImageHeaderTest, GivesTheSizeTheDecoderGives) {
    const Case cases[] = {
        {"PNG", [] { return encoded(".png", CV_8UC3); }},
        {"16-bit grey PNG", [] { return encoded(".png", CV_16UC1); }},
        {"BMP", [] { return encoded(".bmp", CV_8UC3); }},
        {"top-down BMP", topDownBmp},
        {"PBM", [] { return encoded(".pbm", CV_8UC1); }},
        {"PGM", [] { return encoded(".pgm", CV_8UC1); }},
        {"binary PPM", [] { return encoded(".ppm", CV_8UC3); }},
        {"ASCII PPM",
         [] {
             return encoded(".ppm", CV_8UC3, {cv::IMWRITE_PXM_BINARY, 0});
         }},
        {"PGM with comments",
         [] { return text("P2\n# made by hand\n3 # width\n# height next\n2\n255\n1 2 3 4 5 6\n"); }},
        {"PAM", [] { return encoded(".pam", CV_8UC3); }},
        {"PFM", [] { return encoded(".pfm", CV_32FC3); }},
        {"TIFF", [] { return encoded(".tiff", CV_8UC3); }},
        {"big-endian TIFF", [] { return bigEndianTiff(); }},
        {"lossy WebP",
         [] {
             return encoded(".webp", CV_8UC3, {cv::IMWRITE_WEBP_QUALITY, 80});
         }},
        {"lossless WebP",
         [] {
             return encoded(".webp", CV_8UC3, {cv::IMWRITE_WEBP_QUALITY, 101});
         }},
        {"WebP with alpha",
         [] {
             return encoded(".webp", CV_8UC4, {cv::IMWRITE_WEBP_QUALITY, 80});
         }},
        {"Sun raster", [] { return encoded(".ras", CV_8UC3); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Bytes bytes = c.bytes();
        const cv::Mat decoded = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
        ASSERT_FALSE(decoded.empty()) << "the reference cannot decode it";
        const std::optional<cv::Size> size = imageSizeFromHeader(bytes);
        ASSERT_TRUE(size.has_value());
        EXPECT_EQ(*size, decoded.size());
    }
}

// What one pixel takes decoded as stored, against the decoder's own.
TEST(ImageHeaderTest, GivesThePixelBytesTheDecoderGives) {
    const Case cases[] = {
        {"PNG", [] { return encoded(".png", CV_8UC3); }},
        {"grey PNG", [] { return encoded(".png", CV_8UC1); }},
        {"PNG with alpha", [] { return encoded(".png", CV_8UC4); }},
        {"16-bit grey PNG", [] { return encoded(".png", CV_16UC1); }},
        {"16-bit PNG", [] { return encoded(".png", CV_16UC3); }},
        {"16-bit PNG with alpha", [] { return encoded(".png", CV_16UC4); }},
        {"PBM", [] { return encoded(".pbm", CV_8UC1); }},
        {"PGM", [] { return encoded(".pgm", CV_8UC1); }},
        {"16-bit PGM", [] { return encoded(".pgm", CV_16UC1); }},
        {"binary PPM", [] { return encoded(".ppm", CV_8UC3); }},
        {"16-bit PPM", [] { return encoded(".ppm", CV_16UC3); }},
        {"PGM with comments",
         [] { return text("P2\n# made by hand\n3 # width\n# height next\n2\n255\n1 2 3 4 5 6\n"); }},
        {"PAM", [] { return encoded(".pam", CV_8UC3); }},
        {"TIFF", [] { return encoded(".tiff", CV_8UC3); }},
        {"16-bit TIFF with alpha", [] { return encoded(".tiff", CV_16UC4); }},
        {"16-bit grey TIFF", [] { return encoded(".tiff", CV_16UC1); }},
        {"big-endian TIFF", [] { return bigEndianTiff(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Bytes bytes = c.bytes();
        const cv::Mat decoded = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
        ASSERT_FALSE(decoded.empty()) << "the reference cannot decode it";
        const std::optional<int> pixel = pixelBytesFromHeader(bytes);
        ASSERT_TRUE(pixel.has_value());
        EXPECT_EQ(*pixel, static_cast<int>(decoded.elemSize()));
    }
    // Formats whose header does not tell, and cut headers.
    Bytes cutPng = encoded(".png", CV_16UC4);
    cutPng.resize(25);
    for (const Bytes& other : {encoded(".bmp", CV_8UC3), encoded(".jpg", CV_8UC3), encoded(".webp", CV_8UC3), cutPng})
        EXPECT_FALSE(pixelBytesFromHeader(other).has_value());
}

TEST(ImageHeaderTest, UnknownOrBrokenHeadersGiveNothing) {
    const Case cases[] = {
        {"empty", [] { return Bytes{}; }},
        {"text", [] { return text("not an image at all\n"); }},
        // JPEG is left to the JPEG layer.
        {"JPEG", [] { return encoded(".jpg", CV_8UC3); }},
        {"PNG cut in its signature",
         [] {
             Bytes b = encoded(".png", CV_8UC3);
             b.resize(6);
             return b;
         }},
        {"PNG cut before its height",
         [] {
             Bytes b = encoded(".png", CV_8UC3);
             b.resize(22);
             return b;
         }},
        {"PNG whose first chunk is not IHDR",
         [] {
             Bytes b = encoded(".png", CV_8UC3);
             b[12] = 'X';
             return b;
         }},
        {"BMP cut in its info header",
         [] {
             Bytes b = encoded(".bmp", CV_8UC3);
             b.resize(20);
             return b;
         }},
        {"PPM without a height", [] { return text("P6\n37\n"); }},
        {"PPM with a word for its width", [] { return text("P6\nwide 23\n255\n"); }},
        {"PAM without WIDTH", [] { return text("P7\nHEIGHT 23\nDEPTH 3\nMAXVAL 255\nENDHDR\n"); }},
        {"TIFF whose directory lies beyond the file",
         [] {
             Bytes b = encoded(".tiff", CV_8UC3);
             b.resize(8);
             return b;
         }},
        {"RIFF that is no WebP",
         [] {
             static const char riff[] = "RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\1\0\1\0";
             return text(std::string(riff, sizeof riff - 1));
         }},
        // Former bugs: none yet.
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_FALSE(imageSizeFromHeader(c.bytes()).has_value());
    }
}

TEST(ImageHeaderTest, TiffOrientation) {
    const struct {
        const char* label;
        std::function<Bytes()> bytes;
        int orientation;
    } cases[] = {
        // as the tag says
        {"SHORT 6", [] { return bigEndianTiff(6); }, 6},
        {"SHORT 8", [] { return bigEndianTiff(8); }, 8},
        {"LONG 3", [] { return bigEndianTiff(3, 4); }, 3},
        // no tag, or none that means anything: as stored
        {"no tag", [] { return bigEndianTiff(); }, 1},
        {"the library's own TIFF", [] { return encoded(".tiff", CV_8UC3); }, 1},
        {"value 9", [] { return bigEndianTiff(9); }, 1},
        {"ASCII", [] { return bigEndianTiff(6, 2); }, 1},
        {"PNG", [] { return encoded(".png", CV_8UC3); }, 1},
        {"TIFF cut in its directory",
         [] {
             Bytes b = bigEndianTiff(6);
             b.resize(20);
             return b;
         },
         1},
    };
    for (const auto& c : cases) EXPECT_EQ(tiffOrientation(c.bytes()), c.orientation) << c.label;
}

}  // namespace
}  // namespace speckmend
