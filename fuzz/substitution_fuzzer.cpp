// Fuzzes the substitution text parser and its expansion: a pattern, a
// substitution text and a subject, substituted once or globally, plus the
// program's own use (the trailing word of a file name replaced by the save
// format, and the ".jpg" test on the name).
//
// Input: flag byte 1 and 2, mode byte, then pattern, substitution and subject
// separated by NUL bytes. Any sizes: a search stopped by the step limit is a
// normal outcome, after which the target must be as it was.
#include <cstdint>
#include <string>
#include <string_view>

#include "regex/regex.h"

namespace {

std::string_view nextField(std::string_view& rest) {
    const std::size_t nul = rest.find('\0');
    const std::string_view field = rest.substr(0, nul);
    rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
    return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const unsigned flags = (data[0] | (data[1] << 8)) & 0x3FF;
    const auto mode = static_cast<regex::REGEX_MODE>(data[2] % 3);
    std::string_view rest(reinterpret_cast<const char*>(data + 3), size - 3);
    const std::string pattern(nextField(rest));
    const std::string substitution(nextField(rest));
    const std::string subject(rest);

    std::string target = subject;
    try {
        regex::rpattern compiled(pattern, substitution, flags, mode);
        regex::subst_results results;
        const std::size_t count = regex::substitute(results, compiled, target);
        if (count == 0 && target != subject) __builtin_trap();  // no replacement, yet the text changed
        if (!(flags & regex::global_match) && count > 1) __builtin_trap();

        // A replacement set after construction takes the same path.
        compiled.set_replacement(std::string(substitution.rbegin(), substitution.rend()));
        std::string again = subject;
        try {
            regex::substitute(results, compiled, again);
        } catch (const regex::step_limit_reached&) {
            if (again != subject) __builtin_trap();  // stopped, yet half edited
        }
    } catch (const regex::step_limit_reached&) {
        if (target != subject) __builtin_trap();
    } catch (const regex::bad_regexpr&) {}

    // The output name of the healing run: any save format, any file name.
    // A save format that is not a valid substitution text is refused with
    // bad_regexpr, which the run flow turns into its fatal block.
    try {
        regex::rpattern name("\\w+$", regex::ignore_case);
        name.set_replacement(substitution);
        regex::subst_results nameResults;
        std::string fileName = subject;
        regex::substitute(nameResults, name, fileName);
    } catch (const regex::bad_regexpr&) {}
    (void)regex::regex_match("\\.jpg", subject, regex::ignore_case);
    return 0;
}
