// What a search hands back: one backref_tag per visible capture, and for
// substitution the copy of the subject the captures refer to.
//
// Tested by: tests/regex/searcher_test.cpp, tests/regex/substitution_test.cpp.
#pragma once

#include <cstddef>
#include <iterator>
#include <string>
#include <vector>

namespace regex {

template <class CI>
struct backref_tag {
    CI first{};
    CI second{};
    bool matched = false;

    backref_tag() = default;
    backref_tag(CI f, CI s, bool m) : first(f), second(s), matched(m) {}

    std::size_t length() const { return matched ? static_cast<std::size_t>(std::distance(first, second)) : 0; }
    std::string str() const { return matched ? std::string(first, second) : std::string(); }
    explicit operator bool() const { return matched; }
};

template <class CI>
class basic_rpattern_base_impl;

template <class CI>
class basic_match_results {
public:
    virtual ~basic_match_results() = default;

    std::size_t cbackrefs() const { return captures_.size(); }
    const backref_tag<CI>& backref(std::size_t i) const { return captures_.at(i); }
    std::ptrdiff_t rstart(std::size_t i = 0) const { return std::distance(begin_, backref(i).first); }
    std::ptrdiff_t rlength(std::size_t i = 0) const { return static_cast<std::ptrdiff_t>(backref(i).length()); }

    // Used by the engine while it fills the results.
    std::vector<backref_tag<CI>>& captures() { return captures_; }
    CI subject_begin() const { return begin_; }
    void set_subject_begin(CI b) { begin_ = b; }

private:
    std::vector<backref_tag<CI>> captures_;
    CI begin_{};
};

template <class CI>
class basic_subst_results : public basic_match_results<CI> {
public:
    // The string the captures refer to: the copy, or the caller's string
    // itself when a substitution worked in place.
    const std::string* subject() const { return subject_; }

    std::string& subject_copy() { return subject_copy_; }
    void set_subject(const std::string* s) { subject_ = s; }

private:
    std::string subject_copy_;
    const std::string* subject_ = nullptr;
};

}  // namespace regex
