// End to end: the built program in heal mode on generated folders, with
// standard input not a terminal so that the key waits return at once.

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "config/hot_pixel_map.h"
#include "config/settings.h"
#include "heal/flow/heal_run.h"
#include "heal/flow/healer.h"
#include "heal_shoot.h"
#include "platform/directory.h"
#include "platform/file_system.h"
#include "test_images.h"
#include "test_support.h"

namespace speckmend {
namespace {

using speckmend::testing::ProgramRun;
using speckmend::testing::statusBlock;
using speckmend::testing::noisePhoto;
using speckmend::testing::TempFolder;

void writeJpeg(const std::string& path, const cv::Mat& image) {
    ASSERT_TRUE(cv::imwrite(path, image, {cv::IMWRITE_JPEG_QUALITY, 90})) << path;
}

// Every heal key written, as a photographer's configuration would.
struct Shoot : testing::HealShoot {
    Shoot() {
        range = "3";
        method = "1";
        diffimages = "0";
        mul = "60";
    }
};

// Pixels that differ between two images of the same geometry, outside the
// 16-pixel cells the hot pixels' squares touch (grown by two pixels for the
// decoder's chroma interpolation across cell borders).
int changesOutsideCells(const cv::Mat& a, const cv::Mat& b, const std::vector<HotPixel>& pixels) {
    cv::Mat differs;
    cv::compare(a.reshape(1, a.rows * a.cols), b.reshape(1, b.rows * b.cols), differs, cv::CMP_NE);
    cv::reduce(differs, differs, 1, cv::REDUCE_MAX);
    differs = differs.reshape(1, a.rows);
    for (const HotPixel& p : pixels) {
        const int bx = std::max(0, (p.x - p.r) / 16), by = std::max(0, (p.y - p.r) / 16);
        const int ex = (p.x + p.r) / 16, ey = (p.y + p.r) / 16;
        cv::Rect cells(bx * 16 - 2, by * 16 - 2, (ex - bx + 1) * 16 + 4, (ey - by + 1) * 16 + 4);
        differs(cells & cv::Rect(0, 0, a.cols, a.rows)).setTo(0);
    }
    return cv::countNonZero(differs);
}

cv::Mat load(const std::string& path) { return cv::imread(path, cv::IMREAD_ANYCOLOR | cv::IMREAD_IGNORE_ORIENTATION); }

// The shoot's settings as the run reads them, with the outputs going to
// sequential/ instead, for healing the photos one at a time in the test.
HealSettings sequentialSettings(const Shoot& shoot, int diffimages) {
    HealSettings settings;
    settings.indir = shoot.indir;
    settings.outdir = shoot.root / "sequential/";
    settings.saveformat = "jpg";
    settings.range = 3;
    settings.method = 1;
    settings.diffimages = diffimages;
    settings.mul = 60;
    settings.map.pixels = shoot.pixels;
    settings.map.width = shoot.width;
    settings.map.height = shoot.height;
    mkdir(settings.outdir.c_str(), 0755);
    return settings;
}

// ---------------------------------------------------------------------------
// Status lines

TEST(HealRunTest, OneStatusLinePerEntryInListingOrder) {
    Shoot shoot;
    shoot.filter = "*";
    writeJpeg(shoot.indir + "b.jpg", shoot.photo(1));
    testing::writeFile(shoot.indir + "C.txt", "not an image");
    writeJpeg(shoot.indir + "d.JPG", shoot.photo(2));
    cv::Mat small = noisePhoto(64, 96, 3, 3, 7, 2.0);  // the map's size turned round
    writeJpeg(shoot.indir + "e.jpg", small);
    mkdir((shoot.indir + "f.jpg").c_str(), 0755);  // a folder matching the filter
    shoot.outdir = shoot.root / "out/";
    const ProgramRun result = shoot.run();
    EXPECT_EQ(statusBlock(result.output),
              ". error:I/O!\n"
              ".. error:I/O!\n"
              "b.jpg processed.\n"
              "C.txt error:I/O!\n"
              "d.JPG processed.\n"
              "e.jpg error:bad dimension!\n"
              "f.jpg error:I/O!\n");
    EXPECT_TRUE(fileExists(shoot.outdir + "b.jpg"));
    EXPECT_TRUE(fileExists(shoot.outdir + "d.jpg"));
    EXPECT_FALSE(fileExists(shoot.outdir + "e.jpg"));
    EXPECT_FALSE(fileExists(shoot.outdir + "C.jpg"));
    EXPECT_FALSE(fileExists(shoot.outdir + "tmp_drop.jpg"));
    EXPECT_EQ(result.status, 2);  // C.txt and e.jpg failed; the folders do not count
}

struct FatalCase {
    const char* name;
    bool makeFolder;
    const char* file;  // a file to put into the folder, or nullptr
};

class FatalRunTest : public ::testing::TestWithParam<FatalCase> {};

TEST_P(FatalRunTest, NamesTheInputFolder) {
    Shoot shoot;
    shoot.indir = shoot.root / "photos/";
    if (GetParam().makeFolder) mkdir(shoot.indir.c_str(), 0755);
    if (GetParam().file) testing::writeFile(shoot.indir + GetParam().file, "x");
    const ProgramRun result = shoot.run();
    EXPECT_NE(result.output.find("\nCRITICAL ERROR: cannot open first file in " + shoot.indir + "\n"),
              std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("processed."), std::string::npos);
    EXPECT_EQ(result.output.find("error:"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Folders, FatalRunTest,
                         ::testing::Values(FatalCase{"missing_folder", false, nullptr},
                                           FatalCase{"empty_folder", true, nullptr},
                                           FatalCase{"nothing_matches", true, "notes.txt"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Output names and the two write paths

struct NamingCase {
    const char* name;
    std::string input;
    std::string saveformat;
    std::string output;    // expected output name
    bool onlyCellsChange;  // lossless JPEG or an exact format: nothing changes away from the hot pixels
    bool written = true;   // false: the image writer has no format for the name
};

class NamingTest : public ::testing::TestWithParam<NamingCase> {};

TEST_P(NamingTest, DerivesTheNameAndPicksThePath) {
    const NamingCase& c = GetParam();
    Shoot shoot;
    shoot.filter = "*";
    shoot.saveformat = c.saveformat;
    const cv::Mat photo = shoot.photo(4);
    writeJpeg(shoot.indir + "tmp.jpg", photo);
    ASSERT_EQ(std::rename((shoot.indir + "tmp.jpg").c_str(), (shoot.indir + c.input).c_str()), 0);
    const ProgramRun result = shoot.run();
    const std::string status =
        c.written ? " processed.\n"
                  : " not written: its output " + shoot.outdir + c.output +
                        " could not be written: the image library cannot encode the photo in the format of its name\n" +
                        c.input + " error:I/O!\n";
    ASSERT_EQ(statusBlock(result.output), ". error:I/O!\n.. error:I/O!\n" + c.input + status);
    EXPECT_FALSE(fileExists(shoot.outdir + "tmp_drop.jpg"));
    if (!c.written) {
        EXPECT_FALSE(fileExists(shoot.outdir + c.output));
        return;
    }
    ASSERT_TRUE(fileExists(shoot.outdir + c.output)) << c.output;
    const cv::Mat input = load(shoot.indir + c.input);
    const cv::Mat output = load(shoot.outdir + c.output);
    ASSERT_EQ(output.size(), input.size());
    const int outside = changesOutsideCells(input, output, shoot.pixels);
    if (c.onlyCellsChange) {
        EXPECT_EQ(outside, 0);
    } else {
        EXPECT_GT(outside, 0);
    }
    // The hot pixels are repaired either way.
    for (const HotPixel& p : shoot.pixels) EXPECT_LT(output.at<cv::Vec3b>(p.y, p.x)[1], 250) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Names, NamingTest,
                         ::testing::Values(
                             // JPEG to JPEG: lossless for a JPEG by content, whatever its name,
                             // with a save format of jpg or jpeg in any letter case
                             NamingCase{"capital_extension", "DSC_0042.JPG", "jpg", "DSC_0042.jpg", true},
                             NamingCase{"lower_extension", "IMG_0001.jpg", "jpg", "IMG_0001.jpg", true},
                             NamingCase{"jpg_inside_the_name", "frame01.jpg~", "jpg", "frame01.jpg~", true},
                             NamingCase{"jpeg_extension", "DSC_0042.jpeg", "jpg", "DSC_0042.jpg", true},
                             NamingCase{"capital_saveformat", "IMG_0001.jpg", "JPG", "IMG_0001.JPG", true},
                             NamingCase{"saveformat_jpeg", "IMG_0001.jpg", "jpeg", "IMG_0001.jpeg", true},
                             NamingCase{"jpeg_input_capital_saveformat", "IMG_0001.jpeg", "JPG", "IMG_0001.JPG", true},
                             NamingCase{"jpeg_without_an_extension", "frame01", "jpg", "jpg", true},
                             NamingCase{"jpeg_named_png", "frame01.png", "Jpeg", "frame01.Jpeg", true},
                             // plain path, exact format
                             NamingCase{"save_as_png", "IMG_0001.JPG", "png", "IMG_0001.png", true},
                             NamingCase{"only_the_last_extension", "holiday.jpg.bak", "png", "holiday.jpg.png", true},
                             // a name ending in a non-word character is kept as it is (the writer
                             // takes "jpg~" for JPEG)
                             NamingCase{"name_ending_in_tilde", "frame01.jpg~", "png", "frame01.jpg~", false},
                             // the whole name replaced: the writer has no format for "png" alone
                             NamingCase{"name_of_word_characters_only", "frame01", "png", "png", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HealRunTest, PngOutputKeepsEveryUnmaskedPixel) {
    Shoot shoot;
    shoot.saveformat = "png";
    const cv::Mat photo = shoot.photo(5);
    ASSERT_TRUE(cv::imwrite(shoot.indir + "a.png", photo));
    shoot.filter = "*.png";
    const ProgramRun result = shoot.run();
    ASSERT_EQ(statusBlock(result.output), "a.png processed.\n");
    const cv::Mat output = load(shoot.outdir + "a.png");
    ASSERT_EQ(output.type(), CV_8UC3);
    cv::Mat mask = cv::Mat::zeros(photo.size(), CV_8UC1);
    for (const HotPixel& p : shoot.pixels) cv::circle(mask, {p.x, p.y}, p.r, 255, cv::FILLED, cv::LINE_8);
    cv::Mat differs;
    cv::compare(output.reshape(1, photo.rows * photo.cols), photo.reshape(1, photo.rows * photo.cols), differs,
                cv::CMP_NE);
    cv::reduce(differs, differs, 1, cv::REDUCE_MAX);
    EXPECT_EQ(cv::countNonZero(differs.reshape(1, photo.rows) & ~mask), 0);
    EXPECT_GT(cv::countNonZero(differs), 0);
}

TEST(HealRunTest, PortraitFlagIsIgnoredSoTheSensorLayoutCounts) {
    // A JPEG with an Exif orientation of 6 (rotate 90 degrees): loading it
    // upright would swap width and height and give "bad dimension".
    Shoot shoot;
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", shoot.photo(6), jpeg, {cv::IMWRITE_JPEG_QUALITY, 90});
    // Exif APP1 right after SOI: big-endian TIFF, one IFD entry 0x0112 = 6.
    const std::vector<uchar> exif = {0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 0x2A, 0, 0, 0, 8,
                                     0,    1,    0x01, 0x12, 0,   3,   0,   0,   0, 1, 0,   6,   0, 0,    0, 0, 0, 0};
    jpeg.insert(jpeg.begin() + 2, exif.begin(), exif.end());
    testing::writeFile(shoot.indir + "portrait.jpg", std::string(jpeg.begin(), jpeg.end()));
    ASSERT_EQ(cv::imread(shoot.indir + "portrait.jpg").size(), cv::Size(shoot.height, shoot.width));
    const ProgramRun result = shoot.run();
    EXPECT_EQ(statusBlock(result.output), "portrait.jpg processed.\n");
}

// ---------------------------------------------------------------------------
// Difference images

struct DiffCase {
    const char* name;
    std::string mul;
    int hotValue;        // value burnt into the hot pixel of a flat grey photo of value 100
    int expectedCentre;  // difference image value there
};

class DifferenceTest : public ::testing::TestWithParam<DiffCase> {};

TEST_P(DifferenceTest, ScalesRoundsAndSaturates) {
    const DiffCase& c = GetParam();
    Shoot shoot;
    shoot.saveformat = "png";
    shoot.filter = "*.png";
    shoot.method = "0";  // repairs a flat photo exactly
    shoot.diffimages = "1";
    shoot.mul = c.mul;
    shoot.pixels = {{30, 30, 1}};
    cv::Mat photo(shoot.height, shoot.width, CV_8UC3, cv::Scalar::all(100));
    photo.at<cv::Vec3b>(30, 30) = cv::Vec3b(c.hotValue, c.hotValue, c.hotValue);
    ASSERT_TRUE(cv::imwrite(shoot.indir + "flat.png", photo));
    const ProgramRun result = shoot.run();
    ASSERT_EQ(statusBlock(result.output), "flat.png processed.\n");
    cv::Mat difference = load(shoot.outdir + "flat.png-diff.png");
    ASSERT_EQ(difference.type(), CV_8UC3);
    EXPECT_EQ(difference.at<cv::Vec3b>(30, 30), cv::Vec3b(c.expectedCentre, c.expectedCentre, c.expectedCentre));
    difference.at<cv::Vec3b>(30, 30) = cv::Vec3b(0, 0, 0);
    EXPECT_EQ(cv::countNonZero(difference.reshape(1)), 0);
}

INSTANTIATE_TEST_SUITE_P(Gains, DifferenceTest,
                         ::testing::Values(
                             // mul 60: a change of 2 shows as 120, 5 or more saturates
                             DiffCase{"change_2", "60", 102, 120}, DiffCase{"change_5_saturates", "60", 105, 255},
                             DiffCase{"change_155_saturates", "60", 255, 255},
                             // rounding to nearest (halves to even, as the library rounds)
                             DiffCase{"half_gain", "0.5", 103, 2}, DiffCase{"half_gain_odd", "0.5", 109, 4},
                             DiffCase{"gain_one", "1", 137, 37},
                             // a negative gain saturates to black
                             DiffCase{"negative_gain", "-60", 120, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HealRunTest, LosslessDifferenceShowsOnlyTheTransplantedCells) {
    Shoot shoot;
    shoot.diffimages = "1";
    writeJpeg(shoot.indir + "a.jpg", shoot.photo(7));
    const ProgramRun result = shoot.run();
    ASSERT_EQ(statusBlock(result.output), "a.jpg processed.\n");
    const cv::Mat difference = load(shoot.outdir + "a.jpg-diff.png");
    ASSERT_FALSE(difference.empty());
    const cv::Mat zero = cv::Mat::zeros(difference.size(), difference.type());
    EXPECT_EQ(changesOutsideCells(difference, zero, shoot.pixels), 0);
    EXPECT_GT(cv::countNonZero(difference.reshape(1)), 0);
}

// ---------------------------------------------------------------------------
// Behaviour beyond the plain pipeline: failures that end one photo, folders

TEST(HealRunTest, OutputThatCannotBeWrittenIsAnIoError) {
    Shoot shoot;
    shoot.saveformat = "png";
    writeJpeg(shoot.indir + "a.jpg", shoot.photo(8));
    writeJpeg(shoot.indir + "b.jpg", shoot.photo(9));
    mkdir(shoot.outdir.c_str(), 0755);
    mkdir((shoot.outdir + "a.png").c_str(), 0755);  // the output name is taken by a folder
    const ProgramRun result = shoot.run();
    EXPECT_EQ(statusBlock(result.output), "a.jpg not written: its output " + shoot.outdir +
                                              "a.png could not be written: Is a directory\na.jpg error:I/O!\nb.jpg "
                                              "processed.\n");
}

TEST(HealRunTest, FormatTheWriterRefusesIsAnIoError) {
    Shoot shoot;
    shoot.saveformat = "pgm";  // grey only; the photos are colour
    writeJpeg(shoot.indir + "a.jpg", shoot.photo(10));
    const ProgramRun result = shoot.run();
    EXPECT_EQ(statusBlock(result.output),
              "a.jpg not written: its output " + shoot.outdir +
                  "a.pgm could not be written: the image library cannot encode the photo in the format of its name\n"
                  "a.jpg error:I/O!\n");
    EXPECT_FALSE(fileExists(shoot.outdir + "a.pgm"));
}

TEST(HealRunTest, PngNamedJpgTakesThePlainPath) {
    // The path follows the content: a PNG under a .jpg name is no JPEG to
    // transplant into, and is re-encoded whole.
    Shoot shoot;
    std::vector<uchar> png;
    cv::imencode(".png", shoot.photo(12), png);
    testing::writeFile(shoot.indir + "a.jpg", std::string(png.begin(), png.end()));
    writeJpeg(shoot.indir + "b.jpg", shoot.photo(13));
    const ProgramRun result = shoot.run();
    EXPECT_EQ(statusBlock(result.output), "a.jpg processed.\nb.jpg processed.\n");
    EXPECT_EQ(result.status, 0);
    const std::string output = testing::readFile(shoot.outdir + "a.jpg");
    ASSERT_GE(output.size(), 3u);
    EXPECT_EQ(output.substr(0, 3), "\xFF\xD8\xFF");
    EXPECT_FALSE(load(shoot.outdir + "a.jpg").empty());
}

TEST(HealRunTest, MissingOutputFolderIsCreatedWithItsParents) {
    Shoot shoot;
    shoot.outdir = shoot.root / "results/2026/december/";
    writeJpeg(shoot.indir + "a.jpg", shoot.photo(14));
    const ProgramRun result = shoot.run();
    EXPECT_EQ(statusBlock(result.output), "a.jpg processed.\n");
    EXPECT_TRUE(fileExists(shoot.outdir + "a.jpg"));
}

TEST(HealRunTest, RelativeFoldersResolveFromTheStartFolderAndFromIndir) {
    Shoot shoot;
    writeJpeg(shoot.indir + "a.jpg", shoot.photo(15));
    writeJpeg(shoot.indir + "b.jpg", shoot.photo(16));
    shoot.indir = "in/";          // relative to the folder the program starts in
    shoot.outdir = "../healed/";  // relative to indir
    const ProgramRun result = shoot.run(shoot.root.path());
    EXPECT_EQ(statusBlock(result.output), "a.jpg processed.\nb.jpg processed.\n");
    EXPECT_TRUE(fileExists(shoot.root / "healed/a.jpg"));
    EXPECT_TRUE(fileExists(shoot.root / "healed/b.jpg"));
    EXPECT_FALSE(fileExists(shoot.root / "healed/tmp_drop.jpg"));
}

TEST(HealRunTest, DifferenceImageThatCannotBeTakenIsSkippedWithALine) {
    // A grey photo written as WebP reads back with three channels.
    Shoot shoot;
    shoot.saveformat = "webp";
    shoot.diffimages = "1";
    writeJpeg(shoot.indir + "grey.jpg", shoot.photo(17, 1));
    const ProgramRun result = shoot.run();
    EXPECT_EQ(statusBlock(result.output),
              "grey.jpg converted for its output " + shoot.outdir +
                  "grey.webp: grey written as three equal colour channels\n"
                  "grey.jpg difference image skipped: the output reads back with another size or channel count\n"
                  "grey.jpg processed.\n");
    EXPECT_TRUE(fileExists(shoot.outdir + "grey.webp"));
    EXPECT_FALSE(fileExists(shoot.outdir + "grey.webp-diff.png"));
}

TEST(HealRunTest, GreyAndColourPhotosInOneRun) {
    Shoot shoot;
    shoot.saveformat = "png";
    writeJpeg(shoot.indir + "a.jpg", shoot.photo(18, 3));
    writeJpeg(shoot.indir + "b.jpg", shoot.photo(19, 1));
    writeJpeg(shoot.indir + "c.jpg", shoot.photo(20, 3));
    const ProgramRun result = shoot.run();
    ASSERT_EQ(statusBlock(result.output), "a.jpg processed.\nb.jpg processed.\nc.jpg processed.\n");
    EXPECT_EQ(load(shoot.outdir + "a.png").channels(), 3);
    EXPECT_EQ(load(shoot.outdir + "b.png").channels(), 1);
    EXPECT_EQ(load(shoot.outdir + "c.png").channels(), 3);
}

TEST(HealRunTest, OverlappedRunWritesWhatOnePhotoAtATimeWrites) {
    // Mixed grey and colour photos, a non-image and difference images: the
    // run (which loads the next photo while one is written) must leave
    // exactly the files that healing each photo in turn leaves.
    Shoot shoot;
    shoot.diffimages = "1";
    shoot.filter = "*";
    for (int i = 0; i < 6; ++i) {
        const std::string name = "p" + std::to_string(i) + (i % 3 == 2 ? ".png" : ".jpg");
        if (i == 4) {
            testing::writeFile(shoot.indir + name, "no image");
        } else if (i % 3 == 2) {
            ASSERT_TRUE(cv::imwrite(shoot.indir + name, shoot.photo(30 + i, 3)));
        } else {
            writeJpeg(shoot.indir + name, shoot.photo(30 + i, i % 2 ? 1 : 3));
        }
    }
    const ProgramRun result = shoot.run();
    ASSERT_EQ(statusBlock(result.output),
              ". error:I/O!\n.. error:I/O!\np0.jpg processed.\np1.jpg processed.\np2.png processed.\n"
              "p3.jpg processed.\np4.jpg error:I/O!\np5.png processed.\n");

    const HealSettings settings = sequentialSettings(shoot, 1);
    Healer healer(settings);
    for (const char* name : {"p0.jpg", "p1.jpg", "p2.png", "p3.jpg", "p5.png"}) {
        ASSERT_EQ(healer.healFile(name), FileStatus::processed) << name;
        const std::string saved = std::string(name).substr(0, 2) + ".jpg";  // saveformat jpg
        for (const std::string& file : {saved, saved + "-diff.png"})
            EXPECT_TRUE(testing::readFile(shoot.outdir + file) == testing::readFile(settings.outdir + file)) << file;
    }
}

TEST(HealRunTest, OutdirWithoutSeparatorPrefixesNamesInTheInputFolder) {
    // Paths are plain concatenations: an outdir of "healed_" puts
    // healed_a.png beside a.jpg. (Such a run is also kept strictly one photo
    // after the other, since outputs land where inputs are read.)
    Shoot shoot;
    shoot.saveformat = "png";
    writeJpeg(shoot.indir + "a.jpg", shoot.photo(40));
    writeJpeg(shoot.indir + "b.jpg", shoot.photo(41));
    shoot.outdir = "healed_";
    const ProgramRun result = shoot.run();
    EXPECT_EQ(statusBlock(result.output), "a.jpg processed.\nb.jpg processed.\n") << result.output;
    EXPECT_TRUE(fileExists(shoot.indir + "healed_a.png"));
    EXPECT_TRUE(fileExists(shoot.indir + "healed_b.png"));
}

// ---------------------------------------------------------------------------
// Data safety: outputs whole or absent, no file of the user's touched

std::set<std::string> namesIn(const std::string& folder) {
    std::set<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.insert(name);
        }
        closedir(dir);
    }
    return names;
}

// A JPEG with an Exif APP1 segment right after SOI (orientation 1).
std::string jpegWithExif(const cv::Mat& photo) {
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", photo, jpeg, {cv::IMWRITE_JPEG_QUALITY, 90});
    const std::vector<uchar> exif = {0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 0x2A, 0, 0, 0, 8,
                                     0,    1,    0x01, 0x12, 0,   3,   0,   0,   0, 1, 0,   1,   0, 0,    0, 0, 0, 0};
    jpeg.insert(jpeg.begin() + 2, exif.begin(), exif.end());
    return std::string(jpeg.begin(), jpeg.end());
}

struct ExifCase {
    const char* name;
    std::string input;
    std::string saveformat;
    std::string output;
};

class LosslessByContentTest : public ::testing::TestWithParam<ExifCase> {};

TEST_P(LosslessByContentTest, KeepsExifAndEveryBlockAwayFromTheHotPixels) {
    const ExifCase& c = GetParam();
    Shoot shoot;
    shoot.filter = "*";
    shoot.saveformat = c.saveformat;
    const std::string source = jpegWithExif(shoot.photo(50));
    testing::writeFile(shoot.indir + c.input, source);
    const ProgramRun result = shoot.run();
    ASSERT_EQ(statusBlock(result.output), ". error:I/O!\n.. error:I/O!\n" + c.input + " processed.\n");
    const std::string output = testing::readFile(shoot.outdir + c.output);
    // The Exif segment, byte for byte, where the source had it.
    ASSERT_GT(output.size(), 40u);
    EXPECT_EQ(output.substr(0, 38), source.substr(0, 38));
    const int outside = changesOutsideCells(load(shoot.indir + c.input), load(shoot.outdir + c.output), shoot.pixels);
    EXPECT_EQ(outside, 0);
}

INSTANTIATE_TEST_SUITE_P(Names, LosslessByContentTest,
                         ::testing::Values(
                             // the plain case
                             ExifCase{"jpg_to_jpg", "DSC_0042.jpg", "jpg", "DSC_0042.jpg"},
                             // former bugs: these took the plain path, re-encoding the whole
                             // photo and dropping its Exif
                             ExifCase{"jpeg_input", "DSC_0042.jpeg", "jpg", "DSC_0042.jpg"},
                             ExifCase{"saveformat_in_capitals", "DSC_0042.jpg", "JPG", "DSC_0042.JPG"},
                             ExifCase{"saveformat_jpeg", "DSC_0042.JPEG", "jpeg", "DSC_0042.jpeg"},
                             ExifCase{"mixed_case_jpeg", "DSC_0042.jpeg", "JpEg", "DSC_0042.JpEg"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HealRunTest, OutputNamesThatCollideKeepTheFirstPhotosOutput) {
    Shoot shoot;
    writeJpeg(shoot.indir + "X.JPG", shoot.photo(51));
    writeJpeg(shoot.indir + "X.jpg", shoot.photo(52));
    writeJpeg(shoot.indir + "y.jpg", shoot.photo(53));
    const ProgramRun result = shoot.run();
    EXPECT_EQ(statusBlock(result.output),
              "X.JPG processed.\n"
              "X.jpg not written: its output " +
                  shoot.outdir +
                  "X.jpg is already the output of X.JPG\n"
                  "X.jpg error:I/O!\n"
                  "y.jpg processed.\n");
    // What X.jpg holds is X.JPG's repair, as a run over X.JPG alone writes it.
    Shoot alone;
    writeJpeg(alone.indir + "X.JPG", shoot.photo(51));
    ASSERT_EQ(statusBlock(alone.run().output), "X.JPG processed.\n");
    EXPECT_TRUE(testing::readFile(shoot.outdir + "X.jpg") == testing::readFile(alone.outdir + "X.jpg"));
    EXPECT_EQ(namesIn(shoot.outdir), (std::set<std::string>{"X.jpg", "y.jpg"}));
}

TEST(HealRunTest, OutputThatWouldReplaceAnInputIsNotWritten) {
    // An outdir of "healed_" puts the outputs beside the inputs: a.jpg would
    // be saved over the input healed_a.png, which itself is healed.
    Shoot shoot;
    shoot.filter = "*a.*";
    shoot.saveformat = "png";
    shoot.outdir = "healed_";
    writeJpeg(shoot.indir + "a.jpg", shoot.photo(54));
    ASSERT_TRUE(cv::imwrite(shoot.indir + "healed_a.png", shoot.photo(55)));
    const std::string jpg = testing::readFile(shoot.indir + "a.jpg");
    const std::string png = testing::readFile(shoot.indir + "healed_a.png");
    const ProgramRun result = shoot.run();
    EXPECT_EQ(statusBlock(result.output),
              "a.jpg not written: its output healed_a.png would replace an input photo\n"
              "a.jpg error:I/O!\n"
              "healed_a.png processed.\n")
        << result.output;
    EXPECT_TRUE(testing::readFile(shoot.indir + "a.jpg") == jpg);
    EXPECT_TRUE(testing::readFile(shoot.indir + "healed_a.png") == png);
    EXPECT_EQ(namesIn(shoot.indir), (std::set<std::string>{"a.jpg", "healed_a.png", "healed_healed_a.png"}));
}

TEST(HealRunTest, ManyPhotosInParallelGiveTheSequentialFilesAndLines) {
    // More photos than workers and window, each different, so that a photo
    // written under another's name or out of order shows.
    Shoot shoot;
    shoot.filter = "*";
    std::string expected;
    for (int i = 0; i < 14; ++i) {
        const std::string name = "p" + std::to_string(10 + i) + ".jpg";
        writeJpeg(shoot.indir + name, shoot.photo(60 + i, i % 4 == 3 ? 1 : 3));
        expected += name + " processed.\n";
    }
    const ProgramRun result = shoot.run();
    ASSERT_EQ(statusBlock(result.output), ". error:I/O!\n.. error:I/O!\n" + expected);
    const HealSettings settings = sequentialSettings(shoot, 0);
    Healer healer(settings);
    for (int i = 0; i < 14; ++i) {
        const std::string name = "p" + std::to_string(10 + i) + ".jpg";
        ASSERT_EQ(healer.healFile(name), FileStatus::processed);
        EXPECT_TRUE(testing::readFile(shoot.outdir + name) == testing::readFile(settings.outdir + name)) << name;
    }
    EXPECT_EQ(namesIn(shoot.outdir).size(), 14u);
}

// A healer that only notes how many photos are being healed at once.
class CountingHealer : public PhotoHealer {
public:
    explicit CountingHealer(std::atomic<int>& active, std::atomic<int>& most) : active_(active), most_(most) {}
    HealedPhoto heal(const std::string&) override {
        const int now = ++active_;
        for (int seen = most_; now > seen && !most_.compare_exchange_weak(seen, now);) {}
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        --active_;
        return {};
    }

private:
    std::atomic<int>& active_;
    std::atomic<int>& most_;
};

TEST(HealRunTest, PhotosInFlightFitTheMemoryBudget) {
    // What one photo of this shoot is reckoned to hold: twice its file and,
    // for the healed pixels and the photo's own, a byte more than a pixel
    // takes per pixel of the map: 3 + 1 for 8-bit colour (and for a file
    // whose header does not tell), 8 + 1 for 16-bit colour with alpha.
    Shoot shoot;
    const std::string unknown(1000, 'x');
    std::vector<unsigned char> encoded;
    ASSERT_TRUE(cv::imencode(".png", cv::Mat(4, 4, CV_16UC4, cv::Scalar::all(1000)), encoded));
    const std::string deep(encoded.begin(), encoded.end());
    const std::uint64_t pixels = 1ull * shoot.width * shoot.height;
    const std::uint64_t photo = 2 * unknown.size() + 2 * 4 * pixels, deepPhoto = 2 * deep.size() + 2 * 9 * pixels;
    struct Case {
        const char* label;
        const char* filter;
        std::uint64_t budget;
        int mostAtOnce;  // the most photos healed at once, with four workers
    } const cases[] = {
        {"room for one and a half: one at a time", "p*.jpg", photo * 3 / 2, 1},
        {"less than one: still one at a time", "p*.jpg", photo / 2, 1},
        {"room for all: every worker heals", "p*.jpg", photo * 100, 4},
        // the photo's own depth and channels, from its header
        {"room for two 8-bit photos holds one of 16 bits with alpha", "q*.jpg", photo * 2, 1},
        {"room for two of them", "q*.jpg", deepPhoto * 2 + 1, 2},
    };
    for (int i = 0; i < 8; ++i) {
        testing::writeFile(shoot.indir + "p" + std::to_string(i) + ".jpg", unknown);
        testing::writeFile(shoot.indir + "q" + std::to_string(i) + ".jpg", deep);
    }
    HealSettings settings = sequentialSettings(shoot, 0);
    const std::string start = currentDirectory();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        settings.filter = c.filter;
        std::atomic<int> active{0}, most{0};
        HealRun run(
            settings,
            [&](const std::string&, const std::string&) { return std::make_unique<CountingHealer>(active, most); }, 4,
            c.budget);
        run.run();
        EXPECT_EQ(most.load(), c.mostAtOnce);
        ASSERT_TRUE(changeDirectory(start));
    }
}

// ---------------------------------------------------------------------------
// Former bugs: the shared temporary file of the lossless path

TEST(HealRunTest, UsersOwnTmpDropJpgSurvivesEveryRun) {
    for (const std::string saveformat : {"jpg", "png"}) {
        SCOPED_TRACE(saveformat);
        Shoot shoot;
        shoot.saveformat = saveformat;
        writeJpeg(shoot.indir + "a.jpg", shoot.photo(56));
        mkdir(shoot.outdir.c_str(), 0755);
        testing::writeFile(shoot.outdir + "tmp_drop.jpg", "the user's own file");
        const ProgramRun result = shoot.run();
        EXPECT_EQ(statusBlock(result.output), "a.jpg processed.\n");
        EXPECT_EQ(testing::readFile(shoot.outdir + "tmp_drop.jpg"), "the user's own file");
        EXPECT_EQ(namesIn(shoot.outdir), (std::set<std::string>{"a." + saveformat, "tmp_drop.jpg"}));
    }
}

TEST(HealRunTest, InputNamedTmpDropJpgIsHealed) {
    Shoot shoot;
    const cv::Mat photo = shoot.photo(57);
    writeJpeg(shoot.indir + "tmp_drop.jpg", photo);
    const ProgramRun result = shoot.run();
    ASSERT_EQ(statusBlock(result.output), "tmp_drop.jpg processed.\n");
    const cv::Mat output = load(shoot.outdir + "tmp_drop.jpg");
    ASSERT_EQ(output.size(), photo.size());
    for (const HotPixel& p : shoot.pixels) EXPECT_LT(output.at<cv::Vec3b>(p.y, p.x)[1], 250);
    EXPECT_EQ(changesOutsideCells(load(shoot.indir + "tmp_drop.jpg"), output, shoot.pixels), 0);
}

TEST(HealRunTest, TwoRunsIntoOneOutputFolderAtOnceWriteWhatEachWritesAlone) {
    // Two shoots with different maps and photos, healed into one outdir at
    // the same time, against each run alone.
    Shoot a, b;
    b.pixels = {{50, 30, 3}, {10, 50, 2}, {90, 10, 1}};
    b.outdir = a.outdir;
    for (int i = 0; i < 8; ++i) {
        writeJpeg(a.indir + "a" + std::to_string(i) + ".jpg", a.photo(70 + i));
        writeJpeg(b.indir + "b" + std::to_string(i) + ".jpg", b.photo(80 + i));
    }
    auto runA = std::async(std::launch::async, [&] { return a.run(); });
    auto runB = std::async(std::launch::async, [&] { return b.run(); });
    const ProgramRun resultA = runA.get(), resultB = runB.get();
    std::string linesA, linesB;
    for (int i = 0; i < 8; ++i) {
        linesA += "a" + std::to_string(i) + ".jpg processed.\n";
        linesB += "b" + std::to_string(i) + ".jpg processed.\n";
    }
    EXPECT_EQ(statusBlock(resultA.output), linesA);
    EXPECT_EQ(statusBlock(resultB.output), linesB);
    for (Shoot* shoot : {&a, &b}) {
        const std::string shared = shoot->outdir;
        shoot->outdir = shoot->root / "alone/";
        shoot->run();
        for (const std::string& name : namesIn(shoot->outdir))
            EXPECT_TRUE(testing::readFile(shared + name) == testing::readFile(shoot->outdir + name)) << name;
        EXPECT_EQ(namesIn(shoot->outdir).size(), 8u);
    }
    EXPECT_EQ(namesIn(a.root / "out/").size(), 16u) << "a temporary file was left";
}

}  // namespace
}  // namespace speckmend
