// The dark-frame analysis step by step: frames into the mean, the histogram
// walk with its console lines, the hot pixel scan, frame reading, and the
// annotated picture.
#include "detect/detector.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "detect/run/annotated_image.h"
#include "platform/fatal_error.h"
#include "test_support.h"

namespace speckmend {
namespace {

using testing::TempFolder;

DetectSettings settingsWith(std::int32_t channels, double amount) {
    DetectSettings settings;
    settings.channels = channels;
    settings.amount = amount;
    settings.hprad = "3";
    return settings;
}

cv::Mat grey(int rows, int cols, int value) { return cv::Mat(rows, cols, CV_8UC1, cv::Scalar(value)); }

// Console output of `action`.
template <typename Action>
std::string printed(Action action) {
    ::testing::internal::CaptureStdout();
    action();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

std::string binLine(int bin, int count, int lower, int upper, const char* fraction) {
    char line[128];
    std::snprintf(line, sizeof line, "channel%d: %d pixels between %d and %d, curr.amount is %s\n", bin, count, lower,
                  upper, fraction);
    return line;
}

// ---- The histogram walk ----------------------------------------------------

// Left half 44, right half 204, 80 columns by 100 rows. The 9-tap Gaussian
// (sigma 1.7: weights .2364 .1989 .1184 .0498 .0148 from the centre out)
// blends the four columns on each side of the step, so the smoothed columns
// fall into these bins of width 8, each column of 100 pixels:
//   columns 0-36: 44..46.4 (bin 5)     column 40: 142.9 (bin 17)
//   column 37: 54.3 (bin 6)            column 41: 174.7 (bin 21)
//   column 38: 73.3 (bin 9)            column 42: 193.7 (bin 24)
//   column 39: 105.1 (bin 13)          columns 43-79: 201.6..204 (bin 25)
cv::Mat stepFrame() {
    cv::Mat frame = grey(100, 80, 44);
    frame.colRange(40, 80).setTo(204);
    return frame;
}

struct WalkRow {
    const char* name;
    std::int32_t channels;
    double amount;
    int frameValue;  // a constant frame; -1 for stepFrame()
    std::string lines;
    double threshold;
};

std::string zeroBins(int from, int to, int width, const char* fraction) {
    std::string lines;
    for (int bin = from; bin <= to; ++bin) lines += binLine(bin, 0, bin * width, (bin + 1) * width, fraction);
    return lines;
}

TEST(DetectorThreshold, WalksTheBinsUntilTheAmountIsReached) {
    const std::vector<WalkRow> rows = {
        // a constant frame: everything in one bin
        {"constant 100, 32 bins", 32, 0.5, 100, zeroBins(0, 11, 8, "0.000000") + binLine(12, 8000, 96, 104, "1.000000"),
         104.0},
        {"amount 0 stops at the first bin", 32, 0.0, 100, binLine(0, 0, 0, 8, "0.000000"), 8.0},
        {"a negative amount too", 32, -1.0, 100, binLine(0, 0, 0, 8, "0.000000"), 8.0},
        {"a single bin spans everything", 1, 0.5, 100, binLine(0, 8000, 0, 256, "1.000000"), 256.0},
        // 100 bins of width 2.56: edges truncated in the lines, not in the threshold
        {"100 bins, stop in bin 30", 100, 0.5, 78,
         [] {
             std::string lines;
             for (int bin = 0; bin < 30; ++bin) {
                 lines += binLine(bin, 0, static_cast<int>(bin * 2.56), static_cast<int>((bin + 1) * 2.56), "0.000000");
             }
             return lines + binLine(30, 8000, 76, 79, "1.000000");
         }(),
         79.36},
        // the step frame: two large bins and the blended columns between
        {"amount equal to a cumulative share stops there", 32, 0.475, -1,
         zeroBins(0, 4, 8, "0.000000") + binLine(5, 3700, 40, 48, "0.462500") + binLine(6, 100, 48, 56, "0.475000"),
         56.0},
        {"just above it goes on to the next bin with pixels", 32, 0.4751, -1,
         zeroBins(0, 4, 8, "0.000000") + binLine(5, 3700, 40, 48, "0.462500") + binLine(6, 100, 48, 56, "0.475000") +
             zeroBins(7, 8, 8, "0.475000") + binLine(9, 100, 72, 80, "0.487500"),
         80.0},
        {"amount above 1 walks every bin", 32, 1.5, -1,
         zeroBins(0, 4, 8, "0.000000") + binLine(5, 3700, 40, 48, "0.462500") + binLine(6, 100, 48, 56, "0.475000") +
             zeroBins(7, 8, 8, "0.475000") + binLine(9, 100, 72, 80, "0.487500") + zeroBins(10, 12, 8, "0.487500") +
             binLine(13, 100, 104, 112, "0.500000") + zeroBins(14, 16, 8, "0.500000") +
             binLine(17, 100, 136, 144, "0.512500") + zeroBins(18, 20, 8, "0.512500") +
             binLine(21, 100, 168, 176, "0.525000") + zeroBins(22, 23, 8, "0.525000") +
             binLine(24, 100, 192, 200, "0.537500") + binLine(25, 3700, 200, 208, "1.000000") +
             zeroBins(26, 31, 8, "1.000000"),
         256.0},
    };
    for (const WalkRow& row : rows) {
        SCOPED_TRACE(row.name);
        const DetectSettings settings = settingsWith(row.channels, row.amount);
        Detector detector(settings);
        ASSERT_EQ(detector.addFrame(row.frameValue < 0 ? stepFrame() : grey(100, 80, row.frameValue)),
                  Detector::FrameResult::added);
        detector.finishMean(1);
        double threshold = 0.0;
        const std::string output = printed([&] { threshold = detector.chooseThreshold(); });
        const char* thresholdLine = "\nTreshold at %d\n\n";
        char expectedEnd[64];
        std::snprintf(expectedEnd, sizeof expectedEnd, thresholdLine, static_cast<int>(row.threshold));
        EXPECT_EQ(output, row.lines + expectedEnd);
        EXPECT_DOUBLE_EQ(threshold, row.threshold);
    }
}

TEST(DetectorThreshold, CountsAboveTwoToThe24AreRoundedLikeFloats) {
    // 4097 x 4097 = 16,785,409 pixels in one bin; a float count holds
    // 16,785,408. The histogram is built in stripes, which must not change
    // that.
    const DetectSettings settings = settingsWith(32, 0.5);
    Detector detector(settings);
    detector.addFrame(grey(4097, 4097, 100));
    detector.finishMean(1);
    const std::string output = printed([&] { detector.chooseThreshold(); });
    EXPECT_EQ(output,
              zeroBins(0, 11, 8, "0.000000") + binLine(12, 16785408, 96, 104, "1.000000") + "\nTreshold at 104\n\n");
}

TEST(DetectorThreshold, AmountAboveOneSuppressesEverything) {
    const DetectSettings settings = settingsWith(32, 1.5);
    Detector detector(settings);
    cv::Mat frame = grey(20, 20, 10);
    frame.at<std::uint8_t>(10, 10) = 255;
    detector.addFrame(frame);
    detector.finishMean(1);
    double threshold = 0.0;
    printed([&] { threshold = detector.chooseThreshold(); });
    EXPECT_EQ(threshold, 256.0);
    EXPECT_TRUE(detector.scanHotPixels(threshold).empty());
}

TEST(DetectorThreshold, ChannelsBelowOneAreRefused) {
    for (const std::int32_t channels : {0, -5}) {
        const DetectSettings settings = settingsWith(channels, 0.5);
        Detector detector(settings);
        detector.addFrame(grey(10, 10, 1));
        detector.finishMean(1);
        try {
            detector.chooseThreshold();
            ADD_FAILURE() << "channels " << channels << " accepted";
        } catch (const FatalError& error) {
            EXPECT_EQ(error.message(), "channels must be at least 1.");
            EXPECT_FALSE(error.showUsage());
        }
    }
}

// ---- The mean -------------------------------------------------------------

TEST(DetectorMean, IsTheSumOverTheFrameCount) {
    const DetectSettings settings = settingsWith(32, 0.5);
    Detector detector(settings);
    EXPECT_EQ(detector.frameWidth(), 0);
    EXPECT_EQ(detector.frameHeight(), 0);
    for (const int value : {10, 20, 40}) ASSERT_EQ(detector.addFrame(grey(4, 6, value)), Detector::FrameResult::added);
    EXPECT_EQ(detector.frameWidth(), 6);
    EXPECT_EQ(detector.frameHeight(), 4);
    EXPECT_FLOAT_EQ(detector.accumulator()(2, 3), 70.0f);
    detector.finishMean(3);
    EXPECT_FLOAT_EQ(detector.accumulator()(0, 0), 70.0f / 3.0f);
    EXPECT_FLOAT_EQ(detector.accumulator()(3, 5), 70.0f / 3.0f);
}

TEST(DetectorMean, ASingleFrameIsItsOwnMean) {
    const DetectSettings settings = settingsWith(32, 0.5);
    Detector detector(settings);
    cv::Mat frame(3, 4, CV_8UC1);
    for (int i = 0; i < 12; ++i) frame.data[i] = static_cast<std::uint8_t>(i * 21);
    detector.addFrame(frame);
    detector.finishMean(1);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(detector.accumulator()(i / 4, i % 4), static_cast<float>(i * 21));
}

TEST(DetectorMean, FramesThatAreNotAddedLeaveTheSumAlone) {
    const DetectSettings settings = settingsWith(32, 0.5);
    Detector detector(settings);
    // Nothing readable yet: the first frame with a size decides.
    EXPECT_EQ(detector.addFrame(cv::Mat()), Detector::FrameResult::unreadable);
    EXPECT_EQ(detector.frameWidth(), 0);
    EXPECT_EQ(detector.addFrame(grey(4, 6, 10)), Detector::FrameResult::added);
    EXPECT_EQ(detector.addFrame(cv::Mat()), Detector::FrameResult::unreadable);
    EXPECT_EQ(detector.addFrame(grey(6, 4, 50)), Detector::FrameResult::badDimension);
    EXPECT_EQ(detector.addFrame(grey(4, 7, 50)), Detector::FrameResult::badDimension);
    EXPECT_EQ(detector.addFrame(grey(4, 6, 30)), Detector::FrameResult::added);
    EXPECT_EQ(detector.frameWidth(), 6);
    EXPECT_EQ(detector.frameHeight(), 4);
    detector.finishMean(2);
    EXPECT_FLOAT_EQ(detector.accumulator()(1, 1), 20.0f);
}

TEST(DetectorMean, OnlyGreyBytesAreFrames) {
    const DetectSettings settings = settingsWith(32, 0.5);
    Detector detector(settings);
    EXPECT_THROW(detector.addFrame(cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(1))), std::invalid_argument);
    EXPECT_THROW(detector.addFrame(cv::Mat(4, 4, CV_16UC1, cv::Scalar::all(1))), std::invalid_argument);
    EXPECT_THROW(detector.finishMean(0), std::invalid_argument);
}

TEST(DetectorMean, FramesAddedFromAListAreReportedInOrder) {
    TempFolder folder;
    cv::imwrite(folder / "a.png", grey(5, 7, 10));
    testing::writeFile(folder / "b.png", "not an image");
    cv::imwrite(folder / "c.png", grey(7, 5, 90));  // turned: another size
    cv::imwrite(folder / "d.png", grey(5, 7, 30));
    cv::imwrite(folder / "e.png", grey(5, 7, 50));
    const DetectSettings settings = settingsWith(32, 0.5);
    Detector detector(settings);
    std::vector<std::string> names;
    for (const char* n : {"a.png", "b.png", "c.png", "d.png", "missing.png", "e.png"}) names.push_back(folder / n);
    std::vector<std::pair<std::string, Detector::FrameResult>> reported;
    detector.addFrames(
        names, [&](const std::string& name, Detector::FrameResult result) { reported.emplace_back(name, result); });
    using R = Detector::FrameResult;
    const std::vector<std::pair<std::string, R>> expected = {{names[0], R::added},        {names[1], R::unreadable},
                                                             {names[2], R::badDimension}, {names[3], R::added},
                                                             {names[4], R::unreadable},   {names[5], R::added}};
    EXPECT_EQ(reported, expected);
    detector.finishMean(3);
    EXPECT_FLOAT_EQ(detector.accumulator()(4, 6), 30.0f);
}

TEST(DetectorMean, TheFirstReadableEntryInListingOrderDecidesTheSize) {
    // Entries: w = 5x7 frame of 10, t = 7x5 frame of 90, u = not an image.
    // Many entries, so that several readers are busy when the size is
    // decided.
    struct Row {
        const char* name;
        std::string entries;
        float mean;  // at (0, 0) afterwards
    };
    const Row rows[] = {
        {"wide first", "wwtuwtwwuwwtwwwwtwuw", 10.0f},
        {"unreadable ones first", "uuuwtwwtwuwwwtwwtwuw", 10.0f},
        {"turned first", "tuwwtwwutwwwtwwuwwtw", 90.0f},
        {"unreadable, then turned", "uutwwwwwwwwwwwwwwwww", 90.0f},
    };
    using R = Detector::FrameResult;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempFolder folder;
        std::vector<std::string> names;
        std::vector<R> expected;
        char decided = 0;
        int added = 0;
        for (std::size_t i = 0; i < row.entries.size(); ++i) {
            const char kind = row.entries[i];
            names.push_back(folder / ("f" + std::to_string(100 + i) + ".png"));
            if (kind == 'w') cv::imwrite(names.back(), grey(5, 7, 10));
            if (kind == 't') cv::imwrite(names.back(), grey(7, 5, 90));
            if (kind == 'u') testing::writeFile(names.back(), "text");
            if (kind != 'u' && decided == 0) decided = kind;
            expected.push_back(kind == 'u' ? R::unreadable : kind == decided ? R::added : R::badDimension);
            added += kind == decided;
        }
        const DetectSettings settings = settingsWith(32, 0.5);
        Detector detector(settings);
        std::vector<std::string> reportedNames;
        std::vector<R> reported;
        detector.addFrames(names, [&](const std::string& name, R result) {
            reportedNames.push_back(name);
            reported.push_back(result);
        });
        EXPECT_EQ(reportedNames, names);
        EXPECT_EQ(reported, expected);
        detector.finishMean(added);
        EXPECT_FLOAT_EQ(detector.accumulator()(0, 0), row.mean);
    }
}

TEST(DetectorMean, AFailingReportStopsTheReadersCleanly) {
    TempFolder folder;
    std::vector<std::string> names;
    for (int i = 0; i < 8; ++i) {
        names.push_back(folder / ("f" + std::to_string(i) + ".png"));
        cv::imwrite(names.back(), grey(5, 7, 10));
    }
    const DetectSettings settings = settingsWith(32, 0.5);
    Detector detector(settings);
    int reports = 0;
    EXPECT_THROW(detector.addFrames(names,
                                    [&](const std::string&, Detector::FrameResult) {
                                        if (++reports == 2) throw std::runtime_error("console gone");
                                    }),
                 std::runtime_error);
    EXPECT_EQ(reports, 2);
}

// ---- The hot pixel scan ---------------------------------------------------

// Scans the mean of the frames directly, without smoothing, so that the
// values compared are the ones written here.
std::vector<cv::Point> scan(const std::vector<cv::Mat>& frames, double threshold) {
    const DetectSettings settings = settingsWith(32, 0.5);
    Detector detector(settings);
    for (const cv::Mat& frame : frames) EXPECT_EQ(detector.addFrame(frame), Detector::FrameResult::added);
    detector.finishMean(static_cast<std::int32_t>(frames.size()));
    return detector.scanHotPixels(threshold);
}

struct Spot {
    int x, y, value;
};

cv::Mat frameWith(int rows, int cols, int background, const std::vector<Spot>& spots) {
    cv::Mat frame = grey(rows, cols, background);
    for (const Spot& s : spots) frame.at<std::uint8_t>(s.y, s.x) = static_cast<std::uint8_t>(s.value);
    return frame;
}

struct ScanRow {
    const char* name;
    int rows, cols;
    std::vector<Spot> spots;
    double threshold;
    std::vector<cv::Point> expected;
};

TEST(DetectorScan, ReportsStrictMaximaAboveTheThreshold) {
    const std::vector<ScanRow> rows = {
        // size limits
        {"3 by 3: the centre", 3, 3, {{1, 1, 90}}, 20, {{1, 1}}},
        {"3 by 3: a corner is never scanned", 3, 3, {{0, 0, 90}}, 20, {}},
        {"2 rows", 2, 9, {{4, 1, 90}}, 20, {}},
        {"2 columns", 9, 2, {{1, 4, 90}}, 20, {}},
        {"1 by 1", 1, 1, {{0, 0, 90}}, 20, {}},
        // borders
        {"first row", 8, 8, {{4, 0, 90}}, 20, {}},
        {"last row", 8, 8, {{4, 7, 90}}, 20, {}},
        {"first column", 8, 8, {{0, 4, 90}}, 20, {}},
        {"last column", 8, 8, {{7, 4, 90}}, 20, {}},
        {"next to the corners",
         8,
         8,
         {{1, 1, 90}, {6, 1, 90}, {1, 6, 90}, {6, 6, 90}},
         20,
         {{1, 1}, {6, 1}, {1, 6}, {6, 6}}},
        // plateaus and constants
        {"constant frame", 8, 8, {}, 0, {}},
        {"two equal neighbours", 8, 8, {{3, 3, 90}, {4, 3, 90}}, 20, {}},
        {"two equal diagonal neighbours", 8, 8, {{3, 3, 90}, {4, 4, 90}}, 20, {}},
        {"a plateau beside a peak", 12, 12, {{3, 3, 90}, {4, 3, 90}, {8, 8, 60}}, 20, {{8, 8}}},
        {"a brighter neighbour wins", 8, 8, {{3, 3, 90}, {4, 3, 91}}, 20, {{4, 3}}},
        // threshold
        {"equal to the threshold is suppressed", 8, 8, {{3, 3, 40}}, 40, {}},
        {"above the threshold stays", 8, 8, {{3, 3, 41}}, 40, {{3, 3}}},
        {"a maximum next to suppressed pixels", 8, 8, {{3, 3, 41}, {4, 3, 39}}, 40, {{3, 3}}},
        {"threshold 0: one step above the background is enough", 8, 8, {{3, 3, 11}}, 0, {{3, 3}}},
        // order
        {"rows from the top, left to right",
         12,
         12,
         {{9, 2, 50}, {2, 5, 50}, {6, 5, 50}, {4, 9, 50}},
         20,
         {{9, 2}, {2, 5}, {6, 5}, {4, 9}}},
    };
    for (const ScanRow& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(scan({frameWith(row.rows, row.cols, 10, row.spots)}, row.threshold), row.expected);
    }
}

std::vector<cv::Point> centre() { return {{3, 3}}; }

TEST(DetectorScan, EveryOneOfTheEightNeighboursCounts) {
    const cv::Point neighbours[] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}, {-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
    for (const cv::Point& n : neighbours) {
        SCOPED_TRACE(::testing::Message() << "neighbour " << n.x << "," << n.y);
        // Equal to the centre: no strict maximum.
        EXPECT_EQ(scan({frameWith(7, 7, 10, {{3, 3, 90}, {3 + n.x, 3 + n.y, 90}})}, 20), std::vector<cv::Point>{});
        // One step below: the centre is reported.
        EXPECT_EQ(scan({frameWith(7, 7, 10, {{3, 3, 90}, {3 + n.x, 3 + n.y, 89}})}, 20), centre());
    }
}

TEST(DetectorScan, TheThresholdIsNotTruncated) {
    // Means of 79.33 and 79.5 against the 100-bin threshold 79.36 (printed
    // as 79): the first is suppressed although it is above 79.
    const cv::Mat low = frameWith(7, 7, 10, {{3, 3, 79}});
    const cv::Mat high = frameWith(7, 7, 10, {{3, 3, 80}});
    EXPECT_EQ(scan({low, low, high}, 79.36), std::vector<cv::Point>{});
    EXPECT_EQ(scan({low, high}, 79.36), centre());
}

TEST(DetectorScan, SmoothedHotPixelsAreFoundAtTheirPlace) {
    // Through the whole analysis: a bright pixel stays the peak of the
    // smoothed mean, also one pixel from the border where the smoothing
    // repeats the edge, while a bright pixel on the border is not reported.
    const DetectSettings settings = settingsWith(32, 0.9);
    Detector detector(settings);
    const cv::Mat frame =
        frameWith(60, 80, 3, {{20, 30, 250}, {1, 10, 250}, {78, 50, 250}, {50, 0, 250}, {79, 20, 250}});
    detector.addFrame(frame);
    detector.addFrame(frame);
    detector.finishMean(2);
    double threshold = 0.0;
    printed([&] { threshold = detector.chooseThreshold(); });
    EXPECT_EQ(threshold, 8.0);
    EXPECT_EQ(detector.scanHotPixels(threshold), (std::vector<cv::Point>{{1, 10}, {20, 30}, {78, 50}}));
}

// ---- Reading frames -------------------------------------------------------

// A JPEG whose Exif orientation says "rotate by 90 degrees to view".
std::string jpegTurnedByExif(const cv::Mat& image) {
    std::vector<uchar> encoded;
    cv::imencode(".jpg", image, encoded, {cv::IMWRITE_JPEG_QUALITY, 100});
    const unsigned char app1[] = {0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I',
                                  42,   0,    8,    0,    0,   0,                            // TIFF header
                                  1,    0,                                                   // one entry
                                  0x12, 0x01, 3,    0,    1,   0,   0,   0,   6, 0, 0,   0,  // Orientation = 6
                                  0,    0,    0,    0};                                      // no next IFD
    std::string bytes(encoded.begin(), encoded.begin() + 2);                                 // SOI
    bytes.append(reinterpret_cast<const char*>(app1), sizeof app1);
    bytes.append(encoded.begin() + 2, encoded.end());
    return bytes;
}

TEST(DetectorReadFrame, ReadsGreyInStoredOrientation) {
    TempFolder folder;
    cv::Mat colour(30, 50, CV_8UC3, cv::Scalar(0, 0, 0));
    colour.at<cv::Vec3b>(5, 40) = cv::Vec3b(255, 255, 255);
    testing::writeFile(folder / "turned.jpg", jpegTurnedByExif(colour));
    // OpenCV's own default turns this file upright; the sensor layout is
    // the one stored.
    ASSERT_EQ(cv::imread(folder / "turned.jpg", cv::IMREAD_GRAYSCALE).size(), cv::Size(30, 50));

    const cv::Mat frame = Detector::readFrame(folder / "turned.jpg");
    ASSERT_EQ(frame.type(), CV_8UC1);
    EXPECT_EQ(frame.size(), cv::Size(50, 30));
    EXPECT_GT(frame.at<std::uint8_t>(5, 40), 200);
}

TEST(DetectorReadFrame, AnythingButAnImageGivesAnEmptyFrame) {
    TempFolder folder;
    testing::writeFile(folder / "text.jpg", "plain text, not a picture");
    testing::writeFile(folder / "empty.jpg", "");
    std::string truncated = jpegTurnedByExif(grey(40, 40, 9));
    truncated.resize(20);
    testing::writeFile(folder / "truncated.jpg", truncated);
    for (const std::string& path :
         {folder / "text.jpg", folder / "empty.jpg", folder / "truncated.jpg", folder / "missing.jpg", folder.path()}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(Detector::readFrame(path).empty());
    }
}

TEST(DetectorReadFrame, ColourAndSixteenBitFilesBecomeGreyBytes) {
    TempFolder folder;
    cv::imwrite(folder / "colour.png", cv::Mat(4, 5, CV_8UC3, cv::Scalar(10, 200, 30)));
    cv::imwrite(folder / "deep.png", cv::Mat(4, 5, CV_16UC1, cv::Scalar(256 * 77)));
    for (const char* name : {"colour.png", "deep.png"}) {
        SCOPED_TRACE(name);
        const cv::Mat frame = Detector::readFrame(folder / name);
        EXPECT_EQ(frame.type(), CV_8UC1);
        EXPECT_EQ(frame.size(), cv::Size(5, 4));
    }
    EXPECT_EQ(Detector::readFrame(folder / "deep.png").at<std::uint8_t>(2, 2), 77);
}

// ---- The annotated picture ------------------------------------------------

const cv::Vec3b kBlue(255, 0, 0);
const cv::Vec3b kLabelGrey(127, 127, 127);

cv::Mat meanOf(int rows, int cols, float value) { return cv::Mat(rows, cols, CV_32FC1, cv::Scalar(value)); }

int countColour(const cv::Mat& image, const cv::Vec3b& colour, cv::Rect area) {
    area &= cv::Rect(0, 0, image.cols, image.rows);
    int count = 0;
    for (int y = area.y; y < area.y + area.height; ++y) {
        for (int x = area.x; x < area.x + area.width; ++x) count += image.at<cv::Vec3b>(y, x) == colour;
    }
    return count;
}

TEST(AnnotatedImage, DoublesTheMeanIntoThreeChannels) {
    struct Row {
        float mean;
        int stored;
    };
    const Row rows[] = {{20.0f, 40}, {0.0f, 0}, {127.5f, 255}, {150.0f, 255}, {10.3f, 21}, {10.2f, 20}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mean);
        const cv::Mat image = AnnotatedImage(meanOf(3, 4, row.mean), -50, -10).render();
        ASSERT_EQ(image.type(), CV_8UC3);
        EXPECT_EQ(image.size(), cv::Size(4, 3));
        EXPECT_EQ(image.at<cv::Vec3b>(1, 2), cv::Vec3b(row.stored, row.stored, row.stored));
    }
}

TEST(AnnotatedImage, DrawsAnOpenBlueCross) {
    AnnotatedImage annotation(meanOf(60, 60, 10.0f), 100, 100);  // label out of sight
    annotation.mark(30, 30);
    const cv::Mat image = annotation.render();
    const cv::Vec3b background(20, 20, 20);
    for (int d = 5; d <= 8; ++d) {
        SCOPED_TRACE(d);
        EXPECT_EQ(image.at<cv::Vec3b>(30, 30 - d), kBlue);
        EXPECT_EQ(image.at<cv::Vec3b>(30, 30 + d), kBlue);
        EXPECT_EQ(image.at<cv::Vec3b>(30 - d, 30), kBlue);
        EXPECT_EQ(image.at<cv::Vec3b>(30 + d, 30), kBlue);
    }
    for (int d = 0; d <= 4; ++d) {
        EXPECT_EQ(image.at<cv::Vec3b>(30, 30 - d), background);
        EXPECT_EQ(image.at<cv::Vec3b>(30 + d, 30), background);
    }
    EXPECT_EQ(image.at<cv::Vec3b>(30, 39), background);
    EXPECT_EQ(image.at<cv::Vec3b>(21, 30), background);
    EXPECT_EQ(countColour(image, kBlue, cv::Rect(0, 0, 60, 60)), 16);
}

TEST(AnnotatedImage, LabelsThePositionInGrey) {
    AnnotatedImage annotation(meanOf(80, 120, 10.0f), -50, -10);
    annotation.mark(70, 50);
    const cv::Mat image = annotation.render();
    int baseline = 0;
    const cv::Size text = cv::getTextSize("70,50", cv::FONT_HERSHEY_SIMPLEX, 0.35, 1, &baseline);
    // Bottom-left corner of the text at (20, 40).
    const cv::Rect box(18, 38 - text.height, text.width + 4, text.height + baseline + 4);
    const int inBox = countColour(image, kLabelGrey, box);
    EXPECT_GT(inBox, 10);
    EXPECT_EQ(countColour(image, kLabelGrey, cv::Rect(0, 0, 120, 80)), inBox);
    // Drawn after the doubling: grey 127, not 254.
    EXPECT_EQ(countColour(image, cv::Vec3b(254, 254, 254), cv::Rect(0, 0, 120, 80)), 0);
}

TEST(AnnotatedImage, MarksNearTheCornerAreClipped) {
    // (3, 3) with the usual offsets: the label and the left and upper arms
    // fall outside, the right and lower arms are whole.
    AnnotatedImage annotation(meanOf(40, 40, 10.0f), -50, -10);
    annotation.mark(3, 3);
    const cv::Mat image = annotation.render();
    EXPECT_EQ(countColour(image, kLabelGrey, cv::Rect(0, 0, 40, 40)), 0);
    EXPECT_EQ(countColour(image, kBlue, cv::Rect(8, 3, 4, 1)), 4);
    EXPECT_EQ(countColour(image, kBlue, cv::Rect(3, 8, 1, 4)), 4);
    EXPECT_EQ(countColour(image, kBlue, cv::Rect(0, 0, 40, 40)), 8);
}

TEST(AnnotatedImage, LaterMarksLieOverEarlierOnes) {
    // Labels 12 rows above their pixel: the label of (20, 30) stands on row
    // 18 and reaches up; the right arm of (22, 15) runs along row 15 from
    // x 27 to 30, through that label.
    const cv::Rect arm(27, 15, 4, 1);
    AnnotatedImage labelOnly(meanOf(40, 60, 10.0f), 0, -12);
    labelOnly.mark(20, 30);
    ASSERT_GT(countColour(labelOnly.render(), kLabelGrey, arm), 0);

    AnnotatedImage both(meanOf(40, 60, 10.0f), 0, -12);
    both.mark(20, 30);
    both.mark(22, 15);
    EXPECT_EQ(countColour(both.render(), kBlue, arm), 4);
}

TEST(AnnotatedImage, WritesWhatItRenders) {
    TempFolder folder;
    AnnotatedImage annotation(meanOf(30, 40, 60.0f), -5, -5);
    annotation.mark(20, 15);
    ASSERT_TRUE(annotation.write(folder / "marks.png"));
    const cv::Mat stored = cv::imread(folder / "marks.png", cv::IMREAD_COLOR);
    ASSERT_EQ(stored.size(), cv::Size(40, 30));
    EXPECT_EQ(cv::norm(stored, annotation.render(), cv::NORM_INF), 0.0);
}

TEST(AnnotatedImage, RefusedWritesReportFalse) {
    TempFolder folder;
    AnnotatedImage annotation(meanOf(10, 10, 5.0f), -50, -10);
    EXPECT_FALSE(annotation.write(folder / "marks.unknownformat"));
    EXPECT_FALSE(annotation.write(folder / "no/such/folder/marks.png"));
    EXPECT_FALSE(annotation.write(folder / "noextension"));
}

// ---- Frames for the local detector -----------------------------------------

TEST(DetectorLocalFrames, ColourFramesKeepTheirChannels) {
    TempFolder folder;
    cv::imwrite(folder / "colour.png", cv::Mat(3, 4, CV_8UC3, cv::Scalar(10, 20, 30)));
    cv::imwrite(folder / "alpha.png", cv::Mat(3, 4, CV_8UC4, cv::Scalar(10, 20, 30, 255)));
    cv::imwrite(folder / "grey.png", grey(3, 4, 40));
    struct Row {
        const char* name;
        bool colour;
        int type;
        cv::Scalar first;
    };
    const Row rows[] = {
        {"colour.png", true, CV_8UC3, {10, 20, 30}},
        {"alpha.png", true, CV_8UC3, {10, 20, 30}},
        {"grey.png", true, CV_8UC1, {40}},
        // the histogram detector reads grey (0.114 B + 0.587 G + 0.299 R)
        {"colour.png", false, CV_8UC1, {22}},
    };
    for (const Row& row : rows) {
        const cv::Mat frame = Detector::readFrame(folder / row.name, row.colour);
        ASSERT_EQ(frame.type(), row.type) << row.name;
        const cv::Scalar first = cv::mean(frame);
        for (int c = 0; c < frame.channels(); ++c) EXPECT_NEAR(first[c], row.first[c], 1.0) << row.name;
    }
}

TEST(DetectorLocalFrames, MeanKeepsTheChannelsAndRefusesMixedOnes) {
    DetectSettings settings = settingsWith(32, 0.5);
    settings.detector = DetectorKind::local;
    Detector detector(settings);
    EXPECT_EQ(detector.addFrame(cv::Mat(4, 6, CV_8UC3, cv::Scalar(10, 20, 30))), Detector::FrameResult::added);
    EXPECT_EQ(detector.addFrame(grey(4, 6, 50)), Detector::FrameResult::badDimension);
    EXPECT_EQ(detector.addFrame(cv::Mat(4, 6, CV_8UC3, cv::Scalar(30, 40, 50))), Detector::FrameResult::added);
    EXPECT_THROW(detector.addFrame(cv::Mat(4, 6, CV_16UC3, cv::Scalar::all(1))), std::invalid_argument);
    detector.finishMean(2);
    ASSERT_EQ(detector.mean().type(), CV_32FC3);
    EXPECT_EQ(detector.mean().at<cv::Vec3f>(2, 3), cv::Vec3f(20.0f, 30.0f, 40.0f));
}

TEST(DetectorLocalFrames, GreyFramesStayOneChannel) {
    DetectSettings settings = settingsWith(32, 0.5);
    settings.detector = DetectorKind::local;
    Detector detector(settings);
    EXPECT_EQ(detector.addFrame(grey(4, 6, 10)), Detector::FrameResult::added);
    EXPECT_EQ(detector.addFrame(cv::Mat(4, 6, CV_8UC3, cv::Scalar::all(9))), Detector::FrameResult::badDimension);
    detector.finishMean(1);
    EXPECT_EQ(detector.mean().type(), CV_32FC1);
}

// ---- Former bugs ----------------------------------------------------------

TEST(AnnotatedImage, OffsetsAtTheEndsOfTheIntegerRangeDrawNoLabel) {
    // The sum of position and offset overflowed, and the text renderer's
    // fixed point overflowed for far-away origins.
    for (const std::int32_t offset : {INT_MAX, INT_MIN, 1 << 20, -(1 << 20)}) {
        SCOPED_TRACE(offset);
        AnnotatedImage annotation(meanOf(30, 30, 5.0f), offset, offset);
        annotation.mark(15, 15);
        const cv::Mat image = annotation.render();
        EXPECT_EQ(countColour(image, kLabelGrey, cv::Rect(0, 0, 30, 30)), 0);
        EXPECT_EQ(countColour(image, kBlue, cv::Rect(0, 0, 30, 30)), 16);
    }
}

TEST(DetectorReadFrame, AFailedDecodeDoesNotHandBackTheLastFrame) {
    // Decoding into a kept buffer must not leave the previous frame in it
    // when the next file is not an image.
    TempFolder folder;
    cv::imwrite(folder / "good.png", grey(5, 5, 42));
    testing::writeFile(folder / "bad.png", "nothing");
    std::vector<unsigned char> bytes;
    cv::Mat frame;
    Detector::readFrame(folder / "good.png", bytes, frame);
    ASSERT_FALSE(frame.empty());
    Detector::readFrame(folder / "bad.png", bytes, frame);
    EXPECT_TRUE(frame.empty());
}

}  // namespace
}  // namespace speckmend
