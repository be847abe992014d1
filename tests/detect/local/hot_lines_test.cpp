// Hot stretches along columns and rows, and the lines and segments they
// make.
#include "detect/local/hot_lines.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace speckmend {
namespace {

using Axis = HotLine::Axis;

std::vector<int> positions(int first, int last, int step = 1, int skip = 0) {
    std::vector<int> out;
    for (int i = first; i <= last; i += step) {
        if (skip == 0 || (i - first) % skip != skip - 1) out.push_back(i);
    }
    return out;
}

std::vector<int> joined(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(HotStretches, MoreThanHalfOfEveryWindow) {
    struct Row {
        const char* name;
        std::vector<int> hot;
        int length;
        std::vector<cv::Range> stretches;
    };
    const Row rows[] = {
        // too little
        {"all quiet", {}, 100, {}},
        {"31 in a row is shorter than a window", positions(0, 30), 100, {}},
        {"exactly half of each window is not more", positions(0, 98, 2), 100, {}},
        // stretches
        {"32 in a row", positions(0, 31), 100, {{0, 32}}},
        {"two in three", positions(0, 299, 1, 3), 300, {{0, 299}}},
        {"a gap of ten stays one stretch", joined(positions(0, 99), positions(110, 209)), 300, {{0, 210}}},
        {"a long gap makes two", joined(positions(0, 49), positions(150, 199)), 300, {{0, 50}, {150, 200}}},
        {"a lone pixel beyond the end is not part of it", joined(positions(40, 99), {130}), 300, {{40, 100}}},
        // a line shorter than a window: its own length
        {"a short line, whole", positions(0, 9), 10, {{0, 10}}},
        {"a short line, half", positions(0, 4), 10, {}},
        {"a line of one pixel", {0}, 1, {{0, 1}}},
    };
    for (const Row& row : rows) {
        const std::vector<cv::Range> found = hotStretches(row.hot, row.length, 32);
        ASSERT_EQ(found.size(), row.stretches.size()) << row.name;
        for (std::size_t i = 0; i < found.size(); ++i) EXPECT_EQ(found[i], row.stretches[i]) << row.name;
    }
}

// A significance image and the points of it above the lines' bar.
struct Frame {
    cv::Mat significance;
    std::vector<cv::Point> points() const {
        std::vector<cv::Point> out;
        for (int y = 0; y < significance.rows; ++y) {
            for (int x = 0; x < significance.cols; ++x)
                if (significance.at<float>(y, x) > LineSearch().share) out.emplace_back(x, y);
        }
        return out;
    }
};

TEST(FindHotLines, LinesAndSegmentsWithTheirSpans) {
    const cv::Size size(300, 200);
    struct Row {
        const char* name;
        std::function<void(cv::Mat&)> draw;
        std::vector<HotLine> lines;
    };
    const Row rows[] = {
        // whole lines, and segments from an edge or inside the frame (ends widened by two)
        {"whole column", [](cv::Mat& s) { s.col(10) = 2.0f; }, {{Axis::column, 10, 1}}},
        {"lower half of a column", [](cv::Mat& s) { s.col(10).rowRange(100, 200) = 2.0f; },
         {{Axis::column, 10, 1, 98, HotLine::kToEnd}}},
        {"a segment inside", [](cv::Mat& s) { s.col(10).rowRange(50, 90) = 2.0f; }, {{Axis::column, 10, 1, 48, 91}}},
        {"left part of a row", [](cv::Mat& s) { s.row(20).colRange(0, 60) = 0.8f; }, {{Axis::row, 20, 1, 0, 61}}},
        {"an end near the edge goes to it", [](cv::Mat& s) { s.col(10).rowRange(5, 195) = 2.0f; },
         {{Axis::column, 10, 1}}},
        {"a column and a row crossing",
         [](cv::Mat& s) {
             s.col(200) = 2.0f;
             s.row(150).colRange(100, 299) = 2.0f;
         },
         {{Axis::column, 200, 1}, {Axis::row, 150, 1, 98, HotLine::kToEnd}}},
        // neighbouring columns make one line, up to four wide
        {"two wide", [](cv::Mat& s) { s.colRange(10, 12) = 2.0f; }, {{Axis::column, 10, 1}}},
        {"four wide", [](cv::Mat& s) { s.colRange(10, 14) = 2.0f; }, {{Axis::column, 11, 2}}},
        // a strong column spread by demosaicing and halved chroma: found by its core, the band
        // over all the spread
        {"spread over five, three at the full bar",
         [](cv::Mat& s) {
             const float profile[] = {0.8f, 2.0f, 6.0f, 2.0f, 0.8f};
             for (int i = 0; i < 5; ++i) s.col(8 + i) = profile[i];
         },
         {{Axis::column, 10, 2}}},
        {"spread over five, leaning right",
         [](cv::Mat& s) {
             const float profile[] = {0.55f, 3.2f, 6.7f, 3.5f, 1.1f};
             for (int i = 0; i < 5; ++i) s.col(8 + i) = profile[i];
         },
         {{Axis::column, 10, 2}}},
        {"faint, with ringing a few columns out",
         [](cv::Mat& s) {
             const float profile[] = {0.58f, 0.84f, 0.53f, 1.1f, 2.16f, 1.36f};
             for (int i = 0; i < 6; ++i) s.col(6 + i) = profile[i];
         },
         {{Axis::column, 10, 4}}},
        {"very strong, spread over seven",
         [](cv::Mat& s) {
             const float profile[] = {1.8f, 3.6f, 11.0f, 33.0f, 16.0f, 3.6f, 1.8f};
             for (int i = 0; i < 7; ++i) s.col(7 + i) = profile[i];
         },
         {{Axis::column, 10, 3}}},
        {"a spread row, its span kept",
         [](cv::Mat& s) {
             const float profile[] = {0.6f, 1.5f, 4.0f, 1.5f, 0.6f, 0.6f};
             for (int i = 0; i < 6; ++i) s.row(60 + i).colRange(40, 140) = profile[i];
         },
         {{Axis::row, 62, 3, 38, 141}}},
        // not lines
        {"five wide is a blob", [](cv::Mat& s) { s.colRange(10, 15) = 2.0f; }, {}},
        {"five wide at half the bar, but one at the full bar beside weak ones",
         [](cv::Mat& s) {
             s.colRange(8, 14) = 0.7f;
             s.col(10) = 1.2f;
         },
         {}},
        {"a smooth rise seven wide",
         [](cv::Mat& s) {
             const float profile[] = {0.6f, 0.8f, 1.0f, 1.1f, 1.0f, 0.8f, 0.6f};
             for (int i = 0; i < 7; ++i) s.col(7 + i) = profile[i];
         },
         {}},
        {"31 pixels are too short", [](cv::Mat& s) { s.col(10).rowRange(50, 81) = 2.0f; }, {}},
        {"below half the threshold", [](cv::Mat& s) { s.col(10) = 0.45f; }, {}},
        {"a ridge on a broad rise",
         [](cv::Mat& s) {
             s.colRange(0, 41) = 0.45f;
             s.colRange(20, 22) = 0.8f;
         },
         {}},
    };
    for (const Row& row : rows) {
        Frame frame{cv::Mat(size, CV_32FC1, cv::Scalar(0.0f))};
        row.draw(frame.significance);
        const SignificanceAt at = [&](int x, int y) { return frame.significance.at<float>(y, x); };
        EXPECT_EQ(findHotLines(frame.points(), size, at), row.lines) << row.name;
    }
}

TEST(InLineBand, BandIsTwoRPlusOneWideOverItsSpan) {
    const std::vector<HotLine> lines{{Axis::column, 10, 1}, {Axis::row, 50, 2}, {Axis::column, 100, 1, 20, 40},
                                     {Axis::row, 200, 1, 30, HotLine::kToEnd}};
    struct Row {
        int x, y;
        bool inside;
    };
    const Row rows[] = {
        // whole lines
        {10, 0, true}, {9, 999, true}, {11, 5, true}, {8, 0, false}, {12, 0, false},
        {0, 48, true}, {0, 52, true}, {0, 47, false}, {0, 53, false}, {30, 30, false},
        // segments: only along their span
        {100, 20, true}, {101, 40, true}, {100, 19, false}, {100, 41, false},
        {30, 200, true}, {5000, 201, true}, {29, 200, false},
    };
    for (const Row& row : rows) EXPECT_EQ(inLineBand(lines, row.x, row.y), row.inside) << row.x << "," << row.y;
    EXPECT_FALSE(inLineBand({}, 10, 10));
}

}  // namespace
}  // namespace speckmend
