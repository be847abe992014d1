// Compiled patterns. The member functions are defined in
// basic_rpattern_impl.h and instantiated once for the two subject kinds, so
// users include only this declaration.
//
// Tested by: tests/regex/searcher_test.cpp, tests/regex/step_limit_test.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "regex/arena_allocator.h"
#include "regex/bad_regexpr.h"
#include "regex/flags.h"
#include "regex/match_results.h"
#include "regex/subst_piece.h"

namespace regex {

// The step budget of one search: a step is one choice tried by the recursive
// strategy (an alternative of several, a continuation an atom repeat tries
// after one of its counts, a group repeat's entry or iteration, an inner
// match of (?R)), or one step or retry of the explicit-stack strategy; a
// search is one call of match or regex_match, or one replacement of
// substitute, over all its start positions. The budget is the pattern's step
// limit plus an allowance (by default step_allowance_per_char) for every
// character of the subject, so
// that a search that does linear work never reaches it on however long a
// subject, while an exponential one stops after the fixed part. The default
// limit stops such a search within about a tenth of a second in every mode
// and is still hundreds of times what any of the program's patterns or the
// engine's test suites need on one subject.
inline constexpr std::size_t default_step_limit = 10'000'000;
inline constexpr std::size_t step_allowance_per_char = 64;
// No limit at all: the search may backtrack for as long as it takes.
inline constexpr std::size_t no_step_limit = static_cast<std::size_t>(-1);

namespace detail {
template <class CI>
class match_group_base;
template <class CI>
struct match_state;
struct start_set;
template <class CI>
class perl_compiler;
template <class CI>
class pattern_analysis;
template <class CI>
class searcher;
template <class CI>
struct substitution;
}  // namespace detail

template <class CI>
class basic_rpattern_base;
template <class CI>
class basic_rpattern;

template <class CI>
class basic_rpattern_base_impl {
public:
    virtual ~basic_rpattern_base_impl();
    basic_rpattern_base_impl(const basic_rpattern_base_impl&) = delete;
    basic_rpattern_base_impl& operator=(const basic_rpattern_base_impl&) = delete;

    unsigned flags() const { return flags_; }
    REGEX_MODE mode() const { return mode_; }
    std::size_t cgroups() const { return capture_count; }
    std::size_t get_min_width() const { return min_width; }
    std::size_t get_max_width() const { return max_width; }
    bool can_float_match() const { return can_float; }
    bool fast_ok_match() const { return fast_ok; }
    bool has_start_set() const { return static_cast<bool>(start_set_); }
    std::size_t group_total() const { return group_count; }
    const std::vector<unsigned>& hidden() const { return hidden_groups; }

    // The step budget of every later search with this pattern: `steps` (at
    // least 1; no_step_limit turns the budget off) plus `per_char` for every
    // character of the subject. A search that uses up its budget throws
    // step_limit_reached; one that finishes within it gives the same result
    // as one without.
    void set_step_limit(std::size_t steps, std::size_t per_char = step_allowance_per_char) {
        step_limit_ = steps == 0 ? 1 : steps;
        step_per_char_ = per_char;
    }
    std::size_t step_limit() const { return step_limit_; }
    std::size_t step_allowance() const { return step_per_char_; }

    // The arena that owns every node of this pattern.
    const detail::arena_allocator& arena() const { return node_arena; }

protected:
    basic_rpattern_base_impl(std::string pattern, unsigned flags, REGEX_MODE mode);

private:
    // The parser and the analysis build this state; the searcher and the
    // substitution read it; the two pattern classes built on this one
    // compile the pattern and install the replacement. A class derived from
    // those sees only the public interface.
    template <class>
    friend class basic_rpattern_base;
    template <class>
    friend class basic_rpattern;
    template <class>
    friend class detail::perl_compiler;
    template <class>
    friend class detail::pattern_analysis;
    template <class>
    friend class detail::searcher;
    template <class>
    friend struct detail::substitution;

    detail::arena_allocator node_arena;
    bool subst_uses_groups = false;
    bool can_float = true;
    bool fast_ok = true;
    unsigned group_count = 0;
    unsigned capture_count = 0;
    unsigned slot_count = 0;
    unsigned flags_;
    REGEX_MODE mode_;
    std::size_t min_width = static_cast<std::size_t>(-1);
    std::size_t max_width = static_cast<std::size_t>(-1);
    std::string pattern_text;
    std::string subst_text;
    std::vector<detail::subst_piece> subst_pieces;
    detail::match_group_base<CI>* top_group = nullptr;
    std::vector<unsigned> hidden_groups;
    std::unique_ptr<detail::start_set> start_set_;
    std::size_t step_limit_ = default_step_limit;
    std::size_t step_per_char_ = step_allowance_per_char;
    // Set when every match begins with a greedy unbounded repeat of one
    // character class (and there is no recursion): after a failed attempt the
    // search may resume past the end of that repeat. The class, one byte per
    // character: the scan over a run is the search's inner loop.
    bool leading_repeat = false;
    bool leading_char_table[256] = {};
    // The outermost group's first-character list, one byte per character,
    // for the scan between start positions; set when the group has a list.
    bool has_first_char_table = false;
    bool first_char_table[256] = {};

    // Runs the search (or, with global_match, all searches) over [begin, end)
    // or, when `cstr`, over the NUL-terminated text at begin.
    bool search(CI begin, CI end, bool cstr, basic_match_results<CI>& results) const;
};

template <class CI>
class basic_rpattern_base : public basic_rpattern_base_impl<CI> {
public:
    explicit basic_rpattern_base(std::string pattern, unsigned flags = NOFLAGS, REGEX_MODE mode = recursive_mode);
    ~basic_rpattern_base() override;
};

template <class CI>
class basic_rpattern : public basic_rpattern_base<CI> {
public:
    explicit basic_rpattern(std::string pattern, unsigned flags = NOFLAGS, REGEX_MODE mode = recursive_mode);
    basic_rpattern(std::string pattern, std::string subst, unsigned flags = NOFLAGS, REGEX_MODE mode = recursive_mode);
    ~basic_rpattern() override;

    void set_replacement(std::string subst);

    backref_tag<CI> match(CI begin, CI end, basic_match_results<CI>& results) const;
    backref_tag<CI> match(const char* nul_terminated,
                          basic_match_results<CI>& results) const requires std::is_same_v<CI, const char*>;
    backref_tag<CI> match(const std::string& subject, basic_match_results<CI>& results)
        const requires std::is_same_v<CI, std::string::const_iterator>;
};

// Replaces the first match (all with global_match) in `target`; returns the
// number of replacements.
template <class CI>
std::size_t substitute(basic_subst_results<CI>& results, const basic_rpattern<CI>& pattern, std::string& target);

using rpattern = basic_rpattern<std::string::const_iterator>;
using match_results = basic_match_results<std::string::const_iterator>;
using subst_results = basic_subst_results<std::string::const_iterator>;
using rpattern_c = basic_rpattern<const char*>;
using match_results_c = basic_match_results<const char*>;
using subst_results_c = basic_subst_results<const char*>;

extern template class basic_rpattern_base_impl<std::string::const_iterator>;
extern template class basic_rpattern_base_impl<const char*>;
extern template class basic_rpattern_base<std::string::const_iterator>;
extern template class basic_rpattern_base<const char*>;
extern template class basic_rpattern<std::string::const_iterator>;
extern template class basic_rpattern<const char*>;
extern template std::size_t substitute(basic_subst_results<std::string::const_iterator>&,
                                       const basic_rpattern<std::string::const_iterator>&, std::string&);
extern template std::size_t substitute(basic_subst_results<const char*>&, const basic_rpattern<const char*>&,
                                       std::string&);

}  // namespace regex
