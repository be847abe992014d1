// Dark-frame analysis and the detection run.
#include "detect/detector.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "config/hot_pixel_map.h"
#include "config/number_text.h"
#include "detect/common/local_maximum.h"
#include "detect/common/row_stripes.h"
#include "detect/run/annotated_image.h"
#include "detect/run/check_sheet.h"
#include "platform/directory.h"
#include "platform/fatal_error.h"
#include "platform/file_system.h"
#include "platform/image_file.h"

namespace speckmend {
namespace {

constexpr int kSmoothingKernel = 9;
constexpr double kHistogramLow = 0.0;
constexpr double kHistogramHigh = 256.0;

void requireChannels(std::int32_t channels) {
    if (channels < 1) throw FatalError("channels must be at least 1.", false);
}

std::size_t workerCount() {
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(cores, 1, 4);
}

// cv::calcHist over `bins` uniform bins of [0, 256), run on stripes of rows
// in parallel. Each stripe stays below 2^24 pixels, so its float counts are
// exact, and their sum is the count cv::calcHist keeps before it turns
// counts into floats.
std::vector<std::int64_t> histogram(const cv::Mat& image, int bins) {
    constexpr int kExactFloat = 1 << 24;
    if (image.cols > kExactFloat) throw std::length_error("frame too wide for an exact histogram");
    const RowStripes stripes({0, image.rows}, std::min(RowStripes::kRows, kExactFloat / std::max(image.cols, 1)));

    const int sizes[] = {bins};
    const float range[] = {static_cast<float>(kHistogramLow), static_cast<float>(kHistogramHigh)};
    const float* ranges[] = {range};
    std::vector<cv::Mat> partial(static_cast<std::size_t>(stripes.count()));
    cv::parallel_for_(cv::Range(0, stripes.count()), [&](const cv::Range& range) {
        for (int s = range.start; s < range.end; ++s) {
            const cv::Mat rows = image.rowRange(stripes[s]);
            cv::calcHist(&rows, 1, nullptr, cv::Mat(), partial[static_cast<std::size_t>(s)], 1, sizes, ranges, true,
                         false);
        }
    });
    std::vector<std::int64_t> counts(static_cast<std::size_t>(bins), 0);
    for (const cv::Mat& part : partial) {
        for (int i = 0; i < bins; ++i)
            counts[static_cast<std::size_t>(i)] += static_cast<std::int64_t>(part.at<float>(i));
    }
    return counts;
}

}  // namespace

Detector::Detector(const DetectSettings& settings) : settings_(settings), pool_(workerCount() + 1) {}

cv::Mat Detector::readFrame(const std::string& fileName, bool colour) {
    std::vector<unsigned char> bytes;
    cv::Mat frame;
    readFrame(fileName, bytes, frame, colour);
    return frame;
}

void Detector::readFrame(const std::string& fileName, std::vector<unsigned char>& fileBytes, cv::Mat& frame,
                         bool colour) {
    readImageFile(fileName, (colour ? cv::IMREAD_ANYCOLOR : cv::IMREAD_GRAYSCALE) | cv::IMREAD_IGNORE_ORIENTATION,
                  fileBytes, frame);
    // A colour file with an alpha channel decodes to four channels.
    if (colour && frame.channels() == 4) cv::cvtColor(frame, frame, cv::COLOR_BGRA2BGR);
}

Detector::FrameResult Detector::addFrame(const std::string& fileName) {
    return addFrame(readFrame(fileName, colour()));
}

Detector::FrameResult Detector::addFrame(const cv::Mat& frame) {
    if (frame.empty()) return FrameResult::unreadable;
    if (frame.type() != CV_8UC1 && !(colour() && frame.type() == CV_8UC3)) {
        throw std::invalid_argument("Detector::addFrame needs an 8-bit grey frame");
    }
    if (accumulator_.empty()) {
        // Zero plus the first frame, in one pass.
        accumulator_.allocator = &pool_;
        frame.convertTo(accumulator_, CV_32F);
        return FrameResult::added;
    }
    if (frame.rows != accumulator_.rows || frame.cols != accumulator_.cols ||
        frame.channels() != accumulator_.channels()) {
        return FrameResult::badDimension;
    }
    // Sums of 8-bit values stay exact in float up to 65,793 frames, so this
    // equals converting the frame to float and adding it.
    cv::accumulate(frame, accumulator_);
    return FrameResult::added;
}

// Each worker takes the next entry of the listing, decodes it into its own
// buffer and adds it. Until a frame has fixed the size, entries are settled
// strictly in listing order, so the first readable one decides; after that
// the order of adding does not matter (the sums are exact integers) and
// workers only take turns at the accumulator. The console lines follow
// listing order regardless. The memory held is one frame per worker.
void Detector::addFrames(const std::vector<std::string>& fileNames,
                         const std::function<void(const std::string&, FrameResult)>& report) {
    const std::size_t count = fileNames.size();
    const std::size_t workers = std::min(workerCount(), std::max<std::size_t>(count, 1));
    std::vector<FrameResult> results(count, FrameResult::unreadable);
    std::vector<char> settled(count, 0);
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t next = 0;  // the entry to be taken next
    std::size_t turn = 0;  // entries before it are settled
    bool sized = !accumulator_.empty();
    std::mutex adding;  // serialises additions once sized
    std::exception_ptr failure;

    auto work = [&] {
        std::vector<unsigned char> fileBytes;
        cv::Mat frame;
        frame.allocator = &pool_;
        for (;;) {
            std::size_t i = 0;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (failure || next >= count) return;
                i = next++;
            }
            readFrame(fileNames[i], fileBytes, frame, colour());
            bool deciding = false;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return sized || turn == i || failure; });
                if (failure) return;
                // Not sized yet: every earlier entry is settled and no other
                // worker adds until this one has.
                deciding = !sized;
            }
            FrameResult result = FrameResult::unreadable;
            try {
                if (deciding) {
                    result = addFrame(frame);
                } else {
                    std::lock_guard<std::mutex> lock(adding);
                    result = addFrame(frame);
                }
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (!failure) failure = std::current_exception();
                changed.notify_all();
                return;
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (deciding && result == FrameResult::added) sized = true;
                results[i] = result;
                settled[i] = 1;
                while (turn < count && settled[turn]) ++turn;
            }
            changed.notify_all();
        }
    };

    // Whatever leaves this function, the workers are stopped and joined
    // first: they refer to the locals above.
    std::vector<std::thread> threads;
    auto stopAndJoin = [&](std::exception_ptr reason) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!failure) failure = reason;
        }
        changed.notify_all();
        for (std::thread& thread : threads) thread.join();
        threads.clear();
    };

    std::size_t reported = 0;
    try {
        threads.reserve(workers);
        for (std::size_t w = 0; w < workers; ++w) threads.emplace_back(work);
        while (reported < count) {
            std::size_t added = 0;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return turn > reported || failure; });
                if (failure) break;
                added = turn;
            }
            for (; reported < added; ++reported) report(fileNames[reported], results[reported]);
        }
    } catch (...) {
        stopAndJoin(std::current_exception());
        throw;
    }
    for (std::thread& thread : threads) thread.join();
    if (failure) std::rethrow_exception(failure);
}

void Detector::finishMean(std::int32_t frameCount) {
    if (frameCount < 1) throw std::invalid_argument("Detector::finishMean needs at least one frame");
    accumulator_.convertTo(accumulator_, CV_32F, 1.0 / static_cast<double>(frameCount), 0.0);
}

double Detector::chooseThreshold() {
    requireChannels(settings_.channels);
    if (accumulator_.empty()) throw std::logic_error("Detector::chooseThreshold before any frame");
    if (accumulator_.type() != CV_32FC1) throw std::logic_error("Detector::chooseThreshold needs grey frames");

    cv::GaussianBlur(accumulator_, accumulator_, cv::Size(kSmoothingKernel, kSmoothingKernel), 0.0, 0.0,
                     cv::BORDER_REPLICATE);

    const std::vector<std::int64_t> counts = histogram(accumulator_, settings_.channels);

    const double total = static_cast<double>(frameWidth()) * static_cast<double>(frameHeight());
    const double width = (kHistogramHigh - kHistogramLow) / settings_.channels;
    double threshold = 0.0;
    std::int64_t cumulative = 0;
    for (int i = 0; i < settings_.channels; ++i) {
        // A count as a float histogram holds it: exact up to 2^24, rounded
        // beyond, then truncated.
        const int count = static_cast<int>(static_cast<float>(counts[static_cast<std::size_t>(i)]));
        const double lower = kHistogramLow + i * width;
        const double upper = kHistogramLow + (i + 1) * width;
        threshold = upper;
        cumulative += count;
        const double fraction = static_cast<double>(cumulative) / total;
        std::printf("channel%d: %d pixels between %d and %d, curr.amount is %f\n", i, count, static_cast<int>(lower),
                    static_cast<int>(upper), fraction);
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
    const RowStripes stripes({1, height - 1});
    std::vector<std::vector<cv::Point>> found(static_cast<std::size_t>(stripes.count()));
    cv::parallel_for_(cv::Range(0, stripes.count()), [&](const cv::Range& range) {
        for (int s = range.start; s < range.end; ++s) {
            const cv::Range rows = stripes[s];
            std::vector<cv::Point>& list = found[static_cast<std::size_t>(s)];
            for (int y = rows.start; y < rows.end; ++y) {
                const float* above = accumulator_.ptr<float>(y - 1);
                const float* row = accumulator_.ptr<float>(y);
                const float* below = accumulator_.ptr<float>(y + 1);
                for (int x = 1; x + 1 < width; ++x) {
                    // Suppressed pixels are 0: most of the frame ends here.
                    if (!(row[x] > 0.0f)) continue;
                    if (isStrictLocalMaximum(above, row, below, width, x, EdgeRule::interiorOnly))
                        list.emplace_back(x, y);
                }
            }
        }
    });
    for (const std::vector<cv::Point>& list : found) {
        for (const cv::Point& p : list) report(p.x, p.y);
    }
}

std::vector<cv::Point> Detector::scanHotPixels(double threshold) {
    std::vector<cv::Point> found;
    scanHotPixels(threshold, [&found](std::int32_t x, std::int32_t y) { found.emplace_back(x, y); });
    return found;
}

void Detector::run() {
    if (!colour()) requireChannels(settings_.channels);

    // A relative folder is taken from where the program was started; an
    // empty one names no folder at all.
    const std::string folder =
        settings_.indir.empty() ? std::string() : resolvePath(currentDirectory(), settings_.indir);
    const std::string cannotOpen = "cannot open first file in " + settings_.indir;
    if (!changeDirectory(folder)) throw FatalError(cannotOpen, false);
    const std::vector<std::string> names = listDirectory(settings_.filter);
    if (names.empty()) throw FatalError(cannotOpen, false);

    std::int32_t frameCount = 0;
    addFrames(names, [&frameCount](const std::string& name, FrameResult result) {
        switch (result) {
        case FrameResult::added:
            ++frameCount;
            std::printf("%s processed.\n", name.c_str());
            break;
        case FrameResult::unreadable: std::printf("%s error:I/O!\n", name.c_str()); break;
        case FrameResult::badDimension: std::printf("%s error:bad dimension!\n", name.c_str()); break;
        }
    });
    if (frameCount == 0) throw FatalError("no readable image in " + settings_.indir, false);

    finishMean(frameCount);
    if (colour()) {
        reportLocal();
        return;
    }
    std::printf("\n3. Inspecting histogram...\n");

    // Taken from the mean before the smoothing overwrites it.
    std::optional<AnnotatedImage> annotation;
    if (!settings_.outimage.empty()) annotation.emplace(accumulator_, settings_.dxtext, settings_.dytext);
    // The check sheet shows the mean, not its smoothed copy; kept only when
    // a sheet is asked for.
    cv::Mat sheetMean;
    if (!settings_.sheet.empty()) sheetMean = accumulator_.clone();
    std::vector<cv::Point> sheetPoints;

    const double threshold = chooseThreshold();

    HotPixelMapWriter map;
    map.open(settings_.outfile);
    map.writeSize(frameWidth(), frameHeight());
    std::int32_t found = 0;
    scanHotPixels(threshold, [&](std::int32_t x, std::int32_t y) {
        map.writePixel(x, y, settings_.hprad);
        std::printf("hotpixel found at %d,%d\n", x, y);
        if (annotation) annotation->mark(x, y);
        if (!sheetMean.empty()) sheetPoints.emplace_back(x, y);
        ++found;
    });
    map.finish();
    std::printf("\n%d hotpixel(s) found.\n", found);

    if (annotation && !annotation->write(settings_.outimage)) {
        std::printf("cannot write outimage [%s]\n", settings_.outimage.c_str());
    }
    annotation.reset();
    accumulator_.release();
    if (!sheetMean.empty() &&
        !writeImageFile(settings_.sheet,
                        renderCheckSheet(sheetMean, findingsAt(sheetMean, sheetPoints, leadingInt(settings_.hprad))))) {
        std::printf("cannot write sheet [%s]\n", settings_.sheet.c_str());
    }
}

}  // namespace speckmend
