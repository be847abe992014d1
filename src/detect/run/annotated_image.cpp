// Annotated picture of a detection run.
#include "detect/run/annotated_image.h"

#include "platform/whole_image_file.h"

#include <algorithm>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace speckmend {
namespace {

const cv::Scalar kCrossColour(255, 0, 0, 0);  // blue-green-red: pure blue
const cv::Scalar kLabelColour(127, 127, 127, 0);
constexpr double kLabelScale = 0.35;
// The cross leaves the hot pixel and 4 pixels around it free, so that the
// spot itself stays visible.
constexpr int kCrossGap = 5;
constexpr int kCrossEnd = 8;

}  // namespace

// The offsets come straight from the configuration. The text renderer works
// in fixed point and overflows far outside the picture, so an origin that
// puts the whole label out of sight is pulled in to a place where it is
// still out of sight (a label is well under kFarAway pixels wide and high).
cv::Point AnnotatedImage::labelOrigin(cv::Point hotPixel, cv::Size size) const {
    constexpr std::int64_t kFarAway = 4096;
    const std::int64_t x =
        std::clamp<std::int64_t>(std::int64_t{hotPixel.x} + dxText_, -kFarAway, size.width + kFarAway);
    const std::int64_t y =
        std::clamp<std::int64_t>(std::int64_t{hotPixel.y} + dyText_, -kFarAway, size.height + kFarAway);
    return {static_cast<int>(x), static_cast<int>(y)};
}

AnnotatedImage::AnnotatedImage(const cv::Mat& mean, std::int32_t dxText, std::int32_t dyText, double toEightBits)
    : dxText_(dxText), dyText_(dyText) {
    // 2 x 1.0 is exactly 2.0: an 8-bit mean is converted as it always was.
    const double scale = 2.0 * toEightBits;
    if (mean.type() == CV_32FC3) {
        cv::Mat grey;
        cv::cvtColor(mean, grey, cv::COLOR_BGR2GRAY);
        grey.convertTo(doubledMean_, CV_8U, scale, 0.0);
        return;
    }
    if (mean.type() != CV_32FC1)
        throw std::invalid_argument("AnnotatedImage needs a float mean of one or three channels");
    mean.convertTo(doubledMean_, CV_8U, scale, 0.0);
}

void AnnotatedImage::mark(std::int32_t x, std::int32_t y) { marks_.emplace_back(x, y); }

cv::Mat AnnotatedImage::render() const {
    cv::Mat image;
    cv::cvtColor(doubledMean_, image, cv::COLOR_GRAY2BGR, 3);
    for (const cv::Point& p : marks_) {
        cv::line(image, {p.x - kCrossGap, p.y}, {p.x - kCrossEnd, p.y}, kCrossColour, 1, cv::LINE_8, 0);
        cv::line(image, {p.x + kCrossGap, p.y}, {p.x + kCrossEnd, p.y}, kCrossColour, 1, cv::LINE_8, 0);
        cv::line(image, {p.x, p.y - kCrossGap}, {p.x, p.y - kCrossEnd}, kCrossColour, 1, cv::LINE_8, 0);
        cv::line(image, {p.x, p.y + kCrossGap}, {p.x, p.y + kCrossEnd}, kCrossColour, 1, cv::LINE_8, 0);
        const std::string label = std::to_string(p.x) + "," + std::to_string(p.y);
        cv::putText(image, label, labelOrigin(p, image.size()), cv::FONT_HERSHEY_SIMPLEX, kLabelScale, kLabelColour, 1,
                    cv::LINE_8, false);
    }
    return image;
}

bool AnnotatedImage::write(const std::string& path) const { return writeWholeImageFile(path, render()); }

}  // namespace speckmend
