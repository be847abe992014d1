// The planted list of the demo shoot: the hot pixels make_sample_shoot put
// into its frames and photographs, written as planted.txt beside them (the
// format is described in make_sample_shoot.cpp); score_detection and the
// tests read it back.
#pragma once

#include <string>
#include <vector>

namespace shoot {

struct PlantedPixel {
    int x = 0, y = 0, strength = 0;
    std::string kind;       // single, edge, cluster, plateau or border
    bool findable = false;  // the line says "found": the histogram detector can find it
};

struct PlantedList {
    int width = 0, height = 0;
    std::vector<PlantedPixel> pixels;
};

// Comment lines and unknown tags are passed over. Throws std::runtime_error
// naming a pixel line that does not read.
PlantedList parsePlanted(const std::string& text);

}  // namespace shoot
