// The direct JPEG decoder against the image library's own reader: the same
// pixels, grey and colour, on camera files (which bring the samplings) and
// on files of every coding mode, and the
// files it leaves to that reader.
#include "platform/jpeg_image_decoder.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

namespace speckmend {
namespace {

std::vector<unsigned char> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What the frame reader asked of the image library before: grey, or colour
// kept, in the stored orientation.
cv::Mat reference(const std::vector<unsigned char>& bytes, bool grey) {
    return cv::imdecode(bytes, (grey ? cv::IMREAD_GRAYSCALE : cv::IMREAD_ANYCOLOR) | cv::IMREAD_IGNORE_ORIENTATION);
}

// The component count of the first frame header, 0 when there is none.
int componentsOf(const std::vector<unsigned char>& bytes) {
    for (std::size_t i = 2; i + 9 < bytes.size();) {
        if (bytes[i] != 0xFF) return 0;
        const unsigned char marker = bytes[i + 1];
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) return bytes[i + 9];
        i += 2 + (bytes[i + 2] << 8 | bytes[i + 3]);
    }
    return 0;
}

void expectSamePixels(const std::vector<unsigned char>& bytes, const std::string& name) {
    // Four-component files (CMYK, YCCK) are the image library's to convert.
    const bool taken = componentsOf(bytes) != 4;
    for (const bool grey : {true, false}) {
        SCOPED_TRACE(name + (grey ? ", grey" : ", as stored"));
        cv::Mat decoded;
        ASSERT_EQ(decodeJpegImage(bytes, grey, decoded), taken ? JpegDecoding::decoded : JpegDecoding::notHandled);
        if (!taken) continue;
        const cv::Mat expected = reference(bytes, grey);
        ASSERT_EQ(decoded.type(), expected.type());
        ASSERT_EQ(decoded.size(), expected.size());
        EXPECT_EQ(cv::norm(decoded, expected, cv::NORM_INF), 0.0);
    }
}

// Gradients with noise on top: something a JPEG codes like a photo.
cv::Mat noise(int rows, int cols, int type) {
    cv::Mat image(rows, cols, type);
    cv::RNG rng(rows * 31 + cols);
    rng.fill(image, cv::RNG::NORMAL, 0, 12);
    cv::Mat ramp(rows, cols, type);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols * image.channels(); ++x)
            ramp.ptr<uchar>(y)[x] = static_cast<uchar>((x * 5 + y * 3) % 256);
    return image + ramp;
}

TEST(JpegImageDecoder, GivesTheImageLibrarysPixels) {
    struct Row {
        const char* name;
        int type;
        std::vector<int> parameters;
        int rows = 37;  // odd sizes: partial blocks at the right and bottom edges
        int cols = 53;
    };
    const Row rows[] = {
        {"grey", CV_8UC1, {cv::IMWRITE_JPEG_QUALITY, 90}},
        {"colour 4:2:0", CV_8UC3, {cv::IMWRITE_JPEG_QUALITY, 70}},
        {"colour, optimized tables", CV_8UC3, {cv::IMWRITE_JPEG_QUALITY, 95, cv::IMWRITE_JPEG_OPTIMIZE, 1}},
        {"progressive with restarts", CV_8UC3, {cv::IMWRITE_JPEG_PROGRESSIVE, 1, cv::IMWRITE_JPEG_RST_INTERVAL, 3}},
        // Grey of whole blocks across: the blocks are decoded into the rows.
        {"grey, whole blocks", CV_8UC1, {cv::IMWRITE_JPEG_QUALITY, 90}, 40, 64},
        {"grey, whole blocks across, a part band below", CV_8UC1, {cv::IMWRITE_JPEG_QUALITY, 75}, 37, 64},
        {"grey, whole blocks across, one row", CV_8UC1, {cv::IMWRITE_JPEG_QUALITY, 75}, 1, 8},
        {"grey progressive, whole blocks across",
         CV_8UC1,
         {cv::IMWRITE_JPEG_PROGRESSIVE, 1, cv::IMWRITE_JPEG_RST_INTERVAL, 2},
         43,
         72},
        {"colour, whole blocks", CV_8UC3, {cv::IMWRITE_JPEG_QUALITY, 90}, 48, 64},
    };
    for (const Row& row : rows) {
        std::vector<unsigned char> bytes;
        ASSERT_TRUE(cv::imencode(".jpg", noise(row.rows, row.cols, row.type), bytes, row.parameters));
        expectSamePixels(bytes, row.name);
    }
}

TEST(JpegImageDecoder, GivesTheImageLibrarysPixelsOnCameraFiles) {
    const std::string folder = SPECKMEND_SAMPLES_DIR;
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() > 4 && name.substr(name.size() - 4) == ".jpg") names.push_back(name);
        }
        closedir(dir);
    }
    if (names.empty()) GTEST_SKIP() << "no camera JPEGs in " << folder;
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) expectSamePixels(readBytes(folder + "/" + name), name);
}

TEST(JpegImageDecoder, LeavesToTheImageLibraryWhatItDoesNotTake) {
    std::vector<unsigned char> jpeg;
    ASSERT_TRUE(cv::imencode(".jpg", noise(16, 16, CV_8UC1), jpeg));
    std::vector<unsigned char> png;
    ASSERT_TRUE(cv::imencode(".png", noise(16, 16, CV_8UC1), png));
    std::vector<unsigned char> cut(jpeg.begin(), jpeg.begin() + 40);  // inside the tables
    const std::vector<unsigned char> rows[] = {{}, png, cut, {0xFF, 0xD8, 0xFF}};
    for (const auto& bytes : rows) {
        cv::Mat image(4, 4, CV_8UC1, cv::Scalar(7));
        EXPECT_EQ(decodeJpegImage(bytes, true, image), JpegDecoding::notHandled);
        EXPECT_TRUE(image.empty());
    }
}

}  // namespace
}  // namespace speckmend
