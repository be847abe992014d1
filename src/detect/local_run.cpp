// The detection run from the mean on, when the local detector is chosen:
// its console lines, the map with its line elements, the annotated picture
// and the check sheet.
#include <cstdio>
#include <optional>
#include <string>

#include <opencv2/imgproc.hpp>

#include "config/hot_pixel_map.h"
#include "config/number_text.h"
#include "detect/run/annotated_image.h"
#include "detect/run/check_sheet.h"
#include "detect/detector.h"
#include "detect/local/local_detector.h"
#include "platform/image_file.h"

namespace speckmend {

void Detector::reportLocal() {
    std::printf("\n3. Inspecting background...\n");

    // A lone hot pixel keeps the configured radius text, so its pix line is
    // what the histogram detector would write; a larger spot gets its own.
    const std::int32_t configuredRadius = leadingInt(settings_.hprad);
    LocalDetectorSettings local;
    local.noise = settings_.noise;
    local.floor = settings_.floor;
    local.window = settings_.window;
    local.minRadius = std::max<std::int32_t>(1, configuredRadius);
    const LocalDetection detection = detectLocally(accumulator_, local);

    for (const ChannelSummary& c : detection.channels) {
        std::printf("%s: background %.1f to %.1f DN, noise %.2f to %.2f DN in %d tile(s), threshold %.2f to %.2f DN\n",
                    c.name.c_str(), c.backgroundLow, c.backgroundHigh, c.noiseLow, c.noiseHigh, c.tiles, c.thresholdLow,
                    c.thresholdHigh);
    }
    std::printf("\n");

    std::optional<AnnotatedImage> annotation;
    if (!settings_.outimage.empty()) {
        if (accumulator_.channels() == 1) {
            annotation.emplace(accumulator_, settings_.dxtext, settings_.dytext);
        } else {
            cv::Mat grey;
            cv::cvtColor(accumulator_, grey, cv::COLOR_BGR2GRAY);
            annotation.emplace(grey, settings_.dxtext, settings_.dytext);
        }
    }

    HotPixelMapWriter map;
    map.open(settings_.outfile);
    map.writeSize(frameWidth(), frameHeight());
    for (const LocalFinding& spot : detection.spots) {
        const bool lone = spot.radius <= configuredRadius;
        map.writePixel(spot.peak.x, spot.peak.y, lone ? settings_.hprad : std::to_string(spot.radius));
        std::printf("hotpixel found at %d,%d\n", spot.peak.x, spot.peak.y);
        if (annotation) annotation->mark(spot.peak.x, spot.peak.y);
    }
    for (const HotLine& line : detection.lines) {
        map.writeLine(line);
        std::printf(line.axis == HotLine::Axis::column ? "hot column found at %d with r=%d\n"
                                                       : "hot row found at %d with r=%d\n",
                    line.position, line.r);
    }
    map.finish();
    std::printf("\n%d hotpixel(s) found.\n", static_cast<int>(detection.spots.size()));
    std::printf("%d hot line(s) found.\n", static_cast<int>(detection.lines.size()));

    if (annotation && !annotation->write(settings_.outimage)) {
        std::printf("cannot write outimage [%s]\n", settings_.outimage.c_str());
    }
    annotation.reset();
    if (!settings_.sheet.empty() && !writeImageFile(settings_.sheet, renderCheckSheet(accumulator_, detection))) {
        std::printf("cannot write sheet [%s]\n", settings_.sheet.c_str());
    }
    accumulator_.release();
}

}  // namespace speckmend
