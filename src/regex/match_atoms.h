// Nodes that match one character, a literal text, a set, a backreference or
// a zero-width assertion, and the quantifiers that repeat the fixed-width ones
// by counting instead of recursing once per occurrence.
#pragma once

#include <cctype>
#include <cstring>

#include "regex/arena_allocator.h"
#include "regex/bad_regexpr.h"
#include "regex/sub_expr.h"

namespace regex::detail {

template <class CI>
sub_expr<CI>* sub_expr<CI>::quantify(const quantifier_spec&, arena_allocator&) {
    throw bad_regexpr("sub-expression cannot be quantified");
}

template <class CI>
sub_expr<CI>* indestructable_sub_expr<CI>::quantify(const quantifier_spec&, arena_allocator&) {
    throw bad_regexpr("sub-expression cannot be quantified");
}

inline unsigned char uc(char c) { return static_cast<unsigned char>(c); }

template <class CI>
class match_wrapper : public sub_expr<CI> {};

template <class CI>
class match_quantifier : public match_wrapper<CI> {
public:
    std::size_t min = 0;
    std::size_t max = unbounded;
};

template <class CI>
class atom_quantifier : public match_quantifier<CI> {
public:
    const sub_expr<CI>* atom = nullptr;
    // Characters the continuation can begin with, when it can tell; lets a
    // backing-off loop skip positions where the rest cannot start.
    charset::bitmap follow;
    bool has_follow = false;

    void compute_follow() {
        if (this->next != nullptr) has_follow = this->next->first_chars(follow);
    }
    template <bool Cstr>
    bool follow_ok(const match_state<CI>& s, CI p) const {
        return !has_follow || (!at_end<Cstr>(s, p) && follow.test(uc(*p)));
    }
    // Where a backing-off or extending loop stands.
    struct loop_record {
        CI q;
        std::size_t n;
        std::size_t w;
    };
    width_range width() override;
    bool first_chars(charset::bitmap& out) const override {
        if (this->min > 0) return atom->first_chars(out);
        return atom->first_chars(out) && this->next->first_chars(out);
    }
};

// Width of one occurrence while a quantifier loops; a backreference's width
// is fixed for the whole loop.
template <class CI, class Atom>
class max_atom_quantifier : public atom_quantifier<CI> {
public:
    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        const Atom* a = static_cast<const Atom*>(this->atom);
        std::size_t n = 0;
        CI q = p;
        const std::size_t w = a->template occurrence_width<Cstr>(s);
        if (w == 0) {
            // Empty occurrences: any count at this place is the same match.
            if (this->max != 0 && !a->template one<Cstr>(s, q)) return this->min == 0 && this->next->template match<Cstr>(s, p);
            return this->next->template match<Cstr>(s, p);
        }
        while (n < this->max && a->template one<Cstr>(s, q)) ++n;
        if (n < this->min) return false;
        for (;;) {
            if (this->template follow_ok<Cstr>(s, q) && this->next->template match<Cstr>(s, q)) return true;
            if (n == this->min) return false;
            --n;
            q -= static_cast<std::ptrdiff_t>(w);
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
        while (n < this->max && a->template one<Cstr>(s, q)) ++n;
        if (n < this->min) return false;
        while (!this->template follow_ok<Cstr>(s, q)) {
            if (n == this->min) return false;
            --n;
            q -= static_cast<std::ptrdiff_t>(w);
        }
        if (n > this->min) {
            s.stack->push(typename atom_quantifier<CI>::loop_record{q, n, w});
            push_node<CI>(s, this);
        }
        s.cur = q;
        s.next = this->next;
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>& s) const {
        auto r = s.stack->template pop<typename atom_quantifier<CI>::loop_record>();
        do {
            if (r.n == this->min) return false;
            --r.n;
            r.q -= static_cast<std::ptrdiff_t>(r.w);
        } while (!this->template follow_ok<Cstr>(s, r.q));
        if (r.n > this->min) {
            s.stack->push(r);
            push_node<CI>(s, this);
        }
        s.cur = r.q;
        s.next = this->next;
        return true;
    }
    REGEX_NODE_DISPATCH(CI)
};

template <class CI, class Atom>
class min_atom_quantifier : public atom_quantifier<CI> {
public:
    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        const Atom* a = static_cast<const Atom*>(this->atom);
        std::size_t n = 0;
        CI q = p;
        const std::size_t w = a->template occurrence_width<Cstr>(s);
        if (w == 0) {
            if (this->min != 0 && !a->template one<Cstr>(s, q)) return false;
            return this->next->template match<Cstr>(s, p);
        }
        for (; n < this->min; ++n)
            if (!a->template one<Cstr>(s, q)) return false;
        for (;;) {
            if (this->template follow_ok<Cstr>(s, q) && this->next->template match<Cstr>(s, q)) return true;
            if (n == this->max || !a->template one<Cstr>(s, q)) return false;
            ++n;
        }
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        const Atom* a = static_cast<const Atom*>(this->atom);
        const std::size_t w = a->template occurrence_width<Cstr>(s);
        CI q = s.cur;
        if (w == 0) {
            s.next = this->next;
            return true;
        }
        std::size_t n = 0;
        for (; n < this->min; ++n)
            if (!a->template one<Cstr>(s, q)) return false;
        while (!this->template follow_ok<Cstr>(s, q)) {
            if (n == this->max || !a->template one<Cstr>(s, q)) return false;
            ++n;
        }
        s.stack->push(typename atom_quantifier<CI>::loop_record{q, n, w});
        push_node<CI>(s, this);
        s.cur = q;
        s.next = this->next;
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>& s) const {
        const Atom* a = static_cast<const Atom*>(this->atom);
        auto r = s.stack->template pop<typename atom_quantifier<CI>::loop_record>();
        do {
            if (r.n == this->max || !a->template one<Cstr>(s, r.q)) return false;
            ++r.n;
        } while (!this->template follow_ok<Cstr>(s, r.q));
        s.stack->push(r);
        push_node<CI>(s, this);
        s.cur = r.q;
        s.next = this->next;
        return true;
    }
    REGEX_NODE_DISPATCH(CI)
};

// Shared by the fixed-width atoms: matching is one occurrence then the rest.
template <class CI, class Derived>
class atom_base : public sub_expr<CI> {
public:
    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        if (!static_cast<const Derived*>(this)->template one<Cstr>(s, p)) return false;
        return this->next->template match<Cstr>(s, p);
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        if (!static_cast<const Derived*>(this)->template one<Cstr>(s, s.cur)) return false;
        s.next = this->next;
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>&) const {
        return false;
    }
    template <bool Cstr>
    std::size_t occurrence_width(const match_state<CI>&) const {
        return static_cast<const Derived*>(this)->fixed_width();
    }
    bool match_one(match_state<CI>& s, CI& p) const override {
        return static_cast<const Derived*>(this)->template one<false>(s, p);
    }
    bool match_one_cstr(match_state<CI>& s, CI& p) const override {
        return static_cast<const Derived*>(this)->template one<true>(s, p);
    }
    width_range width() override {
        std::size_t w = static_cast<const Derived*>(this)->fixed_width();
        return {w, w};
    }
    sub_expr<CI>* quantify(const quantifier_spec& q, arena_allocator& arena) override {
        atom_quantifier<CI>* node;
        if (q.greedy)
            node = arena.make<max_atom_quantifier<CI, Derived>>();
        else
            node = arena.make<min_atom_quantifier<CI, Derived>>();
        node->min = q.min;
        node->max = q.max;
        node->atom = this;
        return node;
    }
};

template <class CI>
width_range atom_quantifier<CI>::width() {
    width_range a = const_cast<sub_expr<CI>*>(atom)->width();
    return {mul_width(a.min, this->min), mul_width(a.max, this->max)};
}

template <class CI>
class match_char : public sub_expr<CI> {};

// One character; the folding variant holds both case forms.
template <class CI, bool Nocase>
class match_char_t : public atom_base<CI, match_char_t<CI, Nocase>> {
public:
    char forms[2];
    explicit match_char_t(char c) {
        forms[0] = c;
        forms[1] = c;
        if constexpr (Nocase) {
            forms[0] = static_cast<char>(std::tolower(uc(c)));
            forms[1] = static_cast<char>(std::toupper(uc(c)));
        }
    }
    std::size_t fixed_width() const { return 1; }
    template <bool Cstr>
    [[gnu::always_inline]] bool one(const match_state<CI>& s, CI& p) const {
        if (at_end<Cstr>(s, p)) return false;
        char c = *p;
        if (c != forms[0] && (!Nocase || c != forms[1])) return false;
        ++p;
        return true;
    }
    bool first_chars(charset::bitmap& out) const override {
        out.set(uc(forms[0]));
        out.set(uc(forms[1]));
        return true;
    }
    REGEX_NODE_DISPATCH(CI)
};

template <class CI>
class match_literal : public sub_expr<CI> {};

// A run of characters; refers into the pattern copy.
template <class CI>
class match_literal_t : public atom_base<CI, match_literal_t<CI>> {
public:
    const char* text;
    std::size_t length;
    match_literal_t(const char* t, std::size_t n) : text(t), length(n) {}
    std::size_t fixed_width() const { return length; }
    template <bool Cstr>
    bool one(const match_state<CI>& s, CI& p) const {
        if constexpr (!Cstr) {
            if (static_cast<std::size_t>(s.end - p) < length) return false;
            for (std::size_t i = 0; i < length; ++i)
                if (p[static_cast<std::ptrdiff_t>(i)] != text[i]) return false;
            p += static_cast<std::ptrdiff_t>(length);
            return true;
        } else {
            CI q = p;
            for (std::size_t i = 0; i < length; ++i, ++q)
                if (*q == '\0' || *q != text[i]) return false;
            p = q;
            return true;
        }
    }
    bool first_chars(charset::bitmap& out) const override {
        out.set(uc(text[0]));
        return true;
    }
    REGEX_NODE_DISPATCH(CI)
};

// Case-folding literal: `lower` is an arena copy in lower case, `upper` the
// stretch of the pattern copy turned to upper case.
template <class CI>
class match_literal_nocase_t : public atom_base<CI, match_literal_nocase_t<CI>> {
public:
    const char* lower;
    const char* upper;
    std::size_t length;
    match_literal_nocase_t(const char* lo, const char* up, std::size_t n) : lower(lo), upper(up), length(n) {}
    std::size_t fixed_width() const { return length; }
    template <bool Cstr>
    bool one(const match_state<CI>& s, CI& p) const {
        if constexpr (!Cstr) {
            if (static_cast<std::size_t>(s.end - p) < length) return false;
        }
        CI q = p;
        for (std::size_t i = 0; i < length; ++i, ++q) {
            if constexpr (Cstr)
                if (*q == '\0') return false;
            char c = *q;
            if (c != lower[i] && c != upper[i]) return false;
        }
        p = q;
        return true;
    }
    bool first_chars(charset::bitmap& out) const override {
        out.set(uc(lower[0]));
        out.set(uc(upper[0]));
        return true;
    }
    REGEX_NODE_DISPATCH(CI)
};

template <class CI>
class match_charset : public sub_expr<CI> {};

// Over a shared built-in set or a bracket set owned by the pattern's arena;
// case folding is already in the set, so both variants match alike.
template <class CI, bool Nocase>
class match_charset_t : public atom_base<CI, match_charset_t<CI, Nocase>> {
public:
    const charset* set;
    bool owns;
    match_charset_t(const charset* cs, bool owned) : set(cs), owns(owned) {}
    std::size_t fixed_width() const { return 1; }
    template <bool Cstr>
    [[gnu::always_inline]] bool one(const match_state<CI>& s, CI& p) const {
        if (at_end<Cstr>(s, p) || !set->contains(uc(*p))) return false;
        ++p;
        return true;
    }
    bool first_chars(charset::bitmap& out) const override {
        out |= set->members;
        return true;
    }
    REGEX_NODE_DISPATCH(CI)
};

template <class CI>
class match_any : public sub_expr<CI> {};

struct eol_t {};  // any character but a newline
struct eos_t {};  // any character at all

template <class CI, class Kind>
class match_any_t : public atom_base<CI, match_any_t<CI, Kind>> {
public:
    std::size_t fixed_width() const { return 1; }
    template <bool Cstr>
    [[gnu::always_inline]] bool one(const match_state<CI>& s, CI& p) const {
        if (at_end<Cstr>(s, p)) return false;
        if constexpr (std::is_same_v<Kind, eol_t>)
            if (*p == '\n') return false;
        ++p;
        return true;
    }
    bool first_chars(charset::bitmap& out) const override {
        for (unsigned c = 0; c < 256; ++c)
            if (std::is_same_v<Kind, eos_t> || c != '\n') out.set(static_cast<unsigned char>(c));
        return true;
    }
    REGEX_NODE_DISPATCH(CI)
};

template <class CI>
class match_backref : public sub_expr<CI> {
public:
    unsigned visible_number = 0;
    unsigned group_number = 0;  // internal number, resolved after parsing
    sub_expr<CI>* target = nullptr;  // the referenced group, for its width
};

struct ch_neq_t {};
struct ch_neq_nocase_t {};

template <class CI, class Compare>
class match_backref_t : public match_backref<CI> {
public:
    static constexpr bool nocase = std::is_same_v<Compare, ch_neq_nocase_t>;

    template <bool Cstr>
    bool one(const match_state<CI>& s, CI& p) const {
        const capture_record<CI>& c = s.captures[this->group_number];
        if (!c.matched) return false;
        CI q = p;
        for (CI r = c.first; r != c.second; ++r, ++q) {
            if (at_end<Cstr>(s, q)) return false;
            if (*q != *r) {
                if (!nocase || std::tolower(uc(*q)) != std::tolower(uc(*r))) return false;
            }
        }
        p = q;
        return true;
    }
    template <bool Cstr>
    std::size_t occurrence_width(const match_state<CI>& s) const {
        const capture_record<CI>& c = s.captures[this->group_number];
        return c.matched ? static_cast<std::size_t>(c.second - c.first) : 1;
    }
    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        if (!one<Cstr>(s, p)) return false;
        return this->next->template match<Cstr>(s, p);
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        if (!one<Cstr>(s, s.cur)) return false;
        s.next = this->next;
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>&) const {
        return false;
    }
    bool match_one(match_state<CI>& s, CI& p) const override { return one<false>(s, p); }
    bool match_one_cstr(match_state<CI>& s, CI& p) const override { return one<true>(s, p); }
    width_range width() override { return this->target->width(); }
    sub_expr<CI>* quantify(const quantifier_spec& q, arena_allocator& arena) override {
        atom_quantifier<CI>* node;
        if (q.greedy)
            node = arena.make<max_atom_quantifier<CI, match_backref_t>>();
        else
            node = arena.make<min_atom_quantifier<CI, match_backref_t>>();
        node->min = q.min;
        node->max = q.max;
        node->atom = this;
        return node;
    }
    REGEX_NODE_DISPATCH(CI)
};

// Zero-width tests. The compiler never reads a quantifier after them.
template <class CI>
class assertion : public sub_expr<CI> {
public:
    bool is_assertion() const override { return true; }
    width_range width() override { return {0, 0}; }
    bool first_chars(charset::bitmap& out) const override { return this->next->first_chars(out); }
};

struct bos_t {};
struct bol_t {};
struct peos_t {};

template <class CI, class Kind>
class assert_op : public assertion<CI> {
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
    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        return test<Cstr>(s, p) && this->next->template match<Cstr>(s, p);
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        if (!test<Cstr>(s, s.cur)) return false;
        s.next = this->next;
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>&) const {
        return false;
    }
    REGEX_NODE_DISPATCH(CI)
};

enum class word_kind { word_boundary, word_start, word_stop };

template <class CI>
class word_assertion_t : public assertion<CI> {
public:
    word_kind kind;
    bool positive;
    word_assertion_t(word_kind k, bool pos) : kind(k), positive(pos) {}

    template <bool Cstr>
    bool test(const match_state<CI>& s, CI p) const {
        const charset& w = intrinsic_charsets::word_set();
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
    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        return test<Cstr>(s, p) && this->next->template match<Cstr>(s, p);
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        if (!test<Cstr>(s, s.cur)) return false;
        s.next = this->next;
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>&) const {
        return false;
    }
    REGEX_NODE_DISPATCH(CI)
};

}  // namespace regex::detail
