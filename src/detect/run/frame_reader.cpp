// Decoding a dark frame.
#include "detect/run/frame_reader.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/image_file.h"

namespace speckmend {

cv::Mat readFrame(const std::string& fileName, bool asStored) {
    std::vector<unsigned char> bytes;
    cv::Mat frame;
    readFrame(fileName, bytes, frame, asStored);
    return frame;
}

void readFrame(const std::string& fileName, std::vector<unsigned char>& fileBytes, cv::Mat& frame, bool asStored) {
    constexpr int kStoredOrientation = cv::IMREAD_IGNORE_ORIENTATION;
    if (!asStored) {
        readImageFile(fileName, cv::IMREAD_GRAYSCALE | kStoredOrientation, fileBytes, frame);
        return;
    }
    readImageFile(fileName, cv::IMREAD_ANYCOLOR | cv::IMREAD_ANYDEPTH | kStoredOrientation, fileBytes, frame);
    if (!frame.empty() && frame.depth() != CV_8U && frame.depth() != CV_16U) {
        // The file is still in fileBytes; the 8-bit decoder scales it as it
        // did before frames were read at their depth. Copied, so that the
        // frame keeps its allocator.
        decodeImage(fileBytes, cv::IMREAD_ANYCOLOR | kStoredOrientation).copyTo(frame);
    }
    // A colour file with an alpha channel decodes to four channels.
    if (frame.channels() == 4) cv::cvtColor(frame, frame, cv::COLOR_BGRA2BGR);
}

}  // namespace speckmend
