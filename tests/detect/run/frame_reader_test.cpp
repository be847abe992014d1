// Reading a dark frame: grey in its stored orientation, colour and 16 bits
// kept for the local detector, and nothing at all from what is not an image.
#include "detect/run/frame_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "test_support.h"

namespace speckmend {
namespace {

using testing::TempFolder;

cv::Mat grey(int rows, int cols, int value) { return cv::Mat(rows, cols, CV_8UC1, cv::Scalar(value)); }

// A JPEG whose Exif orientation says "rotate by 90 degrees to view".
std::string jpegTurnedByExif(const cv::Mat& image) {
    std::vector<uchar> encoded;
    cv::imencode(".jpg", image, encoded, {cv::IMWRITE_JPEG_QUALITY, 100});
    const unsigned char app1[] = {0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I',
                                  42,   0,    8,    0,    0,   0,                            // TIFF header
                                  1,    0,                                                   // one entry
                                  0x12, 0x01, 3,    0,    1,   0,   0,   0,   6, 0, 0,   0,  // Orientation = 6
                                  0,    0,    0,    0};                                      // no next IFD
    std::string bytes(encoded.begin(), encoded.begin() + 2);                                 // SOI
    bytes.append(reinterpret_cast<const char*>(app1), sizeof app1);
    bytes.append(encoded.begin() + 2, encoded.end());
    return bytes;
}

TEST(ReadFrame, ReadsGreyInStoredOrientation) {
    TempFolder folder;
    cv::Mat colour(30, 50, CV_8UC3, cv::Scalar(0, 0, 0));
    colour.at<cv::Vec3b>(5, 40) = cv::Vec3b(255, 255, 255);
    testing::writeFile(folder / "turned.jpg", jpegTurnedByExif(colour));
    // OpenCV's own default turns this file upright; the sensor layout is
    // the one stored.
    ASSERT_EQ(cv::imread(folder / "turned.jpg", cv::IMREAD_GRAYSCALE).size(), cv::Size(30, 50));

    const cv::Mat frame = readFrame(folder / "turned.jpg");
    ASSERT_EQ(frame.type(), CV_8UC1);
    EXPECT_EQ(frame.size(), cv::Size(50, 30));
    EXPECT_GT(frame.at<std::uint8_t>(5, 40), 200);
}

TEST(ReadFrame, AnythingButAnImageGivesAnEmptyFrame) {
    TempFolder folder;
    testing::writeFile(folder / "text.jpg", "plain text, not a picture");
    testing::writeFile(folder / "empty.jpg", "");
    std::string truncated = jpegTurnedByExif(grey(40, 40, 9));
    truncated.resize(20);
    testing::writeFile(folder / "truncated.jpg", truncated);
    for (const std::string& path :
         {folder / "text.jpg", folder / "empty.jpg", folder / "truncated.jpg", folder / "missing.jpg", folder.path()}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(readFrame(path).empty());
    }
}

TEST(ReadFrame, ColourAndSixteenBitFilesBecomeGreyBytes) {
    TempFolder folder;
    cv::imwrite(folder / "colour.png", cv::Mat(4, 5, CV_8UC3, cv::Scalar(10, 200, 30)));
    cv::imwrite(folder / "deep.png", cv::Mat(4, 5, CV_16UC1, cv::Scalar(256 * 77)));
    for (const char* name : {"colour.png", "deep.png"}) {
        SCOPED_TRACE(name);
        const cv::Mat frame = readFrame(folder / name);
        EXPECT_EQ(frame.type(), CV_8UC1);
        EXPECT_EQ(frame.size(), cv::Size(5, 4));
    }
    EXPECT_EQ(readFrame(folder / "deep.png").at<std::uint8_t>(2, 2), 77);
}

TEST(ReadFrame, ColourFramesKeepTheirChannelsWhenAsked) {
    TempFolder folder;
    cv::imwrite(folder / "colour.png", cv::Mat(3, 4, CV_8UC3, cv::Scalar(10, 20, 30)));
    cv::imwrite(folder / "alpha.png", cv::Mat(3, 4, CV_8UC4, cv::Scalar(10, 20, 30, 255)));
    cv::imwrite(folder / "grey.png", grey(3, 4, 40));
    cv::imwrite(folder / "deep.png", cv::Mat(3, 4, CV_16UC1, cv::Scalar(4000)));
    cv::imwrite(folder / "deep.tiff", cv::Mat(3, 4, CV_16UC3, cv::Scalar(1000, 2000, 3000)));
    struct Row {
        const char* name;
        bool colour;
        int type;
        cv::Scalar first;
    };
    const Row rows[] = {
        {"colour.png", true, CV_8UC3, {10, 20, 30}},
        {"alpha.png", true, CV_8UC3, {10, 20, 30}},
        {"grey.png", true, CV_8UC1, {40}},
        // 16-bit files in their own units
        {"deep.png", true, CV_16UC1, {4000}},
        {"deep.tiff", true, CV_16UC3, {1000, 2000, 3000}},
        {"deep.png", false, CV_8UC1, {4000 / 256}},
        // the histogram detector reads grey (0.114 B + 0.587 G + 0.299 R)
        {"colour.png", false, CV_8UC1, {22}},
    };
    for (const Row& row : rows) {
        const cv::Mat frame = readFrame(folder / row.name, row.colour);
        ASSERT_EQ(frame.type(), row.type) << row.name;
        const cv::Scalar first = cv::mean(frame);
        for (int c = 0; c < frame.channels(); ++c) EXPECT_NEAR(first[c], row.first[c], 1.0) << row.name;
    }
}

// ---- Former bugs ----------------------------------------------------------

TEST(ReadFrame, AFailedDecodeDoesNotHandBackTheLastFrame) {
    // Decoding into a kept buffer must not leave the previous frame in it
    // when the next file is not an image.
    TempFolder folder;
    cv::imwrite(folder / "good.png", grey(5, 5, 42));
    testing::writeFile(folder / "bad.png", "nothing");
    std::vector<unsigned char> bytes;
    cv::Mat frame;
    readFrame(folder / "good.png", bytes, frame);
    ASSERT_FALSE(frame.empty());
    readFrame(folder / "bad.png", bytes, frame);
    EXPECT_TRUE(frame.empty());
}

}  // namespace
}  // namespace speckmend
