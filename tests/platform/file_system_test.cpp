// Folder identity, creation and path resolution.
#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace speckmend {
namespace {

class FileSystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/speckmend-fs-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }
    std::string root_;
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
