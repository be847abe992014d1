// The Debian package CPack builds: its control fields, its dependencies
// against the libraries the program really links, its file list and
// copyright file, lintian's verdict, and the program unpacked from it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/version.h"
#include "install_layout.h"
#include "test_support.h"

namespace speckmend::testing {
namespace {

namespace fs = std::filesystem;

std::string trimmed(const std::string& text) {
    const std::size_t begin = text.find_first_not_of(" \n");
    const std::size_t end = text.find_last_not_of(" \n");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

// "libc6 (>= 2.34), libxml2 (>= 2.7.4)" -> {"libc6", "libxml2"}
std::set<std::string> packageNames(const std::string& depends) {
    std::set<std::string> names;
    std::istringstream entries(depends);
    for (std::string entry; std::getline(entries, entry, ',');) {
        std::istringstream words(entry);
        std::string name;
        if (words >> name) names.insert(name);
    }
    return names;
}

// The shared libraries the program names itself (not those they pull in):
// what dpkg-shlibdeps looks at.
std::vector<std::string> neededLibraries(const std::string& binary) {
    const ProgramRun dynamic = runProgram(READELF_EXECUTABLE, {"-d", binary}, "/");
    std::vector<std::string> libraries;
    std::istringstream lines(dynamic.output);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t open = line.find("(NEEDED)");
        if (open == std::string::npos) continue;
        const std::size_t begin = line.find('[', open);
        const std::size_t end = line.find(']', begin);
        if (begin != std::string::npos && end != std::string::npos)
            libraries.push_back(line.substr(begin + 1, end - begin - 1));
    }
    return libraries;
}

// The installed packages that own a file named `library`, without their
// architecture qualifier.
std::set<std::string> ownersOf(const std::string& library) {
    // A pattern with a wildcard matches whole paths, whichever of /lib and
    // /usr/lib the package lists.
    const ProgramRun search = runProgram(DPKG_QUERY_EXECUTABLE, {"-S", "*/" + library}, "/");
    std::set<std::string> owners;
    std::istringstream lines(search.output);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t colonSpace = line.find(": ");
        if (colonSpace == std::string::npos || line.substr(colonSpace + 2).find("/" + library) == std::string::npos)
            continue;
        std::istringstream packages(line.substr(0, colonSpace));
        for (std::string package; std::getline(packages, package, ',');) {
            package = trimmed(package);
            owners.insert(package.substr(0, package.find(':')));
        }
    }
    return owners;
}

// The package in `folder`, or "" when there is none or a file it packs is
// newer.
std::string currentPackage(const std::string& folder) {
    std::error_code error;
    if (!fs::is_directory(folder, error)) return "";
    std::string deb;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".deb") deb = entry.path().string();
    }
    if (deb.empty()) return "";
    const auto made = fs::last_write_time(deb);
    for (const char* input : {SPECKMEND_BINARY, SPECKMEND_BUILD_DIR "/CPackConfig.cmake",
                              SPECKMEND_BUILD_DIR "/doc/speckmend.1.gz", SPECKMEND_BUILD_DIR "/doc/changelog.gz",
                              SPECKMEND_BUILD_DIR "/doc/copyright", SPECKMEND_SOURCE_DIR "/README.md",
                              SPECKMEND_SOURCE_DIR "/ChangeLog.md"}) {
        if (!fs::exists(input, error) || fs::last_write_time(input) > made) return "";
    }
    return deb;
}

class DebianPackage : public ::testing::Test {
protected:
    // CTest runs every test in a process of its own: the package is made
    // once into the build folder and made again only when what it packs
    // changed (the suite's tests of it never run at the same time).
    static void SetUpTestSuite() {
        work_ = new TempFolder;
        const std::string folder = SPECKMEND_BUILD_DIR "/test-package";
        deb_ = currentPackage(folder);
        if (!deb_.empty()) return;
        fs::remove_all(folder);
        const ProgramRun pack = runProgram(
            CPACK_EXECUTABLE, {"-G", "DEB", "--config", SPECKMEND_BUILD_DIR "/CPackConfig.cmake", "-B", folder},
            SPECKMEND_BUILD_DIR);
        ASSERT_EQ(pack.status, 0) << pack.output << pack.errors;
        deb_ = currentPackage(folder);
        ASSERT_FALSE(deb_.empty()) << pack.output;
    }
    static void TearDownTestSuite() {
        delete work_;
        work_ = nullptr;
    }

    static std::string field(const std::string& name) {
        return trimmed(runProgram(DPKG_DEB_EXECUTABLE, {"-f", deb_, name}, "/").output);
    }

    static TempFolder* work_;
    static std::string deb_;
};

TempFolder* DebianPackage::work_ = nullptr;
std::string DebianPackage::deb_;

// ---- control fields -----------------------------------------------------------

TEST_F(DebianPackage, NamesTheProgramItsVersionAndThisMachinesArchitecture) {
    EXPECT_EQ(field("Package"), "speckmend");
    const std::string version = bannerVersion(runSpeckmend({}, work_->path()).output);
    ASSERT_FALSE(version.empty());
    EXPECT_EQ(field("Version"), version);
    EXPECT_EQ(field("Architecture"), trimmed(runProgram(DPKG_EXECUTABLE, {"--print-architecture"}, "/").output));
}

// "Name <local@host.domain>", as Debian's control files want a contact.
bool isContact(const std::string& text) {
    const std::size_t open = text.find(" <");
    const std::size_t at = text.find('@', open);
    const std::size_t dot = text.find('.', at);
    return open != std::string::npos && open > 0 && at != std::string::npos && at > open + 2 &&
           dot != std::string::npos && dot > at + 1 && text.back() == '>' && dot + 2 < text.size() &&
           text.find_first_of(" <>", open + 2) == text.size() - 1;
}

TEST_F(DebianPackage, NamesAMaintainerWithAnAddressAndTheProgramsHomePage) {
    EXPECT_TRUE(isContact(field("Maintainer"))) << field("Maintainer");
    for (const char* wrong : {"The Speckmend team", "Team <team>", "<a@b.org>", "Team <a@b.org> x", "Team <a b@c.org>"})
        EXPECT_FALSE(isContact(wrong)) << wrong;
    EXPECT_EQ(field("Homepage"), kHomepage);
    EXPECT_EQ(std::string(kHomepage).rfind("https://", 0), 0u);
}

// ---- dependencies -------------------------------------------------------------

TEST_F(DebianPackage, DependsOnExactlyThePackagesOfTheLibrariesTheProgramLinks) {
    const std::set<std::string> depends = packageNames(field("Depends"));
    std::vector<std::string> needed = neededLibraries(SPECKMEND_BINARY);
    // Opened at run time rather than linked, so not among the NEEDED ones.
    needed.push_back(SPECKMEND_IMGCODECS_SONAME);
    ASSERT_FALSE(needed.empty());
    std::set<std::string> owning;
    for (const auto& library : needed) {
        SCOPED_TRACE(library);
        const std::set<std::string> owners = ownersOf(library);
        ASSERT_FALSE(owners.empty()) << "no installed package owns it";
        EXPECT_TRUE(std::any_of(owners.begin(), owners.end(), [&](const auto& p) { return depends.count(p) > 0; }))
            << "no dependency provides it";
        owning.insert(owners.begin(), owners.end());
    }
    for (const auto& package : depends) {
        EXPECT_TRUE(owning.count(package)) << package << " is a dependency the program does not link";
    }
}

struct LibraryCase {
    const char* library;
    const char* packagePrefix;
};

const LibraryCase kLibraries[] = {
    // The OpenCV modules the program uses, each its own runtime package.
    {"OpenCV core", "libopencv-core"},
    {"OpenCV image processing", "libopencv-imgproc"},
    {"OpenCV image files", "libopencv-imgcodecs"},
    {"OpenCV inpainting", "libopencv-photo"},
    // The codec of the lossless path and the XML reader.
    {"libjpeg-turbo", "libjpeg62-turbo"},
    {"libxml2", "libxml2"},
    // Former bugs: none yet.
};

TEST_F(DebianPackage, DependsOnTheRuntimeLibrariesItIsBuiltOnAndNoDevelopmentPackage) {
    const std::set<std::string> depends = packageNames(field("Depends"));
    for (const auto& row : kLibraries) {
        EXPECT_TRUE(std::any_of(depends.begin(), depends.end(),
                                [&](const std::string& p) { return p.rfind(row.packagePrefix, 0) == 0; }))
            << row.library << ": no " << row.packagePrefix << "* in " << field("Depends");
    }
    for (const auto& package : depends) {
        EXPECT_EQ(package.find("-dev"), std::string::npos) << package;
    }
}

// ---- files --------------------------------------------------------------------

TEST_F(DebianPackage, HoldsTheInstalledFilesUnderUsrOwnedByRoot) {
    const ProgramRun contents = runProgram(DPKG_DEB_EXECUTABLE, {"-c", deb_}, "/");
    ASSERT_EQ(contents.status, 0) << contents.errors;
    std::vector<std::string> files;
    std::istringstream lines(contents.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string mode, owner, size, date, time, path;
        words >> mode >> owner >> size >> date >> time >> path;
        SCOPED_TRACE(line);
        EXPECT_EQ(owner, "root/root");
        EXPECT_EQ(path.rfind("./usr/", 0), 0u);
        if (mode.empty() || mode[0] != '-') continue;
        files.push_back(path.substr(6));
        const bool executable = std::any_of(installedFiles().begin(), installedFiles().end(),
                                            [&](const auto& f) { return f.path == files.back() && f.executable; });
        EXPECT_EQ(mode, executable ? "-rwxr-xr-x" : "-rw-r--r--");
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> expected;
    for (const auto& file : installedFiles()) expected.push_back(file.path);
    EXPECT_EQ(files, expected);
}

// The licence as LICENSE states it, from its grant on, lines joined.
std::string licenceText(const std::string& text) {
    std::string words;
    std::istringstream in(text.substr(std::min(text.find("Permission is hereby granted"), text.size())));
    for (std::string word; in >> word;) {
        if (word != ".") words += word + " ";
    }
    return words;
}

TEST_F(DebianPackage, CarriesACopyrightFileWithTheLicenceOfTheSources) {
    const std::string unpacked = *work_ / "copyright";
    ASSERT_EQ(runProgram(DPKG_DEB_EXECUTABLE, {"-x", deb_, unpacked}, "/").status, 0);
    const std::string copyright = readFile(unpacked + "/usr/share/doc/speckmend/copyright");
    EXPECT_EQ(copyright.rfind("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n", 0), 0u);
    EXPECT_NE(copyright.find("\nFiles: *\nCopyright: 2026 the Speckmend developers\nLicense: Expat\n"),
              std::string::npos);
    const std::string licence = licenceText(readFile(SPECKMEND_SOURCE_DIR "/LICENSE"));
    EXPECT_GT(licence.size(), 500u);
    EXPECT_EQ(licenceText(copyright), licence);
}

TEST_F(DebianPackage, PassesLintian) {
    if (access("/usr/bin/lintian", X_OK) != 0) GTEST_SKIP() << "lintian is not installed (scripts/setup lintian)";
    // Errors and warnings fail; the informational tags left are explained
    // in the README's section on the package.
    const ProgramRun lint = runProgram("/usr/bin/lintian", {"--fail-on", "error,warning", deb_}, "/");
    EXPECT_EQ(lint.status, 0) << lint.output << lint.errors;
    std::istringstream lines(lint.output);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.rfind("E: ", 0) != 0 && line.rfind("W: ", 0) != 0) << line;
    }
}

TEST_F(DebianPackage, UnpackedProgramRunsLikeTheBuiltOneAndIsStripped) {
    const std::string unpacked = *work_ / "unpacked";
    ASSERT_EQ(runProgram(DPKG_DEB_EXECUTABLE, {"-x", deb_, unpacked}, "/").status, 0);
    const std::string program = unpacked + "/usr/bin/speckmend";
    const ProgramRun fromPackage = runProgram(program, {}, work_->path());
    const ProgramRun fromBuild = runSpeckmend({}, work_->path());
    EXPECT_EQ(fromPackage.status, fromBuild.status);
    EXPECT_EQ(fromPackage.output, fromBuild.output);
    const ProgramRun sections = runProgram(READELF_EXECUTABLE, {"-S", program}, "/");
    ASSERT_EQ(sections.status, 0);
    EXPECT_EQ(sections.output.find(".debug_info"), std::string::npos);
    EXPECT_EQ(sections.output.find(".symtab"), std::string::npos);
}

}  // namespace
}  // namespace speckmend::testing
