// Atoms: the nodes that match one occurrence of something of known width at
// the current position (a character, a literal text, a character set, the
// dot, a backreference).
//
// How: each atom defines `one` (match one occurrence and advance) and the
// width of an occurrence; atom_base turns that into the node steps (one
// occurrence, then the rest of the sequence; no choice to retry) and into
// match_one, which the atom quantifiers use to count occurrences instead of
// recursing once per occurrence.
//
// Every atom answers the same two questions (`one` and first_chars), so the
// classes below share their outline; what differs is the comparison.
//
// Tested by: tests/regex/searcher_test.cpp (atom rows), tests/regex/outside_suites_test.cpp.
#pragma once

#include <cctype>
#include <cstring>
#include <type_traits>

#include "regex/arena_allocator.h"
#include "regex/bad_regexpr.h"
#include "regex/sub_expr.h"

namespace regex::detail {

inline unsigned char uc(char c) { return static_cast<unsigned char>(c); }

// A node with no choice to retry: Derived's `advance` either holds at the
// position (moving it past what it consumed) or fails, and matching goes on
// with the next node. Atoms advance by one occurrence, assertions by
// nothing.
template <class CI, class Derived, class Base = sub_expr<CI>>
class single_choice_node : public Base {
public:
    template <bool Cstr>
    bool match(match_state<CI>& s, CI p) const {
        if (!self().template advance<Cstr>(s, p)) return false;
        return this->next->template match<Cstr>(s, p);
    }
    template <bool Cstr>
    bool step(match_state<CI>& s) const {
        if (!self().template advance<Cstr>(s, s.cur)) return false;
        s.next = this->next;
        return true;
    }
    template <bool Cstr>
    bool restep(match_state<CI>&) const {
        return false;
    }

private:
    const Derived& self() const { return static_cast<const Derived&>(*this); }
};

// Derived defines `template <bool Cstr> bool one(const match_state<CI>&, CI&)`
// and either `fixed_width()` or its own `occurrence_width` and `atom_width`.
template <class CI, class Derived>
class atom_base : public single_choice_node<CI, atom_base<CI, Derived>> {
public:
    template <bool Cstr>
    [[gnu::always_inline]] bool advance(const match_state<CI>& s, CI& p) const {
        return self().template one<Cstr>(s, p);
    }
    // Width of one occurrence while a quantifier loops over this atom.
    template <bool Cstr>
    std::size_t occurrence_width(const match_state<CI>&) const {
        return self().fixed_width();
    }
    width_range atom_width() const {
        const std::size_t w = self().fixed_width();
        return {w, w};
    }
    bool match_one(match_state<CI>& s, CI& p) const override { return self().template one<false>(s, p); }
    bool match_one_cstr(match_state<CI>& s, CI& p) const override { return self().template one<true>(s, p); }
    bool is_fixed_atom() const override { return true; }
    width_range width() override { return self().atom_width(); }
    // Defined with the quantifiers.
    sub_expr<CI>* quantify(const quantifier_spec& q, arena_allocator& arena) override;

private:
    const Derived& self() const { return static_cast<const Derived&>(*this); }
};

// One character; the folding variant holds both case forms.
template <class CI, bool Nocase>
class match_char_t : public atom_base<CI, match_char_t<CI, Nocase>> {
public:
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

private:
    // The analysis reads literal prefixes for the start set.
    template <class>
    friend class pattern_analysis;

    char forms[2];
};

// A run of characters; refers into the pattern copy.
template <class CI>
class match_literal_t : public atom_base<CI, match_literal_t<CI>> {
public:
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

private:
    template <class>
    friend class pattern_analysis;

    const char* text;
    std::size_t length;
};

// Case-folding literal: `lower` is an arena copy in lower case, `upper` the
// stretch of the pattern copy turned to upper case.
template <class CI>
class match_literal_nocase_t : public atom_base<CI, match_literal_nocase_t<CI>> {
public:
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

private:
    template <class>
    friend class pattern_analysis;

    const char* lower;
    const char* upper;
    std::size_t length;
};

// Over a shared built-in set or a bracket set owned by the pattern's arena;
// case folding is already in the set, so both variants match alike.
template <class CI, bool Nocase>
class match_charset_t : public atom_base<CI, match_charset_t<CI, Nocase>> {
public:
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

private:
    const charset* set;
    // A bracket set in the pattern's arena rather than a shared built-in
    // one; the arena releases it, so nothing reads this but a debugger.
    [[maybe_unused]] bool owns;
};

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

// What the parser and the analysis know of a backreference, whatever its
// comparison: the number written and the group it resolves to.
template <class CI>
class backref_link {
protected:
    // The parser writes the number, the analysis resolves it.
    template <class>
    friend class perl_compiler;
    template <class>
    friend class pattern_analysis;

    unsigned visible_number = 0;
    unsigned group_number = 0;       // internal number, resolved after parsing
    sub_expr<CI>* target = nullptr;  // the referenced group, for its width
};

struct ch_neq_t {};
struct ch_neq_nocase_t {};

// A backreference is an atom whose occurrence is the referenced capture as
// it stands in this search; its width is the referenced group's.
template <class CI, class Compare>
class match_backref_t : public atom_base<CI, match_backref_t<CI, Compare>>, public backref_link<CI> {
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
    // An unmatched group makes every occurrence fail; 1 keeps a quantifier
    // from taking that for an empty occurrence.
    template <bool Cstr>
    std::size_t occurrence_width(const match_state<CI>& s) const {
        const capture_record<CI>& c = s.captures[this->group_number];
        return c.matched ? static_cast<std::size_t>(c.second - c.first) : 1;
    }
    width_range atom_width() const { return this->target->width(); }
    // Its width is the capture's, which changes during a search.
    bool is_fixed_atom() const override { return false; }
    REGEX_NODE_DISPATCH(CI)
};

}  // namespace regex::detail
