// Dark-frame analysis and the detection run.
#include "detect/detector.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <future>
#include <optional>
#include <stdexcept>
#include <thread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/fatal_error.h"
#include "detect/annotated_image.h"
#include "detect/hot_pixel_map.h"
#include "platform/directory.h"
#include "platform/file_system.h"

namespace speckmend {
namespace {

constexpr int kSmoothingKernel = 9;
constexpr double kHistogramLow = 0.0;
constexpr double kHistogramHigh = 256.0;

void requireChannels(std::int32_t channels) {
    if (channels < 1) throw FatalError("channels must be at least 1.", false);
}

// Decodes the entries of a listing ahead of the one being added, at most
// `depth` at a time, and hands them out in listing order. Decoding is the
// bulk of a run; summing is cheap, so with the decoders on the other cores
// the run takes about as long as decoding alone. Every result is a whole
// frame, so the memory held is `depth` frames beside the one being added.
class FrameReader {
public:
    FrameReader(const std::vector<std::string>& names, std::size_t depth) : names_(names), depth_(depth) {
        while (started_ < names_.size() && pending_.size() < depth_) startNext();
    }

    ~FrameReader() {
        // Futures of std::async wait in their destructors; the decoders
        // still running only read files.
        pending_.clear();
    }

    cv::Mat next() {
        cv::Mat frame = pending_.front().get();
        pending_.pop_front();
        if (started_ < names_.size()) startNext();
        return frame;
    }

private:
    void startNext() {
        pending_.push_back(std::async(std::launch::async, &Detector::readFrame, names_[started_]));
        ++started_;
    }

    const std::vector<std::string>& names_;
    std::size_t depth_;
    std::size_t started_ = 0;
    std::deque<std::future<cv::Mat>> pending_;
};

std::size_t decodeDepth() {
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(cores, 1, 4);
}

}  // namespace

Detector::Detector(const DetectSettings& settings) : settings_(settings) { run(); }

Detector::Detector(const DetectSettings& settings, Stepwise) : settings_(settings) {}

cv::Mat Detector::readFrame(const std::string& fileName) {
    try {
        return cv::imread(fileName, cv::IMREAD_GRAYSCALE | cv::IMREAD_IGNORE_ORIENTATION);
    } catch (const cv::Exception&) {
        // A damaged file can make a decoder throw rather than fail quietly;
        // either way it is not a frame.
        return {};
    } catch (const std::bad_alloc&) {
        return {};
    }
}

Detector::FrameResult Detector::addFrame(const std::string& fileName) { return addFrame(readFrame(fileName)); }

Detector::FrameResult Detector::addFrame(const cv::Mat& frame) {
    if (frame.empty()) return FrameResult::unreadable;
    if (frame.type() != CV_8UC1) throw std::invalid_argument("Detector::addFrame needs an 8-bit grey frame");
    if (accumulator_.empty()) {
        accumulator_.create(frame.rows, frame.cols);
        accumulator_.setTo(0.0);
    } else if (frame.rows != accumulator_.rows || frame.cols != accumulator_.cols) {
        return FrameResult::badDimension;
    }
    // Sums of 8-bit values stay exact in float up to 65,793 frames, so this
    // equals converting the frame to float and adding it.
    cv::accumulate(frame, accumulator_);
    return FrameResult::added;
}

void Detector::finishMean(std::int32_t frameCount) {
    if (frameCount < 1) throw std::invalid_argument("Detector::finishMean needs at least one frame");
    accumulator_.convertTo(accumulator_, CV_32F, 1.0 / static_cast<double>(frameCount), 0.0);
}

double Detector::chooseThreshold() {
    requireChannels(settings_.channels);
    if (accumulator_.empty()) throw std::logic_error("Detector::chooseThreshold before any frame");

    cv::GaussianBlur(accumulator_, accumulator_, cv::Size(kSmoothingKernel, kSmoothingKernel), 0.0, 0.0,
                     cv::BORDER_REPLICATE);

    const int bins[] = {settings_.channels};
    const float range[] = {static_cast<float>(kHistogramLow), static_cast<float>(kHistogramHigh)};
    const float* ranges[] = {range};
    const cv::Mat image = accumulator_;
    cv::Mat histogram;
    cv::calcHist(&image, 1, nullptr, cv::Mat(), histogram, 1, bins, ranges, true, false);

    const double total = static_cast<double>(frameWidth()) * static_cast<double>(frameHeight());
    const double width = (kHistogramHigh - kHistogramLow) / settings_.channels;
    double threshold = 0.0;
    std::int64_t cumulative = 0;
    for (int i = 0; i < settings_.channels; ++i) {
        const int count = static_cast<int>(histogram.at<float>(i));
        const double lower = kHistogramLow + i * width;
        const double upper = kHistogramLow + (i + 1) * width;
        threshold = upper;
        cumulative += count;
        const double fraction = static_cast<double>(cumulative) / total;
        std::printf("channel%d: %d pixels between %d and %d, curr.amount is %f\n", i, count,
                    static_cast<int>(lower), static_cast<int>(upper), fraction);
        if (settings_.amount <= fraction) break;
    }
    std::printf("\nTreshold at %d\n\n", static_cast<int>(threshold));
    return threshold;
}

void Detector::scanHotPixels(double threshold, const std::function<void(std::int32_t, std::int32_t)>& report) {
    if (accumulator_.empty()) return;
    cv::threshold(accumulator_, accumulator_, threshold, 255.0, cv::THRESH_TOZERO);

    const int width = accumulator_.cols;
    const int height = accumulator_.rows;
    for (int y = 1; y + 1 < height; ++y) {
        const float* above = accumulator_[y - 1];
        const float* row = accumulator_[y];
        const float* below = accumulator_[y + 1];
        for (int x = 1; x + 1 < width; ++x) {
            const float v = row[x];
            if (!(v > 0.0f)) continue;
            if (v > row[x - 1] && v > row[x + 1] && v > above[x] && v > below[x] && v > above[x - 1] &&
                v > above[x + 1] && v > below[x - 1] && v > below[x + 1]) {
                report(x, y);
            }
        }
    }
}

std::vector<cv::Point> Detector::scanHotPixels(double threshold) {
    std::vector<cv::Point> found;
    scanHotPixels(threshold, [&found](std::int32_t x, std::int32_t y) { found.emplace_back(x, y); });
    return found;
}

void Detector::run() {
    requireChannels(settings_.channels);

    // A relative folder is taken from where the program was started; an
    // empty one names no folder at all.
    const std::string folder = settings_.indir.empty() ? std::string() : resolvePath(currentDirectory(), settings_.indir);
    const std::string cannotOpen = "cannot open first file in " + settings_.indir;
    if (!changeDirectory(folder)) throw FatalError(cannotOpen, false);
    const std::vector<std::string> names = listDirectory(settings_.filter);
    if (names.empty()) throw FatalError(cannotOpen, false);

    std::int32_t frameCount = 0;
    {
        FrameReader reader(names, decodeDepth());
        for (const std::string& name : names) {
            switch (addFrame(reader.next())) {
                case FrameResult::added:
                    ++frameCount;
                    std::printf("%s processed.\n", name.c_str());
                    break;
                case FrameResult::unreadable:
                    std::printf("%s error:I/O!\n", name.c_str());
                    break;
                case FrameResult::badDimension:
                    std::printf("%s error:bad dimension!\n", name.c_str());
                    break;
            }
        }
    }
    if (frameCount == 0) throw FatalError("no readable image in " + settings_.indir, false);

    finishMean(frameCount);
    std::printf("\n3. Inspecting histogram...\n");

    // Taken from the mean before the smoothing overwrites it.
    std::optional<AnnotatedImage> annotation;
    if (!settings_.outimage.empty()) annotation.emplace(accumulator_, settings_.dxtext, settings_.dytext);

    const double threshold = chooseThreshold();

    HotPixelMapWriter map;
    map.open(settings_.outfile);
    map.writeSize(frameWidth(), frameHeight());
    std::int32_t found = 0;
    scanHotPixels(threshold, [&](std::int32_t x, std::int32_t y) {
        map.writePixel(x, y, settings_.hprad);
        std::printf("hotpixel found at %d,%d\n", x, y);
        if (annotation) annotation->mark(x, y);
        ++found;
    });
    map.finish();
    std::printf("\n%d hotpixel(s) found.\n", found);

    if (annotation && !annotation->write(settings_.outimage)) {
        std::printf("cannot write outimage [%s]\n", settings_.outimage.c_str());
    }
    annotation.reset();
    accumulator_.release();
}

}  // namespace speckmend
