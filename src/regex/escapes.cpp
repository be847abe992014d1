// The one decoder of character escapes; the rule is in escapes.h.
#include "regex/escapes.h"

#include <cctype>

namespace regex::detail {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int control_escape(char letter) {
    switch (letter) {
    case 'a': return 7;
    case 'e': return 27;
    case 'f': return 12;
    case 'n': return 10;
    case 'r': return 13;
    case 't': return 9;
    case 'v': return 11;
    default: return -1;
    }
}

escape_result decode_escape(const char*& p, const char* end, bool translate, escape_context where) {
    if (p == end) return {escape_result::none, 0};
    const char c = *p;
    if (c >= '0' && c <= '7') {
        unsigned v = 0;
        for (int k = 0; k < 3 && p != end && *p >= '0' && *p <= '7'; ++k, ++p)
            v = v * 8 + static_cast<unsigned>(*p - '0');
        return {escape_result::character, static_cast<unsigned char>(v)};
    }
    if (c == '8' || c == '9') {
        if (where == escape_context::bracket) return {escape_result::none, 0};
        return {escape_result::character, 0};  // the digit stays
    }
    switch (c) {
    case 'x': {
        ++p;
        unsigned v = 0;
        for (int k = 0; k < 2 && p != end && hex_value(*p) >= 0; ++k, ++p)
            v = v * 16 + static_cast<unsigned>(hex_value(*p));
        return {escape_result::character, static_cast<unsigned char>(v)};
    }
    case 'c': {
        if (p + 1 == end) return {escape_result::incomplete, 0};
        unsigned char x = static_cast<unsigned char>(p[1]);
        p += 2;
        if (std::islower(x)) x = static_cast<unsigned char>(std::toupper(x));
        return {escape_result::character, static_cast<unsigned char>(x ^ 64)};
    }
    case 'e': ++p; return {escape_result::character, 27};
    case 'b':
        if (where != escape_context::bracket) return {escape_result::none, 0};
        ++p;
        return {escape_result::character, 8};
    case 'v':
        if (where != escape_context::bracket) return {escape_result::none, 0};
        break;
    default: break;
    }
    const int control = control_escape(c);
    if (!translate || control < 0) return {escape_result::none, 0};
    ++p;
    return {escape_result::character, static_cast<unsigned char>(control)};
}

}  // namespace regex::detail
