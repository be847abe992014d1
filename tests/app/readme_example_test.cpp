// The README's first example, taken from README.md as it stands and run as
// written: the configuration it shows as config.xml, then its commands in
// a shell, on dark frames and photographs made here. A README that drifts
// from what the program does fails this test.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "config/hot_pixel_map.h"
#include "heal_shoot.h"
#include "test_images.h"
#include "test_support.h"

namespace speckmend {
namespace {

namespace fs = std::filesystem;
using testing::ProgramRun;
using testing::readFile;
using testing::TempFolder;
using testing::writeFile;

// The body of the first fenced block of `language` after `heading`; empty
// when there is none.
std::string fencedBlock(const std::string& text, const std::string& heading, const std::string& language) {
    const std::size_t section = text.find("\n" + heading + "\n");
    if (section == std::string::npos) return {};
    const std::string fence = "\n```" + language + "\n";
    const std::size_t begin = text.find(fence, section);
    if (begin == std::string::npos) return {};
    const std::size_t end = text.find("\n```\n", begin + fence.size());
    if (end == std::string::npos) return {};
    return text.substr(begin + fence.size(), end + 1 - begin - fence.size());
}

// Few enough that the default amount (0.999) sets the threshold just above the
// dark background, which the smoothed hot pixels stand well above.
const std::vector<HotPixel> kHotPixels = {{20, 17, 3}, {170, 40, 3}, {250, 190, 3}};
constexpr int kWidth = 320, kHeight = 240;

std::vector<int> jpegQuality() { return {cv::IMWRITE_JPEG_QUALITY, 95}; }

TEST(ReadmeExample, RunsAsWrittenFromOneFolder) {
    const std::string readme = readFile(SPECKMEND_SOURCE_DIR "/README.md");
    const std::string config = fencedBlock(readme, "## A first run", "xml");
    const std::string commands = fencedBlock(readme, "## A first run", "sh");
    ASSERT_NE(config, "") << "no xml block after \"## A first run\" in README.md";
    ASSERT_NE(commands, "") << "no sh block after \"## A first run\" in README.md";

    TempFolder root;
    writeFile(root / "config.xml", config);
    fs::create_directories(root / "darks");
    fs::create_directories(root / "photos");
    const cv::Mat black(kHeight, kWidth, CV_8UC3, cv::Scalar::all(0));
    for (const char* name : {"dark_1.jpg", "dark_2.jpg", "dark_3.jpg"})
        ASSERT_TRUE(cv::imwrite(root / "darks/" + name, testing::withHotPixels(black, kHotPixels), jpegQuality()));
    std::vector<cv::Mat> clean;
    for (unsigned seed : {1u, 2u}) {
        clean.push_back(testing::noisePhoto(kWidth, kHeight, 3, seed, 7, 2.0));
        const std::string name = root / "photos/photo_" + std::to_string(seed) + ".jpg";
        ASSERT_TRUE(cv::imwrite(name, testing::withHotPixels(clean.back(), kHotPixels), jpegQuality()));
    }

    // The commands as written; only the built program is put first on the path.
    const std::string binFolder = fs::path(SPECKMEND_BINARY).parent_path().string();
    const ProgramRun run =
        testing::runProgram("/bin/sh", {"-e", "-c", "PATH='" + binFolder + "':\"$PATH\"\n" + commands}, root.path());
    ASSERT_EQ(run.status, 0) << run.output << run.errors;
    EXPECT_EQ(run.errors, "");
    for (const char* line : {"dark_1.jpg processed.", "dark_3.jpg processed.", "photo_1.jpg processed.",
                             "photo_2.jpg processed.", "3 hotpixel(s) found."}) {
        EXPECT_NE(run.output.find(std::string("\n") + line + "\n"), std::string::npos) << line << "\n" << run.output;
    }

    // The map beside config.xml holds the planted hot pixels.
    HotPixelMapFile map;
    std::string problem;
    ASSERT_TRUE(readHotPixelMapFile(root / "hotpixels.xml", map, problem)) << problem;
    ASSERT_EQ(map.pixels.size(), kHotPixels.size());
    for (std::size_t i = 0; i < kHotPixels.size(); ++i) {
        EXPECT_EQ(map.pixels[i].x, kHotPixels[i].x);
        EXPECT_EQ(map.pixels[i].y, kHotPixels[i].y);
    }
    EXPECT_TRUE(fs::exists(root / "hotpixels.png"));

    // The photographs are repaired into healed/: every hot pixel is back
    // near the clean photograph, far from the burnt-in white.
    for (std::size_t i = 0; i < clean.size(); ++i) {
        const cv::Mat healed = cv::imread(root / "healed/photo_" + std::to_string(i + 1) + ".jpg", cv::IMREAD_COLOR);
        ASSERT_EQ(healed.size(), clean[i].size());
        for (const HotPixel& pixel : kHotPixels) {
            const cv::Vec3b got = healed.at<cv::Vec3b>(pixel.y, pixel.x);
            const cv::Vec3b want = clean[i].at<cv::Vec3b>(pixel.y, pixel.x);
            for (int c = 0; c < 3; ++c) {
                EXPECT_LT(std::abs(got[c] - want[c]), std::max(24, (255 - want[c]) / 3))
                    << "photo " << i + 1 << " at " << pixel.x << "," << pixel.y;
            }
        }
    }
}

}  // namespace
}  // namespace speckmend
