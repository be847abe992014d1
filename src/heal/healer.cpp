// The healing engine: mask and buffers, the per-file pipeline and the run
// over the input folder.
#include "heal/healer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <future>
#include <memory>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include "heal/jpeg_transplant.h"
#include "platform/directory.h"
#include "platform/fatal_error.h"
#include "platform/file_system.h"
#include "platform/image_file.h"
#include "regex/regex.h"

namespace speckmend {

namespace {

// Photos are loaded as the sensor recorded them: a portrait shot of a
// landscape sensor must not be turned upright, or its hot pixels would be
// looked for in the wrong places (and the size check would reject it).
constexpr int kLoadFlags = cv::IMREAD_ANYCOLOR | cv::IMREAD_IGNORE_ORIENTATION;

// The image reader throws for some files it refuses (a declared size beyond
// its pixel limit, say); such a file is one that cannot be loaded, not the
// end of the run.
cv::Mat loadImage(const std::string& path) { return readImageFile(path, kLoadFlags); }

bool isHealablePhoto(const cv::Mat& image) {
    return !image.empty() && image.depth() == CV_8U && (image.channels() == 1 || image.channels() == 3);
}

std::vector<int> encoderParameters(const std::string& saveformat) {
    if (saveformat == "jpg") return {cv::IMWRITE_JPEG_QUALITY, 100};
    if (saveformat == "png") return {cv::IMWRITE_PNG_COMPRESSION, 9};
    return {};
}

// The trailing run of word characters (normally the extension) becomes the
// save format; a name that ends in another character stays as it is.
std::string outputName(const std::string& fileName, const std::string& saveformat) {
    regex::rpattern pattern("\\w+$", regex::ignore_case);
    pattern.set_replacement(saveformat);
    regex::subst_results results;
    std::string name = fileName;
    regex::substitute(results, pattern, name);
    return name;
}

// Whether the name has ".jpg" anywhere, in any letter case.
bool namesJpeg(const std::string& fileName) {
    return regex::regex_match("\\.jpg", fileName, regex::ignore_case);
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

// The disc's bounding box with a pixel to spare, clipped to the image.
cv::Rect discBox(const HotPixel& pixel, const cv::Size& size) {
    const std::int64_t r = pixel.r + std::int64_t{1};
    const std::int64_t left = std::max<std::int64_t>(0, pixel.x - r);
    const std::int64_t top = std::max<std::int64_t>(0, pixel.y - r);
    const std::int64_t right = std::min<std::int64_t>(size.width, pixel.x + r + 1);
    const std::int64_t bottom = std::min<std::int64_t>(size.height, pixel.y + r + 1);
    return {static_cast<int>(left), static_cast<int>(top), static_cast<int>(std::max<std::int64_t>(0, right - left)),
            static_cast<int>(std::max<std::int64_t>(0, bottom - top))};
}

// The drawing routine takes seconds for radii of a billion and overflows
// beyond; no sensible map has them, but a hand-made one may.
constexpr std::int64_t kLargestDrawnRadius = 1 << 16;

// Largest d with d * d <= n, for 0 <= n < 2^62.
std::int64_t integerSqrt(std::int64_t n) {
    auto d = static_cast<std::int64_t>(std::sqrt(static_cast<long double>(n)));
    while (d * d > n) --d;
    while ((d + 1) * (d + 1) <= n) ++d;
    return d;
}

// A disc too large for the drawing routine, row by row.
void fillHugeDisc(cv::Mat& mask, const HotPixel& pixel) {
    const std::int64_t r = pixel.r;
    for (int row = 0; row < mask.rows; ++row) {
        const std::int64_t dy = row - static_cast<std::int64_t>(pixel.y);
        if (dy < -r || dy > r) continue;
        const std::int64_t half = integerSqrt(r * r - dy * dy);
        const std::int64_t left = std::max<std::int64_t>(pixel.x - half, 0);
        const std::int64_t right = std::min<std::int64_t>(pixel.x + half, mask.cols - 1);
        if (left <= right) mask.row(row).colRange(static_cast<int>(left), static_cast<int>(right) + 1).setTo(255);
    }
}

// The parts of the repaired photo that the lossless path can take blocks
// from: the 16-pixel cells around every hot pixel (whatever its radius),
// widened to the 32-pixel grid so that they hold every whole iMCU (at most
// 32 pixels square) that touches a cell. Encoding is local to the iMCU, so
// these blocks come out of the encoder the same whatever lies elsewhere.
std::vector<cv::Rect> donorAreas(const std::vector<HotPixel>& pixels, const cv::Size& size) {
    auto floorDiv = [](std::int64_t a, std::int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); };
    std::vector<cv::Rect> areas;
    for (const HotPixel& pixel : pixels) {
        const std::int64_t reach = pixel.r < 0 ? -static_cast<std::int64_t>(pixel.r) : pixel.r;
        const std::int64_t left = std::max<std::int64_t>(0, floorDiv(pixel.x - reach, 32) * 32);
        const std::int64_t top = std::max<std::int64_t>(0, floorDiv(pixel.y - reach, 32) * 32);
        const std::int64_t right = std::min<std::int64_t>(size.width, (floorDiv(pixel.x + reach, 32) + 1) * 32);
        const std::int64_t bottom = std::min<std::int64_t>(size.height, (floorDiv(pixel.y + reach, 32) + 1) * 32);
        if (left < right && top < bottom)
            areas.emplace_back(static_cast<int>(left), static_cast<int>(top), static_cast<int>(right - left),
                               static_cast<int>(bottom - top));
    }
    return areas;
}

// The band of 2r+1 columns or rows of a hot line, clipped to the image.
cv::Rect lineBand(const HotLine& line, const cv::Size& size) {
    const std::int64_t low = std::max<std::int64_t>(0, std::int64_t{line.position} - line.r);
    const bool column = line.axis == HotLine::Axis::column;
    const std::int64_t high =
        std::min<std::int64_t>(column ? size.width : size.height, std::int64_t{line.position} + line.r + 1);
    if (low >= high) return {};
    const int start = static_cast<int>(low), extent = static_cast<int>(high - low);
    return column ? cv::Rect(start, 0, extent, size.height) : cv::Rect(0, start, size.width, extent);
}

// The image library's inpainting takes the outermost frame of its mask as
// known, so a band running to the photo's edges kept its hot ends and spread
// them several pixels inwards. Each band is inpainted once more with its
// ends continued past the edges (photo and mask replicated), where that
// fault then lies; only the band's own pixels are taken back. `healed`
// holds the photo with everything else repaired already.
void repairBandEnds(cv::Mat& healed, const cv::Mat& mask, const std::vector<HotLine>& lines, double range,
                    int method) {
    constexpr int kContinued = 8;
    const int margin = static_cast<int>(std::ceil(std::max(range, 1.0))) + 2;
    for (const HotLine& line : lines) {
        const cv::Rect band = lineBand(line, healed.size());
        if (band.empty()) continue;
        const bool column = line.axis == HotLine::Axis::column;
        const cv::Rect area = (column ? cv::Rect(band.x - margin, 0, band.width + 2 * margin, band.height)
                                      : cv::Rect(0, band.y - margin, band.width, band.height + 2 * margin)) &
                              cv::Rect(cv::Point(), healed.size());
        const int along = column ? kContinued : 0, across = column ? 0 : kContinued;
        cv::Mat photoPart, maskPart, repaired;
        cv::copyMakeBorder(healed(area), photoPart, along, along, across, across, cv::BORDER_REPLICATE);
        cv::copyMakeBorder(mask(area), maskPart, along, along, across, across, cv::BORDER_REPLICATE);
        cv::inpaint(photoPart, maskPart, repaired, range, method);
        const cv::Rect inner(across + band.x - area.x, along + band.y - area.y, band.width, band.height);
        repaired(inner).copyTo(healed(band));
    }
}

// The map's pixels and, per line, squares of side 2r+1 centred on it, one
// after the other along its length, which together cover the band exactly.
// A map made for a side longer than the image reader ever loads fits no
// photo, so its lines need no squares (and a hand-made size of billions
// does not fill the memory).
std::vector<HotPixel> repairSquares(const HotPixelMap& map) {
    constexpr std::int64_t kLongestLoadableSide = 1 << 20;
    std::vector<HotPixel> squares = map.pixels;
    if (map.width > kLongestLoadableSide || map.height > kLongestLoadableSide) return squares;
    for (const HotLine& line : map.lines) {
        const bool column = line.axis == HotLine::Axis::column;
        const std::int64_t length = column ? map.height : map.width;
        const std::int64_t step = 2 * std::int64_t{line.r} + 1;
        for (std::int64_t at = line.r; at - line.r < length; at += step) {
            const auto along = static_cast<std::int32_t>(at);
            squares.push_back(column ? HotPixel{line.position, along, line.r} : HotPixel{along, line.position, line.r});
        }
    }
    return squares;
}

}  // namespace

Healer::Healer(const HealSettings& settings)
    : settings_(settings),
      repairSquares_(repairSquares(settings.map)),
      inputFolder_(settings.indir),
      outputFolder_(settings.outdir) {}

void Healer::prepareMask(const cv::Size& size) {
    if (mask_.size() == size) return;
    mask_.create(size, CV_8UC1);
    mask_.setTo(0);
    std::vector<cv::Rect> discBoxes;
    for (const HotPixel& pixel : settings_.map.pixels) {
        // Discs reaching over the border are clipped by the drawing routine;
        // one lying wholly outside is skipped first so that its coordinates
        // never reach it.
        if (pixel.r <= 0 || !diskIntersectsImage(pixel, size)) continue;
        discBoxes.push_back(discBox(pixel, size));
        if (pixel.r > kLargestDrawnRadius) {
            fillHugeDisc(mask_, pixel);
            continue;
        }
        cv::circle(mask_, cv::Point(pixel.x, pixel.y), pixel.r, cv::Scalar(255), cv::FILLED, cv::LINE_8, 0);
    }
    for (const HotLine& line : settings_.map.lines) {
        const cv::Rect band = lineBand(line, size);
        if (band.empty()) continue;
        mask_(band).setTo(255);
        discBoxes.push_back((band + cv::Size(2, 2) - cv::Point(1, 1)) & cv::Rect(cv::Point(), size));
    }
    inpainter_ = RegionInpainter(mask_, settings_.range, discBoxes);
    // Repairs still being written keep their own references to these.
    healed_.release();
    spareHealed_.release();
    donorAreas_ = std::make_shared<const std::vector<cv::Rect>>(donorAreas(repairSquares_, size));
}

void Healer::inpaint(const cv::Mat& photo) {
    if (!isHealablePhoto(photo))
        throw std::invalid_argument("Healer::inpaint: photo must be 8-bit with one or three channels");
    if (photo.size() != mask_.size()) difference_.release();
    prepareMask(photo.size());
    // Kept while size, channel count and depth stay: a grey photo after
    // colour ones of the same size gets grey buffers.
    healed_.create(photo.size(), photo.type());
    if (settings_.diffimages != 0) difference_.create(photo.size(), photo.type());
    inpainter_.inpaint(photo, healed_, settings_.method);
    repairBandEnds(healed_, mask_, settings_.map.lines, settings_.range, settings_.method);
}

Healer::Repair Healer::repair(const std::string& fileName) {
    Repair result;
    cv::Mat photo = loadImage(inputFolder_ + fileName);
    if (!isHealablePhoto(photo)) {
        result.status = FileStatus::cannotLoad;
        return result;
    }
    if (photo.cols != settings_.map.width || photo.rows != settings_.map.height) {
        result.status = FileStatus::badDimension;
        return result;
    }
    prepareMask(photo.size());
    if (settings_.diffimages != 0) {
        // The difference image needs the photo as loaded. Two cached
        // buffers take turns: the previous photo's repair may still be
        // being written while this one is made.
        std::swap(healed_, spareHealed_);
        healed_.create(photo.size(), photo.type());
        inpainter_.inpaint(photo, healed_, settings_.method);
        repairBandEnds(healed_, mask_, settings_.map.lines, settings_.range, settings_.method);
        result.photo = photo;
        result.healed = healed_;
    } else {
        // Nothing needs the photo afterwards: repair it where it lies and
        // spare the copy of the whole image.
        inpainter_.inpaintInPlace(photo, settings_.method);
        repairBandEnds(photo, mask_, settings_.map.lines, settings_.range, settings_.method);
        result.healed = photo;
    }
    result.donorAreas = donorAreas_;
    return result;
}

const cv::Mat& Healer::donorFor(const Repair& repaired) {
    const cv::Mat& healed = repaired.healed;
    if (donor_.size() != healed.size() || donor_.type() != healed.type()) {
        donor_.create(healed.size(), healed.type());
        donor_.setTo(cv::Scalar::all(128));
    }
    for (const cv::Rect& area : *repaired.donorAreas) healed(area).copyTo(donor_(area));
    return donor_;
}

FileStatus Healer::write(const std::string& fileName, const Repair& repaired) {
    const std::string inputPath = inputFolder_ + fileName;
    const std::vector<int> parameters = encoderParameters(settings_.saveformat);
    const std::string outputPath = outputFolder_ + outputName(fileName, settings_.saveformat);
    if (settings_.saveformat == "jpg" && namesJpeg(fileName)) {
        // Only the blocks around the hot pixels are taken from the repaired
        // copy; everything else keeps the input's own coefficients.
        const std::string temporaryPath = outputFolder_ + kTemporaryName;
        if (!writeTemporaryJpeg(donorFor(repaired), inputPath, temporaryPath)) return FileStatus::cannotLoad;
        if (!transplantJpegBlocks(inputPath, temporaryPath, outputPath, repairSquares_))
            return FileStatus::cannotLoad;
    } else if (!writeImageFile(outputPath, repaired.healed, parameters)) {
        return FileStatus::cannotLoad;
    }
    if (settings_.diffimages != 0 && !writeDifference(fileName, repaired.photo, outputPath))
        return FileStatus::cannotLoad;
    return FileStatus::processed;
}

FileStatus Healer::healFile(const std::string& fileName) {
    const Repair repaired = repair(fileName);
    return repaired.status == FileStatus::processed ? write(fileName, repaired) : repaired.status;
}

bool Healer::writeDifference(const std::string& fileName, const cv::Mat& photo, const std::string& outputPath) {
    // Taken against the file as stored, so that it also shows what the
    // encoder changed, not only the repair.
    const cv::Mat stored = loadImage(outputPath);
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
    return writeImageFile(outputPath + "-diff.png", difference_, {});
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

    // While one photo is written (the slow part for JPEG), the next one is
    // loaded and repaired on a second thread. Lines, files and the use of
    // the temporary file stay those of one photo after the other: only this
    // thread prints and writes. When the outputs land in the input folder,
    // a photo written now could be the next one read, so that run stays
    // strictly sequential.
    const bool overlap = !isSameFolder(inputFolder_, outputFolder.empty() ? "." : outputFolder);
    std::future<Repair> next;
    if (overlap) next = std::async(std::launch::async, [this, &names] { return repair(names[0]); });
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        const Repair repaired = overlap ? next.get() : repair(name);
        if (overlap && i + 1 < names.size())
            next = std::async(std::launch::async, [this, &names, i] { return repair(names[i + 1]); });
        const FileStatus status = repaired.status == FileStatus::processed ? write(name, repaired) : repaired.status;
        switch (status) {
        case FileStatus::cannotLoad: std::printf("%s error:I/O!\n", name.c_str()); break;
        case FileStatus::badDimension: std::printf("%s error:bad dimension!\n", name.c_str()); break;
        case FileStatus::processed: std::printf("%s processed.\n", name.c_str()); break;
        }
        std::fflush(stdout);
    }
    removeFile(outputFolder_ + kTemporaryName);
}

}  // namespace speckmend
