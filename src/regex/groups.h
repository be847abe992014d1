// Groups: plain groups (capturing or hidden, the outermost is group 0),
// atomic groups (?>...) and conditionals (?(N)...|...) / (?(?=...)...|...),
// and the base every group kind, look-arounds included, builds on.
//
// How: a group holds its alternatives (each a node sequence ending at the
// group's embedded end node) and tries them in order. Reaching the end node
// records the capture and goes on after the group; a failure there restores
// the capture. An atomic group (and a look-around, look_around.h) matches
// its body on its own: in the recursive strategy the body's success returns
// to the group, in the explicit-stack strategy the body's records are
// dropped down to a barrier record, so the body is never re-entered for
// another choice.
//
// Tested by: tests/regex/searcher_test.cpp (group rows), tests/regex/drivers_test.cpp.
#pragma once

#include <algorithm>

#include "regex/assertions.h"

namespace regex::detail {

template <class CI>
class match_group_base : public end_owner<CI> {
public:
    // The node every alternative ends at; matching goes on through the
    // group's own end steps.
    using end_group = group_end<CI>;

    match_group_base() : end(this) {}

    // Characters a match can begin with, or nullptr when any may.
    const charset::bitmap* first_set() const { return first; }

    virtual void set_nested_range(unsigned first_number, unsigned count) {
        nested_first = first_number;
        nested_count = count;
    }

    // Record of a group trying its alternatives in the explicit-stack strategy.
    struct alternative_record {
        CI p;
        CI saved_reserved;
        std::size_t alternative;
    };

    template <bool Cstr>
    bool rejects(const match_state<CI>& s, CI p) const {
        return first != nullptr && (at_end<Cstr>(s, p) || !first->test(uc(*p)));
    }

    // Widths of the alternatives, each walked to this group's end node.
    width_range body_width() {
        width_range r{unbounded, 0};
        for (std::size_t i = 0; i < alternative_count; ++i) {
            width_range a{0, 0};
            for (const sub_expr<CI>* n = alternatives[i]; n != &end; n = n->next_node()) {
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

    // A step per alternative of a real choice; a lone alternative is no
    // choice, and whatever repeats it (a quantifier, a recursion) pays.
    template <bool Cstr>
    bool try_alternatives(match_state<CI>& s, CI p) const {
        if (alternative_count == 1) return alternatives[0]->template match<Cstr>(s, p);
        for (std::size_t i = 0; i < alternative_count; ++i) {
            s.count_step();
            if (alternatives[i]->template match<Cstr>(s, p)) return true;
        }
        return false;
    }

protected:
    template <class>
    friend class perl_compiler;
    template <class>
    friend class pattern_analysis;
    // Group quantifiers keep their loop state in this group's capture.
    template <class>
    friend class group_quantifier;

    // Wraps this group in a group quantifier whose end node follows it
    // (defined with the quantifiers).
    sub_expr<CI>* quantified(const quantifier_spec& q, arena_allocator& arena);

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
    // A group no caller sees, (?:...): nothing reads where it matched, so a
    // plain one keeps no capture and leaves no records to undo one.
    bool hidden = false;
};

// Ends the inner match of a (?R) in the explicit-stack strategy (recursion.h).
template <class CI>
bool finish_recursion(match_state<CI>& s);

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
        if (this->hidden) return this->next->template match<Cstr>(s, p);
        capture_record<CI>& c = s.captures[this->number];
        CI f = c.first, sc = c.second;
        bool m = c.matched;
        c.close(p);
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
        if (this->hidden && this->alternative_count == 1) {
            // No choice to come back to and no capture to begin: a group
            // repeated over a long subject then costs no records of its own.
            s.next = this->alternatives[0];
            return true;
        }
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
    bool end_step(match_state<CI>& s) const {
        if (this->hidden) {
            s.next = this->next;
            return true;
        }
        capture_record<CI>& c = s.captures[this->number];
        if (this->number == 0 && s.recurse_depth != 0) {
            c.close(s.cur);
            return finish_recursion<CI>(s);
        }
        s.stack->push(capture_undo{c.first, c.second, c.matched});
        push_node<CI>(s, &this->end);
        c.close(s.cur);
        s.next = this->next;
        return true;
    }
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
    // Defined with the quantifiers.
    sub_expr<CI>* quantify(const quantifier_spec& q, arena_allocator& arena) override;
    REGEX_NODE_DISPATCH(CI)
};

// Atomic groups and look-arounds: the body matches on its own, and its
// choices are dropped once it has matched. The captures of the groups nested
// inside are saved on entry and put back when the whole construct fails.
template <class CI>
class independent_group_base : public match_group_base<CI> {
public:
    std::size_t save_nested(match_state<CI>& s) const {
        return s.save_captures(this->nested_first, this->nested_count);
    }
    void restore_nested(match_state<CI>& s, std::size_t mark) const {
        s.restore_captures(mark, this->nested_first, this->nested_count);
    }
    // Evaluates the assertion at p without going on (conditions use this);
    // captures of a matched positive body stay, the caller restores them.
    virtual bool assert_test(match_state<CI>&, CI) const { return false; }
    virtual bool assert_test_cstr(match_state<CI>&, CI) const { return false; }

    // Explicit-stack records. The barrier sits under the body's records;
    // the done record is left by a finished body to undo its captures.
    struct barrier_record {
        CI p;
        CI start;  // look-behind: where the current trial began
        CI saved_lookbehind_end;
        std::size_t saved_mark;   // position of the nested captures in state::saved
        std::size_t old_scratch;  // the group's stack mark of an outer activation
        std::size_t alternative;
    };
    struct done_record {
        std::size_t saved_mark;
    };

    std::size_t& scratch(match_state<CI>& s) const { return s.group_scratch[this->slot]; }

    // Starts the body at `start` above a barrier; the construct stands at p.
    void open_body(match_state<CI>& s, CI p, CI start, std::size_t mark) const {
        s.stack->push(barrier_record{p, start, s.lookbehind_end, mark, scratch(s), 0});
        push_node<CI>(s, this);
        scratch(s) = s.stack->position();
        s.cur = start;
        s.next = this->alternatives[0];
    }
    // Retries the body with its next alternative from the same start, if
    // there is one; the barrier stays.
    bool next_alternative(match_state<CI>& s, barrier_record& b) const {
        if (++b.alternative >= this->alternative_count) return false;
        s.stack->push(b);
        push_node<CI>(s, this);
        s.cur = b.start;
        s.next = this->alternatives[b.alternative];
        return true;
    }
    // Drops the body's records down to this activation's barrier and pops it.
    barrier_record unwind_to_barrier(match_state<CI>& s) const {
        s.stack->unwind(scratch(s));
        s.stack->template pop<const sub_expr<CI>*>();
        barrier_record b = s.stack->template pop<barrier_record>();
        scratch(s) = b.old_scratch;
        return b;
    }
    // The body matched and its choices are gone: continue after the
    // construct at `at`, leaving a record that puts the nested captures back
    // if what follows fails.
    void continue_after_body(match_state<CI>& s, const barrier_record& b, CI at) const {
        s.saved.resize(b.saved_mark + this->nested_count);
        s.stack->push(done_record{b.saved_mark});
        push_node<CI>(s, &this->end);
        s.cur = at;
        s.next = this->next;
    }
    template <bool Cstr>
    bool end_restep(match_state<CI>& s) const {
        auto d = s.stack->template pop<done_record>();
        this->restore_nested(s, d.saved_mark);
        return false;
    }
};

// The atomic group opens like a plain group (first-character test, depth
// check) and differs in what it saves and how its body ends.
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
        c.close(p);
        return true;
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        const CI p = s.cur;
        if (this->template rejects<Cstr>(s, p)) return false;
        std::size_t mark = this->save_nested(s);
        s.captures[this->number].reserved = p;
        this->open_body(s, p, p, mark);
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>& s) const {
        auto b = s.stack->template pop<typename independent_group_base<CI>::barrier_record>();
        if (this->next_alternative(s, b)) return true;
        this->scratch(s) = b.old_scratch;
        this->restore_nested(s, b.saved_mark);
        return false;
    }
    template <bool Cstr>
    bool end_step(match_state<CI>& s) const {
        capture_record<CI>& c = s.captures[this->number];
        c.close(s.cur);
        auto b = this->unwind_to_barrier(s);
        this->continue_after_body(s, b, s.cur);
        return true;
    }
    REGEX_END_DISPATCH(CI)
    // Defined with the quantifiers.
    sub_expr<CI>* quantify(const quantifier_spec& q, arena_allocator& arena) override;
    REGEX_NODE_DISPATCH(CI)
};

// (?(N)then|else) and (?(?=...)then|else). The condition is a visible group
// number resolved to an internal one, or a look-around group.
template <class CI>
class match_conditional : public match_group<CI> {
public:
    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        s.check_depth();
        std::size_t mark = 0;
        bool yes;
        if (condition != nullptr) {
            mark = condition->save_nested(s);
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
        if (condition != nullptr) condition->restore_nested(s, mark);
        return false;
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
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

private:
    template <class>
    friend class perl_compiler;
    template <class>
    friend class pattern_analysis;

    unsigned condition_visible = 0;
    unsigned condition_group = no_group;
    const independent_group_base<CI>* condition = nullptr;
};

}  // namespace regex::detail
