// Current directory and the wildcard listing that selects input files.
//
// In a filter only '*' and '?' are special ('[' is an ordinary character),
// and ASCII letters match without regard to case, so the default "*.jpg"
// finds IMG_0001.JPG. Every matching entry is returned, folders and the
// entries "." and ".." included: the callers decide what they can read.
// Entries are sorted by name without regard to case, so that a run takes
// its files in the same order on every file system.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace speckmend {

bool changeDirectory(const std::string& path);

// Absolute path of the current directory, without a trailing separator; empty
// when it cannot be determined.
std::string currentDirectory();

// Entries of the current directory whose names match the wildcard filter.
std::vector<std::string> listDirectory(std::string_view filter);

bool wildcardMatch(std::string_view pattern, std::string_view name);

}  // namespace speckmend
