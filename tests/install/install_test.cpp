// Installation into temporary prefixes: what lands where, the installed
// program doing the same work as the built one, and its manual page checked
// against the values the program itself echoes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "config/hot_pixel_map.h"
#include "config/settings.h"
#include "install_layout.h"
#include "test_support.h"

namespace speckmend::testing {
namespace {

namespace fs = std::filesystem;

ProgramRun makeShoot(const std::string& folder) {
    return runProgram(SPECKMEND_TOOLS_DIR "/make_sample_shoot",
                      {"--out", folder, "--seed", "7", "--width", "160", "--height", "120", "--jpeg-frames", "2",
                       "--png-frames", "1", "--photos", "2", "--png-photos", "1", "--hot", "5"},
                      "/");
}

bool isExecutable(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && (info.st_mode & S_IXUSR) != 0;
}

std::vector<std::string> expectedPaths() {
    std::vector<std::string> paths;
    for (const auto& file : installedFiles()) paths.push_back(file.path);
    return paths;
}

// ---- where an installation goes -----------------------------------------

struct PrefixCase {
    const char* name;
    const char* prefix;  // "" puts the prefix inside the temporary folder
    bool underDestdir;
};

class InstallPrefix : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(InstallPrefix, InstallsTheListedFilesAndTheProgramRunsFromThere) {
    const PrefixCase& row = GetParam();
    TempFolder work;
    const std::string destdir = row.underDestdir ? work / "root" : "";
    const std::string prefix = *row.prefix ? row.prefix : work / "my prefix";
    const ProgramRun install = installBuild(prefix, destdir);
    ASSERT_EQ(install.status, 0) << install.output << install.errors;

    const std::string root = destdir + prefix;
    EXPECT_EQ(regularFilesBelow(row.underDestdir ? destdir : root), [&] {
        // Under DESTDIR every path carries the prefix as well.
        std::vector<std::string> paths;
        const std::string lead = row.underDestdir ? fs::path(prefix).relative_path().string() + "/" : "";
        for (const auto& path : expectedPaths()) paths.push_back(lead + path);
        return paths;
    }());
    for (const auto& file : installedFiles()) {
        EXPECT_EQ(isExecutable(root + "/" + file.path), file.executable) << file.path;
    }

    // Without arguments the program shows its usage; the installed copy must
    // say exactly what the built one says.
    const ProgramRun installed = runProgram(root + "/bin/speckmend", {}, work.path());
    const ProgramRun built = runSpeckmend({}, work.path());
    EXPECT_EQ(installed.status, built.status);
    EXPECT_EQ(installed.output, built.output);
    EXPECT_NE(installed.output.find("The correct call of the program is:"), std::string::npos) << installed.output;
}

const PrefixCase kPrefixes[] = {
    // The usual places, staged under DESTDIR as a packager does.
    {"usr_under_destdir", "/usr", true},
    {"opt_under_destdir", "/opt/speckmend", true},
    // Straight into a folder of the user's, with a space in its name.
    {"folder_with_space", "", false},
    // Former bugs: none yet.
};

INSTANTIATE_TEST_SUITE_P(Prefixes, InstallPrefix, ::testing::ValuesIn(kPrefixes),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the installed program at work ----------------------------------------

TEST(InstalledProgram, DetectsAndHealsAShootExactlyAsTheBuiltProgramDoes) {
    TempFolder work;
    const std::string destdir = work / "root";
    ASSERT_EQ(installBuild("/usr", destdir).status, 0);
    const std::string installed = destdir + "/usr/bin/speckmend";

    const std::string builtShoot = work / "built";
    const std::string installedShoot = work / "installed";
    ASSERT_EQ(makeShoot(builtShoot).status, 0);
    ASSERT_EQ(makeShoot(installedShoot).status, 0);

    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"detect", "config.xml"},
          std::vector<std::string>{"heal", "config.xml", "hotpixels.xml"}}) {
        SCOPED_TRACE(arguments[0]);
        const ProgramRun fromBuild = runSpeckmend(arguments, builtShoot);
        const ProgramRun fromInstall = runProgram(installed, arguments, installedShoot);
        EXPECT_EQ(fromBuild.status, 0) << fromBuild.output;
        EXPECT_EQ(fromInstall.status, fromBuild.status);
        EXPECT_EQ(fromInstall.output, fromBuild.output);
    }

    // Two empty runs would compare equal too: the map must list pixels and
    // the output folder must hold repaired photographs.
    EXPECT_NE(readFile(installedShoot + "/hotpixels.xml").find("<pix "), std::string::npos);
    const auto healed = regularFilesBelow(installedShoot + "/healed");
    EXPECT_FALSE(healed.empty());
    const auto files = regularFilesBelow(installedShoot);
    ASSERT_EQ(files, regularFilesBelow(builtShoot));
    for (const auto& file : files) {
        EXPECT_TRUE(readFile(installedShoot + "/" + file) == readFile(builtShoot + "/" + file)) << file;
    }
}

// ---- the manual page --------------------------------------------------------

// One configuration entry of the page: a .TP paragraph tagged SECTION/KEY.
struct ManEntry {
    bool required = false;
    bool hasDefault = false;
    std::string defaultText;
};

std::string unescape(std::string text) {
    for (std::size_t at; (at = text.find("\\-")) != std::string::npos;) text.replace(at, 2, "-");
    return text;
}

std::map<std::string, ManEntry> configurationEntries(const std::string& page) {
    std::map<std::string, ManEntry> entries;
    std::istringstream lines(page);
    std::vector<std::string> all;
    for (std::string line; std::getline(lines, line);) all.push_back(line);
    for (std::size_t i = 0; i + 2 < all.size(); ++i) {
        if (all[i] != ".TP" || all[i + 1].rfind(".B ", 0) != 0) continue;
        const std::string tag = all[i + 1].substr(3);
        if (tag.find('/') == std::string::npos) continue;
        ManEntry entry;
        const std::string& body = all[i + 2];
        entry.required = body.rfind("Required", 0) == 0;
        if (body.rfind("Default empty", 0) == 0) {
            entry.hasDefault = true;
        } else if (body == "Default" && i + 3 < all.size()) {
            // ".BR VALUE ." or ".B VALUE"
            std::istringstream words(all[i + 3]);
            std::string macro, value;
            words >> macro >> value;
            entry.hasDefault = macro == ".BR" || macro == ".B";
            entry.defaultText = unescape(value);
        }
        entries[tag] = entry;
    }
    return entries;
}

// The configuration echo "/config/detect/outimage[1]/@dxtext: -50" as
// {"detect/outimage/@dxtext", "-50"}.
std::map<std::string, std::string> echoedValues(const std::string& output) {
    std::map<std::string, std::string> values;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("/config/", 0) != 0) continue;
        const std::size_t colon = line.find(": ");
        if (colon == std::string::npos) continue;
        std::string key = line.substr(8, colon - 8);
        for (std::size_t at; (at = key.find("[1]")) != std::string::npos;) key.erase(at, 3);
        values[key] = line.substr(colon + 2);
    }
    return values;
}

// The program writes some defaults with a decimal comma ("0,999") and the
// page with a point; numbers compare by value, texts as they are.
bool sameValue(std::string echoed, const std::string& documented) {
    for (char& c : echoed) {
        if (c == ',') c = '.';
    }
    char* echoedEnd = nullptr;
    char* documentedEnd = nullptr;
    const double a = std::strtod(echoed.c_str(), &echoedEnd);
    const double b = std::strtod(documented.c_str(), &documentedEnd);
    const bool numbers = !echoed.empty() && !documented.empty() && *echoedEnd == '\0' && *documentedEnd == '\0';
    return numbers ? a == b : echoed == documented;
}

class ManPage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        work_ = new TempFolder;
        const ProgramRun install = installBuild("/usr", *work_ / "root");
        ASSERT_EQ(install.status, 0) << install.errors;
        const ProgramRun unpack =
            runProgram(GZIP_EXECUTABLE, {"-dc", *work_ / "root/usr/share/man/man1/speckmend.1.gz"}, "/");
        ASSERT_EQ(unpack.status, 0) << unpack.errors;
        page_ = unpack.output;
        writeFile(*work_ / "speckmend.1", page_);
    }
    static void TearDownTestSuite() {
        delete work_;
        work_ = nullptr;
    }

    static TempFolder* work_;
    static std::string page_;
};

TempFolder* ManPage::work_ = nullptr;
std::string ManPage::page_;

TEST_F(ManPage, RendersWithoutWarnings) {
    const ProgramRun render =
        runProgram(GROFF_EXECUTABLE, {"-man", "-Tutf8", "-ww", "-z", *work_ / "speckmend.1"}, "/");
    EXPECT_EQ(render.status, 0);
    EXPECT_EQ(render.errors, "");
}

TEST_F(ManPage, NamesTheVersionTheBannerShows) {
    const std::string version = bannerVersion(runSpeckmend({}, work_->path()).output);
    ASSERT_FALSE(version.empty());
    const std::size_t th = page_.find(".TH SPECKMEND 1 ");
    ASSERT_NE(th, std::string::npos);
    const std::string header = page_.substr(th, page_.find('\n', th) - th);
    EXPECT_NE(header.find("\"speckmend " + version + "\""), std::string::npos) << header;
}

TEST_F(ManPage, DocumentsEveryKeyTheProgramEchoesWithTheDefaultItUses) {
    // Only the required keys set: every other value echoed is a default. The
    // run then stops at the empty input folder, after the echo.
    TempFolder run;
    fs::create_directory(run / "dark");
    writeFile(run / "config.xml", "<config><detect><indir>dark/</indir><outfile>map.xml</outfile></detect></config>\n");
    const auto echoed = echoedValues(runSpeckmend({"detect", "config.xml"}, run.path()).output);
    // The seventeen keys every configuration echoes.
    ASSERT_GE(echoed.size(), 17u);

    const auto entries = configurationEntries(page_);
    for (const auto& [key, value] : echoed) {
        SCOPED_TRACE(key + ": " + value);
        const auto entry = entries.find(key);
        ASSERT_NE(entry, entries.end()) << "not in the manual page";
        EXPECT_TRUE(entry->second.required || entry->second.hasDefault) << "says neither Default nor Required";
        // Required keys are set here (detect) or not required in this mode
        // (heal), so their echo is no default.
        if (!entry->second.required) {
            EXPECT_TRUE(sameValue(value, entry->second.defaultText)) << entry->second.defaultText;
        }
    }
}

TEST_F(ManPage, DocumentsTheOptionalKeysWithTheDefaultsTheProgramUses) {
    const DetectSettings defaults;
    const std::pair<const char*, std::string> keys[] = {
        {"detect/detector", defaults.detector == DetectorKind::histogram ? "histogram" : "local"},
        {"detect/noise", std::to_string(defaults.noise)},
        {"detect/floor", std::to_string(defaults.floor)},
        {"detect/window", std::to_string(defaults.window)},
        {"detect/sheet", defaults.sheet},
    };
    const auto entries = configurationEntries(page_);
    for (const auto& [key, value] : keys) {
        const auto entry = entries.find(key);
        ASSERT_NE(entry, entries.end()) << key << " is not in the manual page";
        EXPECT_TRUE(entry->second.hasDefault) << key;
        EXPECT_TRUE(sameValue(value, entry->second.defaultText)) << key << ": " << entry->second.defaultText;
    }
}

// The tags of the .TP paragraphs of one section, font changes removed and
// "a, b" split: the names the section documents.
std::vector<std::string> sectionTags(const std::string& page, const std::string& section) {
    const std::size_t begin = page.find(".SH " + section + "\n");
    const std::size_t end = page.find("\n.SH ", begin + 1);
    std::istringstream lines(page.substr(begin, end - begin));
    std::vector<std::string> tags;
    bool tagNext = false;
    for (std::string line; std::getline(lines, line);) {
        if (tagNext && line.rfind(".B ", 0) == 0) {
            std::string tag = line.substr(3);
            for (const char* font : {"\\fR", "\\fP", "\\fB", "\\fI"})
                for (std::size_t at; (at = tag.find(font)) != std::string::npos;) tag.erase(at, 3);
            std::istringstream names(tag);
            for (std::string name; std::getline(names, name, ',');) tags.push_back(name.substr(name[0] == ' '));
        }
        tagNext = line == ".TP";
    }
    return tags;
}

TEST_F(ManPage, DocumentsEveryElementTheMapWriterWrites) {
    TempFolder folder;
    HotPixelMapWriter writer;
    writer.open(folder / "map.xml");
    writer.writeSize(40, 30);
    writer.writePixel(1, 2, "3");
    writer.writeLine({HotLine::Axis::column, 4, 1});
    writer.writeLine({HotLine::Axis::row, 5, 1});
    writer.finish();
    const std::string map = readFile(folder / "map.xml");
    const std::vector<std::string> tags = sectionTags(page_, "HOT PIXEL MAP");
    std::size_t elements = 0;
    for (std::size_t at = map.find('<'); at != std::string::npos; at = map.find('<', at + 1)) {
        const std::size_t end = map.find_first_of(" />", at + 1);
        const std::string name = map.substr(at + 1, end - at - 1);
        if (name.empty() || name[0] == '?' || name[0] == '/' || name == "hotpixels") continue;
        ++elements;
        EXPECT_NE(std::find(tags.begin(), tags.end(), name), tags.end()) << name << " is not documented";
    }
    EXPECT_EQ(elements, 5u);
}

}  // namespace
}  // namespace speckmend::testing
