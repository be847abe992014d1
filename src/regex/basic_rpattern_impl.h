// Member definitions of the pattern classes: construction (parse, then
// analyse), the search entry points and set_replacement. Included only by
// the .cpp file that instantiates the engine.
//
// Tested by: tests/regex/searcher_test.cpp, tests/regex/parser_test.cpp.
#pragma once

#include <cctype>

#include "regex/basic_rpattern.h"
#include "regex/parser.h"
#include "regex/searcher.h"
#include "regex/substitution.h"

namespace regex {

template <class CI>
basic_rpattern_base_impl<CI>::basic_rpattern_base_impl(std::string pattern, unsigned flags, REGEX_MODE mode)
    : flags_(flags), mode_(mode), pattern_text(std::move(pattern)) {}

template <class CI>
basic_rpattern_base_impl<CI>::~basic_rpattern_base_impl() = default;

template <class CI>
bool basic_rpattern_base_impl<CI>::search(CI begin, CI end, bool cstr, basic_match_results<CI>& results) const {
    detail::searcher<CI> s(*this, begin, end, cstr);
    results.set_subject_begin(begin);
    auto& out = results.captures();
    const bool global = (flags_ & global_match) != 0;
    bool any = false;
    CI from = begin;
    for (;;) {
        if (!s.find(from)) break;
        if (!global) {
            s.visible(out, false);
            return true;
        }
        if (!any) out.clear();
        any = true;
        if (flags_ & collect_all_groups) {
            s.visible(out, true);
        } else if (flags_ & collect_whole_matches) {
            const auto& c = s.capture(0);
            out.emplace_back(c.first, c.second, true);
        } else {
            s.visible(out, false);
        }
        const auto& whole = s.capture(0);
        s.state().previous_empty = whole.first == whole.second;
        from = whole.second;
    }
    if (!any) {
        out.assign(capture_count, backref_tag<CI>{});
    }
    return any;
}

template <class CI>
basic_rpattern_base<CI>::basic_rpattern_base(std::string pattern, unsigned flags, REGEX_MODE mode)
    : basic_rpattern_base_impl<CI>(std::move(pattern), flags, mode) {
    detail::perl_compiler<CI>(*this).compile();
}

template <class CI>
basic_rpattern_base<CI>::~basic_rpattern_base() = default;

template <class CI>
basic_rpattern<CI>::basic_rpattern(std::string pattern, unsigned flags, REGEX_MODE mode)
    : basic_rpattern_base<CI>(std::move(pattern), flags, mode) {}

template <class CI>
basic_rpattern<CI>::basic_rpattern(std::string pattern, std::string subst, unsigned flags, REGEX_MODE mode)
    : basic_rpattern_base<CI>(std::move(pattern), flags, mode) {
    set_replacement(std::move(subst));
}

template <class CI>
basic_rpattern<CI>::~basic_rpattern() = default;

template <class CI>
void basic_rpattern<CI>::set_replacement(std::string subst) {
    if (this->flags_ & translate_escapes) subst = detail::translate_subst_escapes(subst);
    std::vector<detail::subst_piece> pieces;
    bool uses = detail::parse_subst(subst, this->capture_count, pieces);
    this->subst_text = std::move(subst);
    this->subst_pieces = std::move(pieces);
    this->subst_uses_groups = uses;
}

template <class CI>
backref_tag<CI> basic_rpattern<CI>::match(CI begin, CI end, basic_match_results<CI>& results) const {
    if (this->search(begin, end, false, results)) return results.backref(0);
    return backref_tag<CI>{};
}

template <class CI>
backref_tag<CI> basic_rpattern<CI>::match(
    const char* nul_terminated, basic_match_results<CI>& results) const requires std::is_same_v<CI, const char*> {
    // clang 14 instantiates constrained members on explicit instantiation
    // even when the constraint fails, so the body must compile for every CI.
    if constexpr (std::is_same_v<CI, const char*>) {
        if (this->search(nul_terminated, nul_terminated, true, results)) return results.backref(0);
    }
    return backref_tag<CI>{};
}

template <class CI>
backref_tag<CI> basic_rpattern<CI>::match(const std::string& subject, basic_match_results<CI>& results)
    const requires std::is_same_v<CI, std::string::const_iterator> {
    if constexpr (std::is_same_v<CI, std::string::const_iterator>) {
        return match(subject.cbegin(), subject.cend(), results);
    } else {
        return backref_tag<CI>{};
    }
}

}  // namespace regex
