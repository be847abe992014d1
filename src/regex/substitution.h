// Substitution: the substitution text's escape translation and parser, the
// expansion of the parsed pieces for one match, and substitute().
//
// How: the text is parsed once, when it is set, into literal stretches,
// group references and case commands (subst_piece). substitute() searches
// the target (or, when the captures must keep referring to the unedited
// subject, a copy of it) and expands the pieces at each match, keeping track
// of how much earlier replacements moved the later offsets.
//
// Tested by: tests/regex/substitution_test.cpp, tests/regex/perl_differential_test.cpp.
#pragma once

#include <cctype>
#include <string>
#include <string_view>
#include <vector>

#include "regex/basic_rpattern.h"
#include "regex/escapes.h"
#include "regex/searcher.h"

namespace regex {

namespace detail {

// With translate_escapes: \a \e \f \n \r \t \v become their control
// characters and four backslashes two; everything else, \x and octal
// included, is left for the substitution parser, which takes the character
// after a backslash as it stands.
inline std::string translate_subst_escapes(const std::string& t) {
    std::string out;
    out.reserve(t.size());
    for (std::size_t i = 0; i < t.size();) {
        if (t[i] != '\\' || i + 1 == t.size()) {
            out += t[i++];
            continue;
        }
        char d = t[i + 1];
        if (const int control = control_escape(d); control >= 0) {
            out += static_cast<char>(control);
            i += 2;
        } else if (t.compare(i, 4, "\\\\\\\\") == 0) {
            out += "\\\\";
            i += 4;
        } else {
            out += t[i];
            out += d;
            i += 2;
        }
    }
    return out;
}

// The letters after a backslash that stand for the case commands, each at
// the place of its command in case_command.
inline constexpr std::string_view case_command_letters = "UuLlE";
static_assert(case_command_letters[static_cast<int>(case_command::upper_on)] == 'U' &&
              case_command_letters[static_cast<int>(case_command::upper_next)] == 'u' &&
              case_command_letters[static_cast<int>(case_command::lower_on)] == 'L' &&
              case_command_letters[static_cast<int>(case_command::lower_next)] == 'l' &&
              case_command_letters[static_cast<int>(case_command::off)] == 'E');

// Parses a substitution text into pieces, left to right. Characters gather
// into a literal run until a '$' or a backslash closes it; each of those
// adds its own piece (or, for an escaped character, starts the next run).
class subst_parser {
public:
    subst_parser(const std::string& text, std::size_t capture_count, std::vector<subst_piece>& pieces)
        : text_(text), n_(text.size()), capture_count_(capture_count), pieces_(pieces) {}

    // Returns whether any piece refers to a group.
    bool run() {
        pieces_.clear();
        for (std::size_t i = 0; i < n_;) {
            if (text_[i] == '$') {
                i = dollar(i);
            } else if (text_[i] == '\\') {
                i = backslash(i);
            } else {
                if (run_ == std::string::npos) run_ = i;
                ++i;
            }
        }
        close(n_);
        return uses_groups_;
    }

private:
    // Ends the literal run, if any, at `at`.
    void close(std::size_t at) {
        if (run_ != std::string::npos && at > run_) {
            subst_piece p{subst_piece::literal_piece};
            p.offset = run_;
            p.length = at - run_;
            pieces_.push_back(p);
        }
        run_ = std::string::npos;
    }
    void group(long g) {
        subst_piece p{subst_piece::group_piece};
        p.group = g;
        pieces_.push_back(p);
        uses_groups_ = true;
    }
    void command(case_command c) {
        subst_piece p{subst_piece::case_piece};
        p.command = c;
        pieces_.push_back(p);
    }

    // "$N", "$`", "$'", "$&", or a '$' before anything else (the whole
    // match, the next character staying text). Returns the position after it.
    std::size_t dollar(std::size_t i) {
        close(i);
        const char d = i + 1 < n_ ? text_[i + 1] : '\0';
        if (std::isdigit(static_cast<unsigned char>(d))) {
            std::size_t j = i + 1, v = 0;
            while (j < n_ && std::isdigit(static_cast<unsigned char>(text_[j]))) {
                v = std::min<std::size_t>(v * 10 + static_cast<std::size_t>(text_[j] - '0'), 1u << 30);
                ++j;
            }
            if (v >= capture_count_) throw bad_regexpr("invalid backreference in substitution");
            group(static_cast<long>(v));
            return j;
        }
        switch (d) {
        case '`': group(prematch_group); return i + 2;
        case '\'': group(postmatch_group); return i + 2;
        case '&': group(0); return i + 2;
        default: group(0); return i + 1;
        }
    }

    // A case command, "\Q" quoting, or an escaped character, which begins
    // the next literal run. Returns the position after it.
    std::size_t backslash(std::size_t i) {
        if (i + 1 == n_) throw bad_regexpr("expecting escape sequence in substitution string");
        close(i);
        const char d = text_[i + 1];
        if (const std::size_t k = case_command_letters.find(d); k != std::string_view::npos) {
            command(static_cast<case_command>(k));
            return i + 2;
        }
        if (d == 'Q') return quoted(i + 2);
        run_ = i + 1;
        return i + 2;
    }

    // The text from `from` to the next "\E" (or the end) is one literal
    // run, '$' and backslashes included; the "\E" also turns case off.
    std::size_t quoted(std::size_t from) {
        const std::size_t end = text_.find("\\E", from);
        run_ = from;
        if (end == std::string::npos) {
            close(n_);
            return n_;
        }
        close(end);
        command(case_command::off);
        return end + 2;
    }

    const std::string& text_;
    const std::size_t n_;
    const std::size_t capture_count_;
    std::vector<subst_piece>& pieces_;
    std::size_t run_ = std::string::npos;  // start of the literal run being gathered
    bool uses_groups_ = false;
};

// Parses `text` into pieces; returns whether any piece refers to a group.
inline bool parse_subst(const std::string& text, std::size_t capture_count, std::vector<subst_piece>& pieces) {
    return subst_parser(text, capture_count, pieces).run();
}

template <class CI>
CI string_begin(const std::string& s) {
    if constexpr (std::is_same_v<CI, const char*>)
        return s.data();
    else
        return s.cbegin();
}

// The substitution of one pattern into one target; a friend of the pattern
// classes, whose substitution pieces it reads.
template <class CI>
struct substitution {
    static std::size_t substitute(basic_subst_results<CI>& results, const basic_rpattern<CI>& pattern,
                                  std::string& target) {
        const unsigned flags = pattern.flags();
        const bool in_place = (flags & discard_captures) && !pattern.subst_uses_groups;
        const std::string* subject;
        if (in_place) {
            subject = &target;
        } else {
            results.subject_copy() = target;
            subject = &results.subject_copy();
        }
        results.set_subject(subject);
        CI begin = string_begin<CI>(*subject);
        CI end = begin + static_cast<std::ptrdiff_t>(subject->size());
        results.set_subject_begin(begin);
        auto& out = results.captures();
        out.clear();

        // A search that stops at the step limit after earlier replacements must
        // not leave the target half edited: the unedited text is put back. Out
        // of place it is the subject copy; in place only a global substitution
        // edits before its last search, so only that needs a backup.
        const bool global = (flags & global_match) != 0;
        std::string backup;
        if (in_place && global) backup = target;
        try {
            return substitute_all(results, pattern, target, in_place, begin, end);
        } catch (const step_limit_reached&) {
            if (!in_place)
                target = results.subject_copy();
            else if (global)
                target = std::move(backup);
            results.captures().assign(pattern.cgroups(), backref_tag<CI>{});
            throw;
        }
    }

    // Replaces [offset, offset + length) of target by the expansion; returns
    // the length of the inserted text. `match` holds the visible captures,
    // referring into `subject`.
    static std::size_t expand(const basic_rpattern_base_impl<CI>& pat, std::string& target, std::size_t offset,
                              std::size_t length, CI subject_begin, CI subject_end,
                              const std::vector<backref_tag<CI>>& match, std::size_t match_index) {
        enum mode_t { none, upper, lower };
        mode_t running = none, once = none;
        bool produced = false;
        std::size_t pos = offset;
        const backref_tag<CI>& whole = match[match_index];
        for (const subst_piece& piece : pat.subst_pieces) {
            if (piece.kind == subst_piece::case_piece) {
                switch (piece.command) {
                case case_command::upper_on: running = upper; break;
                case case_command::lower_on: running = lower; break;
                case case_command::upper_next: once = upper; break;
                case case_command::lower_next: once = lower; break;
                case case_command::off: running = none; break;
                }
                continue;
            }
            std::string text;
            if (piece.kind == subst_piece::literal_piece) {
                text.assign(pat.subst_text, piece.offset, piece.length);
            } else if (piece.group == prematch_group) {
                text.assign(subject_begin, whole.first);
            } else if (piece.group == postmatch_group) {
                text.assign(whole.second, subject_end);
            } else {
                const backref_tag<CI>& g = match[match_index + static_cast<std::size_t>(piece.group)];
                if (g.matched) text.assign(g.first, g.second);
            }
            std::size_t start;
            if (!produced) {
                target.replace(offset, length, text);
                start = offset;
                produced = true;
            } else {
                target.insert(pos, text);
                start = pos;
            }
            pos = start + text.size();
            if (running != none)
                for (std::size_t k = start; k < pos; ++k)
                    target[k] =
                        static_cast<char>(running == upper ? std::toupper(uc(target[k])) : std::tolower(uc(target[k])));
            // A one-shot command waits for a text that is not empty.
            if (once != none && pos > start) {
                target[start] = static_cast<char>(once == upper ? std::toupper(uc(target[start]))
                                                                : std::tolower(uc(target[start])));
                once = none;
            }
        }
        if (!produced) target.erase(offset, length);
        return pos - offset;
    }

    static std::size_t substitute_all(basic_subst_results<CI>& results, const basic_rpattern<CI>& pattern,
                                      std::string& target, bool in_place, CI begin, CI end) {
        const unsigned flags = pattern.flags();
        auto& out = results.captures();
        searcher<CI> s(pattern, begin, end, false);
        std::vector<backref_tag<CI>> current;
        std::size_t count = 0;
        std::ptrdiff_t delta = 0;  // net change of target length so far
        CI from = begin;
        const bool global = (flags & global_match) != 0;
        while (s.find(from)) {
            s.visible(current, false);
            const backref_tag<CI>& whole = current[0];
            std::size_t offset = static_cast<std::size_t>(whole.first - begin);
            std::size_t length = static_cast<std::size_t>(whole.second - whole.first);
            const bool empty = length == 0;
            std::size_t inserted =
                expand(pattern, target, static_cast<std::size_t>(offset + delta), length, begin, end, current, 0);
            ++count;
            if (flags & collect_all_groups)
                out.insert(out.end(), current.begin(), current.end());
            else if (flags & collect_whole_matches)
                out.push_back(current[0]);
            else
                out = current;
            if (!global) break;
            if (in_place) {
                // The edited string is searched again after the inserted text.
                std::size_t next = offset + inserted;
                begin = string_begin<CI>(target);
                end = begin + static_cast<std::ptrdiff_t>(target.size());
                s.rebase(begin, end);
                from = begin + static_cast<std::ptrdiff_t>(next);
            } else {
                delta += static_cast<std::ptrdiff_t>(inserted) - static_cast<std::ptrdiff_t>(length);
                from = whole.second;
            }
            s.state().previous_empty = empty;
        }
        if (count == 0) out.assign(pattern.cgroups(), backref_tag<CI>{});
        if (in_place) results.set_subject_begin(begin);
        if (flags & discard_captures) out.clear();
        return count;
    }
};

}  // namespace detail

template <class CI>
std::size_t substitute(basic_subst_results<CI>& results, const basic_rpattern<CI>& pattern, std::string& target) {
    return detail::substitution<CI>::substitute(results, pattern, target);
}

}  // namespace regex
