// Fuzzes the per-file healing pipeline on a mutated image file: load, size
// check, repair, output name, plain or lossless write, difference image.
// Whatever the file holds, the pipeline must not crash, must leave the
// original byte for byte as it was, and must write nothing outside the
// output folder.
//
// Input: one option byte (save format, file name, difference image, map
// size), then the image file.
#include <cstdint>
#include <filesystem>
#include <string>

#include "config/settings.h"
#include "fuzz_support.h"
#include "heal/flow/healer.h"
#include "image_header.h"
#include "platform/fatal_error.h"

using namespace speckmend;
namespace fs = std::filesystem;

namespace {

// Declared sizes between these two would be decoded for real and only
// measure the machine's memory; beyond the second the decoder refuses them
// before allocating, which is a path worth fuzzing.
constexpr std::uint64_t kMaxPixels = 1u << 20;
constexpr std::uint64_t kDecoderRefuses = 1u << 30;
const char* const kSaveFormats[] = {"jpg", "png", "jpg", "JPG", "bmp", "tif"};
const char* const kFileNames[] = {"photo.jpg", "photo.JPG", "photo.png", "photo.jpg~", "photo", "photo.jpeg"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t options = data[0];
    const std::string image(reinterpret_cast<const char*>(data + 1), size - 1);
    const fuzz::DeclaredSize declared = fuzz::declaredSize(image);
    if (declared.known && declared.pixels() > kMaxPixels && declared.pixels() <= kDecoderRefuses) return 0;

    const fs::path root = fuzz::scratchFolder() / "case";
    fs::remove_all(root);
    fs::create_directories(root / "in");
    fs::create_directories(root / "out");
    const std::string fileName = kFileNames[(options >> 3) % 6];
    fuzz::writeBytes(root / "in" / fileName, data + 1, size - 1);

    HealSettings settings;
    settings.filter = "*";
    settings.indir = (root / "in").string() + "/";
    settings.outdir = (root / "out").string() + "/";
    settings.saveformat = kSaveFormats[options % 6];
    settings.range = 3.0;
    settings.method = 1;
    settings.diffimages = (options >> 6) & 1;
    settings.mul = 60.0;
    // The map's size is the declared one, so that the pipeline goes past
    // the size check, unless the option byte asks for the wrong size.
    const bool wrongSize = (options >> 7) & 1;
    settings.map.width = declared.known ? static_cast<std::int32_t>(declared.width) + wrongSize : 64;
    settings.map.height = declared.known ? static_cast<std::int32_t>(declared.height) : 64;
    settings.map.pixels = {{0, 0, 1},
                           {5, 7, 3},
                           {settings.map.width / 2, settings.map.height / 2, 20},
                           {settings.map.width - 1, settings.map.height - 1, 2},
                           {1 << 30, 5, 1}};

    int status = 0;
    try {
        Healer healer(settings);
        status = static_cast<int>(healer.healFile(fileName));
    } catch (const FatalError&) {
        status = -2;  // the run would end with its message
    }

    if (status < -2 || status > 1) fuzz::invariantBroken("status outside the known outcomes");
    if (fuzz::readBytes(root / "in" / fileName) != image) fuzz::invariantBroken("the original changed");
    for (const auto& entry : fs::directory_iterator(root))
        if (entry.path().filename() != "in" && entry.path().filename() != "out")
            fuzz::invariantBroken("a file written beside the input and output folders");
    for (const auto& entry : fs::directory_iterator(root / "in"))
        if (entry.path().filename() != fileName) fuzz::invariantBroken("a file written into the input folder");
    bool output = false;
    for (const auto& entry : fs::directory_iterator(root / "out")) {
        if (entry.path().filename().string().rfind(".speckmend-", 0) == 0)
            fuzz::invariantBroken("a temporary file was left in the output folder");
        output = true;
    }
    if (status == 1 && !output) fuzz::invariantBroken("processed, yet no output file");
    return 0;
}
