// Recursion (?R): the whole pattern again at the current position, as an
// inner match whose first success is kept (it is never re-entered for
// another choice). Captures made inside it are undone afterwards, as Perl
// does.
//
// How: the recursive strategy saves every capture, runs the outermost group
// again (whose end node stops with success while an inner match is open)
// and continues after the inner match. The explicit-stack strategy pushes a
// record, runs the outermost group on the same stack, and when its end node
// is reached with an inner match open, finish_recursion drops the inner
// match's records down to that record and continues after the (?R) node.
// A (?R) at the position where the current outermost attempt began would
// loop for ever; it matches the empty string there instead.
//
// Tested by: tests/regex/searcher_test.cpp (recursion rows), tests/regex/drivers_test.cpp.
#pragma once

#include "regex/groups.h"

namespace regex::detail {

template <class CI>
class match_recurse : public sub_expr<CI> {
public:
    width_range width() override { return {0, unbounded}; }
    sub_expr<CI>* quantify(const quantifier_spec&, arena_allocator&) override {
        throw bad_regexpr("recursion sub-expression cannot be quantified");
    }
    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        if (p == s.captures[0].reserved) return this->next->template match<Cstr>(s, p);
        s.check_depth();
        s.count_step();
        const unsigned n = static_cast<unsigned>(s.capture_count);
        std::size_t mark = s.save_captures(0, n);
        ++s.recurse_depth;
        bool ok = s.top->template match<Cstr>(s, p);
        --s.recurse_depth;
        CI q = s.captures[0].second;
        s.restore_captures(mark, 0, n);
        return ok && this->next->template match<Cstr>(s, q);
    }
    struct recursion_record {
        std::size_t saved_mark;
        std::size_t old_recurse_mark;
    };
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        const CI p = s.cur;
        if (p == s.captures[0].reserved) {
            s.next = this->next;
            return true;
        }
        std::size_t mark = s.save_captures(0, static_cast<unsigned>(s.capture_count));
        ++s.recurse_depth;
        s.stack->push(recursion_record{mark, s.recurse_mark});
        push_node<CI>(s, this);
        s.recurse_mark = s.stack->position();
        s.next = s.top;
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>& s) const {
        auto r = s.stack->template pop<recursion_record>();
        leave(s, r);
        return false;
    }
    static void leave(match_state<CI>& s, const recursion_record& r) {
        s.restore_captures(r.saved_mark, 0, static_cast<unsigned>(s.capture_count));
        --s.recurse_depth;
        s.recurse_mark = r.old_recurse_mark;
    }
    REGEX_NODE_DISPATCH(CI)
};

// The inner match reached the end of the outermost group at s.cur.
template <class CI>
bool finish_recursion(match_state<CI>& s) {
    s.stack->unwind(s.recurse_mark);
    const sub_expr<CI>* node = s.stack->template pop<const sub_expr<CI>*>();
    auto r = s.stack->template pop<typename match_recurse<CI>::recursion_record>();
    match_recurse<CI>::leave(s, r);
    s.next = node->next_node();
    return true;
}

}  // namespace regex::detail
