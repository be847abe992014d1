// The exceptions the pattern engine reports with: bad_regexpr for a bad
// pattern or substitution text (what() carries the exact message callers and
// tests compare against), and its subclass step_limit_reached for a search
// that gave up after its step budget (see basic_rpattern::set_step_limit).
//
// Tested by: tests/regex/parser_test.cpp, tests/regex/step_limit_test.cpp.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace regex {

class bad_regexpr : public std::invalid_argument {
public:
    explicit bad_regexpr(const std::string& message) : std::invalid_argument(message) {}
    explicit bad_regexpr(const char* message) : std::invalid_argument(message) {}
};

// Thrown by a search (match, substitute, regex_match) when it has made as
// many backtracking steps as the pattern's step limit allows. A subclass of
// bad_regexpr so that callers that only guard against bad patterns also stop
// here instead of spinning; the search leaves no partial result behind.
class step_limit_reached : public bad_regexpr {
public:
    explicit step_limit_reached(std::size_t limit)
        : bad_regexpr("pattern step limit of " + std::to_string(limit) +
                      " steps reached: the pattern backtracks too much on this subject"),
          limit_(limit) {}
    std::size_t limit() const { return limit_; }

private:
    std::size_t limit_;
};

}  // namespace regex
