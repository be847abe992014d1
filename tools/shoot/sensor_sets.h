// Dark-frame sets whose truth list gives each hot pixel's strength at the
// sensor: the level the site itself collects above its background, before
// demosaicing, white balance and JPEG dim or spread it. A detector is judged
// on what the sensor has, not on what survived the camera's processing.
//
//   bayer-q90-444, bayer-q90-420, bayer-q70-420
//       colour camera darks of an RGGB sensor, demosaiced as they are read
//       (linear, no white balance) and saved as JPEG at that quality with
//       full (4:4:4) or halved (4:2:0) chroma
//   bayer-wb-q90-444, bayer-wb-q90-420, bayer-wb-q70-420
//       the same with white balance: red and blue sites amplified by gains
//       drawn from the seed (red 1.6 to 2.4, blue 1.3 to 1.9) before
//       demosaicing, as cameras do
//   bayer-png
//       the linear colour darks saved losslessly (PNG)
//   beside-strong
//       dense grey darks (PNG unless --format jpg): two thirds of the hot
//       pixels come in pairs, a strong one (40 to 320 DN) and a weak one at
//       most a quarter as strong 3 to 15 pixels beside it, as a well-used
//       sensor has them; the rest stand alone
//
// The frames are written as those of shoot/dark_sets.h are (same folders,
// truth list and config.xml); the colour sets take --demosaic (bilinear,
// vng or ea: OpenCV's three methods) to see a detector through other
// demosaicing than the one it was tried on.
#pragma once

#include <string>
#include <vector>

#include "shoot/dark_sets.h"

namespace shoot {

const std::vector<std::string>& sensorSetNames();
bool isSensorSet(const std::string& name);

// Whether the set is saved in colour, and whether its name fixes the JPEG
// quality (so that --quality has nothing to say).
bool isColourSensorSet(const std::string& name);
bool sensorSetFixesQuality(const std::string& name);

// Throws std::runtime_error when the frame has no room for the spots, the
// options do not suit the set, or a file cannot be written.
void makeSensorSet(const DarkSetOptions& options);

}  // namespace shoot
