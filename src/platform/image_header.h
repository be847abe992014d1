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

// The bytes one pixel of the image takes once decoded as stored (the
// channels the decoder gives, one or two bytes each: 16-bit samples stay 16
// bits, an alpha channel is kept), for PNG (a palette counted with an
// alpha channel), PBM/PGM/PPM, PAM and TIFF (8, four channels of 16 bits,
// the most any photo takes, when its first directory lies beyond bytes).
// Nothing for any other format or when the header does not tell, so that a
// caller can reckon with what it assumes of a photo.
std::optional<int> pixelBytesFromHeader(std::span<const unsigned char> bytes);

// The Orientation tag of a TIFF's first directory, 1 to 8 as in Exif; 1 for
// any other file and for a TIFF without a valid one.
int tiffOrientation(std::span<const unsigned char> bytes);

}  // namespace speckmend
