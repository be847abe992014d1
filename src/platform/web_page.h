// Opening the maker's page in the desktop's browser.
#pragma once

#include <string>

namespace speckmend {

// Starts the desktop's opener for the address in the background with its
// output silenced and returns at once. A missing opener or any failure is
// ignored: the page is an offer, not part of the run.
void openWebPage(const std::string& address);

}  // namespace speckmend
