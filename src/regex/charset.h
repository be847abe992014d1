// Character sets for bracket expressions, the class escapes \d \s \w (and
// their negations) and the word test of \b. Membership is decided for 8-bit
// characters; everything is folded into one 256-bit table when a set is
// finalised, so the matcher does a single bit test. One class serves the
// built-in sets (static storage) and bracket sets (lists in the pattern's
// arena); escapes inside brackets are decoded by escapes.h.
//
// Tested by: tests/regex/charset_test.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "regex/arena_allocator.h"

namespace regex::detail {

// One bit per POSIX class name, so that the positive classes of a set are a
// single mask and membership of all of them one table look-up (classify).
// The bit order is the order of the class_table columns in charset.cpp,
// which asks <cctype> once per process for every character in the current
// C locale.
enum posix_class : unsigned {
    class_alnum = 1u << 0,
    class_alpha = 1u << 1,
    class_blank = 1u << 2,
    class_cntrl = 1u << 3,
    class_digit = 1u << 4,
    class_graph = 1u << 5,
    class_lower = 1u << 6,
    class_print = 1u << 7,
    class_punct = 1u << 8,
    class_space = 1u << 9,
    class_upper = 1u << 10,
    class_xdigit = 1u << 11,
};

// True when c belongs to at least one of the classes in mask.
bool classify(unsigned mask, unsigned char c);

class charset {
public:
    struct bitmap {
        std::uint64_t words[4] = {0, 0, 0, 0};
        bool test(unsigned char c) const { return (words[c >> 6] >> (c & 63)) & 1u; }
        void set(unsigned char c) { words[c >> 6] |= std::uint64_t{1} << (c & 63); }
        bitmap& operator|=(const bitmap& o) {
            for (int i = 0; i < 4; ++i) words[i] |= o.words[i];
            return *this;
        }
        bitmap operator~() const {
            bitmap out;
            for (int i = 0; i < 4; ++i) out.words[i] = ~words[i];
            return out;
        }
    };
    struct range {
        std::uint16_t first, last;
    };

    bool negated = false;
    bool simple = true;
    bitmap bits;              // characters entered one by one or by range
    unsigned class_mask = 0;  // positive POSIX classes
    // Lists kept in the arena (or static storage for the built-in sets).
    range* ranges = nullptr;
    std::size_t range_count = 0;
    unsigned* negated_masks = nullptr;
    std::size_t negated_mask_count = 0;
    const charset** nested = nullptr;
    std::size_t nested_count = 0;

    // Final membership including negation, nested sets and negated masks;
    // valid once finalise() has run.
    bitmap members;

    bool contains(unsigned char c) const { return members.test(c); }
    // Membership computed from the parts, without the folded table.
    bool contains_slow(unsigned char c) const;

    // Folds classes into the bitmap, decides `simple` and fills `members`.
    void finalise();
    // Adds a positive set's characters and classes to this one.
    void merge(const charset& other);
};

// Built once per process and shared by all patterns. Also holds the map of
// user-defined escape classes, which the program never fills.
class intrinsic_charsets {
public:
    // The set for one of d D s S w W, or nullptr for any other letter.
    static const charset* get(char letter);
    static const charset& word_set() { return *get('w'); }

    // User classes: `text` is the inside of a bracket expression, such as
    // "a-f0-9". Registering replaces any earlier class for the letter.
    static void register_class(char letter, std::string text);
    static const charset* user_class(char letter, bool ignore_case);
    static void clear_user_classes();
};

// Parses a bracket expression. `p` is just after '[' and is left after the
// closing ']'. Throws bad_regexpr on a malformed set.
charset* parse_bracket(const char*& p, const char* end, unsigned flags, arena_allocator& arena);

}  // namespace regex::detail
