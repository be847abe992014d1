// loadSettings: the command line, every key in order with its default, the
// map in heal mode, and which check reports first.
#include "config/load_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "config/value_reader.h"
#include "platform/directory.h"
#include "platform/fatal_error.h"
#include "test_support.h"

namespace speckmend {
namespace {

using testing::TempFolder;
using testing::writeFile;

const std::string kMarker(requiredMarker);
const std::string kRequired = "This config param is required. Please fill it correctly and try again.";
const std::string kInvalidMode = "MODE is invalid, must be one of the strings of heal or detect.\n";
const std::string kBadConfig = "configfile does not exist or not valid. Correct and try again.\n";
const std::string kSameFolders = "indir and outdir may not be equals.\n";
const char* const kTooManyChannels = "channels must not be above 65536, the number of grey levels a frame can hold.";

const std::string kFullConfig =
    "<config>\n"
    " <detect><indir>darks/</indir><outfile>map.xml</outfile></detect>\n"
    " <heal><indir>photos/</indir><outdir>healed/</outdir></heal>\n"
    "</config>\n";

const std::string kMap =
    "<?xml version=\"1.0\"?>\n<hotpixels>\n <width>40</width>\n <height>30</height>\n"
    " <pix x=\"1\" y=\"2\" r=\"3\"/>\n <pix x=\"-1\" y=\"2\" r=\"3\"/>\n</hotpixels>";

struct Outcome {
    bool fatal = false;
    std::string message;
    bool usage = false;
    std::string detail;
    std::string console;
};

class LoadSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = currentDirectory();
        ASSERT_TRUE(changeDirectory(folder_.path()));
    }
    void TearDown() override { changeDirectory(previous_); }

    void write(const std::string& name, const std::string& content) { writeFile(folder_ / name, content); }
    void mkdir(const std::string& name) { ASSERT_EQ(::mkdir((folder_ / name).c_str(), 0755), 0) << name; }
    std::string path(const std::string& name) const { return folder_ / name; }

    Outcome load(std::vector<std::string> words) {
        words.insert(words.begin(), "speckmend");
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        Outcome outcome;
        ::testing::internal::CaptureStdout();
        try {
            loadSettings(settings_, static_cast<int>(words.size()), argv.data());
        } catch (const FatalError& error) {
            outcome.fatal = true;
            outcome.message = error.message();
            outcome.usage = error.showUsage();
            outcome.detail = error.detail();
        }
        outcome.console = ::testing::internal::GetCapturedStdout();
        return outcome;
    }

    TempFolder folder_;
    std::string previous_;
    Settings settings_;
};

TEST_F(LoadSettingsTest, NoModeWordShowsOnlyTheUsage) {
    write("config.xml", kFullConfig);
    const Outcome outcome = load({});
    EXPECT_TRUE(outcome.fatal);
    EXPECT_EQ(outcome.message, "");
    EXPECT_TRUE(outcome.usage);
    EXPECT_EQ(outcome.console, "");
}

TEST_F(LoadSettingsTest, ModeWords) {
    write("config.xml", kFullConfig);
    write("hotpixels.xml", kMap);
    mkdir("photos");
    struct Row {
        const char* word;
        std::optional<Mode> mode;  // empty: rejected
    };
    const Row rows[] = {
        // any letter case
        {"heal", Mode::heal},
        {"HEAL", Mode::heal},
        {"Heal", Mode::heal},
        {"hEaL", Mode::heal},
        {"detect", Mode::detect},
        {"DETECT", Mode::detect},
        {"Detect", Mode::detect},
        // a mode word inside something longer, or two of them
        {"healing", {}},
        {"xdetect", {}},
        {"heal detect", {}},
        {"healdetect", {}},
        {" heal", {}},
        {"detect ", {}},
        {"heal\n", {}},
        // not a mode word at all
        {"", {}},
        {"hea", {}},
        {"h.al", {}},
        {"(heal|detect)", {}},
        {"d\xc3\xa9tect", {}},
    };
    for (const Row& row : rows) {
        settings_ = Settings();
        const Outcome outcome = load({row.word});
        if (row.mode) {
            EXPECT_FALSE(outcome.fatal) << row.word << ": " << outcome.message;
            EXPECT_EQ(settings_.mode, *row.mode) << row.word;
        } else {
            EXPECT_TRUE(outcome.fatal) << row.word;
            EXPECT_EQ(outcome.message, kInvalidMode) << row.word;
            EXPECT_TRUE(outcome.usage) << row.word;
            EXPECT_EQ(outcome.console, "") << row.word;
        }
    }
}

TEST_F(LoadSettingsTest, DefaultsAndEchoLinesInKeyOrder) {
    write("config.xml", kFullConfig);
    const Outcome outcome = load({"detect"});
    ASSERT_FALSE(outcome.fatal) << outcome.message;
    testing::EchoValues expected;
    expected.detectIndir = "darks/";
    expected.outfile = "map.xml";
    expected.healIndir = "photos/";
    expected.outdir = "healed/";
    EXPECT_EQ(outcome.console, testing::echoBlock(expected));
    const DetectSettings& d = settings_.detect;
    EXPECT_EQ(d.filter, "*.jpg");
    EXPECT_EQ(d.indir, "darks/");
    EXPECT_EQ(d.outfile, "map.xml");
    EXPECT_EQ(d.amount, 0.999);
    EXPECT_EQ(d.channels, 32);
    EXPECT_EQ(d.hprad, "3");
    EXPECT_EQ(d.outimage, "");
    EXPECT_EQ(d.dxtext, -50);
    EXPECT_EQ(d.dytext, -10);
    const HealSettings& h = settings_.heal;
    EXPECT_EQ(h.filter, "*.jpg");
    EXPECT_EQ(h.indir, "photos/");
    EXPECT_EQ(h.outdir, "healed/");
    EXPECT_EQ(h.saveformat, "jpg");
    EXPECT_EQ(h.range, 3.0);
    EXPECT_EQ(h.method, 1);
    EXPECT_EQ(h.diffimages, 0);
    EXPECT_EQ(h.mul, 60.0);
    EXPECT_TRUE(h.map.pixels.empty());
}

TEST_F(LoadSettingsTest, EveryKeyReachesItsField) {
    write("config.xml",
          "<config>\n"
          " <detect><filter>*.tif</filter><indir>d/</indir><outfile>o.xml</outfile><amount>0.995</amount>"
          "<channels>64</channels><hprad>2.5</hprad><outimage dxtext=\"5\" dytext=\"-7\">a.png</outimage></detect>\n"
          " <heal><filter>*.png</filter><indir>i/</indir><outdir>o/</outdir><saveformat>png</saveformat>"
          "<range>4.5</range><method>0</method><diffimages mul=\"2.5\">1</diffimages></heal>\n"
          "</config>\n");
    ASSERT_FALSE(load({"detect"}).fatal);
    const DetectSettings& d = settings_.detect;
    EXPECT_EQ(d.filter, "*.tif");
    EXPECT_EQ(d.indir, "d/");
    EXPECT_EQ(d.outfile, "o.xml");
    EXPECT_EQ(d.amount, 0.995);
    EXPECT_EQ(d.channels, 64);
    EXPECT_EQ(d.hprad, "2.5");
    EXPECT_EQ(d.outimage, "a.png");
    EXPECT_EQ(d.dxtext, 5);
    EXPECT_EQ(d.dytext, -7);
    const HealSettings& h = settings_.heal;
    EXPECT_EQ(h.filter, "*.png");
    EXPECT_EQ(h.indir, "i/");
    EXPECT_EQ(h.outdir, "o/");
    EXPECT_EQ(h.saveformat, "png");
    EXPECT_EQ(h.range, 4.5);
    EXPECT_EQ(h.method, 0);
    EXPECT_EQ(h.diffimages, 1);
    EXPECT_EQ(h.mul, 2.5);
}

// ---- Keys added after the seventeen -----------------------------------------

TEST_F(LoadSettingsTest, AddedKeysHaveTheirDefaultsWhenMissing) {
    // Their absence prints nothing (DefaultsAndEchoLinesInKeyOrder).
    write("config.xml", kFullConfig);
    ASSERT_FALSE(load({"detect"}).fatal);
    const DetectSettings& d = settings_.detect;
    EXPECT_EQ(d.detector, DetectorKind::histogram);
    EXPECT_EQ(d.noise, 5.0);
    EXPECT_EQ(d.floor, 6.0);
    EXPECT_EQ(d.window, 32);
    EXPECT_EQ(d.sheet, "");
}

TEST_F(LoadSettingsTest, AddedKeysReachTheirFieldsAfterTheSeventeen) {
    write("config.xml",
          "<config>\n"
          " <detect><sheet>c.png</sheet><indir>d/</indir><outfile>o.xml</outfile><window>24</window>"
          "<floor>4.5</floor><noise>6.5x</noise><detector>local</detector><detector>histogram</detector></detect>\n"
          "</config>\n");
    const Outcome outcome = load({"detect"});
    ASSERT_FALSE(outcome.fatal) << outcome.message;
    const std::string last = "/config/heal/diffimages[1]/@mul: 60,0\n";
    EXPECT_EQ(outcome.console.substr(outcome.console.find(last) + last.size()),
              "/config/detect/detector[1]: local\n/config/detect/noise[1]: 6.5x\n/config/detect/floor[1]: 4.5\n"
              "/config/detect/window[1]: 24\n/config/detect/sheet[1]: c.png\n");
    const DetectSettings& d = settings_.detect;
    EXPECT_EQ(d.detector, DetectorKind::local);
    EXPECT_EQ(d.noise, 6.5);
    EXPECT_EQ(d.floor, 4.5);
    EXPECT_EQ(d.window, 24);
    EXPECT_EQ(d.sheet, "c.png");
}

TEST_F(LoadSettingsTest, DetectValuesAreCheckedInDetectModeOnly) {
    struct Row {
        const char* element;
        const char* message;  // in detect mode
    };
    const Row rows[] = {
        {"<detector>LOCAL</detector>", "detector [LOCAL] is unknown, it must be histogram, local or photos."},
        {"<noise>-1</noise>", "noise must be above 0."},
        {"<noise>0.0</noise>", "noise must be above 0."},
        {"<floor>-0.5</floor>", "floor must not be below 0."},
        {"<window>3</window>", "window must be between 4 and 4096."},
        {"<window>4097</window>", "window must be between 4 and 4096."},
        {"<window>x</window>", "window must be between 4 and 4096."},
        // more histogram bins than a frame has grey levels
        {"<channels>65537</channels>", kTooManyChannels},
        {"<channels>2147483647</channels>", kTooManyChannels},
        {"<channels>99999999999</channels>", kTooManyChannels},
        // accepted at the edges
        {"<floor>0</floor>", nullptr},
        {"<window>4</window>", nullptr},
        {"<window>4096</window>", nullptr},
        {"<noise>0.01</noise>", nullptr},
        {"<channels>65536</channels>", nullptr},
        // the local detector has no histogram
        {"<channels>70000</channels><detector>local</detector>", nullptr},
    };
    for (const Row& row : rows) {
        const std::string config = std::string("<config>\n <detect><indir>d/</indir><outfile>o.xml</outfile>") +
                                   row.element +
                                   "</detect>\n <heal><indir>i/</indir><outdir>o/</outdir></heal>\n</config>\n";
        write("config.xml", config);
        write("hotpixels.xml", kMap);
        const Outcome detect = load({"detect"});
        EXPECT_EQ(detect.fatal, row.message != nullptr) << row.element;
        if (row.message != nullptr) {
            EXPECT_EQ(detect.message, row.message) << row.element;
            EXPECT_FALSE(detect.usage) << row.element;
        }
        const Outcome heal = load({"heal"});
        EXPECT_FALSE(heal.fatal) << row.element << ": " << heal.message;
    }
}

// A value too large to read ends the run naming the file and the key, in
// either mode (both read every key); it never passes for a missing one.
TEST_F(LoadSettingsTest, ValuesBeyondTheTextBudgetEndTheRunNamingTheKey) {
    const std::string big(17u << 20, 'x');
    std::string entity = "<!DOCTYPE config [<!ENTITY e \"" + std::string(100000, 'y') + "\">]>";
    std::string references;
    for (int i = 0; i < 200; ++i) references += "&e;";
    struct Row {
        std::string detect;  // elements of each section besides the required ones
        std::string heal;
        const char* message;  // after "config.xml: "
    };
    const Row rows[] = {
        {"<filter>" + big + "</filter>", "",
         "/config/detect/filter[1] holds more than 16 MiB of text, entities expanded."},
        {"", "<saveformat>" + references + "</saveformat>",
         "/config/heal/saveformat[1] holds more than 16 MiB of text, entities expanded."},
        {"<outimage dxtext=\"" + references + "\">a.png</outimage>", "",
         "/config/detect/outimage[1] holds more than 16 MiB of text, entities expanded."},
        {"<sheet>" + big + "</sheet>", "",
         "/config/detect/sheet[1] holds more than 16 MiB of text, entities expanded."},
    };
    for (const Row& row : rows) {
        write("config.xml", entity + "<config><detect><indir>d/</indir><outfile>o.xml</outfile>" + row.detect +
                                "</detect><heal><indir>i/</indir><outdir>o/</outdir>" + row.heal + "</heal></config>");
        write("hotpixels.xml", kMap);
        for (const char* mode : {"detect", "heal"}) {
            settings_ = Settings();
            const Outcome outcome = load({mode});
            EXPECT_EQ(outcome.message, std::string("config.xml: ") + row.message) << mode;
            EXPECT_FALSE(outcome.usage);
            EXPECT_EQ(outcome.console.find("xxxxxxxxxx"), std::string::npos) << "the value was echoed";
        }
    }
    // The map is read whole before the folders are checked: beyond the
    // budget it is a map that does not load.
    write("config.xml", kFullConfig);
    std::string map = entity + "<hotpixels><width>4</width><height>3</height>\n";
    for (int i = 0; i < 700; ++i) map += "<pix x=\"&e;\" y=\"1\" r=\"1\"/>\n";
    write("hotpixels.xml", map + "</hotpixels>");
    settings_ = Settings();
    const Outcome outcome = load({"heal"});
    EXPECT_EQ(outcome.message, "hotfixelfile [hotpixels.xml] does not exist or not valid. Correct and try again.\n");
    EXPECT_EQ(outcome.detail.rfind("hotpixels.xml:", 0), 0u) << outcome.detail;
    EXPECT_NE(outcome.detail.find(": <pix> expands entities beyond the 64 MiB"), std::string::npos) << outcome.detail;
}

TEST_F(LoadSettingsTest, HealModeReadsTheMapsLines) {
    write("config.xml", kFullConfig);
    write("hotpixels.xml",
          "<hotpixels><width>40</width><height>30</height><pix x=\"1\" y=\"2\" r=\"3\"/>"
          "<col x=\"7\" r=\"1\"/></hotpixels>");
    const Outcome outcome = load({"heal"});
    ASSERT_FALSE(outcome.fatal) << outcome.message;
    EXPECT_EQ(settings_.heal.map.pixels.size(), 1u);
    EXPECT_EQ(settings_.heal.map.lines, (std::vector<HotLine>{{HotLine::Axis::column, 7, 1}}));
    EXPECT_NE(outcome.console.find("hotpixel at 1,2 with r=3\nhot column at 7 with r=1\n"), std::string::npos);
}

TEST_F(LoadSettingsTest, FilesNamedOnTheCommandLine) {
    write("other.xml", kFullConfig);
    write("map.xml", kMap);
    mkdir("photos");
    // named files, extra arguments ignored
    Outcome outcome = load({"heal", "other.xml", "map.xml", "extra", "more"});
    ASSERT_FALSE(outcome.fatal) << outcome.message;
    EXPECT_EQ(settings_.heal.map.width, 40);
    // defaults come from the current folder
    settings_ = Settings();
    outcome = load({"heal"});
    EXPECT_EQ(outcome.message, kBadConfig);
    write("config.xml", kFullConfig);
    settings_ = Settings();
    outcome = load({"heal"});
    EXPECT_EQ(outcome.message, "hotfixelfile [hotpixels.xml] does not exist or not valid. Correct and try again.\n");
    EXPECT_TRUE(outcome.usage);
}

TEST_F(LoadSettingsTest, HealModeReadsTheMapAfterTheKeys) {
    write("config.xml", kFullConfig);
    write("hotpixels.xml", kMap);
    const Outcome outcome = load({"HEAL"});
    ASSERT_FALSE(outcome.fatal) << outcome.message;
    EXPECT_EQ(outcome.console.substr(outcome.console.find("/config/heal/diffimages[1]/@mul")),
              "/config/heal/diffimages[1]/@mul: 60,0\n"
              "/hotpixels/width[1]: 40\n"
              "/hotpixels/height[1]: 30\n"
              "hotpixel at 1,2 with r=3\n");
    ASSERT_EQ(settings_.heal.map.pixels.size(), 1u);
    EXPECT_EQ(settings_.heal.map.pixels[0].r, 3);
    EXPECT_EQ(settings_.heal.map.height, 30);
}

TEST_F(LoadSettingsTest, ChecksReportInOrder) {
    struct Row {
        const char* what;
        const char* mode;
        const char* config;  // null: no config.xml
        const char* map;     // null: no hotpixels.xml
        std::string message;
        bool usage;
        std::string detail;  // how the line saying what is wrong starts; the
                             // parser's own message follows "FILE:LINE: "
    };
    const std::string noDetect = "<config><heal><indir>photos/</indir><outdir>healed/</outdir></heal></config>";
    const std::string noHeal = "<config><detect><indir>d/</indir><outfile>m.xml</outfile></detect></config>";
    const std::string sameText = "<config><heal><indir>photos/</indir><outdir>photos/</outdir></heal></config>";
    const std::string caseOnly = "<config><heal><indir>photos/</indir><outdir>Photos/</outdir></heal></config>";
    const std::string capitalIndir = "<config><detect><Indir>d/</Indir><outfile>m</outfile></detect></config>";
    const std::string emptyIndir = "<config><detect><indir/><outfile>m</outfile></detect></config>";
    const std::string otherRoot = "<settings><detect><indir>d/</indir><outfile>m</outfile></detect></settings>";
    const std::string badMap = "hotfixelfile [hotpixels.xml] does not exist or not valid. Correct and try again.\n";
    const Row rows[] = {
        // the configuration file
        {"missing config", "detect", nullptr, nullptr, kBadConfig, true, "config.xml: No such file or directory"},
        {"malformed config", "detect", "<config>\n<detect>", nullptr, kBadConfig, true, "config.xml:2: "},
        {"empty config", "heal", "", kMap.c_str(), kBadConfig, true, "config.xml:1: "},
        {"invalid mode before config", "heal2", nullptr, nullptr, kInvalidMode, true, ""},
        // required keys belong to the mode
        {"detect without heal section", "detect", noHeal.c_str(), nullptr, "", false, ""},
        {"heal without detect section", "heal", noDetect.c_str(), kMap.c_str(), "", false, ""},
        {"detect without detect section", "detect", noDetect.c_str(), nullptr, kRequired, false,
         "config.xml: /config/detect/indir[1] is missing"},
        {"heal without heal section", "heal", noHeal.c_str(), kMap.c_str(), kRequired, false,
         "config.xml: /config/heal/indir[1] is missing"},
        {"element names are case-sensitive", "detect", capitalIndir.c_str(), nullptr, kRequired, false,
         "config.xml: /config/detect/indir[1] is missing"},
        {"empty required element", "detect", emptyIndir.c_str(), nullptr, "", false, ""},
        {"unknown root", "detect", otherRoot.c_str(), nullptr, kRequired, false,
         "config.xml: /config/detect/indir[1] is missing (the root element is settings, not config)"},
        // the map file, then the folders
        {"missing map", "heal", kFullConfig.c_str(), nullptr, badMap, true, "hotpixels.xml: No such file or directory"},
        {"malformed map", "heal", kFullConfig.c_str(), "<hotpixels>", badMap, true, "hotpixels.xml:1: "},
        {"map message before same folders", "heal", sameText.c_str(), nullptr, badMap, true, "hotpixels.xml: "},
        {"same folder text", "heal", sameText.c_str(), kMap.c_str(), kSameFolders, true, ""},
        {"folders differing in letter case", "heal", caseOnly.c_str(), kMap.c_str(), "", false, ""},
        {"same folders before map content", "heal", sameText.c_str(), "<hotpixels/>", kSameFolders, true, ""},
        {"map without size", "heal", kFullConfig.c_str(), "<hotpixels/>", kRequired, false,
         "hotpixels.xml: /hotpixels/width[1] is missing"},
        {"map of another kind", "heal", kFullConfig.c_str(), "<config><width>1</width></config>", kRequired, false,
         "hotpixels.xml: /hotpixels/width[1] is missing (the root element is config, not hotpixels)"},
    };
    for (const Row& row : rows) {
        TempFolder run;
        ASSERT_TRUE(changeDirectory(run.path()));
        ASSERT_EQ(::mkdir("photos", 0755), 0);
        if (row.config != nullptr) writeFile("config.xml", row.config);
        if (row.map != nullptr) writeFile("hotpixels.xml", row.map);
        settings_ = Settings();
        const Outcome outcome = load({row.mode});
        EXPECT_EQ(outcome.fatal, !row.message.empty()) << row.what;
        EXPECT_EQ(outcome.message, row.message) << row.what;
        EXPECT_EQ(outcome.usage, row.usage) << row.what;
        EXPECT_EQ(outcome.detail.substr(0, row.detail.size()), row.detail) << row.what;
        EXPECT_EQ(outcome.detail.empty(), row.detail.empty()) << row.what;
        if (!row.detail.empty()) {
            EXPECT_NE(outcome.detail.back(), ' ') << row.what;
        }
        ASSERT_TRUE(changeDirectory(folder_.path()));
    }
}

TEST_F(LoadSettingsTest, MissingRequiredKeyStopsTheEcho) {
    write("config.xml", "<config><detect><indir>d/</indir></detect></config>");
    const Outcome outcome = load({"detect"});
    EXPECT_EQ(outcome.message, kRequired);
    EXPECT_FALSE(outcome.usage);
    EXPECT_EQ(outcome.console,
              "/config/detect/filter[1]: *.jpg\n"
              "/config/detect/indir[1]: d/\n"
              "/config/detect/outfile[1]: " +
                  kMarker + "\n");
}

TEST_F(LoadSettingsTest, HealRequiresOnlyItsOwnKeys) {
    write("config.xml", "<config><heal><indir>photos/</indir><outdir>out/</outdir></heal></config>");
    write("hotpixels.xml", kMap);
    const Outcome outcome = load({"heal"});
    ASSERT_FALSE(outcome.fatal) << outcome.message;
    EXPECT_NE(outcome.console.find("/config/detect/indir[1]: \n/config/detect/outfile[1]: \n"), std::string::npos);
    EXPECT_EQ(settings_.detect.indir, "");
}

// The output folder is taken relative to the input folder, as the healing
// run enters indir before writing; any spelling of the input folder itself
// is refused.
TEST_F(LoadSettingsTest, OutdirNamingTheInputFolderIsRefused) {
    write("hotpixels.xml", kMap);
    mkdir("photos");
    mkdir("photos/sub");
    mkdir("elsewhere");
    ASSERT_EQ(symlink("../photos", path("elsewhere/link").c_str()), 0);
    ASSERT_EQ(symlink(".", path("photos/self").c_str()), 0);
    ASSERT_EQ(symlink(path("photos").c_str(), path("abs-link").c_str()), 0);
    const std::string abs = path("photos/");
    struct Row {
        std::string indir;
        std::string outdir;
        bool refused;
    };
    const Row rows[] = {
        // the same folder under another spelling
        {"photos/", "./", true},
        {"photos/", ".", true},
        {"photos/", "../photos/", true},
        {"photos/", "sub/../", true},
        {"photos/", "self/", true},
        {"photos/", "../elsewhere/link/", true},
        {"photos/", abs, true},
        {"photos/", path("abs-link/"), true},
        {abs, path("./photos/"), true},
        {abs, path("elsewhere/../photos"), true},
        {"./photos", "../abs-link/", true},
        {"photos/", "photos/", true},
        // names are appended to an empty outdir inside indir: the input folder again
        {"photos/", "", true},
        // other folders, also ones that do not exist yet
        {"photos/", "sub/", false},
        {"photos/", "healed/", false},
        {"photos/", "../elsewhere/", false},
        {"photos/", "photos/../", false},
        {"photos/", "../Photos/", false},
        {"missing/", "../missing/", false},
    };
    for (const Row& row : rows) {
        write("config.xml",
              "<config><heal><indir>" + row.indir + "</indir><outdir>" + row.outdir + "</outdir></heal></config>");
        settings_ = Settings();
        const Outcome outcome = load({"heal"});
        EXPECT_EQ(outcome.message, row.refused ? kSameFolders : "") << row.indir << " -> " << row.outdir;
    }
}

TEST_F(LoadSettingsTest, DetectModeNeverOpensTheMap) {
    write("config.xml", kFullConfig);
    write("hotpixels.xml", "<not well formed");
    const Outcome outcome = load({"detect", "config.xml", "hotpixels.xml"});
    EXPECT_FALSE(outcome.fatal) << outcome.message;
    EXPECT_EQ(outcome.console.find("hotpixels"), std::string::npos);
    EXPECT_TRUE(settings_.heal.map.pixels.empty());
}

// Through the built program: the echo lines and the line saying what is
// wrong come before the block that reports the first failing check.
TEST(LoadSettingsProgram, EchoLinesThenTheFatalBlock) {
    TempFolder folder;
    writeFile(folder / "config.xml", kFullConfig);
    const testing::ProgramRun run = testing::runSpeckmend({"Heal", "config.xml"}, folder.path());
    const std::string expected =
        "/config/heal/diffimages[1]/@mul: 60,0\n"
        "hotpixels.xml: No such file or directory\n"
        "\nCRITICAL ERROR: hotfixelfile [hotpixels.xml] does not exist or not valid. Correct and try again.\n"
        "The correct call of the program is:";
    EXPECT_NE(run.output.find("1. Reading configuration...\n/config/detect/filter[1]: *.jpg\n"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find(expected), std::string::npos) << run.output;
    EXPECT_EQ(run.errors, "");
}

}  // namespace
}  // namespace speckmend
