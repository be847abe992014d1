// The key wait, driven through a pseudo-terminal so that it sees a real tty.
#include "platform/console.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace speckmend {
namespace {

struct ChildRun {
    int key = -1;  // what waitForKey returned in the child
    bool echoRestored = false;
};

// Runs waitForKey in a child whose standard input is a pty. `before` is typed
// before the child starts waiting (it must be discarded); `keys` after.
ChildRun runWithKeys(const std::string& before, const std::string& keys) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        // Child: let the parent's early keys arrive, then wait.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        const int key = waitForKey();
        termios t{};
        tcgetattr(STDIN_FILENO, &t);
        const bool echo = (t.c_lflag & ECHO) != 0 && (t.c_lflag & ICANON) != 0;
        _exit((key & 0x7F) | (echo ? 0x80 : 0));
    }
    ChildRun result;
    if (pid < 0) return result;
    if (!before.empty()) (void)!write(master, before.data(), before.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    (void)!write(master, keys.data(), keys.size());
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    if (WIFEXITED(status)) {
        result.key = WEXITSTATUS(status) & 0x7F;
        result.echoRestored = (WEXITSTATUS(status) & 0x80) != 0;
    }
    return result;
}

TEST(WaitForKey, ReturnsAtOnceWhenInputIsNotATerminal) {
    // The test runner's stdin is a pipe or /dev/null under CTest; force it.
    const pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "r", stdin);
        _exit(waitForKey() == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(WaitForKey, KeysOnATerminal) {
    struct Case {
        const char* name;
        std::string before;
        std::string keys;
        int expected;
    } const cases[] = {
        {"lower-case g gives G", "", "g", kKeyG},
        {"upper-case G gives G", "", "G", kKeyG},
        {"other letter", "", "x", 'X'},
        {"digit keeps its byte", "", "7", '7'},
        {"arrow key counts as one key", "", "\x1b[A", 0x1B},
        {"keys typed before the wait are discarded", "q", "g", kKeyG},
    };
    for (const auto& c : cases) {
        const ChildRun run = runWithKeys(c.before, c.keys);
        EXPECT_EQ(run.key, c.expected) << c.name;
        EXPECT_TRUE(run.echoRestored) << c.name;
    }
}

}  // namespace
}  // namespace speckmend
