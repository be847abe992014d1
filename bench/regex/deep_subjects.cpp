// One search of a long subject, for bench/regex/deep_subjects, which runs
// each case in a process of its own to read its peak memory.
//
//   regex_deep_subjects CASE MODE MEGABYTES
//
// CASE is a row of kCases, MODE recursive, stack or adaptive. Prints whether
// it matched and the match's length.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "regex/regex.h"

namespace {

struct Case {
    const char* pattern;
    char fill;    // the subject's characters
    char every3;  // every third one from the second, or 0
    const char* tail;
};

// The first row allocates nothing beyond the subject: the baseline.
const Case kCases[] = {
    {"\\.jpg", 'x', 0, ""},
    {"(\\w)+$", 'a', 0, ""},
    {"(?:a|b)*c", 'a', 'b', "c"},
    {"(a|b)*c", 'a', 'b', "c"},
    {"(?:x+y?)*z", 'x', 'y', "z"},
    {"(?:(a)|b)+?c", 'a', 'b', "c"},
    {"^(?:(?=a)a|b)*$", 'a', 'b', ""},
    {"(?>(?:a|b)*)c", 'a', 'b', "c"},
};

}  // namespace

int main(int argc, char** argv) {
    const std::size_t count = sizeof kCases / sizeof kCases[0];
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (std::size_t i = 0; i < count; ++i) std::printf("%zu %s\n", i, kCases[i].pattern);
        return 0;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: regex_deep_subjects CASE recursive|stack|adaptive MEGABYTES | --list\n");
        return 2;
    }
    const std::size_t row = std::strtoul(argv[1], nullptr, 10);
    if (row >= count) return 2;
    const Case& c = kCases[row];
    const regex::REGEX_MODE mode = std::strcmp(argv[2], "recursive") == 0 ? regex::recursive_mode
                                   : std::strcmp(argv[2], "stack") == 0   ? regex::stack_mode
                                                                          : regex::adaptive_mode;
    std::string subject(std::strtoul(argv[3], nullptr, 10) << 20, c.fill);
    if (c.every3 != 0)
        for (std::size_t i = 1; i < subject.size(); i += 3) subject[i] = c.every3;
    subject += c.tail;
    const regex::rpattern pattern(c.pattern, 0, mode);
    regex::match_results results;
    const bool matched = pattern.match(subject, results).matched;
    std::printf("%d %td\n", matched ? 1 : 0, matched ? results.rlength(0) : 0);
    return 0;
}
