// Pooled, huge-page backed storage for frame-sized images.
#include "detect/run/frame_buffer_pool.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>

namespace speckmend {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t roundUp(std::size_t size) { return (size + kHugePage - 1) / kHugePage * kHugePage; }

void* mapBlock(std::size_t size) {
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Only advice: without huge pages the block works the same, just slower
    // to touch the first time. Asked for the frames' buffers too, though
    // they are reused: unlike the heal's blocks, a detection run on plain
    // pages for them (or for every block) took 12,000 to 24,000 more faults
    // and more CPU on 8 frames of 24 MP, its system time no steadier.
    madvise(data, size, MADV_HUGEPAGE);
#endif
    return data;
}

}  // namespace

FrameBufferPool::FrameBufferPool(std::size_t keep) : keep_(keep) {}

FrameBufferPool::~FrameBufferPool() {
    for (const Block& block : free_) munmap(block.data, block.size);
}

void FrameBufferPool::dropFree() {
    std::vector<Block> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(free_);
    }
    for (const Block& block : dropped) munmap(block.data, block.size);
}

std::size_t FrameBufferPool::moveFreeInto(void* at, std::size_t bytes) {
    std::vector<Block> blocks;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        blocks.swap(free_);
    }
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    auto* to = static_cast<unsigned char*>(at);
    std::size_t moved = 0;
    const std::size_t wanted = reinterpret_cast<std::uintptr_t>(at) % page == 0 ? bytes / page * page : 0;
    for (const Block& block : blocks) {
        const std::size_t part = std::min(block.size, wanted - moved);
        // A block is a whole number of pages; a failed move leaves both
        // ranges as they were.
        if (part > 0 && mremap(block.data, part, part, MREMAP_MAYMOVE | MREMAP_FIXED, to + moved) != MAP_FAILED) {
            moved += part;
            if (part < block.size) munmap(static_cast<unsigned char*>(block.data) + part, block.size - part);
        } else {
            munmap(block.data, block.size);
        }
    }
    return moved;
}

FrameBufferPool::Block FrameBufferPool::take(std::size_t size) const {
    const std::size_t wanted = roundUp(std::max<std::size_t>(size, 1));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The smallest block that fits, so that a large one stays for a
        // large image.
        auto best = free_.end();
        for (auto it = free_.begin(); it != free_.end(); ++it) {
            if (it->size >= wanted && (best == free_.end() || it->size < best->size)) best = it;
        }
        if (best != free_.end()) {
            const Block block = *best;
            free_.erase(best);
            return block;
        }
    }
    return {mapBlock(wanted), wanted};
}

void FrameBufferPool::give(Block block) const {
    Block dropped{nullptr, 0};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(block);
        if (free_.size() > keep_) {
            auto smallest = std::min_element(free_.begin(), free_.end(),
                                             [](const Block& a, const Block& b) { return a.size < b.size; });
            dropped = *smallest;
            free_.erase(smallest);
        }
    }
    if (dropped.data) munmap(dropped.data, dropped.size);
}

cv::UMatData* FrameBufferPool::allocate(int dims, const int* sizes, int type, void* data0, std::size_t* step,
                                        cv::AccessFlag, cv::UMatUsageFlags) const {
    // Steps as OpenCV's own allocator lays them out: rows packed densely
    // unless the caller brings its own data and steps.
    std::size_t total = CV_ELEM_SIZE(type);
    for (int i = dims - 1; i >= 0; --i) {
        if (step) {
            if (data0 && step[i] != cv::Mat::AUTO_STEP) {
                CV_Assert(total <= step[i]);
                total = step[i];
            } else {
                step[i] = total;
            }
        }
        total *= static_cast<std::size_t>(sizes[i]);
    }
    auto* u = new cv::UMatData(this);
    if (data0) {
        u->data = u->origdata = static_cast<uchar*>(data0);
        u->flags |= cv::UMatData::USER_ALLOCATED;
        u->size = total;
        return u;
    }
    Block block{nullptr, 0};
    try {
        block = take(total);
    } catch (...) {
        delete u;
        throw;
    }
    u->data = u->origdata = static_cast<uchar*>(block.data);
    // The mapped size, so that deallocate hands the whole block back.
    u->size = block.size;
    return u;
}

bool FrameBufferPool::allocate(cv::UMatData* data, cv::AccessFlag, cv::UMatUsageFlags) const { return data != nullptr; }

void FrameBufferPool::deallocate(cv::UMatData* u) const {
    if (!u) return;
    CV_Assert(u->urefcount == 0);
    CV_Assert(u->refcount == 0);
    if (!(u->flags & cv::UMatData::USER_ALLOCATED) && u->origdata) give({u->origdata, u->size});
    delete u;
}

}  // namespace speckmend
