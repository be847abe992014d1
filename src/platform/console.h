// The console key wait that ends every run.
#pragma once

namespace speckmend {

// Waits for one key press on an interactive terminal and returns its code:
// letters as their upper-case code (g and G both give 0x47), an escape
// sequence such as an arrow key as one key (code 0x1B), any other key its
// byte. Keys typed before the call are discarded. Standard output is flushed
// first, since prompts end without a line break. When standard input is not
// a terminal (pipe, file, closed, CI) it returns 0 at once without reading,
// so batch runs never hang.
int waitForKey();

// The code waitForKey returns for the G key.
inline constexpr int kKeyG = 0x47;

}  // namespace speckmend
