// Image files in memory: pixels as the file stores them whatever its
// orientation, and what an encoder keeps of a type.
#include "platform/image_file.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <exiv2/exiv2.hpp>
#include <opencv2/imgcodecs.hpp>

namespace speckmend {
namespace {

using Bytes = std::vector<unsigned char>;

// A TIFF of the picture whose Orientation tag (set with libexiv2, as an
// editor sets it) asks a viewer to turn it.
Bytes orientedTiff(const cv::Mat& picture, std::uint16_t orientation) {
    Bytes encoded;
    if (!cv::imencode(".tif", picture, encoded)) ADD_FAILURE() << "cannot encode";
    auto image = Exiv2::ImageFactory::open(encoded.data(), static_cast<long>(encoded.size()));
    image->readMetadata();
    image->exifData()["Exif.Image.Orientation"] = orientation;
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    io.open();
    Bytes result(static_cast<std::size_t>(io.size()));
    io.read(result.data(), static_cast<long>(result.size()));
    io.close();
    return result;
}

TEST(ImageFileTest, DecodesTheStoredPixelsOfAnOrientedTiff) {
    // Neither square nor symmetric, so that every turn and mirror shows.
    cv::Mat picture(23, 37, CV_8UC3);
    cv::randu(picture, cv::Scalar::all(0), cv::Scalar::all(255));
    for (std::uint16_t orientation = 1; orientation <= 8; ++orientation) {
        const Bytes tiff = orientedTiff(picture, orientation);
        // The reason for the call: the library's reader turns them itself.
        if (orientation >= 5) {
            EXPECT_EQ(cv::imdecode(tiff, cv::IMREAD_UNCHANGED).size(), cv::Size(23, 37));
        }
        for (int flags : {int(cv::IMREAD_UNCHANGED), cv::IMREAD_ANYCOLOR | cv::IMREAD_IGNORE_ORIENTATION}) {
            const cv::Mat stored = decodeImageAsStored(tiff, flags);
            ASSERT_EQ(stored.size(), picture.size()) << orientation;
            EXPECT_EQ(cv::norm(stored, picture, cv::NORM_INF), 0) << orientation;
        }
    }
}

TEST(ImageFileTest, EncoderKeepsTypeAsTheFormatHoldsIt) {
    const struct {
        const char* path;
        int type;
        bool kept;
    } cases[] = {
        // 16 bits, grey and alpha
        {"a.png", CV_16UC1, true},
        {"a.png", CV_16UC3, true},
        {"a.png", CV_16UC4, true},
        {"a.tif", CV_16UC3, true},
        {"a.tif", CV_8UC4, true},
        {"a.webp", CV_8UC4, true},
        {"a.pgm", CV_16UC1, true},
        {"a.jpg", CV_8UC1, true},
        // what the format cannot hold
        {"a.jpg", CV_16UC3, false},
        {"a.jpg", CV_8UC4, false},
        {"a.bmp", CV_16UC1, false},
        {"a.webp", CV_16UC4, false},
        {"a.pgm", CV_8UC3, false},
        {"a.unknown", CV_8UC3, false},
    };
    for (const auto& c : cases) EXPECT_EQ(encoderKeepsType(c.path, c.type, {}), c.kept) << c.path << " " << c.type;
}

}  // namespace
}  // namespace speckmend
