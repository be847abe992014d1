// The size of an image file read from its header alone, for judging a file
// before its pixels are decoded and stored: a small file may claim a huge
// image, and the decoder would allocate what it claims.
//
// Read as the image library's decoders read them (the first image of a
// file, no orientation applied): PNG (IHDR), BMP (the info header, a
// bottom-up or top-down height alike), PBM/PGM/PPM, PAM and PFM, TIFF (the
// first directory; classic TIFF only), WebP (VP8, VP8L and the VP8X canvas)
// and Sun raster. JPEG is left to the JPEG layer, which reads its frame
// header with libjpeg.
#pragma once

#include <optional>
#include <span>

#include <opencv2/core.hpp>

namespace speckmend {

// Nothing when the format is none of those above or its header is cut or
// malformed; the caller then decodes the file as it would without a header.
std::optional<cv::Size> imageSizeFromHeader(std::span<const unsigned char> bytes);

// The Orientation tag of a TIFF's first directory, 1 to 8 as in Exif; 1 for
// any other file and for a TIFF without a valid one.
int tiffOrientation(std::span<const unsigned char> bytes);

}  // namespace speckmend
