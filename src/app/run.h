// The program's run flow: banner, stages, one engine, closing text, key wait.
#pragma once

#include <string>

#include "app/version.h"

namespace speckmend {

// The maker's credit in the banner and the page offered at the end.
inline constexpr const char* kMakerCredit = "by the Speckmend team";
inline constexpr const char* kMakerPage = kHomepage;

// The exit status of a run that finished but in which at least one photo or
// dark frame failed (a status line other than "processed.").
inline constexpr int kFilesFailedStatus = 2;

// Runs the whole program and returns the process exit status: 0 after a
// run in which every photo or frame was processed, or after --help (-h) or
// --version (-V) as the first word, which print the usage text or
// "speckmend VERSION" alone; kFilesFailedStatus after a run with failed
// files; kConsoleClosedStatus when standard output was lost. A fatal error
// does not return (see reportFatalError).
int run(int argc, char** argv);

// Prints the detail line when there is one, then the "CRITICAL ERROR" block,
// with the usage text when asked, waits for a key and ends the process with
// status 1.
[[noreturn]] void reportFatalError(const std::string& message, bool showUsage, const std::string& detail);

// The usage text appended to command-line errors.
std::string usageText();

}  // namespace speckmend
