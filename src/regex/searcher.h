// The search over start positions, shared by match(), regex_match and
// substitute(), which repeat it for global matching.
//
// How: a searcher owns the captures and the match state of one search. It
// skips start positions that cannot begin a match (shorter than the minimum
// width, outside the first-character list, between Horspool candidates of
// the literal prefix, or inside the run a leading greedy class repeat just
// covered), and runs one attempt per remaining position with the driver the
// pattern's mode selects (drivers.h). Every search gets its step budget.
//
// Tested by: tests/regex/searcher_test.cpp, tests/regex/drivers_test.cpp, tests/regex/step_limit_test.cpp.
#pragma once

#include <memory>
#include <vector>

#include "regex/analysis.h"
#include "regex/basic_rpattern.h"
#include "regex/drivers.h"

namespace regex::detail {

template <class CI>
class searcher {
public:
    searcher(const basic_rpattern_base_impl<CI>& pat, CI begin, CI end, bool cstr)
        : pat_(pat), cstr_(cstr), captures_(pat.group_count) {
        s_.begin = begin;
        s_.end = end;
        s_.captures = captures_.data();
        s_.capture_count = captures_.size();
        s_.top = pat.top_group;
        s_.search_start = begin;
        s_.group_scratch.resize(pat.slot_count);
        use_stack_ = pat.mode_ == stack_mode || (pat.mode_ == adaptive_mode && !pat.fast_ok);
    }

    match_state<CI>& state() { return s_; }
    const capture_record<CI>& capture(unsigned internal) const { return captures_[internal]; }

    // Moves the subject (in-place substitution edits it between searches).
    void rebase(CI begin, CI end) {
        s_.begin = begin;
        s_.end = end;
        subject_length_ = no_step_limit;
    }

    // One search from `from`; on success the captures hold the match.
    bool find(CI from) {
        for (auto& c : captures_) c = capture_record<CI>{};
        s_.search_start = from;
        s_.steps_left = s_.step_limit = step_budget();
        // A failed attempt leaves the explicit stack empty again, so only
        // the records of an earlier search's match are left to drop here.
        if (stack_) stack_->unwind(0);
        // Every attempt starts from a frame of this one, a few hundred
        // bytes further down at most: one floor serves them all.
        const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
        if (stack_budget_ == 0) stack_budget_ = recursion_stack_budget(here);
        floor_ = here > stack_budget_ ? here - stack_budget_ : 0;
        return cstr_ ? find_from<true>(from) : find_from<false>(from);
    }

    // The captures a caller sees: hidden groups dropped.
    void visible(std::vector<backref_tag<CI>>& out, bool append) const {
        if (!append) out.clear();
        std::size_t h = 0;
        const auto& hidden = pat_.hidden_groups;
        for (unsigned g = 0; g < captures_.size(); ++g) {
            if (h < hidden.size() && hidden[h] == g) {
                ++h;
                continue;
            }
            const capture_record<CI>& c = captures_[g];
            if (c.matched)
                out.emplace_back(c.first, c.second, true);
            else
                out.emplace_back(CI{}, CI{}, false);
        }
    }

private:
    std::size_t step_budget() {
        const std::size_t limit = pat_.step_limit_;
        if (limit == no_step_limit) return limit;
        if (subject_length_ == no_step_limit) {
            subject_length_ = 0;
            if (cstr_)
                for (CI p = s_.begin; *p != '\0'; ++p) ++subject_length_;
            else
                subject_length_ = static_cast<std::size_t>(s_.end - s_.begin);
        }
        const std::size_t per_char = pat_.step_per_char_;
        const std::size_t room = no_step_limit - limit;
        const std::size_t allowance =
            per_char != 0 && subject_length_ > room / per_char ? room : subject_length_ * per_char;
        return limit + allowance;
    }

    template <bool Cstr>
    bool attempt(CI p) {
        s_.saved.clear();
        s_.recurse_depth = 0;
        if (use_stack_) return stack_attempt<Cstr>(p);
        s_.stack_floor = floor_;
        try {
            return run_recursive<Cstr>(s_, p);
        } catch (const depth_exceeded&) {
            // Unwinding skipped the restores; start the attempt afresh.
            for (auto& c : captures_) c = capture_record<CI>{};
            s_.saved.clear();
            s_.recurse_depth = 0;
            return stack_attempt<Cstr>(p);
        }
    }

    template <bool Cstr>
    bool stack_attempt(CI p) {
        if (!stack_) stack_ = std::make_unique<hetero_stack>();
        s_.stack = stack_.get();
        s_.recurse_mark = 0;
        s_.stack_floor = 0;
        return run_steps<Cstr>(s_, s_.top, p);
    }

    template <bool Cstr>
    bool find_from(CI from) {
        const charset::bitmap* first = pat_.top_group->first_set();
        if constexpr (Cstr) {
            for (CI p = from;; ++p) {
                if ((first == nullptr || (*p != '\0' && first->test(uc(*p)))) && attempt<true>(p)) return true;
                if (!pat_.can_float || *p == '\0') return false;
            }
        } else {
            const CI begin = s_.begin, end = s_.end;
            if (static_cast<std::size_t>(end - from) < pat_.min_width) return false;
            const CI last = end - static_cast<std::ptrdiff_t>(pat_.min_width);
            if (pat_.flags_ & rightmost) {
                for (CI p = last;; --p) {
                    if (attempt<false>(p)) return true;
                    if (p == from) return false;
                }
            }
            if (!pat_.can_float) {
                if (first != nullptr && (from == end || !first->test(uc(*from)))) return false;
                return attempt<false>(from);
            }
            if (const start_set* ss = pat_.start_set_.get()) {
                const std::size_t m = ss->text.size();
                const char* t = ss->text.data();
                std::size_t i = static_cast<std::size_t>(from - begin);
                const std::size_t last_i = static_cast<std::size_t>(last - begin);
                while (i <= last_i) {
                    CI p = begin + static_cast<std::ptrdiff_t>(i);
                    unsigned char tail = uc(p[static_cast<std::ptrdiff_t>(m - 1)]);
                    bool hit = true;
                    for (std::size_t k = m; k-- > 0;) {
                        char c = p[static_cast<std::ptrdiff_t>(k)];
                        if (ss->fold) c = static_cast<char>(std::tolower(uc(c)));
                        if (c != t[k]) {
                            hit = false;
                            break;
                        }
                    }
                    if (hit && attempt<false>(p)) return true;
                    i += ss->skip[tail];
                }
                return false;
            }
            const bool* starts = pat_.has_first_char_table ? pat_.first_char_table : nullptr;
            const bool* leading = pat_.leading_char_table;
            for (CI p = from;; ++p) {
                if (starts != nullptr) {
                    while (p != last && !starts[uc(*p)]) ++p;
                    if (p == end || !starts[uc(*p)]) return false;
                }
                if (attempt<false>(p)) return true;
                if (pat_.leading_repeat) {
                    // A start inside the run the repeat just covered would
                    // offer the rest of the pattern a subset of the same
                    // positions, so it fails too.
                    CI q = p;
                    while (q != end && leading[uc(*q)]) ++q;
                    if (q > last) return false;
                    if (q > p) p = q - 1;
                }
                if (p == last) return false;
            }
        }
    }

    const basic_rpattern_base_impl<CI>& pat_;
    bool cstr_;
    bool use_stack_ = false;
    std::size_t stack_budget_ = 0;
    std::uintptr_t floor_ = 0;  // the recursion's lowest frame in this search
    std::size_t subject_length_ = no_step_limit;  // measured on the first search
    std::vector<capture_record<CI>> captures_;
    match_state<CI> s_;
    std::unique_ptr<hetero_stack> stack_;  // kept across attempts and searches
};

}  // namespace regex::detail
