// The detect mode: the run from the folder of dark frames to the map file,
// the annotated picture and the check sheet.
//
// The run lists the frames, averages them (run/frame_averager.h), hands the
// mean to the detector the settings choose, the histogram detector
// (histogram/) or the local one (local/), and writes what it found through
// the one output stage of both (run/detection_output.h). With the photos
// detector (photos/) the folder holds ordinary photographs, which are
// judged one by one rather than averaged (photos/photos_run.h).
//
// Call order: construct over the detect section of the run settings, then
// run() once, as with the Healer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/settings.h"
#include "detect/run/frame_averager.h"
#include "platform/file_identity.h"

namespace speckmend {

class Detector {
public:
    // The settings are only read, and must outlive the Detector.
    explicit Detector(const DetectSettings& settings);

    Detector(const Detector&) = delete;
    Detector& operator=(const Detector&) = delete;

    // Enters `indir`, adds every entry matching `filter` in listing order,
    // prints one line per entry, then detects and writes the outputs. Leaves
    // the process in `indir`. Throws FatalError when the folder cannot be
    // entered, nothing matches, no entry is a readable image, `channels` (the
    // histogram's bins) is below 1, or the map file cannot be written.
    // Returns how many frames failed: got a line other than "processed.".
    // Folders the filter lists (".", ".." among them) do not count.
    std::size_t run();

    // Reads one frame and adds it to the mean, as the run does for each
    // entry (on several threads).
    FrameResult addFrame(const std::string& fileName);

private:
    bool localDetectorChosen() const { return settings_.detector == DetectorKind::local; }

    struct FrameCounts {
        std::int32_t added = 0;
        std::size_t failed = 0;
    };
    FrameCounts addFrames(const std::vector<std::string>& fileNames);
    void runHistogramDetector(std::int32_t frameCount);
    void runLocalDetector();

    const DetectSettings& settings_;
    FrameAverager frames_;
    FileIdentitySet inputs_;  // the frames listed
    bool lossyFrames_ = false;  // some frame added is a JPEG (by its content)
};

}  // namespace speckmend
