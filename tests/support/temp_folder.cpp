// Temporary folders through mkdtemp, removed with a shell's chmod and rm.
#include "temp_folder.h"

#include <cstdlib>
#include <stdexcept>

namespace speckmend::testing {

TempFolder::TempFolder() {
    char tmpl[] = "/tmp/speckmend-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempFolder::~TempFolder() {
    // Folders made read-only by a test must become writable again first.
    const std::string command = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    (void)!std::system(command.c_str());
}

}  // namespace speckmend::testing
