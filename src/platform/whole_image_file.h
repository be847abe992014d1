// Image files that appear whole or not at all.
//
// The image is encoded in memory in the format of the path's extension and
// the bytes are written through a PendingFile, so the file at the path is
// either the complete new picture or what was there before: a full disk, a
// folder that cannot be written or a signal never leave a cut file, and a
// failed write never removes an earlier one.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {

// False when the path has no extension the image library can encode, the
// image cannot be encoded, or the file cannot be written; `whyNot`, when
// given, then holds the system's reason for a failed write (empty when the
// encoding failed).
bool writeWholeImageFile(const std::string& path, const cv::Mat& image, const std::vector<int>& parameters = {},
                         std::string* whyNot = nullptr);

}  // namespace speckmend
