// The annotated picture: the doubled mean, the open blue cross and the grey
// label of every hot pixel, clipped at the edges.
#include "detect/run/annotated_image.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "test_support.h"

namespace speckmend {
namespace {

using testing::TempFolder;

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
        cv::Mat mean;
        int stored;
    };
    const Row rows[] = {
        {meanOf(3, 4, 20.0f), 40},
        {meanOf(3, 4, 0.0f), 0},
        {meanOf(3, 4, 127.5f), 255},
        {meanOf(3, 4, 150.0f), 255},
        {meanOf(3, 4, 10.3f), 21},
        {meanOf(3, 4, 10.2f), 20},
        // a colour mean is shown in grey: 0.114 B + 0.587 G + 0.299 R = 21.85
        {cv::Mat(3, 4, CV_32FC3, cv::Scalar(10.0f, 20.0f, 30.0f)), 44},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mean.at<float>(0, 0));
        const cv::Mat image = AnnotatedImage(row.mean, -50, -10).render();
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

}  // namespace
}  // namespace speckmend
