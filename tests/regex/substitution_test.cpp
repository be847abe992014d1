// Substitution texts, their expansion with case commands, substitute() with
// and without global matching and in place, and the regex_match adapter.
#include <gtest/gtest.h>

#include "engine_test_support.h"
#include "regex/regex.h"

using namespace regex;

namespace {

struct subst_case {
    const char* pattern;
    const char* replacement;
    unsigned flags;
    const char* subject;
    const char* expected;  // the edited subject, or "threw: message"
    std::size_t count;
};

const unsigned I = ignore_case;
const unsigned G = global_match;

const subst_case subst_cases[] = {
    // the program's output-name derivation
    {"\\w+$", "png", I, "photo.jpg", "photo.png", 1},
    {"\\w+$", "png", I, "archive.tar.gz", "archive.tar.png", 1},
    {"\\w+$", "png", I, "name.", "name.", 0},
    {"\\w+$", "tif", I, "noext", "tif", 1},
    // group pieces
    {"b", "[$0]", 0, "abc", "a[b]c", 1},
    {"b", "[$&]", 0, "abc", "a[b]c", 1},
    {"b", "[$x]", 0, "abc", "a[bx]c", 1},
    {"b", "[$]", 0, "abc", "a[b]c", 1},
    {"b", "$", 0, "abc", "abc", 1},
    {"(b)(c)", "$2$1", 0, "abcd", "acbd", 1},
    {"(x)?b", "<$1>", 0, "abc", "a<>c", 1},
    {"b", "<$`|$'>", 0, "abc", "a<a|c>c", 1},
    {"b", "$1", 0, "abc", "threw: invalid backreference in substitution", 0},
    {"(?:a)(b)", "$2", 0, "ab", "threw: invalid backreference in substitution", 0},
    {"(?:a)(b)", "$1", 0, "ab", "b", 1},
    // case commands
    {"jpg", "\\U$&", 0, "a.jpg", "a.JPG", 1},
    {"jpg", "\\u$&", 0, "a.jpg", "a.Jpg", 1},
    {"JPG", "\\L$&x", 0, "a.JPG", "a.jpgx", 1},
    {"JPG", "\\l$&", 0, "a.JPG", "a.jPG", 1},
    {"jpg", "\\U$&\\E.x", 0, "a.jpg", "a.JPG.x", 1},
    {"jpg", "[\\E]", 0, "a.jpg", "a.[]", 1},
    {"(x?)(ab)", "\\u$1$2", 0, "ab", "Ab", 1},  // the one-shot waits for text
    {"ab", "\\Ux\\ly", 0, "ab", "Xy", 1},
    // escapes and quoting
    {"b", "\\$1\\\\", 0, "abc", "a$1\\c", 1},
    {"b", "\\Q$&\\u\\E$&", 0, "abc", "a$&\\ubc", 1},
    {"b", "\\Q$&", 0, "abc", "a$&c", 1},
    {"b", "x\\n", 0, "abc", "axnc", 1},
    {"b", "x\\n\\t", translate_escapes, "abc", "ax\n\tc", 1},
    {"b", "\\\\\\\\", translate_escapes, "abc", "a\\c", 1},
    {"b", "a\\", 0, "abc", "threw: expecting escape sequence in substitution string", 0},
    {"b", "", 0, "abc", "ac", 1},
    // global substitution
    {"a", "bb", G, "aaa", "bbbbbb", 3},
    {"x*", "-", G, "ab", "-a-b-", 3},
    {"a*", "-", G, "baaac", "-b--c-", 4},
    {"(\\w)(\\d)", "$2$1", G, "a1 b2", "1a 2b", 2},
    {"o", "0", G, "foo boo", "f00 b00", 4},
    {"z", "y", G, "abc", "abc", 0},
    {"^a", "x", G, "aaa", "xaa", 1},
    {"b", "$`", G, "abab", "aaaaba", 2},
    // in place (no group pieces, captures discarded)
    {"a", "bb", G | discard_captures, "aaa", "bbbbbb", 3},
    {"x*", "-", G | discard_captures, "ab", "-a-b-", 3},
    {"a", "aa", G | discard_captures, "aba", "aabaa", 2},
    {"b", "$&$&", G | discard_captures, "abcb", "abbcbb", 2},
};

TEST(substitution, substitute_table) {
    for (const subst_case& c : subst_cases) {
        std::string target = c.subject;
        std::string got;
        std::size_t n = 0;
        try {
            rpattern p(c.pattern, c.replacement, c.flags);
            subst_results r;
            n = substitute(r, p, target);
            got = target;
        } catch (const bad_regexpr& e) {
            got = std::string("threw: ") + e.what();
        }
        EXPECT_EQ(got, c.expected) << "pattern \"" << c.pattern << "\" replacement \"" << c.replacement << "\"";
        EXPECT_EQ(n, c.count) << "pattern \"" << c.pattern << "\" replacement \"" << c.replacement << "\"";
    }
}

TEST(substitution, set_replacement_replaces_and_keeps_old_on_error) {
    rpattern p("(b)");
    p.set_replacement("<$1>");
    EXPECT_THROW(p.set_replacement("$2"), bad_regexpr);
    std::string s = "abc";
    subst_results r;
    EXPECT_EQ(substitute(r, p, s), 1u);
    EXPECT_EQ(s, "a<b>c");
    p.set_replacement("\\U$1");
    s = "abc";
    substitute(r, p, s);
    EXPECT_EQ(s, "aBc");
    EXPECT_THROW(rpattern("a", "$1"), bad_regexpr);
}

TEST(substitution, results_refer_to_the_unedited_copy) {
    rpattern p("(\\d+)", "#", global_match);
    subst_results r;
    std::string s = "a12b345";
    EXPECT_EQ(substitute(r, p, s), 2u);
    EXPECT_EQ(s, "a#b#");
    ASSERT_EQ(r.cbackrefs(), 2u);  // the last match's captures
    EXPECT_EQ(r.backref(1).str(), "345");
    EXPECT_EQ(r.rstart(0), 4);
    EXPECT_EQ(*r.subject(), "a12b345");
}

TEST(substitution, discard_captures_clears_results) {
    rpattern p("b", "x", global_match | discard_captures);
    subst_results r;
    std::string s = "abb";
    EXPECT_EQ(substitute(r, p, s), 2u);
    EXPECT_EQ(s, "axx");
    EXPECT_EQ(r.cbackrefs(), 0u);
    EXPECT_EQ(r.subject(), &s);
}

TEST(substitution, pointer_instantiation_substitutes_too) {
    rpattern_c p("(o+)", "[$1]", global_match);
    subst_results_c r;
    std::string s = "foo bo";
    EXPECT_EQ(substitute(r, p, s), 2u);
    EXPECT_EQ(s, "f[oo] b[o]");
}

struct adapter_case {
    const char* pattern;
    const char* subject;
    bool expected;
};

const adapter_case adapter_cases[] = {
    {"(heal|detect)", "heal", true},    {"(heal|detect)", "DETECT", true},
    {"(heal|detect)", "preheal", true}, {"(heal|detect)", "help", false},
    {"\\.jpg", "IMG_0001.JPG", true},   {"\\.jpg", "a.jpg.bak", true},
    {"\\.jpg", "ajpg", false},          {"", "", true},
};

TEST(substitution, regex_match_adapter) {
    for (const adapter_case& c : adapter_cases)
        EXPECT_EQ(regex_match(c.pattern, c.subject, ignore_case), c.expected) << c.pattern << " " << c.subject;
    EXPECT_FALSE(regex_match("A", "a", 0));
    EXPECT_THROW(regex_match("(", "a", ignore_case), bad_regexpr);
}

}  // namespace
