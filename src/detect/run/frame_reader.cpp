// Decoding a dark frame.
#include "detect/run/frame_reader.h"

#include <climits>
#include <exception>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/file_system.h"
#include "platform/image_file.h"
#include "platform/jpeg_image_decoder.h"

namespace speckmend {

cv::Mat readFrame(const std::string& fileName, bool asStored) {
    std::vector<unsigned char> bytes;
    cv::Mat frame;
    readFrame(fileName, bytes, frame, asStored);
    return frame;
}

// JPEG frames are decoded with libjpeg directly (jpeg_image_decoder.h gives
// the reader's pixels); anything else, and a JPEG that decoder leaves, goes
// to the image library's reader.
void readFrame(const std::string& fileName, std::vector<unsigned char>& fileBytes, cv::Mat& frame, bool asStored) {
    frame.release();
    if (!readWholeFile(fileName, fileBytes) || fileBytes.size() > static_cast<std::size_t>(INT_MAX)) return;
    try {
        if (decodeJpegImage(fileBytes, !asStored, frame) == JpegDecoding::decoded) return;
    } catch (const std::exception&) {
        frame.release();
        return;
    }
    constexpr int kStoredOrientation = cv::IMREAD_IGNORE_ORIENTATION;
    if (!asStored) {
        decodeImage(fileBytes, cv::IMREAD_GRAYSCALE | kStoredOrientation, frame);
        return;
    }
    decodeImage(fileBytes, cv::IMREAD_ANYCOLOR | cv::IMREAD_ANYDEPTH | kStoredOrientation, frame);
    if (!frame.empty() && frame.depth() != CV_8U && frame.depth() != CV_16U) {
        // The 8-bit decoder scales it as it did before frames were read at
        // their depth.
        decodeImage(fileBytes, cv::IMREAD_ANYCOLOR | kStoredOrientation, frame);
    }
    // A colour file with an alpha channel decodes to four channels.
    if (frame.channels() == 4) cv::cvtColor(frame, frame, cv::COLOR_BGRA2BGR);
}

}  // namespace speckmend
