// Healer: the mask of discs, the cached buffers and, above all, that
// inpainting by regions gives exactly what cv::inpaint gives on the whole
// photo.
#include "heal/flow/healer.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include "heal/inpaint/region_inpainter.h"
#include "platform/file_system.h"
#include "platform/image_metadata.h"
#include "test_images.h"
#include "test_support.h"

namespace speckmend {
namespace {

using speckmend::testing::deepNoisePhoto;
using speckmend::testing::inpaintWhole;
using speckmend::testing::noisePhoto;

HealSettings makeSettings(std::vector<HotPixel> pixels, int width, int height, double range = 3, int method = 1,
                          int diffimages = 0) {
    HealSettings settings;
    settings.saveformat = "jpg";
    settings.range = range;
    settings.method = method;
    settings.diffimages = diffimages;
    settings.mul = 60;
    settings.map.pixels = std::move(pixels);
    settings.map.width = width;
    settings.map.height = height;
    return settings;
}

bool identical(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// ---------------------------------------------------------------------------
// The mask

struct MaskCase {
    const char* name;
    std::vector<HotPixel> pixels;
    int expectedCount;  // masked pixels in a 40 x 30 photo; -1: same as drawing the discs directly
};

class MaskTest : public ::testing::TestWithParam<MaskCase> {};

TEST_P(MaskTest, HoldsTheFilledDiscsOfThePositiveRadii) {
    const MaskCase& c = GetParam();
    HealSettings settings = makeSettings(c.pixels, 40, 30);
    Healer healer(settings);
    healer.inpaint(noisePhoto(40, 30, 3, 1));
    const cv::Mat& mask = healer.mask();
    ASSERT_EQ(mask.type(), CV_8UC1);
    ASSERT_EQ(mask.size(), cv::Size(40, 30));

    // Discs of sensible size and place must be exactly the drawing routine's.
    cv::Mat expected = cv::Mat::zeros(30, 40, CV_8UC1);
    bool drawable = true;
    for (const HotPixel& p : c.pixels) {
        if (p.r > 1000) drawable = false;
        if (p.r > 0 && p.r <= 1000 && p.x > -1000 && p.x < 1000 && p.y > -1000 && p.y < 1000)
            cv::circle(expected, {p.x, p.y}, p.r, 255, cv::FILLED, cv::LINE_8);
    }
    if (drawable) {
        EXPECT_TRUE(identical(mask, expected));
    }
    if (c.expectedCount >= 0) {
        EXPECT_EQ(cv::countNonZero(mask), c.expectedCount);
    }
    // Only 0 and 255.
    EXPECT_EQ(cv::countNonZero(mask == 255) + cv::countNonZero(mask == 0), 40 * 30);
}

INSTANTIATE_TEST_SUITE_P(
    Discs, MaskTest,
    ::testing::Values(
        // plain discs
        MaskCase{"one_r1", {{20, 15, 1}}, 5}, MaskCase{"one_r3", {{20, 15, 3}}, -1},
        MaskCase{"overlapping_discs_merge", {{20, 15, 3}, {22, 15, 3}}, -1},
        // clipped at the border: only the quarter inside the photo
        MaskCase{"corner_quarter", {{0, 0, 3}}, -1}, MaskCase{"bottom_right_corner", {{39, 29, 2}}, -1},
        // radii of 0 or less draw nothing
        MaskCase{"zero_and_negative_radius", {{10, 10, 0}, {20, 20, -4}}, 0},
        // former bugs: a disc wholly outside the photo, with coordinates
        // whose sums overflow 32 bits, must be skipped, not drawn or wrapped
        MaskCase{"far_outside", {{INT_MAX, 5, 3}, {INT_MIN, 5, 3}, {-50, 10, 3}, {INT_MAX, INT_MAX, 1 << 20}}, 0},
        // former bugs: radii beyond what the drawing routine handles took
        // seconds and, near 2^31, drew a wrong shape
        MaskCase{"huge_radius_covers_all", {{10, 10, INT_MAX}}, 40 * 30},
        MaskCase{"huge_radius_far_centre", {{-1000000000, 15, 1000000010}}, 11 + 29 * 10}),
    [](const ::testing::TestParamInfo<MaskCase>& info) { return std::string(info.param.name); });

TEST(HealerTest, AllRadiiZeroGivesAnExactCopy) {
    HealSettings settings = makeSettings({{5, 5, 0}, {9, 9, -1}}, 32, 24);
    Healer healer(settings);
    const cv::Mat photo = noisePhoto(32, 24, 3, 2);
    healer.inpaint(photo);
    EXPECT_EQ(cv::countNonZero(healer.mask()), 0);
    EXPECT_TRUE(identical(healer.healed(), photo));
}

TEST(HealerTest, RepairsOnlyMaskedPixelsAndLeavesThePhotoAlone) {
    for (int method : {0, 1}) {
        HealSettings settings = makeSettings({{10, 10, 2}, {30, 5, 1}}, 40, 30, 3, method);
        Healer healer(settings);
        const cv::Scalar flat(40, 80, 120);
        cv::Mat photo(30, 40, CV_8UC3, flat);
        photo.at<cv::Vec3b>(10, 10) = {255, 255, 255};
        photo.at<cv::Vec3b>(5, 30) = {255, 255, 255};
        const cv::Mat before = photo.clone();
        healer.inpaint(photo);
        EXPECT_TRUE(identical(photo, before));
        cv::Mat changed;
        cv::compare(healer.healed(), photo, changed, cv::CMP_NE);
        cv::Mat changedAnywhere;
        cv::reduce(changed.reshape(1, 30 * 40), changedAnywhere, 1, cv::REDUCE_MAX);
        EXPECT_EQ(cv::countNonZero(changedAnywhere.reshape(1, 30) & ~healer.mask()), 0) << method;
        // The bright pixels are gone; a flat surrounding heals to (nearly,
        // for Telea's gradient term) flat.
        cv::Mat deviation;
        cv::absdiff(healer.healed(), flat, deviation);
        EXPECT_LE(cv::norm(deviation, cv::NORM_INF), 3) << method;
    }
}

// ---------------------------------------------------------------------------
// Cached buffers

TEST(HealerTest, SecondPhotoOfTheSameSizeReusesMaskAndBuffers) {
    HealSettings settings = makeSettings({{10, 10, 3}}, 40, 30, 3, 1, 1);
    Healer healer(settings);
    healer.inpaint(noisePhoto(40, 30, 3, 3));
    const cv::Mat firstMask = healer.mask().clone();
    const uchar* maskData = healer.mask().data;
    const uchar* healedData = healer.healed().data;
    // A mask drawn again would now show the moved disc.
    settings.map.pixels = {{30, 20, 3}};
    healer.inpaint(noisePhoto(40, 30, 3, 4));
    EXPECT_TRUE(identical(healer.mask(), firstMask));
    EXPECT_EQ(healer.mask().data, maskData);
    EXPECT_EQ(healer.healed().data, healedData);
}

TEST(HealerTest, AnotherSizeRedrawsTheMask) {
    HealSettings settings = makeSettings({{10, 10, 3}}, 40, 30);
    Healer healer(settings);
    healer.inpaint(noisePhoto(40, 30, 3, 5));
    settings.map.pixels = {{30, 20, 3}};
    healer.inpaint(noisePhoto(50, 30, 3, 6));
    EXPECT_EQ(healer.mask().size(), cv::Size(50, 30));
    EXPECT_EQ(healer.mask().at<uchar>(10, 10), 0);
    EXPECT_EQ(healer.mask().at<uchar>(20, 30), 255);
    EXPECT_EQ(healer.healed().size(), cv::Size(50, 30));
}

TEST(HealerTest, GreyPhotoAfterColourOnesGetsAGreyRepair) {
    HealSettings settings = makeSettings({{10, 10, 2}}, 40, 30, 3, 1, 1);
    Healer healer(settings);
    healer.inpaint(noisePhoto(40, 30, 3, 7));
    ASSERT_EQ(healer.healed().type(), CV_8UC3);
    const cv::Mat grey = noisePhoto(40, 30, 1, 8);
    healer.inpaint(grey);
    EXPECT_EQ(healer.healed().type(), CV_8UC1);
    EXPECT_EQ(healer.difference().type(), CV_8UC1);
    cv::Mat expected;
    cv::inpaint(grey, healer.mask(), expected, 3, 1);
    EXPECT_TRUE(identical(healer.healed(), expected));
    // And back to colour.
    healer.inpaint(noisePhoto(40, 30, 3, 9));
    EXPECT_EQ(healer.healed().type(), CV_8UC3);
}

TEST(HealerTest, DifferenceBufferOnlyWithDifferenceImages) {
    for (int diffimages : {0, 1, -3}) {
        HealSettings settings = makeSettings({{10, 10, 2}}, 40, 30, 3, 1, diffimages);
        Healer healer(settings);
        healer.inpaint(noisePhoto(40, 30, 3, 10));
        EXPECT_EQ(healer.difference().empty(), diffimages == 0) << diffimages;
        if (diffimages != 0) {
            EXPECT_EQ(healer.difference().size(), cv::Size(40, 30));
        }
    }
}

TEST(HealerTest, RejectsPhotosItCannotRepair) {
    HealSettings settings = makeSettings({{10, 10, 2}}, 40, 30);
    Healer healer(settings);
    EXPECT_THROW(healer.inpaint(cv::Mat()), std::invalid_argument);
    EXPECT_THROW(healer.inpaint(cv::Mat(30, 40, CV_32FC3, cv::Scalar(1))), std::invalid_argument);
    EXPECT_THROW(healer.inpaint(cv::Mat(30, 40, CV_16SC1, cv::Scalar(1))), std::invalid_argument);
    EXPECT_THROW(healer.inpaint(cv::Mat::zeros(30, 40, CV_8UC(5))), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// Inpainting by regions is bit-identical to the whole-photo call

enum class Layout { Random, Clustered, EdgeTouching, Chain };

struct IdentityCase {
    const char* name;
    Layout layout;
    int width, height, count, maxRadius;
    double range;
    int depth = CV_8U;
};

std::vector<HotPixel> makeLayout(const IdentityCase& c, std::mt19937& rng) {
    std::vector<HotPixel> pixels;
    auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
    for (int i = 0; i < c.count; ++i) {
        HotPixel p{uniform(0, c.width - 1), uniform(0, c.height - 1), uniform(1, c.maxRadius)};
        switch (c.layout) {
        case Layout::Random: break;
        case Layout::Clustered:
            // Groups of pixels a few ranges apart, near and just beyond
            // the distance at which their neighbourhoods meet.
            if (i % 4 != 0) {
                const HotPixel& anchor = pixels[pixels.size() - 1];
                const int spread = 2 * static_cast<int>(c.range) + 2 * c.maxRadius + 4;
                p.x = std::clamp(anchor.x + uniform(-spread, spread), 0, c.width - 1);
                p.y = std::clamp(anchor.y + uniform(-spread, spread), 0, c.height - 1);
            }
            break;
        case Layout::EdgeTouching:
            switch (i % 4) {
            case 0: p.x = uniform(0, 1); break;
            case 1: p.x = c.width - 1 - uniform(0, 1); break;
            case 2: p.y = uniform(0, 1); break;
            default: p.y = c.height - 1 - uniform(0, 1); break;
            }
            break;
        case Layout::Chain:
            // A diagonal line of pixels spaced so that each merges with the next.
            p.x = (5 + i * (2 * c.maxRadius + 3)) % c.width;
            p.y = (5 + i * (c.maxRadius + 2)) % c.height;
            break;
        }
        pixels.push_back(p);
    }
    return pixels;
}

class RegionIdentityTest : public ::testing::TestWithParam<IdentityCase> {};

TEST_P(RegionIdentityTest, MatchesWholePhotoInpaint) {
    const IdentityCase& c = GetParam();
    std::mt19937 rng(12345);
    for (int trial = 0; trial < 6; ++trial) {
        const std::vector<HotPixel> pixels = makeLayout(c, rng);
        for (int channels : {1, 3}) {
            const cv::Mat photo = c.depth == CV_8U ? noisePhoto(c.width, c.height, channels, 100 + trial)
                                                   : deepNoisePhoto(c.width, c.height, channels, 100 + trial);
            for (int method : {0, 1}) {
                HealSettings settings = makeSettings(pixels, c.width, c.height, c.range, method);
                Healer healer(settings);
                healer.inpaint(photo);
                const cv::Mat whole = inpaintWhole(photo, healer.mask(), c.range, method);
                ASSERT_TRUE(identical(healer.healed(), whole))
                    << c.name << " trial " << trial << " channels " << channels << " method " << method;
                cv::Mat inPlace = photo.clone();
                healer.inpainter().inpaintInPlace(inPlace, method);
                ASSERT_TRUE(identical(inPlace, whole)) << c.name << " in place, trial " << trial;
                // The comparison only means something when the photo was
                // actually split.
                if (c.count > 1 && c.layout != Layout::Chain) {
                    EXPECT_GT(healer.inpainter().regions().size(), 1u) << c.name;
                }
                EXPECT_FALSE(healer.inpainter().wholePhoto());
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, RegionIdentityTest,
                         ::testing::Values(
                             // random maps
                             IdentityCase{"random_range3", Layout::Random, 160, 120, 25, 3, 3.0},
                             IdentityCase{"random_range1", Layout::Random, 160, 120, 30, 2, 1.0},
                             IdentityCase{"random_range_below_one", Layout::Random, 160, 120, 30, 2, 0.3},
                             IdentityCase{"random_range_rounded_up", Layout::Random, 200, 150, 20, 4, 4.5},
                             IdentityCase{"random_wide_range", Layout::Random, 240, 180, 12, 5, 9.0},
                             // clustered maps: neighbourhoods that just meet or just miss
                             IdentityCase{"clustered_range3", Layout::Clustered, 200, 150, 32, 3, 3.0},
                             IdentityCase{"clustered_range6", Layout::Clustered, 240, 180, 24, 2, 6.0},
                             // edge-touching maps: discs clipped by every border
                             IdentityCase{"edges_range3", Layout::EdgeTouching, 120, 90, 16, 4, 3.0},
                             IdentityCase{"edges_range2", Layout::EdgeTouching, 64, 48, 12, 3, 2.0},
                             // one region made of a chain of merged rectangles
                             IdentityCase{"chain", Layout::Chain, 200, 150, 12, 3, 3.0},
                             // 16 bits per channel, which the library inpaints one channel at a time
                             IdentityCase{"random_range3_16bit", Layout::Random, 160, 120, 25, 3, 3.0, CV_16U},
                             IdentityCase{"clustered_range3_16bit", Layout::Clustered, 200, 150, 32, 3, 3.0, CV_16U},
                             IdentityCase{"edges_range2_16bit", Layout::EdgeTouching, 64, 48, 12, 3, 2.0, CV_16U}),
                         [](const ::testing::TestParamInfo<IdentityCase>& info) {
                             return std::string(info.param.name);
                         });

// The margin is tight: one pixel less and some layout differs. This keeps the
// identity test honest; it would pass vacuously if the regions never
// influenced the result.
TEST(RegionInpainterTest, OnePixelLessMarginBreaksIdentity) {
    std::mt19937 rng(777);
    for (int method : {0, 1}) {
        int differing = 0;
        for (int trial = 0; trial < 20; ++trial) {
            const IdentityCase c{"probe", Layout::Random, 120, 90, 12, 3, 3.0};
            HealSettings settings = makeSettings(makeLayout(c, rng), c.width, c.height, c.range, method);
            Healer healer(settings);
            const cv::Mat photo = noisePhoto(c.width, c.height, 3, trial);
            healer.inpaint(photo);
            cv::Mat narrow = photo.clone();
            RegionInpainter::inpaintRegions(
                photo, narrow, healer.mask(),
                RegionInpainter::findRegions(healer.mask(), RegionInpainter::marginFor(c.range) - 1), c.range, method);
            if (!identical(narrow, healer.healed())) ++differing;
        }
        EXPECT_GT(differing, 0) << "method " << method;
    }
}

// What the proof of the identity rests on: every masked pixel belongs to
// exactly one region, lies with its margin inside that region's rectangle,
// and is more than twice the margin from every pixel of another region.
void expectSoundRegions(const std::vector<RegionInpainter::Region>& regions, const cv::Mat& mask, int margin) {
    cv::Mat owners = cv::Mat::zeros(mask.size(), CV_8UC1), reaches = cv::Mat::zeros(mask.size(), CV_8UC1);
    const cv::Mat square = cv::getStructuringElement(cv::MORPH_RECT, {2 * margin + 1, 2 * margin + 1});
    for (const RegionInpainter::Region& region : regions) {
        cv::Mat own = cv::Mat::zeros(mask.size(), CV_8UC1);
        for (const cv::Rect& part : region.parts) mask(part).copyTo(own(part));
        cv::Mat needed, outside = cv::Mat::zeros(mask.size(), CV_8UC1) + 1;
        cv::dilate(own, needed, square);
        outside(region.rect).setTo(0);
        EXPECT_EQ(cv::countNonZero(needed & outside), 0) << "region at " << region.rect;
        owners += own / 255;
        // A pixel within margin of two regions' pixels would let them meet.
        reaches += needed / 255;
    }
    cv::Mat unowned = (mask != 0) & (owners == 0);
    EXPECT_EQ(cv::countNonZero(unowned), 0);
    EXPECT_EQ(cv::countNonZero(owners > 1), 0);
    EXPECT_EQ(cv::countNonZero(reaches > 1), 0);
}

TEST(RegionInpainterTest, RegionsHoldEveryMaskedPixelOnceWithItsMargin) {
    std::mt19937 rng(99);
    const IdentityCase c{"cover", Layout::Clustered, 300, 200, 60, 4, 3.0};
    HealSettings settings = makeSettings(makeLayout(c, rng), c.width, c.height, c.range);
    Healer healer(settings);
    healer.inpaint(noisePhoto(c.width, c.height, 1, 12));
    const int margin = RegionInpainter::marginFor(c.range);
    // Planned from the discs' boxes, as the Healer does, or from a scan of
    // the whole mask: both sound.
    EXPECT_GT(healer.inpainter().regions().size(), 1u);
    expectSoundRegions(healer.inpainter().regions(), healer.mask(), margin);
    expectSoundRegions(RegionInpainter::findRegions(healer.mask(), margin), healer.mask(), margin);
}

// ---------------------------------------------------------------------------
// The per-file pipeline in memory: which path a file takes, and what it gives

std::string encoded(const std::string& extension, const cv::Mat& image) {
    std::vector<uchar> bytes;
    cv::imencode(extension, image, bytes, {cv::IMWRITE_JPEG_QUALITY, 90});
    return std::string(bytes.begin(), bytes.end());
}

struct PathCase {
    const char* name;
    std::string fileName;
    std::function<std::string(const cv::Mat&)> bytes;
    std::string saveformat;
    FileStatus status;
    bool lossless;  // output's blocks away from the hot pixels are the source's
};

class HealPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(HealPathTest, ChosenByContentAndSaveFormat) {
    const PathCase& c = GetParam();
    speckmend::testing::TempFolder folder;
    const std::string indir = folder / "in/", outdir = folder / "out/";
    ASSERT_EQ(mkdir(indir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(outdir.c_str(), 0755), 0);
    const std::vector<HotPixel> pixels = {{20, 17, 2}, {70, 40, 1}};
    cv::Mat photo = noisePhoto(96, 64, 3, 31, 7, 2.0);
    for (const HotPixel& p : pixels) photo(cv::Rect(p.x, p.y, 1, 1)).setTo(cv::Scalar::all(255));
    const std::string source = c.bytes(photo);
    speckmend::testing::writeFile(indir + c.fileName, source);
    HealSettings settings = makeSettings(pixels, 96, 64);
    settings.saveformat = c.saveformat;
    settings.indir = indir;
    settings.outdir = outdir;
    Healer healer(settings);

    const HealedPhoto healed = healer.heal(c.fileName);
    EXPECT_EQ(healed.status, c.status);
    EXPECT_EQ(speckmend::testing::readFile(indir + c.fileName), source);
    EXPECT_FALSE(fileExists(outdir + c.fileName)) << "heal() wrote a file";
    if (c.status != FileStatus::processed) {
        EXPECT_TRUE(healed.files.empty());
        return;
    }
    ASSERT_EQ(healed.files.size(), 1u);
    const std::vector<unsigned char>& output = healed.files[0].bytes;
    const cv::Mat input = cv::imdecode(std::vector<uchar>(source.begin(), source.end()), cv::IMREAD_COLOR);
    const cv::Mat result = cv::imdecode(output, cv::IMREAD_COLOR);
    ASSERT_EQ(result.size(), input.size());
    // Away from the hot pixels' 16-pixel cells (and the decoder's reach
    // across their borders) only a re-encoding changes anything.
    cv::Mat away = cv::Mat::ones(input.size(), CV_8UC1);
    for (const HotPixel& p : pixels) {
        const cv::Point first((p.x - p.r) / 16 * 16 - 2, (p.y - p.r) / 16 * 16 - 2);
        const cv::Point last((p.x + p.r) / 16 * 16 + 18, (p.y + p.r) / 16 * 16 + 18);
        away(cv::Rect(first, last) & cv::Rect(0, 0, 96, 64)) = 0;
    }
    cv::Mat differs;
    cv::compare(input.reshape(1, 96 * 64), result.reshape(1, 96 * 64), differs, cv::CMP_NE);
    cv::reduce(differs, differs, 1, cv::REDUCE_MAX);
    const int changedAway = cv::countNonZero(differs.reshape(1, 64) & away);
    if (c.lossless) {
        EXPECT_EQ(changedAway, 0);
    } else {
        EXPECT_GT(changedAway, 0);
    }
    for (const HotPixel& p : pixels) EXPECT_LT(result.at<cv::Vec3b>(p.y, p.x)[1], 250);
}

INSTANTIATE_TEST_SUITE_P(
    Files, HealPathTest,
    ::testing::Values(
        // a JPEG by its first bytes, saved as jpg: lossless
        PathCase{"jpeg", "a.jpg", [](const cv::Mat& m) { return encoded(".jpg", m); }, "jpg", FileStatus::processed,
                 true},
        PathCase{"jpeg_named_tif", "a.tif", [](const cv::Mat& m) { return encoded(".jpg", m); }, "JPEG",
                 FileStatus::processed, true},
        // other save formats: the plain path (PNG keeps every pixel)
        PathCase{"jpeg_saved_as_jpe", "a.jpg", [](const cv::Mat& m) { return encoded(".jpg", m); }, "jpe",
                 FileStatus::processed, false},
        PathCase{"jpeg_saved_as_png", "a.jpg", [](const cv::Mat& m) { return encoded(".jpg", m); }, "png",
                 FileStatus::processed, true},
        // nothing to heal
        PathCase{"text", "a.jpg", [](const cv::Mat&) { return std::string("not an image"); }, "jpg",
                 FileStatus::cannotLoad, false},
        PathCase{"jpeg_signature_only", "a.jpg", [](const cv::Mat&) { return std::string("\xFF\xD8\xFF\xE0", 4); },
                 "jpg", FileStatus::cannotLoad, false},
        PathCase{"jpeg_of_another_size", "a.jpg", [](const cv::Mat& m) { return encoded(".jpg", m.colRange(0, 80)); },
                 "jpg", FileStatus::badDimension, false},
        PathCase{"png_of_another_size", "a.png", [](const cv::Mat& m) { return encoded(".png", m.rowRange(0, 60)); },
                 "jpg", FileStatus::badDimension, false},
        // an output the writer cannot make: PGM holds grey photos only
        PathCase{"colour_saved_as_pgm", "a.jpg", [](const cv::Mat& m) { return encoded(".jpg", m); }, "pgm",
                 FileStatus::cannotWrite, false},
        // former bugs: the path followed the name, so a .jpeg photo or a
        // save format of Jpg was re-encoded whole, and a PNG named .jpg was
        // refused as a broken JPEG
        PathCase{"jpeg_saved_as_Jpg", "a.jpeg", [](const cv::Mat& m) { return encoded(".jpg", m); }, "Jpg",
                 FileStatus::processed, true},
        PathCase{"png_named_jpg", "a.jpg", [](const cv::Mat& m) { return encoded(".png", m); }, "jpg",
                 FileStatus::processed, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The plain path keeps depth, grey and alpha where the output's format holds
// them, and says what it converted where it does not

struct FormCase {
    const char* name;
    std::string source;  // the source's extension
    int type;            // and its pixels
    std::string saveformat;
    int written;            // the output's type as read back
    std::string converted;  // what the line before the status says was converted; empty: no line
};

class PlainFormTest : public ::testing::TestWithParam<FormCase> {};

TEST_P(PlainFormTest, KeepsWhatTheFormatHolds) {
    const FormCase& c = GetParam();
    speckmend::testing::TempFolder folder;
    const std::string indir = folder / "in/", outdir = folder / "out/";
    ASSERT_EQ(mkdir(indir.c_str(), 0755), 0);
    const std::vector<HotPixel> pixels = {{20, 17, 2}, {70, 40, 1}};
    const int depth = CV_MAT_DEPTH(c.type), channels = CV_MAT_CN(c.type);
    const bool alpha = channels == 2 || channels == 4;
    const int colours = alpha ? channels - 1 : channels;
    const double top = depth == CV_16U ? 65535 : 255;
    cv::Mat colour = depth == CV_16U ? deepNoisePhoto(96, 64, colours, 41) : noisePhoto(96, 64, colours, 41);
    for (const HotPixel& p : pixels) colour(cv::Rect(p.x, p.y, 1, 1)).setTo(cv::Scalar::all(top));
    cv::Mat alphaChannel(64, 96, CV_MAKETYPE(depth, 1));
    cv::RNG(42).fill(alphaChannel, cv::RNG::UNIFORM, 0, top + 1);
    cv::Mat photo = colour;
    if (alpha) cv::merge(std::vector<cv::Mat>{colour, alphaChannel}, photo);
    ASSERT_EQ(photo.type(), c.type);
    std::vector<uchar> source;
    ASSERT_TRUE(cv::imencode(c.source, photo, source));
    // The format is as the test means it (the library may read a grey photo
    // with alpha as colour, or an opaque one without).
    ASSERT_EQ(cv::imdecode(source, cv::IMREAD_UNCHANGED).type(), c.type);
    const std::string name = "a" + c.source;
    speckmend::testing::writeFile(indir + name, std::string(source.begin(), source.end()));
    HealSettings settings = makeSettings(pixels, 96, 64);
    settings.saveformat = c.saveformat;
    settings.indir = indir;
    settings.outdir = outdir;
    Healer healer(settings);

    const HealedPhoto healed = healer.heal(name);
    ASSERT_EQ(healed.status, FileStatus::processed);
    ASSERT_EQ(healed.files.size(), 1u);
    const std::string outputPath = outdir + "a." + c.saveformat;
    EXPECT_EQ(healed.files[0].path, outputPath);
    const std::vector<std::string> lines =
        c.converted.empty()
            ? std::vector<std::string>{}
            : std::vector<std::string>{name + " converted for its output " + outputPath + ": " + c.converted + "\n"};
    EXPECT_EQ(healed.notes, lines);
    const cv::Mat output = cv::imdecode(healed.files[0].bytes, cv::IMREAD_UNCHANGED);
    ASSERT_EQ(output.type(), c.written);
    for (const HotPixel& p : pixels) {
        const cv::Mat spot = output(cv::Rect(p.x, p.y, 1, 1)).reshape(1);
        EXPECT_LT(cv::norm(spot.colRange(0, colours), cv::NORM_INF),
                  0.9 * (CV_MAT_DEPTH(c.written) == CV_16U ? 65535 : 255))
            << "hot pixel at " << p.x << "," << p.y << " left";
    }
    if (c.written != c.type) return;  // converted: the output is the converted photo's

    // Kept: the colours are those of the whole photo inpainted channel by
    // channel at its own depth (so identical away from the discs), the alpha
    // channel is the source's everywhere.
    std::vector<cv::Mat> written;
    cv::split(output, written);
    cv::Mat writtenColour;
    cv::merge(std::vector<cv::Mat>(written.begin(), written.begin() + colours), writtenColour);
    EXPECT_TRUE(identical(writtenColour, inpaintWhole(colour, healer.mask(), 3, 1)));
    cv::Mat differs;
    cv::compare(writtenColour.reshape(1, 64 * 96), colour.reshape(1, 64 * 96), differs, cv::CMP_NE);
    cv::reduce(differs, differs, 1, cv::REDUCE_MAX);
    EXPECT_EQ(cv::countNonZero(differs.reshape(1, 64) & ~healer.mask()), 0);
    if (alpha) {
        EXPECT_TRUE(identical(written.back(), alphaChannel));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PlainFormTest,
    ::testing::Values(
        // kept as the photo is
        FormCase{"grey16_png_to_png", ".png", CV_16UC1, "png", CV_16UC1, ""},
        FormCase{"colour16_png_to_png", ".png", CV_16UC3, "png", CV_16UC3, ""},
        FormCase{"grey16_tif_to_tif", ".tif", CV_16UC1, "tif", CV_16UC1, ""},
        FormCase{"colour16_png_to_tif", ".png", CV_16UC3, "tif", CV_16UC3, ""},
        FormCase{"grey8_png_to_tif", ".png", CV_8UC1, "tif", CV_8UC1, ""},
        FormCase{"alpha16_png_to_tif", ".png", CV_16UC4, "tif", CV_16UC4, ""},
        FormCase{"alpha8_tif_to_png", ".tif", CV_8UC4, "png", CV_8UC4, ""},
        // converted for a format that cannot hold it, and said so
        FormCase{"colour16_png_to_jpg", ".png", CV_16UC3, "jpg", CV_8UC3, "16 bits per channel to 8"},
        FormCase{"grey16_tif_to_jpg", ".tif", CV_16UC1, "jpg", CV_8UC1, "16 bits per channel to 8"},
        FormCase{"alpha8_png_to_jpg", ".png", CV_8UC4, "jpg", CV_8UC3, "alpha channel dropped"},
        FormCase{"alpha16_png_to_jpg", ".png", CV_16UC4, "jpg", CV_8UC3,
                 "16 bits per channel to 8 and alpha channel dropped"},
        FormCase{"alpha16_png_to_webp", ".png", CV_16UC4, "webp", CV_8UC4, "16 bits per channel to 8"},
        FormCase{"grey16_png_to_webp", ".png", CV_16UC1, "webp", CV_8UC3,
                 "16 bits per channel to 8 and grey written as three equal colour channels"},
        // former bugs: a 16-bit TIFF came out 8-bit and a PNG lost its alpha
        // channel, both "processed."
        FormCase{"colour16_tif_to_tif", ".tif", CV_16UC3, "tif", CV_16UC3, ""},
        FormCase{"alpha8_png_to_png", ".png", CV_8UC4, "png", CV_8UC4, ""},
        // former bugs: a grey photo became colour in WebP without a word
        FormCase{"grey8_png_to_webp", ".png", CV_8UC1, "webp", CV_8UC3, "grey written as three equal colour channels"}),
    [](const auto& info) { return std::string(info.param.name); });

// A camera file saved in another format keeps its metadata; the lossless
// path keeps it anyway, as every other byte.
TEST(HealerTest, PlainOutputsCarryTheSourcesMetadata) {
    const std::string sample = std::string(SPECKMEND_SAMPLES_DIR) + "/dn_canon_ixus_v3_614x460.jpg";
    if (!fileExists(sample)) GTEST_SKIP() << "no camera samples at " << SPECKMEND_SAMPLES_DIR;
    const std::string bytes = speckmend::testing::readFile(sample);
    const ImageMetadata source = ImageMetadata::read(std::vector<unsigned char>(bytes.begin(), bytes.end()));
    ASSERT_FALSE(source.empty());
    speckmend::testing::TempFolder folder;
    const std::string indir = folder / "in/";
    ASSERT_EQ(mkdir(indir.c_str(), 0755), 0);
    speckmend::testing::writeFile(indir + "a.jpg", bytes);
    for (const char* saveformat : {"png", "tif", "jpe"}) {
        HealSettings settings = makeSettings({{100, 100, 3}}, 614, 460);
        settings.saveformat = saveformat;
        settings.indir = indir;
        settings.outdir = "out/";
        Healer healer(settings);
        const HealedPhoto healed = healer.heal("a.jpg");
        ASSERT_EQ(healed.status, FileStatus::processed) << saveformat;
        EXPECT_EQ(healed.notes, std::vector<std::string>{}) << saveformat;
        const ImageMetadata output = ImageMetadata::read(healed.files.at(0).bytes);
        EXPECT_EQ(output.kinds(), source.kinds()) << saveformat;
        for (const char* key : {"Exif.Image.Make", "Exif.Photo.DateTimeOriginal", "Exif.Photo.ExposureTime"})
            EXPECT_EQ(output.exifValue(key), source.exifValue(key)) << saveformat << " " << key;
    }
}

TEST(HealerTest, OutputThatCannotBeWrittenIsCannotWrite) {
    speckmend::testing::TempFolder folder;
    const std::string indir = folder / "in/", outdir = folder / "out/";
    ASSERT_EQ(mkdir(indir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(outdir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((outdir + "a.jpg").c_str(), 0755), 0);  // the output name is taken by a folder
    speckmend::testing::writeFile(indir + "a.jpg", encoded(".jpg", noisePhoto(96, 64, 3, 33, 7, 2.0)));
    HealSettings settings = makeSettings({{20, 17, 2}}, 96, 64);
    settings.indir = indir;
    settings.outdir = outdir;
    Healer healer(settings);
    EXPECT_EQ(healer.heal("a.jpg").status, FileStatus::processed);
    EXPECT_EQ(healer.healFile("a.jpg"), FileStatus::cannotWrite);
    EXPECT_EQ(healer.healFile("missing.jpg"), FileStatus::cannotLoad);
}

TEST(HealerTest, LosslessDifferenceImageFollowsTheOutput) {
    speckmend::testing::TempFolder folder;
    const std::string indir = folder / "in/";
    ASSERT_EQ(mkdir(indir.c_str(), 0755), 0);
    const std::vector<HotPixel> pixels = {{40, 30, 3}};
    cv::Mat photo = noisePhoto(96, 64, 3, 32, 7, 2.0);
    photo.at<cv::Vec3b>(30, 40) = {255, 255, 255};
    speckmend::testing::writeFile(indir + "a.JPG", encoded(".jpg", photo));
    HealSettings settings = makeSettings(pixels, 96, 64, 3, 1, 1);
    settings.indir = indir;
    settings.outdir = "out/";
    Healer healer(settings);
    const HealedPhoto healed = healer.heal("a.JPG");
    ASSERT_EQ(healed.status, FileStatus::processed);
    ASSERT_EQ(healed.files.size(), 2u);
    EXPECT_EQ(healed.files[0].path, "out/a.jpg");
    EXPECT_EQ(healed.files[1].path, "out/a.jpg-diff.png");
    const cv::Mat difference = cv::imdecode(healed.files[1].bytes, cv::IMREAD_UNCHANGED);
    ASSERT_EQ(difference.type(), CV_8UC3);
    EXPECT_EQ(difference.at<cv::Vec3b>(30, 40), cv::Vec3b(255, 255, 255));
    EXPECT_EQ(cv::countNonZero(difference(cv::Rect(64, 0, 32, 64)).reshape(1)), 0);
}

}  // namespace
}  // namespace speckmend
