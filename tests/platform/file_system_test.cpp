// Folder identity, creation, path resolution and whole-file reading.
#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "temp_folder.h"

namespace speckmend {
namespace {

class FileSystemTest : public ::testing::Test {
protected:
    testing::TempFolder folder_;
    const std::string root_ = folder_.path();
};

TEST_F(FileSystemTest, SameFolderSeenThroughOtherSpellings) {
    ASSERT_TRUE(makeDirectories(root_ + "/a/photos"));
    ASSERT_EQ(symlink((root_ + "/a/photos").c_str(), (root_ + "/link").c_str()), 0);
    const std::string photos = root_ + "/a/photos";
    EXPECT_TRUE(isSameFolder(photos, photos + "/"));
    EXPECT_TRUE(isSameFolder(photos, root_ + "/a/./photos/"));
    EXPECT_TRUE(isSameFolder(photos, root_ + "/a/../a/photos"));
    EXPECT_TRUE(isSameFolder(photos, root_ + "/link"));
    EXPECT_FALSE(isSameFolder(photos, root_ + "/a"));
    // A folder that does not exist yet cannot be the same one.
    EXPECT_FALSE(isSameFolder(photos, root_ + "/a/photos/new"));
}

TEST_F(FileSystemTest, MakeDirectoriesCreatesParents) {
    EXPECT_TRUE(makeDirectories(root_ + "/x/y/z/"));
    EXPECT_TRUE(isDirectory(root_ + "/x/y/z"));
    EXPECT_TRUE(makeDirectories(root_ + "/x/y/z"));  // already there
    FILE* f = std::fopen((root_ + "/file").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_FALSE(makeDirectories(root_ + "/file/sub"));
    EXPECT_TRUE(fileExists(root_ + "/file"));
    EXPECT_TRUE(removeFile(root_ + "/file"));
    EXPECT_FALSE(removeFile(root_ + "/file"));
}

TEST_F(FileSystemTest, WriteWholeFileReportsAFullDevice) {
    const std::string data(100000, 'x');
    const std::string path = root_ + "/whole";
    EXPECT_TRUE(writeWholeFile(path, data.data(), data.size()));
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::fseek(f, 0, SEEK_END);
    EXPECT_EQ(std::ftell(f), 100000);
    std::fclose(f);
    // /dev/full accepts the open and fails the writes, as a full disk does;
    // buffered stdio only notices at the flush inside the close.
    EXPECT_FALSE(writeWholeFile("/dev/full", data.data(), 10));
    EXPECT_TRUE(fileExists("/dev/full")) << "a device is never removed";
    EXPECT_FALSE(writeWholeFile(root_ + "/missing/whole", data.data(), 10));
}

// What readWholeFile makes of each kind of entry a folder listing can give:
// only a regular file is read, nothing blocks, and the reason says what the
// entry is when that is the reason.
TEST_F(FileSystemTest, ReadsOnlyRegularFilesAndNeverBlocks) {
    struct Case {
        const char* label;
        std::function<std::string(const std::string& root)> make;  // returns the path to read
        bool read;
        const char* reason;  // nullptr: not checked (root reads anything)
    };
    auto file = [](const std::string& path, const std::string& content) {
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        return path;
    };
    const Case cases[] = {
        {"regular file", [&](const std::string& r) { return file(r + "/a.jpg", "bytes"); }, true, ""},
        {"empty file", [&](const std::string& r) { return file(r + "/e.jpg", ""); }, false, ""},
        {"missing", [](const std::string& r) { return r + "/none.jpg"; }, false, "No such file or directory"},
        // Folders keep their bare line: no reason.
        {"folder", [](const std::string& r) { return makeDirectories(r + "/d.jpg"), r + "/d.jpg"; }, false, ""},
        {"symlink to a folder",
         [](const std::string& r) {
             makeDirectories(r + "/real");
             return symlink((r + "/real").c_str(), (r + "/l.jpg").c_str()), r + "/l.jpg";
         },
         false, ""},
        // A FIFO without a writer: a blocking open would wait forever.
        {"FIFO", [](const std::string& r) { return mkfifo((r + "/f.jpg").c_str(), 0644), r + "/f.jpg"; }, false,
         kNotARegularFile},
        {"socket",
         [](const std::string& r) {
             const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             const std::string path = r + "/s.jpg";
             std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
             bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
             close(fd);
             return path;
         },
         false, kNotARegularFile},
        {"character device", [](const std::string&) { return std::string("/dev/null"); }, false, kNotARegularFile},
        {"symlink to a FIFO",
         [](const std::string& r) {
             mkfifo((r + "/g").c_str(), 0644);
             return symlink((r + "/g").c_str(), (r + "/g.jpg").c_str()), r + "/g.jpg";
         },
         false, kNotARegularFile},
        {"unreadable file",
         [&](const std::string& r) {
             const std::string path = file(r + "/u.jpg", "bytes");
             chmod(path.c_str(), 0);
             return path;
         },
         geteuid() == 0, geteuid() == 0 ? nullptr : "Permission denied"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<unsigned char> bytes;
        std::string why = "untouched";
        const bool read = readWholeFile(c.make(root_), bytes, &why);
        EXPECT_EQ(read, c.read);
        if (c.read) {
            EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "bytes");
        } else if (c.reason) {
            EXPECT_EQ(why, c.reason);
        }
    }
}

TEST(ResolvePath, Table) {
    struct Case {
        const char* base;
        const char* path;
        const char* resolved;
    } const cases[] = {
        {"/start", "photos/", "/start/photos/"},
        {"/start/", "photos/", "/start/photos/"},
        {"/start", "/abs/photos/", "/abs/photos/"},
        {"/start", "", "/start"},
        {"", "rel", "rel"},
    };
    for (const auto& c : cases) EXPECT_EQ(resolvePath(c.base, c.path), c.resolved) << c.base << " + " << c.path;
}

}  // namespace
}  // namespace speckmend
