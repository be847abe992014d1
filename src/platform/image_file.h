// Reading and writing image files, shared by both engines.
//
// Reading goes through memory with the image library's own decoders (those
// of cv::imread), so that the caller can keep the file buffer and the
// image's storage from one file to the next, and so that a decoder that
// throws on a damaged or oversized file is just a file that cannot be read.
//
// Writing: some of the image library's encoders (BMP among them) ignore failed writes
// and report success for a file cut short by a full disk. Encoding into
// memory first and writing the bytes ourselves makes every failure visible
// and leaves no cut file behind.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {

// Decodes the file into `image` (whose allocator, if set, provides the
// storage) with the cv::imread flags given; `fileBytes` is a scratch buffer
// kept between calls. Leaves `image` empty when the file cannot be read or
// decoded.
void readImageFile(const std::string& path, int flags, std::vector<unsigned char>& fileBytes, cv::Mat& image);
cv::Mat readImageFile(const std::string& path, int flags);

// Decodes an image held in memory with the cv::imread flags given; empty
// when it cannot be decoded, the decoder throws or it does not fit in memory.
cv::Mat decodeImage(const std::vector<unsigned char>& bytes, int flags);

// The same into `image` (whose allocator, if set, provides the storage), as
// readImageFile decodes the bytes it has read: also empty when the decoder
// throws or the image does not fit in memory.
void decodeImage(const std::vector<unsigned char>& bytes, int flags, cv::Mat& image);

// decodeImage with the pixels as the file stores them. The image library's
// TIFF reader turns and mirrors them by the file's Orientation tag whatever
// the flags (its other readers apply no orientation with
// cv::IMREAD_UNCHANGED or cv::IMREAD_IGNORE_ORIENTATION); this undoes it, so
// that hot pixels are looked for where the sensor has them and an output
// that keeps the tag shows as the source does.
cv::Mat decodeImageAsStored(const std::vector<unsigned char>& bytes, int flags);

// Encodes the image in the format of the path's extension (the path itself
// is not written); false when it has none, there is no encoder for it, or
// the image cannot be encoded.
bool encodeImage(const std::string& path, const cv::Mat& image, const std::vector<int>& parameters,
                 std::vector<unsigned char>& bytes);

// Whether the encoder of the path's extension, with these parameters, writes
// an image of this type so that it decodes (cv::IMREAD_UNCHANGED) with the
// same depth and channel count: whether the format holds 16 bits, grey or an
// alpha channel as the image library reads and writes it. Tried on a small
// image, so that the answer is the library's own whatever its build holds.
bool encoderKeepsType(const std::string& path, int type, const std::vector<int>& parameters);

// The format follows the path's extension, as with the library's own writer.
// False when there is no encoder for it, the image cannot be encoded, or the
// file cannot be written whole.
bool writeImageFile(const std::string& path, const cv::Mat& image, const std::vector<int>& parameters = {});

}  // namespace speckmend
