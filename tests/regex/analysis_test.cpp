// The analysis of a parsed pattern: widths, anchoring, the strategy choice
// of adaptive mode, and the Horspool start set of a literal prefix.
#include <gtest/gtest.h>

#include "engine_test_support.h"
#include "regex/regex.h"

using namespace regex;
using regex_test::run;

namespace {

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

TEST(analysis, widths) {
    for (const width_case& c : width_cases) {
        rpattern p(c.pattern);
        EXPECT_EQ(p.get_min_width(), c.min) << c.pattern;
        EXPECT_EQ(p.get_max_width(), c.max) << c.pattern;
    }
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

TEST(analysis, anchoring_analysis) {
    for (const anchor_case& c : anchor_cases) {
        rpattern p(c.pattern, c.flags);
        EXPECT_EQ(p.can_float_match(), c.can_float) << c.pattern;
        EXPECT_EQ(p.flags(), c.flags_after) << c.pattern;
    }
}

TEST(analysis, fast_ok_marks_recursion_and_long_group_loops) {
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

TEST(analysis, start_set_analysis) {
    for (const start_case& c : start_cases)
        EXPECT_EQ(rpattern(c.pattern, c.flags).has_start_set(), c.has_start_set) << c.pattern;
}

// The Horspool scan must find literal prefixes wherever they sit.
TEST(analysis, start_set_scan_finds_every_occurrence) {
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

}  // namespace
