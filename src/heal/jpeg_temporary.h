// The repaired photo as a JPEG whose blocks the lossless path can transplant:
// same component layout and sampling as the source JPEG, so that its blocks
// line up with the source's one for one.
#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace speckmend {

// Writes an 8-bit BGR (3 channels) or grey (1 channel) image as a baseline
// JPEG at quality 100 whose component count, colour space and sampling
// factors are those of the JPEG at samplingSourcePath (grey for a grey
// source). Returns false (and leaves no file at path) on any failure,
// including a source that cannot be read, an image of another size than the
// source's, and a source this image cannot be matched to (four components,
// or a colour source with a grey image).
bool writeTemporaryJpeg(const cv::Mat& image, const std::string& samplingSourcePath, const std::string& path);

}  // namespace speckmend
