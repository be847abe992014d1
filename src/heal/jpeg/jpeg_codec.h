// libjpeg codec objects together with their error manager, reading from and
// writing to memory, torn down in destruction so that a photo that ends in
// an error leaks nothing.
//
// The objects are built zeroed and outside any guarded step; the create
// functions run inside one (see jpeg_error.h). Destroying a codec that was
// never created, or whose creation failed half-way, is safe.
#pragma once

#include <cstdio>  // before jpeglib.h, which needs FILE
#include <cstring>
#include <span>
#include <vector>

#include "platform/jpeg_error.h"

namespace speckmend {

// Most memory one decompressor may take for its coefficient arrays. A file
// that declares a larger image is refused by the library ("Backing store not
// supported") instead of exhausting the machine; real photos of several
// hundred megapixels stay below it.
inline constexpr long kJpegDecoderMemoryLimit = 4L << 30;

// What each codec object owns: the library's struct, zeroed until it is
// created, and its error manager. jpeg_destroy tears down either kind of
// struct, and does nothing to one never created.
template <typename Codec>
class JpegCodecObject {
public:
    JpegCodecObject() { std::memset(&codec, 0, sizeof codec); }
    ~JpegCodecObject() { jpeg_destroy(reinterpret_cast<j_common_ptr>(&codec)); }
    JpegCodecObject(const JpegCodecObject&) = delete;
    JpegCodecObject& operator=(const JpegCodecObject&) = delete;

    Codec codec;
    JpegErrorManager errors;
};

class JpegDecoder : public JpegCodecObject<jpeg_decompress_struct> {
public:
    // Inside a guarded step: creates the codec with its memory limit and
    // bytes as its source (they must outlive the codec's use). A codec
    // created before, also one left half-way by an error, is reset instead
    // (jpeg_abort), which spares its allocation when one decoder reads many
    // small streams; what it returned from the last stream is then gone.
    void createFromMemory(JpegGuard& guard, const char* label, std::span<const unsigned char> bytes);
};

class JpegEncoder : public JpegCodecObject<jpeg_compress_struct> {
public:
    // Inside a guarded step: creates the codec with out as its destination:
    // the finished stream is out's whole content (anything in it before is
    // dropped). out must outlive the codec's use. A codec created before is
    // reset (jpeg_abort) and keeps its allocated table slots; every
    // parameter must be set again.
    void createToMemory(JpegGuard& guard, const char* label, std::vector<unsigned char>& out);

private:
    struct MemoryDestination {
        jpeg_destination_mgr library;  // first member: the codec's dest points here
        std::vector<unsigned char>* out = nullptr;
    };
    static void startMemory(j_compress_ptr codec);
    static boolean growMemory(j_compress_ptr codec);
    static void endMemory(j_compress_ptr codec);
    MemoryDestination memory_;
};

}  // namespace speckmend
