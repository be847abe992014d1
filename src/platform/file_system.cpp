// File-system helpers on POSIX.
#include "platform/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace speckmend {

bool isSameFolder(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
    return S_ISDIR(sa.st_mode) && S_ISDIR(sb.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool isDirectory(const std::string& path) {
    struct stat s {};
    return stat(path.c_str(), &s) == 0 && S_ISDIR(s.st_mode);
}

bool fileExists(const std::string& path) {
    struct stat s {};
    return stat(path.c_str(), &s) == 0;
}

bool makeDirectories(const std::string& path) {
    if (path.empty()) return false;
    if (isDirectory(path)) return true;
    // Create each prefix ending at a separator, then the whole path; an
    // existing prefix is fine, a prefix that is a file makes the final check fail.
    for (std::size_t i = 1; i < path.size(); ++i) {
        if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0777);
    }
    mkdir(path.c_str(), 0777);
    return isDirectory(path);
}

bool removeFile(const std::string& path) { return std::remove(path.c_str()) == 0; }

std::string resolvePath(const std::string& base, const std::string& path) {
    if (path.empty()) return base;
    if (path.front() == '/' || base.empty()) return path;
    if (base.back() == '/') return base + path;
    return base + "/" + path;
}

bool isSpecialFile(const std::string& path) {
    struct stat s {};
    return stat(path.c_str(), &s) == 0 && !S_ISREG(s.st_mode) && !S_ISDIR(s.st_mode);
}

std::vector<unsigned char> readFileStart(const std::string& path, std::size_t count) {
    std::vector<unsigned char> bytes;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return bytes;
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        bytes.resize(count);
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n = read(fd, bytes.data() + done, count - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        bytes.resize(done);
    }
    close(fd);
    return bytes;
}

bool readWholeFile(const std::string& path, std::vector<unsigned char>& bytes, std::string* whyNot) {
    auto fail = [whyNot](std::string reason) {
        if (whyNot) *whyNot = std::move(reason);
        return false;
    };
    // O_NONBLOCK: a FIFO opens at once instead of waiting for a writer; for
    // a regular file it changes nothing.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        // A socket cannot be opened at all (ENXIO); say what it is.
        if (isSpecialFile(path)) return fail(kNotARegularFile);
        return fail(std::strerror(error));
    }
    struct CloseOnExit {
        int fd;
        ~CloseOnExit() { close(fd); }
    } closer{fd};
    struct stat status {};
    if (fstat(fd, &status) != 0) return fail(std::strerror(errno));
    if (S_ISDIR(status.st_mode)) return fail({});
    if (!S_ISREG(status.st_mode)) return fail(kNotARegularFile);
    if (status.st_size <= 0) return fail({});
    bytes.resize(static_cast<std::size_t>(status.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(std::strerror(errno));
        if (n == 0) return fail("it became shorter while it was read");
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeWholeFile(const std::string& path, const void* data, std::size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(data, 1, size, file) == size;
    const bool closed = std::fclose(file) == 0;
    if (written && closed) return true;
    // Only a regular file is ours to remove: the path may name a device.
    struct stat s {};
    if (stat(path.c_str(), &s) == 0 && S_ISREG(s.st_mode)) std::remove(path.c_str());
    return false;
}

}  // namespace speckmend
