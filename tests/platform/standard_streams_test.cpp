// Standard output that cannot be written: a closed descriptor, a full
// device, a pipe whose reader has gone. Each case runs in a child process,
// since it changes the process's descriptors and signal dispositions.
#include "platform/standard_streams.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "temp_folder.h"

namespace speckmend {
namespace {

// Child exit codes.
constexpr int kIntact = 20;
constexpr int kBroken = 21;
constexpr int kStolenDescriptor = 22;

struct StreamCase {
    const char* name;
    std::function<void()> prepareStdout;  // in the child, before prepareStandardStreams
    int expected;
};

class StandardStreamsTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StandardStreamsTest, FailedWritesAreSeenAndNothingTakesOverTheConsole) {
    const StreamCase& c = GetParam();
    const testing::TempFolder folder;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        c.prepareStdout();
        prepareStandardStreams();
        // The first file opened must not become standard output.
        const int file = open((folder / "output").c_str(), O_WRONLY | O_CREAT, 0644);
        if (file == STDOUT_FILENO) _exit(kStolenDescriptor);
        for (int i = 0; i < 2000; ++i) std::printf("status line %d of a run\n", i);
        _exit(consoleIntact() ? kIntact : kBroken);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Outputs, StandardStreamsTest,
                         ::testing::Values(
                             // a writable destination stays intact
                             StreamCase{"dev_null", [] { freopen("/dev/null", "w", stdout); }, kIntact},
                             // nothing to write to
                             StreamCase{"full_device", [] { freopen("/dev/full", "w", stdout); }, kBroken},
                             // former bugs: a closed descriptor was handed to the next file
                             // opened, and a pipe nobody reads any more killed the process with
                             // SIGPIPE, leaving the run's temporary file behind
                             StreamCase{"closed", [] { close(STDOUT_FILENO); }, kBroken},
                             StreamCase{"pipe_without_reader",
                                        [] {
                                            int fds[2];
                                            if (pipe(fds) != 0) _exit(30);
                                            dup2(fds[1], STDOUT_FILENO);
                                            close(fds[1]);
                                            close(fds[0]);
                                        },
                                        kBroken}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace speckmend
