// Decoding a dark frame.
#include "detect/run/frame_reader.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/image_file.h"

namespace speckmend {

cv::Mat readFrame(const std::string& fileName, bool keepColour) {
    std::vector<unsigned char> bytes;
    cv::Mat frame;
    readFrame(fileName, bytes, frame, keepColour);
    return frame;
}

void readFrame(const std::string& fileName, std::vector<unsigned char>& fileBytes, cv::Mat& frame, bool keepColour) {
    readImageFile(fileName, (keepColour ? cv::IMREAD_ANYCOLOR : cv::IMREAD_GRAYSCALE) | cv::IMREAD_IGNORE_ORIENTATION,
                  fileBytes, frame);
    // A colour file with an alpha channel decodes to four channels.
    if (keepColour && frame.channels() == 4) cv::cvtColor(frame, frame, cv::COLOR_BGRA2BGR);
}

}  // namespace speckmend
