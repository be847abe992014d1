// Look-around assertions: look-ahead (?=...) (?!...) and look-behind
// (?<=...) (?<!...), positive and negative.
//
// How: look_around holds everything the two directions share (an assertion
// of width 0 built on the independent group, the recursive step, the verdict
// of a matched or exhausted body in the explicit-stack strategy, the test
// used by conditionals); each direction defines only where its body runs.
// The look-ahead body runs from the position itself. The look-behind body is
// tried at start positions from the farthest its width allows towards the
// nearest, and must end exactly at the assertion's position; unlike a body
// run against a subject cut off there, anchors and word tests inside it
// still see the real subject around it.
//
// Tested by: tests/regex/searcher_test.cpp (look-around rows), tests/regex/drivers_test.cpp.
#pragma once

#include <algorithm>

#include "regex/groups.h"

namespace regex::detail {

// Derived defines `body_matches<Cstr>(s, p)` (recursive strategy), `step`,
// `restep`, `end_step` and its quantify refusal.
template <class CI, class Derived>
class look_around : public independent_group_base<CI> {
public:
    bool is_assertion() const override { return true; }
    width_range width() override {
        this->group_width();
        return {0, 0};
    }
    bool first_chars(charset::bitmap& out) const override { return this->next->first_chars(out); }

    template <bool Cstr>
    bool test(match_state<CI>& s, CI p, std::size_t mark) const {
        bool matched = self().template body_matches<Cstr>(s, p);
        if (matched && !positive) this->restore_nested(s, mark);
        return matched == positive;
    }
    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        std::size_t mark = this->save_nested(s);
        if (test<Cstr>(s, p, mark)) {
            if (this->next->template match<Cstr>(s, p)) return true;
            this->restore_nested(s, mark);
            return false;
        }
        s.drop_saved(mark);
        return false;
    }
    bool assert_test(match_state<CI>& s, CI p) const override { return test_alone<false>(s, p); }
    bool assert_test_cstr(match_state<CI>& s, CI p) const override { return test_alone<true>(s, p); }

protected:
    using barrier_record = typename independent_group_base<CI>::barrier_record;

    // Explicit stack: the body matched at the assertion's position.
    bool body_matched(match_state<CI>& s) const {
        auto b = this->unwind_to_barrier(s);
        s.lookbehind_end = b.saved_lookbehind_end;
        if (!positive) {
            this->restore_nested(s, b.saved_mark);
            return false;
        }
        this->continue_after_body(s, b, b.p);
        return true;
    }
    // Explicit stack: the body has no choice left.
    bool body_failed(match_state<CI>& s, const barrier_record& b) const {
        this->scratch(s) = b.old_scratch;
        s.lookbehind_end = b.saved_lookbehind_end;
        s.drop_saved(b.saved_mark);
        if (positive) return false;
        s.cur = b.p;
        s.next = this->next;
        return true;
    }

protected:
    template <class>
    friend class perl_compiler;

    bool positive = true;

private:
    const Derived& self() const { return static_cast<const Derived&>(*this); }
    template <bool Cstr>
    bool test_alone(match_state<CI>& s, CI p) const {
        std::size_t mark = this->save_nested(s);
        bool r = test<Cstr>(s, p, mark);
        s.drop_saved(mark);
        return r;
    }
};

// The two directions answer the same questions of look_around, so their
// classes share an outline.
template <class CI>
class lookahead_assertion : public look_around<CI, lookahead_assertion<CI>> {
public:
    sub_expr<CI>* quantify(const quantifier_spec&, arena_allocator&) override {
        throw bad_regexpr("look-ahead assertion cannot be quantified");
    }
    template <bool Cstr>
    bool body_matches(match_state<CI>& s, CI p) const {
        s.check_depth();
        return this->template try_alternatives<Cstr>(s, p);
    }
    template <bool Cstr>
    bool end_match(match_state<CI>&, CI) const {
        return true;
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        const CI p = s.cur;
        this->open_body(s, p, p, this->save_nested(s));
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>& s) const {
        auto b = s.stack->template pop<typename look_around<CI, lookahead_assertion>::barrier_record>();
        if (this->next_alternative(s, b)) return true;
        return this->body_failed(s, b);
    }
    template <bool Cstr>
    bool end_step(match_state<CI>& s) const {
        return this->body_matched(s);
    }
    REGEX_END_DISPATCH(CI)
    REGEX_NODE_DISPATCH(CI)
};

template <class CI>
class lookbehind_assertion : public look_around<CI, lookbehind_assertion<CI>> {
public:
    sub_expr<CI>* quantify(const quantifier_spec&, arena_allocator&) override {
        throw bad_regexpr("look-behind assertion cannot be quantified");
    }
    template <bool Cstr>
    bool body_matches(match_state<CI>& s, CI p) const {
        std::size_t d = static_cast<std::size_t>(p - s.begin);
        if (d < this->min_width) return false;
        s.check_depth();
        CI saved_end = s.lookbehind_end;
        s.lookbehind_end = p;
        std::size_t back = std::min(this->max_width, d);
        bool found = false;
        for (CI q = p - static_cast<std::ptrdiff_t>(back);; ++q) {
            if (this->template try_alternatives<Cstr>(s, q)) {
                found = true;
                break;
            }
            if (static_cast<std::size_t>(p - q) <= this->min_width) break;
        }
        s.lookbehind_end = saved_end;
        return found;
    }
    template <bool Cstr>
    bool end_match(match_state<CI>& s, CI p) const {
        return p == s.lookbehind_end;
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        const CI p = s.cur;
        std::size_t d = static_cast<std::size_t>(p - s.begin);
        if (d < this->min_width) {
            if (this->positive) return false;
            s.next = this->next;
            return true;
        }
        CI start = p - static_cast<std::ptrdiff_t>(std::min(this->max_width, d));
        this->open_body(s, p, start, this->save_nested(s));
        s.lookbehind_end = p;
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>& s) const {
        auto b = s.stack->template pop<typename look_around<CI, lookbehind_assertion>::barrier_record>();
        // Every alternative failed from this start: move the start one
        // nearer while the body's minimum width still fits.
        if (b.alternative + 1 >= this->alternative_count && static_cast<std::size_t>(b.p - b.start) > this->min_width) {
            ++b.start;
            b.alternative = static_cast<std::size_t>(-1);
        }
        if (this->next_alternative(s, b)) {
            s.lookbehind_end = b.p;
            return true;
        }
        return this->body_failed(s, b);
    }
    template <bool Cstr>
    bool end_step(match_state<CI>& s) const {
        if (s.cur != s.lookbehind_end) return false;
        return this->body_matched(s);
    }
    REGEX_END_DISPATCH(CI)
    REGEX_NODE_DISPATCH(CI)
};

}  // namespace regex::detail
