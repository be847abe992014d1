// The sample shoot generator: what it plants, that it repeats itself, and
// that its files are the kinds the demo and the benchmarks rely on.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "test_support.h"

namespace speckmend {
namespace {

using testing::readFile;
using testing::runProgram;
using testing::TempFolder;

const std::string kGenerator = std::string(SPECKMEND_TOOLS_DIR) + "/make_sample_shoot";

struct Planted {
    int x, y, strength;
    std::string kind, expected;
};

struct Shoot {
    int width = 0, height = 0;
    std::vector<Planted> pixels;
};

Shoot parsePlanted(const std::string& text) {
    Shoot shoot;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string tag;
        words >> tag;
        if (tag == "size") words >> shoot.width >> shoot.height;
        Planted p;
        if (tag == "pixel" && words >> p.x >> p.y >> p.strength >> p.kind >> p.expected) shoot.pixels.push_back(p);
    }
    return shoot;
}

std::vector<std::string> smallShoot(const std::string& seed) {
    return {"--seed", seed, "--width", "320", "--height", "240", "--jpeg-frames", "3", "--png-frames", "2",
            "--photos", "2", "--png-photos", "1", "--hot", "16"};
}

// Runs the generator into folder/name and returns that path.
std::string generate(const TempFolder& folder, const std::string& name, std::vector<std::string> arguments) {
    const std::string out = folder / name;
    arguments.insert(arguments.begin(), {"--out", out});
    const auto run = runProgram(kGenerator, arguments, folder.path());
    EXPECT_EQ(run.status, 0) << run.errors;
    return out;
}

const std::vector<std::string> kFiles = {
    "config.xml",        "planted.txt",       "dark/dark_01.jpg",  "dark/dark_02.jpg",  "dark/dark_03.jpg",
    "dark/dark_04.png",  "dark/dark_05.png",  "photos/photo_01.jpg", "photos/photo_02.jpg", "photos/photo_03.png",
    "clean/photo_01.png", "clean/photo_02.png", "clean/photo_03.png"};

TEST(SampleShoot, PlantsHotPixelsOfEveryKindInsideTheFrame) {
    TempFolder folder;
    const Shoot shoot = parsePlanted(readFile(generate(folder, "shoot", smallShoot("5")) + "/planted.txt"));
    EXPECT_EQ(shoot.width, 320);
    EXPECT_EQ(shoot.height, 240);
    std::map<std::string, int> kinds;
    for (const Planted& p : shoot.pixels) {
        SCOPED_TRACE(::testing::Message() << p.kind << " at " << p.x << "," << p.y);
        ++kinds[p.kind];
        EXPECT_GE(p.x, 0);
        EXPECT_GE(p.y, 0);
        EXPECT_LT(p.x, shoot.width);
        EXPECT_LT(p.y, shoot.height);
        const int fromBorder = std::min({p.x, p.y, shoot.width - 1 - p.x, shoot.height - 1 - p.y});
        if (p.kind == "border") EXPECT_EQ(fromBorder, 0);
        if (p.kind == "edge") EXPECT_TRUE(fromBorder >= 1 && fromBorder <= 3);
        if (p.kind != "border" && p.kind != "edge") EXPECT_GE(fromBorder, 4);
        EXPECT_EQ(p.expected, (p.kind == "border" || p.kind == "plateau") ? "missed" : "found");
    }
    EXPECT_EQ(kinds["plateau"], 2);
    EXPECT_EQ(kinds["border"], 1);
    EXPECT_GE(kinds["edge"], 1);
    EXPECT_GE(kinds["cluster"], 2);
    EXPECT_EQ(kinds["single"] + kinds["edge"] + kinds["cluster"], 16);
}

TEST(SampleShoot, ThePlateauIsTwoEqualNeighboursInAQuietPatch) {
    TempFolder folder;
    const std::string out = generate(folder, "shoot", smallShoot("9"));
    const Shoot shoot = parsePlanted(readFile(out + "/planted.txt"));
    std::vector<Planted> pair;
    for (const Planted& p : shoot.pixels) {
        if (p.kind == "plateau") pair.push_back(p);
    }
    ASSERT_EQ(pair.size(), 2u);
    EXPECT_EQ(pair[0].y, pair[1].y);
    EXPECT_EQ(pair[1].x, pair[0].x + 1);
    const cv::Mat lossless = cv::imread(out + "/dark/dark_04.png", cv::IMREAD_UNCHANGED);
    const cv::Mat jpeg = cv::imread(out + "/dark/dark_01.jpg", cv::IMREAD_GRAYSCALE | cv::IMREAD_IGNORE_ORIENTATION);
    ASSERT_FALSE(lossless.empty());
    ASSERT_FALSE(jpeg.empty());
    // Everything the smoothing of the pair and its neighbours reads is 0
    // but the pair itself.
    const cv::Rect around(pair[0].x - 5, pair[0].y - 5, 12, 11);
    cv::Mat expected(around.size(), CV_8UC1, cv::Scalar(0));
    EXPECT_EQ(cv::countNonZero(jpeg(around) != expected), 0);
    expected.at<std::uint8_t>(5, 5) = expected.at<std::uint8_t>(5, 6) = static_cast<std::uint8_t>(pair[0].strength);
    EXPECT_EQ(cv::countNonZero(lossless(around) != expected), 0);
}

TEST(SampleShoot, TheSameSeedWritesTheSameBytes) {
    TempFolder folder;
    const std::string first = generate(folder, "first", smallShoot("42"));
    const std::string again = generate(folder, "again", smallShoot("42"));
    const std::string other = generate(folder, "other", smallShoot("43"));
    for (const std::string& file : kFiles) {
        SCOPED_TRACE(file);
        const std::string bytes = readFile(first + "/" + file);
        EXPECT_FALSE(bytes.empty());
        EXPECT_EQ(bytes, readFile(again + "/" + file));
    }
    EXPECT_NE(readFile(first + "/planted.txt"), readFile(other + "/planted.txt"));
    EXPECT_NE(readFile(first + "/dark/dark_01.jpg"), readFile(other + "/dark/dark_01.jpg"));
}

// Markers of a JPEG file up to the first scan: code and payload.
std::vector<std::pair<int, std::string>> markers(const std::string& jpeg) {
    std::vector<std::pair<int, std::string>> found;
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && static_cast<unsigned char>(jpeg[at]) == 0xFF) {
        const int code = static_cast<unsigned char>(jpeg[at + 1]);
        const std::size_t length =
            static_cast<std::size_t>(static_cast<unsigned char>(jpeg[at + 2])) * 256 + static_cast<unsigned char>(jpeg[at + 3]);
        found.emplace_back(code, jpeg.substr(at + 4, length - 2));
        if (code == 0xDA) break;
        at += 2 + length;
    }
    return found;
}

// "h x v" of each component in the frame header.
std::string sampling(const std::string& jpeg) {
    for (const auto& [code, payload] : markers(jpeg)) {
        if (code != 0xC0 && code != 0xC1 && code != 0xC2) continue;
        std::string text;
        const int components = static_cast<unsigned char>(payload[5]);
        for (int c = 0; c < components; ++c) {
            const int factors = static_cast<unsigned char>(payload[6 + 3 * c + 1]);
            text += (c ? " " : "") + std::to_string(factors >> 4) + "x" + std::to_string(factors & 15);
        }
        return text;
    }
    return "";
}

TEST(SampleShoot, JpegFilesCarryTheirSamplingExifAndComment) {
    TempFolder folder;
    const std::string out = generate(folder, "shoot", smallShoot("7"));
    struct Row {
        const char* file;
        const char* sampling;
    };
    const Row rows[] = {
        {"dark/dark_01.jpg", "1x1"},
        {"photos/photo_01.jpg", "2x2 1x1 1x1"},  // 4:2:0
        {"photos/photo_02.jpg", "2x1 1x1 1x1"},  // 4:2:2
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        const std::string jpeg = readFile(out + "/" + row.file);
        EXPECT_EQ(sampling(jpeg), row.sampling);
        bool exif = false, comment = false;
        for (const auto& [code, payload] : markers(jpeg)) {
            exif |= code == 0xE1 && payload.compare(0, 6, std::string("Exif\0\0", 6)) == 0;
            comment |= code == 0xFE && payload == "Speckmend sample shoot, seed 7";
        }
        EXPECT_TRUE(exif);
        EXPECT_TRUE(comment);
    }
}

TEST(SampleShoot, PhotographsDifferFromTheirCleanCopiesOnlyAtHotPixels) {
    TempFolder folder;
    const std::string out = generate(folder, "shoot", smallShoot("8"));
    const Shoot shoot = parsePlanted(readFile(out + "/planted.txt"));
    const cv::Mat photo = cv::imread(out + "/photos/photo_03.png", cv::IMREAD_COLOR);
    const cv::Mat clean = cv::imread(out + "/clean/photo_03.png", cv::IMREAD_COLOR);
    ASSERT_EQ(photo.size(), cv::Size(320, 240));
    ASSERT_EQ(clean.size(), photo.size());
    cv::Mat changed;
    const cv::Mat differs = photo != clean;
    cv::reduce(differs.reshape(1, photo.rows * photo.cols), changed, 1, cv::REDUCE_MAX);
    int hot = 0;
    for (const Planted& p : shoot.pixels) {
        const cv::Vec3b a = photo.at<cv::Vec3b>(p.y, p.x), b = clean.at<cv::Vec3b>(p.y, p.x);
        for (int c = 0; c < 3; ++c) EXPECT_GE(a[c], b[c]) << p.x << "," << p.y;
        hot += a != b;
    }
    EXPECT_EQ(cv::countNonZero(changed), hot);
    EXPECT_GE(hot, static_cast<int>(shoot.pixels.size()) - 2);  // a saturated pixel cannot get brighter
}

TEST(SampleShoot, RefusesBadOptions) {
    TempFolder folder;
    const std::vector<std::vector<std::string>> calls = {
        {},                                         // no --out
        {"--out", folder / "x", "--width", "10"},   // too small
        {"--out", folder / "x", "--hot", "many"},   // not a number
        {"--out", folder / "x", "--colour", "1"},   // unknown
        {"--out"},                                  // no value
        {"--out", folder / "x", "--width", "64", "--height", "64", "--hot", "5000"},  // no room
    };
    for (const auto& call : calls) {
        const auto run = runProgram(kGenerator, call, folder.path());
        EXPECT_NE(run.status, 0);
        EXPECT_NE(run.errors.find("make_sample_shoot: "), std::string::npos);
    }
}

}  // namespace
}  // namespace speckmend
