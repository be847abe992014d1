// One generator of random patterns and subjects for the differential tests:
// the Perl comparison (perl_differential_test.cpp) uses the syntax both
// engines share, the comparison of the two matching strategies
// (drivers_test.cpp) the whole syntax over a small alphabet.
#pragma once

#include <random>
#include <string>
#include <vector>

namespace regex_test {

struct generated_case {
    std::string flags;
    std::string pattern;
    std::string subject;
    bool substitute = false;
    std::string replacementEngine;  // this engine's substitution syntax
    std::string replacementPerl;    // body of a Perl double-quoted string
};

class pattern_generator {
public:
    enum class syntax {
        // What this engine and Perl agree on, steering clear of the places
        // where this engine deliberately differs (each place says why).
        shared_with_perl,
        // Everything the parser accepts, (?R), variable-width look-behind and
        // group loops with a minimum above one included, over a small
        // alphabet: for comparing this engine with itself.
        whole,
    };

    explicit pattern_generator(unsigned seed, syntax s = syntax::shared_with_perl)
        : rng_(seed), whole_(s == syntax::whole) {}

    // Capturing groups inside a repetition, by number. Perl leaves stale
    // values in them (a capture from an iteration or alternative that was
    // backtracked out of, or an unset group after zero iterations of a
    // fixed-width loop), so their spans are not compared.
    const std::vector<bool>& repeated() const { return repeated_; }

    generated_case next() {
        generated_case c;
        groups_ = 0;
        closed_.clear();
        repeated_.assign(1, false);
        repeatDepth_ = 0;
        static const char* flagSets[] = {"", "", "", "i", "m", "s", "x", "im", "is", "ms", "ix", "imsx", "sx"};
        c.flags = whole_ ? "" : flagSets[pick(sizeof flagSets / sizeof *flagSets)];
        freeSpacing_ = c.flags.find('x') != std::string::npos;
        c.pattern = alternation(0);
        c.subject = subject();
        // With multi_line this engine's ^ also matches after a newline that
        // ends the subject, where Perl's does not; such subjects are left out.
        if ((c.flags.find('m') != std::string::npos || c.pattern.find("(?m:") != std::string::npos) &&
            !c.subject.empty() && c.subject.back() == '\n')
            c.subject.back() = '.';
        if (!whole_ && chance(60)) {
            c.substitute = true;
            replacement(c);
        }
        return c;
    }
    // A pattern alone (no inline flags), and a subject for it.
    std::string pattern() { return next().pattern; }

private:
    std::mt19937 rng_;
    bool whole_;
    int groups_ = 0;
    // Groups whose closing parenthesis has been read and that are not
    // repeated: the only ones backreferences, conditions and replacements
    // name, see repeated().
    std::vector<int> closed_;
    std::vector<bool> repeated_;
    int repeatDepth_ = 0;
    bool freeSpacing_ = false;
    bool insideNegative_ = false;

    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
    bool chance(int percent) { return int(pick(100)) < percent; }

    // Free-spacing filler between atoms: both engines skip it there.
    std::string gap() {
        if (!freeSpacing_ || !chance(30)) return "";
        return chance(70) ? " " : " # note\n";
    }

    std::string literalChar() {
        if (whole_) return std::string(1, "abc"[pick(3)]);
        static const char* chars[] = {"a",   "a",   "b",   "b",   "c",     "A",     "B",     "1",     "-",    "_",
                                      "\\.", "\\-", "\\(", "\\*", "\\x61", "\\142", "\\056", "\\x2D", "\\cJ", "\\x20"};
        return chars[pick(sizeof chars / sizeof *chars)];
    }

    std::string charClass() {
        static const char* classes[] = {
            "[abc]",        "[^a]",         "[a-c]",        "[^a-c]",       "[A-Ca]",        "[[:alpha:]]",
            "[[:digit:]]",  "[[:^alpha:]]", "[[:upper:]]",  "[[:lower:]]",  "[[:space:]]",   "[[:punct:]]",
            "[[:alnum:]_]", "[\\d]",        "[\\w-]",       "[^\\s]",       "[\\W]",         "[a\\]]",
            "[]a]",         "[a-]",         "[[:blank:]b]", "[[:xdigit:]]", "[^[:alpha:]1]", "[.]",
        };
        return classes[pick(sizeof classes / sizeof *classes)];
    }

    std::string quantifier() {
        static const char* q[] = {"*", "+", "?", "*?", "+?", "??", "{2}", "{1,2}", "{0,}", "{2,}", "{1,3}?", "{,2}"};
        return q[pick(sizeof q / sizeof *q)];
    }

    // A look-behind body of fixed width, which is where Perl and this engine
    // agree on the meaning.
    std::string fixedWidth() {
        std::string s;
        int n = 1 + int(pick(2));
        for (int i = 0; i < n; ++i) {
            switch (pick(4)) {
            case 0: s += literalChar(); break;
            case 1: s += charClass(); break;
            case 2: s += chance(50) ? "\\w" : "\\d"; break;
            default: s += "."; break;
            }
        }
        if (chance(25)) {
            std::string other;
            for (int i = 0; i < n; ++i) other += chance(50) ? "b" : "[ac]";
            s += "|" + other;
        }
        return s;
    }

    std::string atom(int depth) {
        if (whole_ && depth < 2) {
            switch (pick(12)) {
            case 0:
                // Recursion only at the top level and only after consuming,
                // so that generated patterns stay polynomial.
                if (depth == 0) return "(?:a(?:(?R))?b)";
                break;
            case 1: {
                // Look-behind of any width, captures inside negative
                // look-arounds: this engine's own meaning.
                static const char* opens[] = {"(?<=", "(?<!", "(?!"};
                return opens[pick(3)] + alternation(depth + 1) + ")";
            }
            case 2: {
                const int number = ++groups_;
                const std::string inner = alternation(depth + 1);
                return "(" + inner + ")" + wholeGroupQuantifier(number);
            }
            case 3:
                if (groups_ > 0) return "\\" + std::to_string(1 + pick(std::size_t(groups_))) + maybeQuantified();
                break;
            default: break;
            }
        }
        int kind = int(pick(depth < 2 ? 16 : 9));
        switch (kind) {
        case 0:
        case 1:
        case 2: return literalChar() + maybeQuantified();
        case 3: return charClass() + maybeQuantified();
        case 4: {
            static const char* esc[] = {"\\d", "\\D", "\\s", "\\S", "\\w", "\\W"};
            return esc[pick(6)] + maybeQuantified();
        }
        case 5: return std::string(".") + maybeQuantified();
        case 6: {
            static const char* anchors[] = {"^", "$", "\\b", "\\B", "\\A", "\\z", "\\Z"};
            return anchors[pick(7)];
        }
        case 7:
            if (!closed_.empty()) return "\\" + std::to_string(closed_[pick(closed_.size())]) + maybeQuantified();
            return literalChar();
        case 8: return literalChar() + literalChar();
        case 9:
        case 10:
        case 11: {
            // Perl can leave behind captures made inside a negative
            // look-around; this engine restores them when the look-around is
            // done. So capturing groups appear only outside negative ones.
            if (insideNegative_) return quantifiedGroup("(?:", depth, false);
            return quantifiedGroup("(", depth, true);
        }
        case 12: return quantifiedGroup("(?:", depth, false);
        case 13: return quantifiedGroup("(?>", depth, false);
        case 14: {
            static const char* opens[] = {"(?=", "(?!", "(?<=", "(?<!"};
            std::size_t k = pick(4);
            const bool wasInside = insideNegative_;
            insideNegative_ = wasInside || k == 1 || k == 3;
            std::string text = opens[k] + (k < 2 ? body(depth + 1) : fixedWidth()) + ")";
            insideNegative_ = wasInside;
            return text;
        }
        default: {
            if (chance(15)) {
                // Inline flags for the rest of the group, and a comment: both
                // build no node, so nothing may quantify them.
                static const char* bare[] = {"(?i)", "(?-i)", "(?s)", "(?m)", "(?#note)"};
                return bare[pick(5)];
            }
            if (chance(25)) {
                static const char* conditions[] = {"(?(?=", "(?(?!", "(?(?<=", "(?(?<!"};
                std::size_t k = pick(4);
                std::string condition = conditions[k] + fixedWidth() + ")";
                return condition + sequence(depth + 1) + "|" + sequence(depth + 1) + ")";
            }
            if (!closed_.empty() && chance(60)) {
                int number = closed_[pick(closed_.size())];
                return "(?(" + std::to_string(number) + ")" + sequence(depth + 1) + "|" + sequence(depth + 1) + ")";
            }
            static const char* modifiers[] = {"(?i:", "(?-i:", "(?s:", "(?m:", "(?i-s:"};
            return modifiers[pick(5)] + body(depth + 1) + ")";
        }
        }
    }

    std::string maybeQuantified() { return chance(35) ? quantifier() : ""; }

    // This engine ends a group loop at the first iteration that consumes
    // nothing, even below the minimum count, where Perl goes on iterating:
    // the match is the same, the captures of the group can differ. So groups
    // get only quantifiers with a minimum of at most one.
    std::string quantifiedGroup(const char* open, int depth, bool capturing) {
        std::string q = groupQuantifier();
        int number = 0;
        if (capturing) {
            number = ++groups_;
            repeated_.push_back(repeatDepth_ > 0 || !q.empty());
        }
        if (!q.empty()) ++repeatDepth_;
        std::string inner = capturing ? alternation(depth + 1) : body(depth + 1);
        if (!q.empty()) --repeatDepth_;
        if (capturing && !repeated_[std::size_t(number)]) closed_.push_back(number);
        return open + inner + ")" + q;
    }

    // Group loops with a minimum above one, which the Perl comparison leaves
    // out; `number` is the group's, not compared against Perl here.
    std::string wholeGroupQuantifier(int number) {
        repeated_.resize(std::size_t(number) + 1, true);
        static const char* q[] = {"", "*", "+", "{2}", "{1,3}", "{0,2}?", "{2,}", "{0,3}"};
        return q[pick(sizeof q / sizeof *q)];
    }

    std::string groupQuantifier() {
        static const char* q[] = {"*", "+", "?", "*?", "+?", "??", "{1,2}", "{0,}", "{1,3}?", "{,2}", "{1}"};
        return chance(35) ? q[pick(sizeof q / sizeof *q)] : "";
    }

    // "(?:)", "(?>)" and "(?i:)" build nothing in this engine, so a quantifier
    // after them has nothing to repeat; extension groups always get a body.
    std::string body(int depth) {
        std::string b = alternation(depth);
        return b.empty() ? literalChar() : b;
    }

    std::string sequence(int depth) {
        std::string s;
        int n = int(pick(depth == 0 ? 5 : 3)) + (depth == 0 ? 1 : 0);
        for (int i = 0; i < n; ++i) s += gap() + atom(depth);
        return s;
    }

    std::string alternation(int depth) {
        std::string s = sequence(depth);
        int more = chance(30) ? 1 + int(pick(2)) : 0;
        for (int i = 0; i < more; ++i) s += "|" + sequence(depth);
        return s;
    }

public:
    std::string subject() {
        if (whole_) {
            std::string s;
            const std::size_t n = pick(12);
            for (std::size_t i = 0; i < n; ++i) s += "abc"[pick(3)];
            return s;
        }
        static const char chars[] = "aaabbbcccAB1 _-.\n(*";
        std::string s;
        int n = int(pick(13));
        for (int i = 0; i < n; ++i) s += chars[pick(sizeof chars - 1)];
        return s;
    }

private:
    // Builds the same replacement in this engine's syntax and as the body of
    // a Perl double-quoted string.
    void replacement(generated_case& c) {
        std::string& e = c.replacementEngine;
        std::string& p = c.replacementPerl;
        int pieces = int(pick(4));
        for (int i = 0; i < pieces; ++i) {
            switch (pick(7)) {
            case 0:
            case 1: {
                static const char* texts[] = {"x", "<", "yz", "-"};
                std::string t = texts[pick(4)];
                e += t;
                p += t;
                break;
            }
            case 2: {
                int n = closed_.empty() || chance(30) ? 0 : closed_[pick(closed_.size())];
                e += "$" + std::to_string(n);
                p += n == 0 ? "${&}" : "${" + std::to_string(n) + "}";
                break;
            }
            case 3: {
                static const char* whole[][2] = {{"$&", "${&}"}, {"$`", "${`}"}, {"$'", "${'}"}};
                auto& w = whole[pick(3)];
                e += w[0];
                p += w[1];
                break;
            }
            case 4: {
                // One-shot case change of a literal that begins with a letter.
                bool upper = chance(50);
                std::string t = upper ? "ab" : "CD";
                e += std::string(upper ? "\\u" : "\\l") + t;
                p += std::string(upper ? "\\u" : "\\l") + t;
                break;
            }
            case 5: {
                bool upper = chance(50);
                std::string inner = chance(50) ? "$&" : "xY";
                std::string innerPerl = inner == "$&" ? "${&}" : inner;
                e += std::string(upper ? "\\U" : "\\L") + inner + "\\E";
                p += std::string(upper ? "\\U" : "\\L") + innerPerl + "\\E";
                break;
            }
            default:
                // An escaped character stands for itself in both syntaxes.
                e += "\\$";
                p += "\\$";
                break;
            }
        }
    }
};

}  // namespace regex_test
