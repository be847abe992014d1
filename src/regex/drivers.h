// The two matching strategies side by side, and the node that ends every
// pattern.
//
// How: the recursive driver asks the outermost group to match; each node
// calls the next one, so the machine stack holds the choice points, and a
// failure returns to the innermost node with a choice left. It is the
// fastest; its depth is bounded by recursion_stack_budget, and an attempt
// that would pass it is redone with the explicit stack (searcher.h). The
// explicit-stack driver runs the nodes' `step` in a loop: a node matches
// itself, pushes what a retry needs and names the next node; on a failure
// the driver pops the last node pushed and lets it `restep`. The machine
// stack stays flat whatever the subject. Both spend the search's step
// budget: the recursive driver one step per choice tried, the explicit-stack
// driver one per step and per retry (paid in bulk, see run_steps).
//
// Tested by: tests/regex/drivers_test.cpp, tests/regex/step_limit_test.cpp.
#pragma once

#include <cstdint>

#include "regex/look_around.h"
#include "regex/quantifiers.h"
#include "regex/recursion.h"

namespace regex::detail {

// Succeeds unless the previous match of a global search was empty and this
// one would be empty at the same place.
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

// How much machine stack one recursive attempt may use before it is redone
// with the explicit stack: at most 1 MiB, and never more than a quarter of
// what is left of the calling thread's stack.
std::size_t recursion_stack_budget(std::uintptr_t here);

// The recursive driver: one attempt at p. Throws depth_exceeded when the
// recursion passes s.stack_floor.
template <bool Cstr, class CI>
bool run_recursive(match_state<CI>& s, CI p) {
    return s.top->template match<Cstr>(s, p);
}

// The explicit-stack driver: runs from `start` at p until a node hands over
// to nothing (success) or the stack falls back to where it stood on entry.
// Steps are counted in a local and paid into the budget on return and at
// the first failure after every pay_interval steps: between two failures the
// driver only walks forward, which consumes the subject or ends at the
// pattern's end, so paying late never lets a search run far past its
// budget. A nested run (a conditional's look-around) pays its own steps
// before it returns, so every step is paid exactly once, and a search stops
// at the limit exactly when counting one by one would have stopped it.
inline constexpr std::size_t pay_interval = 256;

template <bool Cstr, class CI>
bool run_steps(match_state<CI>& s, const sub_expr<CI>* start, CI p) {
    const std::size_t base = s.stack->position();
    s.cur = p;
    const sub_expr<CI>* node = start;
    std::size_t unpaid = 0;
    for (;;) {
        ++unpaid;
        if (node->template step<Cstr>(s)) {
            node = s.next;
        } else {
            for (;;) {
                if (s.stack->position() == base) {
                    s.pay_steps(unpaid);
                    return false;
                }
                const sub_expr<CI>* back = s.stack->template pop<const sub_expr<CI>*>();
                ++unpaid;
                if (back->template restep<Cstr>(s)) {
                    node = s.next;
                    break;
                }
            }
            if (unpaid >= pay_interval) {
                s.pay_steps(unpaid);
                unpaid = 0;
            }
        }
        if (node == nullptr) {
            s.pay_steps(unpaid);
            return true;
        }
    }
}

}  // namespace regex::detail
