// The adapter the program runs plain matches through.
#include "regex/regex.h"

namespace regex {

bool regex_match(std::string pattern, std::string subject, unsigned flags) {
    rpattern p(std::move(pattern), flags, recursive_mode);
    match_results results;
    return p.match(subject, results).matched;
}

}  // namespace regex
