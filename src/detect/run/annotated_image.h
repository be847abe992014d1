// The annotated picture of a detection run: the mean dark frame in grey at
// double brightness with an open blue cross and a grey position label at
// every hot pixel.
//
// The picture is stored with 8 bits per channel, so the doubled mean is kept
// as 8-bit grey (rounded to nearest, clipped at 255) and the marks are only
// remembered; render() draws them in marking order, later marks over earlier
// ones. The pixels come out as if the doubled mean had been drawn on in float
// and converted on writing, at a twelfth of the memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {

class AnnotatedImage {
public:
    // `mean` is 32-bit float, grey or blue-green-red (shown in grey);
    // (dxText, dyText) is the offset of each label's bottom-left corner from
    // its hot pixel. `toEightBits` scales a mean of deeper frames to 8-bit
    // values before the doubling.
    AnnotatedImage(const cv::Mat& mean, std::int32_t dxText, std::int32_t dyText, double toEightBits = 1.0);

    void mark(std::int32_t x, std::int32_t y);

    // Three channels, 8 bits each, blue-green-red.
    cv::Mat render() const;

    // Stores render() at `path`, the format chosen by its extension, whole
    // or not at all. False when the writer refuses the extension or the file
    // cannot be written; whatever was at the path then stays.
    bool write(const std::string& path) const;

private:
    cv::Point labelOrigin(cv::Point hotPixel, cv::Size size) const;

    cv::Mat doubledMean_;  // CV_8UC1
    std::int32_t dxText_;
    std::int32_t dyText_;
    std::vector<cv::Point> marks_;
};

}  // namespace speckmend
