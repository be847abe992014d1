// The detect mode end to end: the built program on folders of frames, with
// its whole console output and the map file compared byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "app/run.h"
#include "test_support.h"

namespace speckmend {
namespace {

using testing::readFile;
using testing::runProgram;
using testing::runSpeckmend;
using testing::TempFolder;
using testing::writeFile;

// The detect section; the heal section is fixed.
struct DetectConfig {
    std::string filter = "*.png";
    std::string indir = "frames";
    std::string outfile = "map.xml";
    std::string amount = "0.9";
    std::string channels = "32";
    std::string hprad = "3";
    std::string outimage = "marks.png";
};

std::string configXml(const DetectConfig& c) {
    return "<?xml version=\"1.0\"?>\n<config>\n <detect>\n"
           "  <filter>" +
           c.filter +
           "</filter>\n"
           "  <indir>" +
           c.indir +
           "</indir>\n"
           "  <outfile>" +
           c.outfile +
           "</outfile>\n"
           "  <amount>" +
           c.amount +
           "</amount>\n"
           "  <channels>" +
           c.channels +
           "</channels>\n"
           "  <hprad>" +
           c.hprad +
           "</hprad>\n"
           "  <outimage dxtext=\"-50\" dytext=\"-10\">" +
           c.outimage +
           "</outimage>\n"
           " </detect>\n <heal>\n"
           "  <filter>*.jpg</filter>\n  <indir>photos/</indir>\n  <outdir>healed/</outdir>\n"
           "  <saveformat>jpg</saveformat>\n  <range>3</range>\n  <method>1</method>\n"
           "  <diffimages mul=\"60\">0</diffimages>\n"
           " </heal>\n</config>\n";
}

// What the program echoes for configXml(c).
testing::EchoValues echoValues(const DetectConfig& c) {
    testing::EchoValues v;
    v.detectFilter = c.filter;
    v.detectIndir = c.indir;
    v.outfile = c.outfile;
    v.amount = c.amount;
    v.channels = c.channels;
    v.hprad = c.hprad;
    v.outimage = c.outimage;
    v.healIndir = "photos/";
    v.outdir = "healed/";
    v.range = "3";
    v.mul = "60";
    return v;
}

std::string start(const DetectConfig& c) {
    return std::string("\n***** Speckmend v1.02 ") + kMakerCredit + " *****\n\n" + "1. Reading configuration...\n" +
           testing::echoBlock(echoValues(c)) + "\n2. Processing images...\n";
}

std::string closing() {
    const std::string stars(50, '*');
    return "All done, check the output files generated.\n\n" + stars +
           "\n\nIf you like this program, press G to go to my page\n" + kMakerPage +
           " to donate it with some cash!\n\n" + stars + "\n\npress any key to exit...";
}

std::string fatal(const std::string& message) {
    return "\nCRITICAL ERROR: " + message + "\npress any key to exit the program...";
}

// Frames of 40 by 30 on black with two hot pixels of 250, at (10, 8) and
// (29, 20). The 9-tap Gaussian (centre weight .2364, next .1989, then .1184)
// leaves 250 x .2364 x .1184 = 7.0 two steps from a hot pixel and at least
// 250 x .1989 x .1989 = 9.9 within one step, so 9 pixels around each are 8
// or more and bin 0 of 32 holds 1200 - 18 = 1182 of the pixels.
const int kWidth = 40, kHeight = 30;

cv::Mat darkFrame() {
    cv::Mat frame(kHeight, kWidth, CV_8UC1, cv::Scalar(0));
    frame.at<std::uint8_t>(8, 10) = 250;
    frame.at<std::uint8_t>(20, 29) = 250;
    return frame;
}

const std::string kAnalysis =
    "\n3. Inspecting histogram...\n"
    "channel0: 1182 pixels between 0 and 8, curr.amount is 0.985000\n"
    "\nTreshold at 8\n\n";
const std::string kFound = "hotpixel found at 10,8\nhotpixel found at 29,20\n\n2 hotpixel(s) found.\n";

std::string mapFile(const std::string& radius = "3") {
    return "<?xml version=\"1.0\"?>\n<hotpixels>\n <width>40</width>\n <height>30</height>\n"
           " <pix x=\"10\" y=\"8\" r=\"" +
           radius +
           "\"/>\n"
           " <pix x=\"29\" y=\"20\" r=\"" +
           radius +
           "\"/>\n"
           "</hotpixels>";
}

// A shoot folder: config.xml at the top, frames in frames/.
struct Shoot {
    TempFolder root;
    std::string frames = root / "frames";

    explicit Shoot(const DetectConfig& config, const std::vector<std::string>& frameNames = {"a.png", "b.png"}) {
        mkdir(frames.c_str(), 0755);
        for (const std::string& name : frameNames) cv::imwrite(frames + "/" + name, darkFrame());
        writeFile(root / "config.xml", configXml(config));
    }
};

TEST(DetectRun, WritesMapAndAnnotatedImageInsideTheInputFolder) {
    const DetectConfig config;
    Shoot shoot(config);
    const auto run = runSpeckmend({"detect"}, shoot.root.path());
    EXPECT_EQ(run.output, start(config) + "a.png processed.\nb.png processed.\n" + kAnalysis + kFound + closing());
    EXPECT_EQ(run.status, 0);
    // Relative output paths are taken inside the input folder.
    EXPECT_EQ(readFile(shoot.frames + "/map.xml"), mapFile());
    EXPECT_FALSE(std::ifstream(shoot.root / "map.xml").good());

    const cv::Mat marks = cv::imread(shoot.frames + "/marks.png", cv::IMREAD_COLOR);
    ASSERT_EQ(marks.size(), cv::Size(kWidth, kHeight));
    EXPECT_EQ(marks.at<cv::Vec3b>(8, 10), cv::Vec3b(255, 255, 255));  // 2 x 250, clipped
    EXPECT_EQ(marks.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(marks.at<cv::Vec3b>(20, 29 - 5), cv::Vec3b(255, 0, 0));  // left arm, blue
    EXPECT_EQ(marks.at<cv::Vec3b>(20 + 8, 29), cv::Vec3b(255, 0, 0));  // lower arm
    EXPECT_EQ(marks.at<cv::Vec3b>(20, 29 - 4), cv::Vec3b(0, 0, 0));    // open centre
}

TEST(DetectRun, SettingsThatChangeOnlyTheirOwnPart) {
    struct Row {
        const char* name;
        DetectConfig config;
        std::string frameLines;
        std::string mapPath;  // relative to the shoot's top folder
        std::string map;
    };
    DetectConfig noImage;
    noImage.outimage = "";
    DetectConfig radius;
    radius.hprad = "2.5";
    DetectConfig absoluteIndir;  // indir filled in below
    DetectConfig upward;
    upward.outfile = "../up.xml";
    DetectConfig trailing;
    trailing.indir = "frames/";
    DetectConfig anyCase;
    anyCase.filter = "*.PNG";
    std::vector<Row> rows = {
        {"no annotated image", noImage, "a.png processed.\nb.png processed.\n", "frames/map.xml", mapFile()},
        {"radius text copied", radius, "a.png processed.\nb.png processed.\n", "frames/map.xml", mapFile("2.5")},
        {"absolute indir", absoluteIndir, "a.png processed.\nb.png processed.\n", "frames/map.xml", mapFile()},
        {"outfile above the input folder", upward, "a.png processed.\nb.png processed.\n", "up.xml", mapFile()},
        {"indir with its separator", trailing, "a.png processed.\nb.png processed.\n", "frames/map.xml", mapFile()},
        {"filter ignores letter case", anyCase, "a.png processed.\nb.png processed.\n", "frames/map.xml", mapFile()},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        Shoot shoot(row.config);
        if (std::string(row.name) == "absolute indir") {
            row.config.indir = shoot.frames;
            writeFile(shoot.root / "config.xml", configXml(row.config));
        }
        const auto run = runSpeckmend({"detect"}, shoot.root.path());
        EXPECT_EQ(run.output, start(row.config) + row.frameLines + kAnalysis + kFound + closing());
        EXPECT_EQ(readFile(shoot.root / row.mapPath), row.map);
        EXPECT_EQ(std::ifstream(shoot.frames + "/marks.png").good(), !row.config.outimage.empty());
    }
}

TEST(DetectRun, EntriesThatAreNotFramesAreReportedAndLeftOut) {
    const DetectConfig config;
    Shoot shoot(config, {"b.png", "d.png"});
    writeFile(shoot.frames + "/a.png", "a text file, not a picture");
    mkdir((shoot.frames + "/c.png").c_str(), 0755);
    cv::imwrite(shoot.frames + "/e.png", cv::Mat(kWidth, kHeight, CV_8UC1, cv::Scalar(200)));  // turned
    writeFile(shoot.frames + "/notes.txt", "not matched");
    const auto run = runSpeckmend({"detect"}, shoot.root.path());
    // The mean is that of b and d alone: the same analysis as two frames.
    EXPECT_EQ(run.output, start(config) +
                              "a.png error:I/O!\n"
                              "b.png processed.\n"
                              "c.png error:I/O!\n"
                              "d.png processed.\n"
                              "e.png error:bad dimension!\n" +
                              kAnalysis + kFound + closing());
    EXPECT_EQ(readFile(shoot.frames + "/map.xml"), mapFile());
}

TEST(DetectRun, FatalConditions) {
    struct Row {
        const char* name;
        DetectConfig config;
        std::vector<std::string> frames;
        std::string output;  // after the start
        bool mapWritten;
    };
    DetectConfig missingFolder;
    missingFolder.indir = "nosuch";
    DetectConfig emptyIndir;
    emptyIndir.indir = "";
    DetectConfig noMatch;
    noMatch.filter = "*.tif";
    DetectConfig noChannels;
    noChannels.channels = "0";
    DetectConfig unwritableMap;
    unwritableMap.outfile = "nodir/map.xml";
    DetectConfig mapOverAFrame;
    mapOverAFrame.outfile = "./a.png";
    const std::vector<Row> rows = {
        {"missing input folder", missingFolder, {"a.png"}, fatal("cannot open first file in nosuch"), false},
        {"empty input folder name", emptyIndir, {"a.png"}, fatal("cannot open first file in "), false},
        {"nothing matches", noMatch, {"a.png"}, fatal("cannot open first file in frames"), false},
        {"only unreadable entries",
         DetectConfig{},
         {},
         "x.png error:I/O!\ny.png error:I/O!\n" + fatal("no readable image in frames"),
         false},
        {"channels below 1", noChannels, {"a.png"}, fatal("channels must be at least 1."), false},
        {"map file cannot be written",
         unwritableMap,
         {"a.png"},
         "a.png processed.\n" + kAnalysis +
             fatal("cannot write outfile [nodir/map.xml]. Fix the problem and try again."),
         false},
        {"map file would replace an input frame",
         mapOverAFrame,
         {"a.png"},
         "a.png processed.\n" + kAnalysis + "outfile [./a.png] not written: it would replace an input frame\n" +
             fatal("cannot write outfile [./a.png]. Fix the problem and try again."),
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Shoot shoot(row.config, row.frames);
        if (row.frames.empty()) {
            writeFile(shoot.frames + "/x.png", "");
            writeFile(shoot.frames + "/y.png", "garbage");
        }
        const std::string frame = readFile(shoot.frames + "/a.png");
        const auto run = runSpeckmend({"detect"}, shoot.root.path());
        EXPECT_EQ(run.output, start(row.config) + row.output);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(readFile(shoot.frames + "/a.png"), frame);
        EXPECT_FALSE(std::ifstream(shoot.frames + "/map.xml").good());
        EXPECT_FALSE(std::ifstream(shoot.frames + "/marks.png").good());
    }
}

TEST(DetectRun, AnAnnotatedImageThatCannotBeWrittenIsReported) {
    struct Row {
        const char* name;
        std::string outimage;
        std::string line;
    };
    const Row rows[] = {
        {"missing folder", "nodir/marks.png", "cannot write outimage [nodir/marks.png]\n"},
        {"unknown format", "marks.unknownformat", "cannot write outimage [marks.unknownformat]\n"},
        // An input is never written, however its path is spelled.
        {"an input frame", "b.png", "outimage [b.png] not written: it would replace an input frame\n"},
        {"an input frame by another path", "../frames/a.png",
         "outimage [../frames/a.png] not written: it would replace an input frame\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DetectConfig config;
        config.outimage = row.outimage;
        Shoot shoot(config);
        const std::string frame = readFile(shoot.frames + "/a.png");
        const auto run = runSpeckmend({"detect"}, shoot.root.path());
        EXPECT_EQ(run.output,
                  start(config) + "a.png processed.\nb.png processed.\n" + kAnalysis + kFound + row.line + closing());
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(readFile(shoot.frames + "/map.xml"), mapFile());
        EXPECT_EQ(readFile(shoot.frames + "/a.png"), frame);
        EXPECT_EQ(readFile(shoot.frames + "/b.png"), frame);
    }
}

TEST(DetectRun, TheHotPixelFileArgumentPlaysNoPart) {
    const DetectConfig config;
    Shoot shoot(config);
    const auto run = runSpeckmend({"detect", "config.xml", "elsewhere.xml"}, shoot.root.path());
    EXPECT_EQ(run.output, start(config) + "a.png processed.\nb.png processed.\n" + kAnalysis + kFound + closing());
    EXPECT_FALSE(std::ifstream(shoot.root / "elsewhere.xml").good());
    EXPECT_FALSE(std::ifstream(shoot.frames + "/elsewhere.xml").good());
}

// ---- A generated sample shoot ---------------------------------------------

struct Planted {
    std::set<std::pair<int, int>> findable, notFindable;
    int width = 0, height = 0;
};

Planted readPlanted(const std::string& path) {
    Planted planted;
    std::istringstream lines(readFile(path));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string tag, kind, expected;
        int x = 0, y = 0, strength = 0;
        words >> tag;
        if (tag == "size") words >> planted.width >> planted.height;
        if (tag == "pixel" && words >> x >> y >> strength >> kind >> expected) {
            (expected == "found" ? planted.findable : planted.notFindable).insert({x, y});
        }
    }
    return planted;
}

std::set<std::pair<int, int>> reported(const std::string& output) {
    std::set<std::pair<int, int>> found;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        int x = 0, y = 0;
        if (std::sscanf(line.c_str(), "hotpixel found at %d,%d", &x, &y) == 2) found.insert({x, y});
    }
    return found;
}

TEST(DetectRun, FindsWhatWasPlantedInAGeneratedShoot) {
    TempFolder folder;
    const std::string generator = std::string(SPECKMEND_TOOLS_DIR) + "/make_sample_shoot";
    for (const std::string seed : {"3", "11"}) {
        SCOPED_TRACE("seed " + seed);
        const std::string shoot = folder / ("shoot" + seed);
        const auto made =
            runProgram(generator,
                       {"--out", shoot, "--seed", seed, "--width", "640", "--height", "480", "--jpeg-frames", "4",
                        "--png-frames", "2", "--photos", "0", "--png-photos", "0", "--hot", "24"},
                       folder.path());
        ASSERT_EQ(made.status, 0) << made.errors;
        const auto run = runSpeckmend({"detect", "config.xml"}, shoot);
        ASSERT_EQ(run.status, 0) << run.output;
        // Every dark frame counts, the one whose Exif tag asks for a turn too.
        for (const char* name : {"dark_01.jpg", "dark_03.jpg", "dark_06.png"}) {
            EXPECT_NE(run.output.find(std::string(name) + " processed.\n"), std::string::npos) << name;
        }
        const Planted planted = readPlanted(shoot + "/planted.txt");
        EXPECT_EQ(reported(run.output), planted.findable);
        EXPECT_EQ(planted.findable.size(), 24u);
        EXPECT_EQ(planted.notFindable.size(), 3u);  // the plateau pair and one on the border
        const std::string map = readFile(shoot + "/hotpixels.xml");
        EXPECT_NE(map.find(" <width>640</width>\n <height>480</height>\n"), std::string::npos);
        EXPECT_TRUE(std::ifstream(shoot + "/detected.png").good());
    }
}

// Every stage after the frames runs on all cores. The reference is the run
// confined to one core: the image library's thread pool and the frame
// readers then have one thread each. The same console, map, annotated
// picture and check sheet, byte for byte, with either detector, on grey
// JPEG and PNG frames, colour JPEGs and 16-bit PNGs (added in listing order).
TEST(DetectRun, AllCoresGiveTheOutputsOfOneThread) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core only: nothing to compare";
    struct Shoot {
        const char* name;
        std::vector<std::string> options;
        bool histogramFinds;  // 16-bit frames reach it cut to 8 bits: too faint
    };
    const Shoot shoots[] = {
        {"grey JPEG and PNG",
         {"--seed", "5", "--width", "900", "--height", "700", "--jpeg-frames", "5", "--png-frames", "2", "--photos",
          "0", "--png-photos", "0", "--hot", "40"},
         true},
        {"colour JPEG", {"--set", "bayer", "--seed", "5", "--width", "640", "--height", "480", "--frames", "3"}, true},
        {"16-bit PNG", {"--set", "raw12", "--seed", "5", "--width", "640", "--height", "480", "--frames", "3"}, false},
    };
    TempFolder folder;
    const std::string generator = std::string(SPECKMEND_TOOLS_DIR) + "/make_sample_shoot";
    const char* const outputFiles[] = {"/hotpixels.xml", "/detected.png", "/sheet.png"};
    for (const Shoot& shoot : shoots) {
        SCOPED_TRACE(shoot.name);
        const std::string dir = folder / shoot.name;
        std::vector<std::string> options = {"--out", dir};
        options.insert(options.end(), shoot.options.begin(), shoot.options.end());
        const auto made = runProgram(generator, options, folder.path());
        ASSERT_EQ(made.status, 0) << made.errors;
        std::string config = readFile(dir + "/config.xml");
        const std::string noImage = "<outimage></outimage>", end = "</detect>";
        if (config.find(noImage) != std::string::npos)
            config.replace(config.find(noImage), noImage.size(), "<outimage>../detected.png</outimage>");
        ASSERT_NE(config.find(end), std::string::npos);
        config.replace(config.find(end), end.size(), "<sheet>../sheet.png</sheet>\n" + end);
        writeFile(dir + "/histogram.xml", config);
        config.replace(config.find(end), end.size(), "<detector>local</detector>\n" + end);
        writeFile(dir + "/local.xml", config);
        for (const char* detector : {"histogram", "local"}) {
            SCOPED_TRACE(detector);
            std::vector<std::string> outputs;
            for (const bool oneCore : {true, false}) {
                for (const char* file : outputFiles) std::remove((dir + file).c_str());
                std::vector<std::string> command = {"detect", std::string(detector) + ".xml"};
                if (oneCore) command.insert(command.begin(), {"-c", "0", SPECKMEND_BINARY});
                const auto run = runProgram(oneCore ? "/usr/bin/taskset" : SPECKMEND_BINARY, command, dir);
                ASSERT_EQ(run.status, 0) << run.output << run.errors;
                std::string all = run.output;
                for (const char* file : outputFiles) all += readFile(dir + file);
                outputs.push_back(all);
            }
            if (shoot.histogramFinds || std::string(detector) == "local") {
                EXPECT_NE(outputs[0].find("hotpixel found at "), std::string::npos);
            }
            EXPECT_TRUE(outputs[0] == outputs[1]);
        }
    }
}

}  // namespace
}  // namespace speckmend
