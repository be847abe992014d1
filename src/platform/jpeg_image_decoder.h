// Decoding a JPEG held in memory straight with libjpeg, for the dark frames
// of a detection run.
//
// The pixels are those of the image library's own JPEG reader (the same
// libjpeg, the same settings: the library's default DCT method and fancy
// upsampling, grey output taken from the luma alone, colour as
// blue-green-red), but decoding needs neither the library's codec module
// (whose loading costs a whole run on small frames, image_codecs.h) nor a
// copy of every row, and the rows go straight into the caller's image.
// Errors pass through the one libjpeg adapter (jpeg_error.h).
#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {

enum class JpegDecoding {
    decoded,     // `image` holds the picture
    notHandled,  // not a JPEG this decoder takes (none at all, four components, too large) or one it
                 // could not decode: `image` is empty, and the image library's reader decides
};

// `grey`: 8-bit one channel whatever the file holds; otherwise a grey JPEG
// gives one channel and a colour one three. `image`'s allocator, if set,
// provides the storage.
JpegDecoding decodeJpegImage(const std::vector<unsigned char>& bytes, bool grey, cv::Mat& image);

}  // namespace speckmend
