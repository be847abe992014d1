// The detect mode with the photos detector: from a folder of ordinary
// photographs of one camera to the map, the console summary and the check
// sheet, as the other detectors give them.
//
// Console: one line per photo in listing order ("processed.", "error:I/O!",
// "error:bad dimension!" for one of another size or kind), a progress line
// every few seconds on a long run, then how many photos could judge each
// part of the frame, the entries and the totals (detection_output.h). The
// annotated picture marks the entries on the first photo, in grey.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "config/settings.h"

namespace speckmend {

// Runs in the folder of the photos (the Detector has entered it and listed
// `fileNames`). Throws FatalError when no photo can be read, or the map
// cannot be written. Returns how many photos failed (folders do not count).
std::size_t runPhotosDetector(const DetectSettings& settings, const std::vector<std::string>& fileNames);

}  // namespace speckmend
