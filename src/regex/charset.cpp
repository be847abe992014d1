// Bracket-expression parsing, built-in classes and membership.
#include "regex/charset.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <vector>

#include "regex/bad_regexpr.h"
#include "regex/escapes.h"
#include "regex/flags.h"

namespace regex::detail {

namespace {

// Every class bit of every 8-bit character, asked of <cctype> once per
// process: finalising a set is then a few 256-bit operations instead of
// thousands of ctype calls. The program never changes locale after start-up,
// so a table built on first use stays right.
struct class_table {
    std::uint16_t masks[256];
    charset::bitmap members[12];  // one bitmap per class bit
    class_table() {
        for (unsigned c = 0; c < 256; ++c) {
            const int ch = static_cast<int>(c);
            const bool in[12] = {std::isalnum(ch) != 0, std::isalpha(ch) != 0, std::isblank(ch) != 0,
                                 std::iscntrl(ch) != 0, std::isdigit(ch) != 0, std::isgraph(ch) != 0,
                                 std::islower(ch) != 0, std::isprint(ch) != 0, std::ispunct(ch) != 0,
                                 std::isspace(ch) != 0, std::isupper(ch) != 0, std::isxdigit(ch) != 0};
            std::uint16_t m = 0;
            for (unsigned bit = 0; bit < 12; ++bit) {
                if (!in[bit]) continue;
                m = static_cast<std::uint16_t>(m | (1u << bit));
                members[bit].set(static_cast<unsigned char>(c));
            }
            masks[c] = m;
        }
    }
};

const class_table& classes() {
    static const class_table table;
    return table;
}

// The characters of at least one class in mask.
charset::bitmap class_members(unsigned mask) {
    charset::bitmap out;
    if (mask == 0) return out;
    const class_table& t = classes();
    for (unsigned bit = 0; bit < 12; ++bit)
        if (mask & (1u << bit)) out |= t.members[bit];
    return out;
}

}  // namespace

bool classify(unsigned mask, unsigned char c) { return (classes().masks[c] & mask) != 0; }

bool charset::contains_slow(unsigned char c) const {
    bool in = bits.test(c) || classify(class_mask, c);
    for (std::size_t i = 0; !in && i < range_count; ++i) in = ranges[i].first <= c && c <= ranges[i].last;
    for (std::size_t i = 0; !in && i < negated_mask_count; ++i) in = !classify(negated_masks[i], c);
    for (std::size_t i = 0; !in && i < nested_count; ++i) in = nested[i]->contains(c);
    return in != negated;
}

void charset::finalise() {
    if (range_count > 1) {
        std::sort(ranges, ranges + range_count, [](const range& a, const range& b) { return a.first < b.first; });
        std::size_t out = 0;
        for (std::size_t i = 1; i < range_count; ++i) {
            if (ranges[i].first <= ranges[out].last + 1u)
                ranges[out].last = std::max(ranges[out].last, ranges[i].last);
            else
                ranges[++out] = ranges[i];
        }
        range_count = out + 1;
    }
    bits |= class_members(class_mask);
    simple = negated_mask_count == 0 && nested_count == 0;
    // Same membership as contains_slow(), computed a word at a time.
    members = bits;
    for (std::size_t i = 0; i < range_count; ++i)
        for (unsigned c = ranges[i].first; c <= ranges[i].last && c < 256; ++c)
            members.set(static_cast<unsigned char>(c));
    for (std::size_t i = 0; i < negated_mask_count; ++i) members |= ~class_members(negated_masks[i]);
    for (std::size_t i = 0; i < nested_count; ++i) members |= nested[i]->members;
    if (negated) members = ~members;
}

void charset::merge(const charset& other) {
    bits |= other.bits;
    class_mask |= other.class_mask;
    // Ranges and lists of the built-in sets are empty; a positive set is
    // fully described by its bitmap and mask.
}

// ---------------------------------------------------------------- built-ins

namespace {

struct intrinsic_store {
    charset sets[6];  // d D s S w W
    intrinsic_store() {
        const unsigned masks[3] = {class_digit, class_space, class_alnum};
        for (int i = 0; i < 3; ++i) {
            for (int neg = 0; neg < 2; ++neg) {
                charset& s = sets[i * 2 + neg];
                s.negated = neg == 1;
                s.class_mask = masks[i];
                if (i == 2) s.bits.set('_');
                s.finalise();
            }
        }
    }
};

const intrinsic_store& store() {
    static const intrinsic_store instance;
    return instance;
}

struct user_class_entry {
    std::string text;
    std::unique_ptr<arena_allocator> arena;
    const charset* cased = nullptr;
    const charset* folded = nullptr;
};

std::map<char, user_class_entry>& user_classes() {
    static std::map<char, user_class_entry> map;
    return map;
}

}  // namespace

const charset* intrinsic_charsets::get(char letter) {
    static const char letters[] = "dDsSwW";
    const char* hit = letter != '\0' ? std::strchr(letters, letter) : nullptr;
    return hit ? &store().sets[hit - letters] : nullptr;
}

void intrinsic_charsets::register_class(char letter, std::string text) {
    user_class_entry entry;
    entry.text = std::move(text);
    user_classes()[letter] = std::move(entry);
}

void intrinsic_charsets::clear_user_classes() { user_classes().clear(); }

const charset* intrinsic_charsets::user_class(char letter, bool ignore_case) {
    auto& map = user_classes();
    if (map.empty()) return nullptr;
    auto it = map.find(letter);
    if (it == map.end()) return nullptr;
    user_class_entry& e = it->second;
    const charset*& slot = ignore_case ? e.folded : e.cased;
    if (slot == nullptr) {
        if (!e.arena) e.arena = std::make_unique<arena_allocator>();
        std::string closed = e.text + "]";
        const char* p = closed.data();
        // A class naming its own letter would recurse forever; look the
        // letter up as a plain character while compiling it.
        user_class_entry saved = std::move(e);
        map.erase(it);
        const charset* built = nullptr;
        try {
            built = parse_bracket(p, closed.data() + closed.size(), ignore_case ? unsigned{regex::ignore_case} : 0u,
                                  *saved.arena);
        } catch (...) {
            map[letter] = std::move(saved);
            throw;
        }
        auto& restored = map[letter] = std::move(saved);
        (ignore_case ? restored.folded : restored.cased) = built;
        return built;
    }
    return slot;
}

// ---------------------------------------------------------------- brackets

namespace {

struct posix_name {
    const char* text;
    std::size_t length;
    unsigned mask;
    bool negated;
};

#define REGEX_POSIX(name, bit) \
    {"[:" name ":]", sizeof(name) + 3, bit, false}, { "[:^" name ":]", sizeof(name) + 4, bit, true }
const posix_name posix_names[] = {
    REGEX_POSIX("alnum", class_alnum), REGEX_POSIX("alpha", class_alpha), REGEX_POSIX("blank", class_blank),
    REGEX_POSIX("cntrl", class_cntrl), REGEX_POSIX("digit", class_digit), REGEX_POSIX("graph", class_graph),
    REGEX_POSIX("lower", class_lower), REGEX_POSIX("print", class_print), REGEX_POSIX("punct", class_punct),
    REGEX_POSIX("space", class_space), REGEX_POSIX("upper", class_upper), REGEX_POSIX("xdigit", class_xdigit),
};
#undef REGEX_POSIX

const char* const end_of_set = "expecting end of character set";

// One parsed item: a character, or a class that was merged or nested.
struct bracket_item {
    bool is_char;
    unsigned char ch;
};

class bracket_parser {
public:
    bracket_parser(const char*& p, const char* end, unsigned flags) : p_(p), end_(end), flags_(flags) {}

    charset* run(arena_allocator& arena) {
        auto* set = arena.make<charset>();
        need();
        if (*p_ == '^') {
            set->negated = true;
            ++p_;
        }
        bool first = true;
        for (;;) {
            need();
            if (*p_ == ']' && !first) {
                ++p_;
                break;
            }
            bracket_item item;
            if (first && (*p_ == ']' || *p_ == '-' || *p_ == '^')) {
                item = {true, static_cast<unsigned char>(*p_++)};
            } else {
                item = read_item();
            }
            first = false;
            if (!item.is_char) continue;
            // A following '-' makes a range unless it is followed by ']' or a
            // class, in which case it is an ordinary character.
            need();
            if (*p_ == '-') {
                const char* after = p_ + 1;
                if (after == end_) throw bad_regexpr(end_of_set);
                if (*after != ']') {
                    ++p_;
                    bracket_item last = read_item();
                    if (last.is_char) {
                        if (last.ch < item.ch) throw bad_regexpr("invalid range specified in character set");
                        add_range(item.ch, last.ch);
                        continue;
                    }
                    // "a-\d": the class is in; the '-' and 'a' are plain.
                    add_char(item.ch);
                    add_char('-');
                    continue;
                }
            }
            add_char(item.ch);
        }
        set->bits = bits_;
        set->class_mask = mask_;
        if (!negated_masks_.empty()) {
            set->negated_masks = static_cast<unsigned*>(arena.allocate(sizeof(unsigned) * negated_masks_.size()));
            std::copy(negated_masks_.begin(), negated_masks_.end(), set->negated_masks);
            set->negated_mask_count = negated_masks_.size();
        }
        if (!nested_.empty()) {
            set->nested = static_cast<const charset**>(arena.allocate(sizeof(charset*) * nested_.size()));
            std::copy(nested_.begin(), nested_.end(), set->nested);
            set->nested_count = nested_.size();
        }
        set->finalise();
        return set;
    }

private:
    void need() const {
        if (p_ == end_) throw bad_regexpr(end_of_set);
    }
    bool fold() const { return (flags_ & ignore_case) != 0; }

    void add_char(unsigned char c) {
        bits_.set(c);
        if (fold()) {
            bits_.set(static_cast<unsigned char>(std::tolower(c)));
            bits_.set(static_cast<unsigned char>(std::toupper(c)));
        }
    }
    void add_range(unsigned char a, unsigned char b) {
        for (unsigned c = a; c <= b; ++c) add_char(static_cast<unsigned char>(c));
    }
    void add_set(const charset& s) {
        if (s.negated)
            nested_.push_back(&s);
        else {
            charset tmp;
            tmp.bits = bits_;
            tmp.class_mask = mask_;
            tmp.merge(s);
            bits_ = tmp.bits;
            mask_ = tmp.class_mask;
        }
    }

    bracket_item read_item() {
        need();
        char c = *p_;
        if (c == '[') {
            for (const posix_name& name : posix_names) {
                if (static_cast<std::size_t>(end_ - p_) >= name.length &&
                    std::memcmp(p_, name.text, name.length) == 0) {
                    p_ += name.length;
                    unsigned mask = name.mask;
                    if (fold() && (mask & (class_lower | class_upper))) mask = class_lower | class_upper;
                    if (name.negated)
                        negated_masks_.push_back(mask);
                    else
                        mask_ |= mask;
                    return {false, 0};
                }
            }
            ++p_;
            return {true, '['};
        }
        if (c != '\\') {
            ++p_;
            return {true, static_cast<unsigned char>(c)};
        }
        ++p_;
        need();
        c = *p_;
        switch (c) {
        case 'd':
        case 'D':
        case 's':
        case 'S':
        case 'w':
        case 'W':
            ++p_;
            add_set(*intrinsic_charsets::get(c));
            return {false, 0};
        default: break;
        }
        const escape_result e = decode_escape(p_, end_, (flags_ & translate_escapes) != 0, escape_context::bracket);
        if (e.kind == escape_result::incomplete) throw bad_regexpr(end_of_set);
        if (e.kind == escape_result::character) return {true, e.value};
        ++p_;
        if (const charset* user = intrinsic_charsets::user_class(c, fold())) {
            nested_.push_back(user);
            return {false, 0};
        }
        return {true, static_cast<unsigned char>(c)};
    }

    const char*& p_;
    const char* end_;
    unsigned flags_;
    charset::bitmap bits_;
    unsigned mask_ = 0;
    std::vector<unsigned> negated_masks_;
    std::vector<const charset*> nested_;
};

}  // namespace

charset* parse_bracket(const char*& p, const char* end, unsigned flags, arena_allocator& arena) {
    return bracket_parser(p, end, flags).run(arena);
}

}  // namespace regex::detail
