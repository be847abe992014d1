// Fuzzes the pattern compiler and the matcher: any pattern, flag word, mode
// and subject. A bad pattern must be refused with bad_regexpr and nothing
// else; a compiled one must match without crashing, in every mode, with
// results that lie inside the subject.
//
// Input: flag byte 1 and 2 (the flag word's low ten bits), mode byte, then
// the pattern up to the first NUL byte, then the subject.
//
// Pattern and subject are taken at any size: a search that backtracks too
// much ends in step_limit_reached, which is a normal outcome here.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "regex/regex.h"

namespace {

template <class CI>
void checkResults(const regex::basic_match_results<CI>& results, CI begin, CI end,
                  const regex::backref_tag<CI>& whole) {
    if (!whole.matched) return;
    if (whole.first < begin || whole.second > end || whole.first > whole.second) __builtin_trap();
    for (std::size_t i = 0; i < results.cbackrefs(); ++i) {
        const auto& group = results.backref(i);
        if (!group.matched) continue;
        if (group.first < begin || group.second > end || group.first > group.second) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const unsigned flags = (data[0] | (data[1] << 8)) & 0x3FF;
    const auto mode = static_cast<regex::REGEX_MODE>(data[2] % 3);
    const std::string rest(reinterpret_cast<const char*>(data + 3), size - 3);
    const std::size_t nul = rest.find('\0');
    const std::string pattern = rest.substr(0, nul);
    const std::string subject = nul == std::string::npos ? std::string() : rest.substr(nul + 1);

    try {
        const regex::rpattern compiled(pattern, flags, mode);
        regex::match_results results;
        const auto whole = compiled.match(subject, results);
        checkResults(results, subject.cbegin(), subject.cend(), whole);

        // The same search over a NUL-terminated text.
        const regex::rpattern_c compiledC(pattern, flags, mode);
        regex::match_results_c resultsC;
        const std::string cut = subject.substr(0, subject.find('\0'));
        const auto wholeC = compiledC.match(cut.c_str(), resultsC);
        checkResults(resultsC, cut.c_str(), cut.c_str() + cut.size(), wholeC);
    } catch (const regex::step_limit_reached&) {
    } catch (const regex::bad_regexpr&) {}
    return 0;
}
