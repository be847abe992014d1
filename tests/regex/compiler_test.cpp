// Compilation: every syntax error with its message, widths, anchoring,
// group numbering and the start-of-match analysis.
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

TEST(compiler, errors_and_accepted_patterns) {
    for (const error_case& c : error_cases)
        EXPECT_EQ(error_of(c.pattern, c.flags), c.message) << "pattern \"" << c.pattern << "\"";
}

TEST(compiler, errors_leave_no_object_and_are_invalid_argument) {
    try {
        rpattern p("(a");
        FAIL() << "compiled";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "mismatched parenthesis");
    }
}

struct width_case {
    const char* pattern;
    std::size_t min, max;
};

const std::size_t U = static_cast<std::size_t>(-1);

const width_case width_cases[] = {
    {"", 0, 0},
    {"abc", 3, 3},
    {"a|bcd", 1, 3},
    {"a*", 0, U},
    {"a+", 1, U},
    {"a{2,5}", 2, 5},
    {"(ab){2,3}c", 5, 7},
    {"(ab){0}", 0, 0},
    {"\\d\\w.[xy]", 4, 4},
    {"^a$\\b(?=xyz)(?!q)(?<=a)", 1, 1},
    {"(ab)\\1", 4, 4},
    {"(a|bc)\\1", 2, 4},
    {"(a\\1)", 1, U},
    {"(a)?(?(1)bc|d)", 1, 3},
    {"(a)?(?(1)bc)", 0, 3},
    {"a(?:(?R))?b", 2, U},
    {"(?>ab|c)", 1, 2},
    {"\\Qa.b\\E", 3, 3},
    {"(?:a|)", 0, 1},
};

TEST(compiler, widths) {
    for (const width_case& c : width_cases) {
        rpattern p(c.pattern);
        EXPECT_EQ(p.get_min_width(), c.min) << c.pattern;
        EXPECT_EQ(p.get_max_width(), c.max) << c.pattern;
    }
}

TEST(compiler, group_counts_and_hidden_groups) {
    rpattern p("(a)(?:b)(?>c)((d))(?=(e))(?(1)f)");
    EXPECT_EQ(p.cgroups(), 5u);        // whole match, 1, 3, 4, and the look-ahead's group
    EXPECT_EQ(p.group_total(), 8u);    // plus the hidden ones
    EXPECT_EQ(p.hidden(), (std::vector<unsigned>{2, 3, 7}));
    // A backreference counts visible groups only.
    EXPECT_EQ(run("(?:x)(a)(?>y)(b)\\2", "xaybb"), "xaybb|a|b");
}

TEST(compiler, flags_and_mode_are_kept) {
    rpattern p("a", ignore_case | multi_line, stack_mode);
    EXPECT_EQ(p.flags(), unsigned{ignore_case | multi_line});
    EXPECT_EQ(p.mode(), stack_mode);
    EXPECT_EQ(unsigned{free_spacing}, 512u);
    EXPECT_EQ(unsigned{collect_all_groups}, 128u);
}

struct anchor_case {
    const char* pattern;
    unsigned flags;
    bool can_float;
    unsigned flags_after;
};

const anchor_case anchor_cases[] = {
    {"^a", rightmost, false, 0},
    {"^a", multi_line, true, multi_line},
    {"^a|b", 0, true, 0},
    {"a^", 0, true, 0},
    {"(^a)", 0, true, 0},
    {".*a", single_line, false, single_line},
    {".+?a", single_line, false, single_line},
    {".?a", single_line, true, single_line},
    {".*a", 0, true, 0},
    {".*a", single_line | rightmost, true, single_line | rightmost},
    {"\\Aa", 0, true, 0},
};

TEST(compiler, anchoring_analysis) {
    for (const anchor_case& c : anchor_cases) {
        rpattern p(c.pattern, c.flags);
        EXPECT_EQ(p.can_float_match(), c.can_float) << c.pattern;
        EXPECT_EQ(p.flags(), c.flags_after) << c.pattern;
    }
}

TEST(compiler, fast_ok_marks_recursion_and_long_group_loops) {
    EXPECT_TRUE(rpattern("(a|b){0,16}").fast_ok_match());
    EXPECT_TRUE(rpattern("a*b+").fast_ok_match());
    EXPECT_FALSE(rpattern("(a|b){0,17}").fast_ok_match());
    EXPECT_FALSE(rpattern("(?:a)*").fast_ok_match());
    EXPECT_FALSE(rpattern("a(?:(?R))?b").fast_ok_match());
}

struct start_case {
    const char* pattern;
    unsigned flags;
    bool has_start_set;
};

const start_case start_cases[] = {
    {"abc", 0, true},
    {"\\.jpg", ignore_case, true},
    {"abc|abd", 0, false},
    {"a*bc", 0, false},
    {"^abc", 0, false},  // anchored: tried once anyway
    {"\\w+$", ignore_case, false},
    {"ab(c)", 0, true},
};

TEST(compiler, start_set_analysis) {
    for (const start_case& c : start_cases)
        EXPECT_EQ(rpattern(c.pattern, c.flags).has_start_set(), c.has_start_set) << c.pattern;
}

// The Horspool scan must find literal prefixes wherever they sit.
TEST(compiler, start_set_scan_finds_every_occurrence) {
    const std::string subject = "xxabcabxabcaabcabcx";
    for (unsigned flags : {0u, unsigned{ignore_case}}) {
        rpattern p("abcab", flags | global_match | collect_whole_matches);
        match_results r;
        ASSERT_TRUE(p.match(subject, r).matched);
        ASSERT_EQ(r.cbackrefs(), 2u);
        EXPECT_EQ(r.rstart(0), 2);
        EXPECT_EQ(r.rstart(1), 12);
    }
    EXPECT_EQ(run("ABCAB", "xxabcabx", ignore_case), "abcab");
    EXPECT_EQ(run("ABCAB", "xxabcabx"), "NO");
}

TEST(compiler, nodes_live_in_fixed_blocks) {
    rpattern small("a");
    std::string big;
    for (int i = 0; i < 200; ++i) big += "(a|b)";
    rpattern large(big);
    EXPECT_LT(small.arena().block_count(), large.arena().block_count());
    EXPECT_GT(large.arena().block_count(), 50u);
}

}  // namespace
