// The sample shoot generator: what it plants, that it repeats itself, and
// that its files are the kinds the demo and the benchmarks rely on; its
// realistic dark-frame sets and their truth lists; and the scorer that
// compares a hot pixel map with a truth list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "shoot/planted.h"
#include "shoot/truth.h"
#include "test_support.h"

namespace speckmend {
namespace {

using testing::readFile;
using testing::runProgram;
using testing::runSpeckmend;
using testing::TempFolder;
using testing::writeFile;

const std::string kGenerator = std::string(SPECKMEND_TOOLS_DIR) + "/make_sample_shoot";

std::vector<std::string> smallShoot(const std::string& seed) {
    return {"--seed",       seed, "--width",  "320", "--height",     "240", "--jpeg-frames", "3",
            "--png-frames", "2",  "--photos", "2",   "--png-photos", "1",   "--hot",         "16"};
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
    "config.xml",         "planted.txt",        "dark/dark_01.jpg",    "dark/dark_02.jpg",    "dark/dark_03.jpg",
    "dark/dark_04.png",   "dark/dark_05.png",   "photos/photo_01.jpg", "photos/photo_02.jpg", "photos/photo_03.png",
    "clean/photo_01.png", "clean/photo_02.png", "clean/photo_03.png"};

TEST(SampleShoot, PlantsHotPixelsOfEveryKindInsideTheFrame) {
    TempFolder folder;
    const shoot::PlantedList planted =
        shoot::parsePlanted(readFile(generate(folder, "shoot", smallShoot("5")) + "/planted.txt"));
    EXPECT_EQ(planted.width, 320);
    EXPECT_EQ(planted.height, 240);
    std::map<std::string, int> kinds;
    for (const shoot::PlantedPixel& p : planted.pixels) {
        SCOPED_TRACE(::testing::Message() << p.kind << " at " << p.x << "," << p.y);
        ++kinds[p.kind];
        EXPECT_GE(p.x, 0);
        EXPECT_GE(p.y, 0);
        EXPECT_LT(p.x, planted.width);
        EXPECT_LT(p.y, planted.height);
        const int fromBorder = std::min({p.x, p.y, planted.width - 1 - p.x, planted.height - 1 - p.y});
        if (p.kind == "border") {
            EXPECT_EQ(fromBorder, 0);
        }
        if (p.kind == "edge") {
            EXPECT_TRUE(fromBorder >= 1 && fromBorder <= 3);
        }
        if (p.kind != "border" && p.kind != "edge") {
            EXPECT_GE(fromBorder, 4);
        }
        EXPECT_EQ(p.findable, p.kind != "border" && p.kind != "plateau");
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
    const shoot::PlantedList planted = shoot::parsePlanted(readFile(out + "/planted.txt"));
    std::vector<shoot::PlantedPixel> pair;
    for (const shoot::PlantedPixel& p : planted.pixels) {
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
        const std::size_t length = static_cast<std::size_t>(static_cast<unsigned char>(jpeg[at + 2])) * 256 +
                                   static_cast<unsigned char>(jpeg[at + 3]);
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
    const shoot::PlantedList planted = shoot::parsePlanted(readFile(out + "/planted.txt"));
    const cv::Mat photo = cv::imread(out + "/photos/photo_03.png", cv::IMREAD_COLOR);
    const cv::Mat clean = cv::imread(out + "/clean/photo_03.png", cv::IMREAD_COLOR);
    ASSERT_EQ(photo.size(), cv::Size(320, 240));
    ASSERT_EQ(clean.size(), photo.size());
    cv::Mat changed;
    const cv::Mat differs = photo != clean;
    cv::reduce(differs.reshape(1, photo.rows * photo.cols), changed, 1, cv::REDUCE_MAX);
    int hot = 0;
    for (const shoot::PlantedPixel& p : planted.pixels) {
        const cv::Vec3b a = photo.at<cv::Vec3b>(p.y, p.x), b = clean.at<cv::Vec3b>(p.y, p.x);
        for (int c = 0; c < 3; ++c) EXPECT_GE(a[c], b[c]) << p.x << "," << p.y;
        hot += a != b;
    }
    EXPECT_EQ(cv::countNonZero(changed), hot);
    EXPECT_GE(hot, static_cast<int>(planted.pixels.size()) - 2);  // a saturated pixel cannot get brighter
}

TEST(SampleShoot, RefusesBadOptions) {
    TempFolder folder;
    const std::vector<std::vector<std::string>> calls = {
        {},                                                                           // no --out
        {"--out", folder / "x", "--width", "10"},                                     // too small
        {"--out", folder / "x", "--hot", "many"},                                     // not a number
        {"--out", folder / "x", "--colour", "1"},                                     // unknown
        {"--out"},                                                                    // no value
        {"--out", folder / "x", "--width", "64", "--height", "64", "--hot", "5000"},  // no room
        {"--out", folder / "x", "--set", "moon"},                                     // no such set
        {"--out", folder / "x", "--set", "clean", "--photos", "2"},                   // the demo's option
        {"--out", folder / "x", "--frames", "3"},                                     // a set's option
        {"--out", folder / "x", "--set", "clean", "--frames", "65"},                  // more than a set holds
        {"--out", folder / "x", "--set", "clean", "--format", "tiff"},                // no such format
        {"--out", folder / "x", "--set", "bayer", "--format", "png"},                 // colour darks are JPEGs
        {"--out", folder / "x", "--set", "glow", "--width", "64", "--height", "64"},  // no room for 200
    };
    for (const auto& call : calls) {
        const auto run = runProgram(kGenerator, call, folder.path());
        EXPECT_NE(run.status, 0);
        EXPECT_NE(run.errors.find("make_sample_shoot: "), std::string::npos);
    }
}

TEST(SampleShoot, TheDemoSetIsTheShootWithoutASet) {
    TempFolder folder;
    const std::string plain = generate(folder, "plain", smallShoot("11"));
    std::vector<std::string> named = smallShoot("11");
    named.insert(named.end(), {"--set", "demo"});
    const std::string demo = generate(folder, "demo", named);
    for (const std::string& file : kFiles) {
        SCOPED_TRACE(file);
        EXPECT_EQ(readFile(plain + "/" + file), readFile(demo + "/" + file));
    }
}

// ---- Realistic dark-frame sets ----------------------------------------------

constexpr int kSetWidth = 320, kSetHeight = 240, kSetFrames = 4;

std::vector<std::string> smallSet(const std::string& set, const std::string& seed, int hot = 24,
                                  int frames = kSetFrames) {
    return {"--set",    set,
            "--seed",   seed,
            "--width",  std::to_string(kSetWidth),
            "--height", std::to_string(kSetHeight),
            "--frames", std::to_string(frames),
            "--hot",    std::to_string(hot)};
}

std::string frameName(int index, bool jpeg) {
    return std::string("dark/dark_") + (index < 10 ? "0" : "") + std::to_string(index) + (jpeg ? ".jpg" : ".png");
}

std::vector<cv::Mat> readFrames(const std::string& out, bool jpeg, int count = kSetFrames) {
    std::vector<cv::Mat> frames;
    for (int i = 1; i <= count; ++i) {
        cv::Mat frame = cv::imread(out + "/" + frameName(i, jpeg), cv::IMREAD_UNCHANGED);
        EXPECT_FALSE(frame.empty()) << frameName(i, jpeg);
        cv::Mat asFloat;
        frame.convertTo(asFloat, CV_32F);
        frames.push_back(asFloat);
    }
    return frames;
}

cv::Mat meanOf(const std::vector<cv::Mat>& frames) {
    cv::Mat sum = cv::Mat::zeros(frames[0].size(), frames[0].type());
    for (const cv::Mat& f : frames) sum += f;
    return sum / static_cast<double>(frames.size());
}

// The median of one channel over the ring of pixels 4 to 6 pixels (in
// both directions) outside a box: the spot's background.
float ringMedian(const cv::Mat& image, const shoot::Spot& s, int channel) {
    std::vector<float> values;
    for (int y = s.top - 6; y <= s.bottom + 6; ++y) {
        for (int x = s.left - 6; x <= s.right + 6; ++x) {
            const int dx = std::max(s.left - x, x - s.right), dy = std::max(s.top - y, y - s.bottom);
            if (std::max(dx, dy) < 4 || x < 0 || y < 0 || x >= image.cols || y >= image.rows) continue;
            values.push_back(image.ptr<float>(y)[x * image.channels() + channel]);
        }
    }
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

float valueAt(const cv::Mat& image, int x, int y, int channel) {
    return image.ptr<float>(y)[x * image.channels() + channel];
}

TEST(DarkSets, EverySetRepeatsItselfAndChangesWithTheSeed) {
    const std::vector<std::string> sets = {"clean", "high-iso", "glow",  "clusters", "lines",
                                           "flicker", "bayer",   "raw12", "raw14"};
    TempFolder folder;
    for (const std::string& set : sets) {
        SCOPED_TRACE(set);
        const std::string first = generate(folder, set + "-first", smallSet(set, "3"));
        const std::string again = generate(folder, set + "-again", smallSet(set, "3"));
        const std::string other = generate(folder, set + "-other", smallSet(set, "4"));
        const bool jpeg = set == "bayer";
        for (const std::string& file :
             {std::string("truth.txt"), std::string("config.xml"), frameName(1, jpeg), frameName(kSetFrames, jpeg)}) {
            SCOPED_TRACE(file);
            const std::string bytes = readFile(first + "/" + file);
            EXPECT_FALSE(bytes.empty());
            EXPECT_EQ(bytes, readFile(again + "/" + file));
        }
        EXPECT_NE(readFile(first + "/truth.txt"), readFile(other + "/truth.txt"));
        EXPECT_NE(readFile(first + "/" + frameName(1, jpeg)), readFile(other + "/" + frameName(1, jpeg)));
        // The frames of one set differ from each other: each has its own noise.
        EXPECT_NE(readFile(first + "/" + frameName(1, jpeg)), readFile(first + "/" + frameName(2, jpeg)));
    }
}

TEST(DarkSets, TheTruthListDescribesTheSet) {
    TempFolder folder;
    struct Row {
        const char* set;
        int tolerance;
        int lines;
        bool clusters;
        bool colour;
    };
    const Row rows[] = {
        {"clean", 1, 0, false, false}, {"glow", 1, 0, false, false}, {"clusters", 1, 0, true, false},
        {"lines", 1, 3, false, false}, {"bayer", 2, 0, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.set);
        const shoot::Truth truth =
            shoot::parseTruth(readFile(generate(folder, row.set, smallSet(row.set, "5")) + "/truth.txt"));
        EXPECT_EQ(truth.set, row.set);
        EXPECT_EQ(truth.width, kSetWidth);
        EXPECT_EQ(truth.height, kSetHeight);
        EXPECT_EQ(truth.frames, kSetFrames);
        EXPECT_EQ(truth.tolerance, row.tolerance);
        std::map<std::string, int> kinds, channels;
        double weakest = 1e9, strongest = 0;
        for (const shoot::Spot& s : truth.spots) {
            ++kinds[s.kind];
            ++channels[s.channel];
            EXPECT_TRUE(s.left <= s.x && s.x <= s.right && s.top <= s.y && s.y <= s.bottom) << s.x << "," << s.y;
            EXPECT_TRUE(s.left >= 0 && s.top >= 0 && s.right < kSetWidth && s.bottom < kSetHeight);
            if (s.kind == "line") continue;
            weakest = std::min(weakest, s.strength);
            strongest = std::max(strongest, s.strength);
        }
        EXPECT_EQ(kinds["pixel"] + kinds["cluster"], 24);
        EXPECT_EQ(kinds["line"], row.lines);
        EXPECT_EQ(kinds["cluster"] > 0, row.clusters);
        if (row.colour) {
            EXPECT_GT(channels["blue"], 0);
            EXPECT_GT(channels["green"], 0);
            EXPECT_GT(channels["red"], 0);
        } else {
            EXPECT_EQ(channels["grey"], static_cast<int>(truth.spots.size()));
        }
        // From faint to saturated (the drawn strengths are spread evenly on a
        // log scale from 10 to 320 DN above the background).
        if (!row.colour) {
            EXPECT_LT(weakest, 25.0);
        }
        EXPECT_GT(strongest, 150.0);
        EXPECT_LE(strongest, 255.0);
    }
}

// The strength a grey set lists against what its mean frame shows, and no
// hot pixel in the frames that the list leaves out.
TEST(DarkSets, TheMeanFrameShowsThePlantedStrengthsAndNothingElse) {
    TempFolder folder;
    struct Row {
        const char* set;
        double readNoise;  // per frame, DN
    };
    const Row rows[] = {{"clean", 1.5},    {"high-iso", 5.0}, {"glow", 2.0},
                        {"clusters", 2.0}, {"lines", 2.0},    {"flicker", 2.0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.set);
        const std::string out = generate(folder, row.set, smallSet(row.set, "6"));
        const shoot::Truth truth = shoot::parseTruth(readFile(out + "/truth.txt"));
        const cv::Mat mean = meanOf(readFrames(out, false));
        cv::Mat listed(mean.size(), CV_8UC1, cv::Scalar(0));
        for (const shoot::Spot& s : truth.spots) {
            SCOPED_TRACE(::testing::Message() << s.kind << " at " << s.x << "," << s.y << ", " << s.strength << " DN");
            // Widened by one: the shot noise of a bright pixel may lift a
            // neighbour's residual in the median test below.
            listed(cv::Rect(cv::Point(std::max(0, s.left - 1), std::max(0, s.top - 1)),
                            cv::Point(std::min(kSetWidth, s.right + 2), std::min(kSetHeight, s.bottom + 2))))
                .setTo(255);
            if (s.kind == "line") {
                // Against the parallel line three pixels over, point by point.
                std::vector<float> steps;
                const bool column = s.left == s.right;
                const int offset = (column ? s.left : s.top) >= 3 ? -3 : 3;
                for (int t = column ? s.top : s.left; t <= (column ? s.bottom : s.right); ++t) {
                    const int x = column ? s.left : t, y = column ? t : s.top;
                    steps.push_back(valueAt(mean, x, y, 0) -
                                    valueAt(mean, column ? x + offset : x, column ? y : y + offset, 0));
                }
                std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
                EXPECT_NEAR(steps[steps.size() / 2], s.strength, 1.5);
                continue;
            }
            const double measured = valueAt(mean, s.x, s.y, 0) - ringMedian(mean, s, 0);
            // The noise of a mean of four frames, with the shot noise of the
            // dark current (a flickering pixel is up to twice as bright when lit).
            const double sigma = std::sqrt(row.readNoise * row.readNoise + 0.6 * s.strength) / std::sqrt(kSetFrames);
            EXPECT_NEAR(measured, s.strength, 4.5 * sigma + 1.0);
            for (int y = s.top; y <= s.bottom; ++y) {
                for (int x = s.left; x <= s.right; ++x)
                    EXPECT_LE(valueAt(mean, x, y, 0), valueAt(mean, s.x, s.y, 0) + 4.5 * sigma);
            }
        }
        cv::Mat smooth;
        cv::medianBlur(mean, smooth, 5);
        const cv::Mat residual = mean - smooth;
        const double bound = 6.0 * row.readNoise / std::sqrt(kSetFrames) + 3.0;
        const cv::Mat unlisted = (residual > bound) & (listed == 0);
        std::vector<cv::Point> strays;
        cv::findNonZero(unlisted, strays);
        EXPECT_TRUE(strays.empty()) << strays.size() << " hot pixels not in the list, the first at " << strays[0];
    }
}

// The raw sets hold a 12- or 14-bit sensor's values in 16-bit PNGs: the
// clean set's levels in those units, saturating at the sensor's top value.
TEST(DarkSets, RawSetsUseTheLowBitsOfSixteen) {
    TempFolder folder;
    for (const int bits : {12, 14}) {
        const std::string set = "raw" + std::to_string(bits);
        SCOPED_TRACE(set);
        const std::string out = generate(folder, set, smallSet(set, "9"));
        const cv::Mat frame = cv::imread(out + "/" + frameName(1, false), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(frame.type(), CV_16UC1);
        double lowest = 0, highest = 0;
        cv::minMaxLoc(frame, &lowest, &highest);
        const double unit = 1 << (bits - 8);
        EXPECT_EQ(highest, (1 << bits) - 1);  // the strongest spots saturate
        EXPECT_LE(cv::mean(frame)[0], 8.0 * unit);  // a black level of 3 to 5 DN, in these units
        EXPECT_GE(cv::mean(frame)[0], 2.0 * unit);
        const shoot::Truth truth = shoot::parseTruth(readFile(out + "/truth.txt"));
        double weakest = 1e9;
        for (const shoot::Spot& s : truth.spots) weakest = std::min(weakest, s.strength);
        EXPECT_GE(weakest, 8.0 * unit);
        EXPECT_LT(weakest, 25.0 * unit);
    }
}

TEST(DarkSets, BlackLevelAndGlowAreWhereTheSetSaysTheyAre) {
    TempFolder folder;
    struct Row {
        const char* set;
        double cornerSpread;  // the brightest corner's background over the darkest's, at least or at most
        bool glowing;
    };
    const Row rows[] = {{"clean", 2.5, false}, {"high-iso", 2.5, false}, {"glow", 30.0, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.set);
        const std::string out = generate(folder, row.set, smallSet(row.set, "8"));
        const cv::Mat mean = meanOf(readFrames(out, false));
        std::vector<double> corners;
        for (const cv::Point corner : {cv::Point(0, 0), cv::Point(kSetWidth - 8, 0), cv::Point(0, kSetHeight - 8),
                                       cv::Point(kSetWidth - 8, kSetHeight - 8)}) {
            cv::Mat patch = mean(cv::Rect(corner, cv::Size(8, 8))).clone().reshape(1, 1);
            cv::sort(patch, patch, cv::SORT_ASCENDING);
            corners.push_back(patch.at<float>(0, 32));
        }
        const double darkest = *std::min_element(corners.begin(), corners.end());
        const double brightest = *std::max_element(corners.begin(), corners.end());
        EXPECT_GE(darkest, 2.5);
        EXPECT_LE(darkest, 6.5);
        if (row.glowing)
            EXPECT_GE(brightest - darkest, row.cornerSpread);
        else
            EXPECT_LE(brightest - darkest, row.cornerSpread);
    }
}

TEST(DarkSets, FlickeringPixelsAreDarkInSomeFrames) {
    TempFolder folder;
    struct Row {
        const char* set;
        bool flickers;
    };
    const Row rows[] = {{"flicker", true}, {"clean", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.set);
        const std::string out = generate(folder, row.set, smallSet(row.set, "9"));
        const shoot::Truth truth = shoot::parseTruth(readFile(out + "/truth.txt"));
        const std::vector<cv::Mat> frames = readFrames(out, false);
        const cv::Mat mean = meanOf(frames);
        int flickering = 0, steady = 0;
        for (const shoot::Spot& s : truth.spots) {
            if (s.strength < 30) continue;
            const float background = ringMedian(mean, s, 0);
            float low = 1e9f, high = -1e9f;
            for (const cv::Mat& f : frames) {
                low = std::min(low, valueAt(f, s.x, s.y, 0) - background);
                high = std::max(high, valueAt(f, s.x, s.y, 0) - background);
            }
            if (low < 0.3 * s.strength && high > 1.3 * s.strength)
                ++flickering;
            else
                ++steady;
        }
        EXPECT_EQ(flickering > 0, row.flickers) << flickering << " flickering";
        EXPECT_GT(steady, 0);
    }
}

TEST(DarkSets, BayerDarksAreColourJpegsShowingEachSiteInItsColour) {
    TempFolder folder;
    // Sixteen frames: the JPEG's chroma and the demosaicing leave more noise
    // per site than in a grey frame.
    constexpr int kFrames = 16;
    const std::string out = generate(folder, "bayer", smallSet("bayer", "10", 30, kFrames));
    const shoot::Truth truth = shoot::parseTruth(readFile(out + "/truth.txt"));
    const std::string jpeg = readFile(out + "/" + frameName(1, true));
    EXPECT_EQ(sampling(jpeg), "2x1 1x1 1x1");
    const cv::Mat mean = meanOf(readFrames(out, true, kFrames));
    ASSERT_EQ(mean.channels(), 3);
    const std::map<std::string, int> index = {{"blue", 0}, {"green", 1}, {"red", 2}};
    int checked = 0;
    for (const shoot::Spot& s : truth.spots) {
        SCOPED_TRACE(::testing::Message()
                     << s.channel << " site at " << s.x << "," << s.y << ", " << s.strength << " DN");
        ASSERT_EQ(index.count(s.channel), 1u);
        // Per channel, the largest excess within the tolerance of the site.
        double excess[3];
        for (int c = 0; c < 3; ++c) {
            const float background = ringMedian(mean, s, c);
            excess[c] = -1e9;
            for (int y = s.y - 2; y <= s.y + 2; ++y) {
                for (int x = s.x - 2; x <= s.x + 2; ++x)
                    excess[c] = std::max<double>(excess[c], valueAt(mean, x, y, c) - background);
            }
        }
        const int named = index.at(s.channel);
        // Read noise 2.5 DN and the shot noise of the site, which the JPEG
        // may have dimmed to half its raw level.
        const double sigma = std::sqrt(2.5 * 2.5 + 0.6 * s.strength) / std::sqrt(kFrames);
        EXPECT_NEAR(excess[named], s.strength, 4.5 * sigma + 2.0);
        if (s.strength < 25) continue;
        ++checked;
        for (int c = 0; c < 3; ++c) {
            if (c != named) {
                EXPECT_GT(excess[named], excess[c]) << "channel " << c;
            }
        }
    }
    EXPECT_GE(checked, 10);
}

// ---- Scoring a map against a truth list --------------------------------------

// 600 by 600 pixels: one false positive is 16.67 per 6 megapixels.
const char* const kHandTruth =
    "# made by hand\n"
    "set hand\n"
    "size 600 600\n"
    "frames 8\n"
    "tolerance 1\n"
    "hot pixel 100 100 5.0 100 100 100 100 grey\n"
    "hot pixel 200 100 15.0 200 100 200 100 grey\n"
    "hot pixel 300 100 30.0 300 100 300 100 grey\n"
    "hot pixel 400 100 60.0 400 100 400 100 grey\n"
    "hot pixel 500 100 200.0 500 100 500 100 grey\n"
    "hot cluster 100 300 50.0 99 299 101 301 grey\n"
    "hot line 450 400 20.0 450 200 450 599 grey\n"
    "hot line 300 500 15.0 0 500 599 500 grey\n";

std::string mapText(const std::string& entries, int width = 600, int height = 600) {
    return "<?xml version=\"1.0\"?>\n<hotpixels>\n <width>" + std::to_string(width) + "</width>\n <height>" +
           std::to_string(height) + "</height>\n" + entries + "</hotpixels>\n";
}

std::string pix(int x, int y, int r = 3) {
    return " <pix x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" r=\"" + std::to_string(r) + "\"/>\n";
}

const std::string kEveryPointSpot =
    pix(100, 100) + pix(200, 100) + pix(300, 100) + pix(400, 100) + pix(500, 100) + pix(100, 300);
const std::string kBothLines = " <col x=\"450\" r=\"1\"/>\n <row y=\"500\" r=\"1\"/>\n";

std::map<std::string, std::string> summaryOf(const std::string& output) {
    std::map<std::string, std::string> values;
    const std::size_t at = output.find("\nsummary ");
    if (at == std::string::npos) return values;
    std::istringstream words(output.substr(at + 9, output.find('\n', at + 1) - at - 9));
    std::string word;
    while (words >> word) {
        const std::size_t eq = word.find('=');
        if (eq != std::string::npos) values[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return values;
}

TEST(ScoreDetection, CountsRecallByStrengthFalsePositivesAndLines) {
    const std::string scorer = std::string(SPECKMEND_TOOLS_DIR) + "/score_detection";
    TempFolder folder;
    writeFile(folder / "truth.txt", kHandTruth);
    struct Row {
        const char* name;
        std::string entries;
        std::vector<std::string> options;
        std::map<std::string, std::string> expected;
    };
    const Row rows[] = {
        // Whole and empty maps
        {"every spot and both lines",
         kEveryPointSpot + kBothLines,
         {},
         {{"recall", "1.0000"},
          {"found", "5"},
          {"planted", "5"},
          {"fp", "0"},
          {"lines", "2"},
          {"lines_as_one", "2"},
          {"recall_below10", "1.0000"},
          {"recall80", "1.0000"},
          {"duplicates", "0"},
          {"entries", "8"}}},
        {"nothing",
         "",
         {},
         {{"recall", "0.0000"}, {"found", "0"}, {"fp", "0"}, {"lines_as_one", "0"}, {"lines_in_pieces", "0"}}},
        // Strength buckets: the 5 DN spot counts apart, the others one bucket each
        {"only the faint one",
         pix(100, 100),
         {},
         {{"recall", "0.0000"}, {"recall_below10", "1.0000"}, {"recall10_20", "0.0000"}, {"fp", "0"}}},
        {"the 20-40 and 80+ ones",
         pix(300, 100) + pix(500, 100),
         {},
         {{"found", "2"},
          {"recall", "0.4000"},
          {"recall20_40", "1.0000"},
          {"recall40_80", "0.0000"},
          {"recall80", "1.0000"},
          {"recall10_20", "0.0000"}}},
        // Tolerance
        {"one pixel off", pix(201, 101), {}, {{"recall10_20", "1.0000"}, {"fp", "0"}}},
        {"two pixels off", pix(202, 100), {}, {{"recall10_20", "0.0000"}, {"fp", "1"}}},
        {"two pixels off, tolerance 2", pix(202, 100), {"--tolerance", "2"}, {{"recall10_20", "1.0000"}, {"fp", "0"}}},
        {"next to the cluster's corner", pix(102, 302), {}, {{"recall40_80", "0.5000"}, {"found", "1"}, {"fp", "0"}}},
        // False positives and duplicates
        {"far from everything",
         pix(50, 550),
         {},
         {{"fp", "1"}, {"fp_near_spots", "0"}, {"fp_per_6mp", "16.67"}, {"entries", "1"}}},
        {"in a strong spot's halo", pix(516, 100) + pix(517, 100), {}, {{"fp", "2"}, {"fp_near_spots", "1"}}},
        {"twice on the cluster", pix(100, 300) + pix(101, 301), {}, {{"found", "1"}, {"duplicates", "1"}, {"fp", "0"}}},
        {"a column where none is", " <col x=\"10\" r=\"2\"/>\n", {}, {{"fp", "1"}, {"lines_as_one", "0"}}},
        {"a column where the row crosses", " <col x=\"300\" r=\"2\"/>\n", {}, {{"fp", "1"}, {"lines_as_one", "0"}}},
        // Lines
        {"column one pixel off", " <col x=\"451\" r=\"1\"/>\n", {}, {{"lines_as_one", "1"}, {"fp", "0"}}},
        {"row in pixels",
         pix(20, 500) + pix(250, 500) + pix(590, 501),
         {},
         {{"lines_in_pieces", "1"}, {"lines_as_one", "0"}, {"fp", "0"}}},
        {"pixel beyond the column's end", pix(450, 150), {}, {{"lines_in_pieces", "0"}, {"fp", "1"}}},
        // Map text
        {"attributes in another order",
         " <pix r=\"3\" y=\"100\" x=\"500\"/>\n",
         {},
         {{"recall80", "1.0000"}, {"fp", "0"}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        writeFile(folder / "map.xml", mapText(row.entries));
        std::vector<std::string> arguments = {"truth.txt", "map.xml"};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        const auto run = runProgram(scorer, arguments, folder.path());
        EXPECT_EQ(run.status, 0) << run.errors;
        const auto summary = summaryOf(run.output);
        for (const auto& [key, value] : row.expected) {
            ASSERT_EQ(summary.count(key), 1u) << key << " missing in\n" << run.output;
            EXPECT_EQ(summary.at(key), value) << key << " in\n" << run.output;
        }
    }
}

TEST(ScoreDetection, TheTablePrintsTheBucketsAndTheMisses) {
    const std::string scorer = std::string(SPECKMEND_TOOLS_DIR) + "/score_detection";
    TempFolder folder;
    writeFile(folder / "truth.txt", kHandTruth);
    writeFile(folder / "map.xml", mapText(pix(500, 100) + " <col x=\"450\" r=\"1\"/>\n"));
    const auto run = runProgram(scorer, {"truth.txt", "map.xml"}, folder.path());
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("set hand: 600x600, 8 frames, matched within 1 px\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\n10-20 DN                            1        0     0.0%\n"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("\n80 DN and more                      1        1   100.0%\n"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("\nlines: 2 planted, 1 found as one line, 0 only in pieces, 1 missed\n"),
              std::string::npos);
    EXPECT_NE(
        run.output.find("\nmissed, strongest first: 400,100 (60.0) 100,300 (50.0) 300,100 (30.0) 200,100 (15.0)\n"),
        std::string::npos)
        << run.output;
}

TEST(ScoreDetection, RefusesWhatItCannotScore) {
    const std::string scorer = std::string(SPECKMEND_TOOLS_DIR) + "/score_detection";
    TempFolder folder;
    writeFile(folder / "truth.txt", kHandTruth);
    writeFile(folder / "map.xml", mapText(pix(500, 100)));
    writeFile(folder / "small.xml", mapText(pix(500, 100), 500, 600));
    writeFile(folder / "bad-truth.txt", std::string(kHandTruth) + "hot star 1 2 3.0 1 2 1 2 grey\n");
    writeFile(folder / "bad-map.xml", mapText(" <pix y=\"100\" r=\"3\"/>\n"));
    writeFile(folder / "bad-planted.txt", "size 600 600\npixel 100 100 40 single\n");
    struct Row {
        std::vector<std::string> arguments;
        int status;
        const char* says;
    };
    const Row rows[] = {
        {{"truth.txt", "small.xml"}, 1, "map size 500x600 differs from the frames' 600x600"},
        {{"missing.txt", "map.xml"}, 2, "cannot read missing.txt"},
        {{"truth.txt", "missing.xml"}, 2, "cannot read missing.xml"},
        {{"bad-truth.txt", "map.xml"}, 2, "bad truth line"},
        {{"truth.txt", "bad-map.xml"}, 2, "map entry without its position"},
        {{"bad-planted.txt", "map.xml"}, 2, "bad planted line"},
        {{"truth.txt", "map.xml", "--tolerance", "-1"}, 2, "--tolerance needs"},
        {{"truth.txt"}, 2, "usage"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arguments[0] + (row.arguments.size() > 1 ? " " + row.arguments[1] : ""));
        const auto run = runProgram(scorer, row.arguments, folder.path());
        EXPECT_EQ(run.status, row.status);
        EXPECT_NE((run.output + run.errors).find(row.says), std::string::npos) << run.output << run.errors;
    }
}

// ---- The generator, the program and the scorer together ---------------------

// A set's own configuration runs `speckmend detect` over its frames, and the
// map it writes scores against the truth; the demo shoot's planted.txt is
// still scored as the demo expects.
TEST(ScoreDetection, ScoresWhatDetectWritesForASetAndForTheDemoShoot) {
    const std::string scorer = std::string(SPECKMEND_TOOLS_DIR) + "/score_detection";
    TempFolder folder;
    struct Row {
        const char* name;
        std::vector<std::string> arguments;
        const char* truth;
        const char* says;
    };
    const Row rows[] = {
        {"clean set", smallSet("clean", "12"), "truth.txt", "\nsummary set=clean "},
        {"demo shoot", smallShoot("12"), "planted.txt", "planted hot pixels: "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string out = generate(folder, row.name, row.arguments);
        const auto detect = runSpeckmend({"detect", "config.xml"}, out);
        ASSERT_EQ(detect.status, 0) << detect.output;
        ASSERT_NE(detect.output.find("hotpixel(s) found."), std::string::npos) << detect.output;
        const auto score = runProgram(scorer, {row.truth, "hotpixels.xml"}, out);
        EXPECT_NE(score.output.find(row.says), std::string::npos) << score.output << score.errors;
        EXPECT_EQ(score.output.find("map size"), std::string::npos) << score.output;
        if (std::string(row.truth) == "truth.txt") {
            EXPECT_EQ(score.status, 0);
            // The histogram detector finds the strongest spots at least.
            const auto summary = summaryOf(score.output);
            EXPECT_GT(std::stoi(summary.at("found")), 0);
            EXPECT_EQ(summary.at("planted"), "24");
        }
    }
}

// ---- Former bugs ---------------------------------------------------------------

// --width alone took the demo shoot's height (1024) instead of the set's.
TEST(DarkSets, OneSizeOptionKeepsTheSetsOtherDimension) {
    TempFolder folder;
    const std::string out =
        generate(folder, "narrow", {"--set", "clean", "--width", "160", "--frames", "1", "--hot", "5"});
    const shoot::Truth truth = shoot::parseTruth(readFile(out + "/truth.txt"));
    EXPECT_EQ(truth.width, 160);
    EXPECT_EQ(truth.height, 2000);
    EXPECT_EQ(cv::imread(out + "/dark/dark_01.png", cv::IMREAD_UNCHANGED).size(), cv::Size(160, 2000));
}

}  // namespace
}  // namespace speckmend
