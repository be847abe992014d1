// Choosing and making the written form of a photo.
#include "heal/flow/written_form.h"

#include <opencv2/imgcodecs.hpp>

#include "platform/image_file.h"

namespace speckmend {

namespace {

bool isKeptDepth(int depth) { return depth == CV_8U || depth == CV_16U; }

// Depths the reader gives that the plain path does not repair as they are;
// such a photo is read at 8 bits, as it always was.
std::string depthConversion(int depth) {
    switch (depth) {
    case CV_16U: return "16 bits per channel to 8";
    case CV_8S: return "signed 8-bit samples to unsigned";
    case CV_16S: return "signed 16-bit samples to 8 bits";
    case CV_32S: return "32-bit integer samples to 8 bits";
    case CV_16F: return "16-bit floating-point samples to 8 bits";
    case CV_32F: return "32-bit floating-point samples to 8 bits";
    default: return "64-bit floating-point samples to 8 bits";
    }
}

// The photo with or without its alpha channel, at the given depth. 16 bits
// become 8 by the exact scale (65535 to 255), rounded.
cv::Mat converted(const cv::Mat& photo, int depth, bool alpha) {
    cv::Mat result = alpha ? photo : colourChannels(photo);
    if (depth != result.depth()) result.convertTo(result, depth, 255.0 / 65535.0);
    return result;
}

// The form the photo is written in, and what of it was converted, before
// the look at grey below.
WrittenForm chosenForm(const std::vector<unsigned char>& source, const std::string& outputPath,
                       const std::vector<int>& parameters, int loadFlags);

}  // namespace

bool hasAlphaChannel(const cv::Mat& photo) { return photo.channels() == 2 || photo.channels() == 4; }

cv::Mat colourChannels(const cv::Mat& photo) {
    if (!hasAlphaChannel(photo)) return photo;
    const int colours = photo.channels() - 1;
    cv::Mat colour(photo.size(), CV_MAKETYPE(photo.depth(), colours));
    std::vector<int> pairs;
    for (int channel = 0; channel < colours; ++channel) pairs.insert(pairs.end(), {channel, channel});
    cv::mixChannels(&photo, 1, &colour, 1, pairs.data(), colours);
    return colour;
}

std::string listed(const std::vector<std::string>& parts) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) text += i + 1 == parts.size() ? " and " : ", ";
        text += parts[i];
    }
    return text;
}

std::string convertedLine(const std::string& name, const std::string& path, const std::vector<std::string>& parts) {
    return name + " converted for its output " + path + ": " + listed(parts) + "\n";
}

WrittenForm decodeForOutput(const std::vector<unsigned char>& source, const std::string& outputPath,
                            const std::vector<int>& parameters, int loadFlags) {
    WrittenForm form = chosenForm(source, outputPath, parameters, loadFlags);
    // A format with no grey form (WebP) is given three equal channels: no
    // value changes, yet the file is no longer grey, which the user is told.
    if (!form.photo.empty() && form.photo.channels() == 1 && !encoderKeepsType(outputPath, form.photo.type(), parameters))
        form.converted.emplace_back("grey written as three equal colour channels");
    return form;
}

namespace {

WrittenForm chosenForm(const std::vector<unsigned char>& source, const std::string& outputPath,
                       const std::vector<int>& parameters, int loadFlags) {
    WrittenForm form;
    const cv::Mat native = decodeImageAsStored(source, cv::IMREAD_UNCHANGED);
    if (!native.empty() && native.depth() == CV_8U && (native.channels() == 1 || native.channels() == 3)) {
        // The reader gives these photos the same pixels with the flags of an
        // 8-bit reading (which applies no orientation either).
        form.photo = native;
        return form;
    }
    if (!native.empty() && isKeptDepth(native.depth()) && native.channels() <= 4) {
        const bool alpha = hasAlphaChannel(native);
        const int colours = alpha ? native.channels() - 1 : native.channels();
        // Keep as much as the format holds: the depth before the alpha
        // channel, since 16 bits are what such photos are made for.
        std::vector<std::pair<int, bool>> choices = {{native.depth(), alpha}};
        if (alpha && native.depth() != CV_8U) choices.insert(choices.end(), {{native.depth(), false}, {CV_8U, true}});
        for (const auto& [depth, keepAlpha] : choices) {
            if (!encoderKeepsType(outputPath, CV_MAKETYPE(depth, colours + (keepAlpha ? 1 : 0)), parameters)) continue;
            form.photo = converted(native, depth, keepAlpha);
            if (depth != native.depth()) form.converted.push_back(depthConversion(native.depth()));
            if (alpha && !keepAlpha) form.converted.emplace_back("alpha channel dropped");
            return form;
        }
    }
    // Neither 16 bits nor alpha can stay, or the reader gives a depth that
    // is not repaired as it is: the photo as an 8-bit reading gives it.
    form.photo = decodeImageAsStored(source, loadFlags);
    if (form.photo.empty() || native.empty()) return form;
    if (native.depth() != CV_8U) form.converted.push_back(depthConversion(native.depth()));
    if (hasAlphaChannel(native)) form.converted.emplace_back("alpha channel dropped");
    return form;
}

}  // namespace

}  // namespace speckmend
