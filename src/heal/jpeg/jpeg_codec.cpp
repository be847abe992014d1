// The codec objects of the JPEG path; see jpeg_codec.h.
#include "heal/jpeg/jpeg_codec.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>

#include <atomic>
#include <cstdint>

#include <jerror.h>

namespace speckmend {

namespace {

// Large blocks of the library (coefficient arrays of a whole photo: about
// 100 MB for 24 megapixels) come from mappings of their own that ask for
// transparent huge pages: touching them for the first time then costs a
// fault per 2 MB instead of one per 4 KB, about a fifth of the CPU time of a
// 24-megapixel heal. Smaller blocks stay with malloc.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kLargeMapping = 2 * kHugePage;
// In front of the block: what munmap needs. 64 bytes keep the block
// aligned for every use the library makes of it.
struct MappingHeader {
    void* base;
    std::size_t length;
};
constexpr std::size_t kHeaderRoom = 64;
static_assert(sizeof(MappingHeader) <= kHeaderRoom);

std::atomic<long> g_liveMappings{0};

}  // namespace

long liveJpegMappings() { return g_liveMappings.load(); }

}  // namespace speckmend

// The library's system-dependent allocator for large objects (jmemsys.h),
// which it calls through its exported symbol: the program's definition takes
// the place of the library's own (plain malloc and free). Both keep the
// library's contract: NULL when nothing can be had (the library then raises
// its out-of-memory error), and jpeg_free_large gets the size it asked for.
extern "C" void* jpeg_get_large(j_common_ptr, std::size_t size) {
    using namespace speckmend;
    if (size < kLargeMapping) return std::malloc(size);
    const std::size_t length = size + kHeaderRoom + kHugePage;
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    // Huge pages need 2 MB boundaries: the block starts on one.
    const auto start = (reinterpret_cast<std::uintptr_t>(base) + kHugePage - 1) & ~(kHugePage - 1);
    auto* header = reinterpret_cast<MappingHeader*>(start);
    madvise(header, size + kHeaderRoom, MADV_HUGEPAGE);  // a hint: without huge pages it is plain memory
    header->base = base;
    header->length = length;
    ++g_liveMappings;
    return reinterpret_cast<unsigned char*>(header) + kHeaderRoom;
}

extern "C" void jpeg_free_large(j_common_ptr, void* object, std::size_t size) {
    using namespace speckmend;
    if (size < kLargeMapping) {
        std::free(object);
        return;
    }
    const auto* header = reinterpret_cast<const MappingHeader*>(static_cast<unsigned char*>(object) - kHeaderRoom);
    munmap(header->base, header->length);
    --g_liveMappings;
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
