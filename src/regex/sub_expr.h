// The node interface every compiled pattern element implements, and the
// per-search state the nodes read and write. Nodes are immutable after
// compilation; everything a search changes lives in match_state.
//
// Every node matches in two strategies, each step under one name: `match`
// (recursive strategy: this node and, on success, the rest of the
// sequence), `step` and `restep` (explicit-stack strategy: this node alone,
// and its next choice after a later failure). The templates over `Cstr`
// (NUL-terminated subject or not) implement them; the virtual slots
// match_recursive[_cstr], match_step[_cstr] and rematch_step[_cstr] that
// REGEX_NODE_DISPATCH declares only forward to them.
//
// Tested by: tests/regex/searcher_test.cpp, tests/regex/drivers_test.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "regex/bad_regexpr.h"
#include "regex/charset.h"
#include "regex/hetero_stack.h"

// Forwards the six virtual slots of three steps (recursive match, step,
// retry), each for both subject kinds, to the member templates that
// implement them.
#define REGEX_FORWARD_STEPS(CI, recursive_slot, step_slot, restep_slot, match_impl, step_impl, restep_impl)           \
    bool recursive_slot(::regex::detail::match_state<CI>& s, CI p) const override {                                   \
        return this->template match_impl<false>(s, p);                                                                \
    }                                                                                                                 \
    bool recursive_slot##_cstr(::regex::detail::match_state<CI>& s, CI p) const override {                            \
        return this->template match_impl<true>(s, p);                                                                 \
    }                                                                                                                 \
    bool step_slot(::regex::detail::match_state<CI>& s) const override { return this->template step_impl<false>(s); } \
    bool step_slot##_cstr(::regex::detail::match_state<CI>& s) const override {                                       \
        return this->template step_impl<true>(s);                                                                     \
    }                                                                                                                 \
    bool restep_slot(::regex::detail::match_state<CI>& s) const override {                                            \
        return this->template restep_impl<false>(s);                                                                  \
    }                                                                                                                 \
    bool restep_slot##_cstr(::regex::detail::match_state<CI>& s) const override {                                     \
        return this->template restep_impl<true>(s);                                                                   \
    }

// Every concrete node: the node's own steps.
#define REGEX_NODE_DISPATCH(CI) REGEX_FORWARD_STEPS(CI, match_recursive, match_step, rematch_step, match, step, restep)

// Groups and group quantifiers: the steps of their embedded end node.
#define REGEX_END_DISPATCH(CI) \
    REGEX_FORWARD_STEPS(CI, end_match_recursive, end_match_step, end_rematch_step, end_match, end_step, end_restep)

namespace regex::detail {

using width_t = std::size_t;
constexpr width_t unbounded = static_cast<width_t>(-1);
constexpr unsigned no_group = static_cast<unsigned>(-1);

struct width_range {
    width_t min;
    width_t max;
};

inline width_t add_width(width_t a, width_t b) { return (a == unbounded || b == unbounded) ? unbounded : a + b; }
inline width_t mul_width(width_t w, width_t n) {
    if (w == 0 || n == 0) return 0;
    if (w == unbounded || n == unbounded || w > unbounded / n) return unbounded;
    return w * n;
}

template <class CI>
struct capture_record {
    CI first{};
    CI second{};
    bool matched = false;
    CI reserved{};  // where the group's unfinished match began
    // Loop state of a group quantifier over this group.
    unsigned iteration_count = 0;
    CI previous_iteration_start{};
    CI iteration_start{};

    // The group's match, begun at `reserved`, ends at `at`.
    void close(CI at) {
        first = reserved;
        second = at;
        matched = true;
    }
};

// Thrown by the recursive strategy when the machine stack it has used passes
// the bound; the search then redoes the attempt with the explicit stack.
struct depth_exceeded {};

template <class CI>
class sub_expr;
template <class CI>
class match_group_base;
template <class CI>
class perl_compiler;
template <class CI>
class pattern_analysis;

// Out of line so that the counting fast path stays two instructions.
[[noreturn, gnu::noinline, gnu::cold]] inline void throw_step_limit(std::size_t limit) {
    throw step_limit_reached(limit);
}

template <class CI>
struct match_state {
    CI begin{};
    CI end{};  // unused for NUL-terminated subjects
    capture_record<CI>* captures = nullptr;
    std::size_t capture_count = 0;
    CI search_start{};
    bool previous_empty = false;
    const match_group_base<CI>* top = nullptr;

    unsigned recurse_depth = 0;  // open (?R) inner matches
    CI lookbehind_end{};         // where the innermost look-behind body must end
    // Captures saved by atomic groups, look-arounds and recursion; used as a
    // stack, so after the first few searches it no longer allocates.
    std::vector<capture_record<CI>> saved;
    // Per-group scratch for the explicit-stack strategy (stack marks).
    std::vector<std::size_t> group_scratch;

    std::uintptr_t stack_floor = 0;  // lowest frame address the recursion may reach
    std::size_t recurse_mark = 0;    // stack position above the innermost open (?R)

    // Step budget of the current search; reaching zero throws
    // step_limit_reached. The recursive strategy pays one step per choice it
    // tries (an alternative of several, a continuation an atom repeat tries
    // after one of its counts, a group repeat's entry or iteration, an inner
    // match of (?R)): between two choices it only walks a straight sequence
    // or counts occurrences, so that bounds its work. The explicit-stack
    // strategy pays one per step and per retry (drivers.h).
    std::size_t step_limit = static_cast<std::size_t>(-1);
    std::size_t steps_left = static_cast<std::size_t>(-1);
    [[gnu::always_inline]] inline void count_step() {
        if (--steps_left == 0) [[unlikely]]
            throw_step_limit(step_limit);
    }
    // `n` steps at once; throws exactly when counting them one by one would.
    [[gnu::always_inline]] inline void pay_steps(std::size_t n) {
        if (n >= steps_left) [[unlikely]]
            throw_step_limit(step_limit);
        steps_left -= n;
    }

    // Explicit-stack strategy.
    hetero_stack* stack = nullptr;
    CI cur{};
    const sub_expr<CI>* next = nullptr;

    std::size_t save_captures(unsigned first, unsigned count) {
        std::size_t mark = saved.size();
        saved.insert(saved.end(), captures + first, captures + first + count);
        return mark;
    }
    void restore_captures(std::size_t mark, unsigned first, unsigned count) {
        std::copy(saved.begin() + static_cast<std::ptrdiff_t>(mark),
                  saved.begin() + static_cast<std::ptrdiff_t>(mark + count), captures + first);
        saved.resize(mark);
    }
    void drop_saved(std::size_t mark) { saved.resize(mark); }

    [[gnu::always_inline]] inline void check_depth() const {
        if (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < stack_floor) throw depth_exceeded{};
    }
};

template <class CI>
inline void push_node(match_state<CI>& s, const sub_expr<CI>* node) {
    s.stack->push(node);
}

template <bool Cstr, class CI>
[[gnu::always_inline]] inline bool at_end(const match_state<CI>& s, CI p) {
    if constexpr (Cstr)
        return *p == '\0';
    else
        return p == s.end;
}

struct quantifier_spec {
    std::size_t min;
    std::size_t max;
    bool greedy;
};

class arena_allocator;

template <class CI>
class sub_expr {
public:
    using state = match_state<CI>;

    virtual ~sub_expr() = default;

    // The node after this one in its sequence; set once, by the parser or
    // by the group a quantifier wraps.
    const sub_expr* next_node() const { return next; }

    virtual bool match_recursive(state& s, CI p) const = 0;
    virtual bool match_recursive_cstr(state& s, CI p) const = 0;
    // Explicit-stack strategy: match this node alone at s.cur, set s.next and
    // push what a retry or an undo needs, followed by the node itself;
    // rematch_step pops that record and tries the next choice (true, with
    // s.cur and s.next set) or undoes its change and fails.
    virtual bool match_step(state& s) const = 0;
    virtual bool match_step_cstr(state& s) const = 0;
    virtual bool rematch_step(state& s) const = 0;
    virtual bool rematch_step_cstr(state& s) const = 0;
    // Wraps this node in a quantifier node from the arena; nodes that cannot
    // be repeated refuse.
    virtual sub_expr* quantify(const quantifier_spec&, arena_allocator&) {
        throw bad_regexpr("sub-expression cannot be quantified");
    }
    virtual bool match_one(state&, CI&) const { return true; }
    virtual bool match_one_cstr(state&, CI&) const { return true; }
    // True when match_one is all there is to this node: one occurrence of a
    // width fixed at compile time, with no choice to retry.
    virtual bool is_fixed_atom() const { return false; }
    virtual bool is_assertion() const { return false; }
    virtual width_range width() = 0;
    // Adds to `out` every character a match of this node (and what follows
    // it) can begin with; false when the node cannot tell.
    virtual bool first_chars(charset::bitmap&) const { return false; }

    // Dispatchers, one per step and alike in shape: a node class defines its
    // own match/step/restep templates, which hide these; calls through a
    // sub_expr pointer land here.
    template <bool Cstr>
    bool match(state& s, CI p) const {
        if constexpr (Cstr)
            return match_recursive_cstr(s, p);
        else
            return match_recursive(s, p);
    }
    template <bool Cstr>
    bool step(state& s) const {
        if constexpr (Cstr)
            return match_step_cstr(s);
        else
            return match_step(s);
    }
    template <bool Cstr>
    bool restep(state& s) const {
        if constexpr (Cstr)
            return rematch_step_cstr(s);
        else
            return rematch_step(s);
    }

protected:
    template <class>
    friend class perl_compiler;

    const sub_expr* next = nullptr;
};

// The end node of a group or group quantifier: a member of its owner, at
// which the owner's alternatives (or iterations) end. It is never allocated
// or destroyed on its own, takes no room in the width of a sequence, and
// cannot be quantified (the parser never asks it to).
template <class CI>
class embedded_sub_expr : public sub_expr<CI> {
public:
    width_range width() override { return {0, 0}; }
};

// A node that owns an end node (a group or a group quantifier) and
// implements the end node's steps, declared by REGEX_END_DISPATCH in each
// owner. It is the owner's only base, so the end node's calls go through
// the owner's own vtable without an adjusting thunk.
template <class CI>
class end_owner : public sub_expr<CI> {
public:
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
};

template <class CI>
class group_end : public embedded_sub_expr<CI> {
public:
    explicit group_end(const end_owner<CI>* o) : owner(o) {}
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

private:
    const end_owner<CI>* owner;
};

// The explicit-stack driver (drivers.h); conditionals run their look-around
// condition through it.
template <bool Cstr, class CI>
bool run_steps(match_state<CI>& s, const sub_expr<CI>* start, CI p);

}  // namespace regex::detail
