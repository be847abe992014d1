// Group nodes (plain, atomic, look-around, conditional), group quantifiers,
// recursion and the end of the pattern.
#pragma once

#include <algorithm>

#include "regex/match_atoms.h"

namespace regex::detail {

template <class CI>
class match_group_base : public sub_expr<CI> {
public:
    // The node every alternative ends at; matching goes on through the
    // group's own end behaviour.
    class end_group : public indestructable_sub_expr<CI> {
    public:
        const match_group_base* owner = nullptr;
        template <bool Cstr>
        bool match(match_state<CI>& s, CI p) const {
            return owner->template end_match<Cstr>(s, p);
        }
        template <bool Cstr>
        bool step(match_state<CI>& s) const {
            return Cstr ? owner->end_match_step_cstr(s) : owner->end_match_step(s);
        }
        template <bool Cstr>
        bool restep(match_state<CI>& s) const {
            return Cstr ? owner->end_rematch_step_cstr(s) : owner->end_rematch_step(s);
        }
        REGEX_NODE_DISPATCH(CI)
    };

    const sub_expr<CI>** alternatives = nullptr;  // arena array, source order
    std::size_t alternative_count = 0;
    unsigned number = no_group;
    width_t min_width = unbounded;
    width_t max_width = unbounded;
    end_group end;
    unsigned nested_first = 0;
    unsigned nested_count = 0;
    const charset::bitmap* first = nullptr;  // characters a match can begin with
    unsigned slot = 0;                       // index into match_state::group_scratch
    int width_state = 0;                     // 0 not computed, 1 computing, 2 done

    match_group_base() { end.owner = this; }

    virtual void set_nested_range(unsigned first_number, unsigned count) {
        nested_first = first_number;
        nested_count = count;
    }
    const sub_expr<CI>* end_node() const { return &end; }

    virtual bool end_match_recursive(match_state<CI>& s, CI p) const = 0;
    virtual bool end_match_recursive_cstr(match_state<CI>& s, CI p) const = 0;
    virtual bool end_match_step(match_state<CI>& s) const = 0;
    virtual bool end_match_step_cstr(match_state<CI>& s) const = 0;
    virtual bool end_rematch_step(match_state<CI>& s) const = 0;
    virtual bool end_rematch_step_cstr(match_state<CI>& s) const = 0;
    template <bool Cstr>
    bool end_match(match_state<CI>& s, CI p) const {
        if constexpr (Cstr)
            return end_match_recursive_cstr(s, p);
        else
            return end_match_recursive(s, p);
    }

    // Record of a group trying its alternatives in the explicit-stack strategy.
    struct alternative_record {
        CI p;
        CI saved_reserved;
        std::size_t alternative;
    };
    // Pushed by atomic groups and look-arounds under their body's records.
    struct barrier_record {
        CI p;
        CI start;  // look-behind: where the current trial began
        CI saved_lookbehind_end;
        std::size_t saved_mark;   // position of the nested captures in state::saved
        std::size_t old_scratch;  // the group's stack mark of an outer activation
        std::size_t alternative;
    };
    // Left by a finished atomic group or look-around, to undo its captures.
    struct done_record {
        std::size_t saved_mark;
    };
    std::size_t& scratch(match_state<CI>& s) const { return s.group_scratch[slot]; }
    // Drops the body's records down to this activation's barrier and pops it.
    barrier_record unwind_to_barrier(match_state<CI>& s) const {
        s.stack->unwind(scratch(s));
        s.stack->template pop<const sub_expr<CI>*>();
        barrier_record b = s.stack->template pop<barrier_record>();
        scratch(s) = b.old_scratch;
        return b;
    }

    template <bool Cstr>
    bool rejects(const match_state<CI>& s, CI p) const {
        return first != nullptr && (at_end<Cstr>(s, p) || !first->test(uc(*p)));
    }

    // Widths of the alternatives, each walked to this group's end node.
    width_range body_width() {
        width_range r{unbounded, 0};
        for (std::size_t i = 0; i < alternative_count; ++i) {
            width_range a{0, 0};
            for (const sub_expr<CI>* n = alternatives[i]; n != &end; n = n->next) {
                width_range w = const_cast<sub_expr<CI>*>(n)->width();
                a.min = add_width(a.min, w.min);
                a.max = add_width(a.max, w.max);
            }
            r.min = std::min(r.min, a.min);
            r.max = r.max == unbounded || a.max == unbounded ? unbounded : std::max(r.max, a.max);
        }
        if (alternative_count == 0) r = {0, 0};
        return r;
    }
    virtual width_range compute_width() { return body_width(); }
    width_range group_width() {
        if (width_state == 1) return {0, unbounded};  // a reference from inside the group
        if (width_state == 0) {
            width_state = 1;
            width_range r = compute_width();
            min_width = r.min;
            max_width = r.max;
            width_state = 2;
        }
        return {min_width, max_width};
    }
    width_range width() override { return group_width(); }

    bool first_chars(charset::bitmap& out) const override {
        if (first == nullptr) return false;
        out |= *first;
        return true;
    }
    // The union of what the alternatives can begin with, or false.
    virtual bool alternatives_first(charset::bitmap& out) const {
        if (alternative_count == 0) return false;
        for (std::size_t i = 0; i < alternative_count; ++i)
            if (!alternatives[i]->first_chars(out)) return false;
        return true;
    }

    template <bool Cstr>
    bool try_alternatives(match_state<CI>& s, CI p) const {
        for (std::size_t i = 0; i < alternative_count; ++i)
            if (alternatives[i]->template match<Cstr>(s, p)) return true;
        return false;
    }
};

template <class CI>
class group_quantifier;

// Plain group, capturing or hidden; the outermost group is number 0.
template <class CI>
class match_group : public match_group_base<CI> {
public:
    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        if (this->template rejects<Cstr>(s, p)) return false;
        s.check_depth();
        capture_record<CI>& c = s.captures[this->number];
        CI saved = c.reserved;
        c.reserved = p;
        if (this->template try_alternatives<Cstr>(s, p)) return true;
        c.reserved = saved;
        return false;
    }
    template <bool Cstr>
    bool end_match(match_state<CI>& s, CI p) const {
        capture_record<CI>& c = s.captures[this->number];
        CI f = c.first, sc = c.second;
        bool m = c.matched;
        c.first = c.reserved;
        c.second = p;
        c.matched = true;
        // The outermost group inside a (?R) ends the inner match here.
        if (this->number == 0 && s.recurse_depth != 0) return true;
        if (this->next->template match<Cstr>(s, p)) return true;
        c.first = f;
        c.second = sc;
        c.matched = m;
        return false;
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        const CI p = s.cur;
        if (this->template rejects<Cstr>(s, p)) return false;
        capture_record<CI>& c = s.captures[this->number];
        s.stack->push(typename match_group_base<CI>::alternative_record{p, c.reserved, 0});
        push_node<CI>(s, this);
        c.reserved = p;
        s.next = this->alternatives[0];
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>& s) const {
        auto r = s.stack->template pop<typename match_group_base<CI>::alternative_record>();
        if (++r.alternative < this->alternative_count) {
            s.stack->push(r);
            push_node<CI>(s, this);
            s.cur = r.p;
            s.next = this->alternatives[r.alternative];
            return true;
        }
        s.captures[this->number].reserved = r.saved_reserved;
        return false;
    }
    struct capture_undo {
        CI first;
        CI second;
        bool matched;
    };
    template <bool Cstr>
    bool end_step(match_state<CI>& s) const;
    template <bool Cstr>
    bool end_restep(match_state<CI>& s) const {
        auto r = s.stack->template pop<capture_undo>();
        capture_record<CI>& c = s.captures[this->number];
        c.first = r.first;
        c.second = r.second;
        c.matched = r.matched;
        return false;
    }
    REGEX_END_DISPATCH(CI)
    sub_expr<CI>* quantify(const quantifier_spec& q, arena_allocator& arena) override;
    REGEX_NODE_DISPATCH(CI)
};

// Atomic groups and look-arounds: the body matches on its own, and its
// choices are dropped once it has matched.
template <class CI>
class independent_group_base : public match_group_base<CI> {
public:
    std::size_t save_nested(match_state<CI>& s) const { return s.save_captures(this->nested_first, this->nested_count); }
    void restore_nested(match_state<CI>& s, std::size_t mark) const {
        s.restore_captures(mark, this->nested_first, this->nested_count);
    }
    // Evaluates the assertion at p without going on (conditions use this);
    // captures of a matched positive body stay, the caller restores them.
    virtual bool assert_test(match_state<CI>&, CI) const { return false; }
    virtual bool assert_test_cstr(match_state<CI>&, CI) const { return false; }
};

template <class CI>
class independent_group : public independent_group_base<CI> {
public:
    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        if (this->template rejects<Cstr>(s, p)) return false;
        s.check_depth();
        std::size_t mark = this->save_nested(s);
        capture_record<CI>& c = s.captures[this->number];
        c.reserved = p;
        if (this->template try_alternatives<Cstr>(s, p)) {
            if (this->next->template match<Cstr>(s, s.captures[this->number].second)) return true;
        }
        this->restore_nested(s, mark);
        return false;
    }
    template <bool Cstr>
    bool end_match(match_state<CI>& s, CI p) const {
        capture_record<CI>& c = s.captures[this->number];
        c.first = c.reserved;
        c.second = p;
        c.matched = true;
        return true;
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        const CI p = s.cur;
        if (this->template rejects<Cstr>(s, p)) return false;
        std::size_t mark = this->save_nested(s);
        s.captures[this->number].reserved = p;
        s.stack->push(typename match_group_base<CI>::barrier_record{p, p, p, mark, this->scratch(s), 0});
        push_node<CI>(s, this);
        this->scratch(s) = s.stack->position();
        s.next = this->alternatives[0];
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>& s) const {
        auto b = s.stack->template pop<typename match_group_base<CI>::barrier_record>();
        if (++b.alternative < this->alternative_count) {
            s.stack->push(b);
            push_node<CI>(s, this);
            s.cur = b.p;
            s.next = this->alternatives[b.alternative];
            return true;
        }
        this->scratch(s) = b.old_scratch;
        this->restore_nested(s, b.saved_mark);
        return false;
    }
    template <bool Cstr>
    bool end_step(match_state<CI>& s) const {
        capture_record<CI>& c = s.captures[this->number];
        c.first = c.reserved;
        c.second = s.cur;
        c.matched = true;
        auto b = this->unwind_to_barrier(s);
        s.saved.resize(b.saved_mark + this->nested_count);
        s.stack->push(typename match_group_base<CI>::done_record{b.saved_mark});
        push_node<CI>(s, &this->end);
        s.next = this->next;
        return true;
    }
    template <bool Cstr>
    bool end_restep(match_state<CI>& s) const {
        auto d = s.stack->template pop<typename match_group_base<CI>::done_record>();
        this->restore_nested(s, d.saved_mark);
        return false;
    }
    REGEX_END_DISPATCH(CI)
    sub_expr<CI>* quantify(const quantifier_spec& q, arena_allocator& arena) override;
    REGEX_NODE_DISPATCH(CI)
};

template <class CI>
class lookahead_assertion : public independent_group<CI> {
public:
    bool positive = true;

    bool is_assertion() const override { return true; }
    width_range width() override {
        this->group_width();
        return {0, 0};
    }
    bool first_chars(charset::bitmap& out) const override { return this->next->first_chars(out); }
    sub_expr<CI>* quantify(const quantifier_spec&, arena_allocator&) override {
        throw bad_regexpr("look-ahead assertion cannot be quantified");
    }

    template <bool Cstr>
    bool test(match_state<CI>& s, CI p, std::size_t mark) const {
        s.check_depth();
        bool matched = this->template try_alternatives<Cstr>(s, p);
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
    template <bool Cstr>
    bool end_match(match_state<CI>&, CI) const {
        return true;
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        const CI p = s.cur;
        std::size_t mark = this->save_nested(s);
        s.stack->push(typename match_group_base<CI>::barrier_record{p, p, p, mark, this->scratch(s), 0});
        push_node<CI>(s, this);
        this->scratch(s) = s.stack->position();
        s.next = this->alternatives[0];
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>& s) const {
        auto b = s.stack->template pop<typename match_group_base<CI>::barrier_record>();
        if (++b.alternative < this->alternative_count) {
            s.stack->push(b);
            push_node<CI>(s, this);
            s.cur = b.p;
            s.next = this->alternatives[b.alternative];
            return true;
        }
        this->scratch(s) = b.old_scratch;
        s.drop_saved(b.saved_mark);
        if (positive) return false;
        s.cur = b.p;
        s.next = this->next;
        return true;
    }
    template <bool Cstr>
    bool end_step(match_state<CI>& s) const {
        auto b = this->unwind_to_barrier(s);
        if (!positive) {
            this->restore_nested(s, b.saved_mark);
            return false;
        }
        s.saved.resize(b.saved_mark + this->nested_count);
        s.stack->push(typename match_group_base<CI>::done_record{b.saved_mark});
        push_node<CI>(s, &this->end);
        s.cur = b.p;
        s.next = this->next;
        return true;
    }
    template <bool Cstr>
    bool end_restep(match_state<CI>& s) const {
        auto d = s.stack->template pop<typename match_group_base<CI>::done_record>();
        this->restore_nested(s, d.saved_mark);
        return false;
    }
    bool assert_test(match_state<CI>& s, CI p) const override {
        std::size_t mark = this->save_nested(s);
        bool r = test<false>(s, p, mark);
        s.drop_saved(mark);
        return r;
    }
    bool assert_test_cstr(match_state<CI>& s, CI p) const override {
        std::size_t mark = this->save_nested(s);
        bool r = test<true>(s, p, mark);
        s.drop_saved(mark);
        return r;
    }
    REGEX_END_DISPATCH(CI)
    REGEX_NODE_DISPATCH(CI)
};

// The body is tried at start positions from the farthest its width allows
// towards the nearest, and must end exactly at the assertion's position.
// Unlike a body run against a subject cut off at that position, anchors and
// word tests inside the body still see the real subject around it.
template <class CI>
class lookbehind_assertion : public independent_group_base<CI> {
public:
    bool positive = true;

    bool is_assertion() const override { return true; }
    width_range width() override {
        this->group_width();
        return {0, 0};
    }
    bool first_chars(charset::bitmap& out) const override { return this->next->first_chars(out); }
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
    bool test(match_state<CI>& s, CI p, std::size_t mark) const {
        bool matched = body_matches<Cstr>(s, p);
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
    template <bool Cstr>
    bool end_match(match_state<CI>& s, CI p) const {
        return p == s.lookbehind_end;
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        const CI p = s.cur;
        std::size_t d = static_cast<std::size_t>(p - s.begin);
        if (d < this->min_width) {
            if (positive) return false;
            s.next = this->next;
            return true;
        }
        std::size_t mark = this->save_nested(s);
        CI start = p - static_cast<std::ptrdiff_t>(std::min(this->max_width, d));
        s.stack->push(typename match_group_base<CI>::barrier_record{p, start, s.lookbehind_end, mark,
                                                                     this->scratch(s), 0});
        push_node<CI>(s, this);
        this->scratch(s) = s.stack->position();
        s.lookbehind_end = p;
        s.cur = start;
        s.next = this->alternatives[0];
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>& s) const {
        auto b = s.stack->template pop<typename match_group_base<CI>::barrier_record>();
        if (++b.alternative >= this->alternative_count && static_cast<std::size_t>(b.p - b.start) > this->min_width) {
            ++b.start;
            b.alternative = 0;
        }
        if (b.alternative < this->alternative_count) {
            s.stack->push(b);
            push_node<CI>(s, this);
            s.lookbehind_end = b.p;
            s.cur = b.start;
            s.next = this->alternatives[b.alternative];
            return true;
        }
        this->scratch(s) = b.old_scratch;
        s.lookbehind_end = b.saved_lookbehind_end;
        s.drop_saved(b.saved_mark);
        if (positive) return false;
        s.cur = b.p;
        s.next = this->next;
        return true;
    }
    template <bool Cstr>
    bool end_step(match_state<CI>& s) const {
        if (s.cur != s.lookbehind_end) return false;
        auto b = this->unwind_to_barrier(s);
        s.lookbehind_end = b.saved_lookbehind_end;
        if (!positive) {
            this->restore_nested(s, b.saved_mark);
            return false;
        }
        s.saved.resize(b.saved_mark + this->nested_count);
        s.stack->push(typename match_group_base<CI>::done_record{b.saved_mark});
        push_node<CI>(s, &this->end);
        s.cur = b.p;
        s.next = this->next;
        return true;
    }
    template <bool Cstr>
    bool end_restep(match_state<CI>& s) const {
        auto d = s.stack->template pop<typename match_group_base<CI>::done_record>();
        this->restore_nested(s, d.saved_mark);
        return false;
    }
    bool assert_test(match_state<CI>& s, CI p) const override {
        std::size_t mark = this->save_nested(s);
        bool r = test<false>(s, p, mark);
        s.drop_saved(mark);
        return r;
    }
    bool assert_test_cstr(match_state<CI>& s, CI p) const override {
        std::size_t mark = this->save_nested(s);
        bool r = test<true>(s, p, mark);
        s.drop_saved(mark);
        return r;
    }
    REGEX_END_DISPATCH(CI)
    REGEX_NODE_DISPATCH(CI)
};

struct backref_condition {};
struct assertion_condition {};

// (?(N)then|else) and (?(?=...)then|else). The condition is a visible group
// number resolved to an internal one, or a look-around group.
template <class CI>
class match_conditional : public match_group<CI> {
public:
    unsigned condition_visible = 0;
    unsigned condition_group = no_group;
    const independent_group_base<CI>* condition = nullptr;

    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        s.check_depth();
        std::size_t mark = 0;
        bool yes;
        if (condition != nullptr) {
            mark = s.save_captures(condition->nested_first, condition->nested_count);
            yes = Cstr ? condition->assert_test_cstr(s, p) : condition->assert_test(s, p);
        } else {
            yes = s.captures[condition_group].matched;
        }
        capture_record<CI>& c = s.captures[this->number];
        CI saved = c.reserved;
        c.reserved = p;
        bool ok;
        if (yes)
            ok = this->alternatives[0]->template match<Cstr>(s, p);
        else if (this->alternative_count > 1)
            ok = this->alternatives[1]->template match<Cstr>(s, p);
        else
            ok = this->end.template match<Cstr>(s, p);
        if (ok) return true;
        s.captures[this->number].reserved = saved;
        if (condition != nullptr) s.restore_captures(mark, condition->nested_first, condition->nested_count);
        return false;
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const;
    template <bool Cstr>
    bool restep(match_state<CI>& s) const {
        auto r = s.stack->template pop<typename match_group_base<CI>::alternative_record>();
        s.captures[this->number].reserved = r.saved_reserved;
        return false;
    }
    width_range compute_width() override {
        width_range r = this->body_width();
        if (this->alternative_count < 2) r.min = 0;
        if (condition != nullptr) const_cast<independent_group_base<CI>*>(condition)->width();
        return r;
    }
    bool alternatives_first(charset::bitmap& out) const override {
        return this->alternative_count == 2 && match_group<CI>::alternatives_first(out);
    }
    REGEX_NODE_DISPATCH(CI)
};

// Loop state lives in the capture record of the quantified group.
template <class CI>
class group_quantifier : public match_quantifier<CI> {
public:
    class end_quantifier : public indestructable_sub_expr<CI> {
    public:
        const group_quantifier* owner = nullptr;
        template <bool Cstr>
        bool match(match_state<CI>& s, CI p) const {
            return owner->template end_match<Cstr>(s, p);
        }
        template <bool Cstr>
        bool step(match_state<CI>& s) const {
            return Cstr ? owner->end_match_step_cstr(s) : owner->end_match_step(s);
        }
        template <bool Cstr>
        bool restep(match_state<CI>& s) const {
            return Cstr ? owner->end_rematch_step_cstr(s) : owner->end_rematch_step(s);
        }
        REGEX_NODE_DISPATCH(CI)
    };

    match_group_base<CI>* group = nullptr;
    end_quantifier end;
    group_quantifier() { end.owner = this; }

    virtual bool end_match_recursive(match_state<CI>& s, CI p) const = 0;
    virtual bool end_match_recursive_cstr(match_state<CI>& s, CI p) const = 0;
    virtual bool end_match_step(match_state<CI>& s) const = 0;
    virtual bool end_match_step_cstr(match_state<CI>& s) const = 0;
    virtual bool end_rematch_step(match_state<CI>& s) const = 0;
    virtual bool end_rematch_step_cstr(match_state<CI>& s) const = 0;
    template <bool Cstr>
    bool end_match(match_state<CI>& s, CI p) const {
        if constexpr (Cstr)
            return end_match_recursive_cstr(s, p);
        else
            return end_match_recursive(s, p);
    }

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
};

template <class CI, bool Greedy>
class group_quantifier_t : public group_quantifier<CI> {
public:
    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        capture_record<CI>& c = s.captures[this->group->number];
        auto saved = this->save(c);
        c.iteration_count = 0;
        c.iteration_start = p;
        if constexpr (Greedy) {
            if (this->max != 0) {
                c.iteration_count = 1;
                if (this->group->template match<Cstr>(s, p)) return true;
            }
            this->restore(s.captures[this->group->number], saved);
            return this->min == 0 && this->next->template match<Cstr>(s, p);
        } else {
            if (this->min == 0) {
                this->restore(c, saved);
                if (this->next->template match<Cstr>(s, p)) return true;
                c.iteration_count = 0;
                c.iteration_start = p;
            }
            if (this->max != 0) {
                c.iteration_count = 1;
                if (this->group->template match<Cstr>(s, p)) return true;
            }
            this->restore(s.captures[this->group->number], saved);
            return false;
        }
    }
    template <bool Cstr>
    bool end_match(match_state<CI>& s, CI p) const {
        s.check_depth();
        capture_record<CI>& c = s.captures[this->group->number];
        // An iteration that consumed nothing ends the loop, whatever the count.
        if (p == c.iteration_start) return this->next->template match<Cstr>(s, p);
        auto saved = this->save(c);
        c.previous_iteration_start = c.iteration_start;
        c.iteration_start = p;
        if constexpr (Greedy) {
            if (c.iteration_count < this->max) {
                ++c.iteration_count;
                if (this->group->template match<Cstr>(s, p)) return true;
                --s.captures[this->group->number].iteration_count;
            }
            if (s.captures[this->group->number].iteration_count >= this->min) {
                if (this->next->template match<Cstr>(s, p)) return true;
            }
        } else {
            if (c.iteration_count >= this->min) {
                if (this->next->template match<Cstr>(s, p)) return true;
            }
            capture_record<CI>& c2 = s.captures[this->group->number];
            if (c2.iteration_count < this->max) {
                ++c2.iteration_count;
                if (this->group->template match<Cstr>(s, p)) return true;
            }
        }
        this->restore(s.captures[this->group->number], saved);
        return false;
    }
    using loop_record = typename group_quantifier<CI>::loop_record;
    capture_record<CI>& loop(match_state<CI>& s) const { return s.captures[this->group->number]; }

    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        const CI p = s.cur;
        capture_record<CI>& c = loop(s);
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
            if (this->min != 0) return false;
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
        auto r = s.stack->template pop<loop_record>();
        capture_record<CI>& c = loop(s);
        if constexpr (Greedy) {
            this->restore(c, r.saved);
            if (r.phase == 1 && this->min == 0) {
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
        capture_record<CI>& c = loop(s);
        if (p == c.iteration_start) {
            s.next = this->next;
            return true;
        }
        auto saved = this->save(c);
        c.previous_iteration_start = c.iteration_start;
        c.iteration_start = p;
        if constexpr (Greedy) {
            if (c.iteration_count < this->max) {
                ++c.iteration_count;
                s.stack->push(loop_record{saved, p, 1});
                push_node<CI>(s, &this->end);
                s.next = this->group;
                return true;
            }
            if (c.iteration_count >= this->min) {
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
        capture_record<CI>& c = loop(s);
        if (r.phase == 1) {
            if constexpr (Greedy) {
                --c.iteration_count;
                if (c.iteration_count >= this->min) {
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
};

template <class CI>
using max_group_quantifier = group_quantifier_t<CI, true>;
template <class CI>
using min_group_quantifier = group_quantifier_t<CI, false>;

template <class CI>
sub_expr<CI>* make_group_quantifier(match_group_base<CI>* g, const quantifier_spec& q, arena_allocator& arena) {
    group_quantifier<CI>* node;
    if (q.greedy)
        node = arena.make<max_group_quantifier<CI>>();
    else
        node = arena.make<min_group_quantifier<CI>>();
    node->min = q.min;
    node->max = q.max;
    node->group = g;
    g->next = &node->end;
    return node;
}

template <class CI>
sub_expr<CI>* match_group<CI>::quantify(const quantifier_spec& q, arena_allocator& arena) {
    return make_group_quantifier<CI>(this, q, arena);
}
template <class CI>
sub_expr<CI>* independent_group<CI>::quantify(const quantifier_spec& q, arena_allocator& arena) {
    return make_group_quantifier<CI>(this, q, arena);
}

// (?R): the whole pattern again, as an inner match whose first success is
// kept. Captures made inside it are undone afterwards, as Perl does.
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
        s.restore_captures(r.saved_mark, 0, static_cast<unsigned>(s.capture_count));
        --s.recurse_depth;
        s.recurse_mark = r.old_recurse_mark;
        return false;
    }
    // The inner match reached the end of the outermost group at s.cur.
    static bool finish(match_state<CI>& s) {
        s.stack->unwind(s.recurse_mark);
        const sub_expr<CI>* node = s.stack->template pop<const sub_expr<CI>*>();
        auto r = s.stack->template pop<recursion_record>();
        s.restore_captures(r.saved_mark, 0, static_cast<unsigned>(s.capture_count));
        --s.recurse_depth;
        s.recurse_mark = r.old_recurse_mark;
        s.next = node->next;
        return true;
    }
    REGEX_NODE_DISPATCH(CI)
};

template <class CI>
class end_of_pattern : public sub_expr<CI> {
public:
    width_range width() override { return {0, 0}; }
    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        return !(s.previous_empty && p == s.search_start);
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        if (s.previous_empty && s.cur == s.search_start) return false;
        s.next = nullptr;
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>&) const {
        return false;
    }
    REGEX_NODE_DISPATCH(CI)
};

// The explicit-stack matcher: runs from `start` at p until a node hands over
// to nothing (success) or the stack falls back to where it stood on entry.
// Every choice point is a record on the heap stack, so the machine stack
// stays flat whatever the subject.
template <bool Cstr, class CI>
bool run_steps(match_state<CI>& s, const sub_expr<CI>* start, CI p) {
    const std::size_t base = s.stack->position();
    s.cur = p;
    const sub_expr<CI>* node = start;
    for (;;) {
        s.count_step();
        if (node->template step<Cstr>(s)) {
            node = s.next;
        } else {
            for (;;) {
                if (s.stack->position() == base) return false;
                const sub_expr<CI>* back = s.stack->template pop<const sub_expr<CI>*>();
                s.count_step();
                if (back->template restep<Cstr>(s)) {
                    node = s.next;
                    break;
                }
            }
        }
        if (node == nullptr) return true;
    }
}

template <class CI>
template <bool Cstr>
bool match_group<CI>::end_step(match_state<CI>& s) const {
    capture_record<CI>& c = s.captures[this->number];
    if (this->number == 0 && s.recurse_depth != 0) {
        c.first = c.reserved;
        c.second = s.cur;
        c.matched = true;
        return match_recurse<CI>::finish(s);
    }
    s.stack->push(capture_undo{c.first, c.second, c.matched});
    push_node<CI>(s, &this->end);
    c.first = c.reserved;
    c.second = s.cur;
    c.matched = true;
    s.next = this->next;
    return true;
}

template <class CI>
template <bool Cstr>
bool match_conditional<CI>::step(match_state<CI>& s) const {
    const CI p = s.cur;
    bool yes;
    if (condition != nullptr)
        // The look-around runs to its verdict on the same stack; a matched
        // positive body leaves a record that undoes its captures.
        yes = run_steps<Cstr>(s, condition, p);
    else
        yes = s.captures[condition_group].matched;
    capture_record<CI>& c = s.captures[this->number];
    s.stack->push(typename match_group_base<CI>::alternative_record{p, c.reserved, 0});
    push_node<CI>(s, this);
    c.reserved = p;
    s.cur = p;
    if (yes)
        s.next = this->alternatives[0];
    else if (this->alternative_count > 1)
        s.next = this->alternatives[1];
    else
        s.next = &this->end;
    return true;
}

}  // namespace regex::detail
