// Files the sample tools write: folders, numbered names, text, PNG and JPEG
// images. The JPEG writer controls chroma sampling and writes an Exif APP1
// and a COM marker as camera files carry them.
#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace shoot {

void makeFolder(const std::string& path);

// stem + number with at least two digits, as many as count needs.
std::string numbered(const std::string& stem, int number, int count, const std::string& extension);

void writeText(const std::string& path, const std::string& text);

// The detect section of a shoot's config.xml: the frames dark/dark_* written
// to ../hotpixels.xml; outimage is the whole outimage element's line.
std::string detectSection(const std::string& amount, const std::string& outimage);
void writePng(const std::string& path, const cv::Mat& image);

struct JpegOptions {
    int quality = 92;
    int lumaH = 2, lumaV = 2;  // 2x2: 4:2:0, 2x1: 4:2:2, 1x1: 4:4:4
    int orientation = 1;
    std::string comment;
};

// Baseline JPEG of an 8-bit grey or BGR image; the bytes do not depend on
// where they are written.
std::string encodeJpeg(const cv::Mat& image, const JpegOptions& options);
void writeJpeg(const std::string& path, const cv::Mat& image, const JpegOptions& options);

}  // namespace shoot
