// The temporary folder every test works in: a fresh folder under /tmp, and
// everything in it removed when the test is done with it.
#pragma once

#include <string>

namespace speckmend::testing {

class TempFolder {
public:
    TempFolder();
    // Also removes what a test made read-only inside.
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace speckmend::testing
