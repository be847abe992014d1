// The healing engine: mask and buffers and the per-file pipeline.
#include "heal/flow/healer.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "heal/flow/written_form.h"
#include "heal/inpaint/band_ends.h"
#include "heal/inpaint/repair_mask.h"
#include "heal/lossless_jpeg/lossless_jpeg_heal.h"
#include "platform/file_system.h"
#include "platform/image_file.h"
#include "platform/image_header.h"
#include "platform/image_metadata.h"
#include "platform/pending_file.h"
#include "regex/regex.h"

namespace speckmend {

namespace {

// Photos are loaded as the sensor recorded them: a portrait shot of a
// landscape sensor must not be turned upright, or its hot pixels would be
// looked for in the wrong places (and the size check would reject it).
constexpr int kLoadFlags = cv::IMREAD_ANYCOLOR | cv::IMREAD_IGNORE_ORIENTATION;

// 8 or 16 bits per channel; grey or colour, with an alpha channel or not.
bool isHealablePhoto(const cv::Mat& image) {
    return !image.empty() && (image.depth() == CV_8U || image.depth() == CV_16U) && image.channels() <= 4;
}

// How an output is read back for its difference image: 8-bit photos without
// alpha as they always were, the others as they are stored.
int readBackFlags(const cv::Mat& photo) {
    return photo.depth() == CV_8U && !hasAlphaChannel(photo) ? kLoadFlags : cv::IMREAD_UNCHANGED;
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

// What the plain path knows before the image reader decodes the photo: its
// size from the header, so that a file claiming a huge image allocates
// nothing, and for a JPEG whether its data is sound, which the reader itself
// does not tell (it only prints libjpeg's warnings). processed: decode it.
FileStatus judgeBeforeDecoding(const std::vector<unsigned char>& source, const HotPixelMap& map,
                               std::string& diagnostic) {
    const cv::Size expected(map.width, map.height);
    if (!Healer::looksLikeJpeg(source)) {
        const std::optional<cv::Size> size = imageSizeFromHeader(source);
        return size && *size != expected ? FileStatus::badDimension : FileStatus::processed;
    }
    // The reader decodes with the same library: what it cannot read, the
    // reader cannot either.
    LosslessHealResult judged = checkJpegSource(source, map);
    switch (judged.outcome) {
    case LosslessHealResult::Outcome::healed: return FileStatus::processed;
    case LosslessHealResult::Outcome::badDimension: return FileStatus::badDimension;
    case LosslessHealResult::Outcome::notReadable:
    case LosslessHealResult::Outcome::damaged: break;
    }
    diagnostic = std::move(judged.diagnostic);
    return FileStatus::cannotLoad;
}

}  // namespace

Healer::Healer(const HealSettings& settings) : Healer(settings, settings.indir, settings.outdir) {}

Healer::Healer(const HealSettings& settings, std::string inputFolder, std::string outputFolder)
    : settings_(settings), inputFolder_(std::move(inputFolder)), outputFolder_(std::move(outputFolder)) {}

bool Healer::savesJpeg(const std::string& saveformat) {
    std::string lower = saveformat;
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return lower == "jpg" || lower == "jpeg";
}

bool Healer::looksLikeJpeg(const std::vector<unsigned char>& bytes) {
    return bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

void Healer::prepareMask(const cv::Size& size) {
    if (mask_.size() == size) return;
    mask_.create(size, CV_8UC1);
    mask_.setTo(0);
    drawRepairMask(settings_.map, mask_);
    // The region planner needs areas that hold every masked pixel and finds
    // the masked content inside them itself; the discs' boxes are handed
    // over with a pixel to spare on every side, the planning the region
    // tests check against the whole-photo inpainting.
    std::vector<cv::Rect> areas = repairAreas(settings_.map, size);
    const std::vector<cv::Rect> bands = bandAreas(settings_.map, size);
    areas.insert(areas.end(), bands.begin(), bands.end());
    const cv::Rect photo(cv::Point(0, 0), size);
    for (cv::Rect& area : areas) area = (area - cv::Point(1, 1) + cv::Size(2, 2)) & photo;
    inpainter_ = RegionInpainter(mask_, settings_.range, areas);
    healed_.release();
    difference_.release();
}

void Healer::inpaint(const cv::Mat& photo) {
    if (!isHealablePhoto(photo))
        throw std::invalid_argument("Healer::inpaint: photo must be 8- or 16-bit with one to four channels");
    prepareMask(photo.size());
    // Kept while size, channel count and depth stay: a grey photo after
    // colour ones of the same size gets grey buffers.
    healed_.create(photo.size(), photo.type());
    if (settings_.diffimages != 0)
        difference_.create(photo.size(), CV_MAKETYPE(photo.depth(), colourChannels(photo).channels()));
    if (hasAlphaChannel(photo)) {
        photo.copyTo(healed_);
        repairInPlace(healed_);
        return;
    }
    inpainter_.inpaint(photo, healed_, settings_.method);
    repairBandEnds(healed_, mask_, settings_.map.lines, {}, photo.size(), settings_.range, settings_.method);
}

void Healer::repairInPlace(cv::Mat& image) {
    if (!hasAlphaChannel(image)) {
        inpainter_.inpaintInPlace(image, settings_.method);
        repairBandEnds(image, mask_, settings_.map.lines, {}, image.size(), settings_.range, settings_.method);
        return;
    }
    // The alpha channel is kept as it was; only the colours are repaired.
    cv::Mat colour = colourChannels(image);
    repairInPlace(colour);
    std::vector<int> pairs;
    for (int channel = 0; channel < colour.channels(); ++channel) pairs.insert(pairs.end(), {channel, channel});
    cv::mixChannels(&colour, 1, &image, 1, pairs.data(), colour.channels());
}

HealedPhoto Healer::heal(const std::string& fileName) {
    HealedPhoto result;
    std::vector<unsigned char> source;
    // A folder keeps its bare status line; anything else that cannot be read
    // says why (a FIFO or device, permissions).
    if (!readWholeFile(inputFolder_ + fileName, source, &result.diagnostic)) {
        result.status = FileStatus::cannotLoad;
        return result;
    }
    HealedPhoto::File output{outputFolder_ + outputName(fileName, settings_.saveformat), {}};
    if (savesJpeg(settings_.saveformat) && looksLikeJpeg(source)) {
        // Lossless: a JPEG by content (whatever its name) saved as JPEG keeps
        // everything but the blocks of the repaired pixels. The photo is
        // decoded whole only for a difference image.
        LosslessHealResult healed = healJpegLosslessly(source, settings_.map, settings_.range, settings_.method);
        if (healed.outcome == LosslessHealResult::Outcome::badDimension) {
            result.status = FileStatus::badDimension;
            return result;
        }
        if (healed.outcome != LosslessHealResult::Outcome::healed) {
            // Damaged or unreadable alike: nothing is written for it.
            result.status = FileStatus::cannotLoad;
            result.diagnostic = std::move(healed.diagnostic);
            return result;
        }
        output.bytes = std::move(healed.file);
        result.files.push_back(std::move(output));
        if (settings_.diffimages != 0) {
            const cv::Mat photo = decodeImage(source, kLoadFlags);
            if (isHealablePhoto(photo))
                addDifference(result, fileName, photo);
            else
                result.notes.push_back(fileName + " difference image skipped: the photo cannot be decoded whole\n");
        }
        return result;
    }

    healPlain(result, fileName, std::move(source), std::move(output));
    return result;
}

void Healer::healPlain(HealedPhoto& result, const std::string& fileName, std::vector<unsigned char> source,
                       HealedPhoto::File output) {
    result.status = judgeBeforeDecoding(source, settings_.map, result.diagnostic);
    if (result.status != FileStatus::processed) return;
    // Read first, so that the file need not be kept while the photo is
    // repaired; it is small beside the pixels.
    std::string unreadable;
    const ImageMetadata metadata = ImageMetadata::read(source, &unreadable);
    const std::vector<int> parameters = encoderParameters(settings_.saveformat);
    WrittenForm form = decodeForOutput(source, output.path, parameters, kLoadFlags);
    cv::Mat photo = std::move(form.photo);
    source = {};
    if (!isHealablePhoto(photo)) {
        result.status = FileStatus::cannotLoad;
        return;
    }
    if (photo.cols != settings_.map.width || photo.rows != settings_.map.height) {
        result.status = FileStatus::badDimension;
        return;
    }
    // Without a difference image nothing needs the photo as loaded: it is
    // repaired where it lies, sparing a copy of the whole image.
    const bool withDifference = settings_.diffimages != 0;
    cv::Mat repaired;
    if (withDifference) {
        inpaint(photo);
        repaired = healed_;
    } else {
        prepareMask(photo.size());
        repairInPlace(photo);
        repaired = photo;
    }
    if (!encodeImage(output.path, repaired, parameters, output.bytes)) {
        result.notes.push_back(notWrittenLine(fileName, output.path,
                                              "the image library cannot encode the photo in the format of its name"));
        result.status = FileStatus::cannotWrite;
        return;
    }
    result.files.push_back(std::move(output));
    const std::size_t convertedAt = result.notes.size();
    // Read back before the metadata is added: it changes no pixel, and the
    // image library's TIFF reader would turn them by the orientation it brings.
    if (withDifference) addDifference(result, fileName, photo);
    HealedPhoto::File& written = result.files.front();
    std::string why = unreadable;
    if (const std::vector<std::string> dropped = metadata.writeInto(written.bytes, repaired.size(), &why);
        !dropped.empty() || !unreadable.empty()) {
        const std::string what = dropped.empty() ? "metadata" : listed(dropped);
        form.converted.push_back(what + " dropped" + (why.empty() ? "" : " (" + why + ")"));
    }
    if (!form.converted.empty())
        result.notes.insert(result.notes.begin() + static_cast<std::ptrdiff_t>(convertedAt),
                            convertedLine(fileName, written.path, form.converted));
}

void Healer::addDifference(HealedPhoto& result, const std::string& fileName, const cv::Mat& photo) {
    // Taken against the output as it will be stored, so that it also shows
    // what the encoder changed, not only the repair.
    const HealedPhoto::File& output = result.files.front();
    const cv::Mat stored = decodeImage(output.bytes, readBackFlags(photo));
    if (stored.empty()) {
        result.notes.push_back(fileName + " difference image skipped: the output cannot be read back\n");
        return;
    }
    if (stored.size() != photo.size() || stored.type() != photo.type()) {
        result.notes.push_back(fileName +
                               " difference image skipped: the output reads back with another size or channel count\n");
        return;
    }
    // Of the colours only: the alpha channel is written as it was, and an
    // alpha of 0 would hide the image.
    const cv::Mat colour = colourChannels(photo);
    difference_.create(colour.size(), colour.type());
    cv::absdiff(colour, colourChannels(stored), difference_);
    // Rounds to nearest and saturates (to 0..255 at 8 bits), so small changes
    // become visible.
    difference_.convertTo(difference_, -1, settings_.mul, 0.0);
    HealedPhoto::File image{output.path + "-diff.png", {}};
    if (!encodeImage(image.path, difference_, {}, image.bytes)) {
        result.status = FileStatus::cannotWrite;
        return;
    }
    result.files.push_back(std::move(image));
}

FileStatus Healer::healFile(const std::string& fileName) {
    const HealedPhoto healed = heal(fileName);
    if (!healed.diagnostic.empty()) std::fputs(notHealedLine(fileName, healed.diagnostic).c_str(), stdout);
    for (const std::string& note : healed.notes) std::fputs(note.c_str(), stdout);
    for (const HealedPhoto::File& file : healed.files) {
        if (std::string why; !writeFileAtomically(file.path, file.bytes.data(), file.bytes.size(), &why)) {
            std::fputs(notWrittenLine(fileName, file.path, why).c_str(), stdout);
            return FileStatus::cannotWrite;
        }
    }
    return healed.status;
}

std::size_t Healer::run() {
    const HealSettings& settings = settings_;
    HealRun walk(settings, [&settings](const std::string& inputFolder, const std::string& outputFolder) {
        return std::make_unique<Healer>(settings, inputFolder, outputFolder);
    });
    return walk.run();
}

}  // namespace speckmend
