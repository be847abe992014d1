// File identities on POSIX: device and inode, following links.
#include "platform/file_identity.h"

#include <sys/stat.h>

#include <optional>

namespace speckmend {
namespace {

std::optional<std::pair<dev_t, ino_t>> identityOf(const std::string& path) {
    struct stat s {};
    if (stat(path.c_str(), &s) != 0) return std::nullopt;
    return std::make_pair(s.st_dev, s.st_ino);
}

}  // namespace

void FileIdentitySet::add(const std::string& path) {
    if (const auto id = identityOf(path)) files_.insert(*id);
}

bool FileIdentitySet::contains(const std::string& path) const {
    const auto id = identityOf(path);
    return id && files_.count(*id) != 0;
}

}  // namespace speckmend
