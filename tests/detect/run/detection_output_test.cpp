// The output stage both detectors write through: what each entry puts into
// the map and on the console, the totals, and the pictures of the mean as
// the frames gave it.
#include "detect/run/detection_output.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "detect/run/check_sheet.h"
#include "test_support.h"

namespace speckmend {
namespace {

using testing::readFile;
using testing::TempFolder;

template <typename Action>
std::string printed(Action action) {
    ::testing::internal::CaptureStdout();
    action();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

Finding spotAt(int x, int y, int radius, float strength = 20.0f) {
    Finding spot;
    spot.peak = {x, y};
    spot.radius = radius;
    spot.strength = strength;
    return spot;
}

// The settings of a run into `folder`, with the default radius text.
DetectSettings settingsIn(const TempFolder& folder) {
    DetectSettings settings;
    settings.outfile = folder / "map.xml";
    settings.hprad = "3";
    return settings;
}

// The sheet stored at `path` is the sheet of `findings` on `mean`.
void expectSheet(const std::string& path, const cv::Mat& mean, const Findings& findings) {
    const cv::Mat sheet = cv::imread(path, cv::IMREAD_COLOR);
    const cv::Mat reference = renderCheckSheet(mean, findings);
    ASSERT_EQ(sheet.size(), reference.size());
    EXPECT_EQ(cv::norm(sheet, reference, cv::NORM_INF), 0.0);
}

const std::string kMapStart = "<?xml version=\"1.0\"?>\n<hotpixels>\n <width>40</width>\n <height>30</height>\n";

TEST(DetectionOutput, EveryEntryGoesIntoTheMapAndOnTheConsole) {
    struct Row {
        const char* name;
        const char* hprad;
        DetectorTraits detector;
        std::vector<cv::Point> pixels;  // bare positions
        std::vector<Finding> spots;
        std::vector<HotLine> lines;
        std::string map;      // after the size lines
        std::string console;  // after "hotpixel found" lines
    };
    const HotLine column{HotLine::Axis::column, 12, 1};
    const HotLine row{HotLine::Axis::row, 7, 2};
    const Row rows[] = {
        // bare positions carry the radius text as configured
        {"bare positions",
         "3",
         {},
         {{5, 6}, {20, 9}},
         {},
         {},
         " <pix x=\"5\" y=\"6\" r=\"3\"/>\n <pix x=\"20\" y=\"9\" r=\"3\"/>\n",
         "hotpixel found at 5,6\nhotpixel found at 20,9\n\n2 hotpixel(s) found.\n"},
        {"the radius text is copied",
         "2.5",
         {},
         {{5, 6}},
         {},
         {},
         " <pix x=\"5\" y=\"6\" r=\"2.5\"/>\n",
         "hotpixel found at 5,6\n\n1 hotpixel(s) found.\n"},
        {"nothing found", "3", {}, {}, {}, {}, "", "\n0 hotpixel(s) found.\n"},
        // measured spots: up to the configured radius as configured, wider ones their own
        {"lone and wide spots",
         "3px",
         {.overwritesMean = false, .mapsLines = true},
         {},
         {spotAt(5, 6, 3), spotAt(20, 9, 2), spotAt(30, 20, 5)},
         {},
         " <pix x=\"5\" y=\"6\" r=\"3px\"/>\n <pix x=\"20\" y=\"9\" r=\"3px\"/>\n <pix x=\"30\" y=\"20\" r=\"5\"/>\n",
         "hotpixel found at 5,6\nhotpixel found at 20,9\nhotpixel found at 30,20\n\n3 hotpixel(s) found.\n"
         "0 hot line(s) found.\n"},
        // lines after the spots, counted when the detector maps lines
        {"spots and lines",
         "3",
         {.overwritesMean = false, .mapsLines = true},
         {},
         {spotAt(5, 6, 3)},
         {column, row},
         " <pix x=\"5\" y=\"6\" r=\"3\"/>\n <col x=\"12\" r=\"1\"/>\n <row y=\"7\" r=\"2\"/>\n",
         "hotpixel found at 5,6\nhot column found at 12 with r=1\nhot row found at 7 with r=2\n\n1 hotpixel(s) found.\n"
         "2 hot line(s) found.\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempFolder folder;
        DetectSettings settings = settingsIn(folder);
        settings.hprad = row.hprad;
        const cv::Mat mean(30, 40, CV_32FC1, cv::Scalar(4.0f));
        DetectionOutput output(settings, mean, row.detector);
        const std::string console = printed([&] {
            output.openMap(40, 30);
            for (const cv::Point& p : row.pixels) output.addPixel(p.x, p.y);
            for (const Finding& spot : row.spots) output.addSpot(spot);
            for (const HotLine& line : row.lines) output.addLine(line);
            output.finish();
            output.writePictures();
        });
        EXPECT_EQ(console, row.console);
        EXPECT_EQ(readFile(settings.outfile), kMapStart + row.map + "</hotpixels>");
    }
}

TEST(DetectionOutput, ThePicturesShowTheMeanAsTheFramesGaveIt) {
    // A detector that works on the mean in place (the histogram detector
    // smooths and suppresses it) changes neither picture.
    for (const bool overwrites : {true, false}) {
        SCOPED_TRACE(overwrites ? "overwritten" : "kept");
        TempFolder folder;
        DetectSettings settings = settingsIn(folder);
        settings.outimage = folder / "marks.png";
        settings.sheet = folder / "sheet.png";
        settings.dxtext = 100;  // labels out of sight
        cv::Mat mean(30, 40, CV_32FC1, cv::Scalar(10.0f));
        mean.at<float>(15, 20) = 90.0f;
        const cv::Mat original = mean.clone();
        DetectionOutput output(settings, mean, {.overwritesMean = overwrites, .mapsLines = false});
        if (overwrites) mean.setTo(0.0f);
        printed([&] {
            output.openMap(40, 30);
            output.addPixel(20, 15);
            output.finish();
            output.writePictures();
        });
        const cv::Mat marks = cv::imread(settings.outimage, cv::IMREAD_COLOR);
        ASSERT_EQ(marks.size(), mean.size());
        EXPECT_EQ(marks.at<cv::Vec3b>(15, 20), cv::Vec3b(180, 180, 180));
        EXPECT_EQ(marks.at<cv::Vec3b>(15, 25), cv::Vec3b(255, 0, 0));  // the cross
        EXPECT_EQ(marks.at<cv::Vec3b>(2, 2), cv::Vec3b(20, 20, 20));
        // The sheet as a sheet of the original mean with its one hot pixel,
        // measured there: 80 DN above the crop's median.
        Findings expected;
        expected.spots = spotsAt(original, {{20, 15}}, 3);
        ASSERT_EQ(expected.spots.size(), 1u);
        EXPECT_FLOAT_EQ(expected.spots[0].strength, 80.0f);
        expectSheet(settings.sheet, original, expected);
    }
}

TEST(DetectionOutput, TheSheetShowsLinesSpotsAndRejected) {
    TempFolder folder;
    DetectSettings settings = settingsIn(folder);
    settings.sheet = folder / "sheet.png";
    cv::Mat mean(60, 80, CV_32FC3, cv::Scalar::all(4.0f));
    const Finding spot = spotAt(20, 15, 3, 50.0f);
    const Finding rejected = spotAt(60, 40, 3, 5.0f);
    const HotLine column{HotLine::Axis::column, 70, 1};
    DetectionOutput output(settings, mean, {.overwritesMean = false, .mapsLines = true});
    printed([&] {
        output.openMap(80, 60);
        output.addSpot(spot);
        output.addLine(column);
        output.finish();
        output.writePictures({rejected});
    });
    Findings expected;
    expected.spots = {spot};
    expected.lines = {column};
    expected.rejected = {rejected};
    expectSheet(settings.sheet, mean, expected);
}

}  // namespace
}  // namespace speckmend
