// The detect mode: averages a folder of dark frames, picks a brightness
// threshold from the histogram of the smoothed mean, and reports every
// strict local maximum above it as a hot pixel.
//
// Call order: construct over the detect section of the run settings, then
// run() once, which performs the whole run (frames, map file, annotated
// image, console lines), as with the Healer. The steps are public as well so
// that they can be driven one by one; their call order is
//
//   addFrame...  finishMean  [accumulator()]  chooseThreshold  scanHotPixels
//
// and the accumulator is worked on in place: sum, mean, smoothed mean,
// suppressed smoothed mean. Each step may be called once per Detector.
//
// With the local detector (local_detector.h) chosen in the settings, frames
// are read in colour where they have it, the accumulator keeps their
// channels, and the run hands the mean to that detector instead of the
// histogram steps.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "config/settings.h"
#include "detect/run/frame_buffer_pool.h"

namespace speckmend {

class Detector {
public:
    enum class FrameResult {
        added,
        unreadable,    // not an image the decoder knows, or no file at all
        badDimension,  // size differs from the first added frame
    };

    // The settings are only read, and must outlive the Detector.
    explicit Detector(const DetectSettings& settings);

    Detector(const Detector&) = delete;
    Detector& operator=(const Detector&) = delete;

    // Enters `indir`, adds every entry matching `filter` in listing order,
    // writes the map file and, when asked, the annotated image. Leaves the
    // process in `indir`. Throws FatalError when the folder cannot be
    // entered, nothing matches, no entry is a readable image, `channels` is
    // below 1, or the map file cannot be written.
    void run();

    // Reads a frame as 8-bit grey in its stored orientation (the Exif
    // orientation tag is ignored: hot pixels live in sensor coordinates).
    // With `colour`, a colour file keeps its three channels (blue, green,
    // red) and a grey one its one. Gives an empty image when the file cannot
    // be read as an image. Safe to call from any thread.
    static cv::Mat readFrame(const std::string& fileName, bool colour = false);
    // The same into `frame`, whose allocator (if set) provides the storage;
    // `fileBytes` is a scratch buffer kept between calls.
    static void readFrame(const std::string& fileName, std::vector<unsigned char>& fileBytes, cv::Mat& frame,
                          bool colour = false);

    FrameResult addFrame(const std::string& fileName);
    // `frame` is 8-bit single-channel or empty, or for the local detector
    // also 8-bit three-channel; other types are a caller error
    // (std::invalid_argument). A frame whose size or channel count differs
    // from the first added one is refused as badDimension.
    FrameResult addFrame(const cv::Mat& frame);

    // Adds the frames named, in order, decoding them on several threads;
    // `report` is called on the calling thread for each name in order, as
    // soon as its frame has been added or refused.
    void addFrames(const std::vector<std::string>& fileNames,
                   const std::function<void(const std::string& fileName, FrameResult result)>& report);

    // frameCount is the number of frames added, at least 1.
    void finishMean(std::int32_t frameCount);

    // The sum before finishMean, the mean between finishMean and
    // chooseThreshold; of a one-channel run.
    cv::Mat_<float> accumulator() const { return accumulator_; }
    // The same with all channels (32-bit float, one or three).
    const cv::Mat& mean() const { return accumulator_; }

    // Smooths the mean in place, prints one line per histogram bin considered
    // and the threshold line, and returns the upper edge of the first bin at
    // which the cumulative share of pixels reaches `amount` (256 when it
    // never does). Needs a sized accumulator and `channels` of at least 1.
    double chooseThreshold();

    // Suppresses everything not above the threshold, then reports each pixel
    // that is strictly greater than all eight neighbours, rows from the top,
    // left to right. The outermost rows and columns are never reported.
    void scanHotPixels(double threshold, const std::function<void(std::int32_t x, std::int32_t y)>& report);
    std::vector<cv::Point> scanHotPixels(double threshold);

    std::int32_t frameWidth() const { return accumulator_.cols; }
    std::int32_t frameHeight() const { return accumulator_.rows; }

private:
    // The console lines, map and pictures of the local detector, from the
    // mean on.
    void reportLocal();

    bool colour() const { return settings_.detector == DetectorKind::local; }

    const DetectSettings& settings_;
    FrameBufferPool pool_;  // declared first: it must outlive the images using it
    cv::Mat accumulator_;   // CV_32FC1, or CV_32FC3 for colour frames
};

}  // namespace speckmend
