// The shared steps of the installation tests.
#include "install_layout.h"

#include <algorithm>
#include <filesystem>

namespace speckmend::testing {

const std::vector<InstalledFile>& installedFiles() {
    static const std::vector<InstalledFile> files{
        {"bin/speckmend", true},
        {"share/doc/speckmend/ChangeLog.md", false},
        {"share/doc/speckmend/README.md", false},
        {"share/doc/speckmend/changelog.gz", false},
        {"share/doc/speckmend/copyright", false},
        {"share/man/man1/speckmend.1.gz", false},
    };
    return files;
}

ProgramRun installBuild(const std::string& prefix, const std::string& destdir) {
    std::vector<std::string> environment;
    if (!destdir.empty()) environment.push_back("DESTDIR=" + destdir);
    return runProgram(CMAKE_EXECUTABLE, {"--install", SPECKMEND_BUILD_DIR, "--prefix", prefix}, "/", environment);
}

std::vector<std::string> regularFilesBelow(const std::string& root) {
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), root).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string bannerVersion(const std::string& output) {
    static const std::string lead = "***** Speckmend v";
    const std::size_t begin = output.find(lead);
    if (begin == std::string::npos) return "";
    const std::size_t from = begin + lead.size();
    const std::size_t end = output.find(' ', from);
    return end == std::string::npos || end == from ? std::string() : output.substr(from, end - from);
}

}  // namespace speckmend::testing
