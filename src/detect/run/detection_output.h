// The outputs of a detection run, one stage for every detector: the map file
// with the console line of each entry and the totals, the annotated picture
// and the check sheet.
//
// Call order: construct over the mean as the frames gave it, before the
// detector works on it (the pictures show that mean); openMap once the
// detector's own console lines are out; the entries in the map's order,
// every spot (addPixel or addSpot) before the first line (addLine); finish;
// then writePictures. Memory: the annotated picture keeps the mean as 8-bit
// grey, and the check sheet a copy of the mean only when the detector
// overwrites it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "config/hot_pixel_map.h"
#include "config/settings.h"
#include "detect/common/findings.h"
#include "detect/run/annotated_image.h"
#include "platform/file_identity.h"

namespace speckmend {

// What the stage needs to know of the detector it serves.
struct DetectorTraits {
    bool overwritesMean = false;  // works on the mean in place
    bool mapsLines = false;       // may report hot lines: the totals count them too
    double toEightBits = 1.0;     // the mean's units to the 8-bit values the annotated picture shows
};

class DetectionOutput {
public:
    // Reads `outfile`, `hprad`, `outimage` with its offsets and `sheet`; the
    // settings must outlive the stage. `mean` is 32-bit float, one or three
    // channels. An output whose path names one of `inputs` (the run's frames)
    // is refused with a line of its own and never written.
    DetectionOutput(const DetectSettings& settings, const cv::Mat& mean, DetectorTraits detector,
                    FileIdentitySet inputs = {});

    DetectionOutput(const DetectionOutput&) = delete;
    DetectionOutput& operator=(const DetectionOutput&) = delete;

    // Starts the map file and writes the frame's size; FatalError when it
    // cannot be written or would replace an input. The map takes its name
    // at finish(), whole.
    void openMap(std::int32_t width, std::int32_t height);

    // A hot pixel at a bare position, with the configured radius; on the
    // sheet its strength is measured on the mean.
    void addPixel(std::int32_t x, std::int32_t y);
    // A spot the detector measured. One no wider than the configured radius
    // is written with the configured radius text, as addPixel writes it; a
    // wider one with its own radius.
    void addSpot(const Finding& spot);
    void addLine(const HotLine& line);

    // Closes the map and prints the totals.
    void finish();

    // The annotated picture and the check sheet, each when asked for, the
    // sheet with `rejected` after the entries, each whole or not at all. A
    // picture that cannot be written or would replace an input gets its
    // console line and the run goes on.
    void writePictures(const std::vector<Finding>& rejected = {});

private:
    // False (and the line printed) when `path` names an input frame.
    bool mayWrite(const char* key, const std::string& path) const;

    const DetectSettings& settings_;
    DetectorTraits detector_;
    std::int32_t configuredRadius_;
    std::optional<AnnotatedImage> annotation_;
    cv::Mat sheetMean_;  // empty unless a sheet is asked for
    Findings sheet_;
    std::vector<cv::Point> barePixels_;  // addPixel's, for the sheet
    FileIdentitySet inputs_;
    HotPixelMapWriter map_;
    std::int32_t pixelCount_ = 0;
    std::int32_t lineCount_ = 0;
};

}  // namespace speckmend
