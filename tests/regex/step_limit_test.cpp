// The step budget of a search: runaway backtracking ends in
// step_limit_reached in every mode and for every subject kind, a search that
// finishes within the budget gives the result it gives without one, and the
// limit is the caller's to set.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_test_support.h"
#include "regex/regex.h"

using namespace regex;

namespace {

const REGEX_MODE all_modes[] = {recursive_mode, stack_mode, adaptive_mode};

// Outcome of one search through each subject kind, or "limit" when it
// stopped at the step limit.
std::string search(const std::string& pattern, const std::string& subject, REGEX_MODE mode, std::size_t limit,
                   unsigned flags = 0, std::size_t per_char = step_allowance_per_char) {
    try {
        rpattern p(pattern, flags, mode);
        p.set_step_limit(limit, per_char);
        match_results r;
        return p.match(subject, r).matched ? regex_test::describe(r) : "NO";
    } catch (const step_limit_reached&) {
        return "limit";
    }
}

struct runaway_case {
    const char* pattern;
    std::string subject;
};

// Patterns whose failing search takes exponentially many steps.
const std::vector<runaway_case>& runaways() {
    static const std::vector<runaway_case> rows = {
        // nested unbounded repeats
        {"(a*)*b", std::string(40, 'a')},
        {"(?:a*)*b", std::string(40, 'a')},
        {"((a*)*)*b", std::string(40, 'a')},
        {"(a+)+b", std::string(40, 'a')},
        {"(?:a+)+$", std::string(40, 'a') + "!"},
        {"(x+x+)+y", std::string(40, 'x')},
        // alternatives that overlap
        {"(a|aa)*b", std::string(60, 'a')},
        {"(?:aa|a)*b", std::string(40, 'a')},
        // the blow-up inside look-around and atomic-free conditionals
        {"(?=(a*)*b)", std::string(40, 'a')},
        {"(?!(a*)*b).", std::string(40, 'a')},
        {"(a)?(?(1)(?:a*)*b|c)", std::string(40, 'a')},
        {"(?(?=(a*)*b)a|b)", std::string(40, 'a')},
        // a case-folded subject
        {"(?i)(A*)*B", std::string(40, 'a')},
    };
    return rows;
}

// ---- runaway searches stop, in every mode and subject kind ----------------

TEST(step_limit, runaway_patterns_throw_in_every_mode) {
    // The first row runs at the default limit; the others at a smaller one
    // so that the table stays quick (any finite limit stops them).
    bool first = true;
    for (const runaway_case& row : runaways()) {
        const std::size_t limit = first ? default_step_limit : 200'000;
        first = false;
        for (REGEX_MODE mode : all_modes) {
            const std::string what = std::string(row.pattern) + " in " + regex_test::mode_name(mode);
            rpattern p(row.pattern, NOFLAGS, mode);
            p.set_step_limit(limit);
            match_results r;
            EXPECT_THROW((void)p.match(row.subject, r), step_limit_reached) << what;

            rpattern_c pc(row.pattern, NOFLAGS, mode);
            pc.set_step_limit(limit);
            match_results_c rc;
            const char* b = row.subject.c_str();
            EXPECT_THROW((void)pc.match(b, b + row.subject.size(), rc), step_limit_reached) << what << " (range)";
            EXPECT_THROW((void)pc.match(b, rc), step_limit_reached) << what << " (NUL-terminated)";
        }
    }
}

TEST(step_limit, the_exception_is_a_bad_regexpr_naming_the_limit) {
    rpattern p("(a*)*b");
    p.set_step_limit(5000);
    match_results r;
    const std::string subject(30, 'a');
    try {
        (void)p.match(subject, r);
        FAIL() << "no step_limit_reached";
    } catch (const bad_regexpr& e) {
        const auto* limit = dynamic_cast<const step_limit_reached*>(&e);
        ASSERT_NE(limit, nullptr) << e.what();
        // The budget is the fixed limit plus the allowance for the subject.
        const std::size_t budget = 5000 + subject.size() * step_allowance_per_char;
        EXPECT_EQ(limit->limit(), budget);
        EXPECT_NE(std::string(e.what()).find(std::to_string(budget)), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("step limit"), std::string::npos) << e.what();
    }
}

TEST(step_limit, regex_match_and_substitute_stop_too) {
    EXPECT_THROW((void)regex_match("(a*)*b", std::string(40, 'a'), NOFLAGS), step_limit_reached);
    rpattern p("(a*)*b", "x");
    subst_results r;
    std::string target(40, 'a');
    EXPECT_THROW((void)substitute(r, p, target), step_limit_reached);
    EXPECT_EQ(target, std::string(40, 'a'));
}

// ---- the limit is settable -----------------------------------------------

TEST(step_limit, default_and_settable_per_pattern) {
    rpattern p("a");
    EXPECT_EQ(p.step_limit(), default_step_limit);
    p.set_step_limit(1234);
    EXPECT_EQ(p.step_limit(), 1234u);
    p.set_step_limit(0);  // a budget of nothing still allows a first step
    EXPECT_EQ(p.step_limit(), 1u);
    p.set_step_limit(no_step_limit);
    EXPECT_EQ(p.step_limit(), no_step_limit);
    EXPECT_EQ(p.step_allowance(), step_allowance_per_char);
    p.set_step_limit(10, 0);
    EXPECT_EQ(p.step_allowance(), 0u);
}

TEST(step_limit, a_higher_limit_lets_a_slow_search_finish) {
    // 2^16 ways to split the a's: slow but finite.
    const std::string subject(16, 'a');
    for (REGEX_MODE mode : all_modes) {
        EXPECT_EQ(search("(a*)*b", subject, mode, 100), "limit") << regex_test::mode_name(mode);
        EXPECT_EQ(search("(a*)*b", subject, mode, no_step_limit), "NO") << regex_test::mode_name(mode);
    }
}

TEST(step_limit, a_linear_search_over_a_long_subject_stays_within_the_allowance) {
    // About five steps per start position, over a megabyte, with a fixed
    // part of a single step: the per-character allowance carries it.
    const std::string subject(1 << 20, 'a');
    for (REGEX_MODE mode : all_modes) {
        EXPECT_EQ(search("(?:a|b)c", subject, mode, 1), "NO");
        EXPECT_EQ(search("(?:a|b)c", subject, mode, 1000, 0, 0), "limit");
    }
}

// ---- results within the limit are unchanged -------------------------------

struct finishing_case {
    const char* pattern;
    const char* subject;
    unsigned flags;
};

const finishing_case finishing[] = {
    // plain backtracking
    {"(a|ab)(c|bcd)(d*)", "abcd", 0},
    {"(a*)*b", "aaaaaaab", 0},
    {"(a+|b+)*c", "abababbbc", 0},
    {"x(a|b)*?y", "xababy", 0},
    // overlapping alternatives of one width: a loop over them is counted,
    // not tried alternative by alternative, so it ends
    {"(?:a|a)*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 0},
    // groups, backreferences, look-around, recursion
    {"(\\w+)\\s+\\1", "the cat cat sat", 0},
    {"(?<=ab)c|(?=b)b", "xbcabc", 0},
    {"(?>a+)b|a+c", "aaac", 0},
    {"\\((?:[^()]|(?R))*\\)", "((a)(b(c)))", 0},
    {"(a)?(?(1)b|c)", "xab", 0},
    // flags
    {"^b.*$", "a\nbcd\ne", multi_line},
    {"A+", "baaa", ignore_case | rightmost},
};

TEST(step_limit, the_tightest_sufficient_limit_gives_the_unlimited_result) {
    for (const finishing_case& row : finishing)
        for (REGEX_MODE mode : all_modes) {
            const std::string what = std::string(row.pattern) + " in " + regex_test::mode_name(mode);
            const std::string unlimited = search(row.pattern, row.subject, mode, no_step_limit, row.flags);
            // Without the per-character allowance the fixed part is the
            // whole budget: find the smallest one that finishes.
            std::size_t lo = 0, hi = 1;
            while (search(row.pattern, row.subject, mode, hi, row.flags, 0) == "limit") {
                lo = hi;
                hi *= 2;
                ASSERT_LT(hi, 1u << 24) << what;
            }
            while (lo + 1 < hi) {
                const std::size_t mid = (lo + hi) / 2;
                (search(row.pattern, row.subject, mode, mid, row.flags, 0) == "limit" ? lo : hi) = mid;
            }
            EXPECT_GT(hi, 1u) << what;
            EXPECT_EQ(search(row.pattern, row.subject, mode, hi, row.flags, 0), unlimited) << what;
            EXPECT_EQ(search(row.pattern, row.subject, mode, default_step_limit, row.flags), unlimited) << what;
        }
}

// ---- former bugs -----------------------------------------------------------

TEST(step_limit, former_bugs) {
    // A global in-place substitution stopped by the limit after earlier
    // replacements left the target half edited; it is now put back whole.
    rpattern p("(?:a*)*b|c", "X", global_match | discard_captures);
    subst_results r;
    std::string target = "c c c " + std::string(40, 'a');
    EXPECT_THROW((void)substitute(r, p, target), step_limit_reached);
    EXPECT_EQ(target, "c c c " + std::string(40, 'a'));
    // A single in-place substitution stopped by the limit emptied the
    // target: the restore used a backup that only global ones take.
    rpattern once("(?:a*)*b", "X", discard_captures);
    std::string target1 = "c " + std::string(40, 'a');
    EXPECT_THROW((void)substitute(r, once, target1), step_limit_reached);
    EXPECT_EQ(target1, "c " + std::string(40, 'a'));
    // The same out of place (the substitution refers to a group).
    rpattern q("((?:a*)*b|c)", "[$1]", global_match);
    std::string target2 = "c c " + std::string(40, 'a');
    EXPECT_THROW((void)substitute(r, q, target2), step_limit_reached);
    EXPECT_EQ(target2, "c c " + std::string(40, 'a'));
}

}  // namespace
