// Header-only size probes for the fuzz targets.
#include "image_header.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace speckmend::fuzz {

namespace {

struct ProbeError {
    jpeg_error_mgr library;
    std::jmp_buf jump;
};

[[noreturn]] void jumpBack(j_common_ptr codec) { std::longjmp(reinterpret_cast<ProbeError*>(codec->err)->jump, 1); }

void ignoreMessage(j_common_ptr, int) {}

// No object with a destructor lives in this frame: the library longjmps
// out of jpeg_read_header on a broken header.
bool jpegSize(const unsigned char* data, unsigned long size, DeclaredSize& result) {
    jpeg_decompress_struct codec;
    ProbeError error;
    codec.err = jpeg_std_error(&error.library);
    error.library.error_exit = jumpBack;
    error.library.emit_message = ignoreMessage;
    jpeg_create_decompress(&codec);
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&codec);
        return false;
    }
    jpeg_mem_src(&codec, data, size);
    jpeg_read_header(&codec, TRUE);
    result.known = true;
    result.width = codec.image_width;
    result.height = codec.image_height;
    jpeg_destroy_decompress(&codec);
    return true;
}

std::uint64_t bigEndian32(const std::string& bytes, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

}  // namespace

DeclaredSize declaredSize(const std::string& bytes) {
    DeclaredSize result;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xD8) {
        jpegSize(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), result);
        return result;
    }
    if (bytes.size() >= 24 && bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0 && bytes.compare(12, 4, "IHDR") == 0) {
        result.known = true;
        result.width = bigEndian32(bytes, 16);
        result.height = bigEndian32(bytes, 20);
    }
    return result;
}

}  // namespace speckmend::fuzz
