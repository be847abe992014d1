// Bump allocation in fixed blocks for compiled patterns.
#include "regex/arena_allocator.h"

#include <cstdlib>

namespace regex::detail {

namespace {
constexpr std::size_t align_up(std::size_t n) {
    return (n + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) * alignof(std::max_align_t);
}
}  // namespace

void* arena_allocator::allocate(std::size_t bytes) {
    bytes = align_up(bytes == 0 ? 1 : bytes);
    if (bytes > block_size) {
        auto* raw = static_cast<block_header*>(std::malloc(header_size + bytes));
        if (raw == nullptr) throw std::bad_alloc();
        raw->used = bytes;
        raw->capacity = bytes;
        raw->previous = oversized_;
        oversized_ = raw;
        return reinterpret_cast<char*>(raw) + header_size;
    }
    if (current_ == nullptr || current_->capacity - current_->used < bytes) {
        auto* raw = static_cast<block_header*>(std::malloc(header_size + block_size));
        if (raw == nullptr) throw std::bad_alloc();
        raw->used = 0;
        raw->capacity = block_size;
        raw->previous = current_;
        current_ = raw;
    }
    void* result = reinterpret_cast<char*>(current_) + header_size + current_->used;
    current_->used += bytes;
    return result;
}

void arena_allocator::release() {
    for (block_header* chain : {current_, oversized_}) {
        while (chain != nullptr) {
            block_header* previous = chain->previous;
            std::free(chain);
            chain = previous;
        }
    }
    current_ = nullptr;
    oversized_ = nullptr;
}

std::size_t arena_allocator::block_count() const {
    std::size_t count = 0;
    for (const block_header* chain : {current_, oversized_})
        for (; chain != nullptr; chain = chain->previous) ++count;
    return count;
}

}  // namespace regex::detail
