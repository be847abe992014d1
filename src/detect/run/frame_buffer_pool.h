// Keeps the large image buffers of a detection run alive between frames.
//
// A run touches a frame-sized buffer per decoded frame. Handing each one back
// to the system and asking for a fresh one costs a page fault per 4 KiB page,
// which on virtual machines rivals the decoding itself. Images whose
// `allocator` is set to a pool take their storage from it; released storage
// stays in the pool for the next image of the same or a smaller size. Large
// blocks are mapped with a request for huge pages where the system has them.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {

class FrameBufferPool : public cv::MatAllocator {
public:
    // At most `keep` released blocks are held; the pool must outlive every
    // image that uses it.
    explicit FrameBufferPool(std::size_t keep);
    ~FrameBufferPool() override;

    FrameBufferPool(const FrameBufferPool&) = delete;
    FrameBufferPool& operator=(const FrameBufferPool&) = delete;

    // Hands the blocks no image holds back to the system.
    void dropFree();

    // Moves the pages of the blocks no image holds to [at, at + bytes) of a
    // block of this pool (they replace its pages there, whatever those held),
    // as far as they reach, and hands what is left of them back to the
    // system. The range then holds the old blocks' contents instead of
    // zeros: for storage about to be overwritten whole, which would
    // otherwise cost the system a fresh zeroed page per 4 KiB. Returns the
    // bytes provided so, whole pages from `at` (which must be page-aligned).
    std::size_t moveFreeInto(void* at, std::size_t bytes);

    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, std::size_t* step, cv::AccessFlag flags,
                           cv::UMatUsageFlags usageFlags) const override;
    bool allocate(cv::UMatData* data, cv::AccessFlag flags, cv::UMatUsageFlags usageFlags) const override;
    void deallocate(cv::UMatData* data) const override;

private:
    struct Block {
        void* data;
        std::size_t size;  // as mapped
    };

    Block take(std::size_t size) const;
    void give(Block block) const;

    std::size_t keep_;
    mutable std::mutex mutex_;
    mutable std::vector<Block> free_;
};

}  // namespace speckmend
