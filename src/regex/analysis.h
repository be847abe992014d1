// Analysis and optimisation of a parsed pattern: backreference and condition
// numbers resolved, widths, the follow sets of atom quantifiers, anchoring
// (can_float), the Horspool start set of a literal prefix, and the leading
// greedy class repeat that lets the search skip start positions.
//
// How: the parser records what it built that needs a second look
// (parse_facts); pattern_analysis::run walks that and the node graph once
// the whole pattern is read, and stores its findings in the pattern. None of
// it changes what a pattern matches, only how fast a search finds it, apart
// from the checks that raise "reference to nonexistent group".
//
// Tested by: tests/regex/analysis_test.cpp, tests/regex/searcher_test.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "regex/basic_rpattern.h"
#include "regex/drivers.h"

namespace regex::detail {

// Literal text every match must begin with, located by a Horspool scan.
struct start_set {
    std::string text;  // lower case when `fold`
    bool fold = false;
    unsigned char skip[256];
};

template <class CI>
struct parse_facts {
    std::vector<match_group_base<CI>*> groups;  // numbered groups by number
    std::vector<backref_link<CI>*> backrefs;
    std::vector<match_conditional<CI>*> conditionals;
    std::vector<atom_quantifier<CI>*> atom_quantifiers;
    std::vector<group_quantifier<CI>*> group_quantifiers;
    bool first_token_caret = false;
    bool has_recursion = false;
};

template <class CI>
class pattern_analysis {
public:
    static void run(basic_rpattern_base_impl<CI>& pat, const parse_facts<CI>& facts) {
        pattern_analysis a(pat, facts);
        a.resolve_references();
        width_range w = pat.top_group->group_width();
        pat.min_width = w.min;
        pat.max_width = w.max;
        for (atom_quantifier<CI>* q : facts.atom_quantifiers) q->compute_follow();
        for (group_quantifier<CI>* q : facts.group_quantifiers) {
            q->compute_follow();
            q->find_fixed_body();
        }
        a.decide_anchoring();
        a.build_start_set();
        a.find_leading_repeat();
        a.tabulate_first_chars();
    }

    // The internal group number of visible group `visible`.
    static unsigned resolve(const basic_rpattern_base_impl<CI>& pat, unsigned visible) {
        unsigned internal = visible;
        for (unsigned h : pat.hidden_groups)
            if (h <= internal) ++internal;
        if (internal >= pat.group_count) throw bad_regexpr("reference to nonexistent group");
        return internal;
    }

private:
    pattern_analysis(basic_rpattern_base_impl<CI>& pat, const parse_facts<CI>& facts) : pat_(pat), facts_(facts) {}

    void resolve_references() {
        for (backref_link<CI>* b : facts_.backrefs) {
            b->group_number = resolve(pat_, b->visible_number);
            b->target = facts_.groups[b->group_number];
        }
        for (match_conditional<CI>* c : facts_.conditionals) c->condition_group = resolve(pat_, c->condition_visible);
    }

    // A pattern that must match at the subject start is tried there only.
    void decide_anchoring() {
        const match_group_base<CI>* top = pat_.top_group;
        const unsigned original_flags = pat_.flags_;
        if (!(original_flags & multi_line) && top->alternative_count == 1 && facts_.first_token_caret) {
            pat_.flags_ &= ~unsigned{rightmost};
            pat_.can_float = false;
        } else if (!(original_flags & rightmost) && (original_flags & single_line) && top->alternative_count == 1) {
            auto* q = dynamic_cast<const atom_quantifier<CI>*>(top->alternatives[0]);
            if (q != nullptr && q->max == unbounded && q->min <= 1 &&
                dynamic_cast<const match_any_t<CI, eos_t>*>(q->atom) != nullptr)
                pat_.can_float = false;
        }
    }

    void find_leading_repeat() {
        const match_group_base<CI>* top = pat_.top_group;
        if (facts_.has_recursion || !pat_.can_float || pat_.start_set_ || top->alternative_count != 1) return;
        const sub_expr<CI>* first = top->alternatives[0];
        const bool greedy_class =
            dynamic_cast<const max_atom_quantifier<CI, match_charset_t<CI, false>>*>(first) != nullptr ||
            dynamic_cast<const max_atom_quantifier<CI, match_charset_t<CI, true>>*>(first) != nullptr ||
            dynamic_cast<const max_atom_quantifier<CI, match_char_t<CI, false>>*>(first) != nullptr ||
            dynamic_cast<const max_atom_quantifier<CI, match_char_t<CI, true>>*>(first) != nullptr ||
            dynamic_cast<const max_atom_quantifier<CI, match_any_t<CI, eol_t>>*>(first) != nullptr ||
            dynamic_cast<const max_atom_quantifier<CI, match_any_t<CI, eos_t>>*>(first) != nullptr;
        if (!greedy_class) return;
        auto* q = static_cast<const atom_quantifier<CI>*>(first);
        charset::bitmap set;
        if (q->max != unbounded || !q->atom->first_chars(set)) return;
        pat_.leading_repeat = true;
        tabulate(set, pat_.leading_char_table);
    }

    void tabulate_first_chars() {
        const charset::bitmap* first = pat_.top_group->first;
        if (first == nullptr) return;
        pat_.has_first_char_table = true;
        tabulate(*first, pat_.first_char_table);
    }
    // Marks the members of `set` in a table that starts out all false; by
    // set bits, so that a small set costs a compile little.
    static void tabulate(const charset::bitmap& set, bool (&table)[256]) {
        for (unsigned k = 0; k < 4; ++k)
            for (std::uint64_t w = set.words[k]; w != 0; w &= w - 1)
                table[k * 64 + static_cast<unsigned>(__builtin_ctzll(w))] = true;
    }

    void build_start_set() {
        if (!pat_.can_float) return;
        const match_group_base<CI>* g = pat_.top_group;
        if (g->alternative_count != 1) return;
        std::string prefix;
        int folded = -1;  // unknown until the first piece
        for (const sub_expr<CI>* n = g->alternatives[0]; n != nullptr && prefix.size() < 255; n = n->next_node()) {
            std::string piece;
            int f;
            if (auto* c = dynamic_cast<const match_char_t<CI, false>*>(n)) {
                piece.assign(1, c->forms[0]);
                f = 0;
            } else if (auto* cn = dynamic_cast<const match_char_t<CI, true>*>(n)) {
                piece.assign(1, cn->forms[0]);
                f = 1;
            } else if (auto* l = dynamic_cast<const match_literal_t<CI>*>(n)) {
                piece.assign(l->text, l->length);
                f = 0;
            } else if (auto* ln = dynamic_cast<const match_literal_nocase_t<CI>*>(n)) {
                piece.assign(ln->lower, ln->length);
                f = 1;
            } else {
                break;
            }
            // A case-sensitive piece among folded ones still narrows correctly
            // only if it has no letters; keep it simple and stop at a change.
            if (folded != -1 && f != folded) break;
            folded = f;
            prefix += piece;
        }
        if (prefix.empty()) return;
        if (prefix.size() > 255) prefix.resize(255);
        auto set = std::make_unique<start_set>();
        set->fold = folded == 1;
        set->text = prefix;
        const std::size_t m = prefix.size();
        for (unsigned c = 0; c < 256; ++c) set->skip[c] = static_cast<unsigned char>(m);
        for (std::size_t k = 0; k + 1 < m; ++k) {
            unsigned char ch = uc(prefix[k]);
            unsigned char d = static_cast<unsigned char>(m - 1 - k);
            set->skip[ch] = d;
            if (set->fold) set->skip[uc(static_cast<char>(std::toupper(ch)))] = d;
        }
        pat_.start_set_ = std::move(set);
    }

    basic_rpattern_base_impl<CI>& pat_;
    const parse_facts<CI>& facts_;
};

}  // namespace regex::detail
