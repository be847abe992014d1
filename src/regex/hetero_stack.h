// A stack of records of different types in a chain of heap blocks. Every
// record is followed by a tag naming its type, so a pop of the wrong type is
// caught instead of reinterpreting bytes. Blocks are kept while the stack
// lives: a search that backtracks and advances again reuses them.
//
// Tested by: tests/regex/hetero_stack_test.cpp.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <typeinfo>

namespace regex::detail {

class type_error : public std::logic_error {
public:
    type_error(const std::type_info& requested, const std::type_info& actual)
        : std::logic_error(std::string("type error in hetero_stack (requested type: ") + requested.name() +
                           ", actual type: " + actual.name() + ")") {}
};

class hetero_stack {
public:
    // Records hold iterators and pointers; 8 keeps them naturally aligned.
    static constexpr std::size_t alignment = 8;
    static constexpr std::size_t default_block = 16 * 1024;

    hetero_stack() = default;
    hetero_stack(const hetero_stack&) = delete;
    hetero_stack& operator=(const hetero_stack&) = delete;
    ~hetero_stack();

    // The matcher pushes and pops on every step: these stay inline whatever
    // the size of the caller.
    template <class T>
    [[gnu::always_inline]] void push(const T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        char* at = reserve(record_size<T>());
        std::memcpy(at, &value, sizeof(T));
        tag t{&typeid(T)};
        std::memcpy(at + padded(sizeof(T)), &t, sizeof(tag));
    }

    template <class T>
    [[gnu::always_inline]] T pop() {
        T value = peek<T>();
        release(record_size<T>());
        return value;
    }

    template <class T>
    [[gnu::always_inline]] T peek() const {
        // Every pop checks its tag, so the common case (same type_info
        // object) stays inline; the full comparison and the error are out of
        // line.
        if (!same_tag(typeid(T))) check(typeid(T));
        T value;
        std::memcpy(&value, top_ - record_size<T>(), sizeof(T));
        return value;
    }

    bool empty() const { return position() == 0; }
    // Bytes in use over all blocks; a mark that unwind() returns to.
    std::size_t position() const { return current_ == nullptr ? 0 : current_->base + (top_ - payload(current_)); }
    // Drops every record above `mark`, whatever their types.
    void unwind(std::size_t mark);
    std::size_t block_count() const;

private:
    // Sizes are known from the requested type and unwind() works by
    // position, so the tag needs only the type.
    struct tag {
        const std::type_info* type;
    };
    struct block {
        block* previous;
        block* next;
        std::size_t capacity;  // payload bytes
        std::size_t base;      // position of the payload's first byte
        std::size_t left_at;   // bytes in use when the next block was entered
    };

    static constexpr std::size_t padded(std::size_t n) { return (n + alignment - 1) / alignment * alignment; }
    template <class T>
    static constexpr std::size_t record_size() {
        return padded(sizeof(T)) + padded(sizeof(tag));
    }
    static char* payload(block* b) { return reinterpret_cast<char*>(b) + padded(sizeof(block)); }

    [[gnu::always_inline]] char* reserve(std::size_t bytes) {
        if (current_ == nullptr || static_cast<std::size_t>(limit_ - top_) < bytes) grow(bytes);
        char* at = top_;
        top_ += bytes;
        return at;
    }
    [[gnu::always_inline]] void release(std::size_t bytes) {
        top_ -= bytes;
        // A record never straddles blocks: once a block is empty the records
        // below are in the previous one.
        while (top_ == payload(current_) && current_->previous != nullptr) step_back();
    }
    void step_back() {
        current_ = current_->previous;
        top_ = payload(current_) + current_->left_at;
        limit_ = payload(current_) + current_->capacity;
    }
    void grow(std::size_t bytes);
    bool same_tag(const std::type_info& requested) const {
        if (current_ == nullptr || static_cast<std::size_t>(top_ - payload(current_)) < padded(sizeof(tag)))
            return false;
        tag t;
        std::memcpy(&t, top_ - padded(sizeof(tag)), sizeof(tag));
        return t.type == &requested;
    }
    void check(const std::type_info& requested) const;

    block* first_ = nullptr;
    block* current_ = nullptr;
    char* top_ = nullptr;
    char* limit_ = nullptr;
};

}  // namespace regex::detail
