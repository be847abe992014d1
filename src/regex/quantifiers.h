// Quantifiers over groups: * + ? {n,m} and their lazy forms on a group.
//
// How: as for atoms (atom_quantifiers.h), one class template with a `Greedy`
// parameter orders the two choices. Group quantifiers keep their loop state
// (iteration count, previous and current iteration start) in the capture
// record of the quantified group, go through the group's body once per
// iteration and decide at their embedded end node, trying the continuation
// only where it can begin; an iteration that consumed nothing ends the loop.
// A group whose body is a run of fixed atoms of one width (`(\w)+`,
// `(?:a|b)*`) is looped like an atom instead, in constant memory
// (find_fixed_body).
//
// Tested by: tests/regex/searcher_test.cpp (quantifier rows), tests/regex/drivers_test.cpp.

#pragma once

#include "regex/atom_quantifiers.h"
#include "regex/groups.h"

namespace regex::detail {

// Loop state lives in the capture record of the quantified group.
template <class CI>
class group_quantifier : public match_quantifier<CI, end_owner<CI>> {
public:
    using end_quantifier = group_end<CI>;

    group_quantifier(const quantifier_spec& q, match_group_base<CI>* g)
        : match_quantifier<CI, end_owner<CI>>(q), group(g), end(this) {}

    // Where an iteration of the group ends: the group's next node.
    const sub_expr<CI>* loop_end() const { return &end; }

    width_range width() override {
        width_range g = group->group_width();
        return {mul_width(g.min, this->min), mul_width(g.max, this->max)};
    }
    bool first_chars(charset::bitmap& out) const override {
        if (!group->first_chars(out)) return false;
        return this->min > 0 || this->next->first_chars(out);
    }

    struct loop_state {
        unsigned count;
        CI previous_start;
        CI start;
    };
    static loop_state save(const capture_record<CI>& c) {
        return {c.iteration_count, c.previous_iteration_start, c.iteration_start};
    }
    // An iteration ended at p, having consumed something: the next one
    // starts there. Returns the state to restore if the path fails.
    static loop_state iteration_done(capture_record<CI>& c, CI p) {
        loop_state saved = save(c);
        c.previous_iteration_start = c.iteration_start;
        c.iteration_start = p;
        return saved;
    }
    static void restore(capture_record<CI>& c, const loop_state& l) {
        c.iteration_count = l.count;
        c.previous_iteration_start = l.previous_start;
        c.iteration_start = l.start;
    }
    // phase 1: a choice is still open; phase 2: only the undo is left.
    struct loop_record {
        loop_state saved;
        CI p;
        int phase;
    };

protected:
    template <class>
    friend class pattern_analysis;

    capture_record<CI>& loop(match_state<CI>& s) const { return s.captures[group->number]; }

    // Run by the analysis once widths are known. A plain group with no group
    // inside whose alternatives are runs of fixed atoms, all of one width w,
    // has one place an iteration can end (w further on) and one capture it
    // can leave (its own, over those w characters): an alternative matching
    // where an earlier one did hands the continuation the same position and
    // the same captures, which failed already. Such a loop counts its
    // iterations like an atom repeat and backs off by w, with one record for
    // the whole loop instead of a group's three per iteration (160 bytes of
    // explicit stack per character of a long subject).
    void find_fixed_body() {
        fixed_body = 0;
        if (dynamic_cast<const match_group<CI>*>(group) == nullptr ||
            dynamic_cast<const match_conditional<CI>*>(group) != nullptr || group->nested_count != 0)
            return;
        const width_range w = group->group_width();
        if (w.min != w.max || w.min == 0 || w.min == unbounded) return;
        for (std::size_t i = 0; i < group->alternative_count; ++i)
            for (const sub_expr<CI>* n = group->alternatives[i]; n != &group->end; n = n->next_node())
                if (!n->is_fixed_atom()) return;
        fixed_body = w.min;
    }
    // One iteration of a fixed body at q: the first alternative that
    // matches moves q on by its width.
    template <bool Cstr>
    bool fixed_iteration(match_state<CI>& s, CI& q) const {
        if (group->template rejects<Cstr>(s, q)) return false;
        for (std::size_t i = 0; i < group->alternative_count; ++i) {
            CI r = q;
            const sub_expr<CI>* n = group->alternatives[i];
            while (n != &group->end && (Cstr ? n->match_one_cstr(s, r) : n->match_one(s, r))) n = n->next_node();
            if (n == &group->end) {
                q = r;
                return true;
            }
        }
        return false;
    }
    // The group's capture after n iterations of a fixed body ending at q;
    // none leaves it as it stood before the loop.
    void fixed_capture(match_state<CI>& s, const capture_record<CI>& before, CI q, std::size_t n) const {
        capture_record<CI>& c = loop(s);
        if (n == 0) {
            c = before;
            return;
        }
        c.reserved = q - static_cast<std::ptrdiff_t>(fixed_body);
        c.close(q);
    }
    // Where a loop over a fixed body stands, and the capture to put back.
    struct fixed_record {
        CI q;
        std::size_t n;
        capture_record<CI> before;
    };

    match_group_base<CI>* group;
    end_quantifier end;
    width_t fixed_body = 0;  // the body's width when it is fixed (see find_fixed_body), or 0
};

template <class CI, bool Greedy>
class group_quantifier_t : public group_quantifier<CI> {
public:
    using group_quantifier<CI>::group_quantifier;
    // The capture records stay where they are for the whole search, so `c`
    // stays valid across the calls below.
    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        if (this->fixed_body != 0) return fixed_match<Cstr>(s, p);
        s.count_step();
        capture_record<CI>& c = this->loop(s);
        auto saved = this->save(c);
        c.iteration_count = 0;
        c.iteration_start = p;
        if constexpr (Greedy) {
            if (this->max != 0) {
                c.iteration_count = 1;
                if (this->group->template match<Cstr>(s, p)) return true;
            }
            this->restore(c, saved);
            return this->min == 0 && this->template follow_ok<Cstr>(s, p) && this->next->template match<Cstr>(s, p);
        } else {
            if (this->min == 0) {
                this->restore(c, saved);
                if (this->template follow_ok<Cstr>(s, p) && this->next->template match<Cstr>(s, p)) return true;
                c.iteration_count = 0;
                c.iteration_start = p;
            }
            if (this->max != 0) {
                c.iteration_count = 1;
                if (this->group->template match<Cstr>(s, p)) return true;
            }
            this->restore(c, saved);
            return false;
        }
    }
    template <bool Cstr>
    bool end_match(match_state<CI>& s, CI p) const {
        s.check_depth();
        s.count_step();
        capture_record<CI>& c = this->loop(s);
        // An iteration that consumed nothing ends the loop, whatever the count.
        if (p == c.iteration_start) return this->template follow_ok<Cstr>(s, p) && this->next->template match<Cstr>(s, p);
        auto saved = this->iteration_done(c, p);
        if constexpr (Greedy) {
            if (c.iteration_count < this->max) {
                ++c.iteration_count;
                if (this->group->template match<Cstr>(s, p)) return true;
                --c.iteration_count;
            }
            if (c.iteration_count >= this->min && this->template follow_ok<Cstr>(s, p)) {
                if (this->next->template match<Cstr>(s, p)) return true;
            }
        } else {
            if (c.iteration_count >= this->min && this->template follow_ok<Cstr>(s, p)) {
                if (this->next->template match<Cstr>(s, p)) return true;
            }
            if (c.iteration_count < this->max) {
                ++c.iteration_count;
                if (this->group->template match<Cstr>(s, p)) return true;
            }
        }
        this->restore(c, saved);
        return false;
    }
    using loop_record = typename group_quantifier<CI>::loop_record;

    // The explicit-stack steps take the same choices as match and end_match,
    // in the same greedy or lazy order, so their branches mirror each other.
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        if (this->fixed_body != 0) return fixed_step<Cstr>(s);
        const CI p = s.cur;
        capture_record<CI>& c = this->loop(s);
        auto saved = this->save(c);
        if constexpr (Greedy) {
            if (this->max != 0) {
                c.iteration_count = 1;
                c.iteration_start = p;
                s.stack->push(loop_record{saved, p, 1});
                push_node<CI>(s, this);
                s.next = this->group;
                return true;
            }
            if (this->min != 0 || !this->template follow_ok<Cstr>(s, p)) return false;
            s.next = this->next;
            return true;
        } else {
            if (this->min == 0) {
                s.stack->push(loop_record{saved, p, 1});
                push_node<CI>(s, this);
                s.next = this->next;
                return true;
            }
            c.iteration_count = 1;
            c.iteration_start = p;
            s.stack->push(loop_record{saved, p, 2});
            push_node<CI>(s, this);
            s.next = this->group;
            return true;
        }
    }
    template <bool Cstr>
    bool restep(match_state<CI>& s) const {
        if (this->fixed_body != 0) return fixed_restep<Cstr>(s);
        auto r = s.stack->template pop<loop_record>();
        capture_record<CI>& c = this->loop(s);
        if constexpr (Greedy) {
            this->restore(c, r.saved);
            if (r.phase == 1 && this->min == 0 && this->template follow_ok<Cstr>(s, r.p)) {
                s.cur = r.p;
                s.next = this->next;
                return true;
            }
            return false;
        } else {
            if (r.phase == 1 && this->max != 0) {
                c.iteration_count = 1;
                c.iteration_start = r.p;
                s.stack->push(loop_record{r.saved, r.p, 2});
                push_node<CI>(s, this);
                s.cur = r.p;
                s.next = this->group;
                return true;
            }
            this->restore(c, r.saved);
            return false;
        }
    }
    template <bool Cstr>
    bool end_step(match_state<CI>& s) const {
        const CI p = s.cur;
        capture_record<CI>& c = this->loop(s);
        if (p == c.iteration_start) {
            s.next = this->next;
            return true;
        }
        // The same decision as end_match, with the choices kept on the stack.
        auto saved = this->iteration_done(c, p);
        if constexpr (Greedy) {
            if (c.iteration_count < this->max) {
                ++c.iteration_count;
                s.stack->push(loop_record{saved, p, 1});
                push_node<CI>(s, &this->end);
                s.next = this->group;
                return true;
            }
            if (c.iteration_count >= this->min && this->template follow_ok<Cstr>(s, p)) {
                s.stack->push(loop_record{saved, p, 2});
                push_node<CI>(s, &this->end);
                s.next = this->next;
                return true;
            }
        } else {
            if (c.iteration_count >= this->min) {
                s.stack->push(loop_record{saved, p, 1});
                push_node<CI>(s, &this->end);
                s.next = this->next;
                return true;
            }
            if (c.iteration_count < this->max) {
                ++c.iteration_count;
                s.stack->push(loop_record{saved, p, 2});
                push_node<CI>(s, &this->end);
                s.next = this->group;
                return true;
            }
        }
        this->restore(c, saved);
        return false;
    }
    template <bool Cstr>
    bool end_restep(match_state<CI>& s) const {
        auto r = s.stack->template pop<loop_record>();
        capture_record<CI>& c = this->loop(s);
        if (r.phase == 1) {
            if constexpr (Greedy) {
                --c.iteration_count;
                if (c.iteration_count >= this->min && this->template follow_ok<Cstr>(s, r.p)) {
                    s.stack->push(loop_record{r.saved, r.p, 2});
                    push_node<CI>(s, &this->end);
                    s.cur = r.p;
                    s.next = this->next;
                    return true;
                }
            } else {
                if (c.iteration_count < this->max) {
                    ++c.iteration_count;
                    s.stack->push(loop_record{r.saved, r.p, 2});
                    push_node<CI>(s, &this->end);
                    s.cur = r.p;
                    s.next = this->group;
                    return true;
                }
            }
        }
        this->restore(c, r.saved);
        return false;
    }
    REGEX_END_DISPATCH(CI)
    REGEX_NODE_DISPATCH(CI)

private:
    using fixed_record = typename group_quantifier<CI>::fixed_record;

    // A loop over a fixed body, in the choice order of the other steps: the
    // counts are tried like an atom repeat's, the continuation only where it
    // can begin, and the group's end node is never reached.
    template <bool Cstr>
    bool fixed_first(match_state<CI>& s, CI& q, std::size_t& n) const {
        if constexpr (Greedy) {
            while (n < this->max && this->template fixed_iteration<Cstr>(s, q)) ++n;
            return n >= this->min;
        } else {
            for (; n < this->min; ++n)
                if (!this->template fixed_iteration<Cstr>(s, q)) return false;
            return true;
        }
    }
    template <bool Cstr>
    bool fixed_another(match_state<CI>& s, CI& q, std::size_t& n) const {
        if constexpr (Greedy) {
            if (n == this->min) return false;
            --n;
            q -= static_cast<std::ptrdiff_t>(this->fixed_body);
        } else {
            if (n == this->max || !this->template fixed_iteration<Cstr>(s, q)) return false;
            ++n;
        }
        return true;
    }
    template <bool Cstr>
    bool fixed_match(match_state<CI>& s, CI p) const {
        s.count_step();
        capture_record<CI>& c = this->loop(s);
        const capture_record<CI> before = c;
        CI q = p;
        std::size_t n = 0;
        if (!fixed_first<Cstr>(s, q, n)) return false;
        do {
            if (this->template follow_ok<Cstr>(s, q)) {
                this->fixed_capture(s, before, q, n);
                s.count_step();
                if (this->next->template match<Cstr>(s, q)) return true;
            }
        } while (fixed_another<Cstr>(s, q, n));
        c = before;
        return false;
    }
    template <bool Cstr>
    bool fixed_step(match_state<CI>& s) const {
        CI q = s.cur;
        std::size_t n = 0;
        if (!fixed_first<Cstr>(s, q, n)) return false;
        while (!this->template follow_ok<Cstr>(s, q))
            if (!fixed_another<Cstr>(s, q, n)) return false;
        // Pushed even for the last count: the record also undoes the capture.
        const fixed_record r{q, n, this->loop(s)};
        s.stack->push(r);
        push_node<CI>(s, this);
        this->fixed_capture(s, r.before, q, n);
        s.cur = q;
        s.next = this->next;
        return true;
    }
    template <bool Cstr>
    bool fixed_restep(match_state<CI>& s) const {
        auto r = s.stack->template pop<fixed_record>();
        this->loop(s) = r.before;
        do {
            if (!fixed_another<Cstr>(s, r.q, r.n)) return false;
        } while (!this->template follow_ok<Cstr>(s, r.q));
        s.stack->push(r);
        push_node<CI>(s, this);
        this->fixed_capture(s, r.before, r.q, r.n);
        s.cur = r.q;
        s.next = this->next;
        return true;
    }
};

template <class CI>
using max_group_quantifier = group_quantifier_t<CI, true>;
template <class CI>
using min_group_quantifier = group_quantifier_t<CI, false>;

template <class CI>
sub_expr<CI>* match_group_base<CI>::quantified(const quantifier_spec& q, arena_allocator& arena) {
    group_quantifier<CI>* node;
    if (q.greedy)
        node = arena.make<max_group_quantifier<CI>>(q, this);
    else
        node = arena.make<min_group_quantifier<CI>>(q, this);
    this->next = node->loop_end();
    return node;
}

template <class CI>
sub_expr<CI>* match_group<CI>::quantify(const quantifier_spec& q, arena_allocator& arena) {
    return this->quantified(q, arena);
}
template <class CI>
sub_expr<CI>* independent_group<CI>::quantify(const quantifier_spec& q, arena_allocator& arena) {
    return this->quantified(q, arena);
}

}  // namespace regex::detail
