// The pattern engine's public interface.
#pragma once

#include <string>

#include "regex/bad_regexpr.h"
#include "regex/basic_rpattern.h"
#include "regex/flags.h"
#include "regex/match_results.h"

namespace regex {

// True when `pattern` occurs anywhere in `subject`.
bool regex_match(std::string pattern, std::string subject, unsigned flags);

}  // namespace regex
