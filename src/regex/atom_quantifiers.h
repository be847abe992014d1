// Quantifiers over single atoms: * + ? {n,m} and their lazy forms, and the
// base every quantifier shares (bounds, the continuation's first characters).
//
// How: one class template with a `Greedy` parameter serves greedy and lazy
// alike; the order of its two choices (another occurrence or the
// continuation) is an `if constexpr` on it. They count occurrences with the
// atom's `one` and step back by the occurrence width, so a long run costs no
// recursion; when the continuation can only begin with certain characters
// they skip the counts where it cannot, and a greedy one whose atom can never
// begin it tries its longest count alone. Group quantifiers (quantifiers.h)
// build on the same base.
//
// Tested by: tests/regex/searcher_test.cpp (quantifier rows), tests/regex/drivers_test.cpp.

#pragma once

#include "regex/groups.h"

namespace regex::detail {

template <class CI, class Base = sub_expr<CI>>
class match_quantifier : public Base {
protected:
    explicit match_quantifier(const quantifier_spec& q) : min(q.min), max(q.max) {}

    template <class>
    friend class pattern_analysis;

    // Run by the analysis once the node after this one is known.
    void compute_follow() {
        if (this->next != nullptr) has_follow = this->next->first_chars(follow);
    }
    // Whether the continuation can begin at p; a loop skips trying it where
    // it cannot.
    template <bool Cstr>
    bool follow_ok(const match_state<CI>& s, CI p) const {
        return !has_follow || (!at_end<Cstr>(s, p) && follow.test(uc(*p)));
    }

    std::size_t min;
    std::size_t max;
    // Characters the continuation can begin with, when it can tell.
    charset::bitmap follow;
    bool has_follow = false;
};

template <class CI>
class atom_quantifier : public match_quantifier<CI> {
public:
    atom_quantifier(const quantifier_spec& q, const sub_expr<CI>* a) : match_quantifier<CI>(q), atom(a) {}

    width_range width() override {
        width_range a = const_cast<sub_expr<CI>*>(atom)->width();
        return {mul_width(a.min, this->min), mul_width(a.max, this->max)};
    }
    bool first_chars(charset::bitmap& out) const override {
        if (this->min > 0) return atom->first_chars(out);
        return atom->first_chars(out) && this->next->first_chars(out);
    }

protected:
    template <class>
    friend class pattern_analysis;

    const sub_expr<CI>* atom;

    // Set when no character the atom matches can begin the continuation
    // (the atom is one character wide): a greedy loop that backs off from
    // its longest count only reaches positions the continuation rejects, so
    // the longest count is its one choice.
    bool stops_at_longest = false;

    void compute_follow() {
        match_quantifier<CI>::compute_follow();
        charset::bitmap own;
        width_range w = const_cast<sub_expr<CI>*>(atom)->width();
        if (!this->has_follow || w.min != 1 || w.max != 1 || !atom->first_chars(own)) return;
        bool overlap = false;
        for (int k = 0; k < 4; ++k) overlap |= (own.words[k] & this->follow.words[k]) != 0;
        stops_at_longest = !overlap;
    }
    // Where a backing-off or extending loop stands.
    struct loop_record {
        CI q;
        std::size_t n;
        std::size_t w;
    };
};

template <class CI, class Atom, bool Greedy>
class atom_quantifier_t : public atom_quantifier<CI> {
public:
    using atom_quantifier<CI>::atom_quantifier;
    using loop_record = typename atom_quantifier<CI>::loop_record;

    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        const Atom* a = static_cast<const Atom*>(this->atom);
        const std::size_t w = a->template occurrence_width<Cstr>(s);
        CI q = p;
        if (w == 0) {
            // Empty occurrences: any count at this place is the same match.
            if (!a->template one<Cstr>(s, q)) {
                if (Greedy ? this->max != 0 && this->min != 0 : this->min != 0) return false;
            }
            return this->next->template match<Cstr>(s, p);
        }
        std::size_t n = 0;
        if (!first_count<Cstr>(s, a, q, n)) return false;
        if (Greedy && this->stops_at_longest) {
            if (!this->template follow_ok<Cstr>(s, q)) return false;
            s.count_step();
            return this->next->template match<Cstr>(s, q);
        }
        // A step is a continuation tried; counts the continuation rejects
        // at once cost no more than the occurrences counted to reach them.
        for (;;) {
            if (this->template follow_ok<Cstr>(s, q)) {
                s.count_step();
                if (this->next->template match<Cstr>(s, q)) return true;
            }
            if (!another_count<Cstr>(s, a, q, n, w)) return false;
        }
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        const Atom* a = static_cast<const Atom*>(this->atom);
        const std::size_t w = a->template occurrence_width<Cstr>(s);
        if (w == 0) {
            s.next = this->next;
            return true;
        }
        std::size_t n = 0;
        CI q = s.cur;
        if (!first_count<Cstr>(s, a, q, n)) return false;
        while (!this->template follow_ok<Cstr>(s, q))
            if ((Greedy && this->stops_at_longest) || !another_count<Cstr>(s, a, q, n, w)) return false;
        if (Greedy ? n > this->min && !this->stops_at_longest : true) {
            s.stack->push(loop_record{q, n, w});
            push_node<CI>(s, this);
        }
        s.cur = q;
        s.next = this->next;
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>& s) const {
        const Atom* a = static_cast<const Atom*>(this->atom);
        auto r = s.stack->template pop<loop_record>();
        do {
            if (!another_count<Cstr>(s, a, r.q, r.n, r.w)) return false;
        } while (!this->template follow_ok<Cstr>(s, r.q));
        if (!Greedy || r.n > this->min) {
            s.stack->push(r);
            push_node<CI>(s, this);
        }
        s.cur = r.q;
        s.next = this->next;
        return true;
    }
    REGEX_NODE_DISPATCH(CI)

private:
    // The first count to try: as many occurrences as there are up to max
    // (greedy) or exactly min (lazy); false when fewer than min are there.
    template <bool Cstr>
    bool first_count(match_state<CI>& s, const Atom* a, CI& q, std::size_t& n) const {
        if constexpr (Greedy) {
            while (n < this->max && a->template one<Cstr>(s, q)) ++n;
            return n >= this->min;
        } else {
            for (; n < this->min; ++n)
                if (!a->template one<Cstr>(s, q)) return false;
            return true;
        }
    }
    // The next count to try: one occurrence fewer (greedy) or one more
    // (lazy); false when there is none.
    template <bool Cstr>
    bool another_count(match_state<CI>& s, const Atom* a, CI& q, std::size_t& n, std::size_t w) const {
        if constexpr (Greedy) {
            if (n == this->min) return false;
            --n;
            q -= static_cast<std::ptrdiff_t>(w);
        } else {
            if (n == this->max || !a->template one<Cstr>(s, q)) return false;
            ++n;
        }
        return true;
    }
};

template <class CI, class Atom>
using max_atom_quantifier = atom_quantifier_t<CI, Atom, true>;
template <class CI, class Atom>
using min_atom_quantifier = atom_quantifier_t<CI, Atom, false>;

template <class CI, class Derived>
sub_expr<CI>* atom_base<CI, Derived>::quantify(const quantifier_spec& q, arena_allocator& arena) {
    if (q.greedy) return arena.make<max_atom_quantifier<CI, Derived>>(q, this);
    return arena.make<min_atom_quantifier<CI, Derived>>(q, this);
}

}  // namespace regex::detail
