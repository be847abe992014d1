// libjpeg codec objects together with their error manager and file, torn down
// in destruction so that a photo that ends in an error leaks nothing.
//
// The objects are built zeroed and outside any guarded step; create() runs
// inside one (see jpeg_error.h). Destroying a codec that was never created,
// or whose creation failed half-way, is safe.
#pragma once

#include <cstdio>
#include <string>

#include "heal/jpeg_error.h"

namespace speckmend {

// Most memory one decompressor may take for its coefficient arrays. A file
// that declares a larger image is refused by the library ("Backing store not
// supported") instead of exhausting the machine; real photos of several
// hundred megapixels stay below it.
inline constexpr long kJpegDecoderMemoryLimit = 4L << 30;

class JpegDecoder {
public:
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // Inside a guarded step: creates the codec with its memory limit and
    // attaches file as its source.
    void create(JpegGuard& guard, const char* label);

    jpeg_decompress_struct codec;
    JpegErrorManager errors;
    std::FILE* file = nullptr;  // closed on destruction
};

class JpegEncoder {
public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // Inside a guarded step: creates the codec and attaches file as its
    // destination.
    void create(JpegGuard& guard, const char* label);

    // Destroys the codec and closes the file; false when the stream reported
    // a write error or closing failed (data may not have reached the disk).
    bool finish();

    jpeg_compress_struct codec;
    JpegErrorManager errors;
    std::FILE* file = nullptr;  // closed on destruction
};

// Removes a partly written output, but only a regular file: an output path
// that names a device or pipe is left alone.
void removeWrittenJpeg(const std::string& path);

}  // namespace speckmend
