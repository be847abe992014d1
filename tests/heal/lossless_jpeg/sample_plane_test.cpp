// A subsampled component's samples repaired at their own resolution: which
// samples count as touched, and that a cut of sampleMargin pixels around the
// repair gives the touched samples the whole plane gives.
#include "heal/lossless_jpeg/sample_plane.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include "heal/inpaint/region_inpainter.h"

namespace speckmend {
namespace {

// A sample is touched when any pixel of its footprint is masked, counted
// here footprint by footprint.
cv::Mat touchedByFootprints(const cv::Mat& mask, int stepX, int stepY) {
    cv::Mat touched((mask.rows + stepY - 1) / stepY, (mask.cols + stepX - 1) / stepX, CV_8UC1, cv::Scalar(0));
    for (int y = 0; y < touched.rows; ++y)
        for (int x = 0; x < touched.cols; ++x) {
            const cv::Rect footprint = cv::Rect(x * stepX, y * stepY, stepX, stepY) & cv::Rect({}, mask.size());
            if (cv::countNonZero(mask(footprint)) > 0) touched.at<unsigned char>(y, x) = 255;
        }
    return touched;
}

TEST(SamplePlane, TouchedSamplesAreThoseWithAMaskedPixelInTheirFootprint) {
    struct Row {
        const char* name;
        cv::Size size;
        int stepX, stepY;
        std::vector<cv::Point> masked;
    };
    const Row rows[] = {
        {"4:2:0, one pixel", {16, 16}, 2, 2, {{3, 5}}},
        {"4:2:2, two pixels", {16, 8}, 2, 1, {{0, 0}, {5, 1}}},
        {"4:1:1, a run across footprints", {16, 4}, 4, 1, {{3, 2}, {4, 2}, {5, 2}}},
        {"4:4:0", {8, 16}, 1, 2, {{7, 15}}},
        {"full resolution: the mask itself", {9, 7}, 1, 1, {{1, 1}, {8, 6}}},
        // a photo whose size the footprints do not divide
        {"odd size, a pixel in the last partial footprint", {5, 3}, 2, 2, {{4, 2}}},
        {"odd size, 4:1:1", {13, 3}, 4, 1, {{12, 0}}},
        {"nothing masked", {8, 8}, 2, 2, {}},
    };
    for (const Row& row : rows) {
        cv::Mat mask(row.size, CV_8UC1, cv::Scalar(0));
        for (const cv::Point& p : row.masked) mask.at<unsigned char>(p) = 255;
        const cv::Mat got = touchedSamples(mask, row.stepX, row.stepY);
        const cv::Mat want = touchedByFootprints(mask, row.stepX, row.stepY);
        ASSERT_EQ(got.size(), want.size()) << row.name;
        EXPECT_EQ(cv::countNonZero(got != want), 0) << row.name;
    }
}

TEST(SamplePlane, RefusesWhatDoesNotFit) {
    const cv::Mat wide(8, 8, CV_16UC1, cv::Scalar(0)), mask(8, 8, CV_8UC1, cv::Scalar(0));
    EXPECT_THROW(touchedSamples(wide, 2, 2), std::invalid_argument);
    EXPECT_THROW(touchedSamples(mask, 0, 2), std::invalid_argument);
    cv::Mat samples(4, 4, CV_8UC1, cv::Scalar(0)), other(4, 5, CV_8UC1, cv::Scalar(0));
    EXPECT_THROW(repairSamples(samples, other, 3, 1), std::invalid_argument);
    cv::Mat colour(4, 4, CV_8UC3, cv::Scalar(0));
    EXPECT_THROW(repairSamples(colour, samples, 3, 1), std::invalid_argument);
}

// The reach behind the lossless heal's windows: a cut of the photo that
// holds sampleMargin pixels around a repaired pixel, on a grid of whole
// footprints, repairs that pixel's touched samples as the whole photo does,
// however busy the samples around.
TEST(SamplePlane, ACutOfTheMarginRepairsAsTheWholePlane) {
    std::mt19937 random(11);
    for (const double range : {0.2, 3.0, 10.0})
        for (const int step : {2, 4})
            for (const int method : {cv::INPAINT_NS, cv::INPAINT_TELEA}) {
                const int margin = sampleMargin(range, step);
                ASSERT_GT(margin, RegionInpainter::marginFor(range)) << range;
                const cv::Size photo(8 * margin, 6 * margin);
                cv::Mat mask(photo, CV_8UC1, cv::Scalar(0));
                const cv::Point hot(3 * margin + 1, 3 * margin - 1);
                cv::circle(mask, hot, 2, 255, cv::FILLED, cv::LINE_8);
                // Other repairs as near as the heal lets them be and still be
                // repaired apart (their boxes more than twice the margin
                // apart); the cut leaves them out.
                for (const cv::Point& other :
                     {cv::Point(hot.x + 2 * margin + 4, hot.y), cv::Point(hot.x, hot.y - 2 * margin - 4)})
                    cv::circle(mask, other, 1, 255, cv::FILLED, cv::LINE_8);
                cv::Mat whole(touchedSamples(mask, step, step).size(), CV_8UC1);
                cv::randu(whole, 0, 256);
                cv::Mat original = whole.clone();
                repairSamples(whole, touchedSamples(mask, step, step), range, method);

                // The cut: the disc's box grown by the margin, out to whole footprints.
                const cv::Rect box(hot.x - 2 - margin, hot.y - 2 - margin, 5 + 2 * margin, 5 + 2 * margin);
                const cv::Rect cut(box.x / step * step, box.y / step * step,
                                   (box.br().x + step - 1) / step * step - box.x / step * step,
                                   (box.br().y + step - 1) / step * step - box.y / step * step);
                cv::Mat own(photo, CV_8UC1, cv::Scalar(0));
                cv::circle(own, hot, 2, 255, cv::FILLED, cv::LINE_8);
                const cv::Mat touched = touchedSamples(own(cut), step, step);
                const cv::Rect samplesCut(cut.x / step, cut.y / step, touched.cols, touched.rows);
                cv::Mat part = original(samplesCut).clone();
                repairSamples(part, touched, range, method);
                const cv::Mat wholePart = whole(samplesCut);
                EXPECT_EQ(cv::countNonZero((part != wholePart) & touched), 0)
                    << "range " << range << ", step " << step << ", method " << method;
            }
}

}  // namespace
}  // namespace speckmend
