// Times the pattern engine against std::regex, Boost.Regex and PCRE2 (with
// and without JIT) on the same machine in one run, and prints a table of
// ratios. Every engine must find the same number of matches as PCRE2 (or, if
// PCRE2 is absent, as the text generator placed); a row that does not is
// marked wrong instead of timed as if it were right.
#include "regex/regex.h"
#include "text_generator.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#ifdef SPECKMEND_HAVE_BOOST_REGEX
#include <boost/regex.hpp>
#endif
#ifdef SPECKMEND_HAVE_PCRE2
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#endif

namespace {

using speckmend::bench::GeneratedText;

const GeneratedText& corpus() {
    static const GeneratedText text = speckmend::bench::generateText();
    return text;
}

const std::string& corpusText() { return corpus().text; }

// A subject on which a backtracker tries every split of the x's before it
// can say there is no match. The "y" is there so that no engine can decline
// at once for want of a required character; 14 x's keep Boost.Regex under
// its complexity limit.
const std::string& nestedSubject() {
    static const std::string s = std::string(14, 'x') + "zy";
    return s;
}

// A pattern of about 1 KB: alternatives of words, classes, counted repeats
// and groups, the shape a configuration-driven filter would have.
std::string largePattern() {
    std::string p;
    const char* words[] = {"camera", "sensor", "pixel", "frame", "exposure", "shutter", "lens", "noise"};
    for (int i = 0; p.size() < 1000; ++i) {
        if (!p.empty()) p += "|";
        p += "(?:" + std::string(words[i % 8]) + "[-_ ]?(\\d{1,4})\\.(?:jpe?g|png|tiff?)|" + words[(i + 3) % 8] +
             "\\w{2,8}[[:alpha:]]+)";
    }
    return p;
}

struct Workload {
    std::string name;
    std::string pattern;
    std::function<const std::string&()> subject;
    std::function<std::size_t()> placed;  // count the generator guarantees, if any
};

std::vector<Workload> workloads() {
    return {
        {"email", R"([\w\.+-]+@[\w\.-]+\.[\w\.-]+)", corpusText, [] { return corpus().emails; }},
        {"uri", R"([\w]+://[^/\s?#]+[^\s?#]+(?:\?[^\s#]*)?(?:#[^\s]*)?)", corpusText, [] { return corpus().uris; }},
        {"ipv4", R"((?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9])\.){3}(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]))",
         corpusText, [] { return corpus().ipv4; }},
        {"doubled-word", R"(\b(\w+)\s+\1\b)", corpusText, [] { return corpus().doubledWords; }},
        {"nested-fail", R"((x+x+)+y)", nestedSubject, [] { return std::size_t(0); }},
    };
}

// One engine: compiles a pattern into a counter of non-overlapping matches.
using Counter = std::function<std::size_t(const char*, const char*)>;
struct Engine {
    std::string name;
    std::function<Counter(const std::string&)> compile;
};

Counter speckmendCounter(const std::string& pattern, regex::REGEX_MODE mode) {
    auto p = std::make_shared<regex::rpattern_c>(pattern, regex::NOFLAGS, mode);
    return [p](const char* begin, const char* end) {
        regex::match_results_c results;
        std::size_t count = 0;
        while (begin <= end) {
            auto m = p->match(begin, end, results);
            if (!m.matched) break;
            ++count;
            begin = m.second == m.first ? m.second + 1 : m.second;
        }
        return count;
    };
}

std::vector<Engine> engines() {
    std::vector<Engine> list;
    list.push_back(
        {"speckmend-recursive", [](const std::string& p) { return speckmendCounter(p, regex::recursive_mode); }});
    list.push_back({"speckmend-stack", [](const std::string& p) { return speckmendCounter(p, regex::stack_mode); }});
    list.push_back({"std::regex", [](const std::string& p) -> Counter {
                        auto re = std::make_shared<std::regex>(p, std::regex::ECMAScript);
                        return [re](const char* b, const char* e) {
                            return std::size_t(std::distance(std::cregex_iterator(b, e, *re), std::cregex_iterator()));
                        };
                    }});
#ifdef SPECKMEND_HAVE_BOOST_REGEX
    list.push_back({"Boost.Regex", [](const std::string& p) -> Counter {
                        auto re = std::make_shared<boost::regex>(p, boost::regex::perl);
                        return [re](const char* b, const char* e) {
                            return std::size_t(
                                std::distance(boost::cregex_iterator(b, e, *re), boost::cregex_iterator()));
                        };
                    }});
#endif
#ifdef SPECKMEND_HAVE_PCRE2
    for (bool jit : {false, true}) {
        list.push_back({jit ? "PCRE2-JIT" : "PCRE2", [jit](const std::string& p) -> Counter {
                            int error = 0;
                            PCRE2_SIZE offset = 0;
                            pcre2_code* raw = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(p.data()), p.size(), 0, &error,
                                                            &offset, nullptr);
                            if (!raw) return [](const char*, const char*) { return std::size_t(-1); };
                            if (jit) pcre2_jit_compile(raw, PCRE2_JIT_COMPLETE);
                            auto code = std::shared_ptr<pcre2_code>(raw, pcre2_code_free);
                            auto data = std::shared_ptr<pcre2_match_data>(
                                pcre2_match_data_create_from_pattern(raw, nullptr), pcre2_match_data_free);
                            return [code, data](const char* b, const char* e) {
                                std::size_t count = 0;
                                PCRE2_SIZE at = 0, length = PCRE2_SIZE(e - b);
                                while (at <= length) {
                                    int rc = pcre2_match(code.get(), reinterpret_cast<PCRE2_SPTR>(b), length, at, 0,
                                                         data.get(), nullptr);
                                    if (rc == PCRE2_ERROR_NOMATCH) break;
                                    if (rc < 0) return std::size_t(-1);
                                    PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data.get());
                                    ++count;
                                    at = ov[1] == ov[0] ? ov[1] + 1 : ov[1];
                                }
                                return count;
                            };
                        }});
    }
#endif
    return list;
}

// Compiles the pattern once per iteration, so that the time is compile time.
void compileOnly(const Engine& engine, const std::string& pattern, benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(engine.compile(pattern));
}

struct Measured {
    double seconds = 0;  // per iteration
    bool present = false;
};

std::map<std::string, Measured> measured;
std::map<std::string, std::string> wrong;  // "workload/engine" -> why

class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs)
            if (!r.error_occurred && r.iterations > 0)
                measured[r.benchmark_name()] = {r.cpu_accumulated_time / double(r.iterations), true};
        ConsoleReporter::ReportRuns(runs);
    }
};

std::string cell(const std::string& key) {
    if (wrong.count(key)) return "WRONG";
    auto it = measured.find(key);
    if (it == measured.end()) return "-";
    char buf[32];
    double ms = it->second.seconds * 1e3;
    std::snprintf(buf, sizeof buf, ms < 10 ? "%.3f" : "%.1f", ms);
    return buf;
}

std::string ratio(const std::string& a, const std::string& b) {
    if (wrong.count(a) || wrong.count(b) || !measured.count(a) || !measured.count(b)) return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", measured[a].seconds / measured[b].seconds);
    return buf;
}

void printTable(const std::vector<std::string>& rows, const std::vector<Engine>& list,
                const std::map<std::string, std::size_t>& counts) {
    // CPU time, not wall time: the machine is shared, and waiting for a core
    // says nothing about an engine.
    std::printf("\nCPU ms per run (lower is better); ratios are this engine's time over the other's.\n");
    std::printf("%-14s %8s", "workload", "matches");
    for (const auto& e : list) std::printf(" %20s", e.name.c_str());
    std::printf(" | %9s %9s %9s %9s %9s\n", "rec/Boost", "rec/PCRE2", "stk/Boost", "stk/PCRE2", "std/rec");
    for (const auto& row : rows) {
        auto c = counts.find(row);
        std::printf("%-14s %8s", row.c_str(), c == counts.end() ? "" : std::to_string(c->second).c_str());
        for (const auto& e : list) std::printf(" %20s", cell(row + "/" + e.name).c_str());
        std::string rec = row + "/speckmend-recursive", stk = row + "/speckmend-stack";
        std::printf(" | %9s %9s %9s %9s %9s\n", ratio(rec, row + "/Boost.Regex").c_str(),
                    ratio(rec, row + "/PCRE2").c_str(), ratio(stk, row + "/Boost.Regex").c_str(),
                    ratio(stk, row + "/PCRE2").c_str(), ratio(row + "/std::regex", rec).c_str());
    }
    std::printf("Targets: rec/Boost and rec/PCRE2 at most 1.00; std/rec at least 5.00.\n");
    for (const auto& [key, why] : wrong) std::printf("WRONG %s: %s\n", key.c_str(), why.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const auto list = engines();
    const auto work = workloads();
    std::printf("text: %zu bytes; placed %zu e-mails, %zu URIs, %zu IPv4 addresses, %zu doubled words\n",
                corpus().text.size(), corpus().emails, corpus().uris, corpus().ipv4, corpus().doubledWords);

    // Check every engine's count before timing anything.
    std::map<std::string, std::size_t> counts;
    std::vector<std::string> rows;
    for (const auto& w : work) {
        rows.push_back(w.name);
        const std::string& s = w.subject();
        std::map<std::string, std::size_t> found;
        for (const auto& e : list) {
            try {
                found[e.name] = e.compile(w.pattern)(s.data(), s.data() + s.size());
            } catch (const std::exception& ex) {
                wrong[w.name + "/" + e.name] = std::string("threw ") + ex.what();
            }
        }
        const bool pcre2Counted = found.count("PCRE2") && found["PCRE2"] != std::size_t(-1);
        std::size_t reference = pcre2Counted ? found["PCRE2"] : w.placed();
        counts[w.name] = reference;
        if (pcre2Counted && found["PCRE2"] != w.placed())
            std::printf("note: %s: PCRE2 finds %zu, the generator placed %zu\n", w.name.c_str(), found["PCRE2"],
                        w.placed());
        for (const auto& [engine, n] : found)
            if (n == std::size_t(-1))
                wrong[w.name + "/" + engine] = "matching failed (limit or error)";
            else if (n != reference)
                wrong[w.name + "/" + engine] = "found " + std::to_string(n) + ", expected " + std::to_string(reference);
    }

    for (const auto& w : work) {
        for (const auto& e : list) {
            if (wrong.count(w.name + "/" + e.name)) continue;
            auto counter = e.compile(w.pattern);
            const std::string* subject = &w.subject();
            benchmark::RegisterBenchmark((w.name + "/" + e.name).c_str(), [counter, subject](benchmark::State& st) {
                for (auto _ : st) benchmark::DoNotOptimize(counter(subject->data(), subject->data() + subject->size()));
            })->Unit(benchmark::kMillisecond);
        }
    }
    const std::string big = largePattern();
    rows.push_back("compile-1KB");
    std::printf("compile-1KB pattern: %zu bytes\n", big.size());
    for (const auto& e : list) {
        try {
            e.compile(big);
        } catch (const std::exception& ex) {
            wrong["compile-1KB/" + e.name] = std::string("threw ") + ex.what();
            continue;
        }
        benchmark::RegisterBenchmark(("compile-1KB/" + e.name).c_str(), [e, big](benchmark::State& st) {
            compileOnly(e, big, st);
        })->Unit(benchmark::kMillisecond);
    }

    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printTable(rows, list, counts);
    return wrong.empty() ? 0 : 1;
}
