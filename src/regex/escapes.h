// The one decoder of character escapes (\x41, \101, \cA, \e, \n, ...), used
// by the pattern parser, the bracket-expression parser and the translation
// of substitution texts.
//
// The rule, everywhere: \x takes at most two hexadecimal digits (none gives
// 0), an octal escape at most three octal digits, \cX is X upper-cased
// exclusive-or 64, \e is 27, and \a \f \n \r \t (and \v) stand for their
// control characters only when asked to translate escapes. This is Perl's
// rule (\x414 is "A4" inside brackets as outside); longer codes do not fit
// an 8-bit character anyway. Where the contexts legitimately differ:
// - outside brackets a digit escape is first a backreference; what is left
//   of a number that is not one is read as octal from its first digit, so
//   \8 and \9 give character 0 and the digit stays in the pattern; inside
//   brackets there are no backreferences and \8 is the digit itself;
// - \b is character 8 inside brackets (a word boundary outside, which the
//   parser handles before asking);
// - \v is a control character only inside brackets and in substitution
//   texts: outside brackets Perl gives \v a class meaning, so the letter
//   stands for itself there.
//
// Tested by: tests/regex/escapes_test.cpp.
#pragma once

#include <cstddef>

namespace regex::detail {

enum class escape_context { pattern, bracket };

struct escape_result {
    enum kind_t {
        none,        // no character escape here: the caller decides
        character,   // `value` is the character; the position moved past it
        incomplete,  // \c at the end of the text
    } kind;
    unsigned char value;
};

// Decodes the escape whose first character after the backslash is at p;
// `translate` says whether \a \f \n \r \t (\v) are control characters.
escape_result decode_escape(const char*& p, const char* end, bool translate, escape_context where);

// The control character of the letter of \a \e \f \n \r \t \v, or -1.
int control_escape(char letter);

}  // namespace regex::detail
