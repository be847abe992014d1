// Reading the planted list.
#include "shoot/planted.h"

#include <sstream>
#include <stdexcept>

namespace shoot {

PlantedList parsePlanted(const std::string& text) {
    PlantedList planted;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string tag;
        if (!(words >> tag) || tag[0] == '#') continue;
        if (tag == "size") {
            words >> planted.width >> planted.height;
        } else if (tag == "pixel") {
            PlantedPixel p;
            std::string expected;
            if (!(words >> p.x >> p.y >> p.strength >> p.kind >> expected)) {
                throw std::runtime_error("bad planted line: " + line);
            }
            p.findable = expected == "found";
            planted.pixels.push_back(p);
        }
    }
    return planted;
}

}  // namespace shoot
