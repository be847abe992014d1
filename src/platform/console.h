// The console key wait that ends every run.
#pragma once

namespace speckmend {

// Waits for one key press on an interactive terminal and returns its code:
// letters as their upper-case code (g and G both give 0x47), an escape
// sequence such as an arrow key as one key (code 0x1B), any other key its
// byte. Keys typed before the call are discarded. Standard output is flushed
// first, since prompts end without a line break. Unless standard input and
// standard output are both terminals (a pipe, a file, closed, CI, or output
// redirected to a log) it returns 0 at once without reading, so batch runs
// never hang.
int waitForKey();

// The code waitForKey returns for the G key.
inline constexpr int kKeyG = 0x47;

}  // namespace speckmend
