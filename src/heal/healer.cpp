// The healing engine: mask and buffers, the per-file pipeline and the run
// over the input folder.
#include "heal/healer.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/fatal_error.h"
#include "platform/directory.h"
#include "platform/file_system.h"
// INTEGRATION-TEMP: the transplant lands in parallel; this guard goes once it is in.
#if __has_include("heal/jpeg_transplant.h")
#include "heal/jpeg_transplant.h"
#else
namespace speckmend {
bool transplantJpegBlocks(const std::string&, const std::string&, const std::string&, const std::vector<HotPixel>&) {
    return false;
}
bool writeTemporaryJpeg(const cv::Mat&, const std::string&, const std::string&) { return false; }
}  // namespace speckmend
#endif
// INTEGRATION-TEMP: the pattern engine lands in parallel; this guard goes once it is in.
#if __has_include("regex/regex.h")
#include "regex/regex.h"
#define SPECKMEND_HAVE_REGEX 1
#else
#include <cctype>
#endif

namespace speckmend {

namespace {

// Photos are loaded as the sensor recorded them: a portrait shot of a
// landscape sensor must not be turned upright, or its hot pixels would be
// looked for in the wrong places (and the size check would reject it).
constexpr int kLoadFlags = cv::IMREAD_ANYCOLOR | cv::IMREAD_IGNORE_ORIENTATION;

bool isHealablePhoto(const cv::Mat& image) {
    return !image.empty() && image.depth() == CV_8U && (image.channels() == 1 || image.channels() == 3);
}

// The image writer throws for names it has no encoder for; either way the
// caller only needs to know whether the file is there.
bool writeImage(const std::string& path, const cv::Mat& image, const std::vector<int>& parameters) {
    try {
        return cv::imwrite(path, image, parameters);
    } catch (const cv::Exception&) {
        return false;
    }
}

std::vector<int> encoderParameters(const std::string& saveformat) {
    if (saveformat == "jpg") return {cv::IMWRITE_JPEG_QUALITY, 100};
    if (saveformat == "png") return {cv::IMWRITE_PNG_COMPRESSION, 9};
    return {};
}

// The trailing run of word characters (normally the extension) becomes the
// save format; a name that ends in another character stays as it is.
std::string outputName(const std::string& fileName, const std::string& saveformat) {
#ifndef SPECKMEND_HAVE_REGEX
    std::size_t start = fileName.size();
    while (start > 0 && (std::isalnum(static_cast<unsigned char>(fileName[start - 1])) || fileName[start - 1] == '_'))
        --start;
    if (start == fileName.size()) return fileName;
    return fileName.substr(0, start) + saveformat;
#else
    regex::rpattern pattern("\\w+$", regex::ignore_case);
    pattern.set_replacement(saveformat);
    regex::subst_results results;
    std::string name = fileName;
    regex::substitute(results, pattern, name);
    return name;
#endif
}

// Whether the name has ".jpg" anywhere, in any letter case.
bool namesJpeg(const std::string& fileName) {
#ifndef SPECKMEND_HAVE_REGEX
    for (std::size_t i = 0; i + 4 <= fileName.size(); ++i) {
        if (fileName[i] == '.' && std::tolower(static_cast<unsigned char>(fileName[i + 1])) == 'j' &&
            std::tolower(static_cast<unsigned char>(fileName[i + 2])) == 'p' &&
            std::tolower(static_cast<unsigned char>(fileName[i + 3])) == 'g')
            return true;
    }
    return false;
#else
    return regex::regex_match("\\.jpg", fileName, regex::ignore_case);
#endif
}

// The folder part of a path prefix such as outdir: everything before its
// last separator ("out/" gives "out", "out" gives nothing).
std::string folderOf(const std::string& prefix) {
    const std::size_t slash = prefix.rfind('/');
    if (slash == std::string::npos || slash == 0) return {};
    return prefix.substr(0, slash);
}

bool diskIntersectsImage(const HotPixel& pixel, const cv::Size& size) {
    const std::int64_t x = pixel.x, y = pixel.y, r = pixel.r;
    return x + r >= 0 && y + r >= 0 && x - r < size.width && y - r < size.height;
}

}  // namespace

Healer::Healer(const HealSettings& settings)
    : settings_(settings), inputFolder_(settings.indir), outputFolder_(settings.outdir) {}

void Healer::prepareBuffers(const cv::Mat& photo) {
    if (mask_.size() != photo.size()) {
        mask_.create(photo.size(), CV_8UC1);
        mask_.setTo(0);
        for (const HotPixel& pixel : settings_.map.pixels) {
            // Discs reaching over the border are clipped by the drawing
            // routine; one lying wholly outside is skipped first so that its
            // coordinates never reach it.
            if (pixel.r <= 0 || !diskIntersectsImage(pixel, photo.size())) continue;
            cv::circle(mask_, cv::Point(pixel.x, pixel.y), pixel.r, cv::Scalar(255), cv::FILLED, cv::LINE_8, 0);
        }
        inpainter_ = RegionInpainter(mask_, settings_.range);
        healed_.release();
        difference_.release();
    }
    // A grey photo after colour ones of the same size needs grey buffers.
    healed_.create(photo.size(), photo.type());
    if (settings_.diffimages != 0) difference_.create(photo.size(), photo.type());
}

void Healer::inpaint(const cv::Mat& photo) {
    if (!isHealablePhoto(photo))
        throw std::invalid_argument("Healer::inpaint: photo must be 8-bit with one or three channels");
    prepareBuffers(photo);
    inpainter_.inpaint(photo, healed_, settings_.method);
}

int Healer::healFile(const std::string& fileName) {
    const std::string inputPath = inputFolder_ + fileName;
    const cv::Mat photo = cv::imread(inputPath, kLoadFlags);
    if (!isHealablePhoto(photo)) return -1;
    if (photo.cols != settings_.map.width || photo.rows != settings_.map.height) return 0;

    inpaint(photo);

    const std::vector<int> parameters = encoderParameters(settings_.saveformat);
    const std::string outputPath = outputFolder_ + outputName(fileName, settings_.saveformat);
    if (settings_.saveformat == "jpg" && namesJpeg(fileName)) {
        // Only the blocks around the hot pixels are taken from the repaired
        // copy; everything else keeps the input's own coefficients.
        const std::string temporaryPath = outputFolder_ + kTemporaryName;
        if (!writeTemporaryJpeg(healed_, inputPath, temporaryPath)) return -1;
        if (!transplantJpegBlocks(inputPath, temporaryPath, outputPath, settings_.map.pixels)) return -1;
    } else if (!writeImage(outputPath, healed_, parameters)) {
        return -1;
    }

    if (settings_.diffimages != 0 && !writeDifference(fileName, photo, outputPath)) return -1;
    return 1;
}

bool Healer::writeDifference(const std::string& fileName, const cv::Mat& photo, const std::string& outputPath) {
    // Taken against the file as stored, so that it also shows what the
    // encoder changed, not only the repair.
    const cv::Mat stored = cv::imread(outputPath, kLoadFlags);
    if (stored.empty()) {
        std::printf("%s difference image skipped: the output cannot be read back\n", fileName.c_str());
        return true;
    }
    if (stored.size() != photo.size() || stored.type() != photo.type()) {
        std::printf("%s difference image skipped: the output reads back with another size or channel count\n",
                    fileName.c_str());
        return true;
    }
    cv::absdiff(photo, stored, difference_);
    // Rounds to nearest and saturates to 0..255, so small changes become visible.
    difference_.convertTo(difference_, -1, settings_.mul, 0.0);
    return writeImage(outputPath + "-diff.png", difference_, {});
}

void Healer::run() {
    // A relative indir is pinned to the folder the program started in before
    // the program moves into it; otherwise it would apply a second time to
    // every input path. A relative outdir then resolves against indir.
    inputFolder_ = resolvePath(currentDirectory(), settings_.indir);
    outputFolder_ = settings_.outdir;
    if (!changeDirectory(inputFolder_)) throw FatalError("cannot open first file in " + settings_.indir, false);
    const std::vector<std::string> names = listDirectory(settings_.filter);
    if (names.empty()) throw FatalError("cannot open first file in " + settings_.indir, false);

    const std::string outputFolder = folderOf(outputFolder_);
    if (!outputFolder.empty()) makeDirectories(outputFolder);

    for (const std::string& name : names) {
        const int status = healFile(name);
        if (status < 0)
            std::printf("%s error:I/O!\n", name.c_str());
        else if (status == 0)
            std::printf("%s error:bad dimension!\n", name.c_str());
        else
            std::printf("%s processed.\n", name.c_str());
        std::fflush(stdout);
    }
    removeFile(outputFolder_ + kTemporaryName);
}

}  // namespace speckmend
