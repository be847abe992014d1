// The exception every pattern-engine error is reported with: what() carries
// the exact message text callers and tests compare against.
#pragma once

#include <stdexcept>
#include <string>

namespace regex {

class bad_regexpr : public std::invalid_argument {
public:
    explicit bad_regexpr(const std::string& message) : std::invalid_argument(message) {}
    explicit bad_regexpr(const char* message) : std::invalid_argument(message) {}
};

}  // namespace regex
