// The token scanners of the Perl-style syntax that need no compiler state:
// which characters are tokens outside brackets, and the quantifier forms
// (* + ? and the counted {n}, {n,}, {,m}, {n,m}, each optionally lazy).
//
// Tested by: tests/regex/parser_test.cpp.
#pragma once

#include <cctype>
#include <cstddef>
#include <optional>
#include <string>

#include "regex/bad_regexpr.h"
#include "regex/sub_expr.h"

namespace regex::detail {

class perl_syntax {
public:
    // Characters that are tokens of their own outside brackets.
    static bool is_token(char c) {
        switch (c) {
        case '(':
        case ')':
        case '|':
        case '^':
        case '$':
        case '.':
        case '[':
        case '\\': return true;
        default: return false;
        }
    }
    static bool is_quantifier_start(char c) { return c == '*' || c == '+' || c == '?'; }

    // True when the '{' at `at` opens a counted quantifier: digits,
    // optionally ',' and digits, then '}'. Any other '{' is a literal.
    static bool quantifier_follows(const std::string& text, std::size_t at) {
        const std::size_t n = text.size();
        std::size_t k = at + 1;
        while (k < n && is_digit(text[k])) ++k;
        if (k < n && text[k] == ',') {
            ++k;
            while (k < n && is_digit(text[k])) ++k;
        }
        return k < n && text[k] == '}';
    }

    // The quantifier at `i`, which is left after it, or nothing (and `i`
    // unchanged) when none starts there. Counts too large saturate just
    // below unbounded.
    static std::optional<quantifier_spec> read_quantifier(const std::string& text, std::size_t& i) {
        const std::size_t n = text.size();
        if (i == n) return std::nullopt;
        const char c = text[i];
        // Most atoms have none: they are answered here, inline in the parser.
        if (!is_quantifier_start(c) && c != '{') return std::nullopt;
        return read_quantifier_at(text, i);
    }

private:
    static std::optional<quantifier_spec> read_quantifier_at(const std::string& text, std::size_t& i) {
        const std::size_t n = text.size();
        quantifier_spec q{0, unbounded, true};
        const char c = text[i];
        if (is_quantifier_start(c)) {
            q.min = c == '+' ? 1 : 0;
            q.max = c == '?' ? 1 : unbounded;
            ++i;
        } else if (c == '{' && quantifier_follows(text, i)) {
            ++i;
            read_count(text, i, q.min);
            if (text[i] == ',') {
                ++i;
                if (!read_count(text, i, q.max)) q.max = unbounded;
            } else {
                q.max = q.min;
            }
            ++i;  // '}'
            if (q.max < q.min) throw bad_regexpr("Can't do {n, m} with n > m");
        } else {
            return std::nullopt;
        }
        if (i < n && text[i] == '?') {
            q.greedy = false;
            ++i;
        }
        return q;
    }

    static bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

    // Reads the digits at `i` into `value`; false when there are none.
    static bool read_count(const std::string& text, std::size_t& i, std::size_t& value) {
        value = 0;
        bool any = false;
        while (i < text.size() && is_digit(text[i])) {
            const std::size_t d = static_cast<std::size_t>(text[i] - '0');
            value = value > (unbounded - 1 - d) / 10 ? unbounded - 1 : value * 10 + d;
            ++i;
            any = true;
        }
        return any;
    }
};

}  // namespace regex::detail
