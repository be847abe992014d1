// Pending files: an output appears whole or not at all, nothing but our own
// temporary files is ever removed, and a signal inside an InterruptCleanup
// scope leaves no temporary file behind.
#include "platform/pending_file.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "temp_folder.h"

namespace speckmend {
namespace {

class PendingFileTest : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return root_ + "/" + name; }

    std::set<std::string> names() const {
        std::set<std::string> found;
        DIR* dir = opendir(root_.c_str());
        if (!dir) return found;
        while (dirent* entry = readdir(dir))
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") found.insert(entry->d_name);
        closedir(dir);
        return found;
    }

    static std::string read(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

    static void write(const std::string& file, const std::string& content) {
        std::ofstream(file, std::ios::binary) << content;
    }

    testing::TempFolder folder_;
    const std::string root_ = folder_.path();
};

// ---------------------------------------------------------------------------
// Writing

TEST_F(PendingFileTest, NewAndReplacedFilesGetTheWholeContent) {
    const std::string big(3 << 20, 'x');
    ASSERT_TRUE(writeFileAtomically(path("a.jpg"), big.data(), big.size()));
    EXPECT_EQ(read(path("a.jpg")), big);
    ASSERT_TRUE(writeFileAtomically(path("a.jpg"), "short", 5));
    EXPECT_EQ(read(path("a.jpg")), "short");
    ASSERT_TRUE(writeFileAtomically(path("empty"), "", 0));
    EXPECT_EQ(read(path("empty")), "");
    EXPECT_EQ(names(), (std::set<std::string>{"a.jpg", "empty"}));
    EXPECT_EQ(pendingFileCount(), 0u);
}

TEST_F(PendingFileTest, WriterSeesATemporaryBesideTheFinalFileWithItsExtension) {
    std::string seen;
    ASSERT_TRUE(writeFileAtomically(path("photo.png"), [&](const std::string& temporary) {
        seen = temporary;
        EXPECT_EQ(pendingFileCount(), 1u);
        write(temporary, "png bytes");
        return true;
    }));
    EXPECT_EQ(seen.rfind(root_ + "/.", 0), 0u) << seen;
    EXPECT_EQ(seen.substr(seen.size() - 4), ".png");
    EXPECT_NE(seen, path("photo.png"));
    EXPECT_EQ(read(path("photo.png")), "png bytes");
    EXPECT_EQ(names(), std::set<std::string>{"photo.png"});
}

TEST_F(PendingFileTest, TemporaryNamesAreUniqueWithinTheProcess) {
    PendingFile a(path("x.jpg")), b(path("x.jpg"));
    ASSERT_TRUE(a.valid());
    ASSERT_TRUE(b.valid());
    EXPECT_NE(a.path(), b.path());
    EXPECT_EQ(pendingFileCount(), 2u);
}

// ---------------------------------------------------------------------------
// Failures leave the old file and no temporary behind

struct FailureCase {
    const char* name;
    std::function<void(const std::string& root)> prepare;
    std::string target;                              // relative to the root
    std::function<bool(const std::string&)> writer;  // nullptr: write "new"
    const char* reason = nullptr;                    // the system's message for writing "new"
};

class PendingFileFailureTest : public PendingFileTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PendingFileFailureTest, KeepsWhatWasThere) {
    const FailureCase& c = GetParam();
    write(path("old.jpg"), "the user's old output");
    if (c.prepare) c.prepare(root_);
    const std::set<std::string> before = names();
    std::string why;
    const bool written =
        c.writer ? writeFileAtomically(path(c.target), c.writer) : writeFileAtomically(path(c.target), "new", 3, &why);
    EXPECT_FALSE(written);
    if (c.reason) {
        EXPECT_EQ(why, c.reason);
    }
    EXPECT_EQ(names(), before);
    EXPECT_EQ(read(path("old.jpg")), "the user's old output");
    EXPECT_EQ(pendingFileCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, PendingFileFailureTest,
    ::testing::Values(
        // the writer fails, half way or at once
        FailureCase{"writer_fails_after_writing", nullptr, "old.jpg",
                    [](const std::string& temporary) {
                        std::ofstream(temporary) << "half";
                        return false;
                    }},
        FailureCase{"writer_fails_at_once", nullptr, "old.jpg", [](const std::string&) { return false; }},
        // the final name cannot be taken
        FailureCase{"final_name_is_a_folder", [](const std::string& root) { mkdir((root + "/dir.jpg").c_str(), 0755); },
                    "dir.jpg", nullptr, "Is a directory"},
        FailureCase{"folder_missing", nullptr, "missing/a.jpg", nullptr, "No such file or directory"},
        FailureCase{"folder_is_a_file", nullptr, "old.jpg/a.jpg", nullptr, "Not a directory"}  // former bugs: none yet
        ),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PendingFileTest, FullDiskIsAFailureAndLeavesNoTemporary) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    // A writer that hits a full device: fwrite/fclose report it.
    const bool written = writeFileAtomically(path("a.jpg"), [](const std::string&) {
        FILE* full = std::fopen("/dev/full", "wb");
        if (!full) return false;
        const std::string data(1 << 16, 'x');
        const bool ok = std::fwrite(data.data(), 1, data.size(), full) == data.size();
        return std::fclose(full) == 0 && ok;
    });
    EXPECT_FALSE(written);
    EXPECT_TRUE(names().empty());
}

TEST_F(PendingFileTest, FileSizeLimitIsAFailureWithItsReasonAndLeavesNoTemporary) {
    // In a child: the limit is the process's. With SIGXFSZ ignored (as the
    // program does) the write past it fails with EFBIG.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit size{4096, 4096};
        if (setrlimit(RLIMIT_FSIZE, &size) != 0) _exit(10);
        const std::string data(100000, 'x');
        std::string why;
        if (writeFileAtomically(path("a.jpg"), data.data(), data.size(), &why)) _exit(11);
        _exit(why == "File too large" ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no limit, 11: written, 12: another reason";
    EXPECT_TRUE(names().empty());
}

// ---------------------------------------------------------------------------
// Interruption

struct SignalCase {
    const char* name;
    int signo;
};

class InterruptTest : public PendingFileTest, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(InterruptTest, SignalRemovesPendingFilesAndEndsWithTheSignal) {
    const int signo = GetParam().signo;
    write(path("keep.jpg"), "a user's file");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        InterruptCleanup cleanup;
        PendingFile first(path("a.jpg"));
        PendingFile second(path("b.png"));
        std::ofstream(second.path()) << "half written";
        if (!first.valid() || !second.valid()) _exit(10);
        kill(getpid(), signo);
        // The watcher ends the process; this only runs if it did not.
        sleep(5);
        _exit(11);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), signo);
    EXPECT_EQ(names(), std::set<std::string>{"keep.jpg"});
    EXPECT_EQ(read(path("keep.jpg")), "a user's file");
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptTest,
                         ::testing::Values(SignalCase{"SIGINT", SIGINT}, SignalCase{"SIGTERM", SIGTERM},
                                           SignalCase{"SIGHUP", SIGHUP}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PendingFileTest, AfterTheScopeSignalsActAsBefore) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        { InterruptCleanup cleanup; }
        // Outside the scope a handler of the program's own runs again.
        std::signal(SIGTERM, [](int) { _exit(42); });
        kill(getpid(), SIGTERM);
        sleep(5);
        _exit(11);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 42);
}

}  // namespace
}  // namespace speckmend
