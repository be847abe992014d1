// The pass over a folder: the progress line's numbers on a long run
// (photos read, candidates so far), beside the reports in listing order.
#include "detect/photos/photo_survey.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "temp_folder.h"

namespace speckmend {
namespace {

// Dark photos with the same hot pixel, each its own noise.
std::vector<std::string> hotFolder(const testing::TempFolder& folder, int photos) {
    std::vector<std::string> names;
    for (int i = 0; i < photos; ++i) {
        cv::Mat photo(40, 48, CV_8UC3);
        cv::RNG rng(30 + i);
        rng.fill(photo, cv::RNG::NORMAL, 20.0, 1.5);
        photo.at<cv::Vec3b>(20, 24)[2] = 120;
        names.push_back(folder / ("p" + std::to_string(i) + ".png"));
        cv::imwrite(names.back(), photo);
    }
    return names;
}

TEST(PhotoSurvey, ProgressCountsPhotosReadAndCandidates) {
    const testing::TempFolder folder;
    const std::vector<std::string> names = hotFolder(folder, 6);
    for (const int threads : {1, 2}) {
        PhotoSurvey survey(PhotoJudgementSettings(), threads);
        std::vector<std::string> reported;
        std::vector<SurveyProgress> progress;
        const auto report = [&](const std::string& name, FrameResult result) {
            EXPECT_EQ(result, FrameResult::added) << name;
            reported.push_back(name);
        };
        // An interval of nothing: a line after every photo but the last.
        const std::int32_t added = survey.survey(
            names, report, [&](const SurveyProgress& p) { progress.push_back(p); }, std::chrono::milliseconds(0));
        EXPECT_EQ(added, 6);
        EXPECT_EQ(reported, names);
        ASSERT_GE(progress.size(), 4u) << threads;
        int lastRead = 0;
        for (const SurveyProgress& p : progress) {
            EXPECT_EQ(p.total, 6);
            EXPECT_GE(p.read, lastRead);
            EXPECT_LE(p.read, 6);
            lastRead = p.read;
        }
        // By the line after the second photo, the hot pixel stood out twice.
        EXPECT_GE(progress.back().read, 5);
        EXPECT_EQ(progress.back().candidates, 1) << threads;
        ASSERT_NE(survey.counts(), nullptr);
        EXPECT_EQ(survey.counts()->bright().at<std::uint16_t>(20, 24), 6);
    }
}

}  // namespace
}  // namespace speckmend
