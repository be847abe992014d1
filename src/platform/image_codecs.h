// The image library's file codecs, loaded when first used.
//
// The codec module links about a hundred libraries that this program never
// calls into (raster GIS, DICOM, HEIF and their own dependencies); loading and
// relocating them and running their static initialisers would be nearly all
// of the program's start-up. The program is therefore linked without the
// module and loads it here on the first decode or encode, so a run that never
// turns a file into pixels (the usage text, a lossless JPEG heal without a
// difference image) never pays for it. The functions are those of the
// module, with its arguments and results.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace speckmend::codecs {

// Throws std::runtime_error when the module cannot be loaded.
cv::Mat imdecode(cv::InputArray buffer, int flags, cv::Mat* destination);
bool imencode(const std::string& extension, cv::InputArray image, std::vector<unsigned char>& buffer,
              const std::vector<int>& parameters);
bool imwrite(const std::string& path, cv::InputArray image, const std::vector<int>& parameters);
bool haveImageWriter(const std::string& path);

}  // namespace speckmend::codecs
