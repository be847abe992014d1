// Current directory and wildcard listing on POSIX.
#include "platform/directory.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace speckmend {
namespace {

// ASCII-only folding: the listing must not depend on the user's locale.
char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool lessWithoutCase(const std::string& a, const std::string& b) {
    const auto n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(fold(a[i]));
        const auto cb = static_cast<unsigned char>(fold(b[i]));
        if (ca != cb) return ca < cb;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;  // names equal but for case: keep a fixed order
}

// A deleter type rather than closedir's pointer, whose attributes a template
// argument cannot carry.
struct CloseDirectory {
    void operator()(DIR* directory) const { closedir(directory); }
};

}  // namespace

bool changeDirectory(const std::string& path) { return !path.empty() && chdir(path.c_str()) == 0; }

std::string currentDirectory() {
    std::unique_ptr<char, decltype(&free)> cwd(getcwd(nullptr, 0), &free);
    return cwd ? std::string(cwd.get()) : std::string();
}

// Iterative matching with one backtrack point for the last '*': linear in
// practice and never recursive, so hostile filters cannot exhaust the stack.
bool wildcardMatch(std::string_view pattern, std::string_view name) {
    std::size_t p = 0, n = 0;
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || fold(pattern[p]) == fold(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::vector<std::string> listDirectory(std::string_view filter) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, CloseDirectory> dir(opendir("."));
    if (!dir) return names;
    while (const dirent* entry = readdir(dir.get())) {
        if (wildcardMatch(filter, entry->d_name)) names.emplace_back(entry->d_name);
    }
    std::sort(names.begin(), names.end(), lessWithoutCase);
    return names;
}

}  // namespace speckmend
