// Bump allocator that owns every node, list and character set of one
// compiled pattern. Nothing is freed on its own: the whole arena goes with
// the pattern, so node constructors may keep raw pointers into it freely.
//
// Tested by: tests/regex/parser_test.cpp (nodes_live_in_fixed_blocks).
#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace regex::detail {

class arena_allocator {
public:
    static constexpr std::size_t block_size = 352;

    arena_allocator() = default;
    arena_allocator(const arena_allocator&) = delete;
    arena_allocator& operator=(const arena_allocator&) = delete;
    ~arena_allocator() { release(); }

    // Memory aligned for any scalar type; a request larger than a block gets
    // a block of its own so small requests keep filling the current one.
    void* allocate(std::size_t bytes);

    template <class T, class... Args>
    T* make(Args&&... args) {
        return new (allocate(sizeof(T))) T(std::forward<Args>(args)...);
    }

    void release();
    std::size_t block_count() const;

private:
    struct block_header {
        std::size_t used;
        std::size_t capacity;
        block_header* previous;
    };
    static constexpr std::size_t header_size =
        (sizeof(block_header) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) * alignof(std::max_align_t);

    block_header* current_ = nullptr;    // the block small requests go to
    block_header* oversized_ = nullptr;  // chain of single-request blocks
};

}  // namespace regex::detail
