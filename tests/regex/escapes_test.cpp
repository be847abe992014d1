// The escape decoder: the one rule (two hex digits, three octal digits,
// \c, \e, control letters on request) and the places where the pattern and
// bracket contexts differ, both at the decoder and through whole patterns.
#include <gtest/gtest.h>

#include <string>

#include "engine_test_support.h"
#include "regex/escapes.h"
#include "regex/regex.h"

using namespace regex;
using regex::detail::decode_escape;
using regex::detail::escape_context;
using regex::detail::escape_result;

namespace {

constexpr auto pattern_ctx = escape_context::pattern;
constexpr auto bracket_ctx = escape_context::bracket;

struct decode_case {
    const char* text;  // what follows the backslash
    escape_context where;
    bool translate;
    escape_result::kind_t kind;
    int value;          // the character, when kind is character
    std::size_t taken;  // characters consumed
};

const decode_case decode_cases[] = {
    // hexadecimal: at most two digits, in both contexts
    {"x41", pattern_ctx, false, escape_result::character, 0x41, 3},
    {"x414", pattern_ctx, false, escape_result::character, 0x41, 3},
    {"x414", bracket_ctx, false, escape_result::character, 0x41, 3},
    {"xfF", bracket_ctx, false, escape_result::character, 0xff, 3},
    {"x4g", pattern_ctx, false, escape_result::character, 0x4, 2},
    {"xg", pattern_ctx, false, escape_result::character, 0, 1},
    {"x", bracket_ctx, false, escape_result::character, 0, 1},
    // octal: at most three digits
    {"101", pattern_ctx, false, escape_result::character, 'A', 3},
    {"1234", bracket_ctx, false, escape_result::character, 0123, 3},
    {"08", pattern_ctx, false, escape_result::character, 0, 1},
    {"0", bracket_ctx, false, escape_result::character, 0, 1},
    // \8 and \9: what is left of a number outside brackets, the digit inside
    {"8", pattern_ctx, false, escape_result::character, 0, 0},
    {"9", bracket_ctx, false, escape_result::none, 0, 0},
    // \c and \e
    {"cA", pattern_ctx, false, escape_result::character, 1, 2},
    {"ca", bracket_ctx, false, escape_result::character, 1, 2},
    {"c?", pattern_ctx, false, escape_result::character, 127, 2},
    {"c", pattern_ctx, false, escape_result::incomplete, 0, 0},
    {"e", pattern_ctx, false, escape_result::character, 27, 1},
    // control letters only when translating; \v and \b only inside brackets
    {"n", pattern_ctx, false, escape_result::none, 0, 0},
    {"n", pattern_ctx, true, escape_result::character, '\n', 1},
    {"t", bracket_ctx, true, escape_result::character, '\t', 1},
    {"a", bracket_ctx, true, escape_result::character, 7, 1},
    {"v", pattern_ctx, true, escape_result::none, 0, 0},
    {"v", bracket_ctx, true, escape_result::character, 11, 1},
    {"v", bracket_ctx, false, escape_result::none, 0, 0},
    {"b", bracket_ctx, false, escape_result::character, 8, 1},
    {"b", pattern_ctx, false, escape_result::none, 0, 0},
    // letters without a meaning are left to the caller
    {"q", bracket_ctx, true, escape_result::none, 0, 0},
    {"", pattern_ctx, true, escape_result::none, 0, 0},
};

TEST(escapes, decoder_table) {
    for (const decode_case& c : decode_cases) {
        const std::string text = c.text;
        const char* p = text.data();
        const escape_result r = decode_escape(p, text.data() + text.size(), c.translate, c.where);
        const std::string what = "\\" + text + (c.where == bracket_ctx ? " in brackets" : " outside brackets");
        EXPECT_EQ(r.kind, c.kind) << what;
        if (c.kind == escape_result::character) {
            EXPECT_EQ(int(r.value), c.value) << what;
        }
        if (c.kind == escape_result::character) {
            EXPECT_EQ(std::size_t(p - text.data()), c.taken) << what;
        }
        if (c.kind != escape_result::character) {
            EXPECT_EQ(p, text.data()) << what << " moved the position";
        }
    }
}

struct pattern_case {
    const char* pattern;
    std::string subject;
    unsigned flags;
    std::string expected;  // whole match, or "NO"
};

const pattern_case pattern_cases[] = {
    // the same rule inside and outside brackets, as Perl reads them
    {"\\x414", "A4", 0, "A4"},
    {"^[\\x414]+$", "A44A", 0, "A44A"},
    {"[\\x414]", "B", 0, "NO"},
    {"[\\x41-\\x43]+", "xABCD", 0, "ABC"},
    {"^[\\1234]+$", "S4", 0, "S4"},
    {"\\1234", "S4", 0, "S4"},
    {"[\\cA]", std::string("\x01"), 0, "\x01"},
    {"[\\e]\\e", "\x1b\x1b", 0, "\x1b\x1b"},
    // contexts that differ
    {"[\\8]", "8", 0, "8"},
    {"a\\81",
     std::string("a\0"
                 "81",
                 4),
     0,
     std::string("a\0"
                 "81",
                 4)},  // 81 is no group: octal
    {"(a)\\1", "aa", 0, "aa"},
    {"[\\v]", "\v", translate_escapes, "\v"},
    {"\\v", "v", translate_escapes, "v"},
    {"[\\b]", "\b", 0, "\b"},
    {"[\\n]", "n", 0, "n"},
    {"[\\n]", "\n", translate_escapes, "\n"},
    // former bugs
    // \x in brackets took every hex digit that followed, so [\x414] was one
    // character (truncated to 0x14) instead of A and 4
    {"[\\x414]", "\x14", 0, "NO"},
    {"[\\x41a]", "a", 0, "a"},
};

TEST(escapes, through_patterns) {
    for (const pattern_case& c : pattern_cases) {
        rpattern p(c.pattern, c.flags);
        match_results r;
        const bool matched = p.match(c.subject, r).matched;
        const std::string got = matched ? r.backref(0).str() : "NO";
        EXPECT_EQ(got, c.expected) << c.pattern;
    }
}

TEST(escapes, incomplete_control_escape_is_reported_per_context) {
    EXPECT_EQ(regex_test::error_of("a\\c"), "incomplete escape sequence \\c");
    EXPECT_EQ(regex_test::error_of("[a\\c"), "expecting end of character set");
}

TEST(escapes, substitution_translates_the_control_letters) {
    rpattern p("b", "<\\t\\v\\e\\x41>", translate_escapes);
    subst_results r;
    std::string target = "abc";
    ASSERT_EQ(substitute(r, p, target), 1u);
    // \x is left to the substitution parser, which drops the backslash.
    EXPECT_EQ(target, "a<\t\v\x1bx41>c");
}

}  // namespace
