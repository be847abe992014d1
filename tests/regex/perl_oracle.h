// Shared by the outside-suite driver and the Perl differential test: runs a
// batch of pattern cases through Perl (tests/regex/perl_oracle.pl) and through
// this engine, and brings both answers into one comparable form.
//
// The engine side runs in a child process, so that a crash or a runaway
// backtrack on one case is recorded against that case instead of taking the
// whole test program down; the child is restarted after the bad case.
#pragma once

#include "pattern_generator.h"
#include "regex/regex.h"
#include "temp_folder.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace oracle {

// One question: a pattern with Perl flag letters (subset of "imsx"), a subject
// and, optionally, a replacement given in both syntaxes; the generator makes
// them in the same shape.
using Case = regex_test::generated_case;

using Span = std::optional<std::pair<long, long>>;

struct Answer {
    enum Kind { compileError, ran, crashed, timedOut, inconsistent, unreadable } kind = unreadable;
    std::string message;  // compile error text, or what crashed
    bool matched = false;
    std::vector<Span> groups;  // group 0 first
    std::vector<std::pair<long, long>> all;
    bool hasSubst = false;
    long onceCount = 0, globalCount = 0;
    std::string once, global;
};

inline std::string toHex(const std::string& s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size() * 2);
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out.empty() ? "-" : out;
}

inline std::string fromHex(const std::string& h) {
    std::string out;
    if (h == "-") return out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2) out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

inline std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : s) {
        if (c == sep) {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    parts.push_back(cur);
    return parts;
}

inline std::string spanText(const Span& s) {
    return s ? std::to_string(s->first) + "," + std::to_string(s->second) : std::string("-");
}

inline Span parseSpan(const std::string& t) {
    if (t == "-" || t.empty()) return std::nullopt;
    auto comma = t.find(',');
    return std::make_pair(std::stol(t.substr(0, comma)), std::stol(t.substr(comma + 1)));
}

// Both sides print one line per case in the format perl_oracle.pl documents.
inline Answer parseAnswer(const std::string& line) {
    Answer a;
    auto f = split(line, '\t');
    if (f.empty()) return a;
    if (f[0] == "E" && f.size() >= 2) {
        a.kind = Answer::compileError;
        a.message = fromHex(f[1]);
    } else if (f[0] == "C") {
        a.kind = Answer::crashed;
        a.message = f.size() > 1 ? f[1] : "";
    } else if (f[0] == "T") {
        a.kind = Answer::timedOut;
    } else if (f[0] == "I") {
        a.kind = Answer::inconsistent;
        a.message = f.size() > 1 ? f[1] : "";
    } else if (f[0] == "M" && f.size() >= 3) {
        a.kind = Answer::ran;
        if (f[1] != "-") {
            a.matched = true;
            for (auto& g : split(f[1], ' ')) a.groups.push_back(parseSpan(g));
        }
        if (f[2] != "-")
            for (auto& g : split(f[2], ' ')) a.all.push_back(*parseSpan(g));
        if (f.size() >= 5 && f[3] != "X") {
            a.hasSubst = true;
            auto o = f[3].find(':'), g = f[4].find(':');
            a.onceCount = std::stol(f[3].substr(0, o));
            a.once = fromHex(f[3].substr(o + 1));
            a.globalCount = std::stol(f[4].substr(0, g));
            a.global = fromHex(f[4].substr(g + 1));
        }
    }
    return a;
}

inline std::string describe(const Answer& a) {
    switch (a.kind) {
    case Answer::compileError: return "compile error \"" + a.message + "\"";
    case Answer::crashed: return "crashed (" + a.message + ")";
    case Answer::timedOut: return "timed out";
    case Answer::inconsistent: return "inconsistent: " + a.message;
    case Answer::unreadable: return "no answer";
    case Answer::ran: break;
    }
    std::string s;
    if (!a.matched) {
        s = "no match";
    } else {
        s = "match";
        for (std::size_t i = 0; i < a.groups.size(); ++i) s += (i ? " " : " [") + spanText(a.groups[i]);
        s += "]";
    }
    s += " all {";
    for (std::size_t i = 0; i < a.all.size(); ++i) s += (i ? " " : "") + spanText(a.all[i]);
    s += "}";
    if (a.hasSubst)
        s += " s///=" + std::to_string(a.onceCount) + ":\"" + a.once + "\" s///g=" + std::to_string(a.globalCount) +
             ":\"" + a.global + "\"";
    return s;
}

inline unsigned engineFlags(const std::string& letters) {
    unsigned f = regex::NOFLAGS;
    for (char c : letters) {
        if (c == 'i') f |= regex::ignore_case;
        if (c == 'm') f |= regex::multi_line;
        if (c == 's') f |= regex::single_line;
        if (c == 'x') f |= regex::free_spacing;
    }
    return f;
}

// First match with its groups and the list of all matches, as "first\tall",
// through either instantiation: string iterators over the subject, or a
// NUL-terminated const char* subject.
template <class CI, class Run>
std::string firstAndAll(const Case& c, unsigned flags, regex::REGEX_MODE mode, CI origin, Run run) {
    std::string line;
    regex::basic_rpattern<CI> first(c.pattern, flags, mode);
    regex::basic_match_results<CI> r;
    auto whole = run(first, r);
    if (!whole.matched) {
        line += "-";
    } else {
        for (std::size_t i = 0; i < r.cbackrefs(); ++i) {
            if (i) line += ' ';
            const auto& b = r.backref(i);
            line += b.matched ? spanText(std::make_pair(long(b.first - origin), long(b.second - origin)))
                              : std::string("-");
        }
    }
    regex::basic_rpattern<CI> every(c.pattern, flags | regex::global_match | regex::collect_whole_matches, mode);
    regex::basic_match_results<CI> all;
    auto any = run(every, all);
    std::string list;
    if (any.matched) {
        for (std::size_t i = 0; i < all.cbackrefs(); ++i) {
            const auto& b = all.backref(i);
            if (!b.matched) continue;
            if (!list.empty()) list += ' ';
            list += spanText(std::make_pair(long(b.first - origin), long(b.second - origin)));
        }
    }
    return line + "\t" + (list.empty() ? std::string("-") : list);
}

// Answers one case with this engine, in the oracle's line format. extraFlags
// carries flags Perl has no letter for (translate_escapes). A subject without
// NUL is also searched as a NUL-terminated string, whose separate matching
// code must give the same answer ("I" line otherwise).
inline std::string engineLine(const Case& c, unsigned extraFlags, regex::REGEX_MODE mode) {
    const unsigned flags = engineFlags(c.flags) | extraFlags;
    std::string line;
    try {
        const std::string& subject = c.subject;
        std::string viaIterators = firstAndAll(c, flags, mode, subject.begin(), [&](const auto& p, auto& r) {
            return p.match(subject.begin(), subject.end(), r);
        });
        if (subject.find('\0') == std::string::npos) {
            const char* text = subject.c_str();
            std::string viaCstr =
                firstAndAll(c, flags, mode, text, [&](const auto& p, auto& r) { return p.match(text, r); });
            if (viaCstr != viaIterators) {
                std::string message =
                    "string iterators give " + viaIterators + ", NUL-terminated text gives " + viaCstr;
                for (char& ch : message)
                    if (ch == '\t') ch = ' ';
                return "I\t" + message;
            }
        }
        line = "M\t" + viaIterators;
        if (c.substitute) {
            regex::rpattern once(c.pattern, c.replacementEngine, flags, mode);
            regex::subst_results r1;
            std::string t1 = c.subject;
            std::size_t n1 = regex::substitute(r1, once, t1);
            regex::rpattern glob(c.pattern, c.replacementEngine, flags | regex::global_match, mode);
            regex::subst_results rg;
            std::string tg = c.subject;
            std::size_t ng = regex::substitute(rg, glob, tg);
            line += "\t" + std::to_string(n1) + ":" + toHex(t1) + "\t" + std::to_string(ng) + ":" + toHex(tg);
        }
    } catch (const regex::bad_regexpr& e) {
        line = "E\t" + toHex(e.what());
    } catch (const std::exception& e) {
        line = "C\tthrew " + std::string(e.what());
    }
    for (char& ch : line)
        if (ch == '\n') ch = ' ';
    return line;
}

// Runs produce(i) for every i in a child process and collects the lines. A
// case that kills the child or runs past timeoutSeconds gets a "C" or "T"
// line and the child is restarted after it.
inline std::vector<std::string> runIsolated(std::size_t count, const std::function<std::string(std::size_t)>& produce,
                                            int timeoutSeconds) {
    std::vector<std::string> lines(count);
    std::size_t next = 0;
    while (next < count) {
        int fds[2];
        if (pipe(fds) != 0) break;
        std::fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            close(fds[0]);
            for (std::size_t i = next; i < count; ++i) {
                std::string l = produce(i) + "\n";
                const char* p = l.data();
                std::size_t left = l.size();
                while (left) {
                    ssize_t w = write(fds[1], p, left);
                    if (w <= 0) _exit(3);
                    p += w;
                    left -= std::size_t(w);
                }
            }
            _exit(0);
        }
        close(fds[1]);
        std::string buffer;
        bool timedOut = false;
        for (;;) {
            pollfd pfd{fds[0], POLLIN, 0};
            int ready = poll(&pfd, 1, timeoutSeconds * 1000);
            if (ready == 0) {
                timedOut = true;
                break;
            }
            if (ready < 0) {
                if (errno == EINTR) continue;
                break;
            }
            char chunk[65536];
            ssize_t n = read(fds[0], chunk, sizeof chunk);
            if (n <= 0) break;
            buffer.append(chunk, std::size_t(n));
            std::size_t nl;
            while ((nl = buffer.find('\n')) != std::string::npos) {
                if (next < count) lines[next++] = buffer.substr(0, nl);
                buffer.erase(0, nl + 1);
            }
        }
        close(fds[0]);
        if (timedOut) kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        if (next < count) {
            if (timedOut)
                lines[next] = "T";
            else if (WIFSIGNALED(status))
                lines[next] = "C\tsignal " + std::to_string(WTERMSIG(status));
            else
                lines[next] = "C\texit " + std::to_string(WEXITSTATUS(status));
            ++next;
        }
    }
    return lines;
}

inline std::vector<Answer> askEngine(const std::vector<Case>& cases, unsigned extraFlags, regex::REGEX_MODE mode,
                                     int timeoutSeconds = 20) {
    auto lines = runIsolated(
        cases.size(), [&](std::size_t i) { return engineLine(cases[i], extraFlags, mode); }, timeoutSeconds);
    std::vector<Answer> answers;
    for (auto& l : lines) answers.push_back(parseAnswer(l));
    return answers;
}

inline std::string perlPath() { return "/usr/bin/perl"; }

inline std::string oracleScript() { return std::string(SPECKMEND_SOURCE_DIR) + "/tests/regex/perl_oracle.pl"; }

// One Perl process answers the whole batch. An empty result means Perl could
// not be run.
inline std::vector<Answer> askPerl(const std::vector<Case>& cases) {
    const speckmend::testing::TempFolder folder;
    const std::string inName = folder / "cases";
    const std::string outName = folder / "answers";
    {
        std::ofstream in(inName, std::ios::binary);
        for (const auto& c : cases) {
            in << (c.flags.empty() ? "-" : c.flags) << '\t' << toHex(c.pattern) << '\t' << toHex(c.subject);
            if (c.substitute) in << '\t' << toHex(c.replacementPerl);
            in << '\n';
        }
    }
    std::string command = perlPath() + " '" + oracleScript() + "' < '" + inName + "' > '" + outName + "'";
    int rc = std::system(command.c_str());
    std::vector<Answer> answers;
    if (rc == 0) {
        std::ifstream out(outName, std::ios::binary);
        std::string line;
        while (std::getline(out, line)) answers.push_back(parseAnswer(line));
    }
    if (answers.size() != cases.size()) answers.clear();
    return answers;
}

// Captures past the last group that took part are not reported the same way
// by every side, so trailing unmatched groups are ignored when comparing.
inline std::vector<Span> trimmed(std::vector<Span> g) {
    while (!g.empty() && !g.back()) g.pop_back();
    return g;
}

inline bool sameMatch(const Answer& a, const Answer& b) {
    if (a.kind != b.kind) return false;
    if (a.kind == Answer::compileError) return true;
    if (a.kind != Answer::ran) return false;
    return a.matched == b.matched && trimmed(a.groups) == trimmed(b.groups);
}

inline bool sameEverything(const Answer& a, const Answer& b) {
    if (!sameMatch(a, b)) return false;
    if (a.kind != Answer::ran) return true;
    if (a.all != b.all) return false;
    if (a.hasSubst && b.hasSubst)
        return a.onceCount == b.onceCount && a.once == b.once && a.globalCount == b.globalCount && a.global == b.global;
    return true;
}

// Text for a bug report: escapes control characters so that the line can be
// pasted into a C++ string literal.
inline std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += char(c);
        } else if (c < 32 || c >= 127) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

}  // namespace oracle
