// Zero-width assertions: the anchors (^ $ \A \Z \z, by line in multi-line
// mode) and the word tests (\b \B).
//
// How: each assertion defines `test` (does it hold at this position?);
// assertion_node turns that into the node steps (test, then the rest of the
// sequence at the same position; no choice to retry). Assertions report
// width 0 and pass the first-characters question on to their next node; the
// parser reads no quantifier after them.
//
// Tested by: tests/regex/searcher_test.cpp (anchor and word rows).
#pragma once

#include <type_traits>

#include "regex/atoms.h"

namespace regex::detail {

// What every zero-width node shares, look-arounds included.
template <class CI>
class assertion : public sub_expr<CI> {
public:
    bool is_assertion() const override { return true; }
    width_range width() override { return {0, 0}; }
    bool first_chars(charset::bitmap& out) const override { return this->next->first_chars(out); }
};

// Derived defines `template <bool Cstr> bool test(const match_state<CI>&, CI) const`.
template <class CI, class Derived>
class assertion_node : public single_choice_node<CI, assertion_node<CI, Derived>, assertion<CI>> {
public:
    template <bool Cstr>
    [[gnu::always_inline]] bool advance(const match_state<CI>& s, CI& p) const {
        return static_cast<const Derived&>(*this).template test<Cstr>(s, p);
    }
};

struct bos_t {};   // beginning of the subject
struct bol_t {};   // beginning of a line
struct peos_t {};  // end of the subject, or before a final newline
// eos_t (end of the subject) and eol_t (end of a line) are the dot's kinds.

template <class CI, class Kind>
class assert_op : public assertion_node<CI, assert_op<CI, Kind>> {
public:
    template <bool Cstr>
    bool test(const match_state<CI>& s, CI p) const {
        if constexpr (std::is_same_v<Kind, bos_t>) {
            return p == s.begin;
        } else if constexpr (std::is_same_v<Kind, eos_t>) {
            return at_end<Cstr>(s, p);
        } else if constexpr (std::is_same_v<Kind, bol_t>) {
            return p == s.begin || *(p - 1) == '\n';
        } else if constexpr (std::is_same_v<Kind, eol_t>) {
            return at_end<Cstr>(s, p) || *p == '\n';
        } else {
            static_assert(std::is_same_v<Kind, peos_t>);
            if (at_end<Cstr>(s, p)) return true;
            return *p == '\n' && at_end<Cstr>(s, p + 1);
        }
    }
    REGEX_NODE_DISPATCH(CI)
};

// word_start and word_stop have no syntax of their own; they are kept for
// callers that build nodes directly.
enum class word_kind { word_boundary, word_start, word_stop };

template <class CI>
class word_assertion_t : public assertion_node<CI, word_assertion_t<CI>> {
public:
    word_assertion_t(word_kind k, bool pos) : kind(k), positive(pos) {}

    template <bool Cstr>
    bool test(const match_state<CI>& s, CI p) const {
        const charset& w = *word;
        bool before = p != s.begin && w.contains(uc(*(p - 1)));
        bool after = !at_end<Cstr>(s, p) && w.contains(uc(*p));
        bool hit;
        switch (kind) {
        case word_kind::word_start: hit = !before && after; break;
        case word_kind::word_stop: hit = before && !after; break;
        default: hit = before != after; break;
        }
        return hit == positive;
    }
    REGEX_NODE_DISPATCH(CI)

private:
    word_kind kind;
    bool positive;
    // Looked up once here: the registry lookup is a search by letter.
    const charset* word = &intrinsic_charsets::word_set();
};

}  // namespace regex::detail
