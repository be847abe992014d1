// Current directory and the wildcard listing that selects input files.
//
// The listing follows the desktop platform the program was first written
// for, so that configurations carry over: only '*' and '?' are special ('['
// is an ordinary character), letters match without regard to case (the
// default "*.jpg" finds IMG_0001.JPG), and every matching entry is returned,
// folders and the entries "." and ".." included. Entries are sorted by name
// without regard to case so that runs are repeatable.
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
