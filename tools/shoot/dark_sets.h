// Realistic dark-frame sets: frames as a camera gives them (a black level of
// 3 to 5 DN, read noise, dark-signal non-uniformity, shading) with hot spots
// planted at known places, for scoring detectors against.
//
//   OUT/dark/dark_01.png ...  the frames (grey PNG or JPEG; colour JPEG for bayer, 16-bit PNG for raw)
//   OUT/truth.txt             the truth list (format in truth.h)
//   OUT/config.xml            a detect section over OUT/dark/, map to OUT/hotpixels.xml
//
// Sets:
//   clean     low read noise (1.5 DN)
//   high-iso  read noise 5 DN and stronger non-uniformity
//   glow      amplifier glow: a smooth brightening of +40 DN toward a corner
//   clusters  pairs and 3 by 3 groups beside single hot pixels
//   lines     hot columns and a hot row beside single hot pixels
//   flicker   hot pixels that are lit in some frames only
//   bayer     colour camera darks: a Bayer mosaic, demosaiced and saved as JPEG,
//             so each hot site shows in its own colour
//   raw12     12-bit raw values in 16-bit PNGs (the clean set's levels times 16)
//   raw14     14-bit raw values in 16-bit PNGs (times 64)
// Strengths run from 10 DN above the background to saturation, evenly on a
// logarithmic scale. The same options and seed write the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace shoot {

struct DarkSetOptions {
    std::string set;
    std::string out;
    std::uint64_t seed = 1;
    int width = 3000, height = 2000;
    int frames = 8;
    int hot = 200;  // hot spots, lines not counted
    int quality = 92;
    std::string format;  // png or jpg; empty: the set's own (jpg for bayer, png otherwise)
};

const std::vector<std::string>& darkSetNames();
bool isDarkSet(const std::string& name);

// The most frames a set can have: which frames a flickering pixel is lit in
// is kept as bits of a 64-bit mask.
constexpr int kMaxSetFrames = 64;

// Throws std::runtime_error when the frame has no room for the spots or a
// file cannot be written.
void makeDarkSet(const DarkSetOptions& options);

}  // namespace shoot
