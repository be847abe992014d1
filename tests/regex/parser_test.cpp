// The parser: every syntax error with its message, group numbering, the
// flags and mode kept, and the arena the nodes live in.
#include <gtest/gtest.h>

#include "engine_test_support.h"
#include "regex/regex.h"

using namespace regex;
using regex_test::error_of;
using regex_test::run;

namespace {

struct error_case {
    const char* pattern;
    unsigned flags;
    const char* message;  // "" when the pattern compiles
};

const error_case error_cases[] = {
    // extensions
    {"?", 0, "ill-formed regular expression"},
    {"?:a", 0, "ill-formed regular expression"},
    {"(?", 0, "ill-formed regular expression"},
    {"(?:", 0, "ill-formed regular expression"},
    {"(?<", 0, "ill-formed regular expression"},
    {"(?i", 0, "ill-formed regular expression"},
    {"(?#", 0, "ill-formed regular expression"},
    {"(?(", 0, "ill-formed regular expression"},
    {"(?z)", 0, "bad extension sequence"},
    {"(?<a)", 0, "bad extension sequence"},
    {"(?i-m-s)", 0, "bad extension sequence"},
    {"(?iq)", 0, "bad extension sequence"},
    {"(?#abc", 0, "Expecting end of comment"},
    {"(?#a\\)b", 0, ""},
    {"(?(0)x|y)", 0, "bad extension sequence"},
    {"(?(a)x|y)", 0, "bad extension sequence"},
    {"(a)(?(1)a|b|c)", 0, "Too many alternates in conditional subexpression"},
    {"(a)(?(1)a|b)", 0, ""},
    {"(?(?=a)a|b)", 0, ""},
    {"(?(?<!a)a|b)", 0, ""},
    {"(?R", 0, "ill-formed regular expression"},
    {"(?Rx)", 0, "bad extension sequence"},
    // parentheses
    {"a(", 0, "mismatched parenthesis"},
    {"(a", 0, "mismatched parenthesis"},
    {"a)", 0, "mismatched parenthesis"},
    {"(a))", 0, "mismatched parenthesis"},
    {"((a)", 0, "mismatched parenthesis"},
    // escapes
    {"\\c", 0, "incomplete escape sequence \\c"},
    {"\\E", 0, "quotemeta turned off, but was never turned on"},
    {"\\Qab\\E\\E", 0, "quotemeta turned off, but was never turned on"},
    {"\\Qab", 0, ""},
    {"\\", 0, ""},
    // quantifiers
    {"*", 0, "quantifier not expected"},
    {"a**", 0, "quantifier not expected"},
    {"a+?+", 0, "quantifier not expected"},
    {"^*", 0, "quantifier not expected"},
    {"$+", 0, "quantifier not expected"},
    {"\\b*", 0, "quantifier not expected"},
    {"(?=a)*", 0, "quantifier not expected"},
    {"(?<=a)?", 0, "quantifier not expected"},
    {"(*)", 0, "quantifier not expected"},
    {"a|*", 0, "quantifier not expected"},
    {"\\Qab\\E*", 0, "quantifier not expected"},
    {"(?R)*", 0, "quantifier not expected"},
    {"(?:)*", 0, "quantifier not expected"},
    {"x{2,1}", 0, "Can't do {n, m} with n > m"},
    {"x{2,}", 0, ""},
    {"x{,}", 0, ""},
    {"{3}", 0, ""},
    {"a{x}", 0, ""},
    {"a{2}{3}", 0, ""},  // the second brace starts literal text
    // character sets
    {"[z-a]", 0, "invalid range specified in character set"},
    {"[a", 0, "expecting end of character set"},
    {"[a\\", 0, "expecting end of character set"},
    {"[", 0, "expecting end of character set"},
    {"[^", 0, "expecting end of character set"},
    {"[a-", 0, "expecting end of character set"},
    // backreferences
    {"\\1", 0, "reference to nonexistent group"},
    {"(a)\\2", 0, "reference to nonexistent group"},
    {"(?:a)\\1", 0, "reference to nonexistent group"},
    {"(a)\\1", 0, ""},
    {"\\1(a)", 0, ""},
    {"(?(2)a|b)(x)", 0, "reference to nonexistent group"},
    {"(x)|(?(2)a|b)", 0, "reference to nonexistent group"},
    {"(x)(y)|(?(2)a|b)", 0, ""},
    {"(?=\\2)(a)", 0, "reference to nonexistent group"},
    {"\\10", 0, ""},
};

TEST(parser, errors_and_accepted_patterns) {
    for (const error_case& c : error_cases)
        EXPECT_EQ(error_of(c.pattern, c.flags), c.message) << "pattern \"" << c.pattern << "\"";
}

TEST(parser, errors_leave_no_object_and_are_invalid_argument) {
    try {
        rpattern p("(a");
        FAIL() << "compiled";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "mismatched parenthesis");
    }
}

TEST(parser, group_counts_and_hidden_groups) {
    rpattern p("(a)(?:b)(?>c)((d))(?=(e))(?(1)f)");
    EXPECT_EQ(p.cgroups(), 5u);      // whole match, 1, 3, 4, and the look-ahead's group
    EXPECT_EQ(p.group_total(), 8u);  // plus the hidden ones
    EXPECT_EQ(p.hidden(), (std::vector<unsigned>{2, 3, 7}));
    // A backreference counts visible groups only.
    EXPECT_EQ(run("(?:x)(a)(?>y)(b)\\2", "xaybb"), "xaybb|a|b");
}

TEST(parser, flags_and_mode_are_kept) {
    rpattern p("a", ignore_case | multi_line, stack_mode);
    EXPECT_EQ(p.flags(), unsigned{ignore_case | multi_line});
    EXPECT_EQ(p.mode(), stack_mode);
    EXPECT_EQ(unsigned{free_spacing}, 512u);
    EXPECT_EQ(unsigned{collect_all_groups}, 128u);
}

TEST(parser, nodes_live_in_fixed_blocks) {
    rpattern small("a");
    std::string big;
    for (int i = 0; i < 200; ++i) big += "(a|b)";
    rpattern large(big);
    EXPECT_LT(small.arena().block_count(), large.arena().block_count());
    EXPECT_GT(large.arena().block_count(), 50u);
}

}  // namespace
