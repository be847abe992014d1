// The one way a run ends early.
//
// Library code that meets an unrecoverable condition throws FatalError with
// the message the user is to see; it never prints the block or exits itself.
// The run flow catches it, prints the "CRITICAL ERROR" block (with the usage
// text when asked), waits for a key and ends the process with status 1.
// Nothing written before the throw is undone.
#pragma once

#include <stdexcept>
#include <string>

namespace speckmend {

class FatalError : public std::runtime_error {
public:
    FatalError(std::string message, bool showUsage)
        : std::runtime_error(message), message_(std::move(message)), showUsage_(showUsage) {}

    const std::string& message() const { return message_; }
    bool showUsage() const { return showUsage_; }

private:
    std::string message_;
    bool showUsage_;
};

}  // namespace speckmend
