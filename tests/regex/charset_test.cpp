// Character sets: bracket syntax, built-in classes, POSIX names, case
// folding and membership.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "regex/bad_regexpr.h"
#include "regex/charset.h"
#include "regex/flags.h"

using namespace regex;
using namespace regex::detail;

namespace {

// The members of the set "[" + body as a string of printable characters
// (plus \b and \n when present), in code order.
std::string members(const std::string& body, unsigned flags = 0) {
    arena_allocator arena;
    const char* p = body.data();
    const charset* set = parse_bracket(p, body.data() + body.size(), flags, arena);
    EXPECT_EQ(p, body.data() + body.size()) << "set did not end at the closing bracket: [" << body;
    std::string out;
    for (unsigned c = 0; c < 256; ++c) {
        bool in = set->contains(static_cast<unsigned char>(c));
        EXPECT_EQ(in, set->contains_slow(static_cast<unsigned char>(c))) << "[" << body << " at " << c;
        if (in && (c == 8 || c == 10 || (c >= 32 && c < 127))) out += static_cast<char>(c);
    }
    return out;
}

std::size_t count(const std::string& body, unsigned flags = 0) {
    arena_allocator arena;
    const char* p = body.data();
    const charset* set = parse_bracket(p, body.data() + body.size(), flags, arena);
    std::size_t n = 0;
    for (unsigned c = 0; c < 256; ++c) n += set->contains(static_cast<unsigned char>(c));
    return n;
}

struct set_case {
    const char* body;  // after the opening '['
    unsigned flags;
    const char* expected;
};

const set_case set_cases[] = {
    // literal first items
    {"]a]", 0, "]a"},
    {"-a]", 0, "-a"},
    {"a-]", 0, "-a"},
    {"a-c]", 0, "abc"},
    {"\\d-z]", 0, "-0123456789z"},
    {"a-\\d]", 0, "-0123456789a"},
    {"a-[:digit:]]", 0, "-0123456789a"},
    {"x-x]", 0, "x"},
    {"[a]", 0, "[a"},
    // escapes
    {"\\x41-\\x43]", 0, "ABC"},
    {"\\101]", 0, "A"},
    {"\\b]", 0, "\b"},
    {"\\n]", 0, "n"},
    {"\\n]", translate_escapes, "\n"},
    {"\\\\]", 0, "\\"},
    {"\\]]", 0, "]"},
    {"\\-a]", 0, "-a"},
    {"\\cA\\e]", 0, ""},
    // POSIX names
    {"[:digit:]]", 0, "0123456789"},
    {"[:xdigit:]]", 0, "0123456789ABCDEFabcdef"},
    {"[:upper:]]", 0, "ABCDEFGHIJKLMNOPQRSTUVWXYZ"},
    {"[:blank:]]", 0, " "},
    {"[:punct:][:digit:]]", 0, "!\"#$%&'()*+,-./0123456789:;<=>?@[\\]^_`{|}~"},
    {"[:foo:]", 0, ":[fo"},  // not a class name: the set ends at the first ']'
    // case folding
    {"a-c]", ignore_case, "ABCabc"},
    {"[:upper:]]", ignore_case, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"},
    {"K]", ignore_case, "Kk"},
    {"\\x41]", ignore_case, "Aa"},
    // built-in classes merged in
    {"\\w]", 0, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz"},
    {"\\s]", 0, "\n "},
    {"\\dx]", 0, "0123456789x"},
};

TEST(charset, bracket_members) {
    for (const set_case& c : set_cases) EXPECT_EQ(members(c.body, c.flags), c.expected) << "[" << c.body;
}

// Every POSIX name, plain and negated, against <cctype> itself for all 256
// codes: the cached class table must give the library's own answers.
TEST(charset, posix_names_agree_with_cctype) {
    struct name_case {
        const char* name;
        int (*is)(int);
    } const names[] = {
        {"alnum", isalnum}, {"alpha", isalpha}, {"blank", isblank}, {"cntrl", iscntrl},
        {"digit", isdigit}, {"graph", isgraph}, {"lower", islower}, {"print", isprint},
        {"punct", ispunct}, {"space", isspace}, {"upper", isupper}, {"xdigit", isxdigit},
    };
    for (const name_case& n : names) {
        for (const bool negated : {false, true}) {
            const std::string body = std::string("[:") + (negated ? "^" : "") + n.name + ":]]";
            arena_allocator arena;
            const char* p = body.data();
            const charset* set = parse_bracket(p, body.data() + body.size(), 0, arena);
            for (unsigned c = 0; c < 256; ++c) {
                const bool expected = (n.is(static_cast<int>(c)) != 0) != negated;
                EXPECT_EQ(set->contains(static_cast<unsigned char>(c)), expected) << "[" << body << " at " << c;
            }
        }
    }
}

TEST(charset, negation_and_nested_sets) {
    EXPECT_EQ(count("^^]"), 255u);
    EXPECT_EQ(count("^]a]"), 254u);
    EXPECT_EQ(count("[:^digit:]]"), 246u);
    EXPECT_EQ(count("^[:^digit:]]"), 10u);
    EXPECT_EQ(count("\\D]"), 246u);
    EXPECT_EQ(count("\\Da]"), 246u);  // 'a' is not a digit: already in
    EXPECT_EQ(count("\\D0]"), 247u);
    EXPECT_EQ(count("^\\W]"), 63u);  // the word characters
    EXPECT_EQ(count("[:^lower:]]", ignore_case), 256u - 52u);
    EXPECT_EQ(count("\\cA\\e]"), 2u);
}

struct bad_set_case {
    const char* body;
    const char* message;
};

const bad_set_case bad_set_cases[] = {
    {"z-a]", "invalid range specified in character set"},
    {"\\x43-\\x41]", "invalid range specified in character set"},
    {"a", "expecting end of character set"},
    {"a\\", "expecting end of character set"},
    {"", "expecting end of character set"},
    {"^", "expecting end of character set"},
    {"]", "expecting end of character set"},
    {"a-", "expecting end of character set"},
    {"a-\\", "expecting end of character set"},
    {"\\c", "expecting end of character set"},
    {"[:digit:", "expecting end of character set"},
};

TEST(charset, malformed_sets) {
    for (const bad_set_case& c : bad_set_cases) {
        arena_allocator arena;
        std::string body = c.body;
        const char* p = body.data();
        try {
            parse_bracket(p, body.data() + body.size(), 0, arena);
            ADD_FAILURE() << "accepted [" << c.body;
        } catch (const bad_regexpr& e) {
            EXPECT_STREQ(e.what(), c.message) << "[" << c.body;
        }
    }
}

TEST(charset, intrinsic_sets_are_shared_and_correct) {
    EXPECT_EQ(intrinsic_charsets::get('d'), intrinsic_charsets::get('d'));
    EXPECT_EQ(intrinsic_charsets::get('q'), nullptr);
    const charset& w = *intrinsic_charsets::get('w');
    const charset& W = *intrinsic_charsets::get('W');
    for (unsigned c = 0; c < 256; ++c) {
        auto ch = static_cast<unsigned char>(c);
        EXPECT_NE(w.contains(ch), W.contains(ch)) << c;
        EXPECT_NE(intrinsic_charsets::get('s')->contains(ch), intrinsic_charsets::get('S')->contains(ch)) << c;
    }
    EXPECT_TRUE(w.contains('_'));
    EXPECT_FALSE(w.contains('-'));
    EXPECT_TRUE(intrinsic_charsets::get('s')->contains('\v'));
}

TEST(charset, user_classes_are_looked_up_when_registered) {
    EXPECT_EQ(intrinsic_charsets::user_class('h', false), nullptr);
    intrinsic_charsets::register_class('h', "0-9a-f");
    const charset* hex = intrinsic_charsets::user_class('h', false);
    ASSERT_NE(hex, nullptr);
    EXPECT_TRUE(hex->contains('c'));
    EXPECT_FALSE(hex->contains('C'));
    EXPECT_TRUE(intrinsic_charsets::user_class('h', true)->contains('C'));
    EXPECT_EQ(members("\\hx]"), "0123456789abcdefx");
    intrinsic_charsets::clear_user_classes();
    EXPECT_EQ(members("\\hx]"), "hx");
}

}  // namespace
