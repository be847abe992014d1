// Key wait on a POSIX terminal.
//
// The terminal is switched to non-canonical, no-echo mode only for the
// duration of the wait and restored on every way out, including SIGINT,
// SIGTERM and SIGHUP arriving while we block: a shell left without echo is
// worse than a lost key.
#include "platform/console.h"

#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>

namespace speckmend {
namespace {

termios g_saved;
std::atomic<bool> g_restoreNeeded{false};

void restoreTerminal() {
    if (g_restoreNeeded.exchange(false)) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
}

extern "C" void restoreAndReraise(int signo) {
    restoreTerminal();
    std::signal(signo, SIG_DFL);
    std::raise(signo);
}

// True when another byte arrives within the timeout; used to swallow the tail
// of an escape sequence so that an arrow key counts as one key.
bool moreInputWithin(int deciseconds) {
    termios t{};
    if (tcgetattr(STDIN_FILENO, &t) != 0) return false;
    termios timed = t;
    timed.c_cc[VMIN] = 0;
    timed.c_cc[VTIME] = static_cast<cc_t>(deciseconds);
    tcsetattr(STDIN_FILENO, TCSANOW, &timed);
    unsigned char c;
    const bool got = read(STDIN_FILENO, &c, 1) == 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &t);
    if (got) {
        // Push nothing back: the caller only asks whether to keep draining.
        return true;
    }
    return false;
}

}  // namespace

int waitForKey() {
    std::fflush(stdout);
    // With its output going elsewhere (a log file, a pipe) nobody sees the
    // prompt, and a wait would look like a hang.
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return 0;
    if (tcgetattr(STDIN_FILENO, &g_saved) != 0) return 0;

    termios raw = g_saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;

    struct sigaction action {
    }, oldInt{}, oldTerm{}, oldHup{};
    action.sa_handler = restoreAndReraise;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);
    sigaction(SIGHUP, &action, &oldHup);

    g_restoreNeeded = true;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    // Keys typed while images were processed must not end the wait.
    tcflush(STDIN_FILENO, TCIFLUSH);

    int key = 0;
    unsigned char c = 0;
    if (read(STDIN_FILENO, &c, 1) == 1) {
        if (c == 0x1B) {
            while (moreInputWithin(1)) {}
            key = 0x1B;
        } else {
            key = std::isalpha(c) ? std::toupper(c) : c;
        }
    }

    restoreTerminal();
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGHUP, &oldHup, nullptr);
    return key;
}

}  // namespace speckmend
