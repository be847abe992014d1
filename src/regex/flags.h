// Pattern flags and match modes. The numeric values are part of the
// interface: callers combine the flags with | and store them.
#pragma once

namespace regex {

enum REGEX_FLAGS : unsigned {
    NOFLAGS = 0,
    ignore_case = 1,
    global_match = 2,
    multi_line = 4,
    single_line = 8,
    rightmost = 16,
    discard_captures = 32,
    collect_whole_matches = 64,
    collect_all_groups = 128,
    translate_escapes = 256,
    free_spacing = 512,
};

enum REGEX_MODE { recursive_mode = 0, stack_mode = 1, adaptive_mode = 2 };

}  // namespace regex
