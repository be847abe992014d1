// The file-system queries and changes the engines need (folders, existence,
// removal, joining paths), and reading and writing a whole file with every
// failure seen.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace speckmend {

// True when both paths exist and name the same folder as the file system sees
// it (same device and inode), however they are spelled.
bool isSameFolder(const std::string& a, const std::string& b);

bool isDirectory(const std::string& path);

bool fileExists(const std::string& path);

// Creates the folder and any missing parents; true when it exists afterwards.
bool makeDirectories(const std::string& path);

// Removes a file; false when there was none or it could not be removed.
bool removeFile(const std::string& path);

// Joins a folder and a relative path the way the program resolves paths
// against a folder: an absolute path is returned unchanged.
std::string resolvePath(const std::string& base, const std::string& path);

// Reads the whole content of a regular, non-empty file into `bytes` (resized
// to fit). False for anything else, a folder included, or a short read.
bool readWholeFile(const std::string& path, std::vector<unsigned char>& bytes);

// Writes the bytes as the whole content of the file, checking every write and
// the close, so that a full disk is an error and not a cut file. On failure
// the partly written file is removed.
bool writeWholeFile(const std::string& path, const void* data, std::size_t size);

}  // namespace speckmend
