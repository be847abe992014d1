// The program's standard streams when they are not a console: closed,
// redirected to a full disk, or a pipe whose reader has gone (`| head`).
//
// Call order: prepareStandardStreams() first thing in main, before any file
// is opened; consoleIntact() after each line that must reach the user.
#pragma once

#include <stdexcept>

namespace speckmend {

// Gives every closed standard descriptor (0, 1, 2) a read-only /dev/null, so
// that the first file the program opens can never become its standard
// output, and writes to a closed stream still fail visibly. Also ignores
// SIGPIPE: a reader that goes away makes writes fail with EPIPE instead of
// killing the process halfway through writing a file.
void prepareStandardStreams();

// Flushes standard output; false when anything written to it has failed.
bool consoleIntact();

// Thrown by a run that can no longer report to the user; the run flow ends
// the process with kConsoleClosedStatus and prints nothing more.
class ConsoleClosed : public std::runtime_error {
public:
    ConsoleClosed() : std::runtime_error("standard output is closed") {}
};

inline constexpr int kConsoleClosedStatus = 3;

}  // namespace speckmend
