// Runs the engine against regex test tables written by others and shipped by
// Debian: Python's re_tests (largely taken from Perl's own table) and RE2's
// search table from Go's sources. Perl, run side by side, settles the rows
// where a table speaks for its own flavour rather than for Perl.
//
// Every row the engine can express is run in both match strategies. A row
// either passes, or is listed below with the reason it differs; the lists
// hold only differences of the table's flavour or of this engine's own
// syntax, never engine faults, which stay failing until fixed.
#include "perl_oracle.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using oracle::Answer;
using oracle::Case;
using oracle::Span;

#ifndef SPECKMEND_PY_RE_TESTS
#define SPECKMEND_PY_RE_TESTS "/usr/lib/python3.11/test/re_tests.py"
#endif
#ifndef SPECKMEND_RE2_SEARCH
#define SPECKMEND_RE2_SEARCH "/usr/share/go-1.19/src/regexp/testdata/re2-search.txt"
#endif

// What a table row expects of a search.
struct Row {
    std::string where;     // "re_tests #14", "re2-search line 812 (partial)"
    std::string original;  // pattern as the table writes it
    std::string pattern;   // as given to this engine and to Perl
    std::string subject;
    enum Outcome { succeed, fail, syntaxError } outcome = succeed;
    std::string expr, expected;  // re_tests: expression over found/gN and its value
    bool exactSpans = false;     // re2-search: all group spans are given
    std::vector<Span> spans;
    std::string skip;  // why the row is not run; empty when it is
    enum Judge { table, perl, syntax } judge = table;
    std::string reason;  // for perl and syntax judges
};

// ---------------------------------------------------------------------------
// Rows whose table answer is specific to the table's own flavour: Perl's live
// answer is expected instead. Keyed by the table's pattern text.
struct FlavourRow {
    const char* pattern;
    const char* reason;
};

const FlavourRow pythonSpecific[] = {
    {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)\\119",
     "Python reads \\11 then 9; Perl reads the number 119, finds no such group and takes octal \\11 (a tab)"},
    {"((((((((((a))))))))))\\41", "Python rejects a reference to group 41; Perl reads octal \\41 ('!')"},
    {"(?i)((((((((((a))))))))))\\41", "Python rejects a reference to group 41; Perl reads octal \\41 ('!')"},
    {"((.)\\1+)", "Python rejects a reference to a group that is still open; Perl accepts it"},
};

// Rows where Perl disagrees with the table but the table's answer is the one
// this engine is built to give.
const FlavourRow perlSpecific[] = {
    {"^([ab]*?)(?!(b))c",
     "Perl keeps a capture set inside a negative look-ahead that matched; this engine restores the captures "
     "when a negative look-around fails, so the group stays unset"},
    {"^([ab]*?)(?<!(a))c",
     "Perl keeps a capture set inside a negative look-behind that matched; this engine restores the captures "
     "when a negative look-around fails, so the group stays unset"},
};

// Rows where this engine's own syntax gives a different, documented answer.
struct SyntaxRow {
    const char* pattern;
    const char* subject;
    Row::Outcome outcome;
    const char* value;  // expected value of the row's expression when outcome is succeed
    const char* reason;
};

const SyntaxRow syntaxDifferences[] = {
    {"^*", "", Row::syntaxError, "", "a quantifier after an assertion is \"quantifier not expected\""},
    {"a\\", "-", Row::fail, "", "a backslash at the very end of a pattern is a literal backslash"},
    {"(?i)a\\", "-", Row::fail, "", "a backslash at the very end of a pattern is a literal backslash"},
};

// ---------------------------------------------------------------------------
// Reading the tables.

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool fileExists(const std::string& path) { return std::ifstream(path).good(); }

// The Python table holds Python expressions (chr(0) + '9' and the like), so
// Python itself evaluates it and hands over plain rows, strings hex-encoded
// as Latin-1, "U" for text that Latin-1 cannot hold.
std::vector<std::vector<std::string>> dumpPythonTable(const std::string& path) {
    std::string dir = path.substr(0, path.rfind('/'));
    std::string module = path.substr(path.rfind('/') + 1);
    module = module.substr(0, module.rfind('.'));
    const char* code =
        "import sys, importlib\n"
        "sys.path.insert(0, sys.argv[1])\n"
        "t = importlib.import_module(sys.argv[2])\n"
        "def h(v):\n"
        "    try:\n"
        "        return v.encode('latin-1').hex() or '-'\n"
        "    except UnicodeEncodeError:\n"
        "        return 'U'\n"
        "for i, r in enumerate(t.tests):\n"
        "    e = r[3] if len(r) > 3 else ''\n"
        "    x = r[4] if len(r) > 4 else ''\n"
        "    print(i, r[2], h(r[0]), h(r[1]), e.encode().hex() or '-', h(x), sep='\\t')\n";
    const speckmend::testing::TempFolder folder;
    const std::string script = folder / "dump.py";
    const std::string outName = folder / "rows";
    {
        std::ofstream out(script);
        out << code;
    }
    // The interpreter that owns the table: the one beside the test folder's
    // version, falling back to python3.
    std::string version = dir.substr(0, dir.rfind('/'));
    version = version.substr(version.rfind('/') + 1);  // "python3.11"
    std::string python = "/usr/bin/" + version;
    if (!fileExists(python)) python = "python3";
    std::string command = python + " '" + script + "' '" + dir + "' '" + module + "' > '" + outName + "' 2>/dev/null";
    int rc = std::system(command.c_str());
    std::vector<std::vector<std::string>> rows;
    if (rc == 0) {
        std::ifstream in(outName);
        std::string line;
        while (std::getline(in, line)) rows.push_back(oracle::split(line, '\t'));
    }
    return rows;
}

bool hasHighBytes(const std::string& s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// Features of the table's syntax that this engine does not have. Returns the
// reason to skip, or empty.
std::string missingFeature(const std::string& p) {
    for (std::size_t i = 0; i < p.size(); ++i) {
        char c = p[i];
        if (c == '\\' && i + 1 < p.size()) {
            char n = p[i + 1];
            static const std::string lacking = "NpPXKGhHvVRgkuUoC";
            if (lacking.find(n) != std::string::npos) return std::string("escape \\") + n;
            if (n == 'x' && i + 2 < p.size() && p[i + 2] == '{') return "braced hexadecimal escape \\x{...}";
            ++i;
            continue;
        }
        if ((c == '*' || c == '+' || c == '?' || c == '}') && i + 1 < p.size() && p[i + 1] == '+')
            return "possessive quantifier";
    }
    if (p.find("(?P") != std::string::npos || p.find("(?<") != std::string::npos) {
        // (?<= and (?<! are look-behinds; anything else after (?< names a group.
        for (std::size_t at = p.find("(?<"); at != std::string::npos; at = p.find("(?<", at + 1))
            if (at + 3 >= p.size() || (p[at + 3] != '=' && p[at + 3] != '!')) return "named group";
        if (p.find("(?P") != std::string::npos) return "named group";
    }
    for (const char* flag : {"(?a", "(?L", "(?u", "(?U"})
        if (p.find(flag) != std::string::npos) return std::string("inline flag ") + (flag + 2);
    for (std::size_t at = p.find("(?("); at != std::string::npos; at = p.find("(?(", at + 1)) {
        std::size_t k = at + 3;
        while (k < p.size() && std::isdigit(static_cast<unsigned char>(p[k]))) ++k;
        bool numbered = k > at + 3 && k < p.size() && p[k] == ')';
        bool lookaround = k < p.size() && p[k] == '?';
        if (!numbered && !lookaround) return "condition on a named group";
    }
    if (p.find("[:word:]") != std::string::npos) return "POSIX class [:word:]";
    return {};
}

// Python writes "end of subject" as \Z; this engine and Perl spell it \z.
std::string mapPythonPattern(const std::string& p) {
    std::string out;
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (p[i] == '\\' && i + 1 < p.size()) {
            out += '\\';
            out += p[i + 1] == 'Z' ? 'z' : p[i + 1];
            ++i;
        } else {
            out += p[i];
        }
    }
    return out;
}

std::vector<Row> loadPythonRows(const std::string& path) {
    std::vector<Row> rows;
    for (const auto& f : dumpPythonTable(path)) {
        if (f.size() < 6) continue;
        Row r;
        r.where = "re_tests #" + f[0];
        int outcome = std::stoi(f[1]);
        r.outcome = outcome == 0 ? Row::succeed : outcome == 1 ? Row::fail : Row::syntaxError;
        if (f[2] == "U" || f[3] == "U" || f[5] == "U") {
            r.skip = "text beyond Latin-1";
            rows.push_back(r);
            continue;
        }
        r.original = oracle::fromHex(f[2]);
        r.subject = oracle::fromHex(f[3]);
        r.expr = oracle::fromHex(f[4]);
        r.expected = oracle::fromHex(f[5]);
        r.pattern = mapPythonPattern(r.original);
        r.skip = missingFeature(r.original);
        if (r.skip.empty() && (hasHighBytes(r.original) || hasHighBytes(r.subject))) {
            r.judge = Row::perl;
            r.reason = "characters above 127: Python matches text as Unicode, Perl and this engine as bytes";
        }
        rows.push_back(r);
    }
    return rows;
}

// Go's quoted-string syntax, as the RE2 table writes its patterns and subjects.
std::string unquoteGo(const std::string& q) {
    std::string out;
    for (std::size_t i = 1; i + 1 < q.size(); ++i) {
        char c = q[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        char n = q[++i];
        auto hexValue = [&](std::size_t digits) {
            unsigned v = std::stoul(q.substr(i + 1, digits), nullptr, 16);
            i += digits;
            return v;
        };
        switch (n) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'a': out += '\a'; break;
        case 'f': out += '\f'; break;
        case 'v': out += '\v'; break;
        case 'b': out += '\b'; break;
        case 'x': out += static_cast<char>(hexValue(2)); break;
        case 'u':
        case 'U': {
            unsigned v = hexValue(n == 'u' ? 4 : 8);
            // Only needs to be recognisable as non-ASCII: such rows are skipped.
            if (v < 0x80) {
                out += static_cast<char>(v);
            } else {
                out += static_cast<char>(0xC0 | ((v >> 6) & 0x1F));
                out += static_cast<char>(0x80 | (v & 0x3F));
            }
            break;
        }
        default:
            if (n >= '0' && n <= '7') {
                out += static_cast<char>(std::stoi(q.substr(i, 3), nullptr, 8));
                i += 2;
            } else {
                out += n;
            }
        }
    }
    return out;
}

// RE2's $ is the end of the text unless (?m) is in force; Perl's and this
// engine's $ also accept a final newline, so it is mapped to \z.
std::string mapRe2Pattern(const std::string& p) {
    std::string out;
    std::vector<bool> saved;
    bool multi = false, inClass = false;
    for (std::size_t i = 0; i < p.size(); ++i) {
        char c = p[i];
        if (c == '\\' && i + 1 < p.size()) {
            out += p.substr(i, 2);
            ++i;
            continue;
        }
        if (inClass) {
            if (c == ']') inClass = false;
            out += c;
            continue;
        }
        if (c == '[') {
            inClass = true;
            out += c;
            if (i + 1 < p.size() && p[i + 1] == '^') out += p[++i];
            if (i + 1 < p.size() && p[i + 1] == ']') out += p[++i];
            continue;
        }
        if (c == '(') {
            std::size_t k = i + 1;
            std::string letters;
            if (k < p.size() && p[k] == '?') {
                ++k;
                while (k < p.size() && (std::isalpha(static_cast<unsigned char>(p[k])) || p[k] == '-'))
                    letters += p[k++];
            }
            bool setsMulti = letters.substr(0, letters.find('-')).find('m') != std::string::npos;
            if (!letters.empty() && k < p.size() && p[k] == ')') {
                multi = multi || setsMulti;  // bare flags: rest of the enclosing group
                out += p.substr(i, k - i + 1);
                i = k;
                continue;
            }
            saved.push_back(multi);
            if (setsMulti) multi = true;
            out += c;
            continue;
        }
        if (c == ')') {
            if (!saved.empty()) {
                multi = saved.back();
                saved.pop_back();
            }
            out += c;
            continue;
        }
        if (c == '$' && !multi) {
            out += "\\z";
            continue;
        }
        out += c;
    }
    return out;
}

std::vector<Span> parseRe2Spans(const std::string& text) {
    std::vector<Span> spans;
    for (const auto& piece : oracle::split(text, ' ')) {
        if (piece == "-") {
            spans.push_back(std::nullopt);
        } else {
            auto dash = piece.find('-');
            spans.push_back(std::make_pair(std::stol(piece.substr(0, dash)), std::stol(piece.substr(dash + 1))));
        }
    }
    return spans;
}

std::vector<Row> loadRe2Rows(const std::string& path) {
    std::vector<Row> rows;
    std::istringstream in(readFile(path));
    std::string line;
    std::vector<std::string> subjects;
    bool readingSubjects = false;
    int lineNo = 0;
    std::vector<std::string> lines;
    while (std::getline(in, line)) lines.push_back(line);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        lineNo = int(i) + 1;
        const std::string& l = lines[i];
        if (l == "strings") {
            subjects.clear();
            readingSubjects = true;
            continue;
        }
        if (l == "regexps") {
            readingSubjects = false;
            continue;
        }
        if (l.empty() || l[0] != '"') continue;
        if (readingSubjects) {
            subjects.push_back(unquoteGo(l));
            continue;
        }
        const std::string original = unquoteGo(l);
        std::string skip = missingFeature(original);
        if (skip.empty() && hasHighBytes(original)) skip = "UTF-8 pattern";
        const std::string mapped = mapRe2Pattern(original);
        for (const auto& subject : subjects) {
            if (++i >= lines.size()) break;
            auto columns = oracle::split(lines[i], ';');
            if (columns.size() < 2) continue;
            // Column 0: the whole subject must match; column 1: leftmost-first
            // search. Columns 2 and 3 are leftmost-longest, which no
            // backtracking engine promises.
            for (int column = 0; column < 2; ++column) {
                Row r;
                r.where = "re2-search line " + std::to_string(lineNo) + (column == 0 ? " (full)" : " (partial)");
                r.original = original;
                r.pattern = column == 0 ? "\\A(?:" + mapped + ")\\z" : mapped;
                r.subject = subject;
                r.exactSpans = true;
                r.skip = skip;
                if (r.skip.empty() && hasHighBytes(subject)) r.skip = "UTF-8 subject";
                if (columns[column] == "-") {
                    r.outcome = Row::fail;
                } else {
                    r.outcome = Row::succeed;
                    r.spans = parseRe2Spans(columns[column]);
                }
                rows.push_back(r);
            }
        }
    }
    return rows;
}

// ---------------------------------------------------------------------------
// Judging.

std::string groupText(const Row& row, const Answer& a, std::size_t i) {
    if (i >= a.groups.size()) return "Error";
    if (!a.groups[i]) return "None";
    return row.subject.substr(a.groups[i]->first, a.groups[i]->second - a.groups[i]->first);
}

// Evaluates the table's expression: names and "..." literals joined by +.
bool evaluate(const Row& row, const Answer& a, std::string& value) {
    value.clear();
    const std::string& e = row.expr;
    std::size_t i = 0;
    while (i < e.size()) {
        while (i < e.size() && (e[i] == ' ' || e[i] == '+')) ++i;
        if (i >= e.size()) break;
        if (e[i] == '"' || e[i] == '\'') {
            char q = e[i];
            std::size_t close = e.find(q, i + 1);
            if (close == std::string::npos) return false;
            value += e.substr(i + 1, close - i - 1);
            i = close + 1;
            continue;
        }
        std::size_t start = i;
        while (i < e.size() && std::isalnum(static_cast<unsigned char>(e[i]))) ++i;
        std::string name = e.substr(start, i - start);
        if (name == "found") {
            value += groupText(row, a, 0);
        } else if (name.size() >= 2 && name[0] == 'g' && std::all_of(name.begin() + 1, name.end(), [](char c) {
                       return std::isdigit(static_cast<unsigned char>(c));
                   })) {
            value += groupText(row, a, std::stoul(name.substr(1)));
        } else {
            return false;
        }
    }
    return true;
}

bool meetsTable(const Row& row, Row::Outcome outcome, const std::string& value, const Answer& a, std::string& why) {
    if (a.kind == Answer::crashed || a.kind == Answer::timedOut || a.kind == Answer::unreadable) {
        why = oracle::describe(a);
        return false;
    }
    if (outcome == Row::syntaxError) {
        why = "expected a compile error";
        return a.kind == Answer::compileError;
    }
    if (a.kind == Answer::compileError) {
        why = "expected it to compile";
        return false;
    }
    if (outcome == Row::fail) {
        why = "expected no match";
        return !a.matched;
    }
    if (!a.matched) {
        why = "expected a match";
        return false;
    }
    if (row.exactSpans) {
        std::vector<Span> want = oracle::trimmed(row.spans);
        why = "expected groups";
        for (auto& s : want) why += " " + oracle::spanText(s);
        return oracle::trimmed(a.groups) == want;
    }
    std::string got;
    if (!evaluate(row, a, got)) {
        why = "cannot evaluate " + row.expr;
        return false;
    }
    why = "expected " + row.expr + " = " + oracle::quoted(value) + ", got " + oracle::quoted(got);
    return got == value;
}

// Applies the lists above to the rows of one table.
void classify(std::vector<Row>& rows) {
    for (auto& r : rows) {
        if (!r.skip.empty()) continue;
        for (const auto& f : pythonSpecific)
            if (r.where.rfind("re_tests", 0) == 0 && r.original == f.pattern) {
                r.judge = Row::perl;
                r.reason = f.reason;
            }
        for (const auto& d : syntaxDifferences)
            if (r.original == d.pattern && r.subject == d.subject) {
                r.judge = Row::syntax;
                r.outcome = d.outcome;
                r.expected = d.value;
                r.reason = d.reason;
            }
    }
}

bool isPerlSpecific(const Row& r) {
    return std::any_of(std::begin(perlSpecific), std::end(perlSpecific),
                       [&](const FlavourRow& f) { return r.original == f.pattern; });
}

struct Tally {
    int passed = 0, failed = 0, skipped = 0;
};

// Runs one table in one match strategy; returns the failures as report lines.
Tally runSuite(const std::string& name, std::vector<Row>& rows, unsigned extraFlags, regex::REGEX_MODE mode,
               std::vector<std::string>& failures, std::vector<std::string>& oracleNotes) {
    classify(rows);
    std::vector<Case> cases;
    std::vector<std::size_t> index;
    Tally t;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!rows[i].skip.empty()) {
            ++t.skipped;
            continue;
        }
        Case c;
        c.pattern = rows[i].pattern;
        c.subject = rows[i].subject;
        cases.push_back(c);
        index.push_back(i);
    }
    auto perl = oracle::askPerl(cases);
    auto engine = oracle::askEngine(cases, extraFlags, mode);
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const Row& row = rows[index[k]];
        std::string why;
        bool ok;
        if (row.judge == Row::perl) {
            ok = !perl.empty() && oracle::sameMatch(engine[k], perl[k]);
            why = perl.empty() ? "Perl could not be run"
                               : "Perl gives " + oracle::describe(perl[k]) + " (" + row.reason + ")";
        } else {
            ok = meetsTable(row, row.outcome, row.expected, engine[k], why);
            std::string perlWhy;
            if (row.judge == Row::table && !perl.empty() && !isPerlSpecific(row) &&
                !meetsTable(row, row.outcome, row.expected, perl[k], perlWhy))
                oracleNotes.push_back(name + " " + row.where + ": table and Perl disagree on " +
                                      oracle::quoted(row.original) + " against " + oracle::quoted(row.subject) +
                                      ": Perl gives " + oracle::describe(perl[k]));
        }
        if (ok) {
            ++t.passed;
        } else {
            ++t.failed;
            failures.push_back(row.where + ": pattern " + oracle::quoted(row.pattern) + " subject " +
                               oracle::quoted(row.subject) + ": " + why + "; engine gives " +
                               oracle::describe(engine[k]));
        }
    }
    std::map<std::string, int> reasons;
    for (const auto& r : rows)
        if (!r.skip.empty()) ++reasons[r.skip];
    for (const auto& [reason, n] : reasons) std::printf("  skipped %4d rows: %s\n", n, reason.c_str());
    std::printf("%s: %d passed, %d failed, %d skipped\n", name.c_str(), t.passed, t.failed, t.skipped);
    return t;
}

void report(const std::vector<std::string>& failures, const std::vector<std::string>& notes) {
    for (const auto& f : failures) ADD_FAILURE() << f;
    // A disagreement between a table and Perl on an unlisted row means the
    // lists above are incomplete: the row's expectation is in doubt.
    for (const auto& n : notes) ADD_FAILURE() << n;
}

class OutsideSuites : public ::testing::TestWithParam<regex::REGEX_MODE> {};

const char* modeName(regex::REGEX_MODE mode) { return mode == regex::stack_mode ? "stack" : "recursive"; }

TEST_P(OutsideSuites, PythonReTests) {
    const std::string path = SPECKMEND_PY_RE_TESTS;
    if (!fileExists(path)) GTEST_SKIP() << path << " is missing (Debian package libpython3.11-testsuite)";
    auto rows = loadPythonRows(path);
    ASSERT_GT(rows.size(), 300u) << "the table could not be read through Python";
    std::vector<std::string> failures, notes;
    // Python's patterns use \n, \t and friends as control characters.
    runSuite(std::string("re_tests-") + modeName(GetParam()), rows, regex::translate_escapes, GetParam(), failures,
             notes);
    report(failures, notes);
}

TEST_P(OutsideSuites, Re2SearchTable) {
    const std::string path = SPECKMEND_RE2_SEARCH;
    if (!fileExists(path)) GTEST_SKIP() << path << " is missing (Debian package golang-1.19-src)";
    auto rows = loadRe2Rows(path);
    ASSERT_GT(rows.size(), 3000u) << "the table could not be read";
    std::vector<std::string> failures, notes;
    runSuite(std::string("re2-search-") + modeName(GetParam()), rows, regex::translate_escapes, GetParam(), failures,
             notes);
    report(failures, notes);
}

INSTANTIATE_TEST_SUITE_P(Modes, OutsideSuites, ::testing::Values(regex::recursive_mode, regex::stack_mode),
                         [](const auto& info) { return std::string(modeName(info.param)); });

// The driver's own mappings decide which expectations apply; a wrong mapping
// would silently test something else.
TEST(OutsideSuiteMapping, Re2DollarBecomesEndOfTextOutsideMultiLine) {
    struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"a$", "a\\z"},
        {"[$]$", "[$]\\z"},
        {"\\$$", "\\$\\z"},
        {"(?m)a$", "(?m)a$"},
        {"^(?:(?m)def$)$", "^(?:(?m)def$)\\z"},
        {"(?m:a$)$", "(?m:a$)\\z"},
        {"[]$]$", "[]$]\\z"},
    };
    for (const auto& r : rows) EXPECT_EQ(mapRe2Pattern(r.in), r.out) << r.in;
}

TEST(OutsideSuiteMapping, GoStringsAndPythonEndOfSubject) {
    EXPECT_EQ(unquoteGo("\"a\\\\b\\n\\x41\\\"\""), "a\\b\nA\"");
    EXPECT_EQ(unquoteGo("\"\\101\""), "A");
    EXPECT_EQ(mapPythonPattern("a\\Z\\\\Z"), "a\\z\\\\Z");
}

TEST(OutsideSuiteMapping, FeaturesThisEngineLacksAreRecognised) {
    struct {
        const char* pattern;
        bool lacking;
    } rows[] = {
        {"(?P<id>a)", true},    {"(?<n>a)", true},    {"(?<=a)b", false},     {"(?<!a)b", false},
        {"a++", true},          {"a{2}+", true},      {"a+?", false},         {"\\pN", true},
        {"\\x{41}", true},      {"\\x41", false},     {"(?(1)a|b)", false},   {"(?(n)a|b)", true},
        {"(?(?=a)a|b)", false}, {"[[:word:]]", true}, {"[[:alpha:]]", false}, {"\\\\p", false},
    };
    for (const auto& r : rows) EXPECT_EQ(!missingFeature(r.pattern).empty(), r.lacking) << r.pattern;
}

}  // namespace
