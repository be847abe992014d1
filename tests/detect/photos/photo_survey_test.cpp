// The pass over a folder: the progress line's numbers on a long run
// (photos read, candidates so far), beside the reports in listing order.
#include "detect/photos/photo_survey.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
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

// A folder as a string, one letter a file: 'p' a photo with the hot pixel,
// 's' one of another size, 'x' a file that is no image. The readers start
// before the first photo is known: each photo must be reported once, in
// order, and counted once, whichever is first.
struct FolderCase {
    const char* name;
    const char* files;
    const char* reports;  // per file: 'a' added, 'd' bad dimension, 'u' unreadable
};

const FolderCase kFolders[] = {
    {"nothing", "", ""},
    {"one photo", "p", "a"},
    {"the first name no image", "xppp", "uaaa"},
    {"two names no image, then one of another size", "xxpsp", "uuada"},
    {"another size right after the first", "pspp", "adaa"},
    {"no image among them", "pxpxp", "auaua"},
    {"nothing readable", "xxx", "uuu"},
    {"another size first fixes the size", "sppx", "addu"},
};

std::vector<std::string> mixedFolder(const testing::TempFolder& folder, const std::string& files) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < files.size(); ++i) {
        names.push_back(folder / ("f" + std::to_string(i) + ".png"));
        if (files[i] == 'x') {
            std::ofstream(names.back()) << "not an image";
            continue;
        }
        cv::Mat photo(files[i] == 's' ? 36 : 40, 48, CV_8UC3);
        cv::RNG rng(60 + static_cast<int>(i));
        rng.fill(photo, cv::RNG::NORMAL, 20.0, 1.5);
        photo.at<cv::Vec3b>(20, 24)[2] = 120;
        cv::imwrite(names.back(), photo);
    }
    return names;
}

class SurveyFolder : public ::testing::TestWithParam<FolderCase> {};

TEST_P(SurveyFolder, EachReportedOnceInOrderAndCountedOnce) {
    const FolderCase& c = GetParam();
    const testing::TempFolder folder;
    const std::vector<std::string> names = mixedFolder(folder, c.files);
    const std::string expected = c.reports;
    const int addedExpected = static_cast<int>(std::count(expected.begin(), expected.end(), 'a'));
    for (const int threads : {1, 2, 3}) {
        PhotoSurvey survey(PhotoJudgementSettings(), threads);
        std::string reports;
        std::vector<std::string> reported;
        const auto report = [&](const std::string& name, FrameResult result) {
            reported.push_back(name);
            reports += result == FrameResult::added ? 'a' : result == FrameResult::badDimension ? 'd' : 'u';
        };
        const std::int32_t added = survey.survey(names, report, [](const SurveyProgress&) {});
        EXPECT_EQ(reports, expected) << threads;
        EXPECT_EQ(reported, names) << threads;
        EXPECT_EQ(added, addedExpected) << threads;
        if (addedExpected == 0) {
            EXPECT_EQ(survey.counts(), nullptr) << threads;
            continue;
        }
        ASSERT_NE(survey.counts(), nullptr) << threads;
        EXPECT_EQ(survey.counts()->judged().rows, c.files[expected.find('a')] == 's' ? 36 : 40) << threads;
        EXPECT_EQ(survey.counts()->bright().at<std::uint16_t>(20, 24), addedExpected) << threads;
    }
}

INSTANTIATE_TEST_SUITE_P(Folders, SurveyFolder, ::testing::ValuesIn(kFolders),
                         [](const ::testing::TestParamInfo<FolderCase>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c; ++c) {
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

}  // namespace
}  // namespace speckmend
