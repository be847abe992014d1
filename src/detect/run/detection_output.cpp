// Writing what a detector found.
#include "detect/run/detection_output.h"

#include <cstdio>
#include <string>
#include <utility>

#include "config/number_text.h"
#include "detect/run/check_sheet.h"
#include "platform/whole_image_file.h"

namespace speckmend {

DetectionOutput::DetectionOutput(const DetectSettings& settings, const cv::Mat& mean, DetectorTraits detector,
                                 FileIdentitySet inputs)
    : settings_(settings),
      detector_(detector),
      configuredRadius_(leadingInt(settings.hprad)),
      inputs_(std::move(inputs)) {
    if (!settings_.outimage.empty()) {
        annotation_.emplace(mean, settings_.dxtext, settings_.dytext, detector_.toEightBits);
    }
    if (!settings_.sheet.empty()) sheetMean_ = detector_.overwritesMean ? mean.clone() : mean;
}

bool DetectionOutput::mayWrite(const char* key, const std::string& path) const {
    if (!inputs_.contains(path)) return true;
    std::printf("%s [%s] not written: it would replace an input frame\n", key, path.c_str());
    return false;
}

void DetectionOutput::openMap(std::int32_t width, std::int32_t height) {
    if (!mayWrite("outfile", settings_.outfile)) HotPixelMapWriter::refuse(settings_.outfile);
    map_.open(settings_.outfile);
    map_.writeSize(width, height);
}

void DetectionOutput::addPixel(std::int32_t x, std::int32_t y) {
    map_.writePixel(x, y, settings_.hprad);
    std::printf("hotpixel found at %d,%d\n", x, y);
    if (annotation_) annotation_->mark(x, y);
    if (!sheetMean_.empty()) barePixels_.emplace_back(x, y);
    ++pixelCount_;
}

void DetectionOutput::addSpot(const Finding& spot) {
    const bool lone = spot.radius <= configuredRadius_;
    map_.writePixel(spot.peak.x, spot.peak.y, lone ? settings_.hprad : std::to_string(spot.radius));
    std::printf("hotpixel found at %d,%d\n", spot.peak.x, spot.peak.y);
    if (annotation_) annotation_->mark(spot.peak.x, spot.peak.y);
    if (!sheetMean_.empty()) sheet_.spots.push_back(spot);
    ++pixelCount_;
}

void DetectionOutput::addLine(const HotLine& line) {
    map_.writeLine(line);
    std::printf(
        line.axis == HotLine::Axis::column ? "hot column found at %d with r=%d\n" : "hot row found at %d with r=%d\n",
        line.position, line.r);
    if (!sheetMean_.empty()) sheet_.lines.push_back(line);
    ++lineCount_;
}

void DetectionOutput::finish() {
    map_.finish();
    std::printf("\n%d hotpixel(s) found.\n", pixelCount_);
    if (detector_.mapsLines) std::printf("%d hot line(s) found.\n", lineCount_);
}

void DetectionOutput::writePictures(const std::vector<Finding>& rejected) {
    if (annotation_ && mayWrite("outimage", settings_.outimage) && !annotation_->write(settings_.outimage)) {
        std::printf("cannot write outimage [%s]\n", settings_.outimage.c_str());
    }
    annotation_.reset();
    if (sheetMean_.empty()) return;
    if (!barePixels_.empty()) {
        const std::vector<Finding> measured = spotsAt(sheetMean_, barePixels_, configuredRadius_);
        sheet_.spots.insert(sheet_.spots.end(), measured.begin(), measured.end());
    }
    sheet_.rejected = rejected;
    if (mayWrite("sheet", settings_.sheet) && !writeWholeImageFile(settings_.sheet, renderCheckSheet(sheetMean_, sheet_))) {
        std::printf("cannot write sheet [%s]\n", settings_.sheet.c_str());
    }
    sheetMean_.release();
}

}  // namespace speckmend
