// The run settings record: everything one run needs, filled once by
// loadSettings (config/load_settings.h) and only read afterwards. Each engine
// holds a reference to its own section.
#pragma once

#include <cstdint>
#include <string>

#include "config/hot_pixel_map.h"
#include "config/xml_document.h"

namespace speckmend {

// Which analysis finds the hot pixels of a detection run.
enum class DetectorKind { histogram, local, photos };

struct DetectSettings {
    std::string filter;
    std::string indir;
    std::string outfile;
    double amount = 0.0;
    std::int32_t channels = 0;
    std::string hprad;
    std::string outimage;
    std::int32_t dxtext = 0;
    std::int32_t dytext = 0;

    // Optional keys, read after the seventeen above and echoed only when the
    // file names them.
    DetectorKind detector = DetectorKind::histogram;
    // The local detector: a pixel is hot when it stands more than `noise`
    // robust standard deviations above the local background, and never less
    // than `floor` DN; the background is taken over windows of `window`
    // pixels square.
    double noise = 5.0;
    double floor = 6.0;
    std::int32_t window = 32;
    std::string sheet;  // PNG path of the check sheet; empty: none
};

struct HealSettings {
    std::string filter;
    std::string indir;
    std::string outdir;
    std::string saveformat;
    double range = 0.0;
    std::int32_t method = 0;
    std::int32_t diffimages = 0;
    double mul = 0.0;
    HotPixelMap map;  // filled in heal mode only
};

// The two engines the first word of the command line chooses between.
enum class Mode { detect, heal };

struct Settings {
    XmlDocument document;
    DetectSettings detect;
    HealSettings heal;
    Mode mode = Mode::detect;  // meaningful once loadSettings has returned
};

}  // namespace speckmend
