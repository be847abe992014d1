// One parsed piece of a substitution text.
//
// Tested by: tests/regex/substitution_test.cpp.
#pragma once

#include <cstddef>

namespace regex::detail {

enum class case_command { upper_on, upper_next, lower_on, lower_next, off };

struct subst_piece {
    enum kind_t { literal_piece, group_piece, case_piece } kind;
    std::size_t offset = 0;  // literal_piece: stretch of the substitution text
    std::size_t length = 0;
    long group = 0;  // group_piece: N, -1 before the match, -2 after it
    case_command command = case_command::off;
};

constexpr long prematch_group = -1;
constexpr long postmatch_group = -2;

}  // namespace regex::detail
