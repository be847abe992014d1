// Helpers shared by the engine tests: run a pattern and describe the match
// as text, so that table rows stay one line each.
#pragma once

#include <string>

#include "regex/regex.h"

namespace regex_test {

// "whole|group1|group2", an unmatched group shown as "-"; for results over
// strings and over NUL-terminated subjects alike.
template <class Results>
std::string describe(const Results& r) {
    std::string out;
    for (std::size_t i = 0; i < r.cbackrefs(); ++i) {
        if (i) out += '|';
        const auto& b = r.backref(i);
        out += b.matched ? std::string(b.first, b.second) : std::string("-");
    }
    return out;
}

inline std::string run(const std::string& pattern, const std::string& subject, unsigned flags = 0,
                       regex::REGEX_MODE mode = regex::recursive_mode) {
    try {
        regex::rpattern p(pattern, flags, mode);
        regex::match_results r;
        if (!p.match(subject, r).matched) return "NO";
        return describe(r);
    } catch (const std::exception& e) {
        return std::string("threw: ") + e.what();
    }
}

// "start+length" of capture 0, or "NO".
inline std::string where(const std::string& pattern, const std::string& subject, unsigned flags = 0,
                         regex::REGEX_MODE mode = regex::recursive_mode) {
    regex::rpattern p(pattern, flags, mode);
    regex::match_results r;
    if (!p.match(subject, r).matched) return "NO";
    return std::to_string(r.rstart(0)) + "+" + std::to_string(r.rlength(0));
}

inline std::string error_of(const std::string& pattern, unsigned flags = 0) {
    try {
        regex::rpattern p(pattern, flags);
    } catch (const regex::bad_regexpr& e) {
        return e.what();
    }
    return "";
}

inline const char* mode_name(regex::REGEX_MODE m) {
    return m == regex::recursive_mode ? "recursive" : m == regex::stack_mode ? "stack" : "adaptive";
}

}  // namespace regex_test
