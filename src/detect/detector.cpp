// The detection run.
#include "detect/detector.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "config/number_text.h"
#include "detect/histogram/histogram_detector.h"
#include "detect/local/local_detector.h"
#include "detect/photos/photos_run.h"
#include "detect/run/detection_output.h"
#include "detect/run/frame_reader.h"
#include "platform/directory.h"
#include "platform/fatal_error.h"
#include "platform/file_system.h"

namespace speckmend {
namespace {

// JPEG by its content, whatever its name: its first bytes are a start of
// image and the next marker.
bool isJpegFile(const std::string& name) {
    const std::vector<unsigned char> start = readFileStart(name, 3);
    return start.size() == 3 && start[0] == 0xFF && start[1] == 0xD8 && start[2] == 0xFF;
}

void requireBins(std::int32_t bins) {
    if (bins < 1) throw FatalError("channels must be at least 1.", false);
}

}  // namespace

// The local detector analyses each colour channel on its own; the histogram
// detector works on grey.
Detector::Detector(const DetectSettings& settings)
    : settings_(settings), frames_(settings.detector == DetectorKind::local) {}

FrameResult Detector::addFrame(const std::string& fileName) {
    return frames_.addFrame(readFrame(fileName, localDetectorChosen()));
}

std::size_t Detector::run() {
    if (settings_.detector == DetectorKind::histogram) requireBins(settings_.channels);

    // A relative folder is taken from where the program was started; an
    // empty one names no folder at all.
    const std::string folder =
        settings_.indir.empty() ? std::string() : resolvePath(currentDirectory(), settings_.indir);
    const std::string cannotOpen = "cannot open first file in " + settings_.indir;
    if (!changeDirectory(folder)) throw FatalError(cannotOpen, false);
    const std::vector<std::string> names = listDirectory(settings_.filter);
    if (names.empty()) throw FatalError(cannotOpen, false);
    if (settings_.detector == DetectorKind::photos) {
        return runPhotosDetector(settings_, names);
    }

    // No output may take the place of a frame: the outputs' paths are
    // relative to the same folder.
    for (const std::string& name : names) inputs_.add(name);
    const FrameCounts frames = addFrames(names);
    if (frames.added == 0) throw FatalError("no readable image in " + settings_.indir, false);
    if (localDetectorChosen()) {
        frames_.finishMean(frames.added);
        runLocalDetector();
    } else {
        runHistogramDetector(frames.added);
    }
    return frames.failed;
}

// One line per entry, in listing order.
Detector::FrameCounts Detector::addFrames(const std::vector<std::string>& fileNames) {
    FrameCounts counts;
    frames_.addFrames(fileNames, [this, &counts](const std::string& name, FrameResult result) {
        if (result != FrameResult::added && !isDirectory(name)) ++counts.failed;
        switch (result) {
        case FrameResult::added:
            ++counts.added;
            if (localDetectorChosen() && !lossyFrames_) lossyFrames_ = isJpegFile(name);
            std::printf("%s processed.\n", name.c_str());
            break;
        case FrameResult::unreadable:
            // The frame reader opens only regular files (and never waits on
            // a FIFO); the line says why this one was passed over.
            if (isSpecialFile(name)) std::printf("%s not read: %s\n", name.c_str(), kNotARegularFile);
            std::printf("%s error:I/O!\n", name.c_str());
            break;
        case FrameResult::badDimension: std::printf("%s error:bad dimension!\n", name.c_str()); break;
        }
    });
    return counts;
}

// The map is written line by line while the scan finds the hot pixels.
// Unless a picture shows the mean, the mean is smoothed stripe by stripe as
// the sum becomes it, and is never whole.
void Detector::runHistogramDetector(std::int32_t frameCount) {
    std::printf("\n3. Inspecting histogram...\n");
    const bool meanShown = !settings_.outimage.empty() || !settings_.sheet.empty();
    const cv::Mat& storage = frames_.meanStorage();
    std::optional<HistogramDetector> striped;
    if (!meanShown && HistogramDetector::smoothsInStripes(storage.size())) {
        striped.emplace(storage, settings_.amount, settings_.channels);
        const auto smooth = [&striped](const cv::Mat& source, cv::Range wide, cv::Range own, cv::Mat& target) {
            striped->smoothStripe(source, wide, own, target);
        };
        if (!frames_.finishMeanThrough(frameCount, HistogramDetector::kSmoothingReach, smooth)) striped.reset();
    }
    if (!striped) frames_.finishMean(frameCount);
    const cv::Mat& mean = frames_.mean();
    DetectionOutput output(settings_, mean, {.overwritesMean = true, .mapsLines = false}, inputs_);
    std::optional<HistogramDetector> whole;
    if (!striped) whole.emplace(mean, settings_.amount, settings_.channels);
    HistogramDetector& detector = striped ? *striped : *whole;
    const double threshold = detector.chooseThreshold();

    output.openMap(mean.cols, mean.rows);
    detector.scanHotPixels(threshold, [&output](std::int32_t x, std::int32_t y) { output.addPixel(x, y); });
    output.finish();
    frames_.release();
    output.writePictures();
}

void Detector::runLocalDetector() {
    std::printf("\n3. Inspecting background...\n");
    // Raw values of a 12- or 14-bit sensor stored in 16 bits are analysed as
    // they are: background, noise and floor are in those units.
    const std::int32_t bits = frames_.valueBits();
    if (frames_.depth() == CV_16U && bits < 16) {
        std::printf("16-bit frames holding %d-bit values: detecting in %d-bit units\n", bits, bits);
    }
    const cv::Mat& mean = frames_.mean();
    // A lone hot pixel keeps the configured radius, so its pix line is what
    // the histogram detector would write; a larger spot gets its own.
    LocalDetectorSettings local;
    local.noise = settings_.noise;
    local.floor = settings_.floor;
    local.window = settings_.window;
    local.minRadius = std::max<std::int32_t>(1, leadingInt(settings_.hprad));
    local.lossy = lossyFrames_;
    const LocalDetection detection = detectLocally(mean, local);

    for (const ChannelSummary& c : detection.channels) {
        std::printf("%s: background %.1f to %.1f DN, noise %.2f to %.2f DN in %d tile(s), threshold %.2f to %.2f DN\n",
                    c.name.c_str(), c.backgroundLow, c.backgroundHigh, c.noiseLow, c.noiseHigh, c.tiles, c.thresholdLow,
                    c.thresholdHigh);
    }
    if (detection.sites && detection.sites->footprintLearnt) {
        const SiteSummary& s = *detection.sites;
        std::printf("sites: footprint from %zu lone hot sites, noise %.2f to %.2f DN, threshold %.2f to %.2f DN at the "
                    "sensor\n",
                    s.sitesLearnt, s.noiseLow, s.noiseHigh, s.thresholdLow, s.thresholdHigh);
    } else if (detection.sites) {
        std::printf("sites: too few strong lone hot sites to learn their footprint from; channels tested alone\n");
    }
    std::printf("\n");

    // The pictures show the mean in 8-bit units.
    const double toEightBits = 1.0 / static_cast<double>(1 << (bits - 8));
    DetectionOutput output(settings_, mean, {.overwritesMean = false, .mapsLines = true, .toEightBits = toEightBits},
                           inputs_);
    output.openMap(mean.cols, mean.rows);
    for (const Finding& spot : detection.findings.spots) output.addSpot(spot);
    for (const HotLine& line : detection.findings.lines) output.addLine(line);
    output.finish();
    output.writePictures(detection.findings.rejected);
    frames_.release();
}

}  // namespace speckmend
