// The repaired photo written as a JPEG laid out like its source, the donor
// of the file-based transplant.
#include "heal/jpeg_temporary.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "jpeg_harness.h"
#include "test_support.h"

namespace speckmend {
namespace {

using namespace speckmend::testing;

TEST(TemporaryJpeg, MatchesTheSourcesLayout) {
    struct Case {
        const char* name;
        SourceRecipe source;
        int imageChannels;
    };
    const std::vector<Case> cases = {
        {"420", recipe(75, 43, {{2, 2}, {1, 1}, {1, 1}}), 3},
        {"422", recipe(64, 48, {{2, 1}, {1, 1}, {1, 1}}), 3},
        {"440", recipe(64, 48, {{1, 2}, {1, 1}, {1, 1}}), 3},
        {"non-standard", recipe(64, 48, {{2, 2}, {1, 2}, {1, 2}}), 3},
        {"411", recipe(64, 48, {{4, 1}, {1, 1}, {1, 1}}), 3},
        {"grey", recipe(64, 48, {{1, 1}}), 1},
        {"grey source, colour image", recipe(64, 48, {{1, 1}}), 3},
        {"RGB coded", with(recipe(64, 48, {{1, 1}, {1, 1}, {1, 1}}), [](SourceRecipe& s) { s.colorSpace = JCS_RGB; }), 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        makeSource(folder / "s.jpg", c.source);
        const cv::Mat image = testPicture(c.source.width, c.source.height, c.imageChannels, 4);
        ASSERT_TRUE(writeTemporaryJpeg(image, folder / "s.jpg", folder / "t.jpg"));
        JpegFile source, temporary;
        ASSERT_TRUE(readJpeg(folder / "s.jpg", source) && readJpeg(folder / "t.jpg", temporary));
        EXPECT_EQ(temporary.colorSpace, source.colorSpace);
        ASSERT_EQ(temporary.components.size(), source.components.size());
        for (std::size_t i = 0; i < source.components.size(); ++i) {
            EXPECT_EQ(temporary.components[i].h, source.components[i].h);
            EXPECT_EQ(temporary.components[i].v, source.components[i].v);
            for (int k = 0; k < 64; ++k) EXPECT_EQ(temporary.components[i].table[k], 1);
        }
        EXPECT_FALSE(temporary.progressive);
        // Quality 100 keeps the picture within a few levels.
        const cv::Mat back = cv::imread(folder / "t.jpg", cv::IMREAD_ANYCOLOR);
        cv::Mat expected = image;
        if (back.channels() == 1 && image.channels() == 3) cv::cvtColor(image, expected, cv::COLOR_BGR2GRAY);
        if (c.source.sampling[0].h == 1 && c.source.sampling[0].v == 1) {
            EXPECT_LE(cv::norm(back, expected, cv::NORM_INF), 4);
        }
    }
}

TEST(TemporaryJpeg, RefusesWhatCannotMatchTheSourceAndLeavesNoFile) {
    struct Case {
        const char* name;
        SourceRecipe source;
        cv::Mat image;
        bool sourceExists;
    };
    const SourceRecipe cmyk =
        with(recipe(64, 48, {{1, 1}, {1, 1}, {1, 1}, {1, 1}}), [](SourceRecipe& s) { s.colorSpace = JCS_CMYK; s.jfif = false; });
    const std::vector<Case> cases = {
        {"CMYK source", cmyk, testPicture(64, 48, 3, 1), true},
        {"grey image for a colour source", recipe(64, 48, {{2, 2}, {1, 1}, {1, 1}}), testPicture(64, 48, 1, 1), true},
        {"image of another size", recipe(64, 48, {{2, 2}, {1, 1}, {1, 1}}), testPicture(48, 64, 3, 1), true},
        {"16-bit image", recipe(64, 48, {{2, 2}, {1, 1}, {1, 1}}), cv::Mat(48, 64, CV_16UC3, cv::Scalar(1, 2, 3)), true},
        {"empty image", recipe(64, 48, {{2, 2}, {1, 1}, {1, 1}}), cv::Mat(), true},
        {"missing source", recipe(64, 48, {{2, 2}, {1, 1}, {1, 1}}), testPicture(64, 48, 3, 1), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        if (c.sourceExists) makeSource(folder / "s.jpg", c.source);
        writeBytes(folder / "t.jpg", "stale temporary from the previous photo");
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(writeTemporaryJpeg(c.image, folder / "s.jpg", folder / "t.jpg"));
        ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(std::filesystem::exists(folder / "t.jpg"));
    }
}

}  // namespace
}  // namespace speckmend
