// Fuzzes the lossless JPEG path: a mutated source JPEG, a healed copy made
// from it the way the healing pipeline makes one, and a small map whose last
// pixel comes from the input's last twelve bytes (any position and radius
// the map reader accepts). The transplant may refuse the source, but must
// not crash, must leave the source as it was, and an output it reports as
// written must be a JPEG of the source's size.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "config/hot_pixel_map.h"
#include "fuzz_support.h"
#include "heal/jpeg_temporary.h"
#include "heal/jpeg_transplant.h"
#include "image_header.h"
#include "platform/fatal_error.h"

using namespace speckmend;

namespace {

// Declared sizes between these two would be decoded for real and only
// measure the machine's memory; beyond the second the decoder refuses them
// before allocating, which is a path worth fuzzing.
constexpr std::uint64_t kMaxPixels = 1u << 20;
constexpr std::uint64_t kDecoderRefuses = 1u << 30;

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

    const auto folder = fuzz::scratchFolder();
    const std::string sourcePath = folder / "source.jpg";
    const std::string healedPath = folder / "tmp_drop.jpg";
    const std::string outputPath = folder / "output.jpg";
    fuzz::writeBytes(sourcePath, data, size);
    std::filesystem::remove(healedPath);
    std::filesystem::remove(outputPath);

    cv::Mat photo = cv::imread(sourcePath, cv::IMREAD_ANYCOLOR | cv::IMREAD_IGNORE_ORIENTATION);
    if (photo.empty() || photo.depth() != CV_8U || (photo.channels() != 1 && photo.channels() != 3)) return 0;

    std::vector<HotPixel> pixels{{3, 3, 2}, {photo.cols - 1, photo.rows - 1, 3}, {photo.cols / 2, photo.rows / 2, 17}};
    if (size >= 12) {
        const std::uint8_t* tail = data + size - 12;
        pixels.push_back({nonNegative(tail), nonNegative(tail + 4), std::max(1, nonNegative(tail + 8) >> (tail[11] & 31))});
    }
    // A repair the transplant can see: every listed disc inverted.
    cv::Mat healed = photo.clone();
    for (const HotPixel& pixel : pixels) {
        if (pixel.x >= photo.cols || pixel.y >= photo.rows || pixel.r > 64) continue;
        cv::circle(healed, {pixel.x, pixel.y}, pixel.r, cv::Scalar::all(255), cv::FILLED);
    }
    if (!writeTemporaryJpeg(healed, sourcePath, healedPath)) return 0;

    bool written = false;
    try {
        written = transplantJpegBlocks(sourcePath, healedPath, outputPath, pixels);
    } catch (const FatalError&) {
        return 0;
    }
    if (fuzz::readBytes(sourcePath) != bytes) fuzz::invariantBroken("the transplant changed its source");
    if (written) {
        const fuzz::DeclaredSize out = fuzz::declaredSize(fuzz::readBytes(outputPath));
        if (!out.known || out.width != declared.width || out.height != declared.height)
            fuzz::invariantBroken("the written output is not a JPEG of the source's size");
    } else if (std::filesystem::exists(outputPath)) {
        fuzz::invariantBroken("a refused transplant left its output behind");
    }
    return 0;
}
