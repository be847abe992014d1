// The photos detector's run.
#include "detect/photos/photos_run.h"

#include <algorithm>
#include <cstdio>

#include "config/number_text.h"
#include "detect/photos/photo_findings.h"
#include "detect/photos/photo_strips.h"
#include "detect/photos/photo_survey.h"
#include "detect/run/detection_output.h"
#include "detect/run/frame_reader.h"
#include "platform/fatal_error.h"
#include "platform/file_system.h"
#include "platform/image_file.h"

namespace speckmend {
namespace {

constexpr int kPartColumns = 6;
constexpr int kPartRows = 4;
constexpr int kSampleStep = 5;

void printReport(const std::string& name, FrameResult result) {
    switch (result) {
    case FrameResult::added: std::printf("%s processed.\n", name.c_str()); break;
    case FrameResult::unreadable:
        if (isSpecialFile(name)) std::printf("%s not read: %s\n", name.c_str(), kNotARegularFile);
        std::printf("%s error:I/O!\n", name.c_str());
        break;
    case FrameResult::badDimension: std::printf("%s error:bad dimension!\n", name.c_str()); break;
    }
    std::fflush(stdout);
}

// The median count of judging photos in each part of a grid over the frame,
// and the share of the frame no photo could judge.
void printCoverage(const cv::Mat& judged, int photos) {
    const int columns = std::min(kPartColumns, judged.cols), rows = std::min(kPartRows, judged.rows);
    std::printf("photos that could judge each part of the frame (median of %d, %d x %d parts):\n", photos, columns,
                rows);
    std::int64_t never = 0, sampled = 0;
    std::vector<std::uint16_t> values;
    for (int r = 0; r < rows; ++r) {
        std::string line;
        for (int c = 0; c < columns; ++c) {
            const int left = c * judged.cols / columns, right = (c + 1) * judged.cols / columns;
            const int top = r * judged.rows / rows, bottom = (r + 1) * judged.rows / rows;
            values.clear();
            for (int y = top; y < bottom; y += kSampleStep) {
                const std::uint16_t* row = judged.ptr<std::uint16_t>(y);
                for (int x = left; x < right; x += kSampleStep) values.push_back(row[x]);
            }
            int median = 0;
            if (!values.empty()) {
                std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2),
                                 values.end());
                median = values[values.size() / 2];
                never += std::count(values.begin(), values.end(), std::uint16_t{0});
                sampled += static_cast<std::int64_t>(values.size());
            }
            char cell[16];
            std::snprintf(cell, sizeof cell, " %5d", median);
            line += cell;
        }
        std::printf("%s\n", line.c_str());
    }
    std::printf("%.1f%% of the frame could be judged in no photo\n",
                sampled > 0 ? 100.0 * static_cast<double>(never) / static_cast<double>(sampled) : 0.0);
}

// The sheet's strips need the photos again: they are read once more, one
// after the other, until every entry has its crops.
void writeSheet(const DetectSettings& settings, const std::vector<std::string>& fileNames, const PhotoFindings& found,
                const PhotoJudgementSettings& judging, cv::Size size) {
    PhotoStrips strips(found, judging);
    std::vector<unsigned char> bytes;
    cv::Mat photo;
    for (const std::string& name : fileNames) {
        if (strips.full()) break;
        readFrame(name, bytes, photo, true);
        if (photo.empty() || photo.size() != size) continue;
        strips.offer(photo);
    }
    if (!writeImageFile(settings.sheet, strips.render())) {
        std::printf("cannot write sheet [%s]\n", settings.sheet.c_str());
    }
}

}  // namespace

std::size_t runPhotosDetector(const DetectSettings& settings, const std::vector<std::string>& fileNames) {
    std::size_t failed = 0;
    const auto report = [&failed](const std::string& name, FrameResult result) {
        if (result != FrameResult::added && !isDirectory(name)) ++failed;
        printReport(name, result);
    };
    PhotoJudgementSettings judging;
    judging.noise = settings.noise;
    judging.floor = settings.floor;
    PhotoSurvey survey(judging);
    if (!settings.outimage.empty()) survey.keepFirstPhoto();
    const std::int32_t photos = survey.survey(fileNames, report, [](const SurveyProgress& p) {
        std::printf("%d of %d photos read, %lld candidate(s) so far\n", p.read, p.total,
                    static_cast<long long>(p.candidates));
        std::fflush(stdout);
    });
    if (photos == 0) throw FatalError("no readable image in " + settings.indir, false);

    std::printf("\n3. Inspecting photos...\n");
    const EvidenceCounts& counts = *survey.counts();
    printCoverage(counts.judged(), photos);
    PhotoFindingSettings deciding;
    deciding.minRadius = std::max<std::int32_t>(1, leadingInt(settings.hprad));
    const PhotoFindings found = findHotPixels(counts, photos, deciding);
    std::printf("a judged pixel stands out by chance in %.4f%% of its photos\n\n", 100.0 * found.chanceRate);

    // The sheet is this detector's own; the output stage writes the map,
    // the lines and the annotated picture.
    DetectSettings outputs = settings;
    outputs.sheet.clear();
    cv::Mat first;
    if (!survey.firstPhoto().empty()) survey.firstPhoto().convertTo(first, CV_32F);
    DetectionOutput output(outputs, first, {.overwritesMean = false, .mapsLines = false});
    output.openMap(counts.size().width, counts.size().height);
    for (const Finding& spot : found.findings.spots) output.addSpot(spot);
    output.finish();
    output.writePictures();
    if (!settings.sheet.empty()) writeSheet(settings, fileNames, found, judging, counts.size());
    return failed;
}

}  // namespace speckmend
