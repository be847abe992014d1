// Fuzzes the lossless JPEG heal: a mutated source JPEG and a small map whose
// last pixel comes from the input's last twelve bytes (any position and
// radius). The heal may refuse the source, but must not crash; a refusal
// carries a message and no file; a healed output is a JPEG of the source's
// size that ends in the source's bytes after its image.
#include <cstdint>
#include <string>
#include <vector>

#include "config/hot_pixel_map.h"
#include "fuzz_support.h"
#include "heal/jpeg/jpeg_rewrite.h"
#include "heal/lossless_jpeg/lossless_jpeg_heal.h"
#include "image_header.h"

using namespace speckmend;

namespace {

// Declared sizes between these two would be decoded for real and only
// measure the machine's memory; beyond the second the decoder refuses them
// before allocating (at 2 bytes a pixel or more its coefficients exceed
// kJpegDecoderMemoryLimit), which is a path worth fuzzing.
constexpr std::uint64_t kMaxPixels = 1u << 20;
constexpr std::uint64_t kDecoderRefuses = std::uint64_t{1} << 31;

std::int32_t nonNegative(const std::uint8_t* bytes) {
    return static_cast<std::int32_t>((bytes[0] | bytes[1] << 8 | bytes[2] << 16 | std::uint32_t(bytes[3]) << 24) &
                                     0x7FFFFFFFu);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const fuzz::DeclaredSize declared = fuzz::declaredSize(bytes);
    if (!declared.known || (declared.pixels() > kMaxPixels && declared.pixels() <= kDecoderRefuses)) return 0;
    const std::span<const unsigned char> source(data, size);
    const int width = static_cast<int>(declared.width), height = static_cast<int>(declared.height);

    HotPixelMap map{{{3, 3, 2}, {width - 1, height - 1, 3}, {width / 2, height / 2, 17}}, width, height};
    if (size >= 12) {
        const std::uint8_t* tail = data + size - 12;
        map.pixels.push_back(
            {nonNegative(tail), nonNegative(tail + 4), std::max(1, nonNegative(tail + 8) >> (tail[11] & 31))});
    }
    const LosslessHealResult result = healJpegLosslessly(source, map, 3, 1);
    switch (result.outcome) {
    case LosslessHealResult::Outcome::notReadable:
    case LosslessHealResult::Outcome::damaged:
        if (result.diagnostic.empty() || !result.file.empty()) fuzz::invariantBroken("a refusal without a message");
        return 0;
    case LosslessHealResult::Outcome::badDimension:
        if (!result.file.empty()) fuzz::invariantBroken("a size mismatch with a file");
        return 0;
    case LosslessHealResult::Outcome::healed: break;
    }
    const fuzz::DeclaredSize out = fuzz::declaredSize(std::string(result.file.begin(), result.file.end()));
    if (!out.known || out.width != declared.width || out.height != declared.height)
        fuzz::invariantBroken("the healed output is not a JPEG of the source's size");
    JpegRewrite rewrite;
    std::string diagnostic;
    if (!rewrite.read(source, diagnostic)) fuzz::invariantBroken("healed a source that cannot be read");
    const std::size_t tail = size - rewrite.imageLength();
    if (result.file.size() < tail ||
        !std::equal(source.end() - static_cast<long>(tail), source.end(), result.file.end() - static_cast<long>(tail)))
        fuzz::invariantBroken("the bytes after the image were not kept");
    return 0;
}
