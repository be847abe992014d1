// The detect mode with the photos detector, end to end through the built
// program: a folder of photos with one of another size, the console, the
// map and the check sheet.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include <opencv2/imgcodecs.hpp>

#include "test_support.h"

namespace speckmend {
namespace {

using testing::runSpeckmend;
using testing::TempFolder;
using testing::writeFile;

const cv::Point kHot(40, 30);

// Dark, smooth photos with a red hot site; each its own scene brightness.
cv::Mat photo(int index, cv::Size size) {
    cv::Mat p(size, CV_32FC3);
    cv::RNG rng(50 + index);
    rng.fill(p, cv::RNG::NORMAL, 15.0 + 5.0 * index, 1.5);
    if (kHot.x < size.width && kHot.y < size.height) p.at<cv::Vec3f>(kHot)[2] += 70.0f;
    cv::Mat stored;
    p.convertTo(stored, CV_8UC3);
    return stored;
}

TEST(PhotosRun, PhotosOfAnotherSizeAreSkippedAndTheHotPixelMapped) {
    TempFolder root;
    const std::string photos = root / "photos";
    mkdir(photos.c_str(), 0755);
    for (int i = 0; i < 4; ++i) cv::imwrite(photos + "/p" + std::to_string(i) + ".png", photo(i, {96, 72}));
    cv::imwrite(photos + "/p2b.png", photo(9, {72, 96}));
    writeFile(
        root / "config.xml",
        "<config>\n <detect>\n  <filter>*.png</filter>\n  <indir>photos</indir>\n  <outfile>../map.xml</outfile>\n"
        "  <detector>photos</detector>\n  <sheet>../sheet.png</sheet>\n </detect>\n</config>\n");
    const auto run = runSpeckmend({"detect"}, root.path());
    ASSERT_EQ(run.status, 2) << run.output;  // p2b.png failed
    for (const char* line : {"/config/detect/detector[1]: photos\n", "p0.png processed.\n", "p2.png processed.\n",
                             "p2b.png error:bad dimension!\n", "p3.png processed.\n",
                             "photos that could judge each part of the frame (median of 4, 6 x 4 parts):\n",
                             "hotpixel found at 40,30\n", "\n1 hotpixel(s) found.\n"}) {
        EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
    }
    const std::string map = testing::readFile(root / "map.xml");
    EXPECT_NE(map.find("<width>96</width>"), std::string::npos) << map;
    EXPECT_NE(map.find("<height>72</height>"), std::string::npos) << map;
    EXPECT_NE(map.find("<pix x=\"40\" y=\"30\""), std::string::npos) << map;
    EXPECT_FALSE(cv::imread(root / "sheet.png").empty());
}

}  // namespace
}  // namespace speckmend
