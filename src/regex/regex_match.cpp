// regex_match, a search in one call for a caller that needs only to know
// whether a pattern occurs. The program's own searches need more than that
// (the mode word's match must span the whole word; output names come from
// substitute), so it is called by the tests and the substitution fuzz target.
#include "regex/regex.h"

namespace regex {

bool regex_match(std::string pattern, std::string subject, unsigned flags) {
    rpattern p(std::move(pattern), flags, recursive_mode);
    match_results results;
    return p.match(subject, results).matched;
}

}  // namespace regex
