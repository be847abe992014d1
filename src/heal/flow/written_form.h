// The form in which the plain path (every output the image writer makes)
// repairs and writes a photo: as the photo is, 16 bits per channel, grey and
// an alpha channel included, where the output's format holds that; otherwise
// converted, with a line that says what was converted.
//
// A photo of 8 bits per channel without an alpha channel is read exactly as
// it always was, with the reader's flags of the caller. A photo of 16 bits
// keeps them and one with an alpha channel keeps it as far as the output's
// format holds them (PNG and TIFF hold both, WebP an alpha channel, PPM and
// PGM 16 bits); what the format cannot hold is converted: alpha left out, 16
// bits scaled to 8, and when neither can stay the photo is read as a photo of
// 8 bits without alpha always was. Grey stays grey wherever it did.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {

struct WrittenForm {
    // 8 or 16 bits per channel; one or three colour channels (blue, green,
    // red), then the alpha channel when there is one. Empty when the source
    // cannot be decoded.
    cv::Mat photo;
    // What was converted for the output, each as a part of the photo's
    // "converted" line: "16 bits per channel to 8", "alpha channel dropped".
    std::vector<std::string> converted;
};

// Decodes the source for an output at outputPath, written with the encoder
// parameters given; loadFlags are the reader's flags for a photo of 8 bits
// without alpha.
WrittenForm decodeForOutput(const std::vector<unsigned char>& source, const std::string& outputPath,
                            const std::vector<int>& parameters, int loadFlags);

// Whether the photo's last channel is alpha: two or four channels.
bool hasAlphaChannel(const cv::Mat& photo);

// The photo without its alpha channel (itself when it has none).
cv::Mat colourChannels(const cv::Mat& photo);

// "A", "A and B", "A, B and C".
std::string listed(const std::vector<std::string>& parts);

// The line printed before the status line of a photo whose output at `path`
// could not hold all of it, parts as in WrittenForm::converted (and what of
// its metadata was dropped):
// "<name> converted for its output <path>: <parts, listed>\n".
std::string convertedLine(const std::string& name, const std::string& path, const std::vector<std::string>& parts);

}  // namespace speckmend
