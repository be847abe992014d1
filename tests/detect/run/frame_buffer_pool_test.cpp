// The frame buffer pool: free blocks whose pages are moved into a block in
// use, instead of that block's fresh pages.
#include "detect/run/frame_buffer_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace speckmend {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// An image of `bytes` bytes from the pool, every byte `value`.
cv::Mat filled(FrameBufferPool& pool, std::size_t bytes, unsigned char value) {
    cv::Mat image;
    image.allocator = &pool;
    image.create(1, static_cast<int>(bytes), CV_8UC1);
    image.setTo(value);
    return image;
}

// The first byte in [from, to) of `image` that is not `value`, or `to`.
std::size_t firstOther(const cv::Mat& image, std::size_t from, std::size_t to, unsigned char value) {
    for (std::size_t i = from; i < to; ++i) {
        if (image.data[i] != value) return i;
    }
    return to;
}

TEST(FrameBufferPool, FreeBlocksMoveIntoTheStartOfABlockInUse) {
    struct Row {
        const char* name;
        std::vector<unsigned char> freeBlocks;  // one 2 MiB block each, filled with this value
        std::size_t offset;                     // of the range from the target's start
        std::size_t bytes;                      // asked for
        std::size_t moved;                      // bytes that must come from the free blocks
    };
    const Row rows[] = {
        {"one block, part of it", {0x5a}, 0, kMiB + 100, kMiB},
        {"one block, all of it and no more", {0x5a}, 0, 3 * kMiB, 2 * kMiB},
        {"two blocks one after the other", {0x5a, 0x6b}, 0, 3 * kMiB, 3 * kMiB},
        {"less than a page", {0x5a}, 0, 4000, 0},
        {"no free block", {}, 0, 3 * kMiB, 0},
        {"a start off the page", {0x5a}, 1, kMiB, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FrameBufferPool pool(4);
        {
            std::vector<cv::Mat> blocks;
            for (const unsigned char value : row.freeBlocks) blocks.push_back(filled(pool, 2 * kMiB - 1000, value));
            // Released in order: the pool holds them free in that order.
            for (cv::Mat& block : blocks) block.release();
        }
        const std::size_t size = 6 * kMiB;
        const cv::Mat target = filled(pool, size, 0x11);
        ASSERT_EQ(pool.moveFreeInto(target.data + row.offset, row.bytes), row.moved);
        // Whatever moved holds its block's bytes, in the order of the blocks
        // (each block's first 2 MiB - 1000 were filled), and nothing else
        // of the target changed.
        std::size_t at = row.offset;
        for (std::size_t b = 0; b < row.freeBlocks.size() && at < row.offset + row.moved; ++b) {
            const std::size_t end = std::min(at + 2 * kMiB - 1000, row.offset + row.moved);
            EXPECT_EQ(firstOther(target, at, end, row.freeBlocks[b]), end) << "block " << b;
            at = std::min(at + 2 * kMiB, row.offset + row.moved);
        }
        EXPECT_EQ(firstOther(target, 0, row.offset, 0x11), row.offset);
        EXPECT_EQ(firstOther(target, row.offset + row.moved, size, 0x11), size);
        // The pool goes on lending blocks.
        const cv::Mat after = filled(pool, 2 * kMiB, 0x22);
        EXPECT_EQ(firstOther(after, 0, 2 * kMiB, 0x22), 2 * kMiB);
    }
}

}  // namespace
}  // namespace speckmend
