#include "heal/jpeg_codec.h"

#include <cstring>
#include <filesystem>

#include "platform/file_system.h"

namespace speckmend {

JpegDecoder::JpegDecoder() { std::memset(&codec, 0, sizeof codec); }

JpegDecoder::~JpegDecoder() {
    jpeg_destroy_decompress(&codec);
    if (file != nullptr) std::fclose(file);
}

void JpegDecoder::create(JpegGuard& guard, const char* label) {
    codec.err = initJpegErrorManager(errors, guard, label);
    jpeg_create_decompress(&codec);
    codec.mem->max_memory_to_use = kJpegDecoderMemoryLimit;
    jpeg_stdio_src(&codec, file);
}

JpegEncoder::JpegEncoder() { std::memset(&codec, 0, sizeof codec); }

JpegEncoder::~JpegEncoder() { finish(); }

void JpegEncoder::create(JpegGuard& guard, const char* label) {
    codec.err = initJpegErrorManager(errors, guard, label);
    jpeg_create_compress(&codec);
    jpeg_stdio_dest(&codec, file);
}

bool JpegEncoder::finish() {
    jpeg_destroy_compress(&codec);
    if (file == nullptr) return true;
    const bool written = std::ferror(file) == 0;
    const bool closed = std::fclose(file) == 0;
    file = nullptr;
    return written && closed;
}

void removeWrittenJpeg(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error)) removeFile(path);
}

}  // namespace speckmend
