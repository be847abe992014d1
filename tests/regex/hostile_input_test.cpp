// The pattern engine under hostile patterns and subjects: recursion that
// never ends, and subjects of ten megabytes in every mode. The program's own
// patterns are fixed, but its file names are not, and the engine is a
// library that must stay bounded whatever it is given.
#include <gtest/gtest.h>

#include <string>

#include "regex/regex.h"

namespace speckmend {
namespace {

const regex::REGEX_MODE kModes[] = {regex::recursive_mode, regex::stack_mode, regex::adaptive_mode};

const char* modeName(regex::REGEX_MODE mode) {
    switch (mode) {
    case regex::recursive_mode: return "recursive_mode";
    case regex::stack_mode: return "stack_mode";
    default: return "adaptive_mode";
    }
}

// Recursion without a way out: refused when compiled, refused when run, or
// simply no match; never a crash, never a run that eats the machine.
TEST(HostileInputTest, RecursionWithoutEndStaysBounded) {
    const char* patterns[] = {
        "(?R)",       // the whole pattern calls itself at once
        "(?R)*",      // and under a star
        "a|(?R)",     // left recursion behind an alternative that fails
        "(?R)a",      // left recursion before a literal
        "((?1))",     // a group that calls itself
        "(a|(?1)b)",  // a group that calls itself on its second branch
        "(?:(?R))+",  // inside a repeated group
        "(?=(?R))",   // inside a look-ahead
        "(?>(?R))x",  // inside an atomic group
    };
    const std::string subject(64, 'a');
    for (const char* pattern : patterns) {
        for (regex::REGEX_MODE mode : kModes) {
            SCOPED_TRACE(std::string(pattern) + " in " + modeName(mode));
            try {
                const regex::rpattern compiled(pattern, regex::NOFLAGS, mode);
                regex::match_results results;
                const auto whole = compiled.match(subject, results);
                if (whole.matched) {
                    // A match must at least lie inside the subject.
                    EXPECT_LE(whole.first, whole.second);
                    EXPECT_LE(whole.second, subject.cend());
                }
            } catch (const regex::bad_regexpr&) {
                // Refusing the pattern is a sound answer too.
            }
        }
    }
}

// Ten megabytes of subject: deep greedy and lazy loops, captures inside
// loops, a failing literal search, and the program's own output-name
// substitution, in every mode. The loops over a group here are counted in
// constant memory (a group's records per iteration took 160 bytes per
// character, 1.7 GB for these subjects); bench/regex/deep_subjects prints
// what each costs. Under the sanitizers, which slow every character
// tenfold, a subject of one megabyte takes the same paths through the
// engine; the ten megabytes are the plain suite's, which checks scale.
TEST(HostileInputTest, TenMegabyteSubjectsInEveryMode) {
#ifdef SPECKMEND_TESTS_UNDER_SANITIZERS
    constexpr std::size_t kSize = 1u << 20;
#else
    constexpr std::size_t kSize = 10u << 20;
#endif
    const std::string words(kSize, 'a');
    const std::string wordsThenC = words + "c";
    const std::string dots(kSize, 'x');
    struct Case {
        const char* label;
        const char* pattern;
        const std::string* subject;
        bool matched;
        std::size_t start, length;  // of the whole match
        int group;                  // capture whose length is checked, or -1
        std::size_t groupLength;
    } cases[] = {
        {"greedy word run to the end", "\\w+$", &words, true, 0, kSize, -1, 0},
        {"capture in a loop", "(\\w)+$", &words, true, 0, kSize, 1, 1},
        {"alternation in a loop", "(?:a|b)*c", &wordsThenC, true, 0, kSize + 1, -1, 0},
        {"lazy loop to the end", "[a-z]+?$", &words, true, 0, kSize, -1, 0},
        {"literal that is nowhere", "\\.jpg", &dots, false, 0, 0, -1, 0},
    };
    for (regex::REGEX_MODE mode : kModes) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.label) + " in " + modeName(mode));
            const regex::rpattern compiled(c.pattern, regex::ignore_case, mode);
            regex::match_results results;
            const auto whole = compiled.match(*c.subject, results);
            ASSERT_EQ(whole.matched, c.matched);
            if (!c.matched) continue;
            EXPECT_EQ(results.rstart(0), static_cast<std::ptrdiff_t>(c.start));
            EXPECT_EQ(results.rlength(0), static_cast<std::ptrdiff_t>(c.length));
            if (c.group >= 0) {
                EXPECT_EQ(results.rlength(c.group), static_cast<std::ptrdiff_t>(c.groupLength));
            }
        }
        SCOPED_TRACE(std::string("output name in ") + modeName(mode));
        regex::rpattern name("\\w+$", regex::ignore_case, mode);
        name.set_replacement("png");
        regex::subst_results results;
        std::string fileName = "IMG." + words;
        EXPECT_EQ(regex::substitute(results, name, fileName), 1u);
        EXPECT_EQ(fileName, "IMG.png");
    }
}

}  // namespace
}  // namespace speckmend
