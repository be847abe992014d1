// The explicit-stack strategy: its typed record stack, deep subjects that
// would overflow a recursive matcher, and agreement with the recursive
// strategy on generated patterns and subjects.
#include <gtest/gtest.h>

#include <pthread.h>

#include <random>
#include <string>

#include "engine_test_support.h"
#include "regex/hetero_stack.h"
#include "regex/regex.h"

using namespace regex;
using regex::detail::hetero_stack;
using regex::detail::type_error;

namespace {

TEST(hetero_stack, records_of_mixed_types_come_back_in_order) {
    hetero_stack st;
    struct pair_t {
        int a;
        double b;
    };
    for (int i = 0; i < 5000; ++i) {  // spans many blocks
        st.push(i);
        st.push(pair_t{i, i * 0.5});
        st.push(static_cast<const char*>(nullptr));
    }
    const std::size_t blocks = st.block_count();
    EXPECT_GT(blocks, 1u);
    for (int i = 4999; i >= 0; --i) {
        EXPECT_EQ(st.pop<const char*>(), nullptr);
        pair_t p = st.pop<pair_t>();
        EXPECT_EQ(p.a, i);
        EXPECT_EQ(p.b, i * 0.5);
        EXPECT_EQ(st.pop<int>(), i);
    }
    EXPECT_TRUE(st.empty());
    // Growing again reuses the kept blocks.
    for (int i = 0; i < 5000; ++i) st.push(pair_t{i, 0});
    EXPECT_EQ(st.block_count(), blocks);
}

TEST(hetero_stack, wrong_type_is_a_type_error_with_both_names) {
    hetero_stack st;
    st.push(42);
    try {
        (void)st.pop<double>();
        FAIL() << "no type error";
    } catch (const type_error& e) {
        const std::string expected = std::string("type error in hetero_stack (requested type: ") +
                                     typeid(double).name() + ", actual type: " + typeid(int).name() + ")";
        EXPECT_EQ(e.what(), expected);
    }
    EXPECT_EQ(st.peek<int>(), 42);  // the failed pop took nothing
    EXPECT_THROW((void)st.pop<long>(), std::logic_error);
    EXPECT_EQ(st.pop<int>(), 42);
    EXPECT_THROW((void)st.pop<int>(), type_error);  // empty
}

TEST(hetero_stack, unwind_drops_records_across_blocks) {
    hetero_stack st;
    st.push(1);
    const std::size_t mark = st.position();
    for (int i = 0; i < 10000; ++i) st.push(i);
    st.unwind(mark);
    EXPECT_EQ(st.position(), mark);
    EXPECT_EQ(st.pop<int>(), 1);
    EXPECT_TRUE(st.empty());
}

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
    {"(a|b)*c", 'a', 'b', "c", true},
    {"^(a|b)*c", 'a', 'b', "", false},
    {"(?:x+y?)*z", 'x', 'y', "z", true},
    {"(?:x+y?)*$", 'x', 'y', "", true},
    {"(?:(a)|b)+?c", 'a', 'b', "c", true},
    {"(?>(?:a|b)*)c", 'a', 'b', "c", true},
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

INSTANTIATE_TEST_SUITE_P(all, deep_subjects, ::testing::Values(recursive_mode, stack_mode, adaptive_mode),
                         [](const auto& info) { return std::string(regex_test::mode_name(info.param)); });

// Random patterns over a small alphabet, built from the whole syntax.
class pattern_generator {
public:
    explicit pattern_generator(unsigned seed) : rng_(seed) {}

    std::string pattern() {
        groups_ = 0;
        std::string p = alternation(3);
        return p;
    }
    std::string subject() {
        std::string s;
        int n = pick(12);
        for (int i = 0; i < n; ++i) s += "abc"[pick(3)];
        return s;
    }

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    std::string alternation(int depth) {
        std::string s = sequence(depth);
        while (pick(4) == 0) s += "|" + sequence(depth);
        return s;
    }
    std::string sequence(int depth) {
        std::string s;
        int n = 1 + pick(3);
        for (int i = 0; i < n; ++i) s += piece(depth);
        return s;
    }
    std::string quantifier() {
        static const char* q[] = {"", "", "", "*", "+", "?", "*?", "+?", "??", "{2}", "{1,3}", "{0,2}?", "{2,}"};
        return q[pick(13)];
    }
    std::string piece(int depth) {
        int k = pick(depth > 0 ? 20 : 8);
        switch (k) {
        case 0: case 1: case 2: return std::string(1, "abc"[pick(3)]) + quantifier();
        case 3: return "[ab]" + quantifier();
        case 4: return "." + quantifier();
        case 5: return std::string(pick(2) ? "^" : "$");
        case 6: return groups_ > 0 ? "\\" + std::to_string(1 + pick(groups_)) + quantifier() : "\\b";
        case 7: return "ab";
        case 8: case 9: ++groups_; return "(" + alternation(depth - 1) + ")" + quantifier();
        case 10: case 11: return "(?:" + alternation(depth - 1) + ")" + quantifier();
        case 12: return "(?>" + alternation(depth - 1) + ")" + quantifier();
        case 13: return "(?=" + alternation(depth - 1) + ")";
        case 14: return "(?!" + alternation(depth - 1) + ")";
        case 15: return "(?<=" + alternation(depth - 1) + ")";
        case 16: return "(?<!" + alternation(depth - 1) + ")";
        case 17:
            if (groups_ > 0) return "(?(" + std::to_string(1 + pick(groups_)) + ")" + sequence(depth - 1) + "|" +
                                    sequence(depth - 1) + ")";
            return "(?(?=a)" + sequence(depth - 1) + "|" + sequence(depth - 1) + ")";
        case 18:
            // Recursion only at the top level and only after consuming, so
            // that generated patterns stay polynomial.
            if (depth == 3) return "(?:a(?:(?R))?b)";
            return "b";
        default: return "(?:" + alternation(depth - 1) + "){0,3}";
        }
    }

    std::mt19937 rng_;
    int groups_ = 0;
};

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
    pattern_generator gen(20261207u);
    int compared = 0;
    int limited = 0;
    const unsigned flag_sets[] = {0u, unsigned{ignore_case}, unsigned{multi_line | single_line},
                                  unsigned{rightmost}};
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

TEST(strategies, nul_terminated_stack_search_agrees) {
    pattern_generator gen(77u);
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
        } catch (const bad_regexpr&) {
        }
    }
}

}  // namespace
