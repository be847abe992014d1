// Reading one dark frame from its file, as the detection run adds it to the
// mean.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {

// Reads a frame as 8-bit grey in its stored orientation (the Exif
// orientation tag is ignored: hot pixels live in sensor coordinates). With
// `asStored`, as the local detector reads it: a colour file keeps its three
// channels (blue, green, red) and a grey one its one, and a 16-bit file
// (PNG, TIFF) its 16 bits, so that raw values are analysed in their own
// units; files of other depths (float TIFF, say) come as 8 bits. Gives an
// empty image when the file cannot be read as an image. Safe to call from
// any thread.
cv::Mat readFrame(const std::string& fileName, bool asStored = false);

// The same into `frame`, whose allocator (if set) provides the storage;
// `fileBytes` is a scratch buffer kept between calls.
void readFrame(const std::string& fileName, std::vector<unsigned char>& fileBytes, cv::Mat& frame,
               bool asStored = false);

}  // namespace speckmend
