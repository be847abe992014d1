// Search semantics of the engine: every node kind, quantifiers, groups,
// look-arounds, conditionals and recursion, run in each match mode.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine_test_support.h"
#include "regex/regex.h"

using namespace regex;
using regex_test::describe;
using regex_test::run;
using regex_test::where;

namespace {

struct match_case {
    const char* pattern;
    const char* subject;
    unsigned flags;
    const char* expected;  // captures joined by '|', "-" unmatched, or "NO"
};

const unsigned I = ignore_case;

const match_case match_cases[] = {
    // the program's own patterns
    {"(heal|detect)", "HEAL", I, "HEAL|HEAL"},
    {"(heal|detect)", "detect", I, "detect|detect"},
    {"(heal|detect)", "xhealx", I, "heal|heal"},
    {"(heal|detect)", "help", I, "NO"},
    {"\\w+$", "photo.jpg", I, "jpg"},
    {"\\w+$", "photo.jpg\n", I, "jpg"},
    {"\\w+$", "name.", I, "NO"},
    {"\\.jpg", "IMG_0001.JPG", I, ".JPG"},
    {"\\.jpg", "ajpg", I, "NO"},
    // literals, runs and single characters
    {"", "abc", 0, ""},
    {"abc", "xxabcx", 0, "abc"},
    {"abc", "xxabx", 0, "NO"},
    {"abc", "ab", 0, "NO"},
    {"abc*", "abccc", 0, "abccc"},
    {"abc*", "ababc", 0, "ab"},
    {"ABC", "xabc", I, "abc"},
    {"a.c", "abc", 0, "abc"},
    {"a.c", "a\nc", 0, "NO"},
    {"a.c", "a\nc", single_line, "a\nc"},
    // braces
    {"a{,3}", "aaaa", 0, "aaa"},
    {"a{}", "aaa", 0, ""},
    {"{3}", "x{3}", 0, "{3}"},
    {"a{x}", "aa{x}", 0, "a{x}"},
    {"a{1x}", "a{1x}", 0, "a{1x}"},
    {"x{2,}", "xxxx", 0, "xxxx"},
    {"x{2,3}", "xxxx", 0, "xxx"},
    {"x{2}", "x", 0, "NO"},
    {"a,}", "a,}", 0, "a,}"},
    {"a{2}{3}", "aaa{3}", 0, "aa{3}"},
    // escapes
    {"\\n", "n", 0, "n"},
    {"\\n", "\n", translate_escapes, "\n"},
    {"\\t", "t", 0, "t"},
    {"\\x41", "A", 0, "A"},
    {"\\x414", "A4", 0, "A4"},
    {"\\101", "A", 0, "A"},
    {"\\10", "\x08", 0, "\x08"},
    {"\\e", "\x1b", 0, "\x1b"},
    {"\\cA", "\x01", 0, "\x01"},
    {"\\ca", "\x01", 0, "\x01"},
    {"\\.", "a.", 0, "."},
    {"a\\", "a\\", 0, "a\\"},
    {"\\Qa.b\\E", "a.b", 0, "a.b"},
    {"\\Qa.b\\E", "axb", 0, "NO"},
    {"\\Qa.b", "xa.b", 0, "a.b"},
    // classes
    {"\\d+", "ab123c", 0, "123"},
    {"\\D+", "12ab3", 0, "ab"},
    {"\\s+", "a \t\nb", 0, " \t\n"},
    {"\\S+", "  ab ", 0, "ab"},
    {"\\w+", "--a_1--", 0, "a_1"},
    {"\\W+", "ab-+cd", 0, "-+"},
    {"[a-c]+", "xxbcaz", 0, "bca"},
    {"[^a-c]+", "abxyc", 0, "xy"},
    {"[a-c]+", "ABC", I, "ABC"},
    {"[[:foo:]]", "f]", 0, "f]"},
    {"[[:foo:]]", "f", 0, "NO"},
    // anchors
    {"^b", "a\nb", 0, "NO"},
    {"^b", "a\nb", multi_line, "b"},
    {"a$", "a\n", 0, "a"},
    {"a$", "a\nb", 0, "NO"},
    {"a$", "a\nb", multi_line, "a"},
    {"a\\z", "a\n", 0, "NO"},
    {"a\\Z", "a\n", 0, "a"},
    {"\\Ab", "ab", 0, "NO"},
    {"\\Ab", "a\nb", multi_line, "NO"},
    {"^$", "", 0, ""},
    {"$", "ab", 0, ""},
    // word assertions
    {"\\bfoo\\b", "a foo b", 0, "foo"},
    {"\\bfoo\\b", "afoo b", 0, "NO"},
    {"\\Bo\\B", "foo", 0, "o"},
    {"\\b", "", 0, "NO"},
    {"\\B", "", 0, ""},
    // alternation and groups: the first alternative wins
    {"(a|ab)(c|bcd)(d*)", "abcd", 0, "abcd|a|bcd|"},
    {"(a)|b", "b", 0, "b|-"},
    {"a|b|c", "xxc", 0, "c"},
    {"(?:(a)|b)", "b", 0, "b|-"},
    {"(?:a)(b)\\1", "abb", 0, "abb|b"},
    {"((a)(b))", "ab", 0, "ab|ab|a|b"},
    // greedy and lazy atom quantifiers
    {"a+a", "aaa", 0, "aaa"},
    {"a+?", "aaa", 0, "a"},
    {"a*?b", "aaab", 0, "aaab"},
    {"(a+?)(a*)", "aaa", 0, "aaa|a|aa"},
    {"a{2,3}?", "aaaa", 0, "aa"},
    {"a??b", "ab", 0, "ab"},
    {"x*", "ab", 0, ""},
    {"\\d{2,}?\\d", "12345", 0, "123"},
    {"[ab]*c", "ababac", 0, "ababac"},
    {"[ab]*?c", "ababac", 0, "ababac"},
    {".*foo", "xfooyfooz", 0, "xfooyfoo"},
    {".*?foo", "xfooyfooz", 0, "xfoo"},
    // a greedy repeat whose continuation cannot begin with a character it
    // takes tries its longest count alone; one that overlaps still backs off
    {"[a-c]+d", "abcd", 0, "abcd"},
    {"[a-c]+d", "abce", 0, "NO"},
    {"[a-c]+c", "abc", 0, "abc"},
    {"[ab]+[cb]", "abab", 0, "abab"},
    {"a+A", "aaa", I, "aaa"},
    {"[^x]+x", "abxcx", 0, "abx"},
    {"\\w+@\\w", "ab@cd", 0, "ab@c"},
    {"a+(?:b|a)", "aaa", 0, "aaa"},
    {"a{3,}b", "aab", 0, "NO"},
    {"[a-c]+?d", "abcd", 0, "abcd"},
    {"x+y", "xxxzy", 0, "NO"},
    // group quantifiers
    {"(ab)+", "ababx", 0, "abab|ab"},
    {"(a|b)*c", "abbac", 0, "abbac|a"},
    {"(a|ab)*c", "abac", 0, "abac|a"},
    {"(a*)*", "b", 0, "|"},
    {"(a*)+", "b", 0, "|"},
    {"(ab){2}", "ababab", 0, "abab|ab"},
    {"(ab){2,}?", "ababab", 0, "abab|ab"},
    {"(a){0}b", "ab", 0, "b|-"},
    {"(a|b)*?c", "abc", 0, "abc|b"},
    {"(?:a|b)+?b", "aab", 0, "aab"},
    {"(?:x+y?)*z", "xxyxz", 0, "xxyxz"},
    {"(a?){3}", "aa", 0, "aa|"},
    {"((a)|b)+", "ab", 0, "ab|b|a"},
    {"(?:(a)|b)+", "ab", 0, "ab|a"},
    // a group repeat tries what follows it only where that can begin
    {"(ab)+ab", "ababab", 0, "ababab|ab"},
    {"(a|b){2,}b", "aabab", 0, "aabab|a"},
    {"(ab)+c", "ababx", 0, "NO"},
    {"(ab)*c", "abc", 0, "abc|ab"},
    {"(ab)*?abc", "ababc", 0, "ababc|ab"},
    {"(a|b)*?b", "aab", 0, "aab|a"},
    {"(?:x+x+)+y", "xxxzy", 0, "NO"},
    // backreferences
    {"(a+)\\1", "aaaa", 0, "aaaa|aa"},
    {"(a)\\1{2}", "aaa", 0, "aaa|a"},
    {"(a)\\1", "aA", I, "aA|a"},
    {"(a)\\1", "aA", 0, "NO"},
    {"(?:(a)|b)\\1", "b", 0, "NO"},
    {"(a*)b\\1", "b", 0, "b|"},
    {"(a*)\\1*c", "c", 0, "c|"},
    {"(a|b)\\1+", "abbb", 0, "bbb|b"},
    // atomic groups
    {"(?>a+)a", "aaa", 0, "NO"},
    {"(?>a|ab)c", "abc", 0, "NO"},
    {"(?>ab|a)c", "abc", 0, "abc"},
    {"(?>(a+))b", "aab", 0, "aab|aa"},
    {"(?>a*)*b", "aab", 0, "aab"},
    // look-ahead
    {"a(?=b)", "ab", 0, "a"},
    {"a(?!b)", "ab", 0, "NO"},
    {"a(?!b)", "ac", 0, "a"},
    {"(?=(a))a", "a", 0, "a|a"},
    {"(?!(a))b", "b", 0, "b|-"},
    {"(?=a)", "ba", 0, ""},
    // look-behind
    {"(?<=ab)c", "abc", 0, "c"},
    {"(?<=ab)c", "xbc", 0, "NO"},
    {"(?<=a)", "", 0, "NO"},
    {"(?<!a)", "", 0, ""},
    {"(?<!a)b", "ab", 0, "NO"},
    {"(?<!a)b", "cb", 0, "b"},
    {"(?<=a|bc)d", "bcd", 0, "d"},
    {"(?<=(a))b", "ab", 0, "b|a"},
    {"(?<=\\ba)b", "xab ab", 0, "b"},
    {"(?<=a+)b", "caab", 0, "b"},
    {"(?<=a$)", "a\n", 0, ""},
    // conditionals
    {"(a)?(?(1)b|c)", "ab", 0, "ab|a"},
    {"(a)?(?(1)b|c)", "c", 0, "c|-"},
    {"(a)?(?(1)b)c", "c", 0, "c|-"},
    {"(a)?(b)?(?(2)x|y)", "bx", 0, "bx|-|b"},
    {"(a)?(b)?(?(2)x|y)", "y", 0, "y|-|-"},
    {"(?(?=a)ab|cd)", "cd", 0, "cd"},
    {"(?(?=a)ab|cd)", "xab", 0, "ab"},
    {"(?(?!a)cd|ab)", "ab", 0, "ab"},
    {"(?(?<=x)a|b)", "xa", 0, "a"},
    {"(?(?<=x)a|b)", "ya", 0, "NO"},
    // recursion
    {"\\((?:[^()]|(?R))*\\)", "x(a(b)c)y", 0, "(a(b)c)"},
    {"a(?:(?R))?b", "aaabbb", 0, "aaabbb"},
    {"a(?:(?R))?b", "aabbb", 0, "aabb"},
    {"(a)(?:(?R))?b", "aabb", 0, "aabb|a"},
    {"^(a(?:(?R)|x)b)$", "aaxbb", 0, "NO"},
    {"(a(?:(?R)|x)b)", "aaxbb", 0, "aaxbb|aaxbb"},
    {"x(?R)", "xxx", 0, "NO"},
    // modifiers and free spacing
    {"(?i)abc", "ABC", 0, "ABC"},
    {"((?i)a)b", "Ab", 0, "Ab|A"},
    {"((?i)a)b", "AB", 0, "NO"},
    {"(?i:a)b", "Ab", 0, "Ab"},
    {"(?i:a)b", "AB", 0, "NO"},
    {"(?-i)a", "A", I, "NO"},
    {"(?s).", "\n", 0, "\n"},
    {"(?m)^b", "a\nb", 0, "b"},
    {"(?x) a b # note", "ab", 0, "ab"},
    {"a b # note", "ab", free_spacing, "ab"},
    {"[a b]", " ", free_spacing, " "},
    {"a # c\n b", "ab", free_spacing, "ab"},
    {"a *", "aaa", free_spacing, "aaa"},
    {"(?#comment)a", "a", 0, "a"},
    {"(?:)a", "a", 0, "a"},
    // former bugs
    {"(?<=^a)b", "ab", 0, "b"},  // a '^' inside the first group anchored the whole pattern
    {"(?:^a|b)c", "xbc", 0, "bc"},
    {"(a*)+", "aa", 0, "aa|"},                 // the last, empty iteration is the one captured
    {"a(?#note)b", "ab", free_spacing, "ab"},  // '#' after "(?" was read as a comment
    {"a (? : b)", "ab", free_spacing, "ab"},
};

class modes : public ::testing::TestWithParam<REGEX_MODE> {};

TEST_P(modes, match_table) {
    for (const match_case& c : match_cases) {
        EXPECT_EQ(run(c.pattern, c.subject, c.flags, GetParam()), c.expected)
            << "pattern \"" << c.pattern << "\" subject \"" << c.subject << "\" flags " << c.flags;
    }
}

struct position_case {
    const char* pattern;
    const char* subject;
    unsigned flags;
    const char* expected;  // "start+length" or "NO"
};

const position_case position_cases[] = {
    {"a*", "baaa", 0, "0+0"},
    {"a", "aaa", rightmost, "2+1"},
    {"a+", "aaba", rightmost, "3+1"},
    {"ab", "abab", rightmost, "2+2"},
    {"^a", "aaa", rightmost, "0+1"},  // anchoring clears rightmost
    {"abc", "ab", 0, "NO"},
    {"b", "aaab", 0, "3+1"},
    {"needle", "haystack with a needle in it", 0, "16+6"},
    // a failed leading repeat lets the search resume after its run
    {"[ab]+c", "ababxabc", 0, "5+3"},
    {"\\w+@\\w+", "foo bar@baz", 0, "4+7"},
    {"a*b", "aaac aab", 0, "5+3"},
    {"[a-z]*1", "abc abc1", 0, "4+4"},
    {"\\w+\\b", "ab cd", 0, "0+2"},
    {"a+(?<=ba)x", "aaa baax bax", 0, "10+2"},
    {".*x", "abc\nabx", 0, "4+3"},
    {"NEEDLE", "haystack with a needle in it", I, "16+6"},
    {"aab", "aaaab", 0, "2+3"},
    {".*b", "aab\nab", 0, "0+3"},
    {".*b", "aab\nab", single_line, "0+6"},
    {"(?s).*b", "xx\nb", 0, "0+4"},
    {"\\d\\d", "a1b22", 0, "3+2"},
    {"a{3}", "aaaa", rightmost, "1+3"},
};

TEST_P(modes, positions) {
    for (const position_case& c : position_cases)
        EXPECT_EQ(where(c.pattern, c.subject, c.flags, GetParam()), c.expected)
            << "pattern \"" << c.pattern << "\" subject \"" << c.subject << "\"";
}

// Global matching: every match's whole capture, in order.
struct global_case {
    const char* pattern;
    const char* subject;
    const char* expected;  // "start+length" per match, space separated
};

const global_case global_cases[] = {
    {"a*", "baaa", "0+0 1+3 4+0"},       {"a", "banana", "1+1 3+1 5+1"}, {"x*", "ab", "0+0 1+0 2+0"},
    {"\\b", "ab cd", "0+0 2+0 3+0 5+0"}, {"a|", "ab", "0+1 1+0 2+0"},    {"z", "abc", ""},
};

TEST_P(modes, global_whole_matches) {
    for (const global_case& c : global_cases) {
        rpattern p(c.pattern, global_match | collect_whole_matches, GetParam());
        match_results r;
        const std::string subject = c.subject;
        bool found = p.match(subject, r).matched;
        std::string got;
        if (found) {
            for (std::size_t i = 0; i < r.cbackrefs(); ++i) {
                if (i) got += ' ';
                got += std::to_string(r.rstart(i)) + "+" + std::to_string(r.rlength(i));
            }
        }
        EXPECT_EQ(got, c.expected) << c.pattern;
    }
}

TEST_P(modes, global_keeps_all_groups_or_last_match) {
    const std::string subject = "a1 b2 c3";
    rpattern all("(\\w)(\\d)", global_match | collect_all_groups, GetParam());
    match_results r;
    ASSERT_TRUE(all.match(subject, r).matched);
    EXPECT_EQ(describe(r), "a1|a|1|b2|b|2|c3|c|3");

    rpattern last("(\\w)(\\d)", global_match, GetParam());
    ASSERT_TRUE(last.match(subject, r).matched);
    EXPECT_EQ(describe(r), "c3|c|3");
}

// NUL-terminated subjects: the end is the NUL, and its position is tried.
struct cstr_case {
    const char* pattern;
    const char* subject;
    unsigned flags;
    const char* expected;
};

const cstr_case cstr_cases[] = {
    {"b$", "ab", 0, "b"},
    {"x*$", "ab", 0, ""},
    {"$", "", 0, ""},
    {"\\z", "abc", 0, ""},
    {"abc", "ab", 0, "NO"},
    {"(a|b)+c", "abac", 0, "abac|a"},
    {"\\w+$", "photo.jpg", I, "jpg"},
    {"(?<=b)c", "abc", 0, "c"},
    {"a.*", "a\nb", single_line, "a\nb"},
    {"(?:a|b)*$", "abab", 0, "abab"},
    {"(a)\\1", "aa", 0, "aa|a"},
    {"[^a]", "a", 0, "NO"},
    {"[a-c]+d", "abcd", 0, "abcd"},
    {"[a-c]+c", "abc", 0, "abc"},
};

TEST_P(modes, nul_terminated_subjects) {
    for (const cstr_case& c : cstr_cases) {
        rpattern_c p(c.pattern, c.flags, GetParam());
        match_results_c r;
        EXPECT_EQ(p.match(c.subject, r).matched ? describe(r) : "NO", c.expected) << c.pattern;
        // The pointer-range form gives the same answer.
        match_results_c rr;
        EXPECT_EQ(p.match(c.subject, c.subject + std::strlen(c.subject), rr).matched ? describe(rr) : "NO", c.expected)
            << c.pattern;
    }
}

TEST_P(modes, results_hold_visible_groups_only_and_reset) {
    rpattern p("(?:x)(a)(?>y)(b)?(?=c)", 0, GetParam());
    match_results r;
    EXPECT_EQ(p.cgroups(), 3u);
    const std::string miss = "xay", hit = "xaybc";
    ASSERT_TRUE(p.match(miss, r).matched == false);
    EXPECT_EQ(r.cbackrefs(), 3u);
    EXPECT_FALSE(r.backref(0).matched);
    ASSERT_TRUE(p.match(hit, r).matched);
    EXPECT_EQ(describe(r), "xayb|a|b");
    EXPECT_EQ(r.rstart(1), 1);
    EXPECT_EQ(r.rlength(2), 1);
    EXPECT_THROW(r.backref(3), std::out_of_range);
}

TEST_P(modes, one_pattern_serves_many_searches) {
    rpattern p("(\\d+)-(\\d+)", 0, GetParam());
    match_results r;
    for (int i = 0; i < 3; ++i) {
        std::string s = "x" + std::to_string(i) + "-" + std::to_string(i * 7) + "y";
        ASSERT_TRUE(p.match(s, r).matched);
        EXPECT_EQ(describe(r), std::to_string(i) + "-" + std::to_string(i * 7) + "|" + std::to_string(i) + "|" +
                                   std::to_string(i * 7));
    }
}

INSTANTIATE_TEST_SUITE_P(all, modes, ::testing::Values(recursive_mode, stack_mode, adaptive_mode),
                         [](const auto& info) { return std::string(regex_test::mode_name(info.param)); });

}  // namespace
