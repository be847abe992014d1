// The one way a run ends early.
//
// Library code that meets an unrecoverable condition throws FatalError with
// the message the user is to see; it never prints the block or exits itself.
// The run flow catches it, prints the detail line when there is one, then
// the "CRITICAL ERROR" block (with the usage text when asked), waits for a
// key and ends the process with status 1. Nothing written before the throw
// is undone.
#pragma once

#include <stdexcept>
#include <string>

namespace speckmend {

class FatalError : public std::runtime_error {
public:
    // `detail` says exactly what is wrong where the message is a fixed text
    // that does not ("config.xml:3: Premature end of data in tag detect"
    // before "configfile does not exist or not valid"); empty for none.
    FatalError(std::string message, bool showUsage, std::string detail = {})
        : std::runtime_error(message),
          message_(std::move(message)),
          showUsage_(showUsage),
          detail_(std::move(detail)) {}

    const std::string& message() const { return message_; }
    bool showUsage() const { return showUsage_; }
    const std::string& detail() const { return detail_; }

private:
    std::string message_;
    bool showUsage_;
    std::string detail_;
};

}  // namespace speckmend
