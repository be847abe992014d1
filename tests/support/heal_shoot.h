// A heal-mode shoot for the end-to-end tests: config.xml and hotpixels.xml
// beside an input and an output folder, all below one temporary root.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "config/hot_pixel_map.h"
#include "test_support.h"

namespace speckmend::testing {

struct HealShoot {
    TempFolder root;
    std::string indir = root / "in/";
    std::string outdir = root / "out/";
    std::string filter = "*.jpg";
    std::string saveformat = "jpg";
    // Keys left empty are not written, so the program takes their defaults.
    std::string range;
    std::string method;
    std::string diffimages;
    std::string mul;
    int width = 96;
    int height = 64;
    std::vector<HotPixel> pixels = {{20, 17, 2}, {70, 40, 1}};
    std::string mapText;  // when set, written instead of the map made from the fields above

    HealShoot();

    // Writes a file into the input folder.
    void add(const std::string& name, const std::string& bytes) const;
    void writeFiles() const;
    // A noise photo of the map's size with the hot pixels burnt in.
    cv::Mat photo(unsigned seed = 1, int channels = 3) const;
    // Runs heal mode on the shoot's files from `workingFolder` (the root
    // when empty).
    ProgramRun run(const std::string& workingFolder = "") const;
};

// Burns the hot pixels into a copy of the photo.
cv::Mat withHotPixels(const cv::Mat& photo, const std::vector<HotPixel>& pixels);

}  // namespace speckmend::testing
