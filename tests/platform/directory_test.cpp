// Wildcard matching and the sorted, case-blind listing of a folder.
#include "platform/directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/file_system.h"
#include "temp_folder.h"

namespace speckmend {
namespace {

struct WildcardCase {
    const char* pattern;
    const char* name;
    bool matches;
};

const WildcardCase kWildcardCases[] = {
    // Plain names and case
    {"a.jpg", "a.jpg", true},
    {"*.jpg", "IMG_0001.JPG", true},
    {"*.JPG", "img_0001.jpg", true},
    {"*.jpg", "a.jpeg", false},
    {"*.jpg", "a.jpg.bak", false},
    // '?' takes exactly one character
    {"frame?.png", "frame1.png", true},
    {"frame?.png", "frame10.png", false},
    {"frame?.png", "frame.png", false},
    // '*' takes any run, also an empty one and several times
    {"*", "", true},
    {"*", ".", true},
    {"*", "..", true},
    {"a*b*c", "abc", true},
    {"a*b*c", "aXbYbZc", true},
    {"a*b*c", "aXbYbZ", false},
    {"**x", "x", true},
    // '[' is an ordinary character
    {"[ab].jpg", "[ab].jpg", true},
    {"[ab].jpg", "a.jpg", false},
    // Former bugs: a trailing star after a failed backtrack
    {"*a*", "bbb", false},
    {"*.j*g", "x.jpgg", true},
};

TEST(WildcardMatch, Table) {
    for (const auto& c : kWildcardCases) {
        EXPECT_EQ(wildcardMatch(c.pattern, c.name), c.matches) << c.pattern << " vs " << c.name;
    }
}

TEST(WildcardMatch, LongHostileFilterStaysFast) {
    // A backtracking matcher without the single-star rule would take
    // exponential time here.
    std::string pattern(40, '*');
    pattern += 'b';
    const std::string name(5000, 'a');
    EXPECT_FALSE(wildcardMatch(pattern, name));
}

class ListDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        start_ = currentDirectory();
        ASSERT_TRUE(changeDirectory(folder_.path()));
    }
    void TearDown() override { changeDirectory(start_); }
    static void touch(const std::string& name) {
        FILE* f = std::fopen(name.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    testing::TempFolder folder_;
    std::string start_;
};

TEST_F(ListDirectoryTest, SortsWithoutRegardToCaseAndKeepsFolders) {
    touch("b.JPG");
    touch("a.jpg");
    touch("C.jpg");
    touch("notes.txt");
    ASSERT_TRUE(makeDirectories("d.jpg"));
    const std::vector<std::string> expected = {"a.jpg", "b.JPG", "C.jpg", "d.jpg"};
    EXPECT_EQ(listDirectory("*.jpg"), expected);
}

TEST_F(ListDirectoryTest, StarListsDotEntries) {
    touch("x");
    const auto names = listDirectory("*");
    const std::vector<std::string> expected = {".", "..", "x"};
    EXPECT_EQ(names, expected);
}

TEST_F(ListDirectoryTest, NoMatchGivesEmptyList) {
    touch("a.png");
    EXPECT_TRUE(listDirectory("*.jpg").empty());
}

TEST_F(ListDirectoryTest, CurrentDirectoryFollowsChange) {
    ASSERT_TRUE(makeDirectories("sub/deeper"));
    ASSERT_TRUE(changeDirectory("sub/deeper"));
    const std::string here = currentDirectory();
    EXPECT_EQ(here.substr(here.size() - 11), "/sub/deeper");
    EXPECT_FALSE(changeDirectory("does-not-exist"));
    EXPECT_FALSE(changeDirectory(""));
}

}  // namespace
}  // namespace speckmend
