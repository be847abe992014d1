// Folder identity, creation and path resolution.
#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

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
