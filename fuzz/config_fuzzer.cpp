// Fuzzes the configuration and map readers: the text of a configuration file
// and of a hot pixel map, read into the run settings as the program does.
//
// Input: one mode byte (even: heal, odd: detect), then the configuration
// text, then optionally "\n====\n" and the map text.
#include <cstdint>
#include <string>
#include <vector>

#include "config/load_settings.h"
#include "config/settings.h"
#include "fuzz_support.h"
#include "platform/fatal_error.h"

using namespace speckmend;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string mode = data[0] % 2 == 0 ? "heal" : "detect";
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto [config, map] = fuzz::splitAt(text, "\n====\n");

    const auto configPath = fuzz::scratchFolder() / "config.xml";
    const auto mapPath = fuzz::scratchFolder() / "hotpixels.xml";
    fuzz::writeBytes(configPath, reinterpret_cast<const std::uint8_t*>(config.data()), config.size());
    fuzz::writeBytes(mapPath, reinterpret_cast<const std::uint8_t*>(map.data()), map.size());

    std::vector<std::string> arguments{"speckmend", mode, configPath.string(), mapPath.string()};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    Settings settings;
    try {
        loadSettings(settings, static_cast<int>(arguments.size()), argv.data());
    } catch (const FatalError&) {
        return 0;  // refused input: the run would end with the message
    }
    // Whatever was accepted must hold what the reader promises.
    for (const HotPixel& pixel : settings.heal.map.pixels)
        if (pixel.x < 0 || pixel.y < 0 || pixel.r < 1) fuzz::invariantBroken("map holds a pixel the reader must skip");
    return 0;
}
