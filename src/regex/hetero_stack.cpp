// Block management and type checks of the explicit backtracking stack.
#include "regex/hetero_stack.h"

#include <cstdlib>

namespace regex::detail {

hetero_stack::~hetero_stack() {
    block* b = first_;
    while (b != nullptr) {
        block* next = b->next;
        std::free(b);
        b = next;
    }
}

void hetero_stack::grow(std::size_t bytes) {
    const std::size_t used = current_ == nullptr ? 0 : static_cast<std::size_t>(top_ - payload(current_));
    block* next = current_ == nullptr ? first_ : current_->next;
    if (next != nullptr && next->capacity < bytes) {
        // Too small for this record: drop it and everything after it.
        block* b = next;
        while (b != nullptr) {
            block* after = b->next;
            std::free(b);
            b = after;
        }
        if (current_ == nullptr)
            first_ = nullptr;
        else
            current_->next = nullptr;
        next = nullptr;
    }
    if (next == nullptr) {
        std::size_t capacity = bytes > default_block ? bytes : default_block;
        next = static_cast<block*>(std::malloc(padded(sizeof(block)) + capacity));
        if (next == nullptr) throw std::bad_alloc();
        next->previous = current_;
        next->next = nullptr;
        next->capacity = capacity;
        if (current_ == nullptr)
            first_ = next;
        else
            current_->next = next;
    }
    if (current_ != nullptr) {
        current_->left_at = used;
        next->base = current_->base + used;
    } else {
        next->base = 0;
    }
    next->left_at = 0;
    current_ = next;
    top_ = payload(current_);
    limit_ = top_ + current_->capacity;
}

void hetero_stack::unwind(std::size_t mark) {
    if (current_ == nullptr) return;
    while (mark < current_->base && current_->previous != nullptr) step_back();
    top_ = payload(current_) + (mark - current_->base);
    while (top_ == payload(current_) && current_->previous != nullptr) step_back();
}

std::size_t hetero_stack::block_count() const {
    std::size_t n = 0;
    for (block* b = first_; b != nullptr; b = b->next) ++n;
    return n;
}

void hetero_stack::check(const std::type_info& requested) const {
    if (position() < padded(sizeof(tag))) throw type_error(requested, typeid(void));
    tag t;
    std::memcpy(&t, top_ - padded(sizeof(tag)), sizeof(tag));
    if (t.type != &requested && *t.type != requested) throw type_error(requested, *t.type);
}

}  // namespace regex::detail
