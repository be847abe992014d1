// The parser of the Perl-style pattern syntax: turns a pattern text into the
// node graph of one basic_rpattern, with every error the syntax reports.
//
// How: recursive descent over the pattern copy with an index. A group parses
// alternatives until its ')' (or the end, for the outermost group); an
// alternative parses atoms into a sequence, each atom asked to wrap itself in
// a quantifier when one follows. Literal runs are compacted in place in the
// pattern copy (free-spacing mode drops whitespace and comments there), so
// literal nodes refer into it. What needs the whole pattern (backreference
// numbers, widths, anchoring, start sets) is left to pattern_analysis.
//
// Tested by: tests/regex/parser_test.cpp, tests/regex/perl_differential_test.cpp.
#pragma once

#include <cctype>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "regex/analysis.h"
#include "regex/basic_rpattern.h"
#include "regex/escapes.h"
#include "regex/perl_syntax.h"

namespace regex::detail {

template <class CI>
class perl_compiler {
public:
    perl_compiler(basic_rpattern_base_impl<CI>& p)
        : pat_(p), text_(p.pattern_text), n_(p.pattern_text.size()), flags_(p.flags_), arena_(p.node_arena) {}

    void compile();

private:
    struct sequence {
        sub_expr<CI>* head = nullptr;
        sub_expr<CI>* tail = nullptr;
        void add(sub_expr<CI>* node) {
            if (head == nullptr)
                head = node;
            else
                tail->next = node;
            tail = node;
        }
    };

    [[noreturn]] static void fail(const char* message) { throw bad_regexpr(message); }
    bool free() const { return (flags_ & free_spacing) != 0; }
    bool fold() const { return (flags_ & ignore_case) != 0; }

    void skip_ws() {
        if (!free()) return;
        for (;;) {
            while (i_ < n_ && std::isspace(uc(text_[i_]))) ++i_;
            if (i_ < n_ && text_[i_] == '#') {
                while (i_ < n_ && text_[i_] != '\n') ++i_;
                if (i_ < n_) ++i_;
                continue;
            }
            return;
        }
    }

    // Inside an extension opener only whitespace may be skipped: a '#' there
    // is the comment extension, not a comment.
    void skip_spaces() {
        if (!free()) return;
        while (i_ < n_ && std::isspace(uc(text_[i_]))) ++i_;
    }

    void parse_group(match_group_base<CI>* g, bool top, unsigned restore_flags);
    void parse_atom(sequence& seq);
    void parse_paren(sequence& seq);
    // What follows "(?": a group body still to parse, or nothing more
    // (a comment, a recursion, bare modifiers).
    enum class extension { group, lookahead, lookbehind, atomic, conditional, complete };
    extension read_extension(sequence& seq, bool& negative);
    // Applies the modifier letters at i_; true when a group body follows
    // (they ended at ':'), false for bare modifiers (they ended at ')').
    bool read_modifiers();
    void parse_conditional(sequence& seq, unsigned saved_flags);
    match_group_base<CI>* parse_lookaround(char kind, bool negative);
    // Every numbered group is made here at its '(': numbered in the order of
    // the parentheses, counted as a capture or listed as hidden, and
    // registered for the analysis.
    template <class G>
    G* open_group(bool capturing);
    // Parses the body of g up to its ')' and records the groups it encloses,
    // those numbered from first_nested on.
    void parse_body(match_group_base<CI>* g, unsigned saved_flags, unsigned first_nested);
    // parse_body, then g joins the sequence, quantified when a quantifier follows.
    void add_group(sequence& seq, match_group_base<CI>* g, unsigned saved_flags, unsigned first_nested);
    void parse_escape(sequence& seq);
    void literal_run(sequence& seq);
    void add_quantifiable(sequence& seq, sub_expr<CI>* atom, bool is_group = false);
    sub_expr<CI>* make_char(char c);
    sub_expr<CI>* make_literal(std::size_t start, std::size_t length);
    sub_expr<CI>* make_set(const charset* set, bool owned);
    // The anchors and the dot have a node type for each state of a flag.
    template <class IfSet, class IfClear>
    sub_expr<CI>* by_flag(unsigned flag) {
        if (flags_ & flag) return arena_.make<IfSet>();
        return arena_.make<IfClear>();
    }
    void register_group(match_group_base<CI>* g);
    void finish_group(match_group_base<CI>* g, std::vector<sub_expr<CI>*>& alts);

    basic_rpattern_base_impl<CI>& pat_;
    std::string& text_;
    std::size_t i_ = 0;
    std::size_t n_;
    unsigned flags_;
    arena_allocator& arena_;
    parse_facts<CI> facts_;
    bool at_pattern_start_ = true;
};

template <class CI>
void perl_compiler<CI>::register_group(match_group_base<CI>* g) {
    g->slot = pat_.slot_count++;
    if (g->number != no_group) {
        if (facts_.groups.size() <= g->number) facts_.groups.resize(g->number + 1, nullptr);
        facts_.groups[g->number] = g;
    }
}

template <class CI>
void perl_compiler<CI>::compile() {
    pat_.group_count = 0;
    pat_.capture_count = 0;
    auto* top = open_group<match_group<CI>>(true);
    pat_.top_group = top;
    skip_ws();
    if (i_ < n_ && text_[i_] == '?') fail("ill-formed regular expression");
    parse_group(top, true, flags_);
    top->set_nested_range(1, pat_.group_count - 1);
    top->next = arena_.make<end_of_pattern<CI>>();

    pattern_analysis<CI>::run(pat_, facts_);
}

template <class CI>
void perl_compiler<CI>::finish_group(match_group_base<CI>* g, std::vector<sub_expr<CI>*>& alts) {
    g->alternative_count = alts.size();
    g->alternatives = static_cast<const sub_expr<CI>**>(arena_.allocate(sizeof(sub_expr<CI>*) * alts.size()));
    for (std::size_t k = 0; k < alts.size(); ++k) g->alternatives[k] = alts[k];
    charset::bitmap first;
    if (g->alternatives_first(first)) {
        auto* stored = arena_.make<charset::bitmap>(first);
        g->first = stored;
    }
}

template <class CI>
void perl_compiler<CI>::parse_group(match_group_base<CI>* g, bool top, unsigned restore_flags) {
    std::vector<sub_expr<CI>*> alts;
    sequence seq;
    auto close = [&] {
        if (seq.head == nullptr) {
            alts.push_back(&g->end);
        } else {
            seq.tail->next = &g->end;
            alts.push_back(seq.head);
        }
        seq = sequence{};
    };
    for (;;) {
        skip_ws();
        if (i_ == n_) {
            if (!top) fail("mismatched parenthesis");
            break;
        }
        char c = text_[i_];
        if (c == ')') {
            if (top) fail("mismatched parenthesis");
            ++i_;
            break;
        }
        if (c == '|') {
            ++i_;
            close();
            at_pattern_start_ = false;
            continue;
        }
        parse_atom(seq);
        at_pattern_start_ = false;
    }
    close();
    finish_group(g, alts);
    flags_ = restore_flags;
}

template <class CI>
sub_expr<CI>* perl_compiler<CI>::make_char(char c) {
    if (fold() && std::tolower(uc(c)) != std::toupper(uc(c))) return arena_.make<match_char_t<CI, true>>(c);
    return arena_.make<match_char_t<CI, false>>(c);
}

template <class CI>
sub_expr<CI>* perl_compiler<CI>::make_literal(std::size_t start, std::size_t length) {
    if (length == 1) return make_char(text_[start]);
    if (fold()) {
        char* lower = static_cast<char*>(arena_.allocate(length));
        for (std::size_t k = 0; k < length; ++k) {
            lower[k] = static_cast<char>(std::tolower(uc(text_[start + k])));
            text_[start + k] = static_cast<char>(std::toupper(uc(text_[start + k])));
        }
        return arena_.make<match_literal_nocase_t<CI>>(lower, text_.data() + start, length);
    }
    return arena_.make<match_literal_t<CI>>(text_.data() + start, length);
}

template <class CI>
sub_expr<CI>* perl_compiler<CI>::make_set(const charset* set, bool owned) {
    if (fold()) return arena_.make<match_charset_t<CI, true>>(set, owned);
    return arena_.make<match_charset_t<CI, false>>(set, owned);
}

template <class CI>
void perl_compiler<CI>::add_quantifiable(sequence& seq, sub_expr<CI>* atom, bool is_group) {
    skip_ws();
    std::optional<quantifier_spec> q = perl_syntax::read_quantifier(text_, i_);
    if (!q) {
        seq.add(atom);
        return;
    }
    if (is_group && q->max > 16) pat_.fast_ok = false;
    sub_expr<CI>* node = atom->quantify(*q, arena_);
    // Every caller but the group ones passes an atom, and an atom quantifies
    // into an atom quantifier, a group into a group quantifier (a cast by
    // type name costs a compile more than all its other bookkeeping).
    if (is_group)
        facts_.group_quantifiers.push_back(static_cast<group_quantifier<CI>*>(node));
    else
        facts_.atom_quantifiers.push_back(static_cast<atom_quantifier<CI>*>(node));
    seq.add(node);
}

template <class CI>
void perl_compiler<CI>::parse_atom(sequence& seq) {
    const bool first_atom = at_pattern_start_;
    at_pattern_start_ = false;
    char c = text_[i_];
    switch (c) {
    case '(':
        ++i_;
        parse_paren(seq);
        return;
    case '^':
        ++i_;
        if (first_atom) facts_.first_token_caret = true;
        seq.add(by_flag<assert_op<CI, bol_t>, assert_op<CI, bos_t>>(multi_line));
        return;
    case '$':
        ++i_;
        seq.add(by_flag<assert_op<CI, eol_t>, assert_op<CI, peos_t>>(multi_line));
        return;
    case '.':
        ++i_;
        add_quantifiable(seq, by_flag<match_any_t<CI, eos_t>, match_any_t<CI, eol_t>>(single_line));
        return;
    case '[': {
        ++i_;
        const char* p = text_.data() + i_;
        charset* set = parse_bracket(p, text_.data() + n_, flags_, arena_);
        i_ = static_cast<std::size_t>(p - text_.data());
        add_quantifiable(seq, make_set(set, true));
        return;
    }
    case '\\': parse_escape(seq); return;
    case '*':
    case '+':
    case '?': fail("quantifier not expected");
    default: literal_run(seq); return;
    }
}

template <class CI>
void perl_compiler<CI>::literal_run(sequence& seq) {
    const std::size_t start = i_;
    std::size_t w = i_;
    std::size_t count = 0;
    for (;;) {
        if (count > 0) skip_ws();
        if (i_ == n_) break;
        char c = text_[i_];
        if (perl_syntax::is_token(c)) break;
        if (perl_syntax::is_quantifier_start(c) ||
            (c == '{' && count > 0 && perl_syntax::quantifier_follows(text_, i_))) {
            if (count == 0) fail("quantifier not expected");
            if (count > 1) seq.add(make_literal(start, count - 1));
            add_quantifiable(seq, make_char(text_[w - 1]));
            return;
        }
        text_[w++] = c;
        ++i_;
        ++count;
    }
    seq.add(make_literal(start, count));
}

template <class CI>
void perl_compiler<CI>::parse_escape(sequence& seq) {
    ++i_;  // the backslash
    if (i_ == n_) {
        add_quantifiable(seq, make_char('\\'));
        return;
    }
    const char c = text_[i_++];
    switch (c) {
    case 'A': seq.add(arena_.make<assert_op<CI, bos_t>>()); return;
    case 'Z': seq.add(arena_.make<assert_op<CI, peos_t>>()); return;
    case 'z': seq.add(arena_.make<assert_op<CI, eos_t>>()); return;
    case 'b': seq.add(arena_.make<word_assertion_t<CI>>(word_kind::word_boundary, true)); return;
    case 'B': seq.add(arena_.make<word_assertion_t<CI>>(word_kind::word_boundary, false)); return;
    case 'd':
    case 'D':
    case 's':
    case 'S':
    case 'w':
    case 'W': add_quantifiable(seq, make_set(intrinsic_charsets::get(c), false)); return;
    case 'Q': {
        std::size_t j = text_.find("\\E", i_);
        if (j == std::string::npos) j = n_;
        if (j > i_) seq.add(make_literal(i_, j - i_));
        i_ = j == n_ ? n_ : j + 2;
        return;
    }
    case 'E': fail("quotemeta turned off, but was never turned on");
    default: break;
    }
    if (c >= '1' && c <= '9') {
        std::size_t j = i_ - 1;
        unsigned v = 0;
        while (j < n_ && std::isdigit(uc(text_[j]))) {
            unsigned nv = v * 10 + static_cast<unsigned>(text_[j] - '0');
            if (nv > 999) break;
            v = nv;
            ++j;
        }
        if (v < 10 || v < pat_.group_count) {
            i_ = j;
            auto add = [&](auto* b) {
                b->visible_number = v;
                facts_.backrefs.push_back(b);
                add_quantifiable(seq, b);
            };
            if (fold())
                add(arena_.make<match_backref_t<CI, ch_neq_nocase_t>>());
            else
                add(arena_.make<match_backref_t<CI, ch_neq_t>>());
            return;
        }
    }
    const char* p = text_.data() + (i_ - 1);
    const escape_result e =
        decode_escape(p, text_.data() + n_, (flags_ & translate_escapes) != 0, escape_context::pattern);
    if (e.kind == escape_result::incomplete) fail("incomplete escape sequence \\c");
    if (e.kind == escape_result::character) {
        i_ = static_cast<std::size_t>(p - text_.data());
        add_quantifiable(seq, make_char(static_cast<char>(e.value)));
        return;
    }
    if (const charset* user = intrinsic_charsets::user_class(c, fold())) {
        add_quantifiable(seq, make_set(user, false));
        return;
    }
    add_quantifiable(seq, make_char(c));
}

template <class CI>
template <class G>
inline G* perl_compiler<CI>::open_group(bool capturing) {
    auto* g = arena_.make<G>();
    g->number = pat_.group_count++;
    if (capturing)
        ++pat_.capture_count;
    else
        pat_.hidden_groups.push_back(g->number);
    g->hidden = !capturing;
    register_group(g);
    return g;
}

template <class CI>
inline void perl_compiler<CI>::parse_body(match_group_base<CI>* g, unsigned saved_flags, unsigned first_nested) {
    parse_group(g, false, saved_flags);
    g->set_nested_range(first_nested, pat_.group_count - first_nested);
}

template <class CI>
inline void perl_compiler<CI>::add_group(sequence& seq, match_group_base<CI>* g, unsigned saved_flags,
                                         unsigned first_nested) {
    parse_body(g, saved_flags, first_nested);
    add_quantifiable(seq, g, true);
}

template <class CI>
match_group_base<CI>* perl_compiler<CI>::parse_lookaround(char kind, bool negative) {
    const unsigned saved_flags = flags_;
    match_group_base<CI>* g;
    if (kind == '=') {
        auto* la = arena_.make<lookahead_assertion<CI>>();
        la->positive = !negative;
        g = la;
    } else {
        auto* lb = arena_.make<lookbehind_assertion<CI>>();
        lb->positive = !negative;
        g = lb;
    }
    // Look-arounds take no number; the groups inside them do.
    register_group(g);
    parse_body(g, saved_flags, pat_.group_count);
    return g;
}

template <class CI>
void perl_compiler<CI>::parse_paren(sequence& seq) {
    const unsigned saved_flags = flags_;
    if (i_ == n_ || text_[i_] != '?') {
        auto* g = open_group<match_group<CI>>(true);
        add_group(seq, g, saved_flags, g->number + 1);
        return;
    }
    ++i_;
    bool negative = false;
    const extension kind = read_extension(seq, negative);
    if (kind == extension::complete) return;
    skip_ws();
    if (i_ == n_) fail("ill-formed regular expression");
    // A body that is empty matches the empty string: such a group is left
    // out, and its modifiers end with it. An empty negative look-around is
    // kept, since it never holds.
    if (text_[i_] == ')' && kind != extension::conditional && !negative) {
        ++i_;
        flags_ = saved_flags;
        return;
    }
    switch (kind) {
    case extension::group: {
        auto* g = open_group<match_group<CI>>(false);
        add_group(seq, g, saved_flags, g->number + 1);
        return;
    }
    case extension::atomic: {
        // It counts itself among the groups it encloses: failing as a whole,
        // it puts back its own capture too.
        auto* g = open_group<independent_group<CI>>(false);
        add_group(seq, g, saved_flags, g->number);
        return;
    }
    case extension::lookahead:
    case extension::lookbehind: seq.add(parse_lookaround(kind == extension::lookahead ? '=' : '<', negative)); return;
    case extension::conditional: parse_conditional(seq, saved_flags); return;
    case extension::complete: return;
    }
}

template <class CI>
typename perl_compiler<CI>::extension perl_compiler<CI>::read_extension(sequence& seq, bool& negative) {
    skip_spaces();
    if (i_ == n_) fail("ill-formed regular expression");
    char c = text_[i_++];
    switch (c) {
    case ':': return extension::group;
    case '=': return extension::lookahead;
    case '!': negative = true; return extension::lookahead;
    case '<':
        if (i_ == n_) fail("ill-formed regular expression");
        c = text_[i_++];
        if (c != '=' && c != '!') fail("bad extension sequence");
        negative = c == '!';
        return extension::lookbehind;
    case '>': return extension::atomic;
    case '#': {
        if (i_ == n_) fail("ill-formed regular expression");
        std::size_t close = text_.find(')', i_);
        if (close == std::string::npos) fail("Expecting end of comment");
        i_ = close + 1;
        return extension::complete;
    }
    case 'R':
        seq.add(arena_.make<match_recurse<CI>>());
        pat_.fast_ok = false;
        facts_.has_recursion = true;
        skip_spaces();
        if (i_ == n_) fail("ill-formed regular expression");
        if (text_[i_] != ')') fail("bad extension sequence");
        ++i_;
        return extension::complete;
    case '(': return extension::conditional;
    case 'i':
    case 'm':
    case 's':
    case 'x':
    case '-': --i_; return read_modifiers() ? extension::group : extension::complete;
    default: fail("bad extension sequence");
    }
}

template <class CI>
bool perl_compiler<CI>::read_modifiers() {
    bool minus = false;
    for (;;) {
        skip_spaces();
        if (i_ == n_) fail("ill-formed regular expression");
        char m = text_[i_];
        unsigned bit = 0;
        switch (m) {
        case 'i': bit = ignore_case; break;
        case 'm': bit = multi_line; break;
        case 's': bit = single_line; break;
        case 'x': bit = free_spacing; break;
        default: break;
        }
        if (bit != 0) {
            if (minus)
                flags_ &= ~bit;
            else
                flags_ |= bit;
            ++i_;
        } else if (m == '-') {
            if (minus) fail("bad extension sequence");
            minus = true;
            ++i_;
        } else if (m == ':' || m == ')') {
            break;
        } else {
            fail("bad extension sequence");
        }
    }
    // Bare modifiers hold to the end of the enclosing group.
    return text_[i_++] == ':';
}

template <class CI>
void perl_compiler<CI>::parse_conditional(sequence& seq, unsigned saved_flags) {
    auto* g = open_group<match_conditional<CI>>(false);
    if (std::isdigit(uc(text_[i_]))) {
        std::size_t v = 0;
        while (i_ < n_ && std::isdigit(uc(text_[i_]))) {
            v = std::min<std::size_t>(v * 10 + static_cast<std::size_t>(text_[i_] - '0'), 1u << 30);
            ++i_;
        }
        if (v == 0 || i_ == n_ || text_[i_] != ')') fail("bad extension sequence");
        ++i_;
        g->condition_visible = static_cast<unsigned>(v);
        facts_.conditionals.push_back(g);
    } else if (text_[i_] == '?' && i_ + 1 < n_ &&
               (text_[i_ + 1] == '=' || text_[i_ + 1] == '!' ||
                (text_[i_ + 1] == '<' && i_ + 2 < n_ && (text_[i_ + 2] == '=' || text_[i_ + 2] == '!')))) {
        ++i_;
        char k = text_[i_++];
        bool neg;
        if (k == '<') {
            neg = text_[i_++] == '!';
        } else {
            neg = k == '!';
            k = '=';
        }
        g->condition = static_cast<independent_group_base<CI>*>(parse_lookaround(k, neg));
    } else {
        fail("bad extension sequence");
    }
    // The groups of a look-around condition are among those it encloses.
    parse_body(g, saved_flags, g->number + 1);
    if (g->alternative_count > 2) fail("Too many alternates in conditional subexpression");
    add_quantifiable(seq, g, true);
}

}  // namespace regex::detail
