// What an installation holds, and the steps both installation suites share:
// installing from the build folder, listing a tree, reading the banner.
#pragma once

#include <string>
#include <vector>

#include "test_support.h"

namespace speckmend::testing {

struct InstalledFile {
    std::string path;  // relative to the prefix
    bool executable;
};

// Every regular file an installation puts under its prefix, and nothing else.
const std::vector<InstalledFile>& installedFiles();

// cmake --install of the build folder with the prefix, under DESTDIR when
// `destdir` is not empty.
ProgramRun installBuild(const std::string& prefix, const std::string& destdir);

// The regular files below `root`, relative to it, sorted.
std::vector<std::string> regularFilesBelow(const std::string& root);

// The version the banner of a run's output names ("1.02" from "***** Speckmend
// v1.02 ..."), or "" when there is no banner.
std::string bannerVersion(const std::string& output);

}  // namespace speckmend::testing
