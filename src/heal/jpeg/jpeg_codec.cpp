// The codec objects of the JPEG path; see jpeg_codec.h.
#include "heal/jpeg/jpeg_codec.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <jerror.h>

#include "heal/jpeg/large_blocks.h"

// The library's system-dependent allocator for large objects, which it calls
// through its exported symbols: these definitions take the place of the
// library's own. Defined here, beside the codec objects, so that every
// program that makes a codec links them (large_blocks.h).
extern "C" void* jpeg_get_large(j_common_ptr, std::size_t size) { return speckmend::allocateLargeJpegBlock(size); }

extern "C" void jpeg_free_large(j_common_ptr, void* object, std::size_t size) {
    speckmend::freeLargeJpegBlock(object, size);
}

namespace speckmend {

void JpegDecoder::createFromMemory(JpegGuard& guard, const char* label, std::span<const unsigned char> bytes) {
    codec.err = initJpegErrorManager(errors, guard, label);
    if (codec.mem == nullptr) {
        jpeg_create_decompress(&codec);
        codec.mem->max_memory_to_use = kJpegDecoderMemoryLimit;
    } else {
        // Back to the state after creation; the permanent pool (source
        // manager, table slots) stays and is overwritten by the next header.
        jpeg_abort_decompress(&codec);
    }
    jpeg_mem_src(&codec, bytes.data(), static_cast<unsigned long>(bytes.size()));
}

namespace {

// The library's error exit leaves by longjmp, which must not start inside a
// catch block: the failure is only reported here.
bool resizeQuietly(std::vector<unsigned char>& out, std::size_t size) {
    try {
        out.resize(size);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

void JpegEncoder::createToMemory(JpegGuard& guard, const char* label, std::vector<unsigned char>& out) {
    codec.err = initJpegErrorManager(errors, guard, label);
    // A codec used before is only reset; the caller sets every parameter
    // again (jpeg_set_defaults or jpeg_copy_critical_parameters).
    if (codec.mem == nullptr)
        jpeg_create_compress(&codec);
    else
        jpeg_abort_compress(&codec);
    memory_.out = &out;
    memory_.library.init_destination = startMemory;
    memory_.library.empty_output_buffer = growMemory;
    memory_.library.term_destination = endMemory;
    codec.dest = &memory_.library;
}

// The vector is used as the library's buffer: it is grown (doubled) when
// full and cut to the bytes written at the end.
void JpegEncoder::startMemory(j_compress_ptr codec) {
    auto* memory = reinterpret_cast<MemoryDestination*>(codec->dest);
    std::vector<unsigned char>& out = *memory->out;
    // Small streams (a repair window's) start small: resize zero-fills what
    // it adds, and a stream reused for many windows keeps its capacity.
    if (!resizeQuietly(out, std::max<std::size_t>(out.capacity(), 1 << 12))) ERREXIT1(codec, JERR_OUT_OF_MEMORY, 0);
    memory->library.next_output_byte = out.data();
    memory->library.free_in_buffer = out.size();
}

boolean JpegEncoder::growMemory(j_compress_ptr codec) {
    auto* memory = reinterpret_cast<MemoryDestination*>(codec->dest);
    std::vector<unsigned char>& out = *memory->out;
    const std::size_t used = out.size();
    if (!resizeQuietly(out, used * 2)) ERREXIT1(codec, JERR_OUT_OF_MEMORY, 0);
    // The library calls this only with the whole buffer full.
    memory->library.next_output_byte = out.data() + used;
    memory->library.free_in_buffer = out.size() - used;
    return TRUE;
}

void JpegEncoder::endMemory(j_compress_ptr codec) {
    auto* memory = reinterpret_cast<MemoryDestination*>(codec->dest);
    memory->out->resize(memory->out->size() - memory->library.free_in_buffer);
}

}  // namespace speckmend
