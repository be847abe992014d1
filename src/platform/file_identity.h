// Files known by what the file system takes them for, not by how their path
// is spelled, so that a run can tell that an output path names one of its
// inputs ("./a.jpg", "../darks/a.jpg", a link to it or a second hard link
// alike).
#pragma once

#include <set>
#include <string>
#include <utility>

#include <sys/types.h>

namespace speckmend {

class FileIdentitySet {
public:
    // Paths that name nothing are not kept: nothing can be the same file
    // as them.
    void add(const std::string& path);

    // True when the path names an existing file that is one of those added.
    bool contains(const std::string& path) const;

private:
    std::set<std::pair<dev_t, ino_t>> files_;
};

}  // namespace speckmend
