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
// Opening never blocks (a FIFO without a writer, a device) and only a
// regular file is read: the type checked is that of the opened descriptor,
// so nothing can be put in the file's place in between. On failure `whyNot`,
// when given, is the reason for the user: "it is not a regular file" for a
// FIFO, socket or device, the system's message when opening or reading
// fails, and empty for a folder or an empty file (which a caller reports
// like any file it cannot read).
bool readWholeFile(const std::string& path, std::vector<unsigned char>& bytes, std::string* whyNot = nullptr);

// Up to `count` bytes from the start of a regular file, opened as
// readWholeFile opens it; empty for anything else or when reading fails.
std::vector<unsigned char> readFileStart(const std::string& path, std::size_t count);

// Whether the path names something that exists but is neither a regular
// file nor a folder (a FIFO, socket or device), for messages only.
bool isSpecialFile(const std::string& path);

inline constexpr const char* kNotARegularFile = "it is not a regular file";

// Writes the bytes as the whole content of the file, checking every write and
// the close, so that a full disk is an error and not a cut file. On failure
// the partly written file is removed.
bool writeWholeFile(const std::string& path, const void* data, std::size_t size);

}  // namespace speckmend
