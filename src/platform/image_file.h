// Writing an image file so that failure is seen.
//
// Some of the image library's encoders (BMP among them) ignore failed writes
// and report success for a file cut short by a full disk. Encoding into
// memory first and writing the bytes ourselves makes every failure visible
// and leaves no cut file behind.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {

// The format follows the path's extension, as with the library's own writer.
// False when there is no encoder for it, the image cannot be encoded, or the
// file cannot be written whole.
bool writeImageFile(const std::string& path, const cv::Mat& image, const std::vector<int>& parameters = {});

}  // namespace speckmend
