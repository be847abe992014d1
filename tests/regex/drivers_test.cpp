// The two drivers: deep subjects that would overflow a recursive matcher
// without its bound, and agreement of the explicit-stack driver with the
// recursive one on generated patterns and subjects.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/resource.h>

#include <random>
#include <string>

#include "engine_test_support.h"
#include "pattern_generator.h"
#include "regex/drivers.h"
#include "regex/regex.h"

using namespace regex;
using regex_test::pattern_generator;

namespace {

// Subjects of several megabytes: a recursive matcher without a bound would
// need one machine frame per iteration and overflow the 8 MiB stack.
struct deep_case {
    const char* pattern;
    char fill_a;
    char fill_b;
    const char* tail;
    bool matches;
};

const deep_case deep_cases[] = {
    {"(a|b)*c", 'a', 'b', "c", true},        {"^(a|b)*c", 'a', 'b', "", false},
    {"(?:x+y?)*z", 'x', 'y', "z", true},     {"(?:x+y?)*$", 'x', 'y', "", true},
    {"(?:(a)|b)+?c", 'a', 'b', "c", true},   {"(?>(?:a|b)*)c", 'a', 'b', "c", true},
    {"^(?:(?=a)a|b)*$", 'a', 'b', "", true},
};

class deep_subjects : public ::testing::TestWithParam<REGEX_MODE> {};

TEST_P(deep_subjects, do_not_overflow_the_machine_stack) {
    const std::size_t size = 2 * 1024 * 1024;
    for (const deep_case& c : deep_cases) {
        std::string subject(size, c.fill_a);
        for (std::size_t i = 1; i < size; i += 3) subject[i] = c.fill_b;
        subject += c.tail;
        rpattern p(c.pattern, 0, GetParam());
        match_results r;
        EXPECT_EQ(p.match(subject, r).matched, c.matches) << c.pattern;
        if (c.matches) {
            EXPECT_EQ(r.rstart(0), 0) << c.pattern;
        }
    }
}

TEST_P(deep_subjects, deep_recursion_of_the_whole_pattern) {
    const std::size_t depth = 200000;
    std::string subject(depth, '(');
    subject += std::string(depth, ')');
    rpattern p("\\((?:(?R))*\\)", 0, GetParam());
    match_results r;
    ASSERT_TRUE(p.match(subject, r).matched);
    EXPECT_EQ(static_cast<std::size_t>(r.rlength(0)), subject.size());
}

// A thread with a small stack gets a smaller recursion budget.
TEST(deep_subjects_small_thread, recursive_search_on_a_256_kib_stack) {
    struct job {
        std::string subject;
        bool matched = false;
    } work;
    work.subject.assign(300000, 'a');
    work.subject += 'c';
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    auto body = [](void* arg) -> void* {
        auto* w = static_cast<job*>(arg);
        rpattern p("(a|b)*c", 0, recursive_mode);
        match_results r;
        w->matched = p.match(w->subject, r).matched;
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, body, &work), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_TRUE(work.matched);
}

// The main thread's budget comes from its start and its size limit, not
// from the C library's reading of the process map: both must agree. A limit
// of 2 MiB makes the budget a quarter of what is left, below the 1 MiB
// ceiling; a fresh process is needed, since the answer is kept per thread.
TEST(deep_subjects_main_thread, budget_agrees_with_the_c_library) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto check = [] {
        rlimit limit{};
        getrlimit(RLIMIT_STACK, &limit);
        limit.rlim_cur = 2u << 20;
        if (setrlimit(RLIMIT_STACK, &limit) != 0) std::exit(2);
        int local = 0;
        const auto here = reinterpret_cast<std::uintptr_t>(&local);
        const std::size_t budget = regex::detail::recursion_stack_budget(here);
        pthread_attr_t attr;
        void* low = nullptr;
        std::size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) != 0 || pthread_attr_getstack(&attr, &low, &size) != 0)
            std::exit(3);
        const std::size_t expected = (here - reinterpret_cast<std::uintptr_t>(low)) / 4;
        const std::size_t difference = budget > expected ? budget - expected : expected - budget;
        // The library rounds the stack's start to a page.
        std::exit(expected < (1u << 20) && difference <= 4096 ? 0 : 1);
    };
    EXPECT_EXIT(check(), ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(all, deep_subjects, ::testing::Values(recursive_mode, stack_mode, adaptive_mode),
                         [](const auto& info) { return std::string(regex_test::mode_name(info.param)); });

// Marks an outcome cut short by the step limit: the two strategies count
// steps in their own units, so one may stop where the other finishes.
const std::string step_limit_hit = "step limit";

// Runs `pattern` in `mode` on subject; the description includes the result
// of a global search so the empty-match rule is compared too.
std::string outcome(const std::string& pattern, const std::string& subject, unsigned flags, REGEX_MODE mode) {
    std::string out;
    try {
        rpattern p(pattern, flags, mode);
        match_results r;
        out = p.match(subject, r).matched ? regex_test::describe(r) : "NO";
        rpattern g(pattern, flags | global_match | collect_all_groups, mode);
        if (g.match(subject, r).matched) out += " / " + regex_test::describe(r);
    } catch (const step_limit_reached&) {
        return step_limit_hit;
    } catch (const std::exception& e) {
        out += std::string(" threw ") + e.what();
    }
    return out;
}

TEST(strategies, explicit_stack_agrees_with_recursion_on_generated_patterns) {
    pattern_generator gen(20261207u, pattern_generator::syntax::whole);
    int compared = 0;
    int limited = 0;
    const unsigned flag_sets[] = {0u, unsigned{ignore_case}, unsigned{multi_line | single_line}, unsigned{rightmost}};
    for (int i = 0; i < 1500; ++i) {
        std::string pattern = gen.pattern();
        try {
            rpattern check(pattern);
        } catch (const bad_regexpr&) {
            continue;  // e.g. a backreference to a group opened later
        }
        for (int j = 0; j < 4; ++j) {
            std::string subject = gen.subject();
            unsigned flags = flag_sets[(i + j) % 4];
            std::string reference = outcome(pattern, subject, flags, recursive_mode);
            std::string stacked = outcome(pattern, subject, flags, stack_mode);
            if (reference == step_limit_hit || stacked == step_limit_hit) {
                ++limited;
                continue;
            }
            ASSERT_EQ(stacked, reference)
                << "pattern \"" << pattern << "\" subject \"" << subject << "\" flags " << flags;
            ++compared;
        }
    }
    EXPECT_GT(compared, 3000);
    // The default limit is meant for runaway searches only.
    EXPECT_LE(limited, 3);
}

// A loop whose body is a run of fixed atoms of one width is counted like an
// atom repeat (quantifiers.h); the same body with a group that always holds
// and consumes nothing closing each alternative (an empty group would be
// left out) takes the loop through the group, iteration by iteration, which
// is the reference here. Generated: bodies of one to three
// alternatives, captured or not, under every quantifier kind, inside an
// outer loop or not, between texts that make the loop back off, extend,
// read its capture back or fail and put it back.
TEST(strategies, counted_loops_agree_with_loops_through_the_group) {
    std::mt19937 rng(20261209u);
    auto pick = [&rng](const auto& options) { return std::string(options[rng() % std::size(options)]); };
    const char* one_wide[] = {"a", "b", "[ab]", ".", "\\w", "[^a]", "B"};
    const char* quantifiers[] = {"*", "+", "?", "{2}", "{1,3}", "{0,2}", "{2,}", "*?", "+?", "??", "{1,3}?"};
    const char* before[] = {"", "", "a", "^", "(b)", "x?"};
    const char* after[] = {"", "$", "b", "a", "c", "\\1", "(a)", "b*c", "(?=a)", "a$"};
    const char* letters = "abcx";
    const unsigned flag_sets[] = {0u, unsigned{ignore_case}, unsigned{rightmost}};
    int compared = 0;
    int limited = 0;
    for (int i = 0; i < 600; ++i) {
        const int width = 1 + static_cast<int>(rng() % 2);
        const int alternatives = 1 + static_cast<int>(rng() % 3);
        std::string body, reference;
        for (int a = 0; a < alternatives; ++a) {
            std::string alternative;
            for (int k = 0; k < width; ++k) alternative += pick(one_wide);
            body += (a ? "|" : "") + alternative;
            reference += (a ? "|" : "") + alternative + "(?:\\b|\\B)";
        }
        const std::string open = rng() % 2 ? "(" : "(?:";
        const std::string quantifier = pick(quantifiers);
        std::string loop = open + body + ")" + quantifier, reference_loop = open + reference + ")" + quantifier;
        if (rng() % 4 == 0) {
            loop = "(?:" + loop + "c?)+";
            reference_loop = "(?:" + reference_loop + "c?)+";
        }
        const std::string head = pick(before), tail = pick(after);
        const std::string pattern = head + loop + tail, reference_pattern = head + reference_loop + tail;
        for (int j = 0; j < 4; ++j) {
            std::string subject;
            for (std::size_t n = rng() % 11; n > 0; --n) subject += letters[rng() % 4];
            const unsigned flags = flag_sets[(i + j) % 3];
            for (REGEX_MODE mode : {recursive_mode, stack_mode, adaptive_mode}) {
                const std::string counted = outcome(pattern, subject, flags, mode);
                const std::string through = outcome(reference_pattern, subject, flags, mode);
                // Overlapping alternatives inside an outer loop can take the
                // reference past the limit; the counted loop does not.
                if (through == step_limit_hit) {
                    ++limited;
                    continue;
                }
                ASSERT_EQ(counted, through) << "pattern \"" << pattern << "\" subject \"" << subject << "\" flags "
                                            << flags << " in " << regex_test::mode_name(mode);
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 600 * 4 * 3 * 9 / 10);
    EXPECT_LE(limited, 600 * 4 * 3 / 100);
}

TEST(strategies, nul_terminated_stack_search_agrees) {
    pattern_generator gen(77u, pattern_generator::syntax::whole);
    for (int i = 0; i < 400; ++i) {
        std::string pattern = gen.pattern();
        std::string subject = gen.subject();
        try {
            rpattern_c rec(pattern, 0, recursive_mode), stk(pattern, 0, stack_mode);
            match_results_c a, b;
            bool ma = rec.match(subject.c_str(), a).matched;
            bool mb = stk.match(subject.c_str(), b).matched;
            ASSERT_EQ(ma, mb) << pattern << " / " << subject;
            if (ma)
                for (std::size_t g = 0; g < a.cbackrefs(); ++g) {
                    ASSERT_EQ(a.backref(g).matched, b.backref(g).matched) << pattern << " / " << subject;
                    if (a.backref(g).matched) {
                        EXPECT_EQ(a.rstart(g), b.rstart(g)) << pattern << " / " << subject;
                        EXPECT_EQ(a.rlength(g), b.rlength(g)) << pattern << " / " << subject;
                    }
                }
        } catch (const bad_regexpr&) {}
    }
}

}  // namespace
